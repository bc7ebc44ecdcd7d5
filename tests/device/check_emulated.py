#!/usr/bin/env python3
"""Runs the device deliverables' arm64 code in an emulator and checks what
it does, on a phone modeled as strictly as the platform behaves: the loader
resolves each import in the library it names and applies dyld's
compatibility-version rule; objc_getClass finds only the modeled home
screen's classes; the hooking library aborts on a nil class or a method the
class does not have; Control Center reads the toggle's Info.plist, filters
it by device family, looks its principal class up after the bundle's
initialiser and makes one with alloc and init.

Checked: the library's two initialisers in order, the settings loaded with
their conversions, every row of the hook table (read from the library),
rows of a missing class or method skipped with the others installed, the
switch replacement, the fade's animation block and a notification arriving
in quiet mode; the toggle's class, its setSelected: with the lock, the
writes and the posts, and its icon from its own bundle. The instructions
each step runs are counted and held to a budget.

The settings pane (--pane) runs inside a modeled Settings app: see
emulated_pane.py.

  check_emulated.py --facts device-facts.json --versions versions.txt
                    [--library Quelline.dylib] [--bundle QuellineModule.bundle]
                    [--pane QuellinePrefs.bundle] [--costs]
                    [--document docs/performance.md [--write]]

Prints every finding (and, with --costs, the instruction counts) and exits
1 when there is any finding. With --document, the table of counts in that
document must be this build's; with --write too, it is made so."""

import plistlib
import struct

import deliverables
import emulated_pane
from deliverables import BUNDLE_PATH, LIBRARY_PATH
from emulator import Device, EmulationError, Machine

PREFS = "/var/mobile/Library/Preferences/com.veltrasse.quelline.plist"
EVENT = "com.veltrasse.quelline/"
# What asks the preferences daemon (cfprefsd) in the fakes' log.
CFPREFSD = ("synchronize", "CFPreferencesCopyKeyList", "CFPreferencesCopyMultiple")
LIBRARY_BASE, BUNDLE_BASE = 0x1_0000_0000, 0x2_0000_0000

# The preference file, each key with
# the setting it must give: a value that is no number takes the default
# (None here); an integer counts as a boolean; a wide integer keeps its low
# 32 bits. Keys not listed are absent and take their defaults.
PREFERENCES = {"enableMuteSwitch": (True, True), "enableHideIcons": (1, True),
               "hideIconsWithSwitch": (True, True), "useTimer": ({"not": "a number"}, None),
               "timerTime": ((1 << 32) + 9, 9), "disableSound": (1, True),
               "hideBanners": (True, True), "touchToReveal": (False, False),
               "numberOfTaps": (3, 3)}

# Instructions of the library's own code each step may run (the platform's
# calls not counted). Counts do not depend on the machine or its load. A
# switch flip: the switch's replacement, then the two observers its posts
# reach (the list's hide and the icons' muteHideIcons); a notification in
# quiet mode: its banner's controller made and its preview shown, its sound
# made and played, whether it may wake the screen and alert again.
# The budget: about twice what each step runs today, so that a change that
# doubles a path is seen; at the A7's 1.3 GHz even the hook table's
# installation stays within a few microseconds of a 16.7 ms frame.
BUDGET = {"first initialiser (settings)": 1_500,
          "second initialiser (hook table)": 8_000,
          "notification in quiet mode": 1_000,
          "switch flip": 1_000,
          "settings reload": 1_500}
COSTS = {}


def since(machine, mark, *kinds):
    return [e for e in machine.log[mark:] if not kinds or e[0] in kinds]


def machine(args, home=None, files=None, device=None, core_foundation=None):
    facts = deliverables.load_facts(args.facts)
    versions = deliverables.read_versions(args.versions)
    return Machine(home if home is not None else facts["homeScreen"],
                   {name: compatibility for name, (_, compatibility) in versions.items()},
                   files=files, device=device,
                   core_foundation=core_foundation if core_foundation is not None else
                   facts["coreFoundation"]["ios11"])


def read_settings(m, address, layout):
    out = {}
    for field in layout:
        data = m.uc.mem_read(address + field["offset"], field["size"])
        out[field["name"]] = struct.unpack("<" + field["type"], data)[0]
    return out


def hook_table(m, lib, row, target=1):
    """The library's hook table as loaded, the rows of `target` (iOS 11's
    unless told): (class, selector, type string of an added method or None,
    slot of a replacement or None) per row; a class method's class is named
    "CLASS (meta)"."""
    rows = []
    base = lib.address("_QuellineHookTable")
    count = struct.unpack("<I", m.uc.mem_read(lib.address("_QuellineHookTableSize"), 4))[0]
    for k in range(count):
        at = base + k * row["size"]
        name = m.read_cstring(m.read_u64(at + row["className"]))
        meta = m.uc.mem_read(at + row["onMetaclass"], 1)[0] != 0
        selector = m.read_cstring(m.read_u64(at + row["selector"]))
        add = m.uc.mem_read(at + row["op"], 1)[0] == row["add"]
        if not m.uc.mem_read(at + row["targets"], 1)[0] & target:
            continue
        rows.append((name + (" (meta)" if meta else ""), selector,
                     m.read_cstring(m.read_u64(at + row["types"])) if add else None,
                     None if add else m.read_u64(at + row["slot"])))
    return rows


def counted(m, name, run):
    before = m.executed
    result = run()
    COSTS[name] = COSTS.get(name, 0) + m.executed - before
    return result


def load_library(path, out, m):
    lib = m.load(path, LIBRARY_PATH, LIBRARY_BASE)
    for name, reason in m.dropped:
        out.check(False, f"{path}: the loader drops {name}: {reason}")
    return lib


def run_initialisers(path, out, m, lib, what):
    """Runs the library's initialisers in order, as the loader does. Gives
    where the log stood before the last one ran, or None (reported, naming
    `what`) when one stopped the emulated process."""
    mark = 0
    try:
        for init in lib.initialisers():
            mark = len(m.log)
            m.call(init)
    except EmulationError as error:
        out.check(False, f"{path}: {what}: {error}")
        return None
    return mark


def check_library(path, out, args):
    facts = deliverables.load_facts(args.facts)
    m = machine(args, files={PREFS: dict({key: stored for key, (stored, _) in PREFERENCES.items()},
                                         enableTweakToggle=False)})
    lib = load_library(path, out, m)
    m.count_instructions(lib)
    inits = lib.initialisers()
    if not out.check(len(inits) == 2, f"{path}: {len(inits)} initialisers, expected 2"):
        return
    table = hook_table(m, lib, facts["hookRow"])

    # First: the settings and the reload subscription, and nothing hooked.
    counted(m, "first initialiser (settings)", lambda: m.call(inits[0]))
    first = m.log[:]
    if not out.check(not since(m, 0, "hook", "add"),
                     f"{path}: the first initialiser installs hooks before the settings are "
                     "loaded"):
        return
    out.check(("readFile", PREFS) in first,
              f"{path}: the first initialiser does not read the preference file")
    out.check(not since(m, 0, *CFPREFSD),
              f"{path}: the settings are read through cfprefsd: {since(m, 0, *CFPREFSD)}")
    posts = [e[1] for e in first if e[0] == "post"]
    out.check(posts == [EVENT + "prefsReloaded"], f"{path}: the first initialiser posts {posts}")
    observe = [e for e in first if e[0] == "darwinObserve"]
    load_prefs = lib.local("reloadSettings")
    out.check(len(observe) == 1 and observe[0][1:] == (0, load_prefs,
                                                       EVENT.rstrip("/") + "/ReloadPrefs", 0, 4),
              f"{path}: reload subscription {observe}")
    settings = read_settings(m, lib.address("_Settings"), facts["settings"])
    for field in facts["settings"]:
        name = field["name"]
        wanted = PREFERENCES.get(name, (None, None))[1]
        wanted = field["default"] if wanted is None else wanted
        out.check(settings[name] == wanted,
                  f"{path}: Settings.{name} is {settings[name]}, expected {wanted}")

    # Second: the hook table, row by row, every row on this home screen.
    mark = len(m.log)
    counted(m, "second initialiser (hook table)", lambda: m.call(inits[1]))
    wanted_rows = [(c, s, t) for c, s, t, _ in table]
    rows = [(e[1], e[2], e[3] if e[0] == "add" else None) for e in since(m, mark, "hook", "add")]
    out.check(rows == wanted_rows, f"{path}: hook table installed as {rows}, "
                                   f"expected {wanted_rows}")
    lookups = [e[1] for e in since(m, mark, "getClass")]
    # Consecutive rows of one class share one lookup.
    classes = [c.replace(" (meta)", "") for c, _, _, _ in table]
    wanted = [c for k, c in enumerate(classes) if k == 0 or classes[k - 1] != c]
    # The table's classes, the short-look class, then SpringBoard, which
    # observes the significant time changes for quiet hours and the toggle's
    # period event.
    wanted += ["NCNotificationShortLookViewController", "SpringBoard", "SpringBoard"]
    out.check(lookups == wanted, f"{path}: classes looked up as {lookups}")
    short_look = m.class_named("NCNotificationShortLookViewController").address
    springboard = m.class_named("SpringBoard").address
    observed = [e[1:] for e in since(m, mark, "observe")]
    out.check(observed == [(short_look, "hideBanner", EVENT + "hideBanner"),
                           (short_look, "unHideBanner", EVENT + "unHideBanner"),
                           (springboard, "quietHoursTimeChanged",
                            "UIApplicationSignificantTimeChangeNotification"),
                           (springboard, "togglePeriodChanged", EVENT + "togglePeriod")],
              f"{path}: the second initialiser registers {observed}, expected the short-look "
              "class for hideBanner and unHideBanner, and SpringBoard for time changes")
    slots = [e[3] for e in since(m, mark, "hook")]
    replaced = [slot for _, _, _, slot in table if slot is not None]
    out.check(slots == replaced and len(set(slots)) == len(slots) and
              all(lib.contains(s) for s in slots),
              f"{path}: hook slots {slots} are not the table's {len(replaced)} distinct cells of "
              "the library")
    out.check(all(m.read_u64(s) for s in slots),
              f"{path}: a hook slot holds no host implementation after the install")
    methods = {(e[1], e[2]): e[4] for e in since(m, mark, "hook", "add")}
    if not out.check(rows == wanted_rows, f"{path}: the hook table is not installed"):
        return

    # The switch to silent: hide, then the icons, then the host mutes.
    media = m.new_object("SBMediaController")
    mark = len(m.log)
    counted(m, "switch flip", lambda: m.call(methods[("SBMediaController", "setRingerMuted:")],
                                             media, m.selector("setRingerMuted:"), 1))
    steps = [e[:2] for e in since(m, mark, "post", "host")]
    out.check(steps == [("post", EVENT + "hide"), ("post", EVENT + "muteHideIcons"),
                        ("host", "SBMediaController setRingerMuted:")],
              f"{path}: setRingerMuted: YES does {steps}")
    host = since(m, mark, "host")
    out.check(host and host[0][2:] == (media, 1),
              f"{path}: the host's setRingerMuted: is called with {host and host[0][2:]}")

    # The list fades out (the first post's observer): UIKit gets the
    # animation, whose block sets alpha.
    view = m.new_object("UIView")
    controller = m.new_object("NCNotificationCombinedListViewController", view=view)
    mark = len(m.log)
    counted(m, "switch flip", lambda: m.call(
        methods[("NCNotificationCombinedListViewController", "hide")], controller,
        m.selector("hide")))
    animations = since(m, mark, "animate")
    out.check(not since(m, mark, "setAlpha"), f"{path}: the fade sets alpha outside its block")
    if out.check(len(animations) == 1 and animations[0][1:4] == (0.7, 0.0, 2) and
                 animations[0][5] == 0, f"{path}: the fade animates as {animations}"):
        block = animations[0][4]
        mark = len(m.log)
        m.call(m.read_u64(block + 16), block)
        out.check(since(m, mark, "setAlpha") == [("setAlpha", view, 0.0)],
                  f"{path}: the animation block does {since(m, mark)}")

    # The icons fade out too (the second post's observer).
    icons = m.new_object("SBRootFolderView")
    mark = len(m.log)
    counted(m, "switch flip", lambda: m.call(methods[("SBRootFolderView", "muteHideIcons")],
                                             icons, m.selector("muteHideIcons")))
    animations = since(m, mark, "animate")
    out.check(len(animations) == 1 and animations[0][1:4] == (0.7, 0.0, 2),
              f"{path}: the icons fade as {animations}")

    check_notification(path, out, m, methods)

    # A settings reload, as the cross-process notification calls it.
    mark = len(m.log)
    counted(m, "settings reload", lambda: m.call(load_prefs, 0, 0, 0, 0, 0))
    out.check([e[1] for e in since(m, mark, "post")] == [EVENT + "prefsReloaded"],
              f"{path}: a settings reload posts {since(m, mark, 'post')}")

    check_missing_rows(path, out, args, facts, table)
    check_ios16(path, out, args, facts)
    check_quiet_hours(path, out, args, methods)
    check_toggle_period(path, out, args)
    if args.bundle and args.pane:
        check_settings_reach_home(path, out, args, facts)


def check_settings_reach_home(path, out, args, facts):
    """One phone (emulator.Device: its files and its one cfprefsd): the home
    screen loads its settings; in the Settings app the pane moves
    numberOfTaps; the toggle is switched on; the reload the pane posted then
    gives the home screen the pane's value. cfprefsd, which read the domain
    when first asked, still holds the old one: a library that reads
    through it reloads stale settings."""
    device = Device({PREFS: {"numberOfTaps": 3, "hideBanners": False}})
    m = machine(args, device=device)
    lib = load_library(path, out, m)
    m.call(lib.initialisers()[0])
    emulated_pane.Pane(args.pane, args, None, device=device).set("numberOfTaps", 6.6)
    toggle_machine = machine(args, device=device)
    cls, toggle = make_toggle(toggle_machine, args.bundle)
    toggle_machine.call(cls.methods["setSelected:"], toggle, toggle_machine.selector("setSelected:"),
                        1)
    m.call(lib.local("reloadSettings"), 0, 0, 0, 0, 0)
    settings = read_settings(m, lib.address("_Settings"), facts["settings"])
    got = {key: settings[key] for key in ("numberOfTaps", "hideBanners")}
    out.check(got == {"numberOfTaps": 7, "hideBanners": 0},
              f"{path}: after the pane stored numberOfTaps 7 and the reload, the home screen's "
              f"settings are {got} (cfprefsd holds {device.cfprefsd})")
    stored = device.files[PREFS]
    out.check(stored.get("numberOfTaps") == 7 and stored.get("enableTweakToggle") == 1,
              f"{path}: the pane's and the toggle's changes do not both reach the file: {stored}")


def make_toggle(m, folder):
    """Control Center's path: the bundle loaded, its initialisers run, one
    of its principal class made with alloc and init: (class, object)."""
    with open(deliverables.info_plist(folder), "rb") as f:
        info = plistlib.load(f)
    name = info.get("CFBundleExecutable")
    mod = m.load(f"{folder}/{name}", f"{BUNDLE_PATH}/{name}", BUNDLE_BASE)
    for init in mod.initialisers():
        m.call(init)
    principal = info.get("NSPrincipalClass") or ""
    if not m.registered(principal):
        raise EmulationError(f"the principal class {principal!r} is not registered after the "
                             "bundle's initialisers")
    cls = m.class_names[principal]
    send = m.fake_by_name["_objc_msgSend"]
    return cls, m.call(send, m.call(send, cls.address, m.selector("alloc")), m.selector("init"))


def check_quiet_hours(path, out, args, methods):
    """Quiet hours from 22:00 to 07:00 (UTC here), loaded at 21:59:30: one
    wall-clock timer waits for 22:00 on the main queue; when it fires, quiet
    mode comes on (hide) and the next timer waits for 07:00. A significant
    time change into the window, evaluated at once, schedules anew."""
    m = machine(args, files={PREFS: {"quietHours": True, "quietHoursStart": 1320,
                                     "quietHoursEnd": 420}})
    start = 1736200800  # 2025-01-06T22:00 UTC
    m.clock = start - 30
    lib = load_library(path, out, m)
    if run_initialisers(path, out, m, lib, "loading with quiet hours on") is None:
        return
    timers = since(m, 0, "dispatch_after")
    posts = [e[1] for e in since(m, 0, "post")]
    if not out.check(len(timers) == 1 and timers[0][1:3] == ((-start * 10**9) % 2**64, True),
                     f"{path}: at 21:59:30 the timers scheduled are {timers}, expected one on "
                     f"the main queue at the wall-clock time of 22:00"):
        return
    out.check(EVENT + "hide" not in posts, f"{path}: outside the window the library posts {posts}")
    boundary = lib.address("_quietHoursBoundary")
    out.check(m.read_u64(boundary) == start,
              f"{path}: quietHoursBoundary is {m.read_u64(boundary)}, expected {start}")

    # The timer fires at 22:00: hide, and the next timer for 07:00.
    m.clock = start
    mark = len(m.log)
    _, when, _, context, work = timers[0]
    m.call(work, context)
    posts = [e[1] for e in since(m, mark, "post")]
    out.check(posts == [EVENT + "hide"], f"{path}: at 22:00 the timer posts {posts}, expected hide")
    timers = since(m, mark, "dispatch_after")
    end = start + 9 * 3600
    out.check([t[1] for t in timers] == [(-end * 10**9) % 2**64],
              f"{path}: after 22:00 the timers scheduled are {timers}, expected one at 07:00")

    # A time change back to 21:00 ends the window; the time-change method
    # replaces the timer, and the one it replaced does nothing.
    m.clock = start - 3600
    mark = len(m.log)
    springboard = m.class_named("SpringBoard").address
    m.call(methods[("SpringBoard (meta)", "quietHoursTimeChanged")], springboard,
           m.selector("quietHoursTimeChanged"))
    posts = [e[1] for e in since(m, mark, "post")]
    out.check(posts == [EVENT + "unHide"],
              f"{path}: a time change out of the window posts {posts}, expected unHide")
    mark = len(m.log)
    m.call(timers[0][4], timers[0][3])
    out.check(not since(m, mark, "post", "dispatch_after"),
              f"{path}: a replaced timer still acts: {since(m, mark)}")


def check_toggle_period(path, out, args):
    """The toggle is on with a period that ends at 22:00 (UTC here), and the
    library loads at 21:59: one wall-clock timer waits for 22:00 on the main
    queue. When it fires, the library writes the toggle's keys off under the
    lock (taken without waiting) and posts what switching the toggle off
    posts."""
    end = 1736200800  # 2025-01-06T22:00 UTC
    on = {"enableTweakToggle": True, "hideIconsWithToggle": True, "toggleHasControl": True,
          "togglePeriodEnd": end}
    m = machine(args, files={PREFS: dict(on)})
    m.clock = end - 60
    lib = load_library(path, out, m)
    if run_initialisers(path, out, m, lib, "loading with the toggle's period running") is None:
        return
    timers = since(m, 0, "dispatch_after")
    if not out.check(len(timers) == 1 and timers[0][1:3] == ((-end * 10**9) % 2**64, True),
                     f"{path}: with the period ending at 22:00 the timers scheduled are "
                     f"{timers}, expected one on the main queue at that wall-clock time"):
        return
    out.check(m.read_u64(lib.address("_togglePeriodEnd")) == end,
              f"{path}: togglePeriodEnd is {m.read_u64(lib.address('_togglePeriodEnd'))}")

    m.clock = end
    mark = len(m.log)
    m.call(timers[0][4], timers[0][3])
    steps = [e for e in since(m, mark) if e[0] in ("flock", "writeFile", "post")]
    off = {"enableTweakToggle": False, "hideIconsWithToggle": True, "toggleHasControl": False}
    wanted = [("flock", 3, 6), ("writeFile", PREFS, off, 1), ("post", EVENT + "unHide", 0, 0),
              ("post", EVENT + "muteUnHideIcons", 0, 0)]
    out.check(steps == wanted, f"{path}: at the period's end the library does {steps}, "
                               f"expected {wanted}")


def check_notification(path, out, m, methods):
    """A notification arrives in quiet mode: its banner's controller is
    made and shows its preview, its sound is made and played, and the host
    asks whether it may wake the screen and alert again."""
    short_look = m.new_object("NCNotificationShortLookViewController")
    preview = m.new_object("UIView")
    m.host_results["NCNotificationShortLookViewController viewForPreview"] = preview
    request = m.new_object("NCNotificationRequest")
    sound = m.new_object("NCNotificationSound")
    options = m.new_object("NCNotificationOptions")
    controller = m.new_object("SBNCSoundController")
    calls = [
        ("NCNotificationShortLookViewController",
         "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:", short_look,
         (request, 0)),
        ("NCNotificationShortLookViewController", "viewForPreview", short_look, ()),
        ("NCNotificationSound", "initWithNotificationSound:", sound, (m.string("default"),)),
        ("SBNCSoundController", "playSoundForNotificationRequest:", controller, (request,)),
        ("NCNotificationOptions", "canTurnOnDisplay", options, ()),
        ("NCNotificationOptions", "realertCount", options, ()),
    ]
    mark = len(m.log)
    answers = {}
    for cls, selector, receiver, arguments in calls:
        answers[selector] = counted(m, "notification in quiet mode", lambda: m.call(
            methods[(cls, selector)], receiver, m.selector(selector), *arguments))
    out.check(("setHidden", preview, 1) in since(m, mark, "setHidden"),
              f"{path}: the banner's preview is not hidden in quiet mode")
    sounds = [e[3] for e in since(m, mark, "host") if e[1].startswith("NCNotificationSound")]
    out.check(sounds == [0], f"{path}: the notification's sound is made with {sounds}, not nil")
    out.check(since(m, mark, "feedback") == [("feedback", 0)],
              f"{path}: the silenced notification gives {since(m, mark, 'feedback')}, not one "
              "haptic tap")
    out.check(answers["canTurnOnDisplay"] & 0xFF == 0 and answers["realertCount"] == 0,
              f"{path}: in quiet mode a notification may wake the screen "
              f"({answers['canTurnOnDisplay']}) or alert again ({answers['realertCount']})")


def check_ios16(path, out, args, facts, jailbreak_root=""):
    """The home screen of iOS 15 and 16: CoreFoundation's version says which
    it is, and the library installs that generation's rows, every one found,
    looking up no class that only iOS 11 and 12 have. The switch reaches
    SBRingerControl, and a selector that gained an argument hands it on."""
    m = machine(args, home=facts["homeScreen16"], files={PREFS: {}},
                core_foundation=facts["coreFoundation"]["ios16"])
    m.jailbreak_root = jailbreak_root
    lib = load_library(path, out, m)
    table = hook_table(m, lib, facts["hookRow"], facts["hookTargets"]["ios16"])
    mark = run_initialisers(path, out, m, lib, "on the home screen of iOS 16")
    if mark is None:
        return
    wanted = [(c, s, t) for c, s, t, _ in table]
    rows = [(e[1], e[2], e[3] if e[0] == "add" else None) for e in since(m, mark, "hook", "add")]
    if not out.check(rows == wanted, f"{path}: on iOS 16 the rows installed are {rows}, "
                                     f"expected {wanted}"):
        return
    out.check(all(m.read_u64(slot) for _, _, _, slot in table if slot is not None),
              f"{path}: on iOS 16 a hook slot holds no host implementation")
    gone = set(facts["homeScreen"]) - set(facts["homeScreen16"])
    looked_up = {e[1] for e in since(m, mark, "getClass")} & gone
    out.check(not looked_up, f"{path}: on iOS 16 the library looks up {sorted(looked_up)}")
    methods = {(e[1], e[2]): e[4] for e in since(m, mark, "hook", "add")}

    ringer = m.new_object("SBRingerControl")
    mark = len(m.log)
    m.call(methods[("SBRingerControl", "setRingerMuted:")], ringer,
           m.selector("setRingerMuted:"), 1)
    steps = [e[:2] for e in since(m, mark, "post", "host")]
    out.check(steps == [("post", EVENT + "hide"), ("host", "SBRingerControl setRingerMuted:")],
              f"{path}: on iOS 16 setRingerMuted: YES does {steps}")

    selector = "playSoundForNotificationRequest:presentingDestination:"
    sounds = m.new_object("SBNCSoundController")
    request, destination = m.new_object("NSObject"), m.string("destination")
    mark = len(m.log)
    m.call(methods[("SBNCSoundController", selector)], sounds, m.selector(selector), request,
           destination)
    host = since(m, mark, "host")
    out.check(host and host[0][2:] == (sounds, request, destination),
              f"{path}: on iOS 16 the host's {selector} is called with {host and host[0][2:]}")


def check_missing_rows(path, out, args, facts, table):
    """On a home screen without one hooked class, and without one hooked
    method of another class, every other row is installed and the skipped
    replacements' slots stay null: nothing is handed to the hooking
    library that it would abort on."""
    missing_class = next((c for c, _, _, _ in table if c.endswith(" (meta)")), table[0][0])
    missing_class = missing_class.replace(" (meta)", "")
    missing_method = next((c, s) for c, s, _, slot in reversed(table)
                          if slot is not None and c.replace(" (meta)", "") != missing_class)
    home = {name: dict(cls) for name, cls in facts["homeScreen"].items() if name != missing_class}
    owner = home[missing_method[0]]
    owner["methods"] = [s for s in owner["methods"] if s != missing_method[1]]
    m = machine(args, home=home, files={PREFS: {}})
    lib = load_library(path, out, m)
    mark = run_initialisers(path, out, m, lib, f"without {missing_class} and "
                            f"-[{missing_method[0]} {missing_method[1]}]")
    if mark is None:
        return
    kept = [(c, s, t) for c, s, t, _ in table
            if c.replace(" (meta)", "") != missing_class and (c, s) != missing_method]
    rows = [(e[1], e[2], e[3] if e[0] == "add" else None) for e in since(m, mark, "hook", "add")]
    out.check(rows == kept, f"{path}: without {missing_class} and -[{missing_method[0]} "
                            f"{missing_method[1]}] the rows installed are {rows}, expected {kept}")
    skipped = [slot for c, s, _, slot in hook_table(m, lib, facts["hookRow"])
               if slot is not None and (c.replace(" (meta)", "") == missing_class or
                                        (c, s) == missing_method)]
    out.check(skipped and not any(m.read_u64(slot) for slot in skipped),
              f"{path}: a skipped row's slot is not null")


def check_bundle(folder, out, args):
    # Control Center's path: the bundle's Info.plist, kept only when it
    # declares the device's family (1 iPhone and iPod touch, 2 iPad).
    with open(deliverables.info_plist(folder), "rb") as f:
        info = plistlib.load(f)
    for family, devices in ((1, "an iPhone or iPod touch"), (2, "an iPad")):
        out.check(family in info.get("UIDeviceFamily", []),
                  f"{folder}: Control Center of {devices} skips the module: UIDeviceFamily is "
                  f"{info.get('UIDeviceFamily')!r}")
    path = f"{folder}/{info.get('CFBundleExecutable')}"
    m = machine(args, files={PREFS: {"hideIconsWithToggle": True, "timerTime": 7}})
    mod = m.load(path, f"{BUNDLE_PATH}/{info.get('CFBundleExecutable')}", BUNDLE_BASE)
    for name, reason in m.dropped:
        out.check(False, f"{path}: the loader drops {name}: {reason}")
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
    principal = info.get("NSPrincipalClass")
    if not out.check(m.registered(principal or ""),
                     f"{path}: the principal class {principal!r} is not registered after the "
                     "bundle's initialisers"):
        return
    cls = m.class_names[principal]
    send = m.fake_by_name["_objc_msgSend"]
    toggle = m.call(send, m.call(send, cls.address, m.selector("alloc")), m.selector("init"))
    if not out.check(toggle != 0 and m.read_u64(toggle) == cls.address,
                     f"{path}: [[{principal} alloc] init] gives {toggle:#x}"):
        return

    # Switched on: state, the read of toggleDuration, refresh, the live read
    # of hideIconsWithToggle, then write, post, write, post, each write a
    # read-change-write under the lock (taken without waiting), given back
    # before the post.
    mark = len(m.log)
    m.call(cls.methods["setSelected:"], toggle, m.selector("setSelected:"), 1)
    offset = cls.ivars["_selected"][0]
    out.check(m.uc.mem_read(toggle + offset, 1) == b"\x01", f"{path}: _selected is not set")
    steps = [e for e in since(m, mark) if e[0] in ("super", "open", "flock", "close",
                                                   "readFile", "writeFile", "post")]
    lock = PREFS + deliverables.load_facts(args.facts)["files"]["lockSuffix"]
    on = {"hideIconsWithToggle": True, "timerTime": 7, "enableTweakToggle": True}
    locked = [("open", lock, 0x01000302, 0o644), ("flock", 3, 6), ("readFile", PREFS)]
    # Read: toggleDuration (none: no period), then hideIconsWithToggle.
    wanted = [("readFile", PREFS), ("super", "CCUIToggleModule", "refreshState"),
              ("readFile", PREFS), *locked, ("writeFile", PREFS, on, 1), ("close", 3),
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
    check_toggle_paths(path, out, m, cls, toggle, locked)


def check_toggle_paths(path, out, m, cls, toggle, locked):
    """The toggle's other paths, from the state switched on: asked its state
    (which registers it for checkState), switched off, turned on again by
    checkState after a restart, and switched with the lock held by another
    program or not to be had (the events go at once, the writes are tried
    again later on the main queue)."""
    def run(selector, *args):
        mark = len(m.log)
        result = m.call(cls.methods[selector], toggle, m.selector(selector), *args)
        return result, since(m, mark)

    def steps(log, *kinds):
        return [e for e in log if e[0] in kinds]

    selected, log = run("isSelected")
    out.check(selected & 0xFF == 1 and
              steps(log, "observe") == [("observe", toggle, "checkState", EVENT + "checkState")],
              f"{path}: isSelected answers {selected & 0xFF} and registers {steps(log, 'observe')}")
    on = dict(m.files[PREFS])
    _, log = run("setSelected:", 0)
    off = dict(on, enableTweakToggle=False)
    out.check(steps(log, "writeFile", "post") == [
        ("writeFile", PREFS, off, 1), ("post", EVENT + "unHide", 0, 0),
        ("writeFile", PREFS, dict(off, toggleHasControl=False), 1),
        ("post", EVENT + "muteUnHideIcons", 0, 0)],
        f"{path}: setSelected: NO does {steps(log, 'writeFile', 'post')}")
    selected, _ = run("isSelected")
    out.check(selected & 0xFF == 0, f"{path}: isSelected answers {selected & 0xFF} when off")

    # After a restart: on in the file, off in the toggle; checkState turns it
    # on (never off).
    _, log = run("checkState")
    out.check(not steps(log, "post"), f"{path}: checkState with the file off does "
                                      f"{steps(log, 'post')}")
    m.files[PREFS]["enableTweakToggle"] = True
    _, log = run("checkState")
    out.check(steps(log, "post")[:1] == [("post", EVENT + "hide", 0, 0)],
              f"{path}: checkState with the file on does {steps(log, 'post')}, not turn the "
              "toggle on")

    for what, setting, value, delay in (("held by another program", "lock_held", True, 10**7),
                                        ("not to be had", "open_errno", 13, 10**9)):
        setattr(m, setting, value)
        before = dict(m.files[PREFS])
        _, log = run("setSelected:", 0)
        setattr(m, setting, type(value)())
        retries = steps(log, "dispatch_after")
        out.check(not steps(log, "writeFile") and m.files[PREFS] == before and
                  [e[1] for e in steps(log, "post")] == [EVENT + "unHide", EVENT + "muteUnHideIcons"]
                  and len(retries) == 1 and retries[0][1] == delay + 1 and retries[0][2],
                  f"{path}: with the lock {what}, setSelected: NO does "
                  f"{steps(log, 'writeFile', 'post', 'dispatch_after')}")
        if retries:
            m.call(retries[0][4], retries[0][3])
            out.check(m.files[PREFS].get("enableTweakToggle") == 0 and
                      m.files[PREFS].get("toggleHasControl") == 0,
                      f"{path}: the write tried again once the lock is had leaves "
                      f"{m.files[PREFS]}")
        m.files[PREFS].update(enableTweakToggle=True, toggleHasControl=True)


def emulated(check):
    def run(path, out, args):
        try:
            check(path, out, args)
        except EmulationError as error:
            out.check(False, f"{path}: {error}")
    return run


# Each step as docs/performance.md names it, in the table's order.
COST_ROWS = [
    ("first initialiser (settings)",
     "first initialiser (settings loaded, reload subscribed)"),
    ("second initialiser (hook table)", "second initialiser (the hook table installed)"),
    ("notification in quiet mode",
     "a notification arriving in quiet mode (banner controller made and its preview shown, "
     "sound made and played with the haptic tap instead, may it wake the screen, may it alert "
     "again)"),
    ("switch flip", "a switch flip (the switch's replacement, then the list's `hide` and the "
                    "icons' `muteHideIcons` that its posts reach)"),
    ("settings reload", "a settings reload (`loadPrefs`)"),
    ("settings pane opened",
     "the settings pane opened (its `-bundle`, `-specifiers` with the rows checked against the "
     "file and the app-list library), in the Settings app"),
    ("settings pane change",
     "a change in the settings pane (a slider moved: the lock, the read, the atomic write, the "
     "`ReloadPrefs` post, the row shown again), in the Settings app"),
]
# The table's place in the document: between these two lines.
TABLE_START = "<!-- device-costs: made by the device-costs target; device.emulated checks it -->"
TABLE_END = "<!-- end of device-costs -->"


def costs_table():
    budgets = {**BUDGET, **emulated_pane.BUDGET}
    costs = {**COSTS, **emulated_pane.COSTS}
    lines = ["| step | instructions | budget |", "|---|---|---|"]
    for name, text in COST_ROWS:
        lines.append(f"| {text} | {costs[name]:,} | {budgets[name]:,} |")
    return "\n".join(lines)


def check_document(out, args):
    """The counts in the document are those of this build; with --write,
    they are written there."""
    with open(args.document, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(TABLE_START), text.find(TABLE_END)
    if not out.check(0 <= start < end, f"{args.document}: no table between {TABLE_START!r} and "
                                       f"{TABLE_END!r}"):
        return
    made = f"{TABLE_START}\n{costs_table()}\n{TABLE_END}"
    updated = text[:start] + made + text[end + len(TABLE_END):]
    if args.write:
        with open(args.document, "w", encoding="utf-8") as f:
            f.write(updated)
    else:
        out.check(updated == text, f"{args.document}: the instruction counts are not this "
                                   "build's: make them again with the device-costs target")


def check_costs(out, args):
    for budgets, costs in ((BUDGET, COSTS), (emulated_pane.BUDGET, emulated_pane.COSTS)):
        for name, budget in budgets.items():
            if name in costs:
                out.check(costs[name] <= budget, f"{name}: {costs[name]} instructions, over the "
                                                 f"budget of {budget}")
        if args.costs:
            for name, budget in budgets.items():
                if name in costs:
                    print(f"{name:34} {costs[name]:7} instructions (budget {budget})")
    if args.document:
        if out.check(all(name in {**COSTS, **emulated_pane.COSTS} for name, _ in COST_ROWS),
                     f"{args.document}: not every step was counted (a check stopped early, or "
                     "--library or --pane is missing)"):
            check_document(out, args)


if __name__ == "__main__":
    deliverables.main(__doc__, [("--library", emulated(check_library)),
                                ("--bundle", emulated(check_bundle)),
                                ("--pane", emulated(emulated_pane.check_pane))],
                      options=[("--facts", "the build's facts (device-facts)"),
                               ("--versions", "the libraries' versions (stubs/versions.txt)"),
                               ("--costs", "print the instruction counts?"),
                               ("--document", "the document whose table of counts is checked "
                                              "(docs/performance.md)"),
                               ("--write", "write the table into --document instead?")],
                      after=check_costs)
