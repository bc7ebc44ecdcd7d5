// quelline-sim run as its own process: stopped by a signal, the device root
// it takes from its options or its environment, and inputs that are no
// scenario files.
#include "tests/unit/run_program.h"
#include "tests/unit/temp_folder.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kSimulator = QUELLINE_BIN_DIR "/quelline-sim";

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// quelline-sim with a pipe on its standard input and its standard output,
// and its temporary folder (TMPDIR) of its own.
class Simulator : public RunningProgram {
public:
  Simulator(std::vector<std::string> args, const fs::path& temporary)
      : RunningProgram(kSimulator, std::move(args), {"TMPDIR=" + temporary.string()}) {}
};

bool isEmptyFolder(const fs::path& folder) {
  return fs::is_directory(folder) && fs::is_empty(folder);
}

TEST(SimulatorProcessTest, ASignalStopsALongWaitAndRemovesTheTemporaryRoot) {
  TempFolder temporary("quelline-sim-signal");
  Simulator sim({"live"}, temporary.path());
  ASSERT_TRUE(sim.started());
  ASSERT_TRUE(sim.send("boot\nwait 3600\n"));
  ASSERT_TRUE(sim.awaitOutput("> wait 3600", Clock::now() + std::chrono::seconds(30)));
  EXPECT_FALSE(isEmptyFolder(temporary.path())) << "the device root is in TMPDIR";
  sim.signal(SIGINT);
  EXPECT_EQ(sim.exitStatus(Clock::now() + std::chrono::seconds(10)), 130);
  EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(SimulatorProcessTest, SigtermStopsARunThatWaitsForItsScenario) {
  TempFolder temporary("quelline-sim-signal");
  Simulator sim({"run", "-"}, temporary.path());
  ASSERT_TRUE(sim.started());
  ASSERT_TRUE(sim.send("boot\n")); // standard input stays open: the scenario has not ended
  ASSERT_TRUE(sim.awaitHandler(SIGTERM, Clock::now() + std::chrono::seconds(30)));
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.exitStatus(Clock::now() + std::chrono::seconds(10)), 143);
  EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(SimulatorProcessTest, TheRootIsGivenOrTakenFromTheEnvironmentOrTemporary) {
  TempFolder folder("quelline-sim-root");
  const fs::path scenario = folder.path() / "set.scn";
  std::ofstream(scenario) << "prefs set haptic false\n";
  const std::string prefs = "var/mobile/Library/Preferences/com.veltrasse.quelline.plist";

  const fs::path fromEnvironment = folder.path() / "env";
  Outcome run = runProgram(kSimulator, {"run", scenario.string()},
                           {"QUELLINE_ROOT=" + fromEnvironment.string()});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_TRUE(fs::exists(fromEnvironment / prefs)) << "made, and kept";

  const fs::path given = folder.path() / "given";
  run = runProgram(kSimulator, {"--root", given.string(), "run", scenario.string()},
                   {"QUELLINE_ROOT=" + (folder.path() / "unused").string()});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_TRUE(fs::exists(given / prefs));
  EXPECT_FALSE(fs::exists(folder.path() / "unused")) << "--root wins";

  for (const Outcome& refused :
       {runProgram(kSimulator, {"--root", "", "run", scenario.string()}),
        runProgram(kSimulator, {"run", scenario.string()}, {"QUELLINE_ROOT="}),
        runProgram(kSimulator, {"--root", scenario.string(), "run", scenario.string()})}) {
    EXPECT_EQ(refused.status, 2) << refused;
    EXPECT_TRUE(contains(refused.err, "empty") || contains(refused.err, "not a folder")) << refused;
  }

  // Without either, live says where its temporary root is, so that the
  // preference editor can reach it.
  const fs::path temporary = folder.path() / "tmp";
  fs::create_directory(temporary);
  run = runProgram(kSimulator, {"live"}, {"TMPDIR=" + temporary.string()});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_TRUE(contains(run.err, "the device root is " + temporary.string() + "/quelline-sim-"))
      << run;
  EXPECT_TRUE(isEmptyFolder(temporary)) << "removed at exit";
}

TEST(SimulatorProcessTest, InputsThatAreNoScenarioFilesAreRefusedWithTheReason) {
  TempFolder folder("quelline-sim-input");
  Outcome run = runProgram(kSimulator, {"run", "/proc/self/mem"});
  EXPECT_EQ(run.status, 2) << run;
  EXPECT_TRUE(contains(run.err, "/proc/self/mem: cannot read the scenario")) << run;
  EXPECT_TRUE(contains(run.err, "Input/output error")) << run;

  run = runProgram(kSimulator, {"run", "-"}, {}, folder.path().string());
  EXPECT_EQ(run.status, 2) << "standard input is a folder: " << run;
  EXPECT_TRUE(contains(run.err, "<stdin>: cannot read the scenario: Is a directory")) << run;
  EXPECT_EQ(run.out, "");
}

// --html '' names no file: refused before anything runs, for run and the demo.
TEST(SimulatorProcessTest, AnEmptyReportNameIsRefused) {
  TempFolder folder("quelline-sim-html");
  const fs::path scenario = folder.path() / "switch.scn";
  std::ofstream(scenario) << "boot\nswitch silent\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--root", folder.path().string(), "--html", "", "run", scenario.string()},
           {"--root", folder.path().string(), "--html", ""}}) {
    const Outcome run = runProgram(kSimulator, args);
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_TRUE(contains(run.err, "--html: an empty file name")) << run;
    EXPECT_EQ(run.out, "") << "nothing ran";
  }
}

} // namespace
