// The toggle module as Control Center loads it: its class, encodings and
// instance variable.
#include "home/home_process.h"
#include "temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

TEST(ToggleModule, RegistersItsMethodsUnderTheirEncodings) {
  const TempFolder root("quelline-module");
  {
    hostsim::home::HomeProcess process(
        root.path(), hostsim::ClockMode::Virtual,
        {QUELLINE_BIN_DIR "/Quelline.so", QUELLINE_BIN_DIR "/QuellineModule.bundle"});
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
