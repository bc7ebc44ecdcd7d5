// The device's filesystem lives under a root folder: device path P is
// ROOT/P. Nothing of the stand-in reads or writes outside the root.
#pragma once

#include <filesystem>
#include <string_view>

namespace hostsim {

void setDeviceRoot(std::filesystem::path root);
const std::filesystem::path& deviceRoot();

// ROOT/P for the device path P under the booted process's root
// (files/device_paths.h: a path that would leave the root maps to nothing).
std::filesystem::path hostPath(std::string_view devicePath);

} // namespace hostsim
