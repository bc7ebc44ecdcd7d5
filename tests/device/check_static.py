#!/usr/bin/env python3
"""Static checks of the device build: the three Mach-O deliverables (and the
library versions their load commands require), the bundles' Info.plist
files, the settings pane's specifier plist, icons and Settings entry, the
loader's filter and the package.

  check_static.py --minimum-os 11.0 --first-unserved-os 13.0
                  --versions host/darwin/stubs/versions.txt
                  [--jailbreak-root /var/jb]
                  [--library Quelline.dylib] [--bundle QuellineModule.bundle]
                  [--pane QuellinePrefs.bundle] [--entry Quelline.plist]
                  [--package file.deb]

--jailbreak-root: the rootless build's (iOS 15 and 16): its files under
that folder, its package for iphoneos-arm64, the jailbreak's libraries
loaded through @rpath.

Prints every finding and exits 1 when there is any."""

import hashlib
import io
import plistlib
import re
import struct
import subprocess
import tarfile

import deliverables
import macho
from deliverables import (AUDIOTOOLBOX, BUNDLE_PATH, CCUIKIT, COREFOUNDATION, ENTRY_PATH,
                          FILTER_PATH, FOUNDATION, LIBOBJC, LIBRARY_PATH, LIBSYSTEM, MODULE_NAME,
                          PANE_CLASS, PANE_NAME, PANE_PATH, PREFERENCES, RPATH_NAMES,
                          SPARKAPPLIST, SUBSTRATE, UIKIT)


OBJC_COMMON = {"_class_addMethod", "_objc_getClass", "_objc_msgSend", "_object_getClass",
               "_sel_registerName"}

# What each deliverable may import, by the library that must define it.
LIBRARY = {
    "filetype": macho.MH_DYLIB,
    "install_name": LIBRARY_PATH,
    "dylibs": [(SPARKAPPLIST, True), (LIBOBJC, False), (LIBSYSTEM, False),
               (COREFOUNDATION, False), (FOUNDATION, False), (UIKIT, False),
               (AUDIOTOOLBOX, False), (SUBSTRATE, False)],
    "imports": {
        LIBOBJC: OBJC_COMMON | {"_class_createInstance", "_object_getIndexedIvars",
                                "_objc_retain", "_objc_release", "_class_getInstanceMethod"},
        LIBSYSTEM: {"dyld_stub_binder", "__dispatch_main_q", "_dispatch_after_f",
                    "_dispatch_time", "__NSConcreteStackBlock", "___stack_chk_fail",
                    "___stack_chk_guard", "_dispatch_walltime", "_time", "_localtime_r",
                    "_mktime", "_open", "_flock", "_close", "_usleep", "___error"},
        COREFOUNDATION: {"___CFConstantStringClassReference", "_CFRelease",
                         "_CFPreferencesAppSynchronize", "_CFPreferencesCopyKeyList",
                         "_CFPreferencesCopyMultiple", "_kCFPreferencesAnyHost",
                         "_kCFPreferencesCurrentUser", "_CFNotificationCenterAddObserver",
                         "_kCFCoreFoundationVersionNumber",
                         "_CFNotificationCenterGetDarwinNotifyCenter"},
        FOUNDATION: {"_NSHomeDirectory"},
        UIKIT: {"_UIApplicationSignificantTimeChangeNotification"},
        AUDIOTOOLBOX: {"_AudioServicesPlaySystemSound", "_AudioServicesPlayAlertSound"},
        SUBSTRATE: {"_MSHookMessageEx"},
    },
    "exports": {"_Settings", "_SharedFlags", "_tapRecognizer", "_timer", "_quietHoursBoundary",
                "_togglePeriodEnd",
                "_QuellineHookTable", "_QuellineHookTableSize", "_QuellineHookTableTarget"},
    "initialisers": ["quellineLoadSettings", "quellineInstallHooks"],
}
MODULE = {
    "filetype": macho.MH_BUNDLE,
    "install_name": None,
    "dylibs": [(LIBOBJC, False), (LIBSYSTEM, False), (COREFOUNDATION, False),
               (FOUNDATION, False), (UIKIT, False), (CCUIKIT, False)],
    "imports": {
        LIBOBJC: OBJC_COMMON | {"_objc_allocateClassPair", "_objc_registerClassPair",
                                "_class_addIvar", "_class_getInstanceVariable",
                                "_ivar_getOffset", "_objc_msgSendSuper", "_object_getClass",
                                "_class_getInstanceMethod"},
        LIBSYSTEM: {"dyld_stub_binder", "_open", "_flock", "_close", "_usleep", "___error",
                    "_dladdr", "___stack_chk_fail", "___stack_chk_guard", "__dispatch_main_q",
                    "_dispatch_after_f", "_dispatch_time", "_time"},
        COREFOUNDATION: {"___CFConstantStringClassReference"},
    },
    "exports": set(),
    "initialisers": ["registerQuellineModule"],
}

# The settings pane: Preferences is linked, not imported from (its classes
# are looked up by name); libsparkapplist is weak, so that without it the
# pane loads and disables its two app-list rows.
PANE = {
    "filetype": macho.MH_BUNDLE,
    "install_name": None,
    "dylibs": [(SPARKAPPLIST, True), (LIBOBJC, False), (LIBSYSTEM, False),
               (COREFOUNDATION, False), (FOUNDATION, False), (UIKIT, False),
               (PREFERENCES, False)],
    "imports": {
        LIBOBJC: OBJC_COMMON | {"_objc_allocateClassPair", "_objc_registerClassPair",
                                "_class_getInstanceVariable", "_ivar_getOffset", "_objc_retain",
                                "_objc_release"},
        LIBSYSTEM: {"dyld_stub_binder", "_open", "_flock", "_close", "_usleep", "___error",
                    "_dladdr", "___stack_chk_fail", "___stack_chk_guard"},
        COREFOUNDATION: {"___CFConstantStringClassReference",
                         "_CFNotificationCenterGetDarwinNotifyCenter",
                         "_CFNotificationCenterPostNotification"},
    },
    "exports": set(),
    "initialisers": ["registerRootListController"],
}

def check_signature(image, out):
    if not out.check(image.signature is not None, f"{image.path}: no LC_CODE_SIGNATURE"):
        return
    offset, size = image.signature
    blob = image.data[offset:offset + size]
    magic, _, count = struct.unpack_from(">3I", blob, 0)
    out.check(magic == 0xFADE0CC0, f"{image.path}: signature is no embedded-signature blob")
    directory = None
    for k in range(count):
        slot, at = struct.unpack_from(">2I", blob, 12 + 8 * k)
        if slot == 0:
            directory = at
    if not out.check(directory is not None, f"{image.path}: signature has no code directory"):
        return
    (magic, _, _, flags, hash_offset, _, _, n_code, code_limit, hash_size, hash_type, _,
     page_log2) = struct.unpack_from(">9I4B", blob, directory)
    out.check(magic == 0xFADE0C02, f"{image.path}: code directory magic {magic:#x}")
    out.check(flags & 0x2, f"{image.path}: signature is not ad hoc")
    out.check(code_limit == offset, f"{image.path}: signature covers {code_limit} of {offset} bytes")
    if not out.check(hash_type == 2 and hash_size == 32, f"{image.path}: hash is not SHA-256"):
        return
    page = 1 << page_log2
    for k in range(n_code):
        start = directory + hash_offset + k * hash_size
        expected = blob[start:start + hash_size]
        actual = hashlib.sha256(image.data[k * page:min((k + 1) * page, code_limit)]).digest()
        out.check(expected == actual, f"{image.path}: page {k} does not match its hash")
    out.check(n_code == (code_limit + page - 1) // page,
              f"{image.path}: {n_code} page hashes for {code_limit} bytes")


def flavoured(expected, root):
    """What a deliverable of the build for a jailbreak rooted at `root`
    holds: the jailbreak's libraries by their @rpath names, its own install
    name under the root (the rootful build's for an empty root)."""
    if not root:
        return expected
    named = lambda library: RPATH_NAMES.get(library, library)  # noqa: E731
    return {**expected,
            "dylibs": [(named(library), weak) for library, weak in expected["dylibs"]],
            "imports": {named(library): symbols
                        for library, symbols in expected["imports"].items()},
            "install_name": expected["install_name"] and root + expected["install_name"]}


def check_image(path, expected, out, args):
    expected = flavoured(expected, args.jailbreak_root)
    image = macho.load(path)
    name = path
    out.check(image.cputype == macho.CPU_TYPE_ARM64, f"{name}: CPU type {image.cputype:#x}, not arm64")
    out.check(image.filetype == expected["filetype"], f"{name}: file type {image.filetype}")
    out.check(image.flags & macho.MH_TWOLEVEL, f"{name}: not linked with a two-level namespace")
    out.check(image.minimum_os == args.minimum_os, f"{name}: minimum OS {image.minimum_os}")
    out.check(not image.has_chained_fixups, f"{name}: chained fixups need iOS 13.4")
    out.check(image.install_name == expected["install_name"],
              f"{name}: install name {image.install_name}")
    libraries = [(d.name, d.weak) for d in image.dylibs]
    out.check(libraries == expected["dylibs"], f"{name}: libraries {libraries}")
    for library, _ in expected["dylibs"]:
        out.check(library in [d.name for d in image.dylibs],
                  f"{name}: no load command of {library}: dyld would not load it first")

    # No load command requires more than the phone provides: dyld refuses
    # a library whose compatibility version is below the one required.
    provided = deliverables.read_versions(args.versions)
    for dylib in image.dylibs:
        if not out.check(dylib.name in provided,
                         f"{name}: {dylib.name} is not in the table of library versions"):
            continue
        _, compatibility = provided[dylib.name]
        out.check(macho.version_number(dylib.compatibility) <=
                  macho.version_number(compatibility),
                  f"{name}: requires {dylib.name} of compatibility version "
                  f"{dylib.compatibility}, above the {compatibility} the phone provides")

    # Every import is bound to the library that must define it.
    for bind in image.binds:
        if bind.ordinal <= 0 or bind.ordinal > len(image.dylibs):
            out.check(False, f"{name}: {bind.symbol} is looked up in no library "
                             f"(ordinal {bind.ordinal}): a flat or missing binding")
            continue
        library = image.dylibs[bind.ordinal - 1].name
        allowed = expected["imports"].get(library, set())
        out.check(bind.symbol in allowed, f"{name}: {bind.symbol} bound to {library}, "
                                          f"which is not where it is expected")
    for symbol in image.symbols:
        if symbol.external and not symbol.defined and (symbol.type & 0x0E) == 0:
            ordinal = (symbol.desc >> 8) & 0xFF
            out.check(ordinal not in (0xFE, 0), f"{name}: {symbol.name} has no library")

    out.check(set(image.exports) == expected["exports"],
              f"{name}: exports {sorted(image.exports)}, expected {sorted(expected['exports'])}")

    # The initialisers, in the order the loader runs them.
    # In __DATA, or in __DATA_CONST where the linker puts it for iOS 15 and
    # later (dyld runs the pointers of either; the section's type says so).
    inits = image.section("__DATA", "__mod_init_func") or \
        image.section("__DATA_CONST", "__mod_init_func")
    found = []
    if inits:
        for k in range(inits.size // 8):
            found.append(image.symbol_at(image.pointer(inits.addr + 8 * k)) or "?")
    wanted = expected["initialisers"]
    out.check(len(found) == len(wanted) and all(w in f for w, f in zip(wanted, found)),
              f"{name}: initialisers in the order {found}, expected {wanted}")
    check_signature(image, out)
    return image


def check_bundle(folder, out, args):
    check_image(deliverables.module_executable(folder), MODULE, out, args)
    with open(deliverables.info_plist(folder), "rb") as f:
        info = plistlib.load(f)
    wanted = {"CFBundleExecutable": MODULE_NAME, "NSPrincipalClass": MODULE_NAME,
              "CFBundleIdentifier": "com.veltrasse.quelline.module",
              "CFBundlePackageType": "BNDL", "MinimumOSVersion": args.minimum_os,
              "CFBundleSupportedPlatforms": ["iPhoneOS"], "CFBundleInfoDictionaryVersion": "6.0",
              "UIDeviceFamily": [1, 2]}
    for key, value in wanted.items():
        out.check(info.get(key) == value, f"{folder}/Info.plist: {key} is {info.get(key)!r}")
    for icon in ("Icon@2x.png", "Icon@3x.png"):
        with open(f"{folder}/{icon}", "rb") as f:
            out.check(f.read(8) == b"\x89PNG\r\n\x1a\n", f"{folder}/{icon}: not a PNG image")


def png_size(path):
    """(width, height) of a PNG file, or None when it is no PNG."""
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">2I", head[16:24])


# Settings' own icons are 29 points: 29, 58 and 87 px at 1x, 2x and 3x.
PANE_ICONS = {"icon.png": (29, 29), "icon@2x.png": (58, 58), "icon@3x.png": (87, 87)}
# The keys the toggle owns: never a row of the pane.
TOGGLE_KEYS = {"enableTweakToggle", "toggleHasControl"}
# The rows that open libsparkapplist's editor, by id.
APP_LIST_ROWS = ("silentApps", "bannerApps")
# The cell types a specifier plist may name (PSCellType's names, as
# iphonedevwiki's "Preferences specifier plist" lists them, as
# +[PSTableCell cellTypeFromString:] reads them).
SPECIFIER_CELLS = {"PSGroupCell", "PSLinkCell", "PSLinkListCell", "PSListItemCell",
                   "PSTitleValueCell", "PSSliderCell", "PSSwitchCell", "PSStaticTextCell",
                   "PSEditTextCell", "PSSegmentCell", "PSGiantIconCell", "PSGiantCell",
                   "PSSecureEditTextCell", "PSButtonCell", "PSEditTextViewCell", "PSSpinnerCell"}
DOMAIN = "com.veltrasse.quelline"


def check_pane(folder, out, args):
    image = check_image(deliverables.pane_executable(folder), PANE, out, args)
    with open(deliverables.info_plist(folder), "rb") as f:
        info = plistlib.load(f)
    wanted = {"CFBundleExecutable": PANE_NAME, "NSPrincipalClass": PANE_CLASS,
              "CFBundleIdentifier": "com.veltrasse.quelline.prefs",
              "MinimumOSVersion": args.minimum_os}
    for key, value in wanted.items():
        out.check(info.get(key) == value, f"{folder}/Info.plist: {key} is {info.get(key)!r}")
    # The class Settings makes by name is made by the executable's own code:
    # its name is one of the image's C strings.
    principal = info.get("NSPrincipalClass") or ""
    strings = image.section("__TEXT", "__cstring")
    names = image.data[strings.offset:strings.offset + strings.size].split(b"\0") if strings \
        else []
    out.check(principal.encode() in names,
              f"{folder}/{PANE_NAME}: the principal class {principal!r} is named nowhere in the "
              "executable: Settings would find no such class")
    for icon, size in PANE_ICONS.items():
        found = png_size(f"{folder}/{icon}")
        out.check(found == size, f"{folder}/{icon}: {found or 'no PNG image'}, expected "
                                 f"{size[0]}x{size[1]} px")
    check_specifiers(f"{folder}/Root.plist", out)


def check_specifiers(path, out):
    """The specifier plist that -loadSpecifiersFromPlistName:target: reads:
    a title and a list of items, each a cell Settings knows; every row of a
    key has its default, label and the domain; a slider's range holds its
    default; the toggle's keys are not shown; the two app lists are link
    cells with an action."""
    try:
        with open(path, "rb") as f:
            plist = plistlib.load(f)
    except (OSError, plistlib.InvalidFileException) as error:
        out.check(False, f"{path}: {error}")
        return
    items = plist.get("items") if isinstance(plist, dict) else None
    if not out.check(isinstance(items, list) and items and isinstance(plist.get("title"), str),
                     f"{path}: no title and items"):
        return
    out.check(items[0].get("cell") == "PSGroupCell", f"{path}: the first item is no group")
    rows = {}
    for item in items:
        cell, key, label = item.get("cell"), item.get("key"), item.get("label")
        out.check(cell in SPECIFIER_CELLS, f"{path}: {label!r} has cell {cell!r}, which "
                                           "Settings does not know")
        rows[item.get("id")] = item
        if key is not None:
            out.check(isinstance(key, str) and item.get("defaults") == DOMAIN and
                      "default" in item and isinstance(label, str),
                      f"{path}: the control {key!r} lacks its default, defaults ({DOMAIN}) or "
                      "label")
            out.check(key not in TOGGLE_KEYS, f"{path}: {key} is the toggle's and shown")
        if cell == "PSSliderCell":
            low, high = item.get("min"), item.get("max")
            out.check(isinstance(low, (int, float)) and isinstance(high, (int, float)) and
                      low <= item.get("default", low - 1) <= high,
                      f"{path}: the slider {key!r} has no range around its default")
    for row in APP_LIST_ROWS:
        item = rows.get(row, {})
        out.check(item.get("cell") == "PSLinkCell" and isinstance(item.get("action"), str),
                  f"{path}: the app-list row {row!r} is {item or 'missing'}, not a PSLinkCell "
                  "with an action")


def check_entry(path, out, _args=None):
    with open(path, "rb") as f:
        check_entry_plist(path, plistlib.load(f), out)


def check_entry_plist(path, entry, out):
    """Settings' entry for the pane, as PreferenceLoader reads it."""
    wanted = {"cell": "PSLinkCell", "label": "Quelline", "bundle": PANE_NAME,
              "isController": True, "icon": "icon.png"}
    found = entry.get("entry") if isinstance(entry, dict) else None
    if not out.check(isinstance(found, dict), f"{path}: no entry dictionary"):
        return
    for key, value in wanted.items():
        out.check(found.get(key) == value, f"{path}: entry {key} is {found.get(key)!r}")

PACKAGE_FILES = {
    "./": 0o755,
    "./Library/": 0o755,
    "./Library/MobileSubstrate/": 0o755,
    "./Library/MobileSubstrate/DynamicLibraries/": 0o755,
    "." + LIBRARY_PATH: 0o755,
    "." + FILTER_PATH: 0o644,
    "./Library/ControlCenter/": 0o755,
    "./Library/ControlCenter/Bundles/": 0o755,
    f".{BUNDLE_PATH}/": 0o755,
    "." + deliverables.module_executable(BUNDLE_PATH): 0o755,
    "." + deliverables.info_plist(BUNDLE_PATH): 0o644,
    f".{BUNDLE_PATH}/Icon@2x.png": 0o644,
    f".{BUNDLE_PATH}/Icon@3x.png": 0o644,
    "./Library/PreferenceBundles/": 0o755,
    f".{PANE_PATH}/": 0o755,
    "." + deliverables.pane_executable(PANE_PATH): 0o755,
    "." + deliverables.info_plist(PANE_PATH): 0o644,
    f".{PANE_PATH}/Root.plist": 0o644,
    **{f".{PANE_PATH}/{icon}": 0o644 for icon in PANE_ICONS},
    "./Library/PreferenceLoader/": 0o755,
    "./Library/PreferenceLoader/Preferences/": 0o755,
    "." + ENTRY_PATH: 0o644,
}


def package_files(root):
    """The package's entries and modes, its files under `root`."""
    if not root:
        return PACKAGE_FILES
    folders = {}
    for k in range(1, len(root.split("/"))):
        folders["." + "/".join(root.split("/")[:k + 1]) + "/"] = 0o755
    return {"./": 0o755, **folders,
            **{f".{root}{entry[1:]}": mode for entry, mode in PACKAGE_FILES.items()
               if entry != "./"}}


def built_file(device_path, args):
    """The built file that the package holds at `device_path`, or None when
    the deliverable it belongs to was not given."""
    root = args.jailbreak_root or ""
    if not device_path.startswith(root + "/"):
        return None
    device_path = device_path[len(root):]
    for place, built in ((LIBRARY_PATH, args.library), (FILTER_PATH, args.filter),
                         (ENTRY_PATH, args.entry)):
        if device_path == place:
            return built
    for folder, built in ((BUNDLE_PATH, args.bundle), (PANE_PATH, args.pane)):
        if device_path.startswith(folder + "/"):
            return built and built + device_path[len(folder):]
    return None


def check_package(path, out, args):
    # The app lists' library stays a dependency: the settings pane edits the
    # lists with it, though the library loads without it. PreferenceLoader
    # puts the pane in Settings' list.
    CONTROL = {
        "Package": "com.veltrasse.quelline",
        "Name": "Quelline",
        "Architecture": "iphoneos-arm64" if args.jailbreak_root else "iphoneos-arm",
        "Depends": "mobilesubstrate, preferenceloader, com.spark.libsparkapplist, "
                   "com.opa334.ccsupport, "
                   f"firmware (>= {args.minimum_os}), firmware (<< {args.first_unserved_os})",
        "Section": "Tweaks",
    }
    fields = subprocess.run(["dpkg-deb", "-f", path], check=True, capture_output=True,
                            text=True).stdout
    control = {}
    for line in fields.splitlines():
        if line and not line[0].isspace():
            key, _, value = line.partition(":")
            control[key] = value.strip()
    for key, value in CONTROL.items():
        out.check(control.get(key) == value, f"{path}: control {key} is {control.get(key)!r}")
    out.check(re.fullmatch(r"[^<>]+ <[^<>@\s]+@[^<>@\s]+>", control.get("Maintainer", "")),
              f"{path}: control Maintainer is {control.get('Maintainer')!r}, not "
              "\"Name <address>\"")
    out.check(bool(control.get("Version")), f"{path}: no Version")
    out.check(bool(control.get("Description")), f"{path}: no Description")

    files = package_files(args.jailbreak_root)
    tar_bytes = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True,
                               capture_output=True).stdout
    entries = {}
    with tarfile.open(fileobj=io.BytesIO(tar_bytes)) as tar:
        for member in tar.getmembers():
            entry = member.name + ("/" if member.isdir() and member.name != "./" and
                                   not member.name.endswith("/") else "")
            entries[entry] = member
            out.check(member.uid == 0 and member.gid == 0 and member.uname == "root" and
                      member.gname == "root", f"{path}: {entry} is not owned by root:root")
            wanted = files.get(entry)
            out.check(wanted is not None, f"{path}: unexpected file {entry}")
            out.check(wanted is None or member.mode == wanted,
                      f"{path}: {entry} has mode {member.mode:o}, expected {wanted or 0:o}")
        out.check(set(entries) == set(files),
                  f"{path}: missing {sorted(set(files) - set(entries))}")
        # Every file the package carries is the one built.
        for entry, member in entries.items():
            built = built_file(entry[1:], args)
            if member.isfile() and built:
                with open(built, "rb") as f:
                    out.check(tar.extractfile(member).read() == f.read(),
                              f"{path}: {entry} is not the file built ({built})")
        root = args.jailbreak_root or ""
        member = entries.get(f".{root}{FILTER_PATH}")
        if member:
            loader_filter = plistlib.loads(tar.extractfile(member).read())
            out.check(loader_filter == {"Filter": {"Bundles": ["com.apple.springboard"]}},
                      f"{path}: filter {loader_filter}")
        member = entries.get(f".{root}{ENTRY_PATH}")
        if member:
            check_entry_plist(f"{path}: {ENTRY_PATH}",
                              plistlib.loads(tar.extractfile(member).read()), out)


if __name__ == "__main__":
    deliverables.main(__doc__, [("--library", lambda p, out, args: check_image(p, LIBRARY, out, args)),
                                ("--bundle", check_bundle), ("--pane", check_pane),
                                ("--entry", check_entry), ("--package", check_package)],
                      options=[("--minimum-os", "the oldest iOS served (MinimumOSVersion)"),
                               ("--first-unserved-os", "the first iOS not served"),
                               ("--versions", "the libraries' versions (stubs/versions.txt)"),
                               ("--filter", "the substrate filter (package/Quelline.plist)"),
                               ("--jailbreak-root", "the rootless build's root (/var/jb)")])
