// The modeled home-screen process with the library loaded: boot, restart,
// and what the dump shows of them.
#include "home/home_process.h"
#include "temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

class HomeProcessTest : public ::testing::Test {
protected:
  void SetUp() override {
    process_ = std::make_unique<hostsim::home::HomeProcess>(
        root_, hostsim::ClockMode::Virtual,
        hostsim::home::Deliverables{QUELLINE_BIN_DIR "/Quelline.so",
                                    QUELLINE_BIN_DIR "/QuellineModule.bundle"});
  }
  void TearDown() override { process_.reset(); }
  TempFolder folder_{"quelline-home"};
  std::filesystem::path root_ = folder_.path();
  std::unique_ptr<hostsim::home::HomeProcess> process_;
};

TEST_F(HomeProcessTest, BootLoadsTheLibraryAndRestartStartsItAfresh) {
  process_->boot({});
  nlohmann::json d = process_->dump();
  EXPECT_EQ(d["hooks"].size(), 28u);
  EXPECT_EQ(d["settings"]["timerTime"], 5);
  EXPECT_EQ(d["posts"]["prefsReloaded"], 1);
  process_->wait(2);
  process_->restart();
  d = process_->dump();
  EXPECT_EQ(d["time"], 0.0);
  EXPECT_EQ(d["posts"]["prefsReloaded"], 1) << "a new process counts afresh";
  EXPECT_EQ(d["hooks"].size(), 28u);
}

TEST_F(HomeProcessTest, VanillaBootHasNoLibrary) {
  process_->boot({{}, false, true});
  nlohmann::json d = process_->dump();
  EXPECT_TRUE(d["settings"].is_null());
  EXPECT_TRUE(d["hooks"].empty());
  process_->setSwitch(true);
  EXPECT_EQ(process_->dump()["ringer"]["muted"], true);
}

} // namespace
