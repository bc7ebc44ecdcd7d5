#!/usr/bin/env bash
# Soaks the live phone's server (quelline-sim serve) under ordinary use for a
# bounded time, on the loopback address only, and says what it held:
#   4 posters sending commands back to back (every tenth opens an app with a
#     7 KB id, to fill the records), 8 event streams reading along, a page
#     reloaded over and over (the page, then its stream for 2 s),
#     and quelline-prefs changing a setting in a loop;
# then, with the load stopped, four pages loading at once while `touch`
# commands are timed, and a probe with 64 event streams asked for.
# It fails (exit 1) when the server's RSS went over --max-rss-mb, the records
# it answers with went over --max-records-mb, a command ran twice, a
# command answered 503 ran, the probe went unanswered, or serve did not
# exit 0 on SIGTERM (a sanitizer's report makes it fail).
#
#   scripts/soak-serve.sh [--bin DIR] [--seconds N] [--max-rss-mb M] [--max-records-mb R]
#
# DIR holds quelline-sim and quelline-prefs (default build/release/bin).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin="$here/build/release/bin"
seconds=600
max_rss=200
max_records=17
while [[ $# -gt 0 ]]; do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --max-rss-mb) max_rss=$2; shift 2 ;;
    --max-records-mb) max_records=$2; shift 2 ;;
    *) echo "soak-serve.sh: unknown option \"$1\"; expected --bin, --seconds, --max-rss-mb or --max-records-mb" >&2; exit 2 ;;
  esac
done
for program in quelline-sim quelline-prefs; do
  [[ -x "$bin/$program" ]] || { echo "soak-serve.sh: no $bin/$program; build first or give --bin" >&2; exit 2; }
done

root=$(mktemp -d "${TMPDIR:-/tmp}/quelline-soak.XXXXXX")
log="$root.log"
server=""
cleanup() {
  if [[ -n "$server" ]] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$root" "$log"
}
trap cleanup EXIT

"$bin/quelline-sim" serve --port 0 --root "$root" >/dev/null 2>"$log" &
server=$!
for _ in $(seq 100); do
  grep -q "serving the live phone" "$log" 2>/dev/null && break
  sleep 0.1
done
url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$log" || true)
[[ -n "$url" ]] || { echo "soak-serve.sh: serve did not start:" >&2; cat "$log" >&2; exit 3; }

status=0
if /usr/bin/env python3 - "$url" "$server" "$seconds" "$max_rss" "$max_records" "$bin/quelline-prefs" "$root" <<'PY'
import http.client, json, statistics, subprocess, sys, threading, time, urllib.parse

url, pid, seconds, max_rss, max_records, prefs, root = sys.argv[1:]
pid, seconds, max_rss, max_records = int(pid), float(seconds), float(max_rss), float(max_records)
address = urllib.parse.urlparse(url)
host, port = address.hostname, address.port
stop = threading.Event()
lock = threading.Lock()


def rss_mb():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def post(path, body, timeout=30):
    c = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        c.request("POST", path, json.dumps(body), {"Content-Type": "application/json"})
        r = c.getresponse()
        return r.status, json.loads(r.read() or b"null")
    finally:
        c.close()


def read_stream(duration=None, seen=None):
    """Reads /api/events as a page does, for `duration` seconds (a page
    loaded, then left) or until the load stops. Returns the bytes read."""
    c = http.client.HTTPConnection(host, port, timeout=10)
    total = 0
    end = time.monotonic() + duration if duration else None
    try:
        c.request("GET", "/api/events")
        r = c.getresponse()
        if r.status != 200:
            r.read()
            return 0
        buffer = b""
        c.sock.settimeout(1.0)
        while (end is None and not stop.is_set()) or (end is not None and time.monotonic() < end):
            try:
                chunk = r.read1(65536)
            except TimeoutError:
                continue
            if not chunk:
                break
            total += len(chunk)
            if seen is not None:
                buffer += chunk
                *messages, buffer = buffer.split(b"\n\n")
                for m in messages:
                    if m.startswith(b"data: "):
                        record = json.loads(m[6:])
                        if record.get("kind") == "command":
                            with lock:
                                seen[record["seq"]] = record["record"]["text"]
    except (OSError, http.client.HTTPException):
        pass
    finally:
        c.close()
    return total


answers = {}  # marker -> status (None: no answer)
counts = {"posted": 0, "503": 0, "other": 0}
big = "com.soak." + "x" * 7000


def poster(n):
    i = 0
    cycle = ["switch silent", "switch ring", "tap 1", "toggle on", "toggle off", "touch", "cc open"]
    while not stop.is_set():
        i += 1
        marker = f"com.soak.p{n}.n{i}"
        command = f"open {big}" if i % 10 == 0 else (f"notify {marker}" if i % 2 else cycle[i % len(cycle)])
        try:
            status, _ = post("/api/command", {"command": command})
        except (OSError, http.client.HTTPException):
            status = None
        with lock:
            counts["posted"] += 1
            if status == 503:
                counts["503"] += 1
            elif status != 200:
                counts["other"] += 1
            if command.startswith("notify"):
                answers[marker] = status


def streams():
    while not stop.is_set():
        read_stream()


seen = {}


def auditor():
    while not stop.is_set():
        read_stream(None, seen)


reloads = [0]


def reloader():
    while not stop.is_set():
        try:
            c = http.client.HTTPConnection(host, port, timeout=10)
            c.request("GET", "/")
            c.getresponse().read()
            c.close()
        except (OSError, http.client.HTTPException):
            pass
        read_stream(2)
        reloads[0] += 1


edits = [0]


def editor():
    value = True
    while not stop.is_set():
        subprocess.run([prefs, "--root", root, "set", "hideBanners", "true" if value else "false"],
                       capture_output=True, timeout=30)
        value = not value
        edits[0] += 1


rss = []


def sampler():
    while not stop.is_set():
        rss.append(rss_mb())
        time.sleep(1)


start_rss = rss_mb()
threads = [threading.Thread(target=poster, args=(n,)) for n in range(4)]
threads += [threading.Thread(target=streams) for _ in range(7)] + [threading.Thread(target=auditor)]
threads += [threading.Thread(target=reloader), threading.Thread(target=editor), threading.Thread(target=sampler)]
for t in threads:
    t.daemon = True
    t.start()
began = time.monotonic()
while time.monotonic() - began < seconds:
    time.sleep(min(5, seconds))
    print(f"  {time.monotonic() - began:5.0f} s: RSS {rss_mb():6.1f} MB, {counts['posted']} commands, "
          f"{reloads[0]} page loads, {edits[0]} edits", flush=True)
stop.set()
for t in threads:
    t.join(timeout=20)
time.sleep(1)
after_load = rss_mb()


def touch_times(samples):
    times = []
    for _ in range(samples):
        t0 = time.monotonic()
        status, _ = post("/api/command", {"command": "touch"})
        if status == 200:
            times.append((time.monotonic() - t0) * 1000)
        time.sleep(0.05)
    return times


idle = touch_times(10)
# Four pages loading at once: each reads the whole history, and stays.
loading = [threading.Thread(target=read_stream, args=(3,)) for _ in range(4)]
for t in loading:
    t.start()
time.sleep(0.05)
busy = touch_times(20)
for t in loading:
    t.join(timeout=30)

# 64 event streams asked for at once (the excess refused), then a probe.
import socket
held = []
for _ in range(64):
    s = socket.create_connection((host, port), timeout=10)
    s.sendall(f"GET /api/events HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
    held.append(s)
answers64 = [s.recv(64)[:12] for s in held]
let_in = answers64.count(b"HTTP/1.1 200")
t0 = time.monotonic()
c = http.client.HTTPConnection(host, port, timeout=30)
c.request("GET", "/api/state")
probe_status = c.getresponse().status
probe = (time.monotonic() - t0) * 1000
c.close()
for s in held:
    s.close()

c = http.client.HTTPConnection(host, port, timeout=30)
c.request("GET", "/api/records")
records = c.getresponse().read()
c.close()
final = rss_mb()

ran = {}
for text in seen.values():
    if text.startswith("notify com.soak."):
        marker = text.split()[1]
        ran[marker] = ran.get(marker, 0) + 1
twice = sorted(m for m, n in ran.items() if n > 1)
ran_after_503 = sorted(m for m, s in answers.items() if s == 503 and m in ran)

print(f"soak: {seconds:.0f} s, {counts['posted']} commands ({counts['503']} answered 503, "
      f"{counts['other']} other failures), {reloads[0]} page loads, {edits[0]} editor changes")
print(f"RSS: {start_rss:.1f} MB at start, at most {max(rss + [after_load]):.1f} MB under load, "
      f"{after_load:.1f} MB after it, {final:.1f} MB at the end (limit {max_rss:.0f} MB)")
print(f"records answered by /api/records: {len(records) / 1e6:.1f} MB (limit {max_records:.0f} MB)")
print(f"touch: idle median {statistics.median(idle):.0f} ms, max {max(idle):.0f} ms; "
      f"with four pages loading median {statistics.median(busy):.0f} ms, max {max(busy):.0f} ms")
print(f"64 event streams asked for, not read: {let_in} let in (16 at a time; one not read for 2 s is closed); "
      f"a probe then answered {probe_status} in {probe:.0f} ms")
print(f"commands run twice: {len(twice)}; answered 503 and run: {len(ran_after_503)}")
failed = (max(rss + [after_load, final]) > max_rss or len(records) / 1e6 > max_records or twice
          or ran_after_503 or probe_status != 200)
sys.exit(1 if failed else 0)
PY
then :; else status=$?; fi
# The server stops as asked, and said nothing wrong on its way (a
# sanitizer's report included).
kill -TERM "$server"
if ! wait "$server"; then
  echo "soak-serve.sh: serve did not exit 0 on SIGTERM:" >&2
  tail -n 40 "$log" >&2
  status=1
fi
server=""
exit "$status"
