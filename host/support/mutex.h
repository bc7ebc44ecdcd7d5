// A mutex whose rules the compiler checks. Data is marked with the mutex
// that guards it, and routines with the mutex they need held or must not
// hold; clang's -Wthread-safety (the threads.annotations test) then refuses
// a read or write of guarded data without its lock:
//
//   support::Mutex mutex_;
//   std::deque<Entry> entries_ QUELLINE_GUARDED_BY(mutex_);
//   void fold(const Entry&) QUELLINE_REQUIRES(mutex_);
//   ...
//   support::MutexLock lock(mutex_);  // held until the end of the scope
//
// Other compilers see plain std::mutex and std::lock_guard. A condition
// variable waits on it as std::condition_variable_any.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QUELLINE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUELLINE_THREAD_ANNOTATION(x)
#endif

#define QUELLINE_CAPABILITY(name) QUELLINE_THREAD_ANNOTATION(capability(name))
#define QUELLINE_SCOPED_CAPABILITY QUELLINE_THREAD_ANNOTATION(scoped_lockable)
#define QUELLINE_GUARDED_BY(mutex) QUELLINE_THREAD_ANNOTATION(guarded_by(mutex))
#define QUELLINE_REQUIRES(...) QUELLINE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QUELLINE_EXCLUDES(...) QUELLINE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QUELLINE_ACQUIRE(...) QUELLINE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QUELLINE_RELEASE(...) QUELLINE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QUELLINE_ACQUIRED_BEFORE(...) QUELLINE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

namespace support {

class QUELLINE_CAPABILITY("mutex") Mutex {
public:
  void lock() QUELLINE_ACQUIRE() { mutex_.lock(); }
  void unlock() QUELLINE_RELEASE() { mutex_.unlock(); }

private:
  std::mutex mutex_;
};

// Holds `mutex` from its making to the end of its scope. A condition
// variable (std::condition_variable_any) may let go of it while it waits.
class QUELLINE_SCOPED_CAPABILITY MutexLock {
public:
  explicit MutexLock(Mutex& mutex) QUELLINE_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() QUELLINE_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For std::condition_variable_any, which unlocks and locks again around
  // its wait: the mutex is held whenever the caller's code runs.
  void lock() QUELLINE_THREAD_ANNOTATION(no_thread_safety_analysis) { mutex_.lock(); }
  void unlock() QUELLINE_THREAD_ANNOTATION(no_thread_safety_analysis) { mutex_.unlock(); }

private:
  Mutex& mutex_;
};

} // namespace support
