#!/usr/bin/env python3
"""Builds the broken device builds (the `faults` target of the device build
folder) and shows that the checks catch each fault: a check that passes on
a broken build proves nothing.

  check_faults.py CMAKE DEVICE_BUILD_FOLDER"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# fault: (check, option, file in the fault's folder, what the finding says)
EXPECTED = [
    ("swapped-initialisers", "check_static.py", "--library", "Quelline.dylib",
     "initialisers in the order"),
    ("swapped-initialisers", "check_emulated.py", "--library", "Quelline.dylib",
     "the first initialiser installs hooks"),
    ("open-not-variadic", "check_emulated.py", "--bundle", "QuellineModule.bundle",
     "the lock file is created with mode"),
    ("dynamic-lookup", "check_static.py", "--library", "Quelline.dylib",
     "_MSHookMessageEx is looked up in no library"),
    ("dynamic-lookup", "check_emulated.py", "--library", "Quelline.dylib",
     "_MSHookMessageEx is bound to no library"),
]


def main():
    cmake, build = sys.argv[1], sys.argv[2]
    subprocess.run([cmake, "--build", build, "--target", "faults"], check=True,
                   stdout=subprocess.DEVNULL)
    missed = 0
    for fault, check, option, name, finding in EXPECTED:
        run = subprocess.run([sys.executable, os.path.join(HERE, check), option,
                              os.path.join(build, "faults", fault, name)],
                             capture_output=True, text=True)
        caught = run.returncode == 1 and finding in run.stdout
        print(f"{fault}: {check} {'catches it' if caught else 'MISSES it'}")
        if not caught:
            missed += 1
            print(run.stdout + run.stderr)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
