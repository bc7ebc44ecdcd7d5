// libdispatch: delayed work on the main queue, through the function-pointer
// entry points (the logic has no blocks).
#pragma once

#include <stdint.h>

typedef uint64_t dispatch_time_t;
typedef struct dispatch_queue_s* dispatch_queue_t;
typedef void (*dispatch_function_t)(void* context);

#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_SEC 1000000000ull

extern "C" {
// The main queue is a library object, not a call: dispatch_get_main_queue()
// is its address.
extern struct dispatch_queue_s _dispatch_main_q;
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
}

inline dispatch_queue_t dispatch_get_main_queue(void) {
  return &_dispatch_main_q;
}
