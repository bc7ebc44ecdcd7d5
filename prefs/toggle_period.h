// The toggle's period: how long the Control Center toggle keeps quiet mode
// on (toggleDuration, read live when it is switched on) and the moment it
// ends, stored in the preference file beside the toggle's own keys. The
// toggle writes the end; the library, loaded with the home screen, turns
// the toggle off when it comes (core/toggle_period.cpp), whether or not
// Control Center has loaded the toggle's bundle.
#pragma once

#include "platform/foundation.h"

#include <stdint.h>

namespace quelline {

// The latest end a period may have: a second that libdispatch's wall-clock
// times (signed 64-bit nanoseconds since 1970) still hold, with room.
constexpr int64_t kLatestPeriodEnd = int64_t{1} << 33;

// toggleDuration as the file holds it now, in minutes; 0 (until switched
// off) when absent, not a number, or outside 0-1440.
int32_t readToggleDuration();

// The end stored in `prefs` (a dictionary read from the file): the
// wall-clock second since 1970, or 0 when none is stored or the value is no
// number, not after 1970, or past kLatestPeriodEnd.
int64_t periodEndIn(id prefs);

// The value to store for an end.
id periodEndValue(int64_t end);

} // namespace quelline
