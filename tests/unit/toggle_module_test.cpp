// The toggle module as Control Center loads it: its class, encodings and
// instance variable; what it does to the preference file's place on disk.
#include "home/home_process.h"
#include "temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

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
