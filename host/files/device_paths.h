// The device's filesystem lives under a root folder: device path P is
// ROOT/P. The one mapping that the stand-in, the simulator and the
// preference editor share.
#pragma once

#include <filesystem>
#include <string_view>

namespace prefsfile {

// ROOT/P for the device path P (absolute or not). A path that would leave
// the root (through "..") maps to nothing: the empty path, which no file
// operation accepts; so does an empty root or device path.
std::filesystem::path hostPathUnder(const std::filesystem::path& root, std::string_view devicePath);

} // namespace prefsfile
