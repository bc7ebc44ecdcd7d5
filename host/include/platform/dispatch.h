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
// negated, below 2^62 (2116-02-20T23:53:38 in UTC); a time of no clock
// that it can hold reads as DISPATCH_TIME_FOREVER, and dispatch_after_f
// with DISPATCH_TIME_FOREVER never runs its work (libdispatch's
// src/shims/time.h, _dispatch_clock_and_value_to_time, and src/source.c,
// _dispatch_after; github.com/apple/swift-corelibs-libdispatch). Its
// dispatch_walltime does not check the seconds it is given for overflow:
// callers pass no moment at or past this limit.
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
