// NSTimer (scheduled timers, one-shot or repeating) and -[NSObject
// performSelector:withObject:afterDelay:], both on the main run loop.
#pragma once

#include "platform/objc.h"

#include <cstddef>

namespace hostsim {
void registerTimers();
// One-shot NSTimers scheduled and neither fired nor invalidated.
size_t liveTimers();
// Run-loop time of the timer's next firing; for a timer that is no longer
// valid, of the firing it was last scheduled for (0 if never scheduled).
double timerFireTime(id timer);
} // namespace hostsim
