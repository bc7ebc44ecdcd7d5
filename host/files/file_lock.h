// The advisory lock of a file (platform/filelock.h): flock(2) on the
// companion file PATH.lock, since the file itself is replaced by every
// atomic write. The preference editor and the simulator's edits take it
// here, on host paths; the stand-in's platform_lockFile, which the toggle
// module takes, is a thin adapter over it.
#pragma once

#include "platform/filelock.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace prefsfile {

// The companion file that carries the lock of `path`.
std::filesystem::path lockPathOf(const std::filesystem::path& path);

// What a lock's taking came to: held; busy (another process held it for
// the whole wait); or failed (the companion file could not be made or
// locked, for the system's reason).
enum class LockAnswer { Held, Busy, Failed };

// Holds the lock of the host file `path` for a scope. While another
// process holds it, it is tried again after naps of
// platform::kLockNapMicroseconds until the naps add up to `timeoutSeconds`
// (platform::waitForLock, the device's wait too) (0: tried once, no wait). The
// companion file is made when missing (mode 0644 under the usual umask),
// and cannot be in a missing folder.
class FileLock {
public:
  FileLock(const std::filesystem::path& path, double timeoutSeconds);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  LockAnswer answer() const { return answer_; }
  bool held() const { return answer_ == LockAnswer::Held; }
  // The system's reason (an errno value) when the answer is Failed, else 0.
  int error() const { return error_; }
  // Why it was not had (empty when held): the system's reason when the
  // companion file could not be made or locked, or that the wait ran out.
  const std::string& problem() const { return problem_; }
  // Gives up holding without unlocking: the descriptor to close, which
  // releases the lock (-1 when it was not held).
  int release();

private:
  int handle_ = -1;
  LockAnswer answer_ = LockAnswer::Failed;
  int error_ = 0;
  std::string problem_;
};

// How many naps every FileLock of this process has taken, waiting for a
// lock that another process held: a caller that must never wait (the home
// screen's main thread) is checked by it.
size_t lockNapsTaken();

} // namespace prefsfile
