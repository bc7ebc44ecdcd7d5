// NSTimer and -[NSObject performSelector:withObject:afterDelay:]: firing
// order on the main run loop, the 0.1 ms floor, and who keeps what alive.
#include "tests/unit/platform_fixture.h"

#include "host/sim/runtime/runtime.h"
#include "host/sim/services/timers.h"
#include "platform/dispatch.h"
#include "platform/foundation.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace platform;
using hostsim::Strong;
using hostsim::Weak;

namespace {

std::vector<std::string> gLog;
std::vector<id> gArgs;

// A target that logs what reached it; counts its frees.
struct Probe {
  inline static Class cls = nullptr;
  inline static int freed = 0;
  std::string label;
  int fired = 0;
  ~Probe() { ++freed; }
};

Probe& probeOf(id obj) {
  return hostsim::state<Probe>(obj);
}

void record(const std::string& what) {
  char at[32];
  std::snprintf(at, sizeof at, "@%.4f", hostsim::mainRunLoop().now());
  gLog.push_back(what + at);
}

void tick(id self, SEL) {
  ++probeOf(self).fired;
  record(probeOf(self).label);
}
void tickWith(id self, SEL, id argument) {
  ++probeOf(self).fired;
  gArgs.push_back(argument);
  record(probeOf(self).label);
}
// At its third firing invalidates the (repeating) timer that sent it, then
// still uses its own state: the firing must keep the target alive.
void stopOnThird(id self, SEL, id timer) {
  if (probeOf(self).fired == 2) NSTimer::invalidate(timer);
  ++probeOf(self).fired;
  record(probeOf(self).label);
}
// Schedules a perform 0.7 s later: due at 0.3 + 0.7, the same moment as 1.0.
void chain(id self, SEL) {
  record(probeOf(self).label);
  Strong late =
      Strong::adopt(hostsim::send<id>(hostsim::send<id>(as_id(Probe::cls), "alloc"), "init"));
  probeOf(late.get()).label = "late";
  NSObject::performSelector_withObject_afterDelay(late.get(), sel("tick"), nullptr, 0.7);
}

void logWork(void* context) {
  record(static_cast<const char*>(context));
}

class TimersTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gLog.clear();
    gArgs.clear();
    Probe::freed = 0;
    Class cls = hostsim::defineClass<Probe>("TimerProbe", objc_getClass("NSObject"));
    hostsim::addMethod(cls, "tick", tick);
    hostsim::addMethod(cls, "tickWith:", tickWith);
    hostsim::addMethod(cls, "stopOnThird:", stopOnThird);
    hostsim::addMethod(cls, "chain", chain);
  }

  static Strong probe(const char* label) {
    Strong s =
        Strong::adopt(hostsim::send<id>(hostsim::send<id>(as_id(Probe::cls), "alloc"), "init"));
    probeOf(s.get()).label = label;
    return s;
  }
  static id timer(double interval, id target, const char* selector, id userInfo = nullptr,
                  bool repeats = false) {
    return NSTimer::scheduledTimerWithTimeInterval_target_selector_userInfo_repeats(
        interval, target, sel(selector), userInfo, repeats);
  }

  // Ends this process and boots a new one on the same root.
  void restart() {
    objc_autoreleasePoolPop(pool_);
    hostsim::shutdownPlatform();
    hostsim::bootPlatform({root_, clock_});
    pool_ = objc_autoreleasePoolPush();
  }
};

TEST_F(TimersTest, WorkRunsInTimeOrderThenInSchedulingOrder) {
  Strong t1 = probe("timer-1");
  Strong p05 = probe("perform-0.5");
  Strong p1 = probe("perform-1");
  Strong t025 = probe("timer-0.25");
  Strong chainer = probe("chain-0.3");
  timer(1.0, t1.get(), "tick");
  NSObject::performSelector_withObject_afterDelay(p05.get(), sel("tick"), nullptr, 0.5);
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_SEC), dispatch_get_main_queue(),
                   const_cast<char*>("dispatch-1"), logWork);
  NSObject::performSelector_withObject_afterDelay(p1.get(), sel("tick"), nullptr, 1.0);
  timer(0.25, t025.get(), "tick");
  timer(0.3, chainer.get(), "chain");
  EXPECT_TRUE(gLog.empty()) << "nothing runs inside the call that schedules it";

  wait(0.99);
  EXPECT_EQ(gLog, (std::vector<std::string>{"timer-0.25@0.2500", "chain-0.3@0.3000",
                                            "perform-0.5@0.5000"}));
  wait(0.01);
  EXPECT_EQ(gLog, (std::vector<std::string>{
                      "timer-0.25@0.2500", "chain-0.3@0.3000", "perform-0.5@0.5000",
                      "timer-1@1.0000", "dispatch-1@1.0000", "perform-1@1.0000", "late@1.0000"}));
}

// Nanoseconds of 1e10 s no longer fit in 64 bits: such times are kept as
// they are, not rounded through an overflow.
TEST_F(TimersTest, TheClockMovesOnPastWhereNanosecondsOverflow) {
  Strong late = probe("late");
  timer(2e10, late.get(), "tick");
  wait(1e10);
  EXPECT_EQ(hostsim::mainRunLoop().now(), 1e10);
  wait(1e10);
  EXPECT_EQ(hostsim::mainRunLoop().now(), 2e10);
  EXPECT_EQ(probeOf(late.get()).fired, 1);
}

// libdispatch holds a wall-clock time below 2^62 ns since the epoch: one at
// or past it is DISPATCH_TIME_FOREVER, whose work never runs, not a time
// rounded through an overflow that is always due.
TEST_F(TimersTest, WallClockTimesPastWhatLibdispatchHoldsNeverRun) {
  const timespec edge = {4611686018, 500000000};
  const timespec far = {9300000000, 0};
  EXPECT_EQ(dispatch_walltime(&edge, 0), DISPATCH_TIME_FOREVER);
  EXPECT_EQ(dispatch_walltime(&far, 0), DISPATCH_TIME_FOREVER);
  dispatch_after_f(dispatch_walltime(&far, 0), dispatch_get_main_queue(), const_cast<char*>("far"),
                   logWork);
  wait(1);
  EXPECT_TRUE(gLog.empty());
}

TEST_F(TimersTest, IntervalOfZeroOrLessFiresAfterATenthOfAMillisecond) {
  Strong zero = probe("zero");
  Strong negative = probe("negative");
  Strong notANumber = probe("nan");
  timer(0, zero.get(), "tick");
  timer(-5, negative.get(), "tick");
  timer(std::nan(""), notANumber.get(), "tick");
  EXPECT_TRUE(gLog.empty());
  hostsim::mainRunLoop().runDue();
  EXPECT_TRUE(gLog.empty()) << "not due at the moment it was scheduled";
  wait(0.00009);
  EXPECT_TRUE(gLog.empty());
  wait(0.00001);
  EXPECT_EQ(gLog, (std::vector<std::string>{"zero@0.0001", "negative@0.0001", "nan@0.0001"}));
}

TEST_F(TimersTest, PerformWithNoDelayRunsOnTheNextPassNotInsideTheCall) {
  Strong now = probe("now");
  Strong past = probe("past");
  NSObject::performSelector_withObject_afterDelay(now.get(), sel("tick"), nullptr, 0);
  NSObject::performSelector_withObject_afterDelay(past.get(), sel("tick"), nullptr, -1);
  EXPECT_TRUE(gLog.empty());
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(gLog, (std::vector<std::string>{"now@0.0000", "past@0.0000"}));
}

TEST_F(TimersTest, OneShotTimerHoldsTargetAndUserInfoUntilItFires) {
  Weak target;
  Weak info;
  Weak weakTimer;
  hostsim::withPool([&] {
    Strong p = probe("held");
    Strong userInfo = probe("info");
    target = Weak(p.get());
    info = Weak(userInfo.get());
    id t = timer(2.0, p.get(), "tickWith:", userInfo.get());
    weakTimer = Weak(t);
    EXPECT_EQ(hostsim::send<id>(t, "userInfo"), userInfo.get());
    EXPECT_TRUE(NSTimer::isValid(t));
  });
  // Only the timer holds them now, and only the run loop holds the timer.
  wait(1.0);
  ASSERT_TRUE(target.lock());
  EXPECT_TRUE(info.lock());
  EXPECT_TRUE(weakTimer.lock());
  EXPECT_EQ(probeOf(target.lock().get()).fired, 0);

  wait(1.0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"held@2.0000"}));
  ASSERT_EQ(gArgs.size(), 1u);
  EXPECT_FALSE(target.lock()) << "released once fired";
  EXPECT_FALSE(info.lock());
  EXPECT_FALSE(weakTimer.lock());
  EXPECT_EQ(hostsim::liveInstances(objc_getClass("NSTimer")), 0u);
}

TEST_F(TimersTest, TimerIsTheArgumentWhenTheMethodTakesOne) {
  Strong withArgument = probe("with");
  Strong without = probe("without");
  id t = timer(1.0, withArgument.get(), "tickWith:");
  id u = timer(1.0, without.get(), "tick");
  wait(1.0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"with@1.0000", "without@1.0000"}));
  EXPECT_EQ(gArgs, (std::vector<id>{t}));
  EXPECT_FALSE(NSTimer::isValid(t)) << "a one-shot timer is done once fired";
  EXPECT_FALSE(NSTimer::isValid(u));
  EXPECT_EQ(hostsim::send<id>(t, "userInfo"), nullptr);
}

TEST_F(TimersTest, InvalidateCancelsAndReleasesAtOnceAndIsHarmlessAgain) {
  Weak target;
  Weak info;
  id t = nullptr;
  hostsim::withPool([&] {
    Strong p = probe("cancelled");
    Strong userInfo = probe("info");
    target = Weak(p.get());
    info = Weak(userInfo.get());
    t = objc_retain(timer(1.0, p.get(), "tick", userInfo.get()));
  });
  ASSERT_TRUE(target.lock());
  NSTimer::invalidate(t);
  EXPECT_FALSE(NSTimer::isValid(t));
  EXPECT_FALSE(target.lock()) << "invalidate releases the target";
  EXPECT_FALSE(info.lock());
  EXPECT_EQ(hostsim::retainCount(t), 1u) << "the run loop let go of the timer";
  NSTimer::invalidate(t);
  NSTimer::invalidate(nullptr);
  wait(5.0);
  EXPECT_TRUE(gLog.empty());
  objc_release(t);

  // After firing, invalidate changes nothing.
  Strong fired = probe("fired");
  id u = timer(1.0, fired.get(), "tick");
  wait(1.0);
  NSTimer::invalidate(u);
  wait(1.0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"fired@6.0000"}));
  EXPECT_EQ(hostsim::retainCount(fired.get()), 1u);
}

TEST_F(TimersTest, RepeatingTimerRearmsUntilItsOwnCallbackInvalidatesIt) {
  Weak target;
  id t = nullptr;
  hostsim::withPool([&] {
    Strong p = probe("repeat");
    target = Weak(p.get());
    t = objc_retain(timer(0.5, p.get(), "stopOnThird:", nullptr, true));
  });
  EXPECT_DOUBLE_EQ(hostsim::send<double>(t, "timeInterval"), 0.5);
  wait(10.0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"repeat@0.5000", "repeat@1.0000", "repeat@1.5000"}));
  EXPECT_FALSE(NSTimer::isValid(t));
  EXPECT_FALSE(target.lock());
  EXPECT_EQ(hostsim::retainCount(t), 1u) << "the run loop let go of the timer";
  objc_release(t);

  Strong once = probe("once");
  EXPECT_DOUBLE_EQ(hostsim::send<double>(timer(0.5, once.get(), "tick"), "timeInterval"), 0.0)
      << "a one-shot timer reports no interval";
}

TEST_F(TimersTest, FireTimeIsTheRunLoopTimeOfTheNextFiring) {
  Strong p = probe("p");
  wait(0.1);
  id t = timer(0.2, p.get(), "tick", nullptr, true);
  EXPECT_EQ(hostsim::timerFireTime(t), 0.3) << "the time the run loop will read, not 0.1 + 0.2";
  wait(0.2);
  EXPECT_EQ(gLog, std::vector<std::string>{"p@0.3000"});
  EXPECT_EQ(hostsim::timerFireTime(t), 0.5);
  NSTimer::invalidate(t);
  EXPECT_EQ(hostsim::timerFireTime(t), 0.5);
}

TEST_F(TimersTest, LiveTimersCountsPendingOneShotTimers) {
  Strong p = probe("p");
  id first = timer(1.0, p.get(), "tick");
  id second = timer(2.0, p.get(), "tick");
  timer(3.0, p.get(), "tick");
  id repeating = timer(1.0, p.get(), "tick", nullptr, true);
  EXPECT_EQ(hostsim::liveTimers(), 3u) << "repeating timers are not counted";
  NSTimer::invalidate(second);
  EXPECT_EQ(hostsim::liveTimers(), 2u);
  wait(1.0);
  EXPECT_FALSE(NSTimer::isValid(first));
  EXPECT_EQ(hostsim::liveTimers(), 1u);
  wait(5.0);
  EXPECT_EQ(hostsim::liveTimers(), 0u);
  EXPECT_TRUE(NSTimer::isValid(repeating));
  NSTimer::invalidate(repeating);
  EXPECT_EQ(hostsim::liveTimers(), 0u);
}

TEST_F(TimersTest, PerformHoldsReceiverAndArgumentAndPassesTheArgumentOnlyWhenTaken) {
  Weak receiver;
  Weak argument;
  Weak plainReceiver;
  Weak unusedArgument;
  id passed = nullptr;
  hostsim::withPool([&] {
    Strong r = probe("with");
    Strong a = probe("argument");
    Strong plain = probe("without");
    Strong unused = probe("unused");
    receiver = Weak(r.get());
    argument = Weak(a.get());
    plainReceiver = Weak(plain.get());
    unusedArgument = Weak(unused.get());
    passed = a.get();
    NSObject::performSelector_withObject_afterDelay(r.get(), sel("tickWith:"), a.get(), 1.0);
    NSObject::performSelector_withObject_afterDelay(plain.get(), sel("tick"), unused.get(), 1.0);
  });
  wait(0.5);
  ASSERT_TRUE(receiver.lock());
  ASSERT_TRUE(argument.lock());
  ASSERT_TRUE(plainReceiver.lock());
  ASSERT_TRUE(unusedArgument.lock());
  EXPECT_TRUE(gLog.empty());

  wait(0.5);
  EXPECT_EQ(gLog, (std::vector<std::string>{"with@1.0000", "without@1.0000"}));
  EXPECT_EQ(gArgs, (std::vector<id>{passed}));
  EXPECT_FALSE(receiver.lock()) << "released once run";
  EXPECT_FALSE(argument.lock());
  EXPECT_FALSE(plainReceiver.lock());
  EXPECT_FALSE(unusedArgument.lock());
}

TEST_F(TimersTest, WorkDroppedAtShutdownReleasesWhatItHeld) {
  hostsim::withPool([&] {
    Strong target = probe("target");
    Strong userInfo = probe("info");
    Strong receiver = probe("receiver");
    Strong argument = probe("argument");
    timer(5.0, target.get(), "tick", userInfo.get());
    timer(5.0, target.get(), "tick", userInfo.get(), true);
    NSObject::performSelector_withObject_afterDelay(receiver.get(), sel("tickWith:"),
                                                    argument.get(), 5.0);
  });
  wait(1.0);
  EXPECT_EQ(Probe::freed, 0);
  EXPECT_EQ(hostsim::liveTimers(), 1u);
  restart();
  EXPECT_EQ(Probe::freed, 4);
  EXPECT_TRUE(gLog.empty());
  EXPECT_EQ(hostsim::liveTimers(), 0u);
}

} // namespace
