#!/usr/bin/env python3
"""With quiet hours off (their default), the system behaves as it did
before they existed: the demo, every scenario that existed then and the
episodes of the random-action campaign (seed 1, 5000 actions) give the
same standard output (JSON records) and exit status as they gave then,
apart from the fields that quiet hours add (and the Settings pane's field
and command, which came beside them).

The reference (reference.txt: name, exit status, SHA-256 of the
normalised output) was made with the build of the commit before quiet
hours (74a88e9), by this script with --write. What normalising removes,
at any depth of a record: the keys that the preference domain marks as a
feature's beyond the core (QUELLINE_BEYOND_CORE_KEYS of prefs/domain.h,
read from --domain), the state's fields that quiet hours add
(quietHoursHold, quietHoursBoundary, quietHoursTimeChanged, clock) and the
Settings pane's pane;
the hook rows and class methods whose selector starts with quietHours; the
keys and selectors that start with toggleDuration or togglePeriod (the
toggle's period, off by default, came later the same way); the
command settings in the lists of commands that errors give. Standard error is not compared:
its messages list the keys and commands, which now name quiet hours'.
Scenarios that set a command line of their own (cli:, stdin:) test the
command line, not the system, and are left out, as are those this change
had to edit because they name every hook row or every setting
(hooks-table, settings-defaults), and those the second modeled home screen
changed: the list of host classes that an error names grew
(error-boot-unknown-class), and a scenario that also runs there lost the
one line that named an iOS 11 selector (sounds-settings).

  check_unchanged.py --sim quelline-sim --actions quelline-actions
                     --domain prefs/domain.h
                     --scenarios DIR --examples DIR --work DIR
                     [--reference reference.txt] [--write]"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

# The fields of the state that quiet hours added, besides their keys.
NEW_FIELDS = {"quietHoursHold", "quietHoursBoundary", "quietHoursTimeChanged", "clock",
              # The Settings app's pane (the settings pane's change, made beside
              # quiet hours): its field of the state.
              "pane"}
# NEW_FIELDS and the domain's keys beyond the core (main() reads them).
NEW_KEYS = set(NEW_FIELDS)
# Commands added beside quiet hours (the settings pane's) and since (history,
# the logs' bound), as error messages list the commands.
NEW_COMMANDS = ("settings", "history")
# The toggle's period (off by default): the dump's field, the event and
# SpringBoard's method that receives it (its setting is a key beyond the core).
PERIOD_PREFIXES = ("toggleDuration", "togglePeriod")
# error-wait-bound sets the wall clock to 1971 first: from its default
# (2025), four billion seconds of waiting would carry the wall clock past
# the latest moment it holds (2099), which is refused before the bound it
# tests.
EDITED = {"hooks-table", "settings-defaults", "error-wait-bound", "error-boot-unknown-class",
          "sounds-settings"}
SEED, ACTIONS = 1, 5000


def normalise(value):
    if isinstance(value, str) and ("expected one of:" in value or "may come before it" in value):
        for command in NEW_COMMANDS:
            value = value.replace(f" {command},", "")
        return value
    if isinstance(value, dict):
        out = {}
        for key, item in value.items():
            if key in NEW_KEYS or key.startswith(PERIOD_PREFIXES):
                continue
            out[key] = normalise(item)
        return out
    if isinstance(value, list):
        return [normalise(v) for v in value
                if not (isinstance(v, dict) and
                        str(v.get("selector", "")).startswith(("quietHours",) + PERIOD_PREFIXES))]
    return value


def beyond_core_keys(domain):
    """The keys that prefs/domain.h marks as a feature's beyond the core."""
    text = open(domain, encoding="utf-8").read()
    marked = re.search(r"#define QUELLINE_BEYOND_CORE_KEYS\(K\)((?:[^\n]*\\\n)*[^\n]*)", text)
    settings = set(re.findall(r"^\s*X\((\w+),", text, re.M))
    if not marked or not settings:
        sys.exit(f"{domain}: expected QUELLINE_BEYOND_CORE_KEYS(K) and the QUELLINE_SETTINGS keys")
    keys = re.findall(r"K\((\w+)\)", marked.group(1))
    unknown = [key for key in keys if key not in settings]
    if unknown:
        sys.exit(f"{domain}: QUELLINE_BEYOND_CORE_KEYS names {', '.join(unknown)}, "
                 "which QUELLINE_SETTINGS does not hold; expected keys of the domain")
    return set(keys)


def normalised(stdout):
    lines = []
    for line in stdout.splitlines():
        try:
            lines.append(json.dumps(normalise(json.loads(line)), sort_keys=True))
        except ValueError:
            lines.append(line)
    return "\n".join(lines)


def header(text, name):
    found = re.search(rf"^# {name}: ?(.*)$", text, re.M)
    return found.group(1).strip() if found else None


def run(args, sim_args, folder=None):
    """quelline-sim --root ROOT --json ARGS in `folder` (a scenario is named
    by its file name there), on a fresh root; the root's path and the
    folder's are replaced in the output, which names them in a few errors."""
    root = os.path.abspath(os.path.join(args.work, "root"))
    folder = os.path.abspath(folder or args.work)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "var/mobile/Library/Preferences"))
    done = subprocess.run([args.sim, "--root", root, "--json"] + sim_args, capture_output=True,
                          text=True, cwd=folder, timeout=120)
    stdout = done.stdout.replace(root, "ROOT").replace(folder, "FOLDER")
    return done.returncode, hashlib.sha256(normalised(stdout).encode()).hexdigest()


def cases(args):
    """(name, how to run it) for each case, in a stable order."""
    out = [("demo", lambda: run(args, []))]
    for folder, prefix in ((args.scenarios, "scenario"), (args.examples, "example")):
        for file in sorted(f for f in os.listdir(folder) if f.endswith(".scn")):
            path = os.path.join(folder, file)
            text = open(path, encoding="utf-8").read()
            stem = file[:-4]
            if (stem in EDITED or header(text, "cli") is not None or
                    header(text, "stdin") is not None or header(text, "disabled") is not None or
                    header(text, "make-folder") is not None):
                continue
            extra = (header(text, "args") or "").split()
            out.append((f"{prefix}.{stem}",
                        lambda f=file, e=extra, d=folder: run(args, e + ["run", f], d)))
    lines = subprocess.run([args.actions, "--seed", str(SEED), "--actions", str(ACTIONS),
                            "--lines"], capture_output=True, text=True, check=True).stdout
    for number, episode in enumerate(lines.split("# episode ")[1:]):
        body = episode.split("\n", 1)[1]
        path = os.path.join(args.work, f"episode-{number}.scn")
        with open(path, "w", encoding="utf-8") as f:
            f.write(body)
        out.append((f"actions.seed{SEED}.episode{number}",
                    lambda f=os.path.basename(path): run(args, ["run", f])))
    return out


def main():
    parser = argparse.ArgumentParser()
    for option in ("--sim", "--actions", "--domain", "--scenarios", "--examples", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("--reference",
                        default=os.path.join(os.path.dirname(__file__), "reference.txt"))
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    NEW_KEYS.update(beyond_core_keys(args.domain))
    args.sim, args.actions = os.path.abspath(args.sim), os.path.abspath(args.actions)
    os.makedirs(args.work, exist_ok=True)
    results = {name: how() for name, how in cases(args)}
    if args.write:
        with open(args.reference, "w", encoding="utf-8") as f:
            for name, (status, digest) in results.items():
                f.write(f"{name} {status} {digest}\n")
        return 0
    reference = {}
    for line in open(args.reference, encoding="utf-8"):
        name, status, digest = line.split()
        reference[name] = (int(status), digest)
    findings = []
    for name, (status, digest) in reference.items():
        if name not in results:
            findings.append(f"{name}: no longer run (removed, or now with a command line of its own)")
        elif results[name] != (status, digest):
            got = results[name]
            findings.append(f"{name}: exit status {got[0]} (was {status}), output "
                            f"{'the same' if got[1] == digest else 'different'}")
    for finding in findings:
        print(finding)
    print(f"{len(reference) - len(findings)} of {len(reference)} cases as before quiet hours")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
