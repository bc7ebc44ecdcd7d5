#include "tools/program_files.h"

#include <system_error>

namespace quelline::programfiles {

namespace fs = std::filesystem;

fs::path programFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path();
}

std::string documentPath(const std::string& name) {
  std::error_code ec;
  const fs::path installed =
      (programFolder().parent_path() / "share/doc/quelline" / name).lexically_normal();
  if (fs::is_regular_file(installed, ec)) return installed.string();
  return "docs/" + name;
}

} // namespace quelline::programfiles
