// A scenario run from start to end: from text (a file, standard input, the
// demo), or line by line at a prompt on a real clock.
#pragma once

#include "sim/runner.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace quelline::sim {

// Exit statuses of quelline-sim.
enum ExitStatus : int {
  kExitOk = 0,              // every expectation held
  kExitExpectFailed = 1,    // the scenario ran; an expectation failed
  kExitScenarioError = 2,   // the scenario or the command line is wrong
  kExitSimulatorFailure = 3 // the simulator could not do what was asked
};

// Parses the whole of `text` (named `file` in messages), then runs it,
// `base` being the folder of relative file names. Errors are reported on
// standard error.
int runScript(Runner& runner, std::string_view text, const std::string& file,
              const std::filesystem::path& base);

// Reads commands from standard input as they come, the process's run loop
// running in between; ends at end of input or on SIGINT/SIGTERM. Errors are
// reported and the session goes on; the status says the worst that
// happened.
int runLive(Runner& runner, const std::filesystem::path& base);

} // namespace quelline::sim
