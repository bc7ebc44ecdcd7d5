// libdispatch: delayed work on the main queue, through the function-pointer
// entry points (the logic has no blocks). A time from dispatch_time counts
// the time the device is awake (it stops while the device sleeps); one from
// dispatch_walltime follows the wall clock, so work due at a wall-clock
// moment runs on waking when the device slept through it.
#pragma once

#include <stdint.h>

typedef uint64_t dispatch_time_t;
typedef struct dispatch_queue_s* dispatch_queue_t;
typedef void (*dispatch_function_t)(void* context);
struct timespec;

#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)
// libdispatch keeps a wall-clock time as its nanoseconds since the epoch,
// negated, and only below 2^62 (2116-02-20T23:53:38 in UTC): the top two
// bits of a dispatch time name its clock. A value it cannot hold reads as
// DISPATCH_TIME_FOREVER, and dispatch_after_f with DISPATCH_TIME_FOREVER
// never runs its work. Its dispatch_walltime checks neither the seconds it
// is given (their nanoseconds may wrap) nor the limit: a moment at or past
// it comes out as a time of another clock, or as forever. Callers pass no
// such moment. (libdispatch's src/time.c, dispatch_walltime;
// src/shims/time.h, _dispatch_timespec_to_nano and
// _dispatch_time_to_clock_and_value; src/source.c, _dispatch_after; in
// github.com/apple/swift-corelibs-libdispatch.)
#define DISPATCH_WALLTIME_LIMIT (1ull << 62)
#define NSEC_PER_SEC 1000000000ull

extern "C" {
// The main queue is a library object, not a call: dispatch_get_main_queue()
// is its address.
extern struct dispatch_queue_s _dispatch_main_q;
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
// `when` (nullptr: the wall clock now) plus `delta` nanoseconds, on the
// wall clock; below DISPATCH_WALLTIME_LIMIT nanoseconds since the epoch.
dispatch_time_t dispatch_walltime(const struct timespec* when, int64_t delta);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
}

inline dispatch_queue_t dispatch_get_main_queue(void) {
  return &_dispatch_main_q;
}
