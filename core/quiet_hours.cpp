// Quiet hours: quiet mode held on every day in a window of local time, from
// quietHoursStart to quietHoursEnd (minutes after midnight; a stored value
// outside 0-1439 counts modulo a day). The window may cross midnight; a
// start equal to the end is no window. It is evaluated at load, at every
// settings reload, when the clock or the time zone changes, and by one
// timer at its next boundary, which follows the wall clock (a boundary that
// passed while the device slept is honoured on waking).
#include "core/quiet_hours.h"

#include "core/quiet_mode.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {
namespace {

constexpr int32_t kMinutesPerDay = 1440;

int32_t minuteOfDay(int32_t value) {
  int32_t m = value % kMinutesPerDay;
  return m < 0 ? m + kMinutesPerDay : m;
}

bool windowIsSet() {
  return Settings.quietHours &&
         minuteOfDay(Settings.quietHoursStart) != minuteOfDay(Settings.quietHoursEnd);
}

// Whether the window holds at `moment`, by the device's local time.
bool insideWindowAt(time_t moment) {
  struct tm local;
  localtime_r(&moment, &local);
  int32_t minute = local.tm_hour * 60 + local.tm_min;
  int32_t start = minuteOfDay(Settings.quietHoursStart);
  int32_t end = minuteOfDay(Settings.quietHoursEnd);
  if (start < end) return minute >= start && minute < end;
  return minute >= start || minute < end;
}

// The first moment after `now` at which local time reaches the start or the
// end: today's, tomorrow's and the day after's, each made from its local
// date and time, so that a day of 23 or 25 hours moves neither.
time_t nextBoundaryAfter(time_t now) {
  struct tm today;
  localtime_r(&now, &today);
  time_t next = 0;
  const int32_t boundaries[] = {Settings.quietHoursStart, Settings.quietHoursEnd};
  for (int day = 0; day <= 2; ++day) {
    for (int32_t boundary : boundaries) {
      struct tm t = today;
      t.tm_mday += day;
      t.tm_hour = 0;
      t.tm_min = minuteOfDay(boundary);
      t.tm_sec = 0;
      t.tm_isdst = -1;
      time_t at = mktime(&t);
      if (at > now && (next == 0 || at < next)) next = at;
    }
  }
  return next;
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
  bool hold = set && insideWindowAt(now);

  time_t next = set ? nextBoundaryAfter(now) : 0;
  quietHoursBoundary = next;
  ++gTimerNumber;
  if (next != 0) {
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
