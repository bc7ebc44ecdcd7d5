// The wall clock and local time, from libSystem: the seconds since the
// epoch, and their breakdown in the device's time zone (daylight-saving
// time included). `struct tm` is laid out as in libSystem (and glibc):
// nine ints, then the offset from UTC and the zone's abbreviation.
#pragma once

typedef long time_t;

struct tm {
  int tm_sec;
  int tm_min;
  int tm_hour;
  int tm_mday;
  int tm_mon;
  int tm_year;
  int tm_wday;
  int tm_yday;
  int tm_isdst;
  long tm_gmtoff;
  char* tm_zone;
};

// A moment to the nanosecond, as dispatch_walltime takes it.
struct timespec {
  time_t tv_sec;
  long tv_nsec;
};

extern "C" {
// The wall clock, in seconds since 1970-01-01 00:00 UTC.
time_t time(time_t* tloc);
// `*clock` as local time in the device's zone.
struct tm* localtime_r(const time_t* clock, struct tm* result);
// The moment a local time names (tm_isdst -1: the zone says whether
// daylight-saving time is on); out-of-range fields carry over (minute 1500
// is 01:00 the next day). A local time that a spring-forward skips comes
// out one hour later.
time_t mktime(struct tm* timeptr);
}
