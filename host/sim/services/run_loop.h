// The main run loop over a clock: virtual (moved on explicitly, for tests and
// scenarios) or real (live mode). Due work runs in time order and, at equal
// times, in the order it was scheduled; each piece runs in its own
// autorelease pool, with the clock reading the time it was due.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>

namespace hostsim {

enum class ClockMode { Virtual, Real };

class RunLoop {
public:
  using Work = std::function<void()>;

  explicit RunLoop(ClockMode mode);
  // Pending work goes with the process; what it holds is released here.
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  ClockMode mode() const { return mode_; }
  // Seconds since the process started.
  double now() const;

  // Runs `work` on the main run loop at absolute time `at` (never inside the
  // call that schedules it, even when `at` is not later than now). Returns a
  // handle for cancel().
  uint64_t schedule(double at, Work work);
  // Drops scheduled work that has not run; unknown handles are ignored.
  void cancel(uint64_t handle);

  // Watches a file descriptor; `onReadable` runs on the loop when it has data.
  void addSource(int fd, Work onReadable);
  void removeSource(int fd);

  // Runs what is due now, sources included, without waiting.
  void runDue();
  // Moves the clock on by `seconds`, running due work in order. A virtual
  // clock jumps from one piece of work to the next; a real clock waits,
  // and runs sources as they become readable.
  void runFor(double seconds);
  // Time of the earliest pending work, or a negative number when none.
  double nextDue() const;
  // `watch` runs after every piece of work and every source's handler (an
  // observer of what the work changed; empty: none).
  void setAfterWork(Work watch) { afterWork_ = std::move(watch); }

private:
  struct Key {
    double at;
    uint64_t handle;
    bool operator<(const Key& o) const { return at != o.at ? at < o.at : handle < o.handle; }
  };

  void runUntil(double limit);
  void pollSources(int timeoutMs);

  ClockMode mode_;
  std::chrono::steady_clock::time_point start_;
  double virtualNow_ = 0;
  uint64_t nextHandle_ = 1;
  std::map<Key, Work> queue_;
  std::unordered_map<uint64_t, double> when_;
  std::map<int, Work> sources_;
  Work afterWork_;
};

// A time as the run loop keeps it: to the nanosecond, so that 0.3 s + 0.7 s
// and 1.0 s are one moment and work due then runs in scheduling order.
// Times too large for a 64-bit count of nanoseconds (from about 9.2e9 s)
// are kept as they are.
double quantizeTime(double seconds);

// The latest time a virtual clock is moved to (about 126 years): far below
// where nanoseconds stop fitting in 64 bits, and late enough to see a timer
// of any 32-bit number of seconds fire. Scenarios refuse waits beyond it.
inline constexpr double kLatestClockTime = 4e9;

// Makes a real-clock runFor() in progress, and any later one, return at
// once: for a program's SIGINT/SIGTERM handler, so that a long wait stops
// promptly. Async-signal-safe. A virtual clock stops running work too.
void interruptRunLoop();
bool runLoopInterrupted();

// The process's main run loop; created by the platform at boot.
RunLoop& mainRunLoop();
// Whether a process is booted (and so has a main run loop).
bool hasMainRunLoop();
void setMainRunLoop(RunLoop* loop);

// Creates the main run loop (virtual clock at 0, or the real clock) and the
// main queue behind dispatch_get_main_queue()/dispatch_after_f().
void startRunLoop(ClockMode mode);
// Drops every pending piece of work (releasing what it held) and the loop.
void stopRunLoop();

} // namespace hostsim
