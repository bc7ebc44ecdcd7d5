// Quiet hours: a daily window of local time (from quietHoursStart to
// quietHoursEnd, minutes after midnight) in which quiet mode is held on.
// Shared by the library, which keeps the window with its cached settings,
// and the toggle, which reads the file when it is switched off.
#pragma once

#include "platform/clock.h"

#include <stdint.h>

namespace quelline {

// A day's minutes; a stored value outside 0-1439 counts modulo a day.
constexpr int32_t kMinutesPerDay = 1440;

struct QuietHoursWindow {
  bool on;       // quietHours
  int32_t start; // quietHoursStart
  int32_t end;   // quietHoursEnd
};

// Whether the window holds at `minute` of the day. It may cross midnight
// (start after end); start equal to end is no window.
bool insideQuietHours(const QuietHoursWindow& window, int32_t minute);

// Whether the window holds at `moment` (or now), by the device's local time.
bool quietHoursHoldAt(const QuietHoursWindow& window, time_t moment);
bool quietHoursHoldNow(const QuietHoursWindow& window);

// The first moment after `now` at which local time reaches the window's
// start or end (daylight-saving time included: the start is the local time
// on every day); 0 when the window is off or empty.
time_t nextQuietHoursBoundary(const QuietHoursWindow& window, time_t now);

// The window as the preference file holds it now (defaults for absent keys).
QuietHoursWindow readQuietHoursWindow();

} // namespace quelline
