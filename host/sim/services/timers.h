// NSTimer (one-shot scheduled timers) and -[NSObject
// performSelector:withObject:afterDelay:], both on the main run loop.
#pragma once

#include <cstddef>

namespace hostsim {
void registerTimers();
// One-shot NSTimers scheduled and neither fired nor invalidated.
size_t liveTimers();
} // namespace hostsim
