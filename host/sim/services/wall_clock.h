// The device's wall clock and time zone. The main run loop's clock is the
// time the device has been awake (what dispatch_time, NSTimer and delayed
// performs count); the wall clock is that plus a base, which the clock being
// set and the device sleeping move. Local time follows the time zone, read
// from Debian's tzdata (/usr/share/zoneinfo).
//
// The stand-in answers libSystem's time() with this clock (glibc's
// localtime_r and mktime read the zone from TZ, which this service sets),
// and runs work scheduled with dispatch_walltime() at its wall-clock
// moment: after a sleep or a clock change, work whose moment has passed runs
// at once.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace hostsim {

// The clock at a new device's start: 2025-01-06T12:00 in UTC (a Monday).
inline constexpr double kDefaultWallClock = 1736164800;
inline constexpr const char* kDefaultTimeZone = "UTC";
// The latest moment the wall clock holds: 2099-12-31T23:59:59 in UTC, the
// last second of the years a local time may name. (libdispatch encodes a
// wall-clock time in the nanoseconds below 2^62, up to 2116.)
inline constexpr double kLatestWallClock = 4102444799;

// Starts the clock for a booted process: the wall clock reads `wallAtStart`
// at the run loop's time 0, in `zone` (a name timeZoneProblem accepts).
// Defines UIApplicationSignificantTimeChangeNotification.
void startWallClock(double wallAtStart, const std::string& zone);
// Drops the wall-clock work of the process that ends.
void stopWallClock();

// The wall clock now, in seconds since the epoch (fractions kept).
double wallClock();
// Sets it (the device's clock set by hand or by the carrier): a
// significant time change.
void setWallClock(double seconds);
// Changes the zone: a significant time change; the moment stays.
void setTimeZone(const std::string& zone);
// The device sleeps for `seconds`: the wall clock moves on, the run loop's
// clock does not. Wall-clock work that came due while asleep runs on waking.
void sleepDevice(double seconds);
// Runs `work` on the main run loop at wall-clock moment `at` (what
// dispatch_after_f does with a dispatch_walltime()).
void scheduleAtWallClock(double at, std::function<void()> work);
// The zone in use.
const std::string& timeZone();

// Why `name` is no time zone of the tz database (a zone or a link of
// tzdata.zi, Factory aside), or nullopt.
std::optional<std::string> timeZoneProblem(const std::string& name);
// "YYYY-MM-DDTHH:MM" as a moment in `zone`; nullopt when the text is no such
// time. A local time falls at the first moment at which the zone's clock
// shows it or a later time: a time that a spring-forward skips at the first
// moment after the gap (as does a time of a day the zone skipped whole),
// one of a repeated autumn hour at its first occurrence.
std::optional<double> parseLocalTime(const std::string& text, const std::string& zone);
// A moment as local time in `zone`: "2025-01-06T22:00:00+01:00".
std::string localTimeText(double seconds, const std::string& zone);

} // namespace hostsim
