"""The Settings app as the emulated settings pane meets it: the classes of
Preferences.framework that it subclasses and talks to (PSListController,
PSSpecifier), the process's classes that objc_getClass finds, and the
app-list editor of libsparkapplist. They behave as the platform does, not as
the pane expects:

- `-[PSListController loadSpecifiersFromPlistName:target:]` reads NAME.plist
  from the folder of the controller's `-bundle`, and makes a specifier of
  each item (none when the plist is not there);
- `-[PSListController bundle]`, not replaced, answers the bundle of the
  controller's class; a class made at run time belongs to no image, so that
  is Settings' main bundle, which holds no plist of the pane;
- `-[PSListController readPreferenceValue:]` and
  `-setPreferenceValue:specifier:`, not replaced, go through the
  preferences daemon (cfprefsd), which the pane must never do: both are
  recorded, and the checks fail on them;
- the rows Settings shows, and those `-specifierForID:` searches, are the
  controller's `_specifiers` instance variable, not what `-specifiers`
  returned (a subclass's `-specifiers` must store them there);
- `-[PSSpecifier propertyForKey:]` answers what the plist entry gave, and
  the `enabled` property, once set, says whether the row can be used;
- a row's `-values` are its entry's `validValues` until
  `-setValues:titles:` replaces them, which takes two arrays of equal
  counts (else NSInvalidArgumentException, as its title dictionary is made
  from the two);
- a specifier is made only of an entry that follows the framework's rules
  (load_rules below, each with its source): a known cell type, `detail`
  and `cellClass` naming classes of the process, `validValues` and
  `validTitles` of equal counts, a label wherever the cell draws one (and,
  for a slider, which draws none, a titled section of its own);
- a value is read and set through the row's target with the row's `get`
  and `set` selectors (readPreferenceValue: and
  setPreferenceValue:specifier: when the entry names none), and only a
  cell that can set a value sets one (CELLS);
- `-reloadSpecifiers` asks the controller for `-specifiers` again and
  shows what `_specifiers` then holds."""

import plistlib

from emulator import X, EmulationError, TailCall
from fake_platform import METHODS, _python

# The Settings process's classes that the pane may find by name, with their
# superclasses (class dumps of iOS 11's Preferences.framework and UIKit).
SETTINGS_CLASSES = {
    "UIResponder": {"superclass": "NSObject"},
    "UIViewController": {"superclass": "UIResponder"},
    "UITableViewController": {"superclass": "UIViewController"},
    "UINavigationController": {"superclass": "UIViewController"},
    "PSViewController": {"superclass": "UIViewController"},
    "PSListController": {"superclass": "PSViewController"},
    "PSSpecifier": {"superclass": "NSObject"},
    "PSListItemsController": {"superclass": "PSListController"},
    "PSTableCell": {"superclass": "NSObject"},
}

# The cell types of Preferences.framework (+[PSTableCell cellTypeFromString:];
# the iPhone Development Wiki, "Preferences specifier plist", Cell types),
# each with what a person can do with it: "set" (the control hands a value
# to the row's setter), "tap" (an action, or the `detail` controller
# pushed), None (it shows only). PSTitleValueCell shows a value and cannot
# change it (Apple, Settings Application Schema Reference,
# PSTitleValueSpecifier: "a read-only preference"); a PSLinkListCell sets
# the value chosen in its PSListItemsController.
CELLS = {"PSGroupCell": None, "PSSwitchCell": "set", "PSSliderCell": "set",
         "PSSegmentCell": "set", "PSEditTextCell": "set", "PSSecureEditTextCell": "set",
         "PSEditTextViewCell": "set", "PSLinkListCell": "set", "PSListItemCell": "tap",
         "PSLinkCell": "tap", "PSButtonCell": "tap", "PSTitleValueCell": None,
         "PSStaticTextCell": None, "PSSpinnerCell": None, "PSGiantIconCell": None,
         "PSGiantCell": None}
# Cells that draw no label: a group's label is its header (optional); a
# slider shows only its track and value (the wiki's and Apple's slider
# examples carry no title; Apple's Settings guide puts a titled group
# before a slider for its name).
UNLABELLED = {"PSGroupCell", "PSSliderCell"}


def load_rules(m, items):
    """What the framework requires of the entries it makes specifiers of:
    raises EmulationError naming the first entry that breaks a rule."""
    for index, item in enumerate(items):
        name = item.get("id") or item.get("label") or f"item {index}"
        cell = item.get("cell")
        if cell not in CELLS:
            raise EmulationError(f"Root.plist: {name} has cell {cell!r}, which is no cell type "
                                 "of Preferences (+[PSTableCell cellTypeFromString:])")
        for key in ("detail", "cellClass"):
            if key in item and not m.registered(item[key]):
                raise EmulationError(f"Root.plist: {name} has {key} {item[key]!r}, which names "
                                     "no class of the Settings process: Settings cannot make it")
        if ("validValues" in item or "validTitles" in item) and \
                len(item.get("validValues", [])) != len(item.get("validTitles", [])):
            raise EmulationError(f"Root.plist: {name} has {len(item.get('validValues', []))} "
                                 f"validValues and {len(item.get('validTitles', []))} "
                                 "validTitles: the two must have equal counts")
        if cell not in UNLABELLED and not item.get("label"):
            raise EmulationError(f"Root.plist: {name} ({cell}) has no label to draw")
        if cell == "PSSliderCell":
            before = items[index - 1] if index else {}
            if before.get("cell") != "PSGroupCell" or not before.get("label"):
                raise EmulationError(f"Root.plist: the slider {name} shows no label: a slider "
                                     "draws none, and no titled section is its own")
# Settings' main bundle: what the inherited -bundle answers for a class that
# no image holds.
MAIN_BUNDLE = "/Applications/Preferences.app"
# libsparkapplist's editor (a UITableViewController), found only when that
# library is loaded.
APP_LIST_EDITOR = "SparkAppListTableViewController"


# Where PSListController keeps its rows (an id, after UIViewController's
# instance variables).
SPECIFIERS_OFFSET = 0x3A8


# The images the Settings app loads of its own: no Control Center's.
SETTINGS_IMAGES = (
    "/usr/lib/libobjc.A.dylib", "/usr/lib/libSystem.B.dylib",
    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
    "/System/Library/Frameworks/Foundation.framework/Foundation",
    "/System/Library/Frameworks/UIKit.framework/UIKit",
    "/System/Library/PrivateFrameworks/Preferences.framework/Preferences")


def settings_home():
    """The model of the Settings process for emulator.Machine."""
    return {name: dict(cls, methods=[], classMethods=[]) for name, cls in
            SETTINGS_CLASSES.items()}


def install_settings(m):
    """Settings' classes in machine `m` (made with settings_home()):
    PSListController with its `_specifiers`."""
    controller = m.class_named("PSListController")
    controller.ivars["_specifiers"] = (SPECIFIERS_OFFSET, m.alloc(16))
    controller.instance_size = SPECIFIERS_OFFSET + 8
    m.bundle_answers, m.bundle_folders = {}, {}


def shown_specifiers(m, controller):
    """The rows Settings shows: the controller's `_specifiers`."""
    array = m.read_u64(controller + SPECIFIERS_OFFSET)
    m.check_alive(array, "shown as the controller's _specifiers")
    return m.objects[array].items if array in m.objects else []


def _load_specifiers(m, receiver):
    """Reads NAME.plist from the folder of [self bundle] (asked of the
    controller beforehand: m.bundle_answers), one PSSpecifier per item."""
    name = m.text(m.arg(2))
    target = m.arg(3)
    bundle = m.bundle_answers.get(receiver, MAIN_BUNDLE)
    m.log.append(("loadSpecifiers", name, bundle, target == receiver))
    folder = m.bundle_folders.get(bundle)
    specifiers = []
    if folder is not None:
        try:
            with open(f"{folder}/{name}.plist", "rb") as f:
                items = plistlib.load(f).get("items", [])
        except FileNotFoundError:
            items = []
        load_rules(m, items)
        for item in items:
            specifiers.append(m.retain(m.new_object("PSSpecifier", properties=dict(item),
                                                    target=target,
                                                    values=item.get("validValues"),
                                                    titles=item.get("validTitles"))))
    # Autoreleased (the framework's method is no alloc, new or copy), holding
    # its specifiers.
    array = m.new_object("NSArray", items=specifiers, holds_objects=True)
    return array


def _cfprefs_read(m, receiver):
    specifier = m.objects[m.arg(2)]
    m.log.append(("cfprefsRead", specifier.properties.get("key")))
    return 0


def _cfprefs_write(m, receiver):
    specifier = m.objects[m.arg(3)]
    m.log.append(("cfprefsWrite", specifier.properties.get("key"), _python(m, m.arg(2))))


def _property(m, receiver):
    properties = m.objects[receiver].properties
    key = m.text(m.arg(2))
    if key not in properties:
        return 0
    value = properties[key]
    return value if isinstance(value, Handle) else m.value(value)


def _set_property(m, receiver):
    key = m.text(m.arg(3))
    value = m.arg(2)
    obj = m.objects.get(value)
    kind = obj.kind if obj else None
    if kind in ("NSNumber", "NSString", "NSMutableDictionary", "NSArray"):
        stored = _python(m, value)
    elif obj is None and value and m.read_u64(value) == m.data["___CFConstantStringClassReference"]:
        stored = m.text(value)  # a string laid out at build time
    else:
        stored = Handle(value)
    m.objects[receiver].properties[key] = stored
    m.log.append(("setProperty", m.objects[receiver].properties.get("id"), key,
                  stored if not isinstance(stored, Handle) else "object"))


def _values(m, receiver):
    values = m.objects[receiver].values
    return 0 if values is None else m.value(list(values))


def _set_values(m, receiver):
    specifier = m.objects[receiver]
    arrays = [m.objects.get(m.arg(i)) for i in (2, 3)]
    if any(a is None or a.kind not in ("NSArray", "NSMutableArray") for a in arrays) or \
            len(arrays[0].items) != len(arrays[1].items):
        raise EmulationError(f"-[PSSpecifier setValues:titles:] of "
                             f"{specifier.properties.get('id')} is not given two arrays of "
                             "equal counts: NSInvalidArgumentException")
    specifier.values, specifier.titles = _python(m, m.arg(2)), _python(m, m.arg(3))
    m.log.append(("setValues", specifier.properties.get("id"), list(specifier.values),
                  list(specifier.titles)))


def _specifier_for_id(m, receiver):
    wanted = m.text(m.arg(2))
    for specifier in shown_specifiers(m, receiver):
        if m.objects[specifier].properties.get("id") == wanted:
            return specifier
    return 0


def _reload_specifiers(m, receiver):
    """The table is made again from -specifiers, asked anew (what
    `_specifiers` holds then is what Settings shows)."""
    m.log.append(("reloadSpecifiers", receiver))
    implementation = m.classes[m.read_u64(receiver)].lookup("specifiers")
    if implementation is None:
        return None
    m.uc.reg_write(X[1], m.selector("specifiers"))
    return TailCall(implementation)


def _init_editor(m, receiver):
    m.log.append(("appListEditor", m.text(m.arg(2)), m.text(m.arg(3))))
    return receiver


class Handle(int):
    """An object stored as a specifier's property as it is (not a plist value)."""


METHODS.update({
    ("PSListController", "loadSpecifiersFromPlistName:target:"): _load_specifiers,
    ("PSListController", "bundle"): lambda m, r: m.new_object("NSBundle", path=MAIN_BUNDLE),
    ("PSListController", "readPreferenceValue:"): _cfprefs_read,
    ("PSListController", "setPreferenceValue:specifier:"): _cfprefs_write,
    ("PSListController", "specifierForID:"): _specifier_for_id,
    ("PSListController", "reloadSpecifiers"): _reload_specifiers,
    ("PSListController", "reloadSpecifier:"): lambda m, r: m.log.append(
        ("reloadSpecifier", m.objects[m.arg(2)].properties.get("id"))),
    ("PSSpecifier", "propertyForKey:"): _property,
    ("PSSpecifier", "setProperty:forKey:"): _set_property,
    ("PSSpecifier", "values"): _values,
    ("PSSpecifier", "setValues:titles:"): _set_values,
    ("PSSpecifier", "identifier"): lambda m, r: m.string(
        m.objects[r].properties.get("id") or m.objects[r].properties.get("label", "")),
    (APP_LIST_EDITOR, "initWithIdentifier:andKey:"): _init_editor,
})


def check_no_cfprefs(m, what):
    """The pane's reads and writes never went through cfprefsd."""
    found = [e for e in m.log if e[0] in ("cfprefsRead", "cfprefsWrite")]
    if found:
        raise EmulationError(f"{what} goes through cfprefsd (PSListController's own "
                             f"readPreferenceValue:/setPreferenceValue:specifier:): {found}")
