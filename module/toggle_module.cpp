// QuellineModule: the Control Center toggle that switches quiet mode (and,
// with hideIconsWithToggle, the icons) on and off. Its only state is the
// `_selected` byte; the preference file is its memory across restarts.
#include "platform/filelock.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/live_read.h"

namespace {

// Control Center's toggle base class, as found when the bundle loaded.
Class gToggleBase = nil;

// How long the toggle waits for the preference editor to finish a change
// of its own. The editor holds the lock for a few milliseconds; past this
// bound (a stuck editor) the toggle goes on without it rather than keep the
// home screen waiting.
constexpr double kLockWait = 0.5;

BOOL* selectedOf(id self) {
  Ivar ivar = class_getInstanceVariable(object_getClass(self), "_selected");
  return reinterpret_cast<BOOL*>(reinterpret_cast<char*>(self) + ivar_getOffset(ivar));
}

id selectedColor(id, SEL) {
  return platform::UIColor::colorWithRed_green_blue_alpha(0.01, 0.53, 0.53, 1.0);
}

// Each query registers once more for checkState; none is ever removed.
BOOL isSelected(id self, SEL) {
  quelline::observeEvent(self, "checkState", NSSTR(QUELLINE_EVENT_CHECK_STATE));
  return *selectedOf(self);
}

// One glyph, from the bundle that holds this code, for both states. The
// bundle is found from this image: no image holds a class made at run
// time, so bundleForClass: would answer the host's main bundle.
id iconGlyph(id, SEL) {
  id bundle = platform_bundleForAddress(&gToggleBase);
  return platform::UIImage::imageNamed_inBundle_compatibleWithTraitCollection(NSSTR("Icon"), bundle,
                                                                              nil);
}

void setKey(id prefs, const char* key, bool on) {
  using namespace platform;
  NSMutableDictionary::setObject_forKey(prefs, NSNumber::numberWithBool(on),
                                        NSString::stringWithUTF8String(key));
}

bool writePrefs(id prefs) {
  return platform::NSMutableDictionary::writeToFile_atomically(prefs, NSSTR(QUELLINE_PREFS_PATH),
                                                               YES);
}

// The preference file to change: what it holds, or a new empty dictionary
// when there is no file yet (the toggle's state is then its first content).
// nil for a file that exists but cannot be read or holds no dictionary: it
// is the user's, and is never overwritten.
id preferencesToChange() {
  using namespace platform;
  id prefs = quelline::readPreferenceFile();
  if (prefs != nil) return prefs;
  if (NSFileManager::fileExistsAtPath(NSFileManager::defaultManager(), NSSTR(QUELLINE_PREFS_PATH)))
    return nil;
  return NSMutableDictionary::dictionary();
}

// Write, post, write, post: each write lands before the event that follows
// it, so a handler reading the file live sees the new state. The whole
// dictionary read once is written back, every other key as it was read. A
// file that is there but holds no dictionary is not written; the events
// still go.
void setSelected(id self, SEL, BOOL selected) {
  *selectedOf(self) = selected;
  platform::msgSendSuper<void>(gToggleBase, self, platform::sel("refreshState"));

  platform::FileLock lock(QUELLINE_PREFS_PATH, kLockWait);
  id prefs = preferencesToChange();
  bool on = *selectedOf(self);
  setKey(prefs, "enableTweakToggle", on);
  writePrefs(prefs);
  quelline::postEvent(on ? NSSTR(QUELLINE_EVENT_HIDE) : NSSTR(QUELLINE_EVENT_UNHIDE));
  if (!quelline::settingBool(prefs, NSSTR("hideIconsWithToggle"), false)) return;
  setKey(prefs, "toggleHasControl", on);
  writePrefs(prefs);
  quelline::postEvent(on ? NSSTR(QUELLINE_EVENT_MUTE_HIDE_ICONS)
                         : NSSTR(QUELLINE_EVENT_MUTE_UNHIDE_ICONS));
}

// After a restart: a toggle that the file says is on turns itself on
// again. Never turns it off.
void checkState(id self, SEL) {
  if (quelline::readLiveBool(NSSTR("enableTweakToggle")))
    platform::msgSend<void>(self, platform::sel("setSelected:"), YES);
}

// The class exists from the moment Control Center loads the bundle.
[[gnu::constructor]] void registerQuellineModule() {
  gToggleBase = objc_getClass("CCUIToggleModule");
  if (gToggleBase == nil) return;
  Class cls = objc_allocateClassPair(gToggleBase, "QuellineModule", 0);
  if (cls == nil) return;
  class_addIvar(cls, "_selected", sizeof(BOOL), 0, "B");
  class_addMethod(cls, platform::sel("selectedColor"), platform::asIMP(&selectedColor), "@16@0:8");
  class_addMethod(cls, platform::sel("isSelected"), platform::asIMP(&isSelected), "B16@0:8");
  class_addMethod(cls, platform::sel("iconGlyph"), platform::asIMP(&iconGlyph), "@16@0:8");
  class_addMethod(cls, platform::sel("setSelected:"), platform::asIMP(&setSelected), "v20@0:8B16");
  class_addMethod(cls, platform::sel("checkState"), platform::asIMP(&checkState), "v16@0:8");
  objc_registerClassPair(cls);
}

} // namespace
