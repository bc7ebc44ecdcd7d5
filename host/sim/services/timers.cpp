// Stub until the timers land.
#include "services/timers.h"
namespace hostsim {
void registerTimers() {}
size_t liveTimers() { return 0; }
} // namespace hostsim
