// The scenario language: one command per line, `#` starting a comment
// outside double quotes. Parsing turns each line into a Command or a
// ScenarioError naming the file, the line and what was expected.
#pragma once

#include "host/files/preference_value.h"
#include "host/sim/home/host_classes.h"
#include "host/sim/services/run_loop.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelline::sim {

// Where a command came from: the file as the user named it ("<stdin>" for
// standard input) and the line, from 1.
struct Location {
  std::string file;
  int line = 0;
};

std::string describe(const Location& where);

// The scenario is wrong: the run stops at once with exit status 2.
class ScenarioError : public std::runtime_error {
public:
  ScenarioError(const Location& where, const std::string& message);
  const Location& where() const { return where_; }
  // The message without its FILE:LINE.
  const std::string& detail() const { return detail_; }

private:
  Location where_;
  std::string detail_;
};

// Bounds of the language. Taps on one line: a person's taps, not a loop
// counter. A wait never carries the clock past what it holds.
inline constexpr unsigned long kMaxTaps = 1000;
inline constexpr double kMaxWaitSeconds = hostsim::kLatestClockTime;
// Arrays and objects nested in an `expect` value; the state itself is a few
// levels around property-list values of at most 64.
inline constexpr int kMaxExpectDepth = 100;

// In the order of the verb table (scenario.cpp); Expect last.
enum class Verb {
  Boot,
  Restart,
  Switch,
  Toggle,
  CcOpen,
  Notify,
  Open,
  Suspend,
  Overlay,
  Clear,
  Touch,
  Tap,
  Layout,
  Window,
  QueryToday,
  QuerySearch,
  Wait,
  PrefsSet,
  PrefsWrite,
  PrefsRemove,
  PrefsReload,
  PrefsDelete,
  PrefsCorrupt,
  PrefsCopy,
  AppsAdd,
  AppsRemove,
  SettingsOpen,
  SettingsSet,
  SettingsApps,
  DeviceFeedbackLevel,
  DeviceModel,
  DeviceStorage,
  DeviceClock,
  DeviceTimezone,
  DeviceSleep,
  Post,
  Inspect,
  Dump,
  AllowWriteFailures,
  History,
  Expect,
};

// The verbs, one row each: the words that name a verb in messages, its
// usage, what its placeholders take (shown with the usage once the verb is
// known), and whether it may come before boot (commands that prepare the
// device or look at it; host actions, restart and wait need the process and
// its clock). The parser, its messages, the runner and --help read this.
struct VerbInfo {
  Verb verb;
  std::string_view words; // "prefs set"
  std::string_view usage; // "prefs set KEY VALUE"
  std::string_view note;  // "(N a positive integer)", or empty
  bool beforeBoot;
};

// Every verb, in the order --help shows them.
std::span<const VerbInfo> verbs();
const VerbInfo& verbInfo(Verb verb);

// The usage of every command, one a line, as --help shows them; "* " marks
// those that may come before boot.
std::string scenarioUsage();

enum class AppList { Silent, Banner };

// The home screen of the system named by `version` ("11" or "16"), or
// nothing for a version the model does not know.
std::optional<hostsim::home::HomeScreen> homeScreenOf(const std::string& version);

struct Command {
  Verb verb = Verb::Dump;
  Location where;
  std::string text; // the line as written, without its comment

  // boot
  std::set<std::string> without;
  bool ccLazy = false;
  // --ios N: the home screen of that system; none: the run's default
  std::optional<hostsim::home::HomeScreen> screen;
  // switch silent, toggle on, query … true, device storage full, settings
  // apps … add
  bool flag = false;
  // notify APP, open APP, suspend APP, apps … APP, post NAME, inspect CLASS,
  // prefs … KEY, prefs copy FILE, device model NAME, device timezone NAME,
  // device clock YYYY-MM-DDTHH:MM, settings set KEY, settings apps … APP
  std::string name;
  // notify … sound NAME (nullopt: nosound)
  std::optional<std::string> sound;
  // tap N
  unsigned long taps = 0;
  // history N
  size_t entries = 0;
  // wait SECONDS, device sleep SECONDS
  double seconds = 0;
  // device feedback-level N | none
  std::optional<long> level;
  // prefs set/write KEY VALUE, settings set KEY VALUE
  prefsfile::Value value;
  // settings set's further KEY VALUE pairs
  std::vector<std::pair<std::string, prefsfile::Value>> pairs;
  // apps add/remove LIST APP, settings apps LIST add|remove APP (flag: add)
  AppList list = AppList::Silent;
  // expect PATH VALUE: the path's parts, the value (absent: `absent`)
  std::vector<std::string> path;
  std::string pathText;
  std::optional<nlohmann::json> expected;
};

// Parses one line. nullopt for a blank or comment-only line; throws
// ScenarioError for anything else that is no command.
std::optional<Command> parseLine(std::string_view line, const Location& where);

// Parses a whole scenario, `file` naming it in messages. Throws
// ScenarioError at the first line that is no command.
std::vector<Command> parseScenario(std::string_view text, const std::string& file);
// The same, one command at a time, without holding them: `each` is called
// with each command in order until it says false.
void forEachCommand(std::string_view text, const std::string& file,
                    const std::function<bool(Command&)>& each);

// The value's literal as a scenario writes it (`true`, `3`, `0.5`, `"x"`).
std::string literal(const prefsfile::Value& value);

} // namespace quelline::sim
