// Two processes change the preference file at the same time, many times: the
// toggle module (in the modeled home-screen process) writing
// enableTweakToggle, and an editor counting editorCount up through the
// library that quelline-prefs uses. Each reads the whole file, changes one
// key and writes the whole file back, so without the lock one would write
// over the other's change; with it, none is lost.
#include "host/files/preference_file.h"
#include "host/sim/home/home_process.h"
#include "tests/unit/temp_folder.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using prefsfile::PreferenceFile;
using prefsfile::Value;

constexpr int kChanges = 300;

TEST(PreferenceLock, TheToggleAndTheEditorLoseNoChangeOfTheOther) {
  const TempFolder folder("quelline-prefs-lock");
  const fs::path root = folder.path();
  const fs::path path = root / "var/mobile/Library/Preferences/com.veltrasse.quelline.plist";
  fs::create_directories(path.parent_path());
  {
    // The toggle writes only a file that holds a dictionary.
    PreferenceFile file = PreferenceFile::load(path);
    file.set("editorCount", int64_t{0});
    file.save();
  }

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The home-screen process: the toggle on, off, on, … ending off.
    ::close(ready[0]);
    int status = 1;
    try {
      hostsim::home::HomeProcess process(
          root, hostsim::ClockMode::Real,
          {QUELLINE_BIN_DIR "/Quelline.so", QUELLINE_BIN_DIR "/QuellineModule.bundle"});
      process.boot({});
      if (::write(ready[1], "r", 1) == 1) {
        for (int i = 0; i < kChanges; ++i) {
          process.setToggle(i % 2 == 0);
          // Room for the editor between two changes; a write that found
          // the lock taken is tried again from the run loop.
          process.wait(0.0002);
        }
        // Time for the last write to land.
        process.wait(1);
        status = 0;
      }
      process.shutdown();
    } catch (...) {
      status = 2;
    }
    ::_exit(status);
  }

  ::close(ready[1]);
  pollfd booted{ready[0], POLLIN, 0};
  char byte = 0;
  const bool started = ::poll(&booted, 1, 60000) == 1 && ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  int edits = 0;
  std::string failure;
  if (started) {
    for (; edits < kChanges; ++edits) {
      try {
        prefsfile::editLocked(path, prefsfile::kEditorLockWait, [](PreferenceFile& file) {
          const std::optional<Value> count = file.value("editorCount");
          if (!count) throw std::runtime_error("editorCount lost");
          file.set("editorCount", std::get<int64_t>(*count) + 1);
          return true;
        });
      } catch (const std::exception& e) {
        failure = e.what();
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(started) << "the home-screen process did not boot";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "toggling failed: " << status;
  EXPECT_EQ(failure, "");

  const PreferenceFile file = PreferenceFile::load(path);
  EXPECT_EQ(file.value("editorCount"), Value(int64_t{edits})) << "an editor change was lost";
  EXPECT_EQ(edits, kChanges);
  EXPECT_EQ(file.value("enableTweakToggle"), Value(false)) << "the toggle's last change was lost";
}

} // namespace
