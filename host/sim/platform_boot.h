// Boots and ends the platform of one modeled process: the object runtime's
// classes, the services, the main run loop and the device root.
#pragma once

#include "host/sim/services/run_loop.h"
#include "host/sim/services/wall_clock.h"
#include "platform/objc.h"

#include <filesystem>
#include <string>

namespace hostsim {

struct PlatformOptions {
  std::filesystem::path root; // the device root; must exist
  ClockMode clock = ClockMode::Virtual;
  std::string home = "/var/mobile"; // NSHomeDirectory()
  // The device's wall clock at the run loop's time 0, and its time zone.
  double wallClock = kDefaultWallClock;
  std::string timeZone = kDefaultTimeZone;
};

// Registers every platform class and starts the services. One process at a
// time: boot, then shutdown before the next boot. Throws std::runtime_error
// when the device root cannot hold what a process needs there; nothing is
// booted then.
void bootPlatform(const PlatformOptions& options);

// Ends the process: pending work is dropped, every class and service state
// goes. Files under the root stay. With `reclaimLeftovers`, objects still
// alive then are freed too, as a process's memory goes with it; without,
// they are left for the leak checker to report.
void shutdownPlatform(bool reclaimLeftovers = false);

// Runs `body` inside an autorelease pool, as the main thread's event loop
// does around each event it handles.
template <class F> void withPool(F&& body) {
  void* pool = objc_autoreleasePoolPush();
  body();
  objc_autoreleasePoolPop(pool);
}

} // namespace hostsim
