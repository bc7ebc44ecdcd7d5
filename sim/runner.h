// Runs scenario commands against the modeled home-screen process: host
// actions, the device's files, and expectations on the process's state.
#pragma once

#include "home/home_process.h"
#include "output.h"
#include "scenario.h"

#include <filesystem>
#include <stdexcept>
#include <string>

namespace quelline::sim {

// The simulator could not do what a valid scenario asked (a file of the
// device root could not be written, say): exit status 3.
class SimulatorFailure : public std::runtime_error {
public:
  SimulatorFailure(const Location& where, const std::string& message);
};

struct RunnerOptions {
  std::filesystem::path root; // the device root; exists
  hostsim::ClockMode clock = hostsim::ClockMode::Virtual;
  hostsim::home::Deliverables deliverables;
  bool vanilla = false; // boot without the deliverables
};

class Runner {
public:
  Runner(const RunnerOptions& options, Output& output);

  // Runs one command. `base` is the folder that relative file names of the
  // scenario start from. Throws ScenarioError when the command cannot run
  // at this point (a host action before boot, say), SimulatorFailure when
  // the simulator fails; a failed expectation is reported on standard error
  // and counted.
  void run(const Command& command, const std::filesystem::path& base);

  int failedExpectations() const { return failed_; }
  bool booted() const { return process_.booted(); }
  // Runs what is due now (live mode, between lines).
  void runDue();

private:
  std::filesystem::path hostPath(std::string_view devicePath) const;
  double now() const;
  // The process's state with the library's part (library_state.h).
  nlohmann::json state() const;
  void editPreferences(const Command& command);
  void replacePreferences(const Command& command, std::span<const uint8_t> bytes);
  void editAppList(const Command& command);
  void postReload();
  void expect(const Command& command);

  RunnerOptions options_;
  Output& output_;
  hostsim::home::HomeProcess process_;
  int failed_ = 0;
};

} // namespace quelline::sim
