#!/usr/bin/env python3
"""The commands that the README and the documents show as runnable run, on
the built programs, and print what the documents show.

A code block (indented by four spaces, or fenced) is runnable when the line
`<!-- runnable -->` comes before it (blank lines between are allowed). In
it, a line that starts with `$ ` is a command; the lines after it, up to the
next command, are what it prints on standard output, compared line by line
(trailing blanks ignored). A block without `$ ` lines is a list of commands
that must succeed, whatever they print.

Each block runs in a new empty folder with bash (`set -e`), with the built
programs first on PATH, QUELLINE set to the repository and
"$QUELLINE/build/release/bin/" standing for the built programs' folder
("$QUELLINE/scripts/run.sh", which builds quelline-sim and runs it with
its arguments, stands for the built quelline-sim).

Usage: check_doc_commands.py REPOSITORY BIN-FOLDER
"""

import os
import subprocess
import sys
import tempfile

MARK = "<!-- runnable -->"


def blocks(path):
    """(line number, [lines]) of each runnable block of the file."""
    lines = open(path, encoding="utf-8").read().splitlines()
    out = []
    i = 0
    while i < len(lines):
        if lines[i].strip() != MARK:
            i += 1
            continue
        start = i + 1
        while start < len(lines) and not lines[start].strip():
            start += 1
        body = []
        if start < len(lines) and lines[start].lstrip().startswith("```"):
            end = start + 1
            while end < len(lines) and not lines[end].lstrip().startswith("```"):
                body.append(lines[end])
                end += 1
        else:
            end = start
            while end < len(lines) and (lines[end].startswith("    ") or not lines[end].strip()):
                if lines[end].strip() or (end + 1 < len(lines) and lines[end + 1].startswith("    ")):
                    body.append(lines[end][4:])
                end += 1
        if not body:
            raise SystemExit(f"{path}:{i + 1}: {MARK} is followed by no code block")
        out.append((start + 1, body))
        i = end
    return out


def steps(body):
    """[(command, expected lines or None)]."""
    if not any(line.startswith("$ ") for line in body):
        return [(line, None) for line in body if line.strip() and not line.lstrip().startswith("#")]
    out = []
    for line in body:
        if line.startswith("$ "):
            out.append((line[2:], []))
        elif out:
            out[-1][1].append(line)
    return out


def run(repo, bin_folder, where, body):
    """The faults of one block: [] when every command did as shown."""
    faults = []
    env = dict(os.environ, QUELLINE=repo, PATH=bin_folder + os.pathsep + os.environ["PATH"],
               NO_COLOR="1")
    env.pop("QUELLINE_ROOT", None)
    with tempfile.TemporaryDirectory(prefix="quelline-doc-") as folder:
        for command, expected in steps(body):
            shown = command.replace("$QUELLINE/build/release/bin/", bin_folder + "/")
            shown = shown.replace('"$QUELLINE/scripts/run.sh"', f'"{bin_folder}/quelline-sim"')
            done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", shown], cwd=folder, env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
            if done.returncode != 0:
                faults.append(f"{where}: `{command}` exited {done.returncode}: {done.stderr.strip()}")
                break
            if expected is None:
                continue
            got = [line.rstrip() for line in done.stdout.rstrip("\n").splitlines()]
            want = [line.rstrip() for line in expected]
            while want and not want[-1]:
                want.pop()
            if got != want:
                faults.append(f"{where}: `{command}` printed\n  " + "\n  ".join(got) +
                              "\nwhere the document shows\n  " + "\n  ".join(want))
    return faults


def main():
    repo, bin_folder = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    files = [os.path.join(repo, "README.md")] + sorted(
        os.path.join(repo, "docs", name) for name in os.listdir(os.path.join(repo, "docs"))
        if name.endswith(".md"))
    faults, count = [], 0
    for path in files:
        for line, body in blocks(path):
            count += 1
            faults += run(repo, bin_folder, f"{os.path.relpath(path, repo)}:{line}", body)
    if not count:
        faults.append(f"no block is marked {MARK}")
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"{count} runnable blocks, {len(faults)} failed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
