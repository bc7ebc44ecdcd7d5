// The platform's advisory file lock (platform/filelock.h) on device paths:
// the file library's lock (files/file_lock.h) on the mapped host path. A
// lock that fails is a write of the process that failed: traced and counted
// as one, with the system's reason.
#include "host/files/file_lock.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "platform/filelock.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" {

int platform_lockFile(const char* path, double timeoutSeconds, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  if (path == nullptr) {
    *error = EINVAL;
    return -1;
  }
  prefsfile::FileLock lock(hostsim::hostPath(path), timeoutSeconds);
  if (lock.answer() == prefsfile::LockAnswer::Failed) {
    *error = lock.error();
    hostsim::recordFailedWrite(path, "cannot take its lock " + std::string(path) +
                                         PLATFORM_LOCK_SUFFIX + ": " + std::strerror(*error));
  }
  return lock.release();
}

void platform_unlockFile(int handle) {
  if (handle >= 0) ::close(handle); // closing the descriptor releases the lock
}

} // extern "C"
