#!/usr/bin/env python3
"""How the HTML report's cost grows with the scenario's length.

Writes scenarios of N lines (a phone used all day: the switch, notifications
from many apps, the toggle, taps, apps to the front, settings written), runs
each with and without --html several times, and prints the best wall time of
each, the report's size and the peak memory of the run with --html.

    bench/report_scaling.py [--sim build/release/bin/quelline-sim] [--repeat 3] 10000 20000 100000

The device root is made under --tmp (default /dev/shm, a memory file system
where there is one): every write of the preference file is synced, and on a
shared disk the syncs' wait would drown what is measured.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

CYCLE = [
    "switch silent",
    "notify com.example.app{i}",
    "wait 0.3",
    "notify \"Chat {i}\" sound tritone",
    "switch ring",
    "wait 0.8",
    "toggle on",
    "tap 2",
    "open com.example.game{i}",
    "notify com.apple.MobileSMS",
    "wait 0.2",
    "suspend com.example.game{i}",
    "toggle off",
    "prefs set timerTime {n}",
    "wait 1",
    "clear",
]


def scenario(lines):
    out = ["boot"]
    i = 0
    while len(out) < lines:
        for line in CYCLE:
            out.append(line.format(i=i % 50, n=1 + i % 60))
            if len(out) == lines:
                break
        i += 1
    return "\n".join(out) + "\n"


ENV = dict(os.environ)


def timed(command):
    """(wall seconds, CPU seconds) of one run of `command`. The wall time
    includes waiting for the disk (every write of the preference file is
    synced); the CPU time is what the work itself costs."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=ENV)
    took = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} exited {done.returncode}: {done.stderr[-2000:]}")
    return took, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def peak_rss_mib(command):
    """Peak RSS of one run of `command`, in MiB, as /usr/bin/time reports it."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, env=ENV)
    return int(done.stderr.strip().splitlines()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", default="build/release/bin/quelline-sim")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tmp", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the temporary device roots go (TMPDIR of the runs)")
    parser.add_argument("lines", type=int, nargs="+")
    args = parser.parse_args()
    if args.tmp:
        ENV["TMPDIR"] = args.tmp
    folder = tempfile.mkdtemp(prefix="quelline-report-bench-")
    try:
        print(f"{'lines':>8} {'run s':>7} {'CPU s':>7} {'--html s':>9} {'CPU s':>7} {'ratio':>6} "
              f"{'report MB':>10} {'peak RSS MiB':>13}")
        for lines in args.lines:
            path = os.path.join(folder, f"{lines}.scn")
            with open(path, "w") as f:
                f.write(scenario(lines))
            html = os.path.join(folder, f"{lines}.html")
            # The best of the repeats: the least disturbed by the rest of the machine.
            plain = min(timed([args.sim, "--brief", "run", path]) for _ in range(args.repeat))
            with_html = min(timed([args.sim, "--brief", "--html", html, "run", path])
                            for _ in range(args.repeat))
            rss = peak_rss_mib([args.sim, "--brief", "--html", html, "run", path])
            size = os.path.getsize(html) / 1e6
            print(f"{lines:>8} {plain[0]:>7.2f} {plain[1]:>7.2f} {with_html[0]:>9.2f} {with_html[1]:>7.2f} "
                  f"{with_html[0] / plain[0]:>6.2f} {size:>10.1f} {rss:>13.0f}", flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
