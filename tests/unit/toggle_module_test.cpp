// The toggle module as Control Center loads it: its class, encodings and
// instance variable; what it does to the preference file's place on disk.
#include "host/files/file_lock.h"
#include "host/files/preference_file.h"
#include "host/sim/home/home_process.h"
#include "host/sim/services/trace.h"
#include "platform/filelock.h"
#include "sim/library_state.h"
#include "tests/unit/temp_folder.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

hostsim::home::Deliverables built() {
  return {QUELLINE_BIN_DIR "/Quelline.so", QUELLINE_BIN_DIR "/QuellineModule.bundle"};
}

const char* const kPrefs = "var/mobile/Library/Preferences/com.veltrasse.quelline.plist";

// A new preference file gets the usual 0644, whatever the umask says.
TEST(ToggleModule, CreatesAMissingPreferenceFileReadableByAll) {
  const TempFolder root("quelline-module");
  const mode_t umaskBefore = ::umask(077);
  {
    hostsim::home::HomeProcess process(root.path(), hostsim::ClockMode::Virtual, built());
    process.boot({});
    process.setToggle(true);
  }
  ::umask(umaskBefore);
  struct stat st {};
  ASSERT_EQ(::stat((root.path() / kPrefs).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// The preference editor holds the file's lock, in the middle of a change of
// its own: the toggle's events take effect at once, but it writes nothing
// until the lock is free; then its last state lands beside the editor's
// change. The home screen's main thread never waits for the lock: each
// switch tries it once and returns, with no nap taken on the lock and the
// process's clock where it was.
TEST(ToggleModule, WritesOnlyUnderTheLockAndLosesNoChange) {
  using prefsfile::PreferenceFile;
  using prefsfile::Value;
  const TempFolder root("quelline-module");
  const fs::path path = root.path() / kPrefs;
  fs::create_directories(path.parent_path());
  {
    PreferenceFile file = PreferenceFile::load(path);
    file.set("timerTime", int64_t{5});
    file.save();
  }
  hostsim::home::HomeProcess process(root.path(), hostsim::ClockMode::Virtual, built());
  quelline::sim::releaseLibraryHoldingsAtEnd(process);
  process.boot({});

  std::atomic<bool> locked = false;
  std::atomic<bool> release = false;
  std::thread editor([&] {
    prefsfile::editLocked(path, 5, [&](PreferenceFile& file) {
      locked = true;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!release && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      file.set("timerTime", int64_t{7});
      return true;
    });
  });
  while (!locked)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const size_t napsBefore = prefsfile::lockNapsTaken();
  const double clockBefore = process.now();
  process.setToggle(true);
  process.setToggle(false);
  process.setToggle(true);
  EXPECT_EQ(prefsfile::lockNapsTaken(), napsBefore) << "the main thread waited for the lock";
  EXPECT_EQ(process.now(), clockBefore);
  process.wait(1);
  nlohmann::json d = process.dump();
  quelline::sim::addLibraryState(process, d);
  EXPECT_EQ(d["posts"]["hide"], 2);
  EXPECT_EQ(d["posts"]["unHide"], 1);
  EXPECT_EQ(d["flags"]["notificationsHidden"], true);
  EXPECT_EQ(d["file"], (nlohmann::json{{"timerTime", 5}})) << "written without the lock";

  release = true;
  editor.join();
  process.wait(0.1);
  const PreferenceFile file = PreferenceFile::load(path);
  EXPECT_EQ(file.value("timerTime"), Value(int64_t{7})) << "the editor's change was lost";
  EXPECT_EQ(file.value("enableTweakToggle"), Value(true)) << "the toggle's last state was lost";
}

// A lock file that the home screen's user may not open (root's, and the
// home screen runs as another user): the toggle's write fails for that
// reason, and is counted and traced as a failed write, tried again every
// second, never in a spin on the lock. Run in a child process that drops
// root's rights, when the test runs as root.
TEST(ToggleModule, ALockFileItMayNotOpenIsAFailedWrite) {
  const TempFolder root("quelline-module");
  const fs::path path = root.path() / kPrefs;
  fs::create_directories(path.parent_path());
  const fs::path lockPath = prefsfile::lockPathOf(path);
  std::ofstream{lockPath};
  const bool asRoot = ::geteuid() == 0;
  constexpr uid_t kNobody = 65534;
  if (asRoot) {
    // Everything but the lock file becomes the home screen user's.
    ASSERT_EQ(::chown(root.path().c_str(), kNobody, kNobody), 0);
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root.path()))
      if (entry.path() != lockPath) {
        ASSERT_EQ(::chown(entry.path().c_str(), kNobody, kNobody), 0);
      }
  } else {
    fs::permissions(lockPath,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (asRoot && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(10);
    int status = 1;
    try {
      std::vector<hostsim::trace::Event> failures;
      hostsim::trace::setSink([&](const hostsim::trace::Event& e) {
        if (e["event"] == "write-failed") failures.push_back(e);
      });
      hostsim::home::HomeProcess process(root.path(), hostsim::ClockMode::Virtual, built());
      process.boot({});
      process.setToggle(true);
      process.wait(10);
      const size_t failed = process.failedWrites();
      const std::string error = failures.empty() ? "" : std::string(failures[0]["error"]);
      process.shutdown();
      hostsim::trace::setSink({});
      if (failed != 11 || failures.size() != 11) {
        std::fprintf(stderr, "%zu failed writes, %zu traced; expected 11\n", failed,
                     failures.size());
      } else if (error.find("Permission denied") == std::string::npos ||
                 error.find(std::string(kPrefs) + PLATFORM_LOCK_SUFFIX) == std::string::npos) {
        std::fprintf(stderr, "the reason: %s\n", error.c_str());
      } else if (fs::exists(path)) {
        std::fprintf(stderr, "written without the lock\n");
      } else {
        status = 0;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      status = 2;
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_NE(WEXITSTATUS(status), 10) << "cannot drop root's rights";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the child's message above";
}

TEST(ToggleModule, RegistersItsMethodsUnderTheirEncodings) {
  const TempFolder root("quelline-module");
  {
    hostsim::home::HomeProcess process(root.path(), hostsim::ClockMode::Virtual, built());
    process.boot({});
    nlohmann::json cls = process.inspect("QuellineModule");
    EXPECT_EQ(cls["superclass"], "CCUIToggleModule");
    EXPECT_EQ(cls["methods"], (nlohmann::json{{"selectedColor", "@16@0:8"},
                                              {"isSelected", "B16@0:8"},
                                              {"iconGlyph", "@16@0:8"},
                                              {"setSelected:", "v20@0:8B16"},
                                              {"checkState", "v16@0:8"}}));
    EXPECT_EQ(cls["ivars"], (nlohmann::json{{"_selected", "B"}}));
    EXPECT_TRUE(cls["classMethods"].empty());
    // refreshState is the base class's own, never overridden.
    EXPECT_FALSE(cls["methods"].contains("refreshState"));
  }
}

} // namespace
