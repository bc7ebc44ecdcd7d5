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
  bool isTime;  // a clock time (minutes after midnight)
};

#define QUELLINE_PANE_IS_BOOL_Bool true
#define QUELLINE_PANE_IS_BOOL_Int32 false
#define QUELLINE_PANE_IS_BOOL_Minutes false
#define QUELLINE_PANE_STEP_Bool 1
#define QUELLINE_PANE_STEP_Int32 1
#define QUELLINE_PANE_STEP_Minutes QUELLINE_PANE_TIME_STEP
#define QUELLINE_PANE_IS_TIME_Bool false
#define QUELLINE_PANE_IS_TIME_Int32 false
#define QUELLINE_PANE_IS_TIME_Minutes true
constexpr PaneKey kKeys[] = {
#define QUELLINE_PANE_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)      \
  {#name,                                                                                          \
   QUELLINE_PANE_IS_BOOL_##type,                                                                   \
   fallback,                                                                                       \
   minimum,                                                                                        \
   maximum,                                                                                        \
   QUELLINE_PANE_STEP_##type,                                                                      \
   QUELLINE_PANE_IS_TIME_##type},
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

// Loaded once from Root.plist, then kept (the list controller releases
// them); -reloadSpecifiers forgets them and asks again.
id specifiers(id self, SEL) {
  id* slot = specifiersSlot(self);
  if (*slot == nil) {
    id loaded =
        platform::PSListController::loadSpecifiersFromPlistName_target(self, NSSTR("Root"), self);
    *slot = objc_retain(loaded);
    if (loaded != nil) markUnavailable(self, loaded);
  }
  return *slot;
}

// The bundle of this image, where Root.plist is: no image holds a class
// made at run time, so the inherited -bundle (bundleForClass:) would answer
// the Settings app's own bundle.
id bundle(id, SEL) {
  return platform_bundleForAddress(&gListBase);
}

// What a row shows: the value the home screen uses, as it converts what the
// file holds (the key's default when the file or the key is missing).
id readPreferenceValue(id, SEL, id specifier) {
  using namespace platform;
  const PaneKey* key = keyOf(specifier);
  if (key == nullptr) return nil;
  id prefs = quelline::readPreferenceFile();
  id name = NSString::stringWithUTF8String(key->name);
  if (key->isBool)
    return NSNumber::numberWithBool(quelline::settingBool(prefs, name, key->fallback));
  if (key->isTime)
    return NSNumber::numberWithInteger(
        quelline::minuteOfDay(quelline::settingMinutes(prefs, name, key->fallback)));
  return NSNumber::numberWithInteger(quelline::settingInt32(prefs, name, key->fallback));
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

// Why `key` may not take `value` beside what `prefs` holds (its partner of
// kDifferentKeys holds the same), or nil.
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
    return platform::NSString::stringByAppendingString(
        platform::NSString::stringWithUTF8String(pair.reason), NSSTR("; nothing was changed."));
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

// The change of one key, made and written under the lock. nil when it
// landed, else what to tell the user.
id storeValue(const PaneKey& key, id value) {
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
  if (!key.isBool)
    if (id clash = clashWithPartner(key, NSNumber::intValue(value), change.preferences()))
      return clash;
  NSMutableDictionary::setObject_forKey(change.preferences(), value,
                                        NSString::stringWithUTF8String(key.name));
  id error = nil;
  if (change.write(&error)) return nil;
  return error != nil ? NSError::localizedDescription(error)
                      : NSSTR("The settings file could not be written.");
}

// A person flipped a switch or moved a slider: the file changes under the
// lock and every process is told. When the change cannot be made the user
// reads why, and the row goes back to what the file holds.
void setPreferenceValue(id self, SEL, id value, id specifier) {
  using namespace platform;
  const PaneKey* key = keyOf(specifier);
  if (key == nullptr || value == nil) return;
  id stored = key->isBool
                  ? NSNumber::numberWithBool(NSNumber::boolValue(value))
                  : NSNumber::numberWithInteger(wholeInRange(NSNumber::doubleValue(value), *key));
  id problem = storeValue(*key, stored);
  if (problem == nil) {
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         CFSTR(QUELLINE_RELOAD_PREFS), nullptr, nullptr, true);
    // A slider shows the whole number that was stored.
    if (!key->isBool) PSListController::reloadSpecifier(self, specifier);
    return;
  }
  showAlert(self, problem);
  if (!quelline::preferenceFileUnusable()) {
    PSListController::reloadSpecifier(self, specifier);
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
  class_addMethod(cls, platform::sel(QUELLINE_PANE_APP_LIST_ACTION), platform::asIMP(&showAppList),
                  platform::framedTypesOf<&showAppList>);
  objc_registerClassPair(cls);
}

} // namespace
