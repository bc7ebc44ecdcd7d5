#include "host/sim/platform_boot.h"

#include <cstdio>
#include <cstdlib>

#include "host/sim/services/app_lists.h"
#include "host/sim/services/cf_preferences.h"
#include "host/sim/services/darwin_notify.h"
#include "host/sim/services/devices.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/notification_center.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/timers.h"
#include "host/sim/services/views.h"

namespace hostsim {

void bootPlatform(const PlatformOptions& options) {
  if (hasMainRunLoop()) {
    std::fprintf(stderr, "bootPlatform: a process is already booted; shut it down first\n");
    std::abort();
  }
  setDeviceRoot(options.root);
  registerFoundationClasses();
  startRunLoop(options.clock);
  startWallClock(options.wallClock, options.timeZone);
  registerPropertyLists();
  registerTimers();
  registerPreferences(options.home);
  registerAppLists();
  registerNotificationCenter();
  try {
    startDarwinNotifyCenter();
  } catch (...) {
    // No process is booted after a failed boot: the next one starts clean.
    shutdownPlatform(true);
    throw;
  }
  registerViews();
  registerDeviceServices();
}

void shutdownPlatform(bool reclaimLeftovers) {
  stopDarwinNotifyCenter();
  resetDeviceServices();
  resetViews();
  resetNotificationCenter();
  resetPreferences();
  resetAppLists();
  stopWallClock();
  stopRunLoop();
  resetFoundation();
  if (reclaimLeftovers) reclaimObjects();
  resetRuntime();
}

} // namespace hostsim
