// The in-process notification center: one registration per call, delivery
// in registration order inside the post, weak observers.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/notification_center.h"
#include "host/sim/services/trace.h"
#include "platform/foundation.h"

#include <string>
#include <vector>

using namespace platform;
using hostsim::Strong;

namespace {

std::vector<std::string> gLog;
hostsim::Strong* gVictim = nullptr; // freed by the first handler
id gLateObserver = nullptr;

struct Tag {
  inline static Class cls = nullptr;
  std::string name;
};

void handle(id self, SEL s) {
  gLog.push_back(hostsim::state<Tag>(self).name + ":" + sel_getName(s));
}
void handleWithNote(id self, SEL, id note) {
  gLog.push_back(hostsim::state<Tag>(self).name + ":" +
                 hostsim::stringOf(hostsim::send<id>(note, "name")));
}
void freeVictim(id self, SEL s) {
  handle(self, s);
  *gVictim = Strong();
}
void addLate(id self, SEL s) {
  handle(self, s);
  NSNotificationCenter::addObserver_selector_name_object(
      NSNotificationCenter::defaultCenter(), gLateObserver, sel("ping"), NSSTR("n"), nullptr);
}

class NotificationCenterTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gLog.clear();
    cls_ = hostsim::defineClass<Tag>("Listener", objc_getClass("NSObject"));
    hostsim::addMethod(cls_, "ping", handle);
    hostsim::addMethod(cls_, "pong", handle);
    hostsim::addMethod(cls_, "note:", handleWithNote);
    hostsim::addMethod(cls_, "freeVictim", freeVictim);
    hostsim::addMethod(cls_, "addLate", addLate);
  }
  Strong listener(const char* name) {
    Strong s = Strong::adopt(hostsim::send<id>(hostsim::send<id>(as_id(cls_), "alloc"), "init"));
    hostsim::state<Tag>(s.get()).name = name;
    return s;
  }
  void observe(id who, const char* selector, const char* name, id object = nullptr) {
    NSNotificationCenter::addObserver_selector_name_object(
        NSNotificationCenter::defaultCenter(), who, sel(selector),
        NSString::stringWithUTF8String(name), object);
  }
  void post(const char* name, id object = nullptr) {
    NSNotificationCenter::postNotificationName_object_userInfo(
        NSNotificationCenter::defaultCenter(), NSString::stringWithUTF8String(name), object,
        nullptr);
  }
  Class cls_ = nullptr;
};

TEST_F(NotificationCenterTest, EveryRegistrationDeliversOnceInOrder) {
  Strong a = listener("a");
  Strong b = listener("b");
  observe(a.get(), "ping", "n");
  observe(b.get(), "pong", "n");
  observe(a.get(), "ping", "n"); // a duplicate is a registration of its own
  observe(b.get(), "note:", "n");
  observe(b.get(), "ping", "other");
  post("n");
  EXPECT_EQ(gLog, (std::vector<std::string>{"a:ping", "b:pong", "a:ping", "b:n"}));
  EXPECT_EQ(hostsim::liveRegistrations("n"), 4u);
  EXPECT_EQ(hostsim::postCount("n"), 1u);
  gLog.clear();
  post("N"); // names are case-sensitive
  EXPECT_TRUE(gLog.empty());
}

TEST_F(NotificationCenterTest, ObjectFiltersTheSender) {
  Strong a = listener("a");
  Strong sender = listener("sender");
  observe(a.get(), "ping", "n", sender.get());
  post("n");
  EXPECT_TRUE(gLog.empty());
  post("n", sender.get());
  EXPECT_EQ(gLog.size(), 1u);
}

TEST_F(NotificationCenterTest, FreedObserversReceiveNothing) {
  Strong a = listener("a");
  Strong b = listener("b");
  observe(a.get(), "ping", "n");
  observe(b.get(), "ping", "n");
  a = Strong();
  post("n");
  EXPECT_EQ(gLog, (std::vector<std::string>{"b:ping"}));
  EXPECT_EQ(hostsim::liveRegistrations("n"), 1u);
}

TEST_F(NotificationCenterTest, ObserverFreedDuringAPostIsSkipped) {
  Strong killer = listener("killer");
  Strong victim = listener("victim");
  gVictim = &victim;
  observe(killer.get(), "freeVictim", "n");
  observe(victim.get(), "ping", "n");
  post("n");
  EXPECT_EQ(gLog, (std::vector<std::string>{"killer:freeVictim"}));
}

TEST_F(NotificationCenterTest, RegistrationAddedDuringAPostWaitsForTheNext) {
  Strong adder = listener("adder");
  Strong late = listener("late");
  gLateObserver = late.get();
  observe(adder.get(), "addLate", "n");
  post("n");
  EXPECT_EQ(gLog, (std::vector<std::string>{"adder:addLate"}));
  gLog.clear();
  post("n");
  EXPECT_EQ(gLog, (std::vector<std::string>{"adder:addLate", "late:ping"}));
}

TEST_F(NotificationCenterTest, PostIsTracedBeforeItsDeliveries) {
  std::vector<std::string> events;
  hostsim::trace::setSink([&](const hostsim::trace::Event& e) {
    std::string line = e["event"].get<std::string>() + " " + e["name"].get<std::string>();
    if (e.contains("to"))
      line += " " + e["to"].get<std::string>() + " " + e["selector"].get<std::string>();
    events.push_back(line);
  });
  Strong a = listener("a");
  observe(a.get(), "ping", "n");
  post("n");
  hostsim::trace::setSink(nullptr);
  EXPECT_EQ(events, (std::vector<std::string>{"post n", "deliver n Listener ping"}));
}

TEST_F(NotificationCenterTest, RemoveObserverEndsItsRegistrations) {
  Strong a = listener("a");
  observe(a.get(), "ping", "n");
  observe(a.get(), "pong", "m");
  NSNotificationCenter::removeObserver(NSNotificationCenter::defaultCenter(), a.get());
  post("n");
  post("m");
  EXPECT_TRUE(gLog.empty());
}

} // namespace
