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
#define NSEC_PER_SEC 1000000000ull

extern "C" {
// The main queue is a library object, not a call: dispatch_get_main_queue()
// is its address.
extern struct dispatch_queue_s _dispatch_main_q;
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
// `when` (nullptr: the wall clock now) plus `delta` nanoseconds, on the
// wall clock.
dispatch_time_t dispatch_walltime(const struct timespec* when, int64_t delta);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
}

inline dispatch_queue_t dispatch_get_main_queue(void) {
  return &_dispatch_main_q;
}
