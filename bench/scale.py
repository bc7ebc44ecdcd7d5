#!/usr/bin/env python3
"""The model at scale: processor time per command and peak memory of long
runs of the daily-use cycle (report_scaling.py's), with and without the
HTML report, and of the live phone's server driven over HTTP.

    bench/scale.py [--sim build/release/bin/quelline-sim] [--serve 10000 --serve 1000000] 10000 100000 1000000
    bench/scale.py --quiet 20000 [--pairs 7] [--instructions 5000]

For each count N: `quelline-sim --brief run` of an N-line scenario, then the
same with --html; for each --serve N, `quelline-sim serve` given N commands
of the cycle (`boot` and `wait` left out: the server has booted, and its
clock is the real one) by POST /api/command, one request at a time on a kept
connection (the server's HTTP library drops requests sent before the answer
to the one before, so they cannot be pipelined). It prints one row per run:
commands, processor seconds (user + system, of the simulator alone),
microseconds per command, peak resident memory in MiB and, for runs with
--html, the ratio of their processor time to the plain run's and the
report's size. Device roots go under --tmp (default /dev/shm): every
preference write is synced, and the syncs' wait is not what is measured.
Nothing is asserted; the goals are read from the table.

--quiet N runs N notifications (fifty apps, with and without sounds, one
every half second) in quiet mode, against the same with --vanilla (the host
without Quelline), in pairs on one processor, and prints the median ratio of
their processor times: what the quiet path costs the host. With valgrind,
it then counts the instructions of --instructions notifications on each
side (less a run without any), which the machine's load does not change.
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report_scaling import CYCLE, scenario  # noqa: E402

ENV = dict(os.environ)


def measured(command, cpu=None):
    """(processor seconds, peak RSS MiB) of one run of `command`, which must
    exit 0; on processor `cpu` alone when one is given."""
    pin = (lambda: os.sched_setaffinity(0, {cpu})) if cpu is not None else None
    with open(os.devnull, "wb") as null, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(command, stdout=null, stderr=err, env=ENV, preexec_fn=pin)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            err.seek(0)
            sys.exit(f"{' '.join(command)} exited {process.returncode}: {err.read()[-2000:]!r}")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def instructions(command):
    """Instructions one run of `command` executes (callgrind's count), or None
    without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + command,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=ENV)
    if run.returncode != 0:
        sys.exit(f"callgrind of {' '.join(command)} exited {run.returncode}: {run.stderr[-2000:]!r}")
    for line in run.stderr.splitlines():
        if "Collected :" in line:
            return int(line.rsplit(":", 1)[1])
    return None


def process_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def process_peak_rss(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def serve_lines(count):
    lines, i = [], 0
    while len(lines) < count:
        for line in CYCLE:
            if line.startswith("wait"):
                continue
            lines.append(line.format(i=i % 50, n=1 + i % 60))
            if len(lines) == count:
                break
        i += 1
    return lines


class Connection:
    """One kept HTTP/1.1 connection to the server, with requests written and
    answers read as bytes: the client's own cost per command stays small
    beside the server's (http.client's is about as large as the server's)."""

    def __init__(self, port):
        self.port = port
        self.socket = None
        self.buffer = b""

    def close(self):
        if self.socket is not None:
            self.socket.close()
        self.socket, self.buffer = None, b""

    def _read_until(self, marker):
        while marker not in self.buffer:
            data = self.socket.recv(65536)
            if not data:
                raise ConnectionError("the server closed the connection")
            self.buffer += data
        head, self.buffer = self.buffer.split(marker, 1)
        return head

    def exchange(self, request):
        """(status, whether the server closes the connection after it)."""
        if self.socket is None:
            self.socket = socket.create_connection(("127.0.0.1", self.port), timeout=60)
            self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.socket.sendall(request)
        head = self._read_until(b"\r\n\r\n").decode("latin-1").split("\r\n")
        status = int(head[0].split(" ", 2)[1])
        fields = {line.split(":", 1)[0].strip().lower(): line.split(":", 1)[1].strip()
                  for line in head[1:] if ":" in line}
        length = int(fields.get("content-length", "0"))
        while len(self.buffer) < length:
            data = self.socket.recv(65536)
            if not data:
                raise ConnectionError("the server closed the connection")
            self.buffer += data
        self.buffer = self.buffer[length:]
        return status, fields.get("connection", "").lower() == "close"


def command_request(host, text):
    body = json.dumps({"command": text}).encode()
    return (f"POST /api/command HTTP/1.1\r\nHost: {host}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def run_serve(sim, count, folder):
    """(processor seconds, peak RSS MiB, answers other than 200) of a server given `count` commands."""
    root = tempfile.mkdtemp(prefix="root-", dir=folder)
    process = subprocess.Popen([sim, "serve", "--port", "0", "--root", root],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=ENV)
    try:
        line = process.stderr.readline()
        port = int(line.split("http://127.0.0.1:", 1)[1].split("/", 1)[0])
        host = f"127.0.0.1:{port}"
        # The requests are made once: the lines repeat after 300 cycles
        # (apps by i % 50, minutes by i % 60).
        period = sum(1 for line in CYCLE if not line.startswith("wait")) * 300
        requests = [command_request(host, text) for text in serve_lines(min(count, period))]
        before = process_cpu(process.pid)
        connection, refused = Connection(port), 0
        for i in range(count):
            request = requests[i % len(requests)]
            for attempt in range(2):
                try:
                    status, closing = connection.exchange(request)
                    if status != 200:
                        refused += 1
                    if closing:
                        connection.close()
                    break
                except (OSError, ValueError, IndexError):
                    # The server closed a kept connection (after its keep-alive
                    # time): the request was not read, so it is sent again.
                    connection.close()
                    if attempt == 1:
                        raise
        cpu = process_cpu(process.pid) - before
        rss = process_peak_rss(process.pid)
        connection.close()
        return cpu, rss, refused
    finally:
        process.terminate()
        process.wait(timeout=60)
        shutil.rmtree(root, ignore_errors=True)


def quiet_scenario(count):
    lines = ["boot", "switch silent"]
    for i in range(count):
        lines.append(f"notify com.example.app{i % 50}" + (" sound tritone" if i % 2 else ""))
        # One every half second: the banners go after their display time,
        # and with them the registrations their controllers made.
        lines.append("wait 0.5")
    return "\n".join(lines) + "\n"


def run_quiet(sim, count, pairs, counted, folder):
    path = os.path.join(folder, f"quiet-{count}.scn")
    with open(path, "w") as f:
        f.write(quiet_scenario(count))
    quelline = [sim, "--brief", "run", path]
    vanilla = [sim, "--brief", "--vanilla", "run", path]
    # Both runs of a pair on one processor, the last (the one the machine's
    # first jobs take least); every other pair starts with vanilla, so that
    # a load that rises or falls through a pair weighs on both sides alike.
    cpu = max(os.sched_getaffinity(0))
    ratios, times = [], []
    for pair in range(pairs):
        if pair % 2:
            plain, _ = measured(vanilla, cpu)
            quiet, _ = measured(quelline, cpu)
        else:
            quiet, _ = measured(quelline, cpu)
            plain, _ = measured(vanilla, cpu)
        ratios.append(quiet / plain)
        times.append((quiet, plain))
    ratios.sort()
    median = ratios[len(ratios) // 2]
    quiet = sorted(t[0] for t in times)[len(times) // 2]
    plain = sorted(t[1] for t in times)[len(times) // 2]
    print(f"quiet path, {count:,} notifications, {pairs} pairs: Quelline {quiet:.2f} s, "
          f"vanilla {plain:.2f} s of CPU (medians); ratio median {median:.3f} "
          f"(from {ratios[0]:.3f} to {ratios[-1]:.3f})", flush=True)
    if not counted:
        return
    # Instructions do not depend on the machine's load: those of `counted`
    # notifications, less those of a run without any (boot, the switch, the
    # process's end), per notification.
    empty = os.path.join(folder, "quiet-0.scn")
    some = os.path.join(folder, f"quiet-{counted}.scn")
    for name, text in ((empty, quiet_scenario(0)), (some, quiet_scenario(counted))):
        with open(name, "w") as f:
            f.write(text)
    per = {}
    for side, flags in (("Quelline", []), ("vanilla", ["--vanilla"])):
        base = instructions([sim, "--brief"] + flags + ["run", empty])
        total = instructions([sim, "--brief"] + flags + ["run", some])
        if base is None or total is None:
            print("quiet path, instructions: valgrind is not installed", flush=True)
            return
        per[side] = (total - base) / counted
    print(f"quiet path, {counted:,} notifications, instructions per notification (callgrind): "
          f"Quelline {per['Quelline']:,.0f}, vanilla {per['vanilla']:,.0f}; "
          f"ratio {per['Quelline'] / per['vanilla']:.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", default="build/release/bin/quelline-sim")
    parser.add_argument("--serve", type=int, action="append", default=[],
                        help="commands for a server (may be given more than once)")
    parser.add_argument("--no-html", action="store_true", help="leave out the runs with --html")
    parser.add_argument("--quiet", type=int, default=0,
                        help="notifications in quiet mode, against --vanilla (0: none)")
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--instructions", type=int, default=5000,
                        help="notifications whose instructions callgrind counts, with --quiet (0: none)")
    parser.add_argument("--tmp", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the temporary device roots go (TMPDIR of the runs)")
    parser.add_argument("counts", type=int, nargs="*")
    args = parser.parse_args()
    if args.tmp:
        ENV["TMPDIR"] = args.tmp
    folder = tempfile.mkdtemp(prefix="quelline-scale-bench-", dir=args.tmp)
    try:
        if args.quiet:
            run_quiet(args.sim, args.quiet, args.pairs, args.instructions, folder)
        if not args.counts and not args.serve:
            return
        print(f"| run | commands | CPU s | µs per command | peak RSS MiB | against plain | report MB |")
        print(f"|---|---:|---:|---:|---:|---:|---:|", flush=True)
        for count in args.counts:
            path = os.path.join(folder, f"{count}.scn")
            with open(path, "w") as f:
                f.write(scenario(count))
            cpu, rss = measured([args.sim, "--brief", "run", path])
            print(f"| run | {count:,} | {cpu:.2f} | {cpu / count * 1e6:.1f} | {rss:.0f} | | |", flush=True)
            if args.no_html:
                continue
            html = os.path.join(folder, f"{count}.html")
            cpu_html, rss_html = measured([args.sim, "--brief", "--html", html, "run", path])
            size = os.path.getsize(html) / 1e6
            os.unlink(html)
            print(f"| run --html | {count:,} | {cpu_html:.2f} | {cpu_html / count * 1e6:.1f} | "
                  f"{rss_html:.0f} | {cpu_html / cpu:.2f} | {size:.1f} |", flush=True)
        for count in args.serve:
            cpu, rss, refused = run_serve(args.sim, count, folder)
            note = f" ({refused} not 200)" if refused else ""
            print(f"| serve | {count:,}{note} | {cpu:.2f} | {cpu / count * 1e6:.1f} | {rss:.0f} | | |",
                  flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
