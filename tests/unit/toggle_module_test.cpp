// The toggle module as Control Center loads it: its class, encodings and
// instance variable; what it does to the preference file's place on disk.
#include "files/preference_file.h"
#include "home/home_process.h"
#include "library_state.h"
#include "temp_folder.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

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
// change.
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

  process.setToggle(true);
  process.setToggle(false);
  process.setToggle(true);
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
