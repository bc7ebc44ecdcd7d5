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

ModeledProcess::ModeledProcess(std::filesystem::path root, ClockMode clock, std::string name)
    : root_(std::move(root)), clock_(clock), name_(std::move(name)) {}

void ModeledProcess::boot(PlatformOptions options, const std::function<void()>& start) {
  if (booted_) throw std::logic_error(name_ + " is already booted");
  options.root = root_;
  options.clock = clock_;
  std::filesystem::create_directories(root_ / "var/mobile/Library/Preferences");
  bootPlatform(options);
  booted_ = true;
  hostsim::setStorageFull(storageFull_);
  try {
    withPool(start);
  } catch (...) {
    end();
    throw;
  }
}

void ModeledProcess::end() {
  if (!booted_) return;
  withPool([&] { release(); });
  shutdownPlatform(true);
  unload();
  booted_ = false;
}

void ModeledProcess::setStorageFull(bool full) {
  storageFull_ = full;
  if (booted_) hostsim::setStorageFull(full);
}

size_t ModeledProcess::failedWrites() const {
  return booted_ ? hostsim::failedWrites() : 0;
}

void ModeledProcess::wait(double seconds) {
  if (booted_) mainRunLoop().runFor(seconds);
}

void ModeledProcess::runDue() {
  if (booted_) mainRunLoop().runDue();
}

double ModeledProcess::now() const {
  return booted_ ? mainRunLoop().now() : 0.0;
}

} // namespace hostsim
