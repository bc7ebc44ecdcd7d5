// Puts a built deliverable in place under the device root, as the package
// manager would: a bundle folder or a single file, copied beside its place
// and renamed into it, so that every process of the root sees the whole old
// one or the whole new one, never half a copy.
#pragma once

#include <filesystem>
#include <string_view>

namespace hostsim {

// Copies `built` (a folder or a regular file) into the device folder
// `deviceFolder` under its own name; nothing when it is already there with
// the same bytes, or when `built` is empty or missing. Throws
// std::runtime_error when it cannot be put in place.
void installBuilt(const std::filesystem::path& built, std::string_view deviceFolder);

} // namespace hostsim
