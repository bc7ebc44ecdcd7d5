#!/usr/bin/env python3
"""Runs the device deliverables' arm64 code in an emulator and checks what
it does: the library's two initialisers in order, the settings loaded with
their conversions, the 30 rows of the hook table, the switch replacement
and the fade's animation block; the toggle's class, its setSelected: with
the lock, the writes and the posts, and its icon from its own bundle.

  check_emulated.py [--library Quelline.dylib] [--bundle QuellineModule.bundle]

Prints every finding and exits 1 when there is any."""

import argparse
import struct
import sys

from emulator import EmulationError, Machine

PREFS = "/var/mobile/Library/Preferences/com.veltrasse.quelline.plist"
LIBRARY_PATH = "/Library/MobileSubstrate/DynamicLibraries/Quelline.dylib"
BUNDLE_PATH = "/Library/ControlCenter/Bundles/QuellineModule.bundle"
EVENT = "com.veltrasse.quelline/"

# The hook table, in installation order: (class, selector, type string of an
# added method or None for a replacement).
HOOKS = [
    ("SpringBoard", "applicationDidFinishLaunching:", None),
    ("SBMediaController", "setRingerMuted:", None),
    ("NCNotificationCombinedListViewController", "viewDidLoad", None),
    ("NCNotificationCombinedListViewController", "hide", "v@:"),
    ("NCNotificationCombinedListViewController", "unhide", "v@:"),
    ("SBRingerHUDController (meta)", "activate:", None),
    ("NCNotificationShortLookViewController",
     "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:", None),
    ("NCNotificationShortLookViewController", "viewForPreview", None),
    ("NCNotificationShortLookViewController", "hideBanner", "v@:"),
    ("NCNotificationShortLookViewController", "unHideBanner", "v@:"),
    ("NCNotificationShortLookViewController (meta)", "hideBanner", "v@:"),
    ("NCNotificationShortLookViewController (meta)", "unHideBanner", "v@:"),
    ("NCNotificationSound", "initWithNotificationSound:", None),
    ("SBNCSoundController", "playSoundForNotificationRequest:", None),
    ("SBAppSwitcherPageView", "setOverlay:animated:", None),
    ("SBApplication", "saveSuspendSnapshot:forSceneHandle:", None),
    ("NCNotificationOptions", "canTurnOnDisplay", None),
    ("NCNotificationOptions", "realertCount", None),
    ("SBHomeScreenView", "didMoveToWindow", None),
    ("SBHomeScreenView", "touchesBegan:withEvent:", None),
    ("SBHomeScreenView", "handleTaps:", "v@:@"),
    ("SBHomeScreenView", "numberOfTapsChanged", "v@:"),
    ("SBRootFolderView", "layoutDockView", None),
    ("SBRootFolderView", "isPullDownSearchVisible", None),
    ("SBRootFolderView", "isOnTodayPage", None),
    ("SBRootFolderView", "hideIcons", "v@:"),
    ("SBRootFolderView", "timerEnd", "v@:"),
    ("SBRootFolderView", "muteHideIcons", "v@:"),
    ("SBRootFolderView", "muteUnhideIcons", "v@:"),
    ("SBRootFolderView", "checkTimer", "v@:"),
]

# The preference domain as the preferences service holds it, and the
# settings it must give: missing keys and values that are no number take
# the default; an integer counts as a boolean; a wide integer keeps its
# low 32 bits.
PREFERENCES = {"enableMuteSwitch": True, "enableHideIcons": 1, "hideIconsWithSwitch": True,
               "useTimer": {"not": "a number"}, "timerTime": (1 << 32) + 9,
               "disableSound": 0, "hideBanners": True, "touchToReveal": False,
               "numberOfTaps": 3}
SETTINGS = [("hideAnimated", "?", True), ("enableMuteSwitch", "?", True),
            ("enableHideIcons", "?", True), ("hideIconsWithSwitch", "?", True),
            ("haptic", "?", True), ("useTimer", "?", False), ("timerTime", "i", 9),
            ("disableSound", "?", False), ("hideBanners", "?", True),
            ("hideNCNotifications", "?", True), ("touchToReveal", "?", False),
            ("numberOfTaps", "i", 3)]


class Findings:
    def __init__(self):
        self.items = []

    def check(self, ok, what):
        if not ok:
            self.items.append(what)
        return ok


def since(machine, mark, *kinds):
    return [e for e in machine.log[mark:] if not kinds or e[0] in kinds]


def read_settings(machine, address):
    out, offset = {}, 0
    for name, code, _ in SETTINGS:
        size = struct.calcsize(code)
        offset = (offset + size - 1) // size * size
        out[name] = struct.unpack_from("<" + code, machine.uc.mem_read(address + offset, size))[0]
        offset += size
    return out


def check_library(path, out):
    m = Machine(files={PREFS: {"enableTweakToggle": False}})
    m.preferences = dict(PREFERENCES)
    lib = m.load(path, LIBRARY_PATH, 0x1_0000_0000)
    inits = lib.initialisers()
    if not out.check(len(inits) == 2, f"{path}: {len(inits)} initialisers, expected 2"):
        return

    # First: the settings and the reload subscription, and nothing hooked.
    m.call(inits[0])
    first = m.log[:]
    if not out.check(not since(m, 0, "hook", "add"),
                     f"{path}: the first initialiser installs hooks before the settings are "
                     "loaded"):
        return
    out.check(("synchronize", "com.veltrasse.quelline") in first,
              f"{path}: the first initialiser does not load the settings")
    posts = [e[1] for e in first if e[0] == "post"]
    out.check(posts == [EVENT + "prefsReloaded"], f"{path}: the first initialiser posts {posts}")
    observe = [e for e in first if e[0] == "darwinObserve"]
    out.check(len(observe) == 1 and observe[0][1:] == (0, lib.local("loadPrefs"),
                                                       EVENT.rstrip("/") + "/ReloadPrefs", 0, 4),
              f"{path}: reload subscription {observe}")
    settings = read_settings(m, lib.address("_Settings"))
    for name, _, wanted in SETTINGS:
        out.check(settings[name] == wanted,
                  f"{path}: Settings.{name} is {settings[name]}, expected {wanted}")

    # Second: the hook table, row by row.
    mark = len(m.log)
    m.call(inits[1])
    rows = [(e[1], e[2], e[3] if e[0] == "add" else None) for e in since(m, mark, "hook", "add")]
    out.check(rows == HOOKS, f"{path}: hook table installed as {rows}")
    lookups = [e[1] for e in since(m, mark, "getClass")]
    # The table's classes, then the short-look class, which observes the
    # banner-app events itself.
    wanted = list(dict.fromkeys(c.replace(" (meta)", "") for c, _, _ in HOOKS))
    wanted.append("NCNotificationShortLookViewController")
    out.check(lookups == wanted, f"{path}: classes looked up as {lookups}")
    short_look = m.class_named("NCNotificationShortLookViewController").address
    observed = [e[1:] for e in since(m, mark, "observe")]
    out.check(observed == [(short_look, "hideBanner", EVENT + "hideBanner"),
                           (short_look, "unHideBanner", EVENT + "unHideBanner")],
              f"{path}: the second initialiser registers {observed}, expected the short-look "
              "class for hideBanner and unHideBanner")
    slots = [e[3] for e in since(m, mark, "hook")]
    out.check(len(set(slots)) == 17 and all(lib.contains(s) for s in slots),
              f"{path}: hook slots {slots} are not 17 distinct cells of the library")
    methods = {(e[1], e[2]): e[4] for e in since(m, mark, "hook", "add")}
    if not out.check(rows == HOOKS, f"{path}: the hook table is not installed"):
        return

    # The switch to silent: hide, then the icons, then the host mutes.
    media = m.new_object("SBMediaController")
    mark = len(m.log)
    m.call(methods[("SBMediaController", "setRingerMuted:")], media,
           m.selector("setRingerMuted:"), 1)
    steps = [e[:2] for e in since(m, mark, "post", "host")]
    out.check(steps == [("post", EVENT + "hide"), ("post", EVENT + "muteHideIcons"),
                        ("host", "SBMediaController setRingerMuted:")],
              f"{path}: setRingerMuted: YES does {steps}")
    host = since(m, mark, "host")
    out.check(host and host[0][2:] == (media, 1),
              f"{path}: the host's setRingerMuted: is called with {host and host[0][2:]}")

    # The list fades out: UIKit gets the animation, whose block sets alpha.
    m.class_named("NCNotificationCombinedListViewController").superclass = \
        m.class_named("UIViewController")
    view = m.new_object("UIView")
    controller = m.new_object("NCNotificationCombinedListViewController", view=view)
    mark = len(m.log)
    m.call(methods[("NCNotificationCombinedListViewController", "hide")], controller,
           m.selector("hide"))
    animations = since(m, mark, "animate")
    out.check(not since(m, mark, "setAlpha"), f"{path}: the fade sets alpha outside its block")
    if out.check(len(animations) == 1 and animations[0][1:4] == (0.7, 0.0, 2) and
                 animations[0][5] == 0, f"{path}: the fade animates as {animations}"):
        block = animations[0][4]
        mark = len(m.log)
        m.call(m.read_u64(block + 16), block)
        out.check(since(m, mark, "setAlpha") == [("setAlpha", view, 0.0)],
                  f"{path}: the animation block does {since(m, mark)}")


def check_bundle(folder, out):
    path = f"{folder}/QuellineModule"
    m = Machine(files={PREFS: {"hideIconsWithToggle": True, "timerTime": 7}})
    mod = m.load(path, f"{BUNDLE_PATH}/QuellineModule", 0x2_0000_0000)
    for init in mod.initialisers():
        m.call(init)
    registration = [e[:5] if e[0] != "add" else e[:4] for e in m.log
                    if e[0] in ("allocateClassPair", "addIvar", "add", "registerClassPair")]
    out.check(registration == [
        ("allocateClassPair", "CCUIToggleModule", "QuellineModule"),
        ("addIvar", "QuellineModule", "_selected", 1, "B"),
        ("add", "QuellineModule", "selectedColor", "@16@0:8"),
        ("add", "QuellineModule", "isSelected", "B16@0:8"),
        ("add", "QuellineModule", "iconGlyph", "@16@0:8"),
        ("add", "QuellineModule", "setSelected:", "v20@0:8B16"),
        ("add", "QuellineModule", "checkState", "v16@0:8"),
        ("registerClassPair", "QuellineModule")], f"{path}: the class is made as {registration}")
    cls = m.class_names.get("QuellineModule")
    if cls is None:
        return
    toggle = m.alloc(cls.instance_size)
    m.uc.mem_write(toggle, bytes(cls.instance_size))
    m.write_u64(toggle, cls.address)

    # Switched on: state, refresh, the live read of hideIconsWithToggle, then
    # write, post, write, post, each write a read-change-write under the
    # lock (taken without waiting), given back before the post.
    mark = len(m.log)
    m.call(cls.methods["setSelected:"], toggle, m.selector("setSelected:"), 1)
    offset = cls.ivars["_selected"][0]
    out.check(m.uc.mem_read(toggle + offset, 1) == b"\x01", f"{path}: _selected is not set")
    steps = [e for e in since(m, mark) if e[0] in ("super", "open", "flock", "close",
                                                   "readFile", "writeFile", "post")]
    lock = PREFS + ".lock"
    on = {"hideIconsWithToggle": True, "timerTime": 7, "enableTweakToggle": True}
    locked = [("open", lock, 0x01000302, 0o644), ("flock", 3, 6), ("readFile", PREFS)]
    wanted = [("super", "CCUIToggleModule", "refreshState"), ("readFile", PREFS),
              *locked, ("writeFile", PREFS, on, 1), ("close", 3),
              ("post", EVENT + "hide", 0, 0),
              *locked, ("writeFile", PREFS, dict(on, toggleHasControl=True), 1), ("close", 3),
              ("post", EVENT + "muteHideIcons", 0, 0)]
    opened = [e for e in steps if e[0] == "open"]
    out.check(not opened or opened[0][3] == 0o644,
              f"{path}: the lock file is created with mode {opened and oct(opened[0][3])}, "
              "not 0644")
    out.check(steps == wanted, f"{path}: setSelected: YES does {steps}")

    # The glyph comes from the bundle that holds the module's code.
    mark = len(m.log)
    m.call(cls.methods["iconGlyph"], toggle, m.selector("iconGlyph"))
    images = since(m, mark, "imageNamed")
    out.check(images == [("imageNamed", "Icon", BUNDLE_PATH)],
              f"{path}: the glyph is looked up as {images}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library")
    parser.add_argument("--bundle")
    args = parser.parse_args()
    out = Findings()
    for path, check in ((args.library, check_library), (args.bundle, check_bundle)):
        if path:
            try:
                check(path, out)
            except EmulationError as error:
                out.check(False, f"{path}: {error}")
    for item in out.items:
        print(item)
    checked = [p for p in (args.library, args.bundle) if p]
    print(f"{len(out.items)} findings in {', '.join(checked)}")
    return 1 if out.items else 0


if __name__ == "__main__":
    sys.exit(main())
