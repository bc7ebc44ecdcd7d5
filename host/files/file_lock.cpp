#include "files/file_lock.h"

#include "platform/filelock.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace prefsfile {
namespace {

int lockHostFile(const std::filesystem::path& file, double timeoutSeconds) {
  if (file.empty()) return -1;
  int fd = ::open(lockPathOf(file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    // Short naps: a writer holds the lock for a few milliseconds.
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ::close(fd);
  return -1;
}

} // namespace

std::filesystem::path lockPathOf(const std::filesystem::path& path) {
  std::filesystem::path lock = path;
  lock += PLATFORM_LOCK_SUFFIX;
  return lock;
}

FileLock::FileLock(const std::filesystem::path& path, double timeoutSeconds)
    : handle_(lockHostFile(path, timeoutSeconds)) {}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(handle_); // closing the descriptor releases the lock
}

int FileLock::release() {
  return std::exchange(handle_, -1);
}

} // namespace prefsfile
