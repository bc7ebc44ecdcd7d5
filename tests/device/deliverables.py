"""What the device checks share: the deliverables (where each is built and
where the phone has it), the build's facts they read, and the way each
check reports its findings and exits.

Facts from the build (the `device-facts` program of the host build, a JSON
file): the layout of `Settings` (its fields in order, with offset, size,
type and default), the layout of a hook row, and the modeled home screen
(its classes with their superclass and methods). The hook table itself is
read from the built library's exported `_QuellineHookTable`."""

import argparse
import json
import sys

# Where the phone has the deliverables (the package puts them there).
LIBRARY_PATH = "/Library/MobileSubstrate/DynamicLibraries/Quelline.dylib"
FILTER_PATH = "/Library/MobileSubstrate/DynamicLibraries/Quelline.plist"
BUNDLE_PATH = "/Library/ControlCenter/Bundles/QuellineModule.bundle"
MODULE_NAME = "QuellineModule"
PANE_PATH = "/Library/PreferenceBundles/QuellinePrefs.bundle"
PANE_NAME = "QuellinePrefs"
PANE_CLASS = "QuellinePrefsRootListController"
ENTRY_PATH = "/Library/PreferenceLoader/Preferences/Quelline.plist"

# The install names of the libraries the deliverables link against.
LIBOBJC = "/usr/lib/libobjc.A.dylib"
LIBSYSTEM = "/usr/lib/libSystem.B.dylib"
COREFOUNDATION = "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation"
FOUNDATION = "/System/Library/Frameworks/Foundation.framework/Foundation"
UIKIT = "/System/Library/Frameworks/UIKit.framework/UIKit"
AUDIOTOOLBOX = "/System/Library/Frameworks/AudioToolbox.framework/AudioToolbox"
SUBSTRATE = "/Library/Frameworks/CydiaSubstrate.framework/CydiaSubstrate"
CCUIKIT = "/System/Library/PrivateFrameworks/ControlCenterUIKit.framework/ControlCenterUIKit"
SPARKAPPLIST = "/usr/lib/libsparkapplist.dylib"
PREFERENCES = "/System/Library/PrivateFrameworks/Preferences.framework/Preferences"
# The jailbreak's libraries as a rootless build names them: found through
# LC_RPATH under the jailbreak's root.
RPATH_NAMES = {SUBSTRATE: "@rpath/CydiaSubstrate.framework/CydiaSubstrate",
               SPARKAPPLIST: "@rpath/libsparkapplist.dylib"}


def module_executable(bundle):
    """The toggle's executable in a bundle folder."""
    return f"{bundle}/{MODULE_NAME}"


def pane_executable(bundle):
    """The settings pane's executable in a bundle folder."""
    return f"{bundle}/{PANE_NAME}"


def info_plist(bundle):
    return f"{bundle}/Info.plist"


class Findings:
    def __init__(self):
        self.items = []

    def check(self, ok, what):
        if not ok:
            self.items.append(what)
        return ok


def load_facts(path):
    with open(path) as f:
        return json.load(f)


def read_versions(path):
    """The table of the libraries the phone provides
    (host/darwin/stubs/versions.txt): {install name: (current,
    compatibility)}."""
    table = {}
    with open(path) as f:
        for line in f:
            if line.startswith(("/", "@")):
                name, current, compatibility = line.split()
                table[name] = (current, compatibility)
    return table


def run(doc, checks, options=(), after=None):
    """Parses the deliverables' options (--library, --bundle, ...) and the
    other `options` ((flag, help) pairs; a flag whose help ends in "?" takes
    no value), runs each check (option, function(path, findings, args))
    whose deliverable was given, then `after(findings, args)`, prints every
    finding and returns the exit status: 1 when there is any."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    for option, _ in checks:
        parser.add_argument(option)
    for flag, text in options:
        if text.endswith("?"):
            parser.add_argument(flag, action="store_true", help=text)
        else:
            parser.add_argument(flag, help=text)
    args = parser.parse_args()
    out = Findings()
    checked = []
    for option, check in checks:
        path = getattr(args, option.lstrip("-").replace("-", "_"))
        if path:
            check(path, out, args)
            checked.append(path)
    if after:
        after(out, args)
    for item in out.items:
        print(item)
    print(f"{len(out.items)} findings in {', '.join(checked)}")
    return 1 if out.items else 0


def main(doc, checks, options=(), after=None):
    sys.exit(run(doc, checks, options, after))
