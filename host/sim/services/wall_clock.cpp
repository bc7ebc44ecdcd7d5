#include "host/sim/services/wall_clock.h"

#include "host/sim/runtime/runtime.h"
#include "host/sim/services/run_loop.h"
#include "platform/dispatch.h"
#include "platform/foundation.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

// UIKit's name of the significant-time-change notification (an NSString
// constant of the framework); defined at boot.
extern "C" {
id UIApplicationSignificantTimeChangeNotification = nullptr;
}

namespace hostsim {
namespace {

constexpr const char* kZoneFolder = "/usr/share/zoneinfo/";

// A piece of work scheduled for a wall-clock moment, and its place on the
// run loop (which counts awake time).
struct WallWork {
  double at;
  RunLoop::Work work;
  uint64_t handle;
};

struct Clock {
  double base = kDefaultWallClock; // the wall clock at run-loop time 0
  std::string zone = kDefaultTimeZone;
  uint64_t next = 1;
  std::map<uint64_t, WallWork> work;
};

Clock& clock() {
  static Clock c;
  return c;
}

// glibc's local time reads the zone from TZ.
void applyZone(const std::string& zone) {
  setenv("TZ", (":" + zone).c_str(), 1);
  tzset();
}

double awakeNow() {
  return hasMainRunLoop() ? mainRunLoop().now() : 0.0;
}

void place(uint64_t id) {
  Clock& c = clock();
  WallWork& w = c.work.at(id);
  double at = w.at - c.base;
  double now = mainRunLoop().now();
  w.handle = mainRunLoop().schedule(at > now ? at : now, [id] {
    auto it = clock().work.find(id);
    if (it == clock().work.end()) return;
    RunLoop::Work work = std::move(it->second.work);
    clock().work.erase(it);
    work();
  });
}

// The wall clock moved against the run loop's: every piece of wall-clock
// work takes its new place.
void replaceWallWork() {
  for (auto& [id, w] : clock().work) {
    mainRunLoop().cancel(w.handle);
    place(id);
  }
}

void postSignificantTimeChange() {
  if (!hasMainRunLoop()) return;
  using namespace platform::NSNotificationCenter;
  id application = nullptr;
  if (Class cls = objc_getClass("UIApplication"))
    application = send<id>(as_id(cls), "sharedApplication");
  postNotificationName_object_userInfo(
      defaultCenter(), UIApplicationSignificantTimeChangeNotification, application, nullptr);
}

} // namespace

void startWallClock(double wallAtStart, const std::string& zone) {
  Clock& c = clock();
  c.work.clear();
  c.base = wallAtStart;
  c.zone = zone;
  applyZone(zone);
  UIApplicationSignificantTimeChangeNotification =
      bridge(__CFStringMakeConstantString("UIApplicationSignificantTimeChangeNotification"));
}

void stopWallClock() {
  clock().work.clear();
}

double wallClock() {
  return clock().base + awakeNow();
}

void setWallClock(double seconds) {
  clock().base = seconds - awakeNow();
  if (!hasMainRunLoop()) return;
  replaceWallWork();
  postSignificantTimeChange();
}

void setTimeZone(const std::string& zone) {
  clock().zone = zone;
  applyZone(zone);
  postSignificantTimeChange();
}

void sleepDevice(double seconds) {
  clock().base += seconds;
  if (hasMainRunLoop()) replaceWallWork();
}

const std::string& timeZone() {
  return clock().zone;
}

std::optional<std::string> timeZoneProblem(const std::string& name) {
  auto refused = [&name] {
    return "\"" + name + "\" names no time zone of the tz database (" + kZoneFolder +
           "tzdata.zi; a name such as UTC, Europe/Berlin or America/New_York)";
  };
  if (name.empty() || name.front() == '/' || name.find("..") != std::string::npos) return refused();
  // The zones and links of the tz database, as tzdata's compact source
  // names them; the folder also holds files that are no zone of it
  // (localtime, posixrules, Factory, posix/..., right/... with leap seconds).
  static const std::set<std::string> zones = [] {
    std::set<std::string> names;
    std::ifstream source(std::string(kZoneFolder) + "tzdata.zi");
    std::string line;
    while (std::getline(source, line)) {
      std::istringstream fields(line);
      std::string kind, first, second;
      fields >> kind >> first >> second;
      if (kind == "Z" && first != "Factory") names.insert(first);
      if (kind == "L") names.insert(second);
    }
    return names;
  }();
  if (!zones.contains(name)) return refused();
  std::ifstream file(kZoneFolder + name, std::ios::binary);
  char magic[4] = {};
  if (!file.read(magic, 4) || std::string(magic, 4) != "TZif") return refused();
  return std::nullopt;
}

std::optional<double> parseLocalTime(const std::string& text, const std::string& zone) {
  int year, month, day, hour, minute;
  char end;
  if (text.size() != 16 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%c", &year, &month, &day,
                                       &hour, &minute, &end) != 5)
    return std::nullopt;
  if (year < 1971 || year > 2099 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || hour < 0 || minute < 0)
    return std::nullopt;
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  // The clock's face, counted as seconds are; a day the month does not
  // have (2025-02-30) carries over: refused.
  const std::time_t local = timegm(&t);
  if (t.tm_mday != day || t.tm_mon != month - 1) return std::nullopt;
  applyZone(zone);
  auto shown = [](std::time_t at) {
    std::tm l{};
    localtime_r(&at, &l);
    return at + l.tm_gmtoff;
  };
  // Every zone is within a day of UTC: the moment lies within 30 hours of
  // `local`. Minute by minute to the first that shows it or later, then
  // second by second within that minute.
  std::time_t at = local - 30 * 3600;
  while (at < local + 30 * 3600 && shown(at) < local)
    at += 60;
  for (std::time_t s = at - 59; s < at; ++s)
    if (shown(s) >= local) {
      at = s;
      break;
    }
  applyZone(clock().zone);
  return static_cast<double>(at);
}

std::string localTimeText(double seconds, const std::string& zone) {
  std::time_t at = static_cast<std::time_t>(std::floor(seconds));
  std::tm t{};
  applyZone(zone);
  localtime_r(&at, &t);
  applyZone(clock().zone);
  char text[96];
  long offset = t.tm_gmtoff;
  char sign = offset < 0 ? '-' : '+';
  offset = std::labs(offset);
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, sign, offset / 3600,
                offset / 60 % 60);
  return text;
}

void scheduleAtWallClock(double at, RunLoop::Work work) {
  Clock& c = clock();
  uint64_t id = c.next++;
  c.work.emplace(id, WallWork{at, std::move(work), 0});
  place(id);
}

} // namespace hostsim

extern "C" {

// libSystem's time(): the device's wall clock while a process is booted;
// the machine's otherwise (the programs' own use, between processes).
time_t time(time_t* tloc) {
  time_t now;
  if (hostsim::hasMainRunLoop()) {
    now = static_cast<time_t>(std::floor(hostsim::wallClock()));
  } else {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    now = ts.tv_sec;
  }
  if (tloc != nullptr) *tloc = now;
  return now;
}

// A wall-clock dispatch time, as libdispatch encodes one: the nanoseconds
// since the epoch, negated (uptime times are positive). A moment at or past
// 2^62 ns, which that encoding cannot hold, is DISPATCH_TIME_FOREVER, as
// libdispatch makes every time it cannot hold.
dispatch_time_t dispatch_walltime(const struct timespec* when, int64_t delta) {
  double base = when == nullptr ? hostsim::wallClock()
                                : static_cast<double>(when->tv_sec) + when->tv_nsec / 1e9;
  double at = base + static_cast<double>(delta) / 1e9;
  if (!(at * 1e9 < static_cast<double>(DISPATCH_WALLTIME_LIMIT))) return DISPATCH_TIME_FOREVER;
  int64_t ns = std::llround(at * 1e9);
  if (ns < 2) ns = 2;
  return static_cast<dispatch_time_t>(-ns);
}

} // extern "C"
