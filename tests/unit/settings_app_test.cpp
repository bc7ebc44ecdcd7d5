// The Settings app as the simulator runs it, a process of its own: one that
// ends under the simulator is a failure of the command that needed it, said
// with how it ended, never a hang or a SIGPIPE; the next settings command
// starts it again.
#include "sim/runner.h"
#include "sim/scenario.h"
#include "tests/unit/temp_folder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace quelline::sim;

// A Settings program that says it is ready and ends at once with status 4,
// before it reads the request.
fs::path dyingProgram(const fs::path& folder) {
  const fs::path program = folder / "dying-settings-app";
  std::ofstream(program) << "#!/bin/sh\necho '{\"ready\":true}'\nexit 4\n";
  fs::permissions(program, fs::perms::owner_all);
  return program;
}

TEST(SettingsAppTest, AProcessThatEndsIsAFailureOfTheCommandSaidWithHowItEnded) {
  TempFolder folder("quelline-settings-app");
  const fs::path root = folder.path() / "root";
  fs::create_directories(root);
  std::ostringstream trace;
  Output output(trace, Format::Text, false);
  RunnerOptions options;
  options.root = root;
  options.deliverables = hostsim::home::Deliverables{QUELLINE_BIN_DIR "/Quelline.so",
                                                     QUELLINE_BIN_DIR "/QuellineModule.bundle"};
  options.settingsApp = dyingProgram(folder.path());
  Runner runner(options, output);
  const auto open = parseLine("settings open", Location{"<test>", 1});
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      runner.run(*open, root);
      FAIL() << "settings open ran with a Settings process that had ended";
    } catch (const SimulatorFailure& e) {
      EXPECT_NE(std::string(e.what()).find("exited with status 4"), std::string::npos) << e.what();
    }
    // Nothing of the pane is shown.
    EXPECT_TRUE(runner.state()["pane"].is_null());
  }
}

} // namespace
