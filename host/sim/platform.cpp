#include "platform.h"

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
  setDeviceRoot(options.root);
  registerFoundationClasses();
  startRunLoop(options.clock);
  registerPropertyLists();
  registerTimers();
  registerPreferences(options.home);
  registerAppLists();
  registerNotificationCenter();
  startDarwinNotifyCenter();
  registerViews();
  registerDeviceServices();
}

void shutdownPlatform() {
  stopDarwinNotifyCenter();
  resetDeviceServices();
  resetViews();
  resetNotificationCenter();
  resetPreferences();
  resetAppLists();
  stopRunLoop();
  resetFoundation();
  resetRuntime();
}

} // namespace hostsim
