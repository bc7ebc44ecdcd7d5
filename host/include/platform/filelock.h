// An advisory lock shared between processes that change one file: taken
// around a read-change-write so that two writers lose neither's change. It
// is held on the companion file "PATH.lock" (the file itself is replaced by
// every atomic write, so it cannot carry the lock). On the device: open(2)
// and flock(2) with LOCK_EX | LOCK_NB, retried until the bound.
#pragma once

// The companion file's name: the path followed by this.
#define PLATFORM_LOCK_SUFFIX ".lock"

extern "C" {
// Takes the lock of the device path `path`, waiting at most
// `timeoutSeconds`. A handle (>= 0) to give back, or -1 when the lock could
// not be had in time.
int platform_lockFile(const char* path, double timeoutSeconds);
void platform_unlockFile(int handle);
}

namespace platform {

// Holds the lock for a scope; `held()` says whether it was had in time.
class FileLock {
public:
  FileLock(const char* path, double timeoutSeconds)
      : handle_(platform_lockFile(path, timeoutSeconds)) {}
  ~FileLock() {
    if (handle_ >= 0) platform_unlockFile(handle_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return handle_ >= 0; }

private:
  int handle_;
};

} // namespace platform
