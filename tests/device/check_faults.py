#!/usr/bin/env python3
"""Builds the broken device builds (the `faults` target of the device build
folder) and shows that the checks catch each fault: a check that passes on
a broken build proves nothing.

  check_faults.py CMAKE DEVICE_BUILD_FOLDER FACTS --minimum-os V
                  --first-unserved-os V --versions FILE
                  [--rootless ROOTLESS_BUILD_FOLDER --rootful-package DEB]"""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

PANE = "QuellinePrefs.bundle"

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
    ("versionless-stubs", "check_static.py", "--library", "Quelline.dylib",
     "requires /Library/Frameworks/CydiaSubstrate.framework/CydiaSubstrate of compatibility "
     "version 1.0, above the 0 the phone provides"),
    ("versionless-stubs", "check_emulated.py", "--library", "Quelline.dylib",
     "Library not loaded: /Library/Frameworks/CydiaSubstrate.framework/CydiaSubstrate: "
     "Incompatible library version"),
    ("weak-library-version", "check_static.py", "--library", "Quelline.dylib",
     "requires /usr/lib/libsparkapplist.dylib of compatibility version 1.0"),
    ("weak-library-version", "check_emulated.py", "--library", "Quelline.dylib",
     "the loader drops /usr/lib/libsparkapplist.dylib: Incompatible library version"),
    ("hooks-unchecked", "check_emulated.py", "--library", "Quelline.dylib",
     "MSHookMessageEx was handed a nil class"),
    ("hook-missing-method", "check_emulated.py", "--library", "Quelline.dylib",
     "which the class does not have"),
    ("old-selector-ios16", "check_emulated.py", "--library", "Quelline.dylib",
     "on iOS 16 the rows installed are"),
    ("version-unread", "check_emulated.py", "--library", "Quelline.dylib",
     "on iOS 16 the rows installed are"),
    ("old-info-plist", "check_static.py", "--bundle", "QuellineModule.bundle",
     "Info.plist: UIDeviceFamily is None"),
    ("old-info-plist", "check_static.py", "--bundle", "QuellineModule.bundle",
     "Info.plist: CFBundleInfoDictionaryVersion is '11.0'"),
    ("old-info-plist", "check_emulated.py", "--bundle", "QuellineModule.bundle",
     "Control Center of an iPhone or iPod touch skips the module"),
    ("old-control", "check_static.py", "--package", "package.deb",
     "control Depends is"),
    ("old-control", "check_static.py", "--package", "package.deb",
     "control Maintainer is 'Veltrasse', not"),
    ("old-control", "check_static.py", "--package", "package.deb",
     "control Depends is 'mobilesubstrate, com.spark.libsparkapplist"),
    # The settings pane and its place in the package.
    ("pane-dylib", "check_static.py", "--pane", PANE, "file type 6"),
    ("pane-strong-app-lists", "check_static.py", "--pane", PANE,
     "libraries [('/usr/lib/libsparkapplist.dylib', False)"),
    ("pane-strong-app-lists", "check_emulated.py", "--pane", PANE,
     "Library not loaded: /usr/lib/libsparkapplist.dylib"),
    ("pane-dynamic-lookup", "check_static.py", "--pane", PANE,
     "_CFNotificationCenterPostNotification is looked up in no library"),
    ("pane-dynamic-lookup", "check_emulated.py", "--pane", PANE, "is bound to no library"),
    ("pane-dead-strip-dylibs", "check_static.py", "--pane", PANE,
     "no load command of /System/Library/PrivateFrameworks/Preferences.framework/Preferences"),
    ("pane-wrong-principal", "check_static.py", "--pane", PANE,
     "the principal class 'QuellinePrefsListController' is named nowhere in the executable"),
    ("pane-wrong-principal", "check_emulated.py", "--pane", PANE,
     "the principal class 'QuellinePrefsListController' is not registered"),
    ("pane-reads-cfprefs", "check_emulated.py", "--pane", PANE, "goes through cfprefsd"),
    ("pane-open-not-variadic", "check_emulated.py", "--pane", PANE,
     "the lock file is opened as"),
    ("pane-not-atomic", "check_emulated.py", "--pane", PANE,
     "the file is written in place, not atomically"),
    ("pane-posts-domain", "check_emulated.py", "--pane", PANE,
     "a change posts [('darwinPost', True, 'com.veltrasse.quelline')]"),
    ("pane-writes-non-dictionary", "check_emulated.py", "--pane", PANE,
     "a file that holds no dictionary is written over"),
    ("entry-not-controller", "check_static.py", "--entry", "Quelline.plist",
     "entry isController is None"),
    ("package-without-pane", "check_static.py", "--package", "package.deb",
     "missing ['./Library/PreferenceBundles/QuellinePrefs.bundle/'"),
    # Rows and refusals of the settings pane, as the Settings app has them.
    ("pane-title-value-switch", "check_emulated.py", "--pane", PANE,
     "is a PSTitleValueCell, which cannot set a value"),
    ("pane-detail-unknown", "check_emulated.py", "--pane", PANE,
     "has detail 'QuellineTimeListController', which names no class"),
    ("pane-no-valid-titles", "check_emulated.py", "--pane", PANE,
     "validValues and 0 validTitles"),
    ("pane-equal-times", "check_emulated.py", "--pane", PANE,
     "a start equal to the end does"),
    # Reference counting in the pane.
    ("pane-specifiers-unretained", "check_emulated.py", "--pane", PANE,
     "shown as the controller's _specifiers after it was deallocated"),
    ("pane-editor-released-twice", "check_emulated.py", "--pane", PANE,
     "after it was deallocated: an over-release"),
    # The toggle's paths beyond switching on.
    ("toggle-off-writes-on", "check_emulated.py", "--bundle", "QuellineModule.bundle",
     "setSelected: NO does"),
    ("toggle-is-selected-inverted", "check_emulated.py", "--bundle", "QuellineModule.bundle",
     "isSelected answers"),
    ("toggle-check-state-inverted", "check_emulated.py", "--bundle", "QuellineModule.bundle",
     "checkState with the file off does"),
]


# The rootless package's facts: (what is checked, option, the broken file,
# what the finding says).
ROOTLESS = [
    ("no-rpath", "--library", "faults/no-rpath/Quelline.dylib", "LC_RPATH [], expected"),
    ("no-rpath", "--library", "faults/no-rpath/Quelline.dylib",
     "Library not loaded: @rpath/CydiaSubstrate.framework/CydiaSubstrate"),
    ("rootful-package", "--package", None, "files outside /var/jb"),
]


def check_rootless(args):
    """The rootless check on the rootless build broken, and on the rootful
    package (a rootful path in the rootless package)."""
    subprocess.run([args.cmake, "--build", args.rootless, "--target", "Quelline.no-rpath"],
                   check=True, stdout=subprocess.DEVNULL)
    missed = 0
    for fault, option, name, finding in ROOTLESS:
        path = os.path.join(args.rootless, name) if name else args.rootful_package
        run = subprocess.run([sys.executable, os.path.join(HERE, "check_rootless.py"), "--facts",
                              args.facts, "--versions", args.versions, option, path],
                             capture_output=True, text=True)
        caught = run.returncode == 1 and finding in run.stdout
        print(f"{fault}: check_rootless.py {'catches it' if caught else 'MISSES it'} ({finding})")
        if not caught:
            missed += 1
            print(run.stdout + run.stderr)
    return missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cmake")
    parser.add_argument("build")
    parser.add_argument("facts")
    parser.add_argument("--minimum-os", required=True)
    parser.add_argument("--first-unserved-os", required=True)
    parser.add_argument("--versions", required=True)
    parser.add_argument("--rootless")
    parser.add_argument("--rootful-package")
    args = parser.parse_args()
    given = {"check_static.py": ["--minimum-os", args.minimum_os, "--first-unserved-os",
                                 args.first_unserved_os, "--versions", args.versions],
             "check_emulated.py": ["--facts", args.facts, "--versions", args.versions]}
    subprocess.run([args.cmake, "--build", args.build, "--target", "faults"], check=True,
                   stdout=subprocess.DEVNULL)
    missed = 0
    # A broken copy whose source was edited since holds no fault any more.
    stale = os.path.join(args.build, "faults", "stale-copies.txt")
    if os.path.exists(stale):
        with open(stale) as f:
            for line in f:
                print(f"a broken build is the source unbroken: {line.rstrip()}")
                missed += 1
    for fault, check, option, name, finding in EXPECTED:
        run = subprocess.run([sys.executable, os.path.join(HERE, check), *given[check], option,
                              os.path.join(args.build, "faults", fault, name)],
                             capture_output=True, text=True)
        caught = run.returncode == 1 and finding in run.stdout
        print(f"{fault}: {check} {'catches it' if caught else 'MISSES it'} ({finding})")
        if not caught:
            missed += 1
            print(run.stdout + run.stderr)
    if args.rootless:
        missed += check_rootless(args)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
