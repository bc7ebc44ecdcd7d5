// A booted platform over a fresh device root, ended after each test.
#pragma once

#include "host/sim/platform_boot.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/trace.h"
#include "tests/unit/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

class PlatformTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::create_directories(root_ / "var/mobile/Library/Preferences");
    hostsim::bootPlatform({root_, clock_});
    pool_ = objc_autoreleasePoolPush();
  }
  void TearDown() override {
    objc_autoreleasePoolPop(pool_);
    hostsim::trace::setSink(nullptr);
    hostsim::shutdownPlatform();
  }

  // Moves the virtual clock on, running what falls due.
  void wait(double seconds) { hostsim::mainRunLoop().runFor(seconds); }
  double now() const { return hostsim::mainRunLoop().now(); }

  TempFolder folder_{"quelline-test"};
  std::filesystem::path root_ = folder_.path();
  hostsim::ClockMode clock_ = hostsim::ClockMode::Virtual;
  void* pool_ = nullptr;
};
