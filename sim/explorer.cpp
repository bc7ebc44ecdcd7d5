#include "sim/explorer.h"

#include "host/files/plist_files.h"
#include "host/sim/home/host_classes.h"
#include "host/sim/services/notification_center.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/views.h"
#include "host/sim/services/wall_clock.h"
#include "platform/uikit.h"
#include "prefs/domain.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"
#include "sim/output.h"
#include "sim/runner.h"
#include "sim/scenario.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ostream>
#include <set>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace quelline::sim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// --- Drawing actions ---------------------------------------------------------

// splitmix64: independent, reproducible seeds for each episode.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// xorshift64*: the same numbers on every machine, unlike the standard
// library's distributions.
class Random {
public:
  explicit Random(uint64_t seed) : state_(mix(seed) | 1) {}
  uint64_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  uint64_t below(uint64_t n) { return next() % n; }
  template <class T, size_t N> const T& pick(const T (&items)[N]) { return items[below(N)]; }
  template <class T, size_t N> const T& pick(const std::array<T, N>& items) {
    return items[below(N)];
  }

private:
  uint64_t state_;
};

constexpr const char* kApps[] = {"com.example.mail", "com.example.game", "com.example.maps"};
constexpr const char* kOnOff[] = {"true", "false"};

// The keys the system reads, cached and live, with values of their type.
enum class KeyType { Bool, Int32, Minutes, Duration };
struct Key {
  const char* name;
  KeyType type;
};
constexpr Key kAllKeys[] = {
#define QUELLINE_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)           \
  {#name, KeyType::type},
    QUELLINE_SETTINGS(QUELLINE_KEY)
#undef QUELLINE_KEY
};
// The schedule's keys (quiet hours', and the toggle's period) are drawn
// only by the schedule's actions, so a campaign without them draws what it
// drew before either existed.
constexpr std::string_view kScheduleKeyNames[] = {
#define QUELLINE_NAME(name) #name,
    QUELLINE_BEYOND_CORE_KEYS(QUELLINE_NAME)
#undef QUELLINE_NAME
};
constexpr bool isScheduleKey(const Key& key) {
  for (std::string_view name : kScheduleKeyNames)
    if (name == key.name) return true;
  return false;
}
constexpr size_t countKeys(bool schedule) {
  size_t n = 0;
  for (const Key& key : kAllKeys)
    n += isScheduleKey(key) == schedule ? 1 : 0;
  return n;
}
template <bool Schedule> constexpr auto keysOf() {
  std::array<Key, countKeys(Schedule)> out{};
  size_t i = 0;
  for (const Key& key : kAllKeys)
    if (isScheduleKey(key) == Schedule) out[i++] = key;
  return out;
}
constexpr auto kKeys = keysOf<false>();
constexpr auto kScheduleKeys = keysOf<true>();

std::string valueFor(Random& r, const Key& key) {
  if (key.type == KeyType::Bool) return r.pick(kOnOff);
  return std::to_string(static_cast<int>(r.below(8)) - 1); // -1 to 6: seconds, taps
}

std::string decimalSeconds(uint64_t hundredths) {
  std::string s = std::to_string(hundredths / 100) + ".";
  const uint64_t rest = hundredths % 100;
  s += static_cast<char>('0' + rest / 10);
  s += static_cast<char>('0' + rest % 10);
  return s;
}

// One action, as a scenario line. Weights are per thousand. `corrupt`:
// the preference file holds no property list, which edits refuse until it
// is deleted.
std::string drawAction(Random& r, bool& corrupt) {
  uint64_t roll = r.below(1000);
  auto take = [&roll](uint64_t weight) {
    if (roll < weight) return true;
    roll -= weight;
    return false;
  };
  const std::string app = r.pick(kApps);
  if (take(80)) return std::string("switch ") + (r.below(2) ? "silent" : "ring");
  if (take(70)) return std::string("toggle ") + (r.below(2) ? "on" : "off");
  if (take(20)) return "cc open";
  if (take(90)) {
    switch (r.below(3)) {
    case 0:
      return "notify " + app;
    case 1:
      return "notify " + app + " sound tritone";
    default:
      return "notify " + app + " nosound";
    }
  }
  if (take(40)) return "open " + app;
  if (take(40)) return "suspend " + app;
  if (take(20)) return "overlay";
  if (take(10)) return "clear";
  if (take(40)) return "touch";
  if (take(80)) return "tap " + std::to_string(1 + r.below(4));
  if (take(5)) return "layout";
  if (take(5)) return "window";
  if (take(40)) return std::string("query ") + (r.below(2) ? "today " : "search ") + r.pick(kOnOff);
  if (take(170)) return "wait " + decimalSeconds(5 * (1 + r.below(19))); // 0.05 to 0.95 s
  if (take(60)) return "wait " + std::to_string(1 + r.below(7));         // 1 to 7 s
  const bool edit = roll < 110; // the next two: prefs set/write, prefs remove
  if (edit && corrupt) {
    corrupt = false;
    return "prefs delete";
  }
  if (take(100)) {
    const Key& key = r.pick(kKeys);
    return std::string(r.below(4) == 0 ? "prefs write " : "prefs set ") + key.name + " " +
           valueFor(r, key);
  }
  if (take(10)) return std::string("prefs remove ") + r.pick(kKeys).name;
  if (take(25)) return "prefs reload";
  if (take(5)) return "prefs delete";
  if (take(3)) {
    corrupt = true;
    return "prefs corrupt";
  }
  if (take(40))
    return std::string("apps ") + (r.below(2) ? "add " : "remove ") +
           (r.below(2) ? "silent " : "banner ") + app;
  if (take(2)) return "restart";
  return "wait 0.7";
}

// One of the schedule's actions: quiet hours on or off, a start or an end
// in 15-minute steps, the toggle's duration, the clock set (days of the
// daylight-saving changes among them), the zone changed, the device asleep,
// long waits.
std::string drawScheduleAction(Random& r, bool& corrupt) {
  static constexpr const char* kDays[] = {"2025-01-06", "2025-03-29", "2025-03-30",
                                          "2025-10-25", "2025-10-26", "2025-06-30",
                                          "2025-11-02", "2025-04-06", "2025-10-05"};
  static constexpr const char* kZones[] = {
      "UTC",          "Europe/Berlin",       "America/New_York",
      "Asia/Kolkata", "Australia/Lord_Howe", "Asia/Kathmandu"};
  auto two = [](uint64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  auto keyOf = [&r](KeyType type) {
    const Key* key = nullptr;
    do
      key = &r.pick(kScheduleKeys);
    while (key->type != type);
    return std::string(key->name);
  };
  const uint64_t roll = r.below(100);
  if (roll < 40 && corrupt) { // edits are refused until the file is deleted
    corrupt = false;
    return "prefs delete";
  }
  if (roll < 20) return "prefs set " + keyOf(KeyType::Bool) + " " + (r.below(4) ? "true" : "false");
  if (roll < 40)
    return "prefs set " + keyOf(KeyType::Minutes) + " " + std::to_string(15 * r.below(96));
  if (roll < 60)
    return std::string("device clock ") + r.pick(kDays) + "T" + two(r.below(24)) + ":" +
           two(15 * r.below(4) + r.below(2));
  if (roll < 70) return std::string("device timezone ") + r.pick(kZones);
  if (roll < 80) return "device sleep " + std::to_string(60 * (1 + r.below(720)));
  if (roll < 88) {
    if (corrupt) {
      corrupt = false;
      return "prefs delete";
    }
    static constexpr const char* kDurations[] = {"0", "1", "2", "15", "60", "1440"};
    return "prefs set " + keyOf(KeyType::Duration) + " " + r.pick(kDurations);
  }
  return "wait " + std::to_string(60 * (10 + r.below(240)));
}

// --- Watching the process ------------------------------------------------------

constexpr const char* kReloaded = QUELLINE_EVENT_PREFS_RELOADED;

bool same(double a, double b) {
  return std::fabs(a - b) <= 1e-9;
}

struct Violation {
  size_t line = 0;      // index of the line after which it showed
  std::string path;     // the state field an expect line checks
  std::string expected; // its value as JSON
  std::string what;
};

// What the checks need beyond the process's state: the library's settings
// (found by name, like any loader would) and whether the icons must stay.
class Watcher {
public:
  explicit Watcher(const hostsim::home::HomeProcess& process) : process_(process) {}

  void booted() {
    settings_ = static_cast<QuellineSettings*>(process_.librarySymbol("Settings"));
    flags_ = static_cast<QuellineSharedFlags*>(process_.librarySymbol("SharedFlags"));
    reloads_ = ~size_t{0};
    // A process starts with no app in front and nothing hidden.
    front_.clear();
    bannerRule_ = false;
    bannersShown_ = bannersHidden_ = 0;
    hideWhenNew_ = false;
    hoursHeld_ = false;
    hoursBoundary_ = 0;
    listHidden_ = false;
  }

  // Follows what a command did to the file's live icon key, to the banner
  // list and to the app in front.
  void edited(const Command& command) {
    const bool iconKey = command.name == "hideIconsWithToggle";
    const bool onBannerList = bannerApps_.contains(command.name);
    switch (command.verb) {
    case Verb::AppsAdd:
    case Verb::AppsRemove:
      if (command.list == AppList::Banner) {
        if (command.verb == Verb::AppsAdd)
          bannerApps_.insert(command.name);
        else
          bannerApps_.erase(command.name);
      }
      break;
    // The banner rule looks at the list at the moment an app comes to the
    // front (the overlay is set) and at the moment it is suspended.
    case Verb::Open:
      front_ = command.name;
      if (onBannerList) bannerRule_ = true;
      break;
    case Verb::Overlay:
      if (bannerApps_.contains(front_)) bannerRule_ = true;
      break;
    case Verb::Suspend:
      front_.clear();
      if (onBannerList) bannerRule_ = false;
      break;
    default:
      break;
    }
    switch (command.verb) {
    case Verb::PrefsSet:
    case Verb::PrefsWrite:
      if (iconKey) {
        toggleHidesIcons_ =
            std::holds_alternative<bool>(command.value) && std::get<bool>(command.value);
        // The toggle reads it at once, without a reload.
        if (toggleHidesIcons_) iconsStay_ = false;
      }
      break;
    case Verb::PrefsRemove:
      if (iconKey) toggleHidesIcons_ = false;
      break;
    case Verb::PrefsDelete:
    case Verb::PrefsCorrupt:
      toggleHidesIcons_ = false;
      break;
    default:
      break;
    }
  }

  std::optional<Violation> check(size_t line) {
    if (settings_ == nullptr || flags_ == nullptr) return std::nullopt;
    const size_t reloads = hostsim::postCount(kReloaded);
    if (reloads != reloads_) {
      reloads_ = reloads;
      iconsStay_ =
          !settings_->enableHideIcons && !settings_->hideIconsWithSwitch && !toggleHidesIcons_;
    }
    hostsim::home::HostObjects& o = hostsim::home::objects();
    id list = o.listController ? platform::UIViewController::view(o.listController.get()) : nullptr;
    if (list != nullptr && !hostsim::alphaAnimating(list)) {
      const double shown = hostsim::visibleAlpha(list);
      const double model = platform::UIView::alpha(list);
      if (!same(shown, model))
        return Violation{line, "list.visibleAlpha", number(model),
                         "the list shows alpha " + number(shown) +
                             " after its animations ended; its alpha is " + number(model)};
      if (flags_->notificationsHidden != same(shown, 0))
        return Violation{line, "flags.notificationsHidden", same(shown, 0) ? "true" : "false",
                         "notificationsHidden disagrees with the list at alpha " + number(shown)};
    }
    // Banners: the flag follows the banner rule whether or not a banner is
    // on screen, and each new banner is hidden exactly when the rule or
    // quiet mode (with hideBanners) said so as it came.
    if (flags_->bannersHidden != bannerRule_)
      return Violation{line, "flags.bannersHidden", bannerRule_ ? "true" : "false",
                       bannerRule_ ? "bannersHidden is false while an app of the banner list is "
                                     "in front"
                                   : "bannersHidden is true with no app of the banner list in "
                                     "front since one was suspended"};
    const hostsim::home::HostRecord& r = hostsim::home::record();
    const bool newShown = r.bannersShown > bannersShown_;
    const bool newHidden = r.bannersHidden > bannersHidden_;
    if ((newShown && hideWhenNew_) || (newHidden && !hideWhenNew_)) {
      const int arrived = r.bannersShown + r.bannersHidden - bannersShown_ - bannersHidden_;
      const int shown = bannersShown_ + (hideWhenNew_ ? 0 : arrived);
      const int hidden = bannersHidden_ + (hideWhenNew_ ? arrived : 0);
      return Violation{line, "banners",
                       jsonText(nlohmann::json{{"shown", shown}, {"hidden", hidden}}),
                       hideWhenNew_ ? "a new banner was shown while an app of the banner list "
                                      "was in front or quiet mode hid banners"
                                    : "a new banner was hidden with no app of the banner list in "
                                      "front and quiet mode not hiding banners"};
    }
    bannersShown_ = r.bannersShown;
    bannersHidden_ = r.bannersHidden;
    hideWhenNew_ = bannerRule_ || (settings_->hideBanners && flags_->notificationsHidden);

    if (auto v = checkQuietHours(line, list)) return v;
    if (auto v = checkTogglePeriod(line)) return v;

    id icons = o.rootFolderView.get();
    if (icons != nullptr) {
      const bool settled = !hostsim::alphaAnimating(icons);
      const double shown = hostsim::visibleAlpha(icons);
      const double model = platform::UIView::alpha(icons);
      if (settled && !same(shown, model))
        return Violation{line, "icons.visibleAlpha", number(model),
                         "the icons show alpha " + number(shown) +
                             " after their animations ended; their alpha is " + number(model)};
      if (iconsStay_ && !same(model, 1))
        return Violation{line, "icons.alpha", "1",
                         "the icons went to alpha " + number(model) +
                             " although icon hiding, hiding with the switch and hiding with the "
                             "toggle are all off"};
    }
    return std::nullopt;
  }

private:
  static std::string number(double v) { return jsonText(nlohmann::json(v)); }

  // The latest local time (seconds of the local calendar) the clock has
  // shown up to `now`, within two days: a start or an end falls at the
  // first moment the clock shows it or later, so every time up to this one
  // has fallen. The clock as it is now, unless it was put back: then
  // minute by minute through the two days.
  static std::time_t latestLocalTimeShown(std::time_t now) {
    auto shown = [](std::time_t at) {
      std::tm local{};
      localtime_r(&at, &local);
      return at + local.tm_gmtoff;
    };
    const std::time_t current = shown(now);
    bool steady = true;
    for (std::time_t at = now - 48 * 3600; at < now && steady; at += 1800)
      steady = shown(at) - at == current - now;
    if (steady) return current;
    std::time_t latest = current;
    for (std::time_t at = now - 48 * 3600; at < now; at += 60)
      latest = std::max(latest, shown(at));
    return latest;
  }

  // Whether quiet hours hold now, as the settings and the device's local
  // time (floored to the second, as time() gives it) say: worked out here
  // on its own, not with the library's code.
  bool windowHoldsNow() const {
    auto minuteOfDay = [](int32_t v) { return ((v % 1440) + 1440) % 1440; };
    const int32_t start = minuteOfDay(settings_->quietHoursStart);
    const int32_t end = minuteOfDay(settings_->quietHoursEnd);
    if (!settings_->quietHours || start == end) return false;
    const std::time_t now = static_cast<std::time_t>(std::floor(hostsim::wallClock()));
    const std::time_t reached = latestLocalTimeShown(now);
    const int32_t minute = static_cast<int32_t>(((reached % 86400) + 86400) % 86400 / 60);
    return start < end ? minute >= start && minute < end : minute >= start || minute < end;
  }

  // Quiet hours hold exactly while the window does; entering it turns quiet
  // mode on (the list hides, with hideNCNotifications); while it holds, no
  // route shows the list again.
  std::optional<Violation> checkQuietHours(size_t line, id list) {
    const bool window = windowHoldsNow();
    const bool held = flags_->quietHoursHold;
    const auto* boundary =
        static_cast<const int64_t*>(process_.librarySymbol("quietHoursBoundary"));
    const int64_t next = boundary != nullptr ? *boundary : 0;
    const bool stillHeld = hoursHeld_ && held && next == hoursBoundary_;
    std::optional<Violation> v;
    if (held != window)
      v = Violation{line, "flags.quietHoursHold", window ? "true" : "false",
                    std::string("quiet hours ") + (held ? "hold" : "do not hold") +
                        " although the local time is " + (window ? "inside" : "outside") +
                        " the window"};
    else if (list != nullptr && held && settings_->hideNCNotifications &&
             !flags_->notificationsHidden && (!hoursHeld_ || (stillHeld && listHidden_)))
      v = Violation{line, "flags.notificationsHidden", "true",
                    "quiet hours hold but the list is not hidden"};
    hoursHeld_ = held;
    hoursBoundary_ = next;
    listHidden_ = flags_->notificationsHidden;
    return v;
  }

  // The toggle never reads on after its period's end: whenever the file
  // holds the toggle on with an end, the wall clock is before it.
  std::optional<Violation> checkTogglePeriod(size_t line) const {
    const nlohmann::json file = prefsfile::dictionaryFileJson(
        process_.root() / fs::path(QUELLINE_PREFS_PATH).relative_path());
    if (!file.is_object()) return std::nullopt;
    const auto on = file.find("enableTweakToggle");
    const auto end = file.find(QUELLINE_TOGGLE_PERIOD_END_KEY);
    if (on == file.end() || *on != true || end == file.end() || !end->is_number_integer())
      return std::nullopt;
    const double now = std::floor(hostsim::wallClock());
    if (now < end->get<double>()) return std::nullopt;
    return Violation{line, "file.enableTweakToggle", "false",
                     "the toggle reads on at " + number(now) + ", after its period ended at " +
                         number(end->get<double>())};
  }

  const hostsim::home::HomeProcess& process_;
  QuellineSettings* settings_ = nullptr;
  QuellineSharedFlags* flags_ = nullptr;
  size_t reloads_ = 0;
  bool toggleHidesIcons_ = false;
  bool iconsStay_ = false;
  std::set<std::string> bannerApps_; // the banner list (the lists outlive a restart)
  std::string front_;                // the app in front ("" for none)
  bool bannerRule_ = false;          // what the banner rule last said
  int bannersShown_ = 0;             // the host's counts at the last check
  int bannersHidden_ = 0;
  bool hideWhenNew_ = false; // whether a banner coming now must be hidden
  // Quiet hours at the last check: held, the boundary waited for, the list
  // hidden, and unHide posts so far.
  bool hoursHeld_ = false;
  int64_t hoursBoundary_ = 0;
  bool listHidden_ = false;
};

// --- The episode being run, for a crash report ---------------------------------

// Written from a fatal-signal handler or the sanitizers' death callback:
// the lines that ran up to the crash.
struct CrashReport {
  std::string text;            // the episode's whole scenario
  std::vector<size_t> ends;    // where each line ends in `text`
  volatile size_t current = 0; // the line running
  bool active = false;
};
CrashReport gCrash;

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void reportCrash() {
  if (!gCrash.active) return;
  gCrash.active = false;
  static const char header[] =
      "\nquelline-actions: the process crashed at the last line of this scenario:\n";
  writeAll(STDERR_FILENO, header, sizeof header - 1);
  const size_t line = gCrash.current;
  const size_t end = gCrash.ends[std::min(line, gCrash.ends.size() - 1)];
  writeAll(STDERR_FILENO, gCrash.text.data(), end);
}

extern "C" void onFatalSignal(int signal) {
  reportCrash();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void watchForCrashes() {
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_set_death_callback(reportCrash);
#else
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
    std::signal(s, onFatalSignal);
#endif
}

// --- Running episodes ----------------------------------------------------------------

struct EpisodeRun {
  size_t ran = 0; // lines run
  std::optional<Violation> violation;
  std::string failure; // the simulator failed (exit status 3)
};

// A stream that drops what it is given: the trace is not looked at.
class Discard : public std::streambuf {
protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The kind of a line: its command word, with the second for prefs and apps.
std::string kindOf(const std::string& line) {
  size_t end = line.find(' ');
  if (line.starts_with("prefs ") || line.starts_with("apps ")) end = line.find(' ', end + 1);
  return line.substr(0, end);
}

using Profile = std::map<std::string, std::pair<uint64_t, double>>;

EpisodeRun runEpisode(const std::vector<std::string>& lines, const ExploreOptions& options,
                      const fs::path& root, Profile* profile = nullptr) {
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root / "var/mobile/Library/Preferences");
  Discard discard;
  std::ostream sink(&discard);
  Output output(sink, Format::Json, false);
  EpisodeRun run;
  {
    RunnerOptions runnerOptions;
    runnerOptions.root = root;
    runnerOptions.deliverables = options.deliverables;
    Runner runner(runnerOptions, output);
    Watcher watcher(runner.process());
    for (size_t i = 0; i < lines.size(); ++i) {
      gCrash.current = i;
      const double began = profile ? threadSeconds() : 0;
      try {
        std::optional<Command> command = parseLine(lines[i], {"<actions>", int(i) + 1});
        if (!command) continue;
        runner.run(*command, root);
        // Deliveries that the line caused (a reload) run before the checks,
        // as they would before the next line.
        runner.runDue();
        watcher.edited(*command);
        if (command->verb == Verb::Boot || command->verb == Verb::Restart) watcher.booted();
      } catch (const std::exception& e) {
        run.ran = i + 1;
        run.failure = e.what();
        break;
      }
      run.ran = i + 1;
      if ((run.violation = watcher.check(i))) break;
      if (profile) {
        auto& [count, seconds] = (*profile)[kindOf(lines[i])];
        ++count;
        seconds += threadSeconds() - began;
      }
    }
  }
  fs::remove_all(root, ec);
  return run;
}

bool sameFailure(const EpisodeRun& a, const EpisodeRun& b) {
  if (a.violation && b.violation) return a.violation->path == b.violation->path;
  return !a.failure.empty() && !b.failure.empty();
}

// Drops lines (halves, then quarters, down to single lines) while the same
// check still fails, within a bounded number of replays.
std::vector<std::string> shrink(std::vector<std::string> lines, const EpisodeRun& failed,
                                const ExploreOptions& options, const fs::path& root) {
  lines.resize(failed.ran);
  int replays = 0;
  constexpr int kMaxReplays = 4000;
  for (size_t chunk = lines.size() / 2; chunk >= 1 && replays < kMaxReplays; chunk /= 2) {
    // The first line boots the process and stays.
    for (size_t start = 1; start < lines.size() && replays < kMaxReplays;) {
      std::vector<std::string> candidate(lines.begin(), lines.begin() + long(start));
      candidate.insert(candidate.end(), lines.begin() + long(std::min(start + chunk, lines.size())),
                       lines.end());
      ++replays;
      EpisodeRun again = runEpisode(candidate, options, root);
      if (sameFailure(again, failed)) {
        candidate.resize(again.ran);
        lines = std::move(candidate);
      } else {
        start += chunk;
      }
    }
  }
  return lines;
}

std::string scenarioOf(const std::vector<std::string>& lines, const EpisodeRun& run, uint64_t seed,
                       uint64_t episode) {
  std::string text = "# Found by quelline-actions --seed " + std::to_string(seed) + " --episode " +
                     std::to_string(episode) + ":\n# " +
                     (run.violation ? run.violation->what : run.failure) + "\n";
  for (const std::string& line : lines)
    text += line + "\n";
  if (run.violation) text += "expect " + run.violation->path + " " + run.violation->expected + "\n";
  return text;
}

} // namespace

std::vector<std::string> episodeLines(uint64_t seed, uint64_t episode, uint64_t count,
                                      bool schedule) {
  Random r(mix(seed) ^ mix(episode + 1));
  std::vector<std::string> lines{"boot"};
  bool corrupt = false;
  for (uint64_t i = 0; i < count; ++i)
    lines.push_back(schedule && r.below(1000) < 200 ? drawScheduleAction(r, corrupt)
                                                    : drawAction(r, corrupt));
  return lines;
}

ExploreResult explore(const ExploreOptions& options) {
  watchForCrashes();
  ExploreResult result;
  const Clock::time_point start = Clock::now();
  const std::clock_t cpuStart = std::clock();
  const fs::path root = options.workFolder / "root";
  for (uint64_t episode = options.onlyEpisode.value_or(0);; ++episode) {
    if (options.onlyEpisode && episode != *options.onlyEpisode) break;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (result.actions >= options.actions || (options.seconds > 0 && elapsed >= options.seconds))
      break;
    const std::vector<std::string> lines =
        episodeLines(options.seed, episode, options.episodeActions, options.schedule);
    gCrash.text.clear();
    gCrash.ends.clear();
    for (const std::string& line : lines) {
      gCrash.text += line + "\n";
      gCrash.ends.push_back(gCrash.text.size());
    }
    gCrash.active = true;
    EpisodeRun run = runEpisode(lines, options, root, options.profile ? &result.profile : nullptr);
    gCrash.active = false;
    result.actions += run.ran;
    ++result.episodes;
    if (run.violation || !run.failure.empty()) {
      std::vector<std::string> small = shrink(lines, run, options, root);
      EpisodeRun again = runEpisode(small, options, root);
      if (!sameFailure(again, run)) {
        small.assign(lines.begin(), lines.begin() + long(run.ran));
        again = run;
      }
      result.failure = ExploreFailure{
          episode, again.violation ? again.violation->what : again.failure,
          scenarioOf(std::vector<std::string>(small.begin(), small.begin() + long(again.ran)),
                     again, options.seed, episode)};
      break;
    }
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  return result;
}

} // namespace quelline::sim
