#include "services/device_paths.h"

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
  std::filesystem::path relative = std::filesystem::path(devicePath).relative_path();
  std::filesystem::path normal = relative.lexically_normal();
  if (root().empty() || normal.empty() || *normal.begin() == "..") return {};
  return root() / normal;
}

} // namespace hostsim
