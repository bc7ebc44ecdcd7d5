// Where quelline-sim and quelline-prefs find the device root (device path P
// is ROOT/P): the --root option when given, else the QUELLINE_ROOT
// environment variable when set. Without either, the simulator uses a fresh
// temporary folder and the editor refuses (so that a forgotten option never
// edits this machine's own files). An empty value is an error, and so is a
// root that exists but is no folder. A missing root is created by whoever
// writes to it first.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace quelline::deviceroot {

inline constexpr const char* kVariable = "QUELLINE_ROOT";

// A device root that cannot be used; what() names where it came from.
class RootError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct GivenRoot {
  std::filesystem::path path; // absolute
  std::string source;         // "--root DIR" or "QUELLINE_ROOT=DIR", for messages
};

// The root from `option` (the value of --root, when it was given) or the
// environment; nullopt when neither gives one. Throws RootError for an empty
// value or a path that exists and is no folder.
std::optional<GivenRoot> givenRoot(const std::optional<std::string>& option);

} // namespace quelline::deviceroot
