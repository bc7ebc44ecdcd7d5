// Runs scenario commands against the modeled home-screen process: host
// actions, the device's files, and expectations on the process's state.
#pragma once

#include "host/files/preference_file.h"
#include "host/sim/home/home_process.h"
#include "sim/output.h"
#include "sim/scenario.h"
#include "sim/settings_app.h"

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace quelline::sim {

// The simulator could not do what a valid scenario asked (a file of the
// device root could not be written, say): exit status 3.
class SimulatorFailure : public std::runtime_error {
public:
  SimulatorFailure(const Location& where, const std::string& message);
  const Location& where() const { return where_; }
  // The message without its FILE:LINE.
  const std::string& detail() const { return detail_; }

private:
  Location where_;
  std::string detail_;
};

struct RunnerOptions {
  std::filesystem::path root; // the device root; exists
  hostsim::ClockMode clock = hostsim::ClockMode::Virtual;
  hostsim::home::Deliverables deliverables;
  bool vanilla = false; // boot without the deliverables
  // The home screen a boot models unless it names one (boot --ios).
  hostsim::home::HomeScreen screen = hostsim::home::HomeScreen::iOS11;
  // The Settings app's program (quelline-settings-app); empty: the one
  // beside the running executable.
  std::filesystem::path settingsApp;
};

// Sees the run as it goes: each command before and after it runs (with
// the process's state then, as state(Perceived) gives it; not called when
// the command was refused), each expectation, and what stopped the run.
class RunObserver {
public:
  virtual ~RunObserver() = default;
  virtual void commandStarted(const Command& command, double t) = 0;
  virtual void commandFinished(const Command& command, double t, const nlohmann::json& state) = 0;
  // `actual` is null when the path is absent.
  virtual void expectation(const Command& command, double t, bool held,
                           const nlohmann::json* actual) = 0;
  virtual void failed(const std::string& message) = 0;
};

class Runner {
public:
  Runner(const RunnerOptions& options, Output& output);
  ~Runner();

  // Runs one command. `base` is the folder that relative file names of the
  // scenario start from. Throws ScenarioError when the command cannot run
  // at this point (a host action before boot, say), SimulatorFailure when
  // the simulator fails (a write that the process failed included, unless
  // `allow write-failures` came first); a failed expectation is reported on
  // standard error and counted.
  void run(const Command& command, const std::filesystem::path& base);

  int failedExpectations() const { return failed_; }
  // What the last failed expectation said on standard error.
  const std::string& lastFailedExpectation() const { return lastFailedExpectation_; }
  // What the last settings command came to in the pane: {"outcome":
  // "applied"|"failed"|null, "message": the alert's text}; a refused one
  // throws instead.
  const nlohmann::json& lastSettingsOutcome() const { return settingsOutcome_; }
  int heldExpectations() const { return held_; }
  Output& output() { return output_; }
  bool booted() const { return process_.booted(); }
  // Runs what is due now (live mode, between lines).
  void runDue();
  // The process's clock (0 before boot), and its state with the library's
  // part (library_state.h), as `dump` shows it (`Perceived`: without what
  // grows with the run, see HomeProcess::dump).
  double now() const;
  nlohmann::json state(
      hostsim::home::HomeProcess::Detail detail = hostsim::home::HomeProcess::Detail::Whole) const;
  // Gives `use` the state as state(Perceived) gives it, with the pane's
  // part lent rather than copied: a pane of a few hundred values is not
  // copied and freed after every command.
  using StateUse = std::function<void(const nlohmann::json&)>;
  void withPerceivedState(const StateUse& use);
  // Where the device's preference file is, on this machine.
  std::filesystem::path preferencesFile() const;
  // The process the commands drive.
  const hostsim::home::HomeProcess& process() const { return process_; }

  // The observer, if any, sees every command from now on.
  void setObserver(RunObserver* observer) { observer_ = observer; }
  // A command failed (or could not be read) with this message.
  void noteFailure(const std::string& message) {
    if (observer_ != nullptr) observer_->failed(message);
  }

private:
  void perform(const Command& command, const std::filesystem::path& base);
  // Emits quiet-hours {hold} when the library's hold changed, at the
  // instant it did: after each command, and after each piece of work the
  // run loop runs.
  void watchQuietHours();
  bool hoursHold_ = false; // as last emitted; a process starts without
  // Throws ScenarioError when `seconds` more would carry the wall clock past
  // the latest moment it holds.
  void refusePastWallClock(const Location& where, const char* verb, double seconds) const;
  size_t failedWrites() const;
  std::filesystem::path hostPath(std::string_view devicePath) const;
  void editPreferences(const Command& command);
  void replacePreferences(const Command& command, std::span<const uint8_t> bytes);
  void editAppList(const Command& command);
  // settings open/set/apps: what a person does in the Settings app, which
  // starts on the first of them.
  void settings(const Command& command);
  nlohmann::json askSettings(const Command& command, const nlohmann::json& request);
  void postReload();
  void expect(const Command& command);
  // --vanilla: says once that the toggle a command works is not there.
  void noteMissingToggle(const Command& command);

  RunnerOptions options_;
  Output& output_;
  hostsim::home::HomeProcess process_;
  int failed_ = 0;
  std::string lastFailedExpectation_;
  RunObserver* observer_ = nullptr;
  bool allowWriteFailures_ = false;
  int held_ = 0;
  bool toggleNoted_ = false;
  bool storageFull_ = false;
  // The Settings app, once a settings command started it; it ends with the
  // run. What its pane showed after its last command (null before).
  std::unique_ptr<SettingsApp> settingsApp_;
  nlohmann::json pane_;
  nlohmann::json settingsOutcome_;
};

} // namespace quelline::sim
