// One booted platform for a whole benchmark process (there is one platform
// per process), over a temporary device root removed at exit.
#pragma once

#include "host/sim/platform_boot.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace bench {

class BootedPlatform {
public:
  static BootedPlatform& get() {
    static BootedPlatform booted;
    return booted;
  }
  const std::filesystem::path& root() const { return root_; }

private:
  BootedPlatform() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quelline-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    std::filesystem::create_directories(root_ / "var/mobile/Library/Preferences");
    hostsim::bootPlatform({root_});
    pool_ = objc_autoreleasePoolPush();
  }
  ~BootedPlatform() {
    objc_autoreleasePoolPop(pool_);
    hostsim::shutdownPlatform();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::filesystem::path root_;
  void* pool_ = nullptr;
};

} // namespace bench
