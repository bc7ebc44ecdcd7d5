#include "files/file_lock.h"

#include "files/file_error.h"
#include "platform/filelock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace prefsfile {

std::filesystem::path lockPathOf(const std::filesystem::path& path) {
  std::filesystem::path lock = path;
  lock += PLATFORM_LOCK_SUFFIX;
  return lock;
}

FileLock::FileLock(const std::filesystem::path& path, double timeoutSeconds) {
  if (path.empty()) {
    problem_ = "no file name";
    return;
  }
  const std::filesystem::path lockPath = lockPathOf(path);
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    problem_ =
        "cannot open its lock file " + inQuotes(lockPath.string()) + ": " + std::strerror(errno);
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      handle_ = fd;
      return;
    }
    const int error = errno;
    if (error != EWOULDBLOCK && error != EINTR) {
      problem_ = "cannot lock " + inQuotes(lockPath.string()) + ": " + std::strerror(error);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
      problem_ = "waited " + std::string(seconds) + " s for its lock " +
                 inQuotes(lockPath.string()) +
                 ": another program (the Control Center toggle, or another editor) holds it";
      timedOut_ = true;
      break;
    }
    // Short naps: a writer holds the lock for a few milliseconds.
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ::close(fd);
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(handle_); // closing the descriptor releases the lock
}

int FileLock::release() {
  return std::exchange(handle_, -1);
}

} // namespace prefsfile
