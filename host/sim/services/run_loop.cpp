#include "host/sim/services/run_loop.h"

#include "host/sim/runtime/runtime.h"
#include "host/sim/services/wall_clock.h"
#include "platform/dispatch.h"
#include "platform/objc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <poll.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace hostsim {
namespace {

volatile std::sig_atomic_t interrupted = 0;

// A real wait sleeps in slices of at most this long, so that a wait of any
// length stays interruptible even when the signal comes just before a sleep.
constexpr double kLongestSleepSeconds = 0.1;

RunLoop*& current() {
  static RunLoop* loop = nullptr;
  return loop;
}

} // namespace

void interruptRunLoop() {
  interrupted = 1;
}

bool runLoopInterrupted() {
  return interrupted != 0;
}

RunLoop::RunLoop(ClockMode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

RunLoop::~RunLoop() {
  while (!queue_.empty())
    queue_.erase(queue_.begin());
}

double RunLoop::now() const {
  if (mode_ == ClockMode::Virtual) return virtualNow_;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

uint64_t RunLoop::schedule(double at, Work work) {
  uint64_t handle = nextHandle_++;
  if (!(at >= 0)) at = 0; // NaN or negative: as soon as possible
  at = quantizeTime(at);
  queue_.emplace(Key{at, handle}, std::move(work));
  when_.emplace(handle, at);
  return handle;
}

void RunLoop::cancel(uint64_t handle) {
  auto it = when_.find(handle);
  if (it == when_.end()) return;
  // Move the work out first: releasing what it holds may schedule more.
  auto node = queue_.extract(Key{it->second, handle});
  when_.erase(it);
}

void RunLoop::addSource(int fd, Work onReadable) {
  sources_[fd] = std::move(onReadable);
}

void RunLoop::removeSource(int fd) {
  sources_.erase(fd);
}

void RunLoop::runDue() {
  pollSources(0);
  runUntil(now());
}

void RunLoop::runFor(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  double target = quantizeTime(now() + seconds);
  if (mode_ == ClockMode::Virtual) {
    pollSources(0);
    runUntil(target);
    virtualNow_ = std::max(virtualNow_, target);
    runDue();
    return;
  }
  while (interrupted == 0) {
    runDue();
    double current = now();
    if (current >= target) return;
    double wait = std::min(target - current, kLongestSleepSeconds);
    double next = nextDue();
    if (next >= 0) wait = std::min(wait, std::max(0.0, next - current));
    pollSources(static_cast<int>(std::ceil(wait * 1000)));
  }
}

double RunLoop::nextDue() const {
  return queue_.empty() ? -1 : queue_.begin()->first.at;
}

// Runs work due no later than `limit`, in order; the virtual clock reads
// each piece's due time while it runs.
void RunLoop::runUntil(double limit) {
  while (interrupted == 0 && !queue_.empty() && queue_.begin()->first.at <= limit) {
    auto node = queue_.extract(queue_.begin());
    when_.erase(node.key().handle);
    if (mode_ == ClockMode::Virtual) virtualNow_ = std::max(virtualNow_, node.key().at);
    {
      AutoreleasePool pool;
      node.mapped()();
    }
    if (afterWork_) afterWork_();
  }
}

void RunLoop::pollSources(int timeoutMs) {
  if (sources_.empty()) {
    if (timeoutMs > 0) {
      struct timespec ts {
        timeoutMs / 1000, (timeoutMs % 1000) * 1000000L
      };
      nanosleep(&ts, nullptr);
    }
    return;
  }
  std::vector<pollfd> fds;
  for (const auto& [fd, work] : sources_)
    fds.push_back({fd, POLLIN, 0});
  int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  if (ready <= 0) return;
  for (const pollfd& p : fds) {
    if ((p.revents & POLLIN) == 0) continue;
    auto it = sources_.find(p.fd);
    if (it == sources_.end()) continue;
    Work work = it->second; // the handler may remove its own source
    {
      AutoreleasePool pool;
      work();
    }
    if (afterWork_) afterWork_();
  }
}

double quantizeTime(double seconds) {
  // llround is undefined past the range of long long.
  if (!(std::fabs(seconds) < 9e9)) return seconds;
  return static_cast<double>(std::llround(seconds * 1e9)) / 1e9;
}

RunLoop& mainRunLoop() {
  if (current() == nullptr) {
    std::fprintf(stderr, "main run loop used before the platform booted\n");
    std::abort();
  }
  return *current();
}

bool hasMainRunLoop() {
  return current() != nullptr;
}

void setMainRunLoop(RunLoop* loop) {
  current() = loop;
}

void startRunLoop(ClockMode mode) {
  setMainRunLoop(new RunLoop(mode));
}

void stopRunLoop() {
  RunLoop* loop = current();
  delete loop;
  setMainRunLoop(nullptr);
}

} // namespace hostsim

// libdispatch's main queue, on the main run loop.
struct dispatch_queue_s {
  const char* label;
};

extern "C" {

dispatch_queue_s _dispatch_main_q{"com.apple.main-thread"};

// A dispatch time is the clock's nanoseconds, offset by one so that no real
// time equals DISPATCH_TIME_NOW (0).
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
  if (static_cast<int64_t>(when) < 0) { // a wall-clock time stays one
    int64_t ns = -static_cast<int64_t>(when) + delta;
    return static_cast<dispatch_time_t>(-(ns < 2 ? 2 : ns));
  }
  double base = when == DISPATCH_TIME_NOW ? hostsim::mainRunLoop().now()
                                          : static_cast<double>(when - 1) / 1e9;
  double at = base + static_cast<double>(delta) / 1e9;
  if (at < 0) at = 0;
  return static_cast<dispatch_time_t>(std::llround(at * 1e9)) + 1;
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
  if (queue != dispatch_get_main_queue() || work == nullptr) {
    std::fprintf(stderr, "dispatch_after_f: only the main queue exists in this process\n");
    std::abort();
  }
  if (when == DISPATCH_TIME_FOREVER) return; // never due
  if (static_cast<int64_t>(when) < 0) {
    hostsim::scheduleAtWallClock(static_cast<double>(-static_cast<int64_t>(when)) / 1e9,
                                 [work, context] { work(context); });
    return;
  }
  double at = when == DISPATCH_TIME_NOW ? hostsim::mainRunLoop().now()
                                        : static_cast<double>(when - 1) / 1e9;
  hostsim::mainRunLoop().schedule(at, [work, context] { work(context); });
}

} // extern "C"
