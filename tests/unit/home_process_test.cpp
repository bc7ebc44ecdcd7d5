// The modeled home-screen process: boot, restart, and what the dump shows
// of them.
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

TEST_F(HomeProcessTest, RestartStartsTheProcessAfresh) {
  process_->boot({});
  EXPECT_NE(process_->librarySymbol("Settings"), nullptr);
  process_->wait(2);
  EXPECT_EQ(process_->dump()["time"], 2.0);
  process_->restart();
  EXPECT_EQ(process_->dump()["time"], 0.0);
  EXPECT_NE(process_->librarySymbol("Settings"), nullptr) << "loaded again";
  process_->shutdown();
  EXPECT_EQ(process_->librarySymbol("Settings"), nullptr) << "gone with the process";
}

TEST_F(HomeProcessTest, VanillaBootHasNoLibrary) {
  process_->boot({{}, false, true});
  EXPECT_EQ(process_->librarySymbol("Settings"), nullptr);
  process_->setSwitch(true);
  EXPECT_EQ(process_->dump()["ringer"]["muted"], true);
}

} // namespace
