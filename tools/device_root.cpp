#include "tools/device_root.h"

#include <cstdlib>
#include <system_error>

namespace quelline::deviceroot {

std::optional<GivenRoot> givenRoot(const std::optional<std::string>& option) {
  std::string value;
  std::string name;
  if (option) {
    value = *option;
    name = "--root";
  } else if (const char* variable = std::getenv(kVariable)) {
    value = variable;
    name = kVariable;
  } else {
    return std::nullopt;
  }
  if (value.empty()) throw RootError(name + " is empty; expected the folder of the device root");
  GivenRoot root;
  root.source = name + (option ? " " : "=") + value;
  std::error_code ec;
  root.path = std::filesystem::absolute(value, ec);
  if (ec) throw RootError(root.source + ": " + ec.message());
  const auto status = std::filesystem::status(root.path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status))
    throw RootError(root.source + ": not a folder; expected the folder of the device root");
  return root;
}

} // namespace quelline::deviceroot
