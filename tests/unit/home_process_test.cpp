// The modeled home-screen process: boot, restart, and what the dump shows
// of them.
#include "host/sim/home/home_process.h"
#include "sim/library_state.h"
#include "tests/unit/temp_folder.h"

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

// A banner's controller goes after the banner's display time, and its
// hideBanner/unHideBanner registrations with it: however many
// notifications came, a banner app in front reaches only the banners on
// screen, and the short-look class's own registration.
TEST_F(HomeProcessTest, BannerRegistrationsStayBoundedOverThousandsOfNotifications) {
  quelline::sim::releaseLibraryHoldingsAtEnd(*process_);
  process_->boot({});
  auto dump = [&] {
    nlohmann::json d = process_->dump();
    quelline::sim::addLibraryState(*process_, d);
    return d;
  };
  for (int i = 0; i < 2000; ++i) {
    process_->notify("com.example.mail", "default");
    process_->wait(0.5);
  }
  nlohmann::json d = dump();
  EXPECT_EQ(d["banners"]["shown"], 2000);
  EXPECT_LE(d["registrations"]["hideBanner"].get<int>(), 10);
  EXPECT_LE(d["registrations"]["unHideBanner"].get<int>(), 10);
  process_->wait(5);
  EXPECT_EQ(dump()["registrations"]["hideBanner"], 1);
}

} // namespace
