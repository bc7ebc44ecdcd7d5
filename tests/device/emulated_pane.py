"""The settings pane's arm64 code run in the emulator, inside a modeled
Settings app (fake_settings.py): PreferenceLoader's path (the bundle's
Info.plist, its initialiser, the principal class made with alloc and init),
then what Settings asks of a list controller (-bundle, -specifiers, each
row's value) and what a person does (a switch flipped, a slider moved, an
app-list row tapped).

Checked: the principal class is a PSListController made at load; the rows
come from Root.plist of the pane's own bundle; a value is read from the
preference file (a missing key gives its default); a change takes the lock
(open with mode 0644, flock), reads the file, writes the whole dictionary
back atomically with the new value of the row's type and every other key as
it was, and only then posts ReloadPrefs to the Darwin notify center; a
missing file is created by the
first change; a file that holds no dictionary is never written, every
control is disabled and a footer says why; a failed write shows the
system's reason and leaves the file; nothing goes through cfprefsd; the
app-list rows push libsparkapplist's editor, and are disabled without that
library, with a footer naming its package; a stored time off the 15-minute
steps is offered as a choice of its own (-setValues:titles:)."""

import plistlib

import deliverables
import fake_settings
from deliverables import PANE_PATH, SPARKAPPLIST
from emulator import EmulationError, Machine
from fake_platform import _python
from fake_settings import (APP_LIST_EDITOR, check_no_cfprefs, install_settings, settings_home,
                           shown_specifiers)

PREFS = "/var/mobile/Library/Preferences/com.veltrasse.quelline.plist"
RELOAD = "com.veltrasse.quelline/ReloadPrefs"
PANE_BASE = 0x2_0000_0000
# The app lists as libsparkapplist keeps them: (identifier, key) per row.
APP_LISTS = {"silentApps": ("com.veltrasse.quelline.silentApps", "silentApps"),
             "bannerApps": ("com.veltrasse.quelline.bannerApps", "bannerApps")}


# Instructions of the pane's own code (the platform's calls not counted),
# held to about twice today's count as the library's are (check_emulated.py):
# the pane opened (-bundle, -specifiers with the rows marked and each time
# row's choices checked against the file), and one change (the lock, the
# read, the write, the post, the row shown again). Both run on Settings'
# main thread.
BUDGET = {"settings pane opened": 2_000, "settings pane change": 2_000}
# The root controller's methods and their type strings (arm64 frames).
METHOD_TYPES = {"specifiers": "@16@0:8", "bundle": "@16@0:8",
                "readPreferenceValue:": "@24@0:8@16",
                "setPreferenceValue:specifier:": "v32@0:8@16@24",
                "setPreferenceValues:specifiers:": "v32@0:8@16@24",
                "showAppList:": "v24@0:8@16"}
COSTS = {}


def since(m, mark, *kinds):
    return [e for e in m.log[mark:] if not kinds or e[0] in kinds]


class Pane:
    """One opened pane: the machine, the controller and its rows by id."""

    def __init__(self, folder, args, files, app_lists=True, device=None):
        versions = deliverables.read_versions(args.versions)
        m = Machine(settings_home(), {name: c for name, (_, c) in versions.items()}, files=files,
                    device=device, process_images=fake_settings.SETTINGS_IMAGES)
        if app_lists:
            m.libraries[SPARKAPPLIST].classes.add(APP_LIST_EDITOR)
        else:
            del m.libraries[SPARKAPPLIST]
        install_settings(m)
        m.bundle_folders[PANE_PATH] = folder
        self.m = m
        with open(deliverables.info_plist(folder), "rb") as f:
            self.info = plistlib.load(f)
        name = self.info.get("CFBundleExecutable")
        image = m.load(f"{folder}/{name}", f"{PANE_PATH}/{name}", PANE_BASE)
        m.count_instructions(image)
        self.dropped = list(m.dropped)
        for init in image.initialisers():
            m.call(init)
        principal = self.info.get("NSPrincipalClass") or ""
        if not m.registered(principal):
            raise EmulationError(f"the principal class {principal!r} is not registered after the "
                                 "bundle's initialisers: Settings cannot make the pane")
        cls = m.class_names[principal]
        parent = cls.superclass
        if parent is None or parent.name != "PSListController":
            raise EmulationError(f"{principal} is a subclass of "
                                 f"{parent.name if parent else None}, not PSListController")
        before = m.executed
        self.controller = self.send(self.send(cls.address, "alloc"), "init")
        m.navigation = m.new_object("UINavigationController")
        # What -bundle answers, as -loadSpecifiersFromPlistName:target: asks it.
        bundle = self.send(self.controller, "bundle")
        m.bundle_answers[self.controller] = m.objects[bundle].path if bundle in m.objects else None
        self.mark = len(m.log)
        # Each thing the Settings app does runs in an autorelease pool of
        # its run loop: what is left autoreleased is released when it ends.
        m.push_pool()
        self.returned = self.send(self.controller, "specifiers")
        m.pop_pool()
        self.opening = m.executed - before
        self.rows = {}
        for specifier in shown_specifiers(m, self.controller):
            properties = m.objects[specifier].properties
            self.rows[properties.get("id") or properties.get("label")] = specifier

    def send(self, receiver, selector, *args, doubles=()):
        m = self.m
        return m.call(m.fake_by_name["_objc_msgSend"], receiver, m.selector(selector), *args,
                      doubles=doubles)

    def read(self, key):
        """What the row's control shows: its getter, sent to its target."""
        specifier = self.m.objects[self.rows[key]]
        getter = specifier.properties.get("get", "readPreferenceValue:")
        return _python(self.m, self.send(specifier.target, getter, self.rows[key]))

    def set(self, key, value):
        """A person moves the row's control to `value`: its setter, sent to
        its target; only a cell that can set a value does."""
        m = self.m
        specifier = m.objects[self.rows[key]]
        cell = specifier.properties.get("cell")
        if fake_settings.CELLS.get(cell) != "set":
            raise EmulationError(f"{key} is a {cell}, which cannot set a value: a person cannot "
                                 "change it")
        setter = specifier.properties.get("set", "setPreferenceValue:specifier:")
        mark, before = len(m.log), m.executed
        m.push_pool()
        self.send(specifier.target, setter, m.value(value), self.rows[key])
        self.change = m.executed - before
        m.pop_pool()
        return since(m, mark)

    def tap(self, row):
        """A person taps a row with an action: the action, sent to the
        row's target with the row."""
        m = self.m
        specifier = m.objects[self.rows[row]]
        m.push_pool()
        self.send(specifier.target, specifier.properties.get("action", ""), self.rows[row])
        m.pop_pool()

    def back(self, pushed):
        """A person goes back: the navigation controller lets go of what it
        pushed."""
        self.m.release(pushed, "released as the navigation controller popped it")

    def enabled(self, key):
        return self.m.objects[self.rows[key]].properties.get("enabled", True)


def check_pane(folder, out, args):
    lock = PREFS + deliverables.load_facts(args.facts)["files"]["lockSuffix"]
    stored = {"numberOfTaps": 4, "hideBanners": False, "enableTweakToggle": True}
    pane = Pane(folder, args, {PREFS: dict(stored)})
    m = pane.m
    for name, reason in pane.dropped:
        out.check(False, f"{folder}: the loader drops {name}: {reason}")
    # The methods, with the type strings the runtime hands to callers.
    added = sorted((e[2], e[3]) for e in m.log if e[0] == "add")
    out.check(added == sorted(METHOD_TYPES.items()),
              f"{folder}: the controller's methods are added as {added}, expected "
              f"{sorted(METHOD_TYPES.items())}")
    loads = since(m, pane.mark, "loadSpecifiers")
    out.check(loads == [("loadSpecifiers", "Root", PANE_PATH, True)],
              f"{folder}: the specifiers are loaded as {loads}, not Root.plist of "
              f"{PANE_PATH} with the pane as target (-bundle answers "
              f"{m.bundle_answers.get(pane.controller)})")
    with open(f"{folder}/Root.plist", "rb") as f:
        items = plistlib.load(f)["items"]
    ivar = m.read_u64(pane.controller + fake_settings.SPECIFIERS_OFFSET)
    out.check(pane.returned != 0 and ivar == pane.returned,
              f"{folder}: -specifiers returns {pane.returned:#x} but leaves _specifiers "
              f"{ivar:#x}: Settings shows the rows of _specifiers")
    if not out.check(len(pane.rows) == len(items),
                     f"{folder}: Settings shows {len(pane.rows)} rows, Root.plist holds "
                     f"{len(items)}"):
        return

    # Values come from the file; a key it lacks shows its default.
    values = {key: pane.read(key) for key in ("numberOfTaps", "hideBanners", "haptic")}
    out.check(values == {"numberOfTaps": 4, "hideBanners": 0, "haptic": 1},
              f"{folder}: the pane reads {values} from a file holding {stored} (haptic "
              "absent: its default, on)")

    # A slider moved to 6.6 stores the whole number 7 under the lock,
    # atomically, every other key kept, then posts the reload (through the
    # Darwin notify center: notify_post underneath).
    steps = [e for e in pane.set("numberOfTaps", 6.6)
             if e[0] in ("open", "flock", "close", "readFile", "writeData", "writeFile",
                         "darwinPost")]
    changed = dict(stored, numberOfTaps=7)
    opened = [e for e in steps if e[0] == "open"]
    out.check(opened and opened[0][1] == lock and opened[0][3] == 0o644,
              f"{folder}: the lock file is opened as {opened}, not {lock} with mode 0644")
    wanted = [("flock", 3, 6), ("readFile", PREFS), ("writeData", PREFS, changed, 1),
              ("close", 3), ("darwinPost", True, RELOAD)]
    out.check(steps[1:] == wanted,
              f"{folder}: moving numberOfTaps to 6.6 does {steps[1:]}, expected the lock, the "
              f"read, an atomic write of {changed}, the unlock and then {RELOAD}")
    posts = [e for e in steps if e[0] == "darwinPost"]
    out.check(posts == [("darwinPost", True, RELOAD)],
              f"{folder}: a change posts {posts}, not {RELOAD} to the Darwin notify center")
    out.check(all(e[3] == 1 for e in steps if e[0] == "writeData"),
              f"{folder}: the file is written in place, not atomically (NSDataWritingAtomic): "
              f"{[e for e in steps if e[0] == 'writeData']}")
    COSTS["settings pane opened"] = pane.opening
    COSTS["settings pane change"] = pane.change
    written = m.files.get(PREFS, {}).get("numberOfTaps")
    out.check(type(written) is int, f"{folder}: numberOfTaps is written as {written!r}, not "
                                    "an integer")
    try:
        check_no_cfprefs(m, f"{folder}: the pane")
    except EmulationError as error:
        out.check(False, str(error))

    check_missing_file(folder, out, args)
    check_not_dictionary(folder, out, args)
    check_failed_write(folder, out, args)
    check_lock_not_had(folder, out, args)
    check_turns_bad(folder, out, args)
    check_equal_times(folder, out, args)
    check_time_off_the_steps(folder, out, args)
    check_app_lists(folder, out, args)


def check_missing_file(folder, out, args):
    pane = Pane(folder, args, {})
    out.check(pane.read("hideBanners") == 1, f"{folder}: without a file hideBanners reads "
                                             f"{pane.read('hideBanners')}, not its default")
    steps = [e for e in pane.set("hideBanners", False) if e[0] in ("writeData", "darwinPost")]
    out.check(steps == [("writeData", PREFS, {"hideBanners": False}, 1),
                        ("darwinPost", True, RELOAD)],
              f"{folder}: the first change without a file does {steps}, not create it")


def check_not_dictionary(folder, out, args):
    """A file that holds no dictionary is the user's: never written, every
    control disabled."""
    pane = Pane(folder, args, {PREFS: ["not", "a", "dictionary"]})
    controls = [key for key, row in pane.rows.items()
                if "key" in pane.m.objects[row].properties]
    enabled = [key for key in controls if pane.enabled(key)]
    out.check(controls and not enabled,
              f"{folder}: with a file that holds no dictionary the controls {enabled} stay "
              "enabled")
    steps = [e for e in pane.set("hideBanners", False)
             if e[0] in ("writeData", "writeFile", "darwinPost")]
    out.check(not steps and pane.m.files[PREFS] == ["not", "a", "dictionary"],
              f"{folder}: a file that holds no dictionary is written over: {steps}")
    footer = pane.m.objects[next(iter(pane.rows.values()))].properties.get("footerText", "")
    out.check(isinstance(footer, str) and PREFS in footer,
              f"{folder}: with a file that holds no dictionary the first footer is {footer!r}, "
              "not a word about the file")


def check_failed_write(folder, out, args):
    """The device's storage is full: the user reads the system's reason, the
    old file stays, nothing is posted, and the row shows the stored value
    again."""
    reason = "No space left on device"
    pane = Pane(folder, args, {PREFS: {"hideBanners": True}})
    pane.m.write_error = reason
    steps = pane.set("hideBanners", False)
    alerts = [pane.m.objects[e[2]] for e in steps if e[0] == "present"]
    out.check(len(alerts) == 1 and reason in (alerts[0].message or ""),
              f"{folder}: a failed write shows {[(a.title, a.message) for a in alerts]}, not an "
              f"alert with the system's reason ({reason})")
    posts = [e for e in steps if e[0] == "darwinPost"]
    out.check(not posts and pane.m.files[PREFS] == {"hideBanners": True},
              f"{folder}: a failed write posts {posts} or changes the file to "
              f"{pane.m.files[PREFS]}")
    out.check(("reloadSpecifier", "hideBanners") in steps,
              f"{folder}: after a failed write the switch is not shown again with the stored "
              "value (no -reloadSpecifier:)")


def check_lock_not_had(folder, out, args):
    """The file's lock held by another program past the wait, or not to be
    had at all (open(2) refused, flock(2) failing): an alert, nothing
    written or posted, the row shown again from the file."""
    for what, setting, value in (("held by another program", "lock_held", True),
                                 ("refused by open", "open_errno", 13),
                                 ("failing in flock", "flock_errno", 45)):
        pane = Pane(folder, args, {PREFS: {"hideBanners": True}})
        setattr(pane.m, setting, value)
        steps = pane.set("hideBanners", False)
        alerts = [e for e in steps if e[0] == "present"]
        written = [e for e in steps if e[0] in ("writeData", "writeFile", "darwinPost")]
        out.check(len(alerts) == 1 and not written and
                  ("reloadSpecifier", "hideBanners") in steps and
                  pane.m.files[PREFS] == {"hideBanners": True},
                  f"{folder}: with the lock {what}, a change does {written} with "
                  f"{len(alerts)} alerts")


def check_turns_bad(folder, out, args):
    """The file stops holding a dictionary while the pane is open: the
    change is refused with an alert and the rows are made again, disabled
    (-reloadSpecifiers asks for -specifiers anew)."""
    pane = Pane(folder, args, {PREFS: {"hideBanners": True}})
    m = pane.m
    m.files[PREFS] = ["not", "a", "dictionary"]
    steps = pane.set("hideBanners", False)
    alerts = [e for e in steps if e[0] == "present"]
    shown = [s for s in shown_specifiers(m, pane.controller)
             if "key" in m.objects[s].properties]
    enabled = [m.objects[s].properties["key"] for s in shown
               if m.objects[s].properties.get("enabled", True)]
    out.check(len(alerts) == 1 and shown and not enabled and
              m.files[PREFS] == ["not", "a", "dictionary"],
              f"{folder}: a file turned bad while the pane is open gives {len(alerts)} alerts, "
              f"shows {len(shown)} rows of which {enabled} are enabled")


def check_equal_times(folder, out, args):
    """Quiet hours need a start and an end that differ: a start equal to
    the stored end is refused with an alert; nothing is written or posted."""
    pane = Pane(folder, args, {PREFS: {"quietHoursEnd": 420}})
    steps = pane.set("quietHoursStart", 420)
    alerts = [e for e in steps if e[0] == "present"]
    written = [e for e in steps if e[0] in ("writeData", "writeFile", "darwinPost")]
    out.check(len(alerts) == 1 and not written and pane.m.files[PREFS] == {"quietHoursEnd": 420},
              f"{folder}: a start equal to the end does {written} with {len(alerts)} alerts, "
              "not a refusal")


def check_time_off_the_steps(folder, out, args):
    """A stored time off the 15-minute steps (22:07) is offered as a choice
    of its own between 22:00 and 22:15, titled like the others; the other
    time row keeps its list; a step picked after it is stored, and so is
    22:07 picked again."""
    pane = Pane(folder, args, {PREFS: {"quietHoursStart": 1327}})
    m = pane.m
    start, end = (m.objects[pane.rows[key]] for key in ("quietHoursStart", "quietHoursEnd"))
    around = list(zip(start.values, start.titles))[88:91]
    out.check(pane.read("quietHoursStart") == 1327 and len(start.values) == 97 and
              around == [(1320, "22:00"), (1327, "22:07"), (1335, "22:15")] and
              end.values == end.properties.get("validValues"),
              f"{folder}: a stored start of 1327 shows {pane.read('quietHoursStart')} among "
              f"{len(start.values)} choices, {around} around it, not 22:07 between 22:00 "
              "and 22:15")
    picked = []
    for value in (1335, 1327):
        pane.set("quietHoursStart", value)
        picked.append(m.files[PREFS])
    out.check(picked == [{"quietHoursStart": 1335}, {"quietHoursStart": 1327}],
              f"{folder}: 22:15, then 22:07, picked after 22:07 leave the file as {picked}")


def check_app_lists(folder, out, args):
    pane = Pane(folder, args, {PREFS: {}})
    m = pane.m
    for row, (identifier, key) in APP_LISTS.items():
        mark = len(m.log)
        pane.tap(row)
        editors = since(m, mark, "appListEditor")
        pushed = since(m, mark, "push")
        for push in pushed:
            pane.back(push[2])
        out.check(editors == [("appListEditor", identifier, key)] and len(pushed) == 1 and
                  pushed[0][1] == m.navigation,
                  f"{folder}: the row {row} makes {editors} and pushes {pushed}, not "
                  f"libsparkapplist's editor of {identifier}/{key} onto the navigation "
                  "controller")
    # Without the library (weak: the pane still loads), both rows are disabled.
    pane = Pane(folder, args, {PREFS: {}}, app_lists=False)
    enabled = [row for row in APP_LISTS if pane.enabled(row)]
    out.check(not enabled, f"{folder}: without libsparkapplist the rows {enabled} stay enabled")
    footer = pane.m.objects[pane.rows["Apps"]].properties.get("footerText", "")
    out.check(isinstance(footer, str) and "com.spark.libsparkapplist" in footer,
              f"{folder}: without libsparkapplist the Apps footer is {footer!r}, naming no "
              "package to install")
