// NSTimer and -[NSObject performSelector:withObject:afterDelay:] on the main
// run loop.
//
// A scheduled timer is one piece of run-loop work that holds the timer; the
// timer holds its target and userInfo. So the run loop keeps the timer alive
// until it fires (one-shot) or is invalidated, and the timer keeps what it
// will send to. While the target's method runs, the timer, target and
// userInfo are held by the firing itself, so the method may invalidate the
// timer (or drop the last other reference to it) without pulling the
// objects out from under its own feet.
#include "host/sim/services/timers.h"

#include "host/sim/runtime/runtime.h"
#include "host/sim/services/run_loop.h"

#include <cmath>
#include <utility>

namespace hostsim {
namespace {

// An interval of zero or less (or NaN) means 0.1 ms, as on the device.
constexpr double kMinimumInterval = 0.0001;

struct TimerState {
  inline static Class cls = nullptr;
  Strong target;
  SEL selector = nullptr;
  Strong userInfo;
  double interval = 0;
  bool repeats = false;
  bool valid = false;
  // Counted in liveTimers(): a one-shot timer not yet fired or invalidated.
  bool counted = false;
  double fireAt = 0;
  uint64_t handle = 0; // the pending run-loop work; 0 when none

  ~TimerState() { uncount(); }
  void uncount();
};

size_t& liveCount() {
  static size_t count = 0;
  return count;
}

void TimerState::uncount() {
  if (!counted) return;
  counted = false;
  --liveCount();
}

void fire(id timer);

void arm(id timer, double at) {
  TimerState& t = state<TimerState>(timer);
  t.fireAt = quantizeTime(at);
  t.handle = mainRunLoop().schedule(t.fireAt, [keep = Strong(timer)] { fire(keep.get()); });
}

void invalidate(id timer) {
  TimerState& t = state<TimerState>(timer);
  if (!t.valid) return;
  Strong keep(timer); // cancelling may drop the run loop's reference
  t.valid = false;
  t.uncount();
  uint64_t handle = std::exchange(t.handle, 0);
  Strong target(std::move(t.target));
  Strong userInfo(std::move(t.userInfo));
  if (handle != 0) mainRunLoop().cancel(handle);
  // target, userInfo, then the timer itself are released here.
}

// The next firing of a repeating timer: one interval after the one due now,
// or, when the loop fell behind by several intervals, the first one still
// ahead (missed firings are not made up for).
double nextFiring(const TimerState& t) {
  double now = mainRunLoop().now();
  double next = t.fireAt + t.interval;
  if (next <= now) {
    next = t.fireAt + (std::floor((now - t.fireAt) / t.interval) + 1) * t.interval;
    while (next <= now)
      next += t.interval;
  }
  return next;
}

// Run by the run loop; the work that calls it holds the timer.
void fire(id timer) {
  TimerState& t = state<TimerState>(timer);
  t.handle = 0;
  if (!t.valid) return;
  t.uncount();
  Strong target = t.target;
  Strong userInfo = t.userInfo;
  sendAction(target.get(), t.selector, timer);
  if (!t.valid) return; // invalidated by the method it sent to
  if (t.repeats)
    arm(timer, nextFiring(t));
  else
    invalidate(timer);
}

// +[NSTimer scheduledTimerWithTimeInterval:target:selector:userInfo:repeats:]
id NSTimer_scheduled(id self, SEL, double interval, id target, SEL selector, id userInfo,
                     BOOL repeats) {
  Strong timer = Strong::adopt(send<id>(send<id>(self, "alloc"), "init"));
  TimerState& t = state<TimerState>(timer.get());
  t.interval = interval > 0 ? interval : kMinimumInterval;
  t.target = Strong(target);
  t.selector = selector;
  t.userInfo = Strong(userInfo);
  t.repeats = repeats;
  t.valid = true;
  if (!repeats) {
    t.counted = true;
    ++liveCount();
  }
  arm(timer.get(), mainRunLoop().now() + t.interval);
  return autoreleased(std::move(timer));
}

void NSTimer_invalidate(id self, SEL) {
  invalidate(self);
}
BOOL NSTimer_isValid(id self, SEL) {
  return state<TimerState>(self).valid;
}
// As on the device: the interval of a repeating timer, 0 for a one-shot one.
double NSTimer_timeInterval(id self, SEL) {
  const TimerState& t = state<TimerState>(self);
  return t.repeats ? t.interval : 0;
}
// nil once the timer is invalidated (a one-shot timer: once it has fired).
id NSTimer_userInfo(id self, SEL) {
  return state<TimerState>(self).userInfo.get();
}

// -[NSObject performSelector:withObject:afterDelay:]: a delay of zero or less
// runs on the loop's next pass, never inside this call.
void NSObject_performAfterDelay(id self, SEL, SEL selector, id argument, double delay) {
  RunLoop& loop = mainRunLoop();
  double at = loop.now() + (delay > 0 ? delay : 0);
  loop.schedule(at, [receiver = Strong(self), selector, arg = Strong(argument)] {
    sendAction(receiver.get(), selector, arg.get());
  });
}

} // namespace

void registerTimers() {
  // Timers of an earlier process are gone with its run loop.
  liveCount() = 0;
  Class object = objc_getClass("NSObject");
  addMethod(object, "performSelector:withObject:afterDelay:", NSObject_performAfterDelay);

  Class timer = defineClass<TimerState>("NSTimer", object);
  addClassMethod(
      timer, "scheduledTimerWithTimeInterval:target:selector:userInfo:repeats:", NSTimer_scheduled);
  addMethod(timer, "invalidate", NSTimer_invalidate);
  addMethod(timer, "isValid", NSTimer_isValid);
  addMethod(timer, "timeInterval", NSTimer_timeInterval);
  addMethod(timer, "userInfo", NSTimer_userInfo);
}

size_t liveTimers() {
  return liveCount();
}

double timerFireTime(id timer) {
  return state<TimerState>(timer).fireAt;
}

} // namespace hostsim
