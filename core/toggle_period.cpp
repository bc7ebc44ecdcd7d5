// The toggle's period ends here. When the toggle turns quiet mode on with a
// toggleDuration it stores the end, a wall-clock instant, with its own keys
// and posts togglePeriod; the library reads it and waits for it with a
// dispatch_walltime timer, which a sleep or a change of clock or zone does
// not move (an end that passed while the phone slept is honoured on
// waking). At the end the library does what switching the toggle off does:
// it writes the toggle's keys off (under the file's lock, never waiting for
// it, as the toggle writes) and posts unHide and, with hideIconsWithToggle,
// muteUnHideIcons; unHide only when no other holder holds quiet mode.
#include "core/toggle_period.h"

#include "core/quiet_mode.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/live_read.h"
#include "prefs/preference_change.h"
#include "prefs/retried_write.h"
#include "prefs/toggle_period.h"

namespace quelline {
namespace {

// Each look replaces the timer: one scheduled by an earlier look finds its
// number out of date and does nothing.
uintptr_t gTimerNumber;

// The switch-off of an ended period that is not in the file yet. It is
// written only while the file still holds that end: a toggle switched on
// again in between has stored a new one, which stands.
struct PendingEnd {
  int64_t end;    // 0: nothing to write
  bool withIcons; // toggleHasControl goes off too
};
PendingEnd gPendingEnd;

WriteResult writeEnd() {
  using namespace platform;
  using State = PreferenceChange::State;
  if (gPendingEnd.end == 0) return WriteResult::Done;
  PreferenceChange change(0);
  switch (change.state()) {
  case State::Busy:
    return WriteResult::LockTaken;
  case State::LockFailed:
    return WriteResult::Failed;
  case State::NotDictionary:
    return WriteResult::Done; // the user's file: nothing is written
  case State::Ready:
    break;
  }
  id prefs = change.preferences();
  if (periodEndIn(prefs) != gPendingEnd.end) return WriteResult::Done;
  NSMutableDictionary::setObject_forKey(prefs, NSNumber::numberWithBool(NO),
                                        nameOf(LiveKey::enableTweakToggle));
  if (gPendingEnd.withIcons)
    NSMutableDictionary::setObject_forKey(prefs, NSNumber::numberWithBool(NO),
                                          nameOf(LiveKey::toggleHasControl));
  NSMutableDictionary::removeObjectForKey(prefs, NSSTR(QUELLINE_TOGGLE_PERIOD_END_KEY));
  return change.write() ? WriteResult::Done : WriteResult::Failed;
}

// Done, whether written or given up, leaves nothing pending.
WriteResult writePendingEnd() {
  WriteResult result = writeEnd();
  if (result == WriteResult::Done) gPendingEnd.end = 0;
  return result;
}

// As the toggle writes its own keys.
RetriedWrite gWrite = {&writePendingEnd, false};

// What switching the toggle off does, done for it: write, then post. An end
// left behind by a toggle already off (the file edited by hand) is only
// removed.
void endPeriod(int64_t end) {
  togglePeriodEnd = 0;
  ++gTimerNumber;
  bool on = readLiveBool(LiveKey::enableTweakToggle);
  bool withIcons = on && readLiveBool(LiveKey::hideIconsWithToggle);
  gPendingEnd.end = end;
  gPendingEnd.withIcons = withIcons;
  writeOrRetry(gWrite);
  if (!on) return;
  if (!quietModeHeldBy(kHeldBySwitch | kHeldByQuietHours | kHeldBySilentApp))
    postEvent(NSSTR(QUELLINE_EVENT_UNHIDE));
  if (withIcons) postEvent(NSSTR(QUELLINE_EVENT_MUTE_UNHIDE_ICONS));
}

void endReached(void* context) {
  if (reinterpret_cast<uintptr_t>(context) != gTimerNumber) return;
  endPeriod(togglePeriodEnd);
}

} // namespace

void followTogglePeriod() {
  int64_t end = periodEndIn(readPreferenceFile());
  ++gTimerNumber;
  togglePeriodEnd = end;
  if (end == 0) return;
  if (time(nullptr) >= end) {
    endPeriod(end);
    return;
  }
  struct timespec at = {end, 0};
  dispatch_after_f(dispatch_walltime(&at, 0), dispatch_get_main_queue(),
                   reinterpret_cast<void*>(gTimerNumber), &endReached);
}

void observeTogglePeriod() {
  id springBoard = as_id(objc_getClass("SpringBoard"));
  if (springBoard == nil) return;
  observeEvent(springBoard, "togglePeriodChanged", NSSTR(QUELLINE_EVENT_TOGGLE_PERIOD));
}

void togglePeriodChanged(id, SEL) {
  followTogglePeriod();
}

} // namespace quelline
