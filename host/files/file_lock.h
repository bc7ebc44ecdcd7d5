// The advisory lock of a file (platform/filelock.h): flock(2) on the
// companion file PATH.lock, since the file itself is replaced by every
// atomic write. The toggle module takes it through platform_lockFile; the
// preference editor and the simulator's edits take it here, on host paths.
#pragma once

#include <filesystem>
#include <string>

namespace prefsfile {

// The companion file that carries the lock of `path`.
std::filesystem::path lockPathOf(const std::filesystem::path& path);

// Holds the lock of the host file `path` for a scope, waiting at most
// `timeoutSeconds` for it; `held()` says whether it was had in time (the
// companion file is made when missing, and cannot be in a missing folder).
class FileLock {
public:
  FileLock(const std::filesystem::path& path, double timeoutSeconds);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return handle_ >= 0; }
  // Why it was not had (empty when held): the system's reason when the
  // companion file could not be made or locked, or that the wait ran out
  // (only then was there a wait: another process holds the lock).
  const std::string& problem() const { return problem_; }
  // Whether the lock was not had because another process held it for the
  // whole wait.
  bool timedOut() const { return timedOut_; }
  // Gives up holding without unlocking: the descriptor to close, which
  // releases the lock (-1 when it was not held).
  int release();

private:
  int handle_ = -1;
  std::string problem_;
  bool timedOut_ = false;
};

} // namespace prefsfile
