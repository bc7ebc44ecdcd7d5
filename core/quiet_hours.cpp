// Quiet hours: quiet mode held on every day in a window of local time, from
// quietHoursStart to quietHoursEnd (minutes after midnight; a stored value
// outside 0-1439 counts modulo a day). The window may cross midnight; a
// start equal to the end is no window. It is evaluated at load, at every
// settings reload, when the clock or the time zone changes, and by one
// timer at its next boundary, which follows the wall clock (a boundary that
// passed while the device slept is honoured on waking). Where a start or an
// end falls, on every day of the year, is core/local_time.h's rule.
#include "core/quiet_hours.h"

#include "core/local_time.h"
#include "core/quiet_mode.h"
#include "core/toggle_period.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"
#include "prefs/time_of_day.h"

namespace quelline {
namespace {

bool windowIsSet() {
  return Settings.quietHours &&
         minuteOfDay(Settings.quietHoursStart) != minuteOfDay(Settings.quietHoursEnd);
}

// Each evaluation replaces the timer: one scheduled by an earlier
// evaluation finds its number out of date and does nothing.
uintptr_t gTimerNumber;

void boundaryReached(void* context) {
  if (reinterpret_cast<uintptr_t>(context) != gTimerNumber) return;
  evaluateQuietHours();
}

} // namespace

void evaluateQuietHours() {
  time_t now = time(nullptr);
  bool set = windowIsSet();
  DailyWindow window = {false, 0};
  if (set)
    window = dailyWindowAt(now, minuteOfDay(Settings.quietHoursStart),
                           minuteOfDay(Settings.quietHoursEnd));
  bool hold = window.hold;

  time_t next = static_cast<time_t>(window.nextBoundary);
  quietHoursBoundary = next;
  ++gTimerNumber;
  // libdispatch holds no wall-clock time past its limit: no timer then.
  if (next != 0 && static_cast<uint64_t>(next) < DISPATCH_WALLTIME_LIMIT / NSEC_PER_SEC) {
    struct timespec at = {next, 0};
    dispatch_after_f(dispatch_walltime(&at, 0), dispatch_get_main_queue(),
                     reinterpret_cast<void*>(gTimerNumber), &boundaryReached);
  }

  if (hold == SharedFlags.quietHoursHold) return;
  SharedFlags.quietHoursHold = hold;
  if (hold)
    postEvent(NSSTR(QUELLINE_EVENT_HIDE));
  else if (!quietModeHeldBy(kAllQuietModeHolders & ~kHeldByQuietHours))
    postEvent(NSSTR(QUELLINE_EVENT_UNHIDE));
}

void reloadSettings(CFNotificationCenterRef center, void* observer, CFNotificationName name,
                    const void* object, CFDictionaryRef userInfo) {
  loadPrefs(center, observer, name, object, userInfo);
  evaluateQuietHours();
  followTogglePeriod();
}

// The class's own registration, made at load: the clock or the zone changed.
void observeTimeChanges() {
  id springBoard = as_id(objc_getClass("SpringBoard"));
  if (springBoard == nil) return;
  observeEvent(springBoard, "quietHoursTimeChanged",
               UIApplicationSignificantTimeChangeNotification);
}

void quietHoursTimeChanged(id, SEL) {
  evaluateQuietHours();
}

} // namespace quelline
