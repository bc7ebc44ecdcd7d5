#!/usr/bin/env python3
"""Runs every benchmark of quelline-bench once, briefly, and fails when any
of them reports an error: a benchmark whose setup no longer holds is found
by the suite, not by the next person who measures. No time is looked at.

    bench/run_once.py build/debug/bin/quelline-bench
"""

import json
import subprocess
import sys


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: run_once.py QUELLINE_BENCH")
    done = subprocess.run([sys.argv[1], "--benchmark_min_time=0.001", "--benchmark_format=json"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)
    if done.returncode != 0:
        sys.exit(f"quelline-bench exited {done.returncode}: {done.stderr[-2000:]}")
    runs = json.loads(done.stdout).get("benchmarks", [])
    if not runs:
        sys.exit("quelline-bench ran no benchmark")
    failed = [f"{run['name']}: {run.get('error_message', '')}" for run in runs if run.get("error_occurred")]
    for line in failed:
        print(line, file=sys.stderr)
    print(f"{len(runs)} benchmarks ran, {len(failed)} with an error")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
