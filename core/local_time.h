// Local time as the device's clock shows it, and the one rule that turns a
// local time into an instant: a local time falls at the first instant at
// which the local clock shows that time or a later one. So a time that a
// spring-forward skips falls at the first instant after the gap, a time of
// a repeated autumn hour at its first occurrence, and a time of a day the
// zone skipped whole at the first instant after that day.
//
// Everything here depends only on the instant asked about and the zone (as
// localtime_r reads it): the offsets from UTC are measured by asking
// localtime_r, never guessed with mktime, and nothing is remembered between
// calls. Instants are seconds since the epoch; local times are counted the
// same way on the local calendar (LocalSeconds: what the clock's face
// shows, 0 for 1970-01-01T00:00).
#pragma once

#include <stdint.h>

namespace quelline {

typedef int64_t LocalSeconds;

constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (month 1-12; a day past the month's end carries over).
int64_t daysFromCivil(int64_t year, int32_t month, int32_t day);

// What the local clock shows at `instant`.
LocalSeconds localClockAt(int64_t instant);

// The instant at which local time `local` falls, by the rule above. The
// zone's history is looked at from two days before `local` to two days
// after it; a local time that never comes in that span falls at its end.
int64_t instantOfLocalTime(LocalSeconds local);

// The latest local time the clock has shown up to `instant` (inside a
// repeated hour, the last time it showed before it was put back): every
// local time up to this one has fallen by `instant`, no later one has.
LocalSeconds localTimeReachedAt(int64_t instant);

// A window held every day from minute `start` to minute `end` after local
// midnight (0-1439, different; a start later than the end crosses
// midnight), at `instant`: whether it holds (the last start or end to have
// fallen is a start) and the instant of the next start or end.
struct DailyWindow {
  bool hold;
  int64_t nextBoundary;
};
DailyWindow dailyWindowAt(int64_t instant, int32_t start, int32_t end);

} // namespace quelline
