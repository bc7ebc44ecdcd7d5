#include "host/files/file_lock.h"

#include "host/files/file_error.h"
#include "platform/filelock.h"

#include <atomic>
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

namespace {

std::atomic<size_t> gNapsTaken{0};

} // namespace

std::filesystem::path lockPathOf(const std::filesystem::path& path) {
  std::filesystem::path lock = path;
  lock += PLATFORM_LOCK_SUFFIX;
  return lock;
}

FileLock::FileLock(const std::filesystem::path& path, double timeoutSeconds) {
  if (path.empty()) {
    error_ = EINVAL;
    problem_ = "no file name";
    return;
  }
  const std::filesystem::path lockPath = lockPathOf(path);
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error_ = errno;
    problem_ =
        "cannot open its lock file " + inQuotes(lockPath.string()) + ": " + std::strerror(error_);
    return;
  }
  const int reason = platform::waitForLock(
      timeoutSeconds, [fd] { return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno; },
      [](int r) { return r == EWOULDBLOCK || r == EINTR; },
      [] {
        ++gNapsTaken;
        std::this_thread::sleep_for(std::chrono::microseconds(platform::kLockNapMicroseconds));
      });
  if (reason == 0) {
    handle_ = fd;
    answer_ = LockAnswer::Held;
    return;
  }
  if (reason > 0) {
    error_ = reason;
    problem_ = "cannot lock " + inQuotes(lockPath.string()) + ": " + std::strerror(reason);
  } else {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
    problem_ = "waited " + std::string(seconds) + " s for its lock " + inQuotes(lockPath.string()) +
               ": another program (the Control Center toggle, or another editor) holds it";
    answer_ = LockAnswer::Busy;
  }
  ::close(fd);
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(handle_); // closing the descriptor releases the lock
}

int FileLock::release() {
  return std::exchange(handle_, -1);
}

size_t lockNapsTaken() {
  return gNapsTaken;
}

} // namespace prefsfile
