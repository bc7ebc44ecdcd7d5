// The modeled home-screen process: the platform booted over a device root,
// the host's own classes, the library Quelline loaded into it, and Control
// Center loading the QuellineModule bundle. Each method is one host action
// of the scenario language; all of them run inside an autorelease pool and
// leave due cross-process deliveries to the run loop.
#pragma once

#include "host/sim/home/host_classes.h"
#include "host/sim/services/run_loop.h"

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

namespace hostsim::home {

struct BootOptions {
  std::set<std::string> without;         // host classes absent from the process
  bool ccLazy = false;                   // Control Center reads isSelected only when needed
  bool vanilla = false;                  // boot without the deliverables
  HomeScreen screen = HomeScreen::iOS11; // the system the process runs on
};

struct Deliverables {
  std::filesystem::path library;      // the built Quelline shared object
  std::filesystem::path moduleBundle; // the built QuellineModule.bundle folder
};

class HomeProcess {
public:
  HomeProcess(std::filesystem::path root, ClockMode clock, Deliverables deliverables);
  ~HomeProcess();
  HomeProcess(const HomeProcess&) = delete;
  HomeProcess& operator=(const HomeProcess&) = delete;

  // The process starts: platform, host classes, the library (its
  // initialisers run), then -[SpringBoard applicationDidFinishLaunching:].
  void boot(const BootOptions& options);
  // The process ends (pending work dropped); files stay. Then boots again
  // with the options of the last boot.
  void restart();
  void shutdown();
  bool booted() const;
  // The device root the process runs over.
  const std::filesystem::path& root() const;

  // The address of the symbol `name` that the loaded library exports, as
  // dlsym finds it; null before boot, without the library, or when it has
  // no such symbol. Valid until the process ends.
  void* librarySymbol(const char* name) const;
  // Runs `release` when the process ends, inside its last autorelease pool
  // while its classes still exist (the library loaded): the loader lets go
  // of what the library still holds, as a device process's memory goes
  // with it.
  void atEnd(std::function<void()> release);

  // What the device reports; may be set before boot.
  void setFeedbackLevel(std::optional<long> level);
  void setModel(const std::string& model);
  // The device's storage is full: the process's writes of property-list
  // files fail.
  void setStorageFull(bool full);
  // The device's wall clock (seconds since the epoch) and time zone (a
  // name of tzdata, checked by the caller): each a significant time change
  // while booted. Both outlive the process.
  void setClock(double seconds);
  void setTimeZone(const std::string& zone);
  const std::string& timeZone() const;
  // The wall clock now, in seconds since the epoch.
  double wallTime() const;
  // The device sleeps for `seconds`: the wall clock moves on, the process's
  // clock does not; work due by the wall clock then runs.
  void sleep(double seconds);
  // Writes of property-list files that the process failed since it started.
  size_t failedWrites() const;

  // Host actions (the process must be booted).
  void setSwitch(bool silent);
  void setToggle(bool on);
  void openControlCenter();
  void notify(const std::string& app, const std::optional<std::string>& sound);
  void openApp(const std::string& app);
  void suspendApp(const std::string& app);
  void overlay();
  void clearList();
  void touch();
  void tap(unsigned long taps);
  void layout();
  void window();
  void queryToday(bool answer);
  void querySearch(bool answer);
  void post(const std::string& name);

  // The virtual clock moves on; due work runs in time order. In live mode
  // (real clock) this waits.
  void wait(double seconds);
  // Runs what is due now (cross-process deliveries included).
  void runDue();
  double now() const;

  // What the runtime holds for CLASS itself, or null for an unknown class.
  nlohmann::json inspect(const std::string& className) const;
  // The state of the device and of the host: the time; once booted, the
  // views, recognizers, timers, Control Center's module and what the host
  // played and recorded. `Perceived` keeps what a person perceives or what
  // explains it, at a size that does not grow with the run: the logs of
  // what was played (hud, sounds, feedback, snapshots, host calls, redraws)
  // and the recognizers and timers are left out, and `realerts` is
  // {"count": N, "last": COUNT or null}.
  enum class Detail { Whole, Perceived };
  nlohmann::json dump(Detail detail = Detail::Whole) const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace hostsim::home
