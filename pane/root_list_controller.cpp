// QuellinePrefsRootListController: the settings pane in the Settings app, a
// PSListController made when the bundle loads. Its rows come from Root.plist
// (made from prefs/domain.h); it reads and writes the preference file itself,
// never through the preferences daemon, under the lock that every writer of
// the file takes, and posts ReloadPrefs after each change. The two app-list
// rows push libsparkapplist's editor, which stores its own list files.
#include "platform/preferences.h"
#include "platform/sparkapplist.h"
#include "platform/uikit.h"
#include "prefs/domain.h"
#include "prefs/live_read.h"
#include "prefs/preference_change.h"
#include "prefs/time_of_day.h"

#include <stdint.h>

namespace {

// Settings' list controller, as found when the bundle loaded.
Class gListBase = nil;

// How long a change waits for the file's lock: the preference editor holds
// it for a few milliseconds, the toggle for less.
constexpr double kLockWaitSeconds = 0.5;

#define QUELLINE_PANE_ALERT_TITLE "Quelline's settings were not saved"
// The first group's footer while the file cannot be changed.
#define QUELLINE_PANE_UNUSABLE_FOOTER                                                              \
  "The settings file " QUELLINE_PREFS_PATH " cannot be read or holds no settings, so nothing "     \
  "here can be changed and Quelline uses its defaults. Repair or remove the file, then open "      \
  "this page again."
// The Apps group's footer without the app-list editor.
#define QUELLINE_PANE_NO_EDITOR_FOOTER                                                             \
  "Choosing apps needs " QUELLINE_APP_LIST_PACKAGE ", which is not installed."

// A key the pane shows, as the domain describes it.
struct PaneKey {
  const char* name;
  bool isBool;
  int32_t fallback;
  int32_t minimum;
  int32_t maximum;
  int32_t step; // a clock time is chosen in steps of minutes
  const char* label;
  bool isTime; // a clock time (minutes after midnight)
};

#define QUELLINE_PANE_IS_BOOL_Bool true
#define QUELLINE_PANE_IS_BOOL_Int32 false
#define QUELLINE_PANE_IS_BOOL_Minutes false
#define QUELLINE_PANE_IS_BOOL_Duration false
#define QUELLINE_PANE_STEP_Bool 1
#define QUELLINE_PANE_STEP_Int32 1
#define QUELLINE_PANE_STEP_Minutes QUELLINE_PANE_TIME_STEP
#define QUELLINE_PANE_STEP_Duration 1
constexpr PaneKey kKeys[] = {
#define QUELLINE_PANE_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)      \
  {#name,   QUELLINE_PANE_IS_BOOL_##type, fallback, minimum,                                       \
   maximum, QUELLINE_PANE_STEP_##type,    label,    QUELLINE_SETTING_IS_TIME_##type},
    QUELLINE_SETTINGS(QUELLINE_PANE_KEY)
#undef QUELLINE_PANE_KEY
};

// Pairs of keys that may not be equal (a quiet-hours start and end), and
// why: the pane refuses a change that would make them so.
struct DifferentKeys {
  const char* first;
  const char* second;
  const char* reason;
};
constexpr DifferentKeys kDifferentKeys[] = {
#define QUELLINE_PANE_DIFFERENT(first, second, reason) {#first, #second, reason},
    QUELLINE_DIFFERENT_KEYS(QUELLINE_PANE_DIFFERENT)
#undef QUELLINE_PANE_DIFFERENT
};

struct AppListRow {
  const char* row;
  id (*list)();
  id (*key)();
};

constexpr AppListRow kAppLists[] = {
#define QUELLINE_PANE_APP_LIST(row, label, list, key)                                              \
  {#row, [] { return NSSTR(list); }, [] { return NSSTR(key); }},
    QUELLINE_PANE_APP_LISTS(QUELLINE_PANE_APP_LIST)
#undef QUELLINE_PANE_APP_LIST
};

bool sameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

const PaneKey* findKey(const char* name) {
  for (const PaneKey& key : kKeys)
    if (sameText(key.name, name)) return &key;
  return nullptr;
}

// The key of a row, or null for a row that shows no key (a group, a link).
const PaneKey* keyOf(id specifier) {
  id name = platform::PSSpecifier::propertyForKey(specifier, NSSTR("key"));
  if (name == nil) return nullptr;
  return findKey(platform::NSString::UTF8String(name));
}

const AppListRow* appListOf(id specifier) {
  id row = platform::PSSpecifier::identifier(specifier);
  if (row == nil) return nullptr;
  const char* text = platform::NSString::UTF8String(row);
  for (const AppListRow& list : kAppLists)
    if (sameText(list.row, text)) return &list;
  return nullptr;
}

void disable(id specifier) {
  platform::PSSpecifier::setProperty_forKey(specifier, platform::NSNumber::numberWithBool(NO),
                                            NSSTR("enabled"));
}

void setFooter(id group, id text) {
  if (group != nil) platform::PSSpecifier::setProperty_forKey(group, text, NSSTR("footerText"));
}

// What the rows cannot do now: with a file the pane must not write, every
// row of a key is disabled and the first footer says why; without the
// app-list editor its rows are disabled and the Apps footer names the
// package to install.
void markUnavailable(id self, id specifiers) {
  using namespace platform;
  const bool unusable = quelline::preferenceFileUnusable();
  const bool noEditor = cls<"SparkAppListTableViewController">() == nil;
  const unsigned long count = NSArray::count(specifiers);
  for (unsigned long i = 0; i < count; ++i) {
    id specifier = NSArray::objectAtIndex(specifiers, i);
    if (unusable && keyOf(specifier) != nullptr) disable(specifier);
    if (noEditor && appListOf(specifier) != nullptr) disable(specifier);
  }
  if (unusable && count > 0)
    setFooter(NSArray::objectAtIndex(specifiers, 0), NSSTR(QUELLINE_PANE_UNUSABLE_FOOTER));
  if (noEditor)
    setFooter(PSListController::specifierForID(self, NSSTR("Apps")),
              NSSTR(QUELLINE_PANE_NO_EDITOR_FOOTER));
}

id* specifiersSlot(id self) {
  Ivar ivar = class_getInstanceVariable(gListBase, "_specifiers");
  return reinterpret_cast<id*>(reinterpret_cast<char*>(self) + ivar_getOffset(ivar));
}

// The bundle of this image, where Root.plist is: no image holds a class
// made at run time, so the inherited -bundle (bundleForClass:) would answer
// the Settings app's own bundle.
id bundle(id, SEL) {
  return platform_bundleForAddress(&gListBase);
}

// What a row of `key` shows: the value the home screen uses, as it converts
// what `prefs` (the file's dictionary, or nil) holds (the key's default
// when the file or the key is missing).
id shownValue(const PaneKey& key, id prefs) {
  using namespace platform;
  id name = NSString::stringWithUTF8String(key.name);
  if (key.isBool) return NSNumber::numberWithBool(quelline::settingBool(prefs, name, key.fallback));
  if (key.isTime)
    return NSNumber::numberWithInteger(
        quelline::minuteOfDay(quelline::settingMinutes(prefs, name, key.fallback)));
  return NSNumber::numberWithInteger(quelline::settingInt32(prefs, name, key.fallback));
}

id readPreferenceValue(id, SEL, id specifier) {
  const PaneKey* key = keyOf(specifier);
  return key != nullptr ? shownValue(*key, quelline::readPreferenceFile()) : nil;
}

// A slider gives any real number: the nearest whole one within the range
// (for a clock time, the nearest step within it).
int32_t wholeInRange(double value, const PaneKey& key) {
  const int32_t last = key.maximum - (key.maximum - key.minimum) % key.step;
  if (!(value >= key.minimum)) return key.minimum; // NaN too
  if (value >= last) return last;
  const double steps = (value - key.minimum) / key.step;
  return key.minimum + static_cast<int32_t>(steps + 0.5) * key.step;
}

// What a person reads for a value: a clock time as HH:MM, else the number.
id shownText(const PaneKey& key, int32_t value) {
  char text[16];
  unsigned long at = 0;
  const bool clock = key.step != 1 && value >= 0;
  int32_t parts[2] = {clock ? value / 60 : value, clock ? value % 60 : 0};
  for (int i = 0; i < (clock ? 2 : 1); ++i) {
    if (i == 1) text[at++] = ':';
    int32_t part = parts[i];
    if (part < 0) {
      text[at++] = '-';
      part = -part;
    }
    char digits[12];
    unsigned long count = 0;
    do {
      digits[count++] = static_cast<char>('0' + part % 10);
      part /= 10;
    } while (part > 0);
    if (clock && count < 2) digits[count++] = '0';
    while (count > 0)
      text[at++] = digits[--count];
  }
  text[at] = '\0';
  return platform::NSString::stringWithUTF8String(text);
}

// A clock-time row whose shown time is not among its choices (a time off
// the 15-minute steps, stored by quelline-prefs or by hand) gets that time
// as a choice of its own, in time order and titled like the others, so the
// list shows it chosen rather than blank. `key` is the row's (a clock
// time), `prefs` the file's dictionary (or nil). The choice stays while the
// pane is open.
void offerShownTime(id specifier, const PaneKey* key, id prefs) {
  using namespace platform;
  id values = PSSpecifier::values(specifier);
  if (values == nil) return; // no list
  id shown = shownValue(*key, prefs);
  if (NSArray::containsObject(values, shown)) return;
  const int32_t time = NSNumber::intValue(shown);
  id offered = NSMutableArray::array();
  id titles = NSMutableArray::array();
  const unsigned long count = NSArray::count(values);
  bool placed = false;
  for (unsigned long i = 0; i <= count; ++i) {
    id value = i < count ? NSArray::objectAtIndex(values, i) : nil;
    if (!placed && (value == nil || NSNumber::intValue(value) > time)) {
      NSMutableArray::addObject(offered, shown);
      NSMutableArray::addObject(titles, shownText(*key, time));
      placed = true;
    }
    if (value == nil) break;
    NSMutableArray::addObject(offered, value);
    NSMutableArray::addObject(titles, shownText(*key, NSNumber::intValue(value)));
  }
  PSSpecifier::setValues_titles(specifier, offered, titles);
}

// The rows of `count` specifiers, of `keys`, drawn again from the file
// (read here only when a clock time is among them); switches only
// `withSwitches`.
void redrawRows(id self, const PaneKey* const* keys, const id* specifiers, unsigned long count,
                bool withSwitches) {
  id prefs = nil;
  bool read = false;
  for (unsigned long i = 0; i < count; ++i) {
    if (keys[i]->isBool && !withSwitches) continue;
    if (keys[i]->isTime) {
      if (!read) prefs = quelline::readPreferenceFile();
      read = true;
      offerShownTime(specifiers[i], keys[i], prefs);
    }
    platform::PSListController::reloadSpecifier(self, specifiers[i]);
  }
}

// Loaded once from Root.plist, then kept (the list controller releases
// them); -reloadSpecifiers forgets them and asks again.
id specifiers(id self, SEL) {
  using namespace platform;
  id* slot = specifiersSlot(self);
  if (*slot == nil) {
    id loaded = PSListController::loadSpecifiersFromPlistName_target(self, NSSTR("Root"), self);
    *slot = objc_retain(loaded);
    if (loaded != nil) {
      markUnavailable(self, loaded);
      // A key's row has the key's name as its identifier.
      id prefs = quelline::readPreferenceFile();
      for (const PaneKey& key : kKeys)
        if (key.isTime)
          if (id row =
                  PSListController::specifierForID(self, NSString::stringWithUTF8String(key.name)))
            offerShownTime(row, &key, prefs);
    }
  }
  return *slot;
}

id joined(const id* parts, unsigned long count) {
  id out = NSSTR("");
  for (unsigned long i = 0; i < count; ++i)
    out = platform::NSString::stringByAppendingString(out, parts[i]);
  return out;
}

// Why `key` may not take `value` beside what `prefs` holds (its partner of
// kDifferentKeys holds the same), naming both rows and the value, or nil.
id clashWithPartner(const PaneKey& key, int32_t value, id prefs) {
  for (const DifferentKeys& pair : kDifferentKeys) {
    const char* partner = sameText(key.name, pair.first)    ? pair.second
                          : sameText(key.name, pair.second) ? pair.first
                                                            : nullptr;
    const PaneKey* other = partner != nullptr ? findKey(partner) : nullptr;
    if (other == nullptr) continue;
    id name = platform::NSString::stringWithUTF8String(other->name);
    // Times compare as times of day, as the home screen counts them.
    const bool same =
        other->isTime
            ? quelline::sameTimeOfDay(quelline::settingMinutes(prefs, name, other->fallback), value)
            : quelline::settingInt32(prefs, name, other->fallback) == value;
    if (!same) continue;
    using platform::NSString::stringWithUTF8String;
    // "From 07:00 is the same as To 07:00: quiet hours need …"
    const id parts[] = {stringWithUTF8String(key.label),
                        NSSTR(" "),
                        shownText(key, value),
                        NSSTR(" is the same as "),
                        stringWithUTF8String(other->label),
                        NSSTR(" "),
                        shownText(*other, value),
                        NSSTR(": "),
                        stringWithUTF8String(pair.reason),
                        NSSTR("; nothing was changed.")};
    return joined(parts, sizeof parts / sizeof parts[0]);
  }
  return nil;
}

void showAlert(id self, id message) {
  using namespace platform;
  id alert = UIAlertController::alertControllerWithTitle_message_preferredStyle(
      NSSTR(QUELLINE_PANE_ALERT_TITLE), message, UIAlertControllerStyleAlert);
  UIAlertController::addAction(alert, UIAlertAction::actionWithTitle_style_handler(
                                          NSSTR("OK"), UIAlertActionStyleDefault, nullptr));
  UIViewController::presentViewController_animated_completion(self, alert, YES, nullptr);
}

// The change of `count` keys, made and written under the lock as one: every
// value applied, then the result checked as a whole. nil when it landed,
// else what to tell the user.
id storeValues(const PaneKey* const* keys, const id* values, unsigned long count) {
  using namespace platform;
  using State = quelline::PreferenceChange::State;
  quelline::PreferenceChange change(kLockWaitSeconds);
  switch (change.state()) {
  case State::Busy:
    return NSSTR("Another program is changing the settings. Try again in a moment.");
  case State::LockFailed: {
    id reason = NSError::errorWithDomain_code_userInfo(NSSTR("NSPOSIXErrorDomain"),
                                                       change.lockError(), nil);
    return NSString::stringByAppendingString(NSSTR("The settings file could not be locked: "),
                                             NSError::localizedDescription(reason));
  }
  case State::NotDictionary:
    return NSSTR("The settings file " QUELLINE_PREFS_PATH
                 " cannot be read or holds no settings; it was left as it is.");
  case State::Ready:
    break;
  }
  for (unsigned long i = 0; i < count; ++i)
    NSMutableDictionary::setObject_forKey(change.preferences(), values[i],
                                          NSString::stringWithUTF8String(keys[i]->name));
  for (unsigned long i = 0; i < count; ++i)
    if (!keys[i]->isBool)
      if (id clash =
              clashWithPartner(*keys[i], NSNumber::intValue(values[i]), change.preferences()))
        return clash;
  id error = nil;
  if (change.write(&error)) return nil;
  return error != nil ? NSError::localizedDescription(error)
                      : NSSTR("The settings file could not be written.");
}

// What the file stores for a control's value: a boolean; a time that the
// row's list offers, as it is (a time off the steps that the list shows
// stays that time); else the nearest whole number (clock step) in the
// key's range.
id storedValue(const PaneKey& key, id specifier, id value) {
  using namespace platform;
  if (key.isBool) return NSNumber::numberWithBool(NSNumber::boolValue(value));
  if (key.isTime) {
    id offered = PSSpecifier::values(specifier);
    if (offered != nil && NSArray::containsObject(offered, value))
      return NSNumber::numberWithInteger(NSNumber::integerValue(value));
  }
  return NSNumber::numberWithInteger(wholeInRange(NSNumber::doubleValue(value), key));
}

// The rows of `count` specifiers changed to `values` as one change: the
// file changes under the lock, once, and every process is told. When it
// cannot be made the user reads why, and the rows go back to what the file
// holds.
void changeRows(id self, const id* specifiers, const id* values, unsigned long count) {
  using namespace platform;
  constexpr unsigned long kMostRows = sizeof kKeys / sizeof kKeys[0];
  const PaneKey* keys[kMostRows];
  id stored[kMostRows];
  if (count == 0 || count > kMostRows) return;
  for (unsigned long i = 0; i < count; ++i) {
    keys[i] = keyOf(specifiers[i]);
    if (keys[i] == nullptr || values[i] == nil) return;
    stored[i] = storedValue(*keys[i], specifiers[i], values[i]);
  }
  id problem = storeValues(keys, stored, count);
  if (problem == nil) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         CFSTR(QUELLINE_RELOAD_PREFS), nullptr, nullptr, true);
    // A slider shows the whole number that was stored; a switch shows
    // what it was flipped to already.
    redrawRows(self, keys, specifiers, count, false);
    return;
  }
  showAlert(self, problem);
  if (!quelline::preferenceFileUnusable()) {
    redrawRows(self, keys, specifiers, count, true);
    return;
  }
  // The file turned bad while the pane was open: the rows are made again,
  // disabled. Forgotten here first, whether or not the platform's reload
  // forgets them itself.
  id* slot = specifiersSlot(self);
  objc_release(*slot);
  *slot = nil;
  PSListController::reloadSpecifiers(self);
}

// A person flipped a switch, moved a slider or picked a time.
void setPreferenceValue(id self, SEL, id value, id specifier) {
  changeRows(self, &specifier, &value, 1);
}

// Several rows changed as one (the two ends of quiet hours swapped, say):
// VALUES and SPECIFIERS are arrays of the same length.
void setPreferenceValues(id self, SEL, id values, id specifiers) {
  using namespace platform;
  if (values == nil || specifiers == nil) return;
  const unsigned long count = NSArray::count(values);
  constexpr unsigned long kMostRows = sizeof kKeys / sizeof kKeys[0];
  if (count != NSArray::count(specifiers) || count > kMostRows) return;
  id rows[kMostRows];
  id given[kMostRows];
  for (unsigned long i = 0; i < count; ++i) {
    rows[i] = NSArray::objectAtIndex(specifiers, i);
    given[i] = NSArray::objectAtIndex(values, i);
  }
  changeRows(self, rows, given, count);
}

// An app-list row: libsparkapplist's editor of that list, pushed. The
// library stores the list in its own file, which the home screen reads when
// an app comes to the front, so there is nothing to post.
void showAppList(id self, SEL, id specifier) {
  using namespace platform;
  const AppListRow* list = appListOf(specifier);
  if (list == nullptr) return;
  id editor = SparkAppListTableViewController::initWithIdentifier_andKey(list->list(), list->key());
  if (editor == nil) return;
  UINavigationController::pushViewController_animated(UIViewController::navigationController(self),
                                                      editor, YES);
  NSObject::release(editor);
}

// The class exists from the moment PreferenceLoader loads the bundle, which
// then makes it by name (NSPrincipalClass).
[[gnu::constructor]] void registerRootListController() {
  gListBase = objc_getClass("PSListController");
  if (gListBase == nil) return;
  Class cls = objc_allocateClassPair(gListBase, "QuellinePrefsRootListController", 0);
  if (cls == nil) return;
  class_addMethod(cls, platform::sel("specifiers"), platform::asIMP(&specifiers),
                  platform::framedTypesOf<&specifiers>);
  class_addMethod(cls, platform::sel("bundle"), platform::asIMP(&bundle),
                  platform::framedTypesOf<&bundle>);
  class_addMethod(cls, platform::sel("readPreferenceValue:"), platform::asIMP(&readPreferenceValue),
                  platform::framedTypesOf<&readPreferenceValue>);
  class_addMethod(cls, platform::sel("setPreferenceValue:specifier:"),
                  platform::asIMP(&setPreferenceValue),
                  platform::framedTypesOf<&setPreferenceValue>);
  class_addMethod(cls, platform::sel("setPreferenceValues:specifiers:"),
                  platform::asIMP(&setPreferenceValues),
                  platform::framedTypesOf<&setPreferenceValues>);
  class_addMethod(cls, platform::sel(QUELLINE_PANE_APP_LIST_ACTION), platform::asIMP(&showAppList),
                  platform::framedTypesOf<&showAppList>);
  objc_registerClassPair(cls);
}

} // namespace
