#include "platform.h"

#include <cstdio>
#include <cstdlib>

#include "services/app_lists.h"
#include "services/darwin_notify.h"
#include "services/device_paths.h"
#include "services/devices.h"
#include "services/foundation.h"
#include "services/notification_center.h"
#include "services/preferences.h"
#include "services/property_lists.h"
#include "services/run_loop.h"
#include "services/timers.h"
#include "services/views.h"

namespace hostsim {

void bootPlatform(const PlatformOptions& options) {
  if (hasMainRunLoop()) {
    std::fprintf(stderr, "bootPlatform: a process is already booted; shut it down first\n");
    std::abort();
  }
  setDeviceRoot(options.root);
  registerFoundationClasses();
  startRunLoop(options.clock);
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
  stopRunLoop();
  resetFoundation();
  if (reclaimLeftovers) reclaimObjects();
  resetRuntime();
}

} // namespace hostsim
