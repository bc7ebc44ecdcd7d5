#include "host/files/device_paths.h"

namespace prefsfile {

std::filesystem::path hostPathUnder(const std::filesystem::path& root,
                                    std::string_view devicePath) {
  const std::filesystem::path normal =
      std::filesystem::path(devicePath).relative_path().lexically_normal();
  if (root.empty() || normal.empty() || *normal.begin() == "..") return {};
  return root / normal;
}

} // namespace prefsfile
