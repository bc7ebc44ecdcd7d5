// QuellineModule: the Control Center toggle that switches quiet mode (and,
// with hideIconsWithToggle, the icons) on and off, for good or, with
// toggleDuration, for a period. Its state is the `_selected` byte, the end
// of its period and the changes still to be written; the preference file is
// its memory across restarts. The library, not the toggle, ends a period:
// this bundle loads only when Control Center is first opened.
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/live_read.h"
#include "prefs/preference_change.h"
#include "prefs/retried_write.h"
#include "prefs/toggle_period.h"

namespace {

// Control Center's toggle base class, as found when the bundle loaded.
Class gToggleBase = nil;

// The toggle's changes that are not in the preference file yet, key by key.
// A later toggle replaces an earlier change of the same key, which leaves
// the file as writing them one after another would.
enum class Change : uint8_t { None, Off, On };
// The stored end of the period: left as it is, set to `periodEnd`, or
// removed.
enum class PeriodChange : uint8_t { None, Start, Clear };
struct PendingWrite {
  Change enableTweakToggle;
  Change toggleHasControl;
  PeriodChange period;
  int64_t periodEnd;
  bool retryScheduled;
};
PendingWrite gPending;

// The end of the period the toggle is on for, as it set or restored it
// (0: on until switched off, or off). Once it has passed, the toggle draws
// itself off: the library has switched it off by then.
int64_t gPeriodEnd;
// Set while checkState turns the toggle back on after a restart: the
// stored period goes on (with this end) rather than a new one starting.
struct Restoring {
  bool active;
  int64_t end;
};
Restoring gRestoring;

BOOL* selectedOf(id self) {
  Ivar ivar = class_getInstanceVariable(object_getClass(self), "_selected");
  return reinterpret_cast<BOOL*>(reinterpret_cast<char*>(self) + ivar_getOffset(ivar));
}

id selectedColor(id, SEL) {
  return platform::UIColor::colorWithRed_green_blue_alpha(0.01, 0.53, 0.53, 1.0);
}

// Each query registers once more for checkState; none is ever removed. A
// period that has ended shows off (the library wrote and posted the
// switch-off when it ended).
BOOL isSelected(id self, SEL) {
  quelline::observeEvent(self, "checkState", NSSTR(QUELLINE_EVENT_CHECK_STATE));
  BOOL* selected = selectedOf(self);
  if (*selected && gPeriodEnd != 0 && time(nullptr) >= gPeriodEnd) {
    *selected = NO;
    gPeriodEnd = 0;
  }
  return *selected;
}

// One glyph, from the bundle that holds this code, for both states. The
// bundle is found from this image: no image holds a class made at run
// time, so bundleForClass: would answer the host's main bundle.
id iconGlyph(id, SEL) {
  id bundle = platform_bundleForAddress(&gToggleBase);
  return platform::UIImage::imageNamed_inBundle_compatibleWithTraitCollection(NSSTR("Icon"), bundle,
                                                                              nil);
}

void setKey(id prefs, quelline::LiveKey key, Change change) {
  using namespace platform;
  if (change == Change::None) return;
  NSMutableDictionary::setObject_forKey(prefs, NSNumber::numberWithBool(change == Change::On),
                                        quelline::nameOf(key));
}

// The pending change of the stored end; true when it changes the file.
bool setPeriod(id prefs) {
  using namespace platform;
  id key = NSSTR(QUELLINE_TOGGLE_PERIOD_END_KEY);
  switch (gPending.period) {
  case PeriodChange::None:
    return false;
  case PeriodChange::Start:
    if (quelline::periodEndIn(prefs) == gPending.periodEnd) return false;
    NSMutableDictionary::setObject_forKey(prefs, quelline::periodEndValue(gPending.periodEnd), key);
    return true;
  case PeriodChange::Clear:
    if (NSDictionary::objectForKey(prefs, key) == nil) return false;
    NSMutableDictionary::removeObjectForKey(prefs, key);
    return true;
  }
  return false;
}

// One read-change-write of the pending changes, only under the file's lock
// (taken without waiting). A lock that another program holds is tried again
// soon; one that cannot be had at all (a folder in the lock file's place,
// no permission) is a write that failed. The whole dictionary read is
// written back, every other key as it was read; a missing file is created.
// A file that is there but holds no dictionary is not the toggle's to
// write: the changes are given up, and with them the period (no end is
// stored, so the toggle stays on until switched off). A write that changed
// the stored end tells the library, once it has landed.
quelline::WriteResult writePending() {
  using quelline::WriteResult;
  if (gPending.enableTweakToggle == Change::None && gPending.toggleHasControl == Change::None &&
      gPending.period == PeriodChange::None)
    return WriteResult::Done;
  using State = quelline::PreferenceChange::State;
  bool periodChanged = false;
  {
    quelline::PreferenceChange change(0);
    switch (change.state()) {
    case State::Busy:
      return WriteResult::LockTaken;
    case State::LockFailed:
      return WriteResult::Failed;
    case State::NotDictionary:
      gPeriodEnd = 0;
      break;
    case State::Ready:
      setKey(change.preferences(), quelline::LiveKey::enableTweakToggle,
             gPending.enableTweakToggle);
      setKey(change.preferences(), quelline::LiveKey::toggleHasControl, gPending.toggleHasControl);
      periodChanged = setPeriod(change.preferences());
      if (!change.write()) return WriteResult::Failed;
      break;
    }
  }
  gPending.enableTweakToggle = Change::None;
  gPending.toggleHasControl = Change::None;
  gPending.period = PeriodChange::None;
  if (periodChanged) quelline::postEvent(NSSTR(QUELLINE_EVENT_TOGGLE_PERIOD));
  return WriteResult::Done;
}

quelline::RetriedWrite gWrite = {&writePending, false};

// Writes what is pending now if the lock is free, else tries again later.
void flushPending() {
  quelline::writeOrRetry(gWrite);
}

// Switched on with a toggleDuration, a new period starts now and its end is
// written with enableTweakToggle; switched on without one, or off, no
// period runs and a stored end goes. Turned back on after a restart, the
// stored period goes on.
void startOrEndPeriod(bool on) {
  if (on && gRestoring.active) {
    gPeriodEnd = gRestoring.end;
    return;
  }
  int32_t minutes = on ? quelline::readToggleDuration() : 0;
  gPeriodEnd = minutes > 0 ? static_cast<int64_t>(time(nullptr)) + int64_t{minutes} * 60 : 0;
  gPending.period = gPeriodEnd != 0 ? PeriodChange::Start : PeriodChange::Clear;
  gPending.periodEnd = gPeriodEnd;
}

// Write, post, write, post: when the lock is free each write lands before
// the event that follows it, so a handler reading the file live sees the
// new state. When it is taken the events still go at once, and the writes
// follow as soon as the lock is had, in order with any later toggle.
void setSelected(id self, SEL, BOOL selected) {
  *selectedOf(self) = selected;
  // Before the redraw, which asks isSelected: an ended period must not
  // draw a toggle just switched on as off.
  startOrEndPeriod(selected);
  platform::msgSendSuper<void>(gToggleBase, self, platform::sel<"refreshState">());

  bool on = *selectedOf(self);
  Change change = on ? Change::On : Change::Off;
  // A plain read: writers replace the file whole, so it is never half done.
  bool withIcons = quelline::readLiveBool(quelline::LiveKey::hideIconsWithToggle);
  gPending.enableTweakToggle = change;
  flushPending();
  quelline::postEvent(on ? NSSTR(QUELLINE_EVENT_HIDE) : NSSTR(QUELLINE_EVENT_UNHIDE));
  if (!withIcons) return;
  gPending.toggleHasControl = change;
  flushPending();
  quelline::postEvent(on ? NSSTR(QUELLINE_EVENT_MUTE_HIDE_ICONS)
                         : NSSTR(QUELLINE_EVENT_MUTE_UNHIDE_ICONS));
}

// After a restart: a toggle that the file says is on turns itself on
// again, for the rest of its period when one is stored (one that has ended
// is the library's to switch off). Never turns it off.
void checkState(id self, SEL) {
  id prefs = quelline::readPreferenceFile();
  if (!quelline::settingBool(prefs, quelline::nameOf(quelline::LiveKey::enableTweakToggle), false))
    return;
  int64_t end = quelline::periodEndIn(prefs);
  if (end != 0 && time(nullptr) >= end) return;
  gRestoring = {true, end};
  platform::msgSend<void>(self, platform::sel<"setSelected:">(), YES);
  gRestoring = {false, 0};
}

// The class exists from the moment Control Center loads the bundle.
[[gnu::constructor]] void registerQuellineModule() {
  gToggleBase = objc_getClass("CCUIToggleModule");
  if (gToggleBase == nil) return;
  Class cls = objc_allocateClassPair(gToggleBase, "QuellineModule", 0);
  if (cls == nil) return;
  class_addIvar(cls, "_selected", sizeof(BOOL), 0, "B");
  class_addMethod(cls, platform::sel("selectedColor"), platform::asIMP(&selectedColor),
                  platform::framedTypesOf<&selectedColor>);
  class_addMethod(cls, platform::sel("isSelected"), platform::asIMP(&isSelected),
                  platform::framedTypesOf<&isSelected>);
  class_addMethod(cls, platform::sel("iconGlyph"), platform::asIMP(&iconGlyph),
                  platform::framedTypesOf<&iconGlyph>);
  class_addMethod(cls, platform::sel("setSelected:"), platform::asIMP(&setSelected),
                  platform::framedTypesOf<&setSelected>);
  class_addMethod(cls, platform::sel("checkState"), platform::asIMP(&checkState),
                  platform::framedTypesOf<&checkState>);
  objc_registerClassPair(cls);
}

} // namespace
