// A scalar value of a preference key, as the editor and the simulator's
// scenarios write it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace prefsfile {

using Value = std::variant<bool, int64_t, double, std::string>;

} // namespace prefsfile
