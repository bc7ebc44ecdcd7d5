// The preference editor killed or failed by the disk in the middle of a
// change: the file is always the old one or the new one, never a mix and
// never lost; a failed step is reported with exit status 3; what a killed
// editor leaves behind is cleaned up by the next change.
#include "host/files/preference_file.h"
#include "tests/unit/run_program.h"
#include "tests/unit/temp_folder.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using prefsfile::FileState;
using prefsfile::PreferenceFile;
using prefsfile::Value;

constexpr const char* kEditor = QUELLINE_BIN_DIR "/quelline-prefs";
constexpr std::string_view kFolder = "var/mobile/Library/Preferences";
constexpr std::string_view kName = "com.veltrasse.quelline.plist";

class CrashConsistencyTest : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(root_ / kFolder); }

  fs::path file() const { return root_ / kFolder / kName; }
  std::string bytes() const {
    std::ifstream in(file(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The temporary files of the preference file in its folder.
  size_t temporaryFiles() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(root_ / kFolder))
      if (entry.path().filename().string().starts_with("." + std::string(kName) + ".")) ++n;
    return n;
  }
  std::vector<std::string> setArgs(int value) const {
    return {"--root", root_.string(), "set", "timerTime", std::to_string(value)};
  }
  Outcome set(int value, const std::vector<std::string>& environment = {}) {
    return runProgram(kEditor, setArgs(value), environment);
  }
  std::optional<Value> timerTime() const {
    PreferenceFile read = PreferenceFile::load(file());
    EXPECT_EQ(read.state(), FileState::Dictionary) << read.problem();
    EXPECT_EQ(read.value("hideBanners"), Value(false)) << "the other key is kept";
    return read.value("timerTime");
  }

  TempFolder folder_{"quelline-crash"};
  fs::path root_ = folder_.path();
};

// Starts `quelline-prefs set timerTime VALUE` and kills it with SIGKILL
// after `delay`; whether it had ended on its own before.
bool killedMidway(const std::vector<std::string>& args, std::chrono::microseconds delay) {
  std::vector<std::string> argv = args;
  argv.insert(argv.begin(), kEditor);
  std::vector<char*> pointersToArgs = pointers(argv);
  std::vector<std::string> env = environment({});
  std::vector<char*> envp = pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, kEditor, &actions, nullptr, pointersToArgs.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  std::this_thread::sleep_for(delay);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

} // namespace

// A few hundred editors, each killed at a random point of its change: after
// each, the file reads as the value before or the value it was setting.
TEST_F(CrashConsistencyTest, AKilledChangeLeavesTheOldFileOrTheNew) {
  ASSERT_EQ(runProgram(kEditor, {"--root", root_.string(), "set", "hideBanners", "false"}).status,
            0);
  ASSERT_EQ(set(1).status, 0);
  // Kill points spread over the time a change takes: the window shrinks
  // after an editor that finished before its kill and grows after one that
  // did not, so that most are killed at some point of their work.
  std::mt19937 random(12);
  double window = 20000; // microseconds
  constexpr int kRounds = 300;
  int64_t current = 1;
  int killed = 0;
  int changed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int64_t next = 100 + round;
    const auto delay = std::uniform_real_distribution<double>(0, window)(random);
    const bool wasKilled = killedMidway(setArgs(static_cast<int>(next)),
                                        std::chrono::microseconds(static_cast<int64_t>(delay)));
    killed += wasKilled ? 1 : 0;
    window = std::clamp(window * (wasKilled ? 1.1 : 0.8), 100.0, 1e6);
    const std::optional<Value> now = timerTime();
    ASSERT_TRUE(now == Value(current) || now == Value(next)) << "round " << round;
    if (now == Value(next)) {
      current = next;
      ++changed;
    }
  }
  RecordProperty("rounds", kRounds);
  RecordProperty("killed", killed);
  RecordProperty("changed", changed);
  EXPECT_GT(killed, 0);
  EXPECT_GT(changed, 0);

  // The temporary files that killed editors left are removed by the next
  // change.
  ASSERT_EQ(set(7).status, 0);
  EXPECT_EQ(timerTime(), Value(int64_t{7}));
  EXPECT_EQ(temporaryFiles(), 0u);
}

// Each step of the atomic write failing in turn, as a full or failing disk
// makes it fail: the editor says which step, exits 3, and the old file is
// there byte for byte with no temporary file beside it.
TEST_F(CrashConsistencyTest, AFailedWriteKeepsTheOldFileAndExits3) {
  ASSERT_EQ(runProgram(kEditor, {"--root", root_.string(), "set", "hideBanners", "false"}).status,
            0);
  ASSERT_EQ(set(1).status, 0);
  const std::string before = bytes();
  const std::string temporary = "/." + std::string(kName) + ".";
  // The shim sits first in the search order of a program under the
  // sanitizers, which they accept when told.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
  struct Fault {
    const char* call;
    int error;
    std::string_view says;
  };
  for (const Fault& fault : {Fault{"write", ENOSPC, "cannot write the temporary file"},
                             Fault{"fsync", EIO, "cannot flush the temporary file"},
                             Fault{"rename", EIO, "cannot rename the temporary file"}}) {
    SCOPED_TRACE(fault.call);
    const Outcome run = set(2, {"LD_PRELOAD=" QUELLINE_FAILING_IO, asanOptions,
                                std::string("QUELLINE_FAIL=") + fault.call,
                                "QUELLINE_FAIL_ERRNO=" + std::to_string(fault.error),
                                "QUELLINE_FAIL_MATCH=" + temporary});
    EXPECT_EQ(run.status, 3) << run;
    EXPECT_NE(run.err.find(fault.says), std::string::npos) << run;
    EXPECT_NE(run.err.find(std::strerror(fault.error)), std::string::npos) << run;
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(temporaryFiles(), 0u);
  }

  // After the rename, the new file is in place; a folder that cannot be
  // flushed may still lose it to a power failure, which is reported too.
  const Outcome run = set(3, {"LD_PRELOAD=" QUELLINE_FAILING_IO, asanOptions,
                              "QUELLINE_FAIL=folder-fsync", "QUELLINE_FAIL_ERRNO=5"});
  EXPECT_EQ(run.status, 3) << run;
  EXPECT_NE(run.err.find("cannot be flushed to disk"), std::string::npos) << run;
  EXPECT_EQ(timerTime(), Value(int64_t{3}));
  EXPECT_EQ(temporaryFiles(), 0u);
}
