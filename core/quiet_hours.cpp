// Quiet hours: quiet mode held on every day in a window of local time. The
// window is evaluated at load, at every settings reload, when the clock or
// the time zone changes, and by one timer at its next boundary, which
// follows the wall clock (a boundary that passed while the device slept is
// honoured on waking).
#include "prefs/quiet_hours.h"
#include "core/hooks.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {
namespace {

// Each evaluation replaces the timer: one scheduled by an earlier
// evaluation finds its number out of date and does nothing.
uintptr_t gTimerNumber;

QuietHoursWindow cachedWindow() {
  return {Settings.quietHours, Settings.quietHoursStart, Settings.quietHoursEnd};
}

void boundaryReached(void* context) {
  if (reinterpret_cast<uintptr_t>(context) != gTimerNumber) return;
  evaluateQuietHours();
}

} // namespace

void evaluateQuietHours() {
  QuietHoursWindow window = cachedWindow();
  time_t now = time(nullptr);
  bool hold = quietHoursHoldAt(window, now);

  time_t next = nextQuietHoursBoundary(window, now);
  quietHoursBoundary = next;
  ++gTimerNumber;
  if (next != 0)
    dispatch_after_f(dispatch_walltime(nullptr, (next - now) * static_cast<int64_t>(NSEC_PER_SEC)),
                     dispatch_get_main_queue(), reinterpret_cast<void*>(gTimerNumber),
                     &boundaryReached);

  if (hold == SharedFlags.quietHoursHold) return;
  SharedFlags.quietHoursHold = hold;
  if (hold)
    postEvent(NSSTR(QUELLINE_EVENT_HIDE));
  else if (!quietModeHeldOutsideQuietHours())
    postEvent(NSSTR(QUELLINE_EVENT_UNHIDE));
}

void reloadSettings(CFNotificationCenterRef center, void* observer, CFNotificationName name,
                    const void* object, CFDictionaryRef userInfo) {
  loadPrefs(center, observer, name, object, userInfo);
  evaluateQuietHours();
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
