#include "host/sim/services/root_folder.h"

#include "host/files/device_paths.h"

namespace hostsim {
namespace {
std::filesystem::path& root() {
  static auto* r = new std::filesystem::path();
  return *r;
}
} // namespace

void setDeviceRoot(std::filesystem::path r) {
  root() = std::move(r);
}
const std::filesystem::path& deviceRoot() {
  return root();
}

std::filesystem::path hostPath(std::string_view devicePath) {
  return prefsfile::hostPathUnder(root(), devicePath);
}

} // namespace hostsim
