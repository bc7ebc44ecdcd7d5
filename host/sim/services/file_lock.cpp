// The platform's advisory file lock (platform/filelock.h) on device paths.
#include "files/file_lock.h"
#include "platform/filelock.h"
#include "services/device_paths.h"

#include <unistd.h>

extern "C" {

int platform_lockFile(const char* path, double timeoutSeconds) {
  if (path == nullptr) return -1;
  return prefsfile::FileLock(hostsim::hostPath(path), timeoutSeconds).release();
}

void platform_unlockFile(int handle) {
  if (handle >= 0) ::close(handle); // closing the descriptor releases the lock
}

} // extern "C"
