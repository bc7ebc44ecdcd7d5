#include "services/file_lock.h"

#include "platform/filelock.h"
#include "services/device_paths.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace hostsim {

int lockHostFile(const std::filesystem::path& file, double timeoutSeconds) {
  if (file.empty()) return -1;
  std::filesystem::path lockPath = file;
  lockPath += ".lock";
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
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

} // namespace hostsim

extern "C" {

int platform_lockFile(const char* path, double timeoutSeconds) {
  if (path == nullptr) return -1;
  return hostsim::lockHostFile(hostsim::hostPath(path), timeoutSeconds);
}

void platform_unlockFile(int handle) {
  if (handle >= 0) ::close(handle); // closing the descriptor releases the lock
}

} // extern "C"
