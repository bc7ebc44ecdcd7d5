#!/usr/bin/env python3
"""The rootless package (iOS 15 and 16, files under /var/jb): its control
file and paths, the load commands of each deliverable, and the library
loaded by a rootless phone's loader, which finds the jailbreak's libraries
only through LC_RPATH under /var/jb, on the home screen of iOS 16.

  check_rootless.py --package DEB --library DYLIB --bundle DIR --pane DIR
                    --facts FACTS --versions VERSIONS
                    [--rootful-library DYLIB]

--rootful-library: the rootful build's library, which this phone must
refuse (its substrate is named by a path under /Library)."""

import subprocess

import check_emulated
import deliverables
import macho
from deliverables import RPATH_NAMES, SPARKAPPLIST, SUBSTRATE
from emulator import EmulationError

ROOT = "/var/jb"
RPATHS = [f"{ROOT}/Library/Frameworks", f"{ROOT}/usr/lib"]
# The user's files: outside the sealed volume and the jailbreak's root.
PREFS_FOLDER = "/var/mobile/Library/Preferences"
CONTROL = {
    "Package": "com.veltrasse.quelline",
    "Architecture": "iphoneos-arm64",
}
DEPENDS = ["mobilesubstrate", "preferenceloader", "com.spark.libsparkapplist",
           "com.opa334.ccsupport", "firmware (>= 15.0)", "firmware (<< 17.0)"]


def check_package(path, out, args):
    fields = subprocess.run(["dpkg-deb", "--field", path], capture_output=True, text=True,
                            check=True).stdout
    control = dict(line.split(": ", 1) for line in fields.splitlines()
                   if ": " in line and not line.startswith(" "))
    for key, wanted in CONTROL.items():
        out.check(control.get(key) == wanted, f"{path}: {key} is {control.get(key)!r}, "
                                              f"expected {wanted!r}")
    depends = [d.strip() for d in control.get("Depends", "").split(",")]
    out.check(sorted(depends) == sorted(DEPENDS),
              f"{path}: Depends is {depends}, expected {DEPENDS}")
    listing = subprocess.run(["dpkg-deb", "--contents", path], capture_output=True, text=True,
                             check=True).stdout
    paths = [line.split()[-1] for line in listing.splitlines()]
    outside = [p for p in paths if p not in ("./", "./var/", "./var/jb/") and
               not p.startswith("./var/jb/")]
    out.check(not outside, f"{path}: files outside {ROOT}: {outside}")
    for wanted in (deliverables.LIBRARY_PATH, deliverables.FILTER_PATH,
                   deliverables.BUNDLE_PATH + "/", deliverables.PANE_PATH + "/",
                   deliverables.ENTRY_PATH):
        out.check(f".{ROOT}{wanted}" in paths, f"{path}: no {ROOT}{wanted}")
    # The user's files are not the package's.
    out.check(not any(PREFS_FOLDER.lstrip("/") in p for p in paths),
              f"{path}: carries a file of {PREFS_FOLDER}")


def check_image(path, out, minimum="15.0"):
    """No load command under a rootful path; the jailbreak's libraries
    through @rpath, and then the two LC_RPATH folders."""
    image = macho.load(path)
    names = [d.name for d in image.dylibs]
    rootful = [n for n in names if n in RPATH_NAMES or n.startswith(("/Library/", "/var/"))]
    out.check(not rootful, f"{path}: loads {rootful} by a path a rootless phone lacks")
    if any(n.startswith("@rpath/") for n in names):
        out.check(image.rpaths == RPATHS, f"{path}: LC_RPATH {image.rpaths}, expected {RPATHS}")
    out.check(image.minimum_os == minimum, f"{path}: minimum OS {image.minimum_os}, "
                                           f"expected {minimum}")
    if image.install_name is not None:
        out.check(image.install_name.startswith(ROOT + "/"),
                  f"{path}: install name {image.install_name} is not under {ROOT}")
    return image


def check_library(path, out, args):
    image = check_image(path, out)
    names = [d.name for d in image.dylibs]
    for library, name in RPATH_NAMES.items():
        out.check(name in names, f"{path}: does not load {name}")
    facts = deliverables.load_facts(args.facts)
    # The phone's loader: the substrate and the app lists found under
    # /var/jb through LC_RPATH, the home screen of iOS 16.
    m = check_emulated.machine(args, home=facts["homeScreen16"], files={},
                               core_foundation=facts["coreFoundation"]["ios16"])
    m.jailbreak_root = ROOT
    try:
        m.load(path, ROOT + deliverables.LIBRARY_PATH, check_emulated.LIBRARY_BASE)
    except EmulationError as error:
        out.check(False, f"{path}: a rootless phone does not load it: {error}")
        return
    out.check(not m.dropped, f"{path}: the rootless loader drops {m.dropped}")
    out.check({SUBSTRATE, SPARKAPPLIST} <= m.loaded_libraries,
              f"{path}: the rootless loader loaded {sorted(m.loaded_libraries)}")
    # The same library on the home screen of iOS 16, rows and all.
    check_emulated.check_ios16(path, out, args, facts, jailbreak_root=ROOT)
    if args.rootful_library:
        m = check_emulated.machine(args, home=facts["homeScreen16"], files={})
        m.jailbreak_root = ROOT
        try:
            m.load(args.rootful_library, deliverables.LIBRARY_PATH, check_emulated.LIBRARY_BASE)
            out.check(False, f"{args.rootful_library}: a rootless phone loads the rootful "
                             "library")
        except EmulationError as error:
            out.check("Library not loaded: " + SUBSTRATE in str(error),
                      f"{args.rootful_library}: refused for another reason: {error}")


def check_bundle(folder, out, args):
    check_image(deliverables.module_executable(folder), out)


def check_pane(folder, out, args):
    check_image(deliverables.pane_executable(folder), out)


if __name__ == "__main__":
    deliverables.main(__doc__, [("--package", check_package), ("--library", check_library),
                                ("--bundle", check_bundle), ("--pane", check_pane)],
                      options=[("--facts", "the build's facts (device-facts)"),
                               ("--versions", "the libraries' versions (stubs/versions.txt)"),
                               ("--rootful-library", "the rootful library, to be refused")])
