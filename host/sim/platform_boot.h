// Boots and ends the platform of one modeled process: the object runtime's
// classes, the services, the main run loop and the device root; and the
// life that every modeled process shares (ModeledProcess).
#pragma once

#include "host/sim/runtime/runtime.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/wall_clock.h"
#include "platform/objc.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

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
// does around each event it handles, and gives what it gave.
template <class F> decltype(auto) withPool(F&& body) {
  AutoreleasePool pool;
  return std::forward<F>(body)();
}

// The life of one modeled process, the same for each kind (the home
// screen's, the Settings app's): a device root and a clock; a boot that
// starts the platform, then the process's own start inside a pool, and that
// ends the process again when its start fails; actions that run inside a
// pool and only while it is booted; an end that lets go of what the process
// holds, shuts the platform down and then unloads what it loaded.
class ModeledProcess {
public:
  ModeledProcess(std::filesystem::path root, ClockMode clock, std::string name);
  // The kind's own object ends the process first (end() calls release and
  // unload, which are its own).
  virtual ~ModeledProcess() = default;
  ModeledProcess(const ModeledProcess&) = delete;
  ModeledProcess& operator=(const ModeledProcess&) = delete;

  // Starts the platform over the root (`options`' root and clock are the
  // process's), with the device's storage as set, then `start` inside an
  // autorelease pool. When `start` throws, the process ends and the
  // exception goes on. std::logic_error when it is booted already.
  void boot(PlatformOptions options, const std::function<void()>& start);
  // Ends the process: release() inside a last pool, while its classes
  // exist; the platform shut down (pending work dropped, objects still held
  // freed); then unload(). Files stay. Nothing when it is not booted.
  void end();

  // Runs `body` inside an autorelease pool and gives what it gave;
  // std::logic_error when the process is not booted.
  template <class F> decltype(auto) action(F&& body) {
    if (!booted_) throw std::logic_error(name_ + " is not booted");
    return withPool(std::forward<F>(body));
  }

  bool booted() const { return booted_; }
  const std::filesystem::path& root() const { return root_; }

  // The device's storage is full: the process's writes of files fail with
  // the system's reason (ENOSPC). May be set before boot.
  void setStorageFull(bool full);
  // Writes of property-list files that the process failed since it started.
  size_t failedWrites() const;

  // The clock moves on (the virtual one at once, the real one is waited
  // for); due work runs in time order. Nothing when not booted.
  void wait(double seconds);
  // Runs what is due now (cross-process deliveries included).
  void runDue();
  double now() const;

protected:
  // What the process lets go of at its end, while its classes exist.
  virtual void release() {}
  // What it unloads once its platform is down (its libraries, its bundles).
  virtual void unload() {}

private:
  std::filesystem::path root_;
  ClockMode clock_;
  std::string name_; // "the process", as a message names it
  bool booted_ = false;
  bool storageFull_ = false;
};

} // namespace hostsim
