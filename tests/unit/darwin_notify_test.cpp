// The Darwin notify center: delivery on the run loop and never inside the
// post, only to registered names, endpoint housekeeping (stale sockets, long
// roots, full queues), and posts between two real processes.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/darwin_notify.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/trace.h"
#include "platform/corefoundation.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = std::chrono::seconds(10);

struct Received {
  const void* observer;
  std::string name;
  size_t traceEventsBefore; // trace events emitted before the callback ran
};
std::vector<Received> gReceived;
std::vector<hostsim::trace::Event> gTrace;

int gFirst = 0;
int gSecond = 0;

void onNote(CFNotificationCenterRef center, void* observer, CFNotificationName name,
            const void* object, CFDictionaryRef userInfo) {
  EXPECT_EQ(center, CFNotificationCenterGetDarwinNotifyCenter());
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(userInfo, nullptr);
  gReceived.push_back({observer, hostsim::stringOf(bridge(name)), gTrace.size()});
}

// A name as the logic passes one: a string it does not own.
CFStringRef cf(const std::string& text) {
  return reinterpret_cast<CFStringRef>(
      hostsim::send<id>(as_id(objc_getClass("NSString")), "stringWithUTF8String:", text.c_str()));
}

std::vector<std::string> socketsIn(const fs::path& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_socket()) files.push_back(it->path().filename().string());
  return files;
}

// A socket bound in `folder` under `file`, never read from.
int bindRaw(const fs::path& folder, const std::string& file) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = (folder / file).string();
  if (fd < 0 || path.size() >= sizeof addr.sun_path) return -1;
  path.copy(addr.sun_path, path.size());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// What the peer wrote, read once within the patience bound ("" on EOF or
// time-out).
std::string readWithin(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0) return {};
  char buffer[512];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void recordInto(CFNotificationCenterRef, void* observer, CFNotificationName name, const void*,
                CFDictionaryRef) {
  static_cast<std::vector<std::string>*>(observer)->push_back(hostsim::stringOf(bridge(name)));
}

// A second process of the same device root: ends the platform it inherited
// from the test process, boots its own (real clock), registers "ping",
// reports readiness, waits for a delivery, reports what it received, then
// answers with a "pong" post.
[[noreturn]] void runPeer(const fs::path& root, int readyFd, int reportFd) {
  int status = 1;
  try {
    hostsim::shutdownPlatform();
    hostsim::bootPlatform({root, hostsim::ClockMode::Real});
    std::vector<std::string> got;
    CFNotificationCenterRef center = CFNotificationCenterGetDarwinNotifyCenter();
    CFNotificationCenterAddObserver(center, &got, recordInto, CFSTR("com.quelline.test.ping"),
                                    nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);
    writeAll(readyFd, "ready");
    auto deadline = Clock::now() + kPatience;
    while (got.empty() && Clock::now() < deadline)
      hostsim::mainRunLoop().runFor(0.05);
    std::string report;
    for (const std::string& name : got)
      report += (report.empty() ? "" : ",") + name;
    writeAll(reportFd, report);
    CFNotificationCenterPostNotification(center, CFSTR("com.quelline.test.pong"), nullptr, nullptr,
                                         true);
    hostsim::shutdownPlatform();
    status = 0;
  } catch (...) {
    status = 2;
  }
  ::_exit(status);
}

class DarwinNotifyTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gReceived.clear();
    gTrace.clear();
    hostsim::trace::setSink([](const hostsim::trace::Event& e) { gTrace.push_back(e); });
  }
  void TearDown() override {
    hostsim::trace::setSink({});
    PlatformTest::TearDown();
  }

  static CFNotificationCenterRef center() { return CFNotificationCenterGetDarwinNotifyCenter(); }
  static void observe(const std::string& name, const void* observer = &gFirst) {
    CFNotificationCenterAddObserver(center(), observer, onNote, cf(name), nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
  }
  static void post(const std::string& name) {
    CFNotificationCenterPostNotification(center(), cf(name), nullptr, nullptr, true);
  }
  static std::vector<std::string> receivedNames() {
    std::vector<std::string> names;
    for (const Received& r : gReceived)
      names.push_back(r.name);
    return names;
  }
  static std::vector<std::string> traced(const char* kind) {
    std::vector<std::string> names;
    for (const auto& e : gTrace)
      if (e["event"] == kind) names.push_back(e["name"].get<std::string>());
    return names;
  }
  fs::path folder() const { return hostsim::darwinNotifyFolder(root_); }

  // Runs the loop until `done`, for at most the patience bound.
  static bool pumpUntil(const std::function<bool()>& done) {
    auto deadline = Clock::now() + kPatience;
    for (;;) {
      hostsim::mainRunLoop().runDue();
      if (done()) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Ends this process and boots a new one on `root`.
  void restartOn(const fs::path& root) {
    hostsim::trace::setSink({});
    objc_autoreleasePoolPop(pool_);
    hostsim::shutdownPlatform();
    hostsim::bootPlatform({root, clock_});
    pool_ = objc_autoreleasePoolPush();
    hostsim::trace::setSink([](const hostsim::trace::Event& e) { gTrace.push_back(e); });
  }
};

TEST_F(DarwinNotifyTest, DeliveredOnTheRunLoopNeverInsideThePost) {
  observe("com.quelline.a");
  post("com.quelline.a");
  EXPECT_TRUE(gReceived.empty()) << "not inside the post";
  EXPECT_EQ(traced("darwin"), std::vector<std::string>{"com.quelline.a"});

  hostsim::mainRunLoop().runDue();
  ASSERT_EQ(receivedNames(), std::vector<std::string>{"com.quelline.a"});
  EXPECT_EQ(gReceived[0].observer, &gFirst);
  EXPECT_EQ(traced("darwin-deliver"), std::vector<std::string>{"com.quelline.a"});
  EXPECT_EQ(gReceived[0].traceEventsBefore, 2u) << "the delivery is traced before the callback";

  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(gReceived.size(), 1u) << "delivered once";
  post("com.quelline.a");
  post("com.quelline.a");
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(gReceived.size(), 3u) << "each post is a delivery";
}

TEST_F(DarwinNotifyTest, OnlyRegisteredNamesAreDeliveredToEveryRegistration) {
  observe("com.quelline.a", &gFirst);
  observe("com.quelline.a", &gFirst); // a duplicate is a registration of its own
  observe("com.quelline.a", &gSecond);
  observe("com.quelline.b", &gSecond);
  post("com.quelline.c");
  post("com.quelline.a");
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(receivedNames(),
            (std::vector<std::string>{"com.quelline.a", "com.quelline.a", "com.quelline.a"}));
  ASSERT_EQ(gReceived.size(), 3u);
  EXPECT_EQ(std::count_if(gReceived.begin(), gReceived.end(),
                          [](const Received& r) { return r.observer == &gFirst; }),
            2);
  EXPECT_EQ(traced("darwin-deliver").size(), 3u);

  gReceived.clear();
  post("com.quelline.b");
  hostsim::mainRunLoop().runDue();
  ASSERT_EQ(receivedNames(), std::vector<std::string>{"com.quelline.b"});
  EXPECT_EQ(gReceived[0].observer, &gSecond);
}

TEST_F(DarwinNotifyTest, NamesMustBeOneTo255BytesWithoutNul) {
  std::string longest(hostsim::kDarwinNameMax, 'n');
  std::string tooLong(hostsim::kDarwinNameMax + 1, 'n');
  observe(longest);
  observe(tooLong); // refused: it could never be carried
  post(longest);
  post(tooLong);
  EXPECT_EQ(traced("darwin"), std::vector<std::string>{longest});
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(receivedNames(), std::vector<std::string>{longest});

  EXPECT_TRUE(hostsim::postDarwinNotification(root_, longest));
  EXPECT_FALSE(hostsim::postDarwinNotification(root_, tooLong));
  EXPECT_FALSE(hostsim::postDarwinNotification(root_, ""));
  EXPECT_FALSE(hostsim::postDarwinNotification(root_, std::string("a\0b", 3)));
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(receivedNames(), (std::vector<std::string>{longest, longest}));
}

TEST_F(DarwinNotifyTest, ToolPostReachesTheBootedProcessesOfItsRoot) {
  observe("com.quelline.tool");
  EXPECT_TRUE(hostsim::postDarwinNotification(root_, "com.quelline.tool"));
  EXPECT_TRUE(gReceived.empty());
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(receivedNames(), std::vector<std::string>{"com.quelline.tool"});
  EXPECT_TRUE(traced("darwin").empty()) << "a tool process has no trace";

  EXPECT_FALSE(hostsim::postDarwinNotification(root_ / "no-device-here", "com.quelline.tool"));
}

TEST_F(DarwinNotifyTest, StaleEndpointIsRemovedAndOtherFilesAreLeftAlone) {
  int dead = bindRaw(folder(), "4242-0000000000000000.sock");
  ASSERT_GE(dead, 0);
  ::close(dead); // its process ended without stopping: the file stays
  { std::ofstream(folder() / "notes.txt") << "not a socket"; }
  ASSERT_EQ(socketsIn(folder()).size(), 2u);

  observe("com.quelline.a");
  post("com.quelline.a");
  std::vector<std::string> left = socketsIn(folder());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(std::to_string(::getpid()) + "-", 0), 0u) << left[0];
  EXPECT_TRUE(fs::exists(folder() / "notes.txt"));
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(receivedNames(), std::vector<std::string>{"com.quelline.a"});
}

TEST_F(DarwinNotifyTest, StopRemovesTheEndpointAndForgetsRegistrations) {
  std::vector<std::string> before = socketsIn(folder());
  ASSERT_EQ(before.size(), 1u);
  observe("com.quelline.a");
  hostsim::stopDarwinNotifyCenter();
  EXPECT_TRUE(socketsIn(folder()).empty());

  hostsim::startDarwinNotifyCenter();
  std::vector<std::string> after = socketsIn(folder());
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0], before[0]) << "a new endpoint, not the old name again";
  post("com.quelline.a");
  hostsim::mainRunLoop().runDue();
  EXPECT_TRUE(gReceived.empty());
}

TEST_F(DarwinNotifyTest, RootTooLongForASocketAddressWorks) {
  fs::path longRoot = root_;
  for (int i = 0; i < 3; ++i)
    longRoot /= std::string(40, static_cast<char>('a' + i));
  fs::create_directories(longRoot / "var/mobile/Library/Preferences");
  restartOn(longRoot);
  fs::path longFolder = hostsim::darwinNotifyFolder(longRoot);
  std::vector<std::string> endpoints = socketsIn(longFolder);
  ASSERT_EQ(endpoints.size(), 1u);
  EXPECT_GE((longFolder / endpoints[0]).string().size(), sizeof(sockaddr_un{}.sun_path));

  observe("com.quelline.long");
  post("com.quelline.long");
  EXPECT_TRUE(hostsim::postDarwinNotification(longRoot, "com.quelline.long"));
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(receivedNames(), (std::vector<std::string>{"com.quelline.long", "com.quelline.long"}));

  restartOn(root_);
  EXPECT_TRUE(socketsIn(longFolder).empty()) << "stopped through the long path too";
}

TEST_F(DarwinNotifyTest, FolderThatCannotBeMadeFailsTheBootNamingIt) {
  objc_autoreleasePoolPop(pool_);
  hostsim::shutdownPlatform();
  const fs::path blocked = root_ / "blocked";
  fs::create_directories(blocked / "var");
  std::ofstream(blocked / "var/run") << "a file where the folder belongs";
  try {
    hostsim::bootPlatform({blocked, clock_});
    ADD_FAILURE() << "booted without its notify folder";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(hostsim::darwinNotifyFolder(blocked).string()),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(hostsim::hasMainRunLoop()) << "nothing stays booted";
  hostsim::bootPlatform({root_, clock_});
  pool_ = objc_autoreleasePoolPush();
}

TEST_F(DarwinNotifyTest, PeerThatDoesNotReadDelaysNoDeliveryToOthers) {
  const std::string burst = "com.quelline.burst";
  int stuck = bindRaw(folder(), "7777-stuck.sock");
  ASSERT_GE(stuck, 0);
  observe(burst);
  constexpr int kPosts = 30;
  for (int i = 0; i < kPosts; ++i)
    post(burst);
  hostsim::mainRunLoop().runDue();
  EXPECT_EQ(gReceived.size(), static_cast<size_t>(kPosts)) << "this process got every post";

  char buffer[hostsim::kDarwinNameMax + 1];
  int queued = 0;
  while (::recv(stuck, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
    ++queued;
  EXPECT_GE(queued, 1);
  EXPECT_LE(queued, kPosts);
  post(burst);
  EXPECT_EQ(::recv(stuck, buffer, sizeof buffer, MSG_DONTWAIT), static_cast<ssize_t>(burst.size()))
      << "a peer that reads again gets posts again";
  ::close(stuck);
}

TEST_F(DarwinNotifyTest, AnotherProcessOfTheRootGetsOnlyTheNamesItRegistered) {
  observe("com.quelline.test.pong");
  int ready[2];
  int report[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(ready[0]);
    ::close(report[0]);
    runPeer(root_, ready[1], report[1]);
  }
  ::close(ready[1]);
  ::close(report[1]);

  std::string readiness = readWithin(ready[0]);
  EXPECT_EQ(readiness, "ready");
  if (readiness == "ready") {
    post("com.quelline.test.other"); // not registered there: dropped by the peer
    post("com.quelline.test.ping");
    EXPECT_EQ(readWithin(report[0]), "com.quelline.test.ping");
    EXPECT_TRUE(pumpUntil([] { return !gReceived.empty(); }));
    EXPECT_EQ(receivedNames(), std::vector<std::string>{"com.quelline.test.pong"});
  } else {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "peer status " << status;
  ::close(ready[0]);
  ::close(report[0]);
  EXPECT_EQ(socketsIn(folder()).size(), 1u) << "the peer removed its endpoint and only its own";
}

TEST_F(DarwinNotifyTest, ToolProcessThatNeverBootedReachesThisProcess) {
  observe("com.quelline.test.tool");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 1;
    try {
      hostsim::shutdownPlatform(); // the platform inherited from the test process
      status = hostsim::postDarwinNotification(root_, "com.quelline.test.tool") ? 0 : 3;
    } catch (...) {
      status = 2;
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "tool status " << status;
  EXPECT_TRUE(pumpUntil([] { return !gReceived.empty(); }));
  EXPECT_EQ(receivedNames(), std::vector<std::string>{"com.quelline.test.tool"});
}

} // namespace
