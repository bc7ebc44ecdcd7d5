#include "prefs/quiet_hours.h"

#include "prefs/live_read.h"

namespace quelline {
namespace {

int32_t minuteOfDay(int32_t value) {
  int32_t m = value % kMinutesPerDay;
  return m < 0 ? m + kMinutesPerDay : m;
}

bool isWindow(const QuietHoursWindow& w) {
  return w.on && minuteOfDay(w.start) != minuteOfDay(w.end);
}

} // namespace

bool insideQuietHours(const QuietHoursWindow& window, int32_t minute) {
  if (!isWindow(window)) return false;
  int32_t start = minuteOfDay(window.start);
  int32_t end = minuteOfDay(window.end);
  if (start < end) return minute >= start && minute < end;
  return minute >= start || minute < end;
}

bool quietHoursHoldAt(const QuietHoursWindow& window, time_t moment) {
  if (!isWindow(window)) return false;
  struct tm local;
  localtime_r(&moment, &local);
  return insideQuietHours(window, local.tm_hour * 60 + local.tm_min);
}

bool quietHoursHoldNow(const QuietHoursWindow& window) {
  return isWindow(window) && quietHoursHoldAt(window, time(nullptr));
}

time_t nextQuietHoursBoundary(const QuietHoursWindow& window, time_t now) {
  if (!isWindow(window)) return 0;
  struct tm today;
  localtime_r(&now, &today);
  time_t next = 0;
  // Today's, tomorrow's and the day after's start and end, each made from
  // its local date and time, so a day of 23 or 25 hours moves nothing.
  for (int day = 0; day <= 2; ++day) {
    const int32_t boundaries[] = {window.start, window.end};
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

namespace {

// Every key's default, by its name (domain.h).
struct Defaults {
#define QUELLINE_DEFAULT(name, type, fallback, minimum, maximum, reading, pane, label, text)       \
  QUELLINE_SETTING_TYPE_##type name = fallback;
  QUELLINE_SETTINGS(QUELLINE_DEFAULT)
#undef QUELLINE_DEFAULT
};

} // namespace

// A key read as the loader reads it: its name, its type's reading, its default.
#define QUELLINE_READ_KEY(prefs, type, key) setting##type(prefs, NSSTR(#key), Defaults{}.key)

QuietHoursWindow readQuietHoursWindow() {
  id prefs = readPreferenceFile();
  return {QUELLINE_READ_KEY(prefs, Bool, quietHours),
          QUELLINE_READ_KEY(prefs, Minutes, quietHoursStart),
          QUELLINE_READ_KEY(prefs, Minutes, quietHoursEnd)};
}

} // namespace quelline
