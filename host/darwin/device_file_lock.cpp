// The preference file's lock on the device: open(2) of the path followed by
// PLATFORM_LOCK_SUFFIX and flock(2), waited for as platform::waitForLock
// waits on both sides.
#include "platform/filelock.h"

#include <stddef.h>

extern "C" {
// Variadic, as the C library defines it: Apple's arm64 convention passes
// the mode on the stack, where open(2) reads it.
int open(const char* path, int flags, ...);
int flock(int fd, int operation);
int close(int fd);
int usleep(unsigned int microseconds);
int* __error(void);
}

namespace {

// <fcntl.h>, <sys/file.h> and <errno.h> of the device.
constexpr int kReadWrite = 0x0002;
constexpr int kNoFollow = 0x0100;
constexpr int kCreate = 0x0200;
constexpr int kCloseOnExec = 0x01000000;
constexpr int kLockExclusive = 2;
constexpr int kLockNonBlocking = 4;
constexpr int kInterrupted = 4;
constexpr int kInvalidArgument = 22;
constexpr int kWouldBlock = 35;
constexpr int kNameTooLong = 63;
constexpr size_t kPathMax = 1024;

} // namespace

extern "C" {

int platform_lockFile(const char* path, double timeoutSeconds, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  if (path == nullptr) {
    *error = kInvalidArgument;
    return -1;
  }
  constexpr char kSuffix[] = PLATFORM_LOCK_SUFFIX;
  char lockPath[kPathMax];
  size_t length = 0;
  for (; path[length] != '\0'; ++length) {
    if (length + sizeof(kSuffix) >= kPathMax) {
      *error = kNameTooLong;
      return -1;
    }
    lockPath[length] = path[length];
  }
  for (size_t i = 0; i < sizeof(kSuffix); ++i)
    lockPath[length + i] = kSuffix[i];

  int fd = open(lockPath, kReadWrite | kCreate | kCloseOnExec | kNoFollow, 0644);
  if (fd < 0) {
    *error = *__error();
    return -1;
  }
  const int reason = platform::waitForLock(
      timeoutSeconds,
      [fd] { return flock(fd, kLockExclusive | kLockNonBlocking) == 0 ? 0 : *__error(); },
      [](int r) { return r == kWouldBlock || r == kInterrupted; },
      [] { usleep(platform::kLockNapMicroseconds); });
  if (reason == 0) return fd;
  if (reason > 0) *error = reason;
  close(fd);
  return -1;
}

void platform_unlockFile(int handle) {
  if (handle >= 0) close(handle); // closing the descriptor releases the lock
}

} // extern "C"
