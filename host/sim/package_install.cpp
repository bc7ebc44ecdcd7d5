#include "host/sim/package_install.h"

#include "host/files/plist_files.h"
#include "host/sim/services/root_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace hostsim {
namespace {

namespace fs = std::filesystem;

// A bundle holds its executable and a few resources.
constexpr size_t kMaxBundleFileBytes = size_t{256} << 20;

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::vector<uint8_t> mine;
  std::vector<uint8_t> theirs;
  return !prefsfile::readRegularFile(a, kMaxBundleFileBytes, mine) &&
         !prefsfile::readRegularFile(b, kMaxBundleFileBytes, theirs) && mine == theirs;
}

// Whether `b` holds the same files as `a` (a folder or a file), byte for
// byte.
bool sameFiles(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (!fs::is_directory(a, ec)) return fs::is_regular_file(b, ec) && sameBytes(a, b);
  if (!fs::is_directory(b, ec)) return false;
  size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(a, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    ++entries;
    const fs::path other = b / fs::relative(it->path(), a, ec);
    if (it->is_directory(ec)) {
      if (!fs::is_directory(other, ec)) return false;
      continue;
    }
    if (!sameBytes(it->path(), other)) return false;
  }
  if (ec) return false;
  size_t theirs = 0;
  for (auto it = fs::recursive_directory_iterator(b, ec); !ec && it != fs::end(it);
       it.increment(ec))
    ++theirs;
  return !ec && theirs == entries;
}

} // namespace

void installBuilt(const fs::path& built, std::string_view deviceFolder) {
  std::error_code ec;
  if (built.empty() || !fs::exists(built, ec)) return;
  const bool folder = fs::is_directory(built, ec);
  const std::string name = built.filename().string();
  const fs::path target = hostPath(deviceFolder) / built.filename();
  fs::create_directories(target.parent_path());
  // Processes of one root boot at the same time: the copy is made beside
  // its place and renamed into it, so that every process sees a whole one,
  // the old or the new, never a half-copied or missing one.
  if (sameFiles(built, target)) return;
  std::string staging = (target.parent_path() / ("." + name + ".XXXXXX")).string();
  const bool made = folder ? ::mkdtemp(staging.data()) != nullptr : [&] {
    const int fd = ::mkstemp(staging.data());
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  }();
  if (!made)
    throw std::runtime_error("cannot install " + name + ": cannot make a staging copy in " +
                             target.parent_path().string() + ": " + std::strerror(errno));
  auto discard = [&] { fs::remove_all(staging, ec); };
  if (folder)
    fs::copy(built, staging, fs::copy_options::recursive, ec);
  else if (fs::copy_file(built, staging, fs::copy_options::overwrite_existing, ec))
    fs::permissions(staging, fs::status(built).permissions(), ec); // mkstemp made it 0600
  if (ec) {
    discard();
    throw std::runtime_error("cannot install " + name + " in " + staging + ": " + ec.message());
  }
  if (::rename(staging.c_str(), target.c_str()) == 0) return;
  // There is one in place: the same one, put there meanwhile by another
  // process, stays; another one is swapped with ours at once.
  if (sameFiles(built, target) ||
      ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    discard();
    return;
  }
  const int error = errno;
  discard();
  throw std::runtime_error("cannot install " + name + " as " + target.string() + ": " +
                           std::strerror(error));
}

} // namespace hostsim
