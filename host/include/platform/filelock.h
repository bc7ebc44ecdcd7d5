// An advisory lock shared between processes that change one file: taken
// around a read-change-write so that two writers lose neither's change. It
// is held on the companion file "PATH.lock" (the file itself is replaced by
// every atomic write, so it cannot carry the lock). On the device: open(2)
// and flock(2) with LOCK_EX | LOCK_NB, retried after short naps until they
// add up to the bound.
#pragma once

// The companion file's name: the path followed by this.
#define PLATFORM_LOCK_SUFFIX ".lock"

extern "C" {
// Takes the lock of the device path `path`, waiting at most
// `timeoutSeconds` (0: tried once, no wait). A handle (>= 0) to give back
// when held; else -1, with `*error` set to 0 when another program held the
// lock for the whole wait, or to the system's reason (an errno value) when
// the companion file could not be made or locked. The stand-in counts a
// lock that failed as a failed write of `path`, with its reason.
[[nodiscard]] int platform_lockFile(const char* path, double timeoutSeconds, int* error);
void platform_unlockFile(int handle);
}

namespace platform {

// The nap between two tries of a lock that another program holds, on both
// sides: a writer holds it for a few milliseconds.
inline constexpr unsigned int kLockNapMicroseconds = 500;

// The one wait for the lock, on both sides. `tryOnce()` tries it without
// blocking and answers 0 when it is held, else the system's reason; a
// reason for which `busy(reason)` is true (another holder, an interrupted
// call) is tried again after `nap()` (of kLockNapMicroseconds), until the
// naps taken add up to `timeoutSeconds` (0: tried once, no nap). The wait
// is counted as that sum, not read from a clock. Answers 0 when held, -1
// when it was busy for the whole wait, else the reason that ended it.
template <class Try, class Busy, class Nap>
int waitForLock(double timeoutSeconds, Try tryOnce, Busy busy, Nap nap) {
  for (double waited = 0;; waited += kLockNapMicroseconds / 1e6) {
    const int reason = tryOnce();
    if (reason == 0) return 0;
    if (!busy(reason)) return reason;
    if (waited >= timeoutSeconds) return -1;
    nap();
  }
}

// What taking the lock came to: held; busy (another program held it for the
// whole wait); failed, for the system's reason.
enum class LockAnswer { Held, Busy, Failed };

// Holds the lock for a scope.
class FileLock {
public:
  FileLock(const char* path, double timeoutSeconds)
      : handle_(platform_lockFile(path, timeoutSeconds, &error_)) {}
  ~FileLock() {
    if (handle_ >= 0) platform_unlockFile(handle_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  LockAnswer answer() const {
    return handle_ >= 0 ? LockAnswer::Held : error_ == 0 ? LockAnswer::Busy : LockAnswer::Failed;
  }
  bool held() const { return handle_ >= 0; }
  // The system's reason (an errno value) when the answer is Failed, else 0.
  int error() const { return error_; }

private:
  int error_ = 0;
  int handle_ = -1;
};

} // namespace platform
