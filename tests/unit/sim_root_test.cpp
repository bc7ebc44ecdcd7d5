// quelline-sim processes on one device root: several booting at once, and a
// root where the process cannot make what it needs.
#include "tests/unit/temp_folder.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kSimulator = QUELLINE_BIN_DIR "/quelline-sim";

struct SimRun {
  pid_t pid = -1;
  fs::path err;
};

// Starts quelline-sim --root ROOT run SCENARIO, its standard error to `err`.
SimRun start(const fs::path& root, const fs::path& scenario, const fs::path& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> args{kSimulator, "--root", root.string(), "run", scenario.string()};
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  SimRun run;
  run.err = err;
  if (posix_spawn(&run.pid, kSimulator, &actions, nullptr, argv.data(), environ) != 0) run.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

int finish(const SimRun& run) {
  int status = 0;
  if (run.pid < 0 || ::waitpid(run.pid, &status, 0) != run.pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string text(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SimRootTest : public ::testing::Test {
protected:
  fs::path scenario(const std::string& body) {
    fs::path file = folder_.path() / "scenario.scn";
    std::ofstream(file) << body;
    return file;
  }
  TempFolder folder_{"quelline-sim-root"};
  fs::path root_ = folder_.path() / "root";
};

// Each boot installs the toggle's bundle under the root; boots that race on
// it must all find a whole bundle, whether none was there, the same one, or
// an older one being replaced.
TEST_F(SimRootTest, ConcurrentBootsAllLoadTheToggleModule) {
  const fs::path file = scenario("boot\nexpect module.selected false\n");
  const fs::path bundles = root_ / "Library/ControlCenter/Bundles";
  constexpr int kProcesses = 8;
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove_all(bundles);
    if (round % 2 == 1) {
      // An older bundle in place: same files, one of them different.
      fs::create_directories(bundles);
      fs::copy(QUELLINE_BIN_DIR "/QuellineModule.bundle", bundles / "QuellineModule.bundle",
               fs::copy_options::recursive);
      std::ofstream(bundles / "QuellineModule.bundle/Icon@2x.png") << "an older icon";
    }
    std::vector<SimRun> runs;
    for (int i = 0; i < kProcesses; ++i)
      runs.push_back(start(root_, file, folder_.path() / ("err-" + std::to_string(i))));
    for (const SimRun& run : runs)
      EXPECT_EQ(finish(run), 0) << "round " << round << ": " << text(run.err);
  }
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(bundles))
    left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{"QuellineModule.bundle"}) << "no staging folder stays";
  EXPECT_EQ(text(bundles / "QuellineModule.bundle/Icon@2x.png"),
            text(QUELLINE_BIN_DIR "/QuellineModule.bundle/Icon@2x.png"));
}

TEST_F(SimRootTest, NotifyFolderThatCannotBeMadeIsAFailureNamingIt) {
  fs::create_directories(root_ / "var");
  std::ofstream(root_ / "var/run") << "a file where the folder belongs";
  const SimRun run = start(root_, scenario("boot\n"), folder_.path() / "err");
  EXPECT_EQ(finish(run), 3);
  EXPECT_NE(text(run.err).find((root_ / "var/run/notify").string()), std::string::npos)
      << text(run.err);
}

// prefs delete removes the preference file, never a folder standing in its
// place, even an empty one: that is a failure naming it.
TEST_F(SimRootTest, PrefsDeleteLeavesAFolderInTheFilesPlace) {
  const fs::path folder = root_ / "var/mobile/Library/Preferences/com.veltrasse.quelline.plist";
  fs::create_directories(folder);
  const SimRun run = start(root_, scenario("prefs delete\n"), folder_.path() / "err");
  EXPECT_EQ(finish(run), 3);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_NE(text(run.err).find("is a folder"), std::string::npos) << text(run.err);
}

} // namespace
