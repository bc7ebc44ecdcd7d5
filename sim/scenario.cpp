#include "sim/scenario.h"

#include "host/files/shown_text.h"
#include "host/sim/home/host_classes.h"
#include "host/sim/services/recent_log.h"
#include "host/sim/services/wall_clock.h"
#include "prefs/domain.h"
#include "prefs/time_of_day.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

namespace quelline::sim {
namespace {

using json = nlohmann::json;

constexpr VerbInfo kVerbs[] = {
    {Verb::Boot, "boot", "boot [--without CLASS]... [--cc-lazy] [--ios 11|16]", "", true},
    {Verb::Restart, "restart", "restart", "", false},
    {Verb::Switch, "switch", "switch silent|ring", "", false},
    {Verb::Toggle, "toggle", "toggle on|off", "", false},
    {Verb::CcOpen, "cc open", "cc open", "", false},
    {Verb::Notify, "notify", "notify APP [sound NAME | nosound]", "", false},
    {Verb::Open, "open", "open APP", "", false},
    {Verb::Suspend, "suspend", "suspend APP", "", false},
    {Verb::Overlay, "overlay", "overlay", "", false},
    {Verb::Clear, "clear", "clear", "", false},
    {Verb::Touch, "touch", "touch", "", false},
    {Verb::Tap, "tap", "tap N", "(N an integer from 1 to 1000)", false},
    {Verb::Layout, "layout", "layout", "", false},
    {Verb::Window, "window", "window", "", false},
    {Verb::QueryToday, "query today", "query today|search true|false", "", false},
    {Verb::QuerySearch, "query search", "query today|search true|false", "", false},
    {Verb::Wait, "wait", "wait SECONDS", "(a decimal from 0 to 4000000000)", false},
    {Verb::PrefsSet, "prefs set", "prefs set KEY VALUE", "", true},
    {Verb::PrefsWrite, "prefs write", "prefs write KEY VALUE", "", true},
    {Verb::PrefsRemove, "prefs remove", "prefs remove KEY", "", true},
    {Verb::PrefsReload, "prefs reload", "prefs reload", "", true},
    {Verb::PrefsDelete, "prefs delete", "prefs delete", "", true},
    {Verb::PrefsCorrupt, "prefs corrupt", "prefs corrupt", "", true},
    {Verb::PrefsCopy, "prefs copy", "prefs copy FILE", "", true},
    {Verb::AppsAdd, "apps add", "apps add|remove silent|banner APP", "", true},
    {Verb::AppsRemove, "apps remove", "apps add|remove silent|banner APP", "", true},
    {Verb::SettingsOpen, "settings open", "settings open", "", true},
    {Verb::SettingsSet, "settings set", "settings set KEY VALUE [KEY VALUE]...", "", true},
    {Verb::SettingsApps, "settings apps", "settings apps silent|banner add|remove APP", "", true},
    {Verb::DeviceFeedbackLevel, "device feedback-level", "device feedback-level N|none",
     "(N an integer)", true},
    {Verb::DeviceModel, "device model", "device model NAME", "", true},
    {Verb::DeviceStorage, "device storage", "device storage full|free", "", true},
    {Verb::DeviceClock, "device clock", "device clock YYYY-MM-DDTHH:MM",
     "(local time in the device's time zone)", true},
    {Verb::DeviceTimezone, "device timezone", "device timezone NAME",
     "(a zone of tzdata, such as Europe/Berlin)", true},
    {Verb::DeviceSleep, "device sleep", "device sleep SECONDS", "(a decimal from 0 to 4000000000)",
     false},
    {Verb::Post, "post", "post NAME", "", false},
    {Verb::Inspect, "inspect", "inspect CLASS", "", true},
    {Verb::Dump, "dump", "dump [PATH]", "", true},
    {Verb::AllowWriteFailures, "allow write-failures", "allow write-failures", "", true},
    {Verb::History, "history", "history N", "(N an integer from 1 to 1000000)", true},
    {Verb::Expect, "expect", "expect PATH VALUE", "(VALUE JSON, or absent)", true},
};

static_assert(kMaxTaps == 1000 && kMaxWaitSeconds == 4e9 && hostsim::kMaxHistoryBound == 1000000,
              "the notes of tap and wait say the bounds");

// Row i is the verb numbered i, and every verb has its row.
constexpr bool everyVerbInItsRow() {
  for (size_t i = 0; i < std::size(kVerbs); ++i)
    if (static_cast<size_t>(kVerbs[i].verb) != i) return false;
  return std::size(kVerbs) == static_cast<size_t>(Verb::Expect) + 1;
}
static_assert(everyVerbInItsRow(), "kVerbs lists the verbs in the order of enum Verb");

// The first word of a verb's words: the command.
std::string_view commandOf(const VerbInfo& info) {
  return info.words.substr(0, info.words.find(' '));
}

// "tap N (N a positive integer)": the usage once the verb is known.
std::string fullUsage(Verb verb) {
  const VerbInfo& info = verbInfo(verb);
  return info.note.empty() ? std::string(info.usage)
                           : std::string(info.usage) + " " + std::string(info.note);
}

// The usage of a command before its verb is known, from its verbs' usages:
// one that several verbs share is shown once, and those of verbs that
// differ only in their second word are merged ("prefs set|write KEY VALUE |
// prefs remove KEY | prefs reload|delete|corrupt | prefs copy FILE").
std::string commandUsage(std::string_view command) {
  std::string out;
  std::string_view lastUsage;
  std::optional<std::string_view> lastRest; // what follows the words, when they lead the usage
  for (const VerbInfo& info : kVerbs) {
    if (commandOf(info) != command || info.usage == lastUsage) continue;
    std::optional<std::string_view> rest;
    if (info.usage.starts_with(info.words) &&
        (info.usage.size() == info.words.size() || info.usage[info.words.size()] == ' '))
      rest = info.usage.substr(info.words.size());
    if (rest && lastRest && *rest == *lastRest && info.words.size() > command.size()) {
      const std::string second(info.words.substr(command.size() + 1));
      out.insert(out.size() - rest->size(), "|" + second);
    } else {
      if (!out.empty()) out += " | ";
      out += info.usage;
    }
    lastUsage = info.usage;
    lastRest = rest;
  }
  return out;
}

// "boot, restart, switch, …": every command, once, in the table's order.
std::string commandList() {
  std::string out;
  std::string_view last;
  for (const VerbInfo& info : kVerbs) {
    if (commandOf(info) == last) continue;
    last = commandOf(info);
    if (!out.empty()) out += ", ";
    out += last;
  }
  return out;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Thrown out of the JSON parser at a nesting deeper than kMaxExpectDepth.
struct TooDeep {};

// JSON text as a scenario line holds it, parsed, or why not.
struct ParsedJson {
  enum class Problem { None, Syntax, OutOfRange, TooDeep };
  std::optional<json> value;
  Problem kind = Problem::None;
  std::string problem; // in words, when there is no value
};

// The one place a scenario's JSON is parsed (strings, numbers, values,
// expectations). Every exception of the JSON library comes back as a
// problem: a syntax error, a number that no double holds (1e400), and
// whatever else it may throw; so does a nesting deeper than
// kMaxExpectDepth (the printer of a failed expectation recurses).
ParsedJson parseJson(std::string_view text) {
  auto shallow = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= kMaxExpectDepth)
      throw TooDeep();
    return true;
  };
  try {
    return {json::parse(text, shallow), ParsedJson::Problem::None, {}};
  } catch (const TooDeep&) {
    return {std::nullopt, ParsedJson::Problem::TooDeep,
            "a JSON value nested more than " + std::to_string(kMaxExpectDepth) +
                " arrays and objects deep"};
  } catch (const json::out_of_range&) {
    return {std::nullopt, ParsedJson::Problem::OutOfRange,
            "a number out of range (numbers reach about 1.8e308 in size)"};
  } catch (const json::exception& e) {
    std::string why = e.what();
    // "[json.exception.parse_error.101] parse error at …": keep the part
    // after the identifier.
    if (size_t bracket = why.find("] "); bracket != std::string::npos)
      why = why.substr(bracket + 2);
    return {std::nullopt, ParsedJson::Problem::Syntax, why};
  }
}

struct Token {
  std::string text; // quoted tokens decoded
  bool quoted = false;
  size_t begin = 0; // in the line
};

[[noreturn]] void fail(const Location& where, const std::string& message) {
  throw ScenarioError(where, message);
}

// Text quoted as a JSON string, safe on a terminal.
std::string show(std::string_view text) {
  return prefsfile::inQuotes(text);
}

// Splits a line into tokens: runs of non-blank characters, in which double
// quotes enclose text (with JSON escapes) that may hold blanks and `#`. A
// token that is one quoted string is decoded. `content` receives the line
// up to its comment, without trailing blanks.
std::vector<Token> tokenize(std::string_view line, const Location& where,
                            std::string_view& content) {
  std::vector<Token> tokens;
  size_t i = 0;
  size_t end = line.size();
  while (i < line.size()) {
    if (isBlank(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == '#') {
      end = i;
      break;
    }
    Token token;
    token.begin = i;
    while (i < line.size() && !isBlank(line[i]) && line[i] != '#') {
      if (line[i] != '"') {
        ++i;
        continue;
      }
      // A quoted part: to the next quote that no backslash escapes.
      size_t j = i + 1;
      while (j < line.size() && line[j] != '"')
        j += line[j] == '\\' ? 2 : 1;
      if (j >= line.size())
        fail(where, "unterminated string starting at column " + std::to_string(i + 1) +
                        "; expected a closing \"");
      i = j + 1;
    }
    const std::string_view raw = line.substr(token.begin, i - token.begin);
    token.text = std::string(raw);
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
      const std::optional<json> decoded = parseJson(raw).value;
      if (!decoded || !decoded->is_string())
        fail(where, "bad string " + std::string(raw) + " at column " +
                        std::to_string(token.begin + 1) +
                        "; expected a JSON string (UTF-8, escapes such as \\\" \\\\ \\n "
                        "\\u00e9)");
      token.text = decoded->get<std::string>();
      token.quoted = true;
    }
    tokens.push_back(std::move(token));
  }
  while (end > 0 && isBlank(line[end - 1]))
    --end;
  content = line.substr(0, end);
  return tokens;
}

// The parse of one line's tokens against the usage of its command.
class LineParser {
public:
  LineParser(std::vector<Token> tokens, std::string_view content, const Location& where)
      : tokens_(std::move(tokens)), content_(content), where_(where) {}

  Command parse() {
    command_.where = where_;
    command_.text = std::string(content_);
    const std::string& word = tokens_[0].text;
    const auto row = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                  [&](const VerbInfo& info) { return commandOf(info) == word; });
    if (row == std::end(kVerbs))
      fail(where_, "unknown command " + show(word) + "; expected one of: " + commandList());
    // A command's first verb stands for it.
    switch (row->verb) {
    case Verb::Boot:
      return boot();
    case Verb::Switch:
      usage_ = fullUsage(Verb::Switch);
      command_.flag = choice(1, "silent", "ring");
      return done(Verb::Switch, 2);
    case Verb::Toggle:
      usage_ = fullUsage(Verb::Toggle);
      command_.flag = choice(1, "on", "off");
      return done(Verb::Toggle, 2);
    case Verb::CcOpen:
      usage_ = fullUsage(Verb::CcOpen);
      keyword(1, {"open"});
      return done(Verb::CcOpen, 2);
    case Verb::Notify:
      return notify();
    case Verb::Open:
    case Verb::Suspend:
      return named(row->verb, "an app's bundle identifier");
    case Verb::Post:
      return named(row->verb, "a notification name");
    case Verb::Inspect:
      return named(row->verb, "a class name");
    case Verb::Tap:
      return tap();
    case Verb::History:
      return history();
    case Verb::QueryToday:
      return query();
    case Verb::Wait:
      return wait();
    case Verb::PrefsSet:
      return prefs();
    case Verb::AppsAdd:
      return apps();
    case Verb::SettingsOpen:
      return settings();
    case Verb::DeviceFeedbackLevel:
      return device();
    case Verb::Dump:
      return dump();
    case Verb::Expect:
      return expect();
    case Verb::AllowWriteFailures:
      usage_ = fullUsage(Verb::AllowWriteFailures);
      keyword(1, {"write-failures"});
      return done(Verb::AllowWriteFailures, 2);
    default: // restart, overlay, clear, touch, layout, window: no arguments
      usage_ = fullUsage(row->verb);
      return done(row->verb, 1);
    }
  }

private:
  [[noreturn]] void bad(const std::string& what) const {
    fail(where_,
         show(label_.empty() ? tokens_[0].text : label_) + ": " + what + "; expected: " + usage_);
  }

  // The token at `index`, or a "missing" error naming `what`.
  const Token& need(size_t index, const std::string& what) const {
    if (index >= tokens_.size()) bad("missing " + what);
    return tokens_[index];
  }

  // Token `index` must be one of `words`; returns which.
  size_t keyword(size_t index, std::initializer_list<std::string_view> words) const {
    std::string list;
    for (std::string_view w : words)
      list += (list.empty() ? "" : " or ") + std::string(w);
    const Token& token = need(index, list);
    size_t i = 0;
    for (std::string_view w : words) {
      if (token.text == w) return i;
      ++i;
    }
    bad("unexpected " + show(token.text) + " where " + list + " belongs");
  }

  bool choice(size_t index, std::string_view yes, std::string_view no) const {
    return keyword(index, {yes, no}) == 0;
  }

  const std::string& name(size_t index, const std::string& what) const {
    const Token& token = need(index, what);
    if (token.text.empty()) bad("empty " + what);
    if (token.text.find('\0') != std::string::npos) bad(what + " holding a NUL character");
    return token.text;
  }

  // A JSON number in token `index`.
  json number(size_t index, const std::string& what) const {
    const Token& token = need(index, what);
    const ParsedJson parsed =
        token.quoted ? ParsedJson{json(), ParsedJson::Problem::None, {}} : parseJson(token.text);
    if (parsed.kind == ParsedJson::Problem::OutOfRange)
      bad(show(token.text) + " is " + parsed.problem);
    if (!parsed.value || !parsed.value->is_number()) bad(show(token.text) + " is not " + what);
    return *parsed.value;
  }

  Command done(Verb verb, size_t arity) {
    if (tokens_.size() > arity) bad("unexpected argument " + show(tokens_[arity].text));
    command_.verb = verb;
    return std::move(command_);
  }

  Command named(Verb verb, const std::string& what) {
    usage_ = fullUsage(verb);
    command_.name = name(1, what);
    return done(verb, 2);
  }

  Command boot() {
    usage_ = fullUsage(Verb::Boot);
    for (size_t i = 1; i < tokens_.size(); ++i) {
      const std::string& flag = tokens_[i].text;
      if (flag == "--cc-lazy") {
        command_.ccLazy = true;
      } else if (flag == "--ios") {
        const std::string& version = name(++i, "system version after --ios");
        command_.screen = homeScreenOf(version);
        if (!command_.screen)
          bad("unknown system " + show(version) +
              " after --ios; expected 11 (iOS 11 and 12) or 16 (iOS 15 and 16)");
      } else if (flag == "--without") {
        const std::string& cls = name(++i, "class name after --without");
        if (!hostsim::home::isOmittableHostClass(cls)) {
          std::string known;
          for (std::string_view omittable : hostsim::home::kOmittableHostClasses)
            known += (known.empty() ? "" : ", ") + std::string(omittable);
          bad("unknown class " + show(cls) + " after --without; the modeled host has " + known);
        }
        command_.without.insert(cls);
      } else {
        bad("unexpected argument " + show(flag));
      }
    }
    command_.verb = Verb::Boot;
    return std::move(command_);
  }

  Command notify() {
    usage_ = fullUsage(Verb::Notify);
    command_.name = name(1, "app (a bundle identifier)");
    command_.sound = "default";
    if (tokens_.size() == 2) return done(Verb::Notify, 2);
    if (keyword(2, {"sound", "nosound"}) == 1) {
      command_.sound.reset();
      return done(Verb::Notify, 3);
    }
    command_.sound = name(3, "sound name");
    return done(Verb::Notify, 4);
  }

  Command tap() {
    usage_ = fullUsage(Verb::Tap);
    json n = number(1, "a positive integer");
    if (!n.is_number_unsigned() || n.get<uint64_t>() == 0)
      bad(show(tokens_[1].text) + " is not a positive integer");
    if (n.get<uint64_t>() > kMaxTaps)
      bad(show(tokens_[1].text) + " taps are more than " + std::to_string(kMaxTaps));
    command_.taps = n.get<unsigned long>();
    return done(Verb::Tap, 2);
  }

  Command history() {
    usage_ = fullUsage(Verb::History);
    json n = number(1, "a positive integer");
    if (!n.is_number_unsigned() || n.get<uint64_t>() == 0)
      bad(show(tokens_[1].text) + " is not a positive integer");
    if (n.get<uint64_t>() > hostsim::kMaxHistoryBound)
      bad(show(tokens_[1].text) + " entries are more than " +
          std::to_string(hostsim::kMaxHistoryBound));
    command_.entries = n.get<size_t>();
    return done(Verb::History, 2);
  }

  Command query() {
    usage_ = commandUsage("query");
    const bool today = choice(1, "today", "search");
    label_ = "query " + tokens_[1].text;
    command_.flag = choice(2, "true", "false");
    return done(today ? Verb::QueryToday : Verb::QuerySearch, 3);
  }

  Command wait() {
    usage_ = fullUsage(Verb::Wait);
    command_.seconds = seconds(1);
    return done(Verb::Wait, 2);
  }

  // A number of seconds that the clock can hold.
  double seconds(size_t index) {
    json n = number(index, "a number of seconds");
    const double seconds = n.get<double>();
    if (!std::isfinite(seconds) || seconds < 0)
      bad(show(tokens_[index].text) + " is not a non-negative number of seconds");
    if (seconds > kMaxWaitSeconds)
      bad(show(tokens_[index].text) + " seconds are more than the clock holds (" +
          std::to_string(static_cast<uint64_t>(kMaxWaitSeconds)) + ")");
    return seconds;
  }

  // A value literal: true/false, an integer (64-bit), a decimal (real) or a
  // "quoted string".
  static bool isTimeKey(const std::string& name) {
#define QUELLINE_SCENARIO_TIME_KEY(key, type, fallback, minimum, maximum, reading, pane, label,    \
                                   text)                                                           \
  if (name == #key) return QUELLINE_SETTING_IS_TIME_##type;
    QUELLINE_SETTINGS(QUELLINE_SCENARIO_TIME_KEY)
#undef QUELLINE_SCENARIO_TIME_KEY
    return false;
  }

  // The value of the key just named: for a time of day, an unquoted
  // HH:MM is its minutes (22:00 is 1320); otherwise a value literal.
  prefsfile::Value keyValue(size_t index, const std::string& key) const {
    const Token& token = need(index, "value");
    if (isTimeKey(key) && !token.quoted && token.text.find(':') != std::string::npos) {
      const int32_t clock = parseClockTime(token.text.c_str());
      if (clock < 0)
        bad(show(token.text) + " is refused; " + key + " takes " QUELLINE_TIME_OF_DAY_EXPECTED);
      return int64_t{clock};
    }
    return value(index);
  }

  prefsfile::Value value(size_t index) const {
    const Token& token = need(index, "value");
    if (token.quoted) {
      if (token.text.find('\0') != std::string::npos) bad("a string holding a NUL character");
      return token.text;
    }
    const ParsedJson parsed = parseJson(token.text);
    if (parsed.kind == ParsedJson::Problem::OutOfRange)
      bad(show(token.text) + " is " + parsed.problem);
    const json v = parsed.value.value_or(json());
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<int64_t>();
    if (v.is_number_unsigned()) {
      if (v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        bad(show(token.text) + " does not fit in a 64-bit integer");
      return static_cast<int64_t>(v.get<uint64_t>());
    }
    if (v.is_number_float()) {
      const bool written = token.text.find_first_of(".eE") != std::string::npos;
      if (!written) bad(show(token.text) + " does not fit in a 64-bit integer");
      if (!std::isfinite(v.get<double>())) bad(show(token.text) + " is out of range");
      return v.get<double>();
    }
    bad("bad value " + show(token.text) +
        "; a value is true, false, an integer, a decimal or a \"quoted string\"");
  }

  Command prefs() {
    usage_ = commandUsage("prefs");
    static constexpr Verb kPrefsVerbs[] = {Verb::PrefsSet,    Verb::PrefsWrite,  Verb::PrefsRemove,
                                           Verb::PrefsReload, Verb::PrefsDelete, Verb::PrefsCorrupt,
                                           Verb::PrefsCopy};
    const Verb verb =
        kPrefsVerbs[keyword(1, {"set", "write", "remove", "reload", "delete", "corrupt", "copy"})];
    label_ = "prefs " + tokens_[1].text;
    usage_ = fullUsage(verb);
    switch (verb) {
    case Verb::PrefsSet:
    case Verb::PrefsWrite:
      command_.name = name(2, "key");
      command_.value = keyValue(3, command_.name);
      return done(verb, 4);
    case Verb::PrefsRemove:
      command_.name = name(2, "key");
      return done(verb, 3);
    case Verb::PrefsCopy:
      command_.name = name(2, "file");
      return done(verb, 3);
    default: // reload, delete, corrupt
      return done(verb, 2);
    }
  }

  Command apps() {
    usage_ = commandUsage("apps");
    const bool add = choice(1, "add", "remove");
    label_ = "apps " + tokens_[1].text;
    command_.list = choice(2, "silent", "banner") ? AppList::Silent : AppList::Banner;
    command_.name = name(3, "app (a bundle identifier)");
    return done(add ? Verb::AppsAdd : Verb::AppsRemove, 4);
  }

  // What a person does in the Settings app's Quelline pane.
  Command settings() {
    usage_ = commandUsage("settings");
    static constexpr Verb kSettingsVerbs[] = {Verb::SettingsOpen, Verb::SettingsSet,
                                              Verb::SettingsApps};
    const Verb verb = kSettingsVerbs[keyword(1, {"open", "set", "apps"})];
    label_ = "settings " + tokens_[1].text;
    usage_ = fullUsage(verb);
    switch (verb) {
    case Verb::SettingsSet: {
      command_.name = name(2, "key");
      command_.value = keyValue(3, command_.name);
      // Further pairs: the controls changed as one.
      size_t next = 4;
      for (; next < tokens_.size(); next += 2) {
        std::string key = name(next, "key");
        prefsfile::Value value = keyValue(next + 1, key);
        command_.pairs.emplace_back(std::move(key), std::move(value));
      }
      return done(verb, next);
    }
    case Verb::SettingsApps:
      command_.list = choice(2, "silent", "banner") ? AppList::Silent : AppList::Banner;
      command_.flag = choice(3, "add", "remove");
      command_.name = name(4, "app (a bundle identifier)");
      return done(verb, 5);
    default: // open
      return done(verb, 2);
    }
  }

  Command device() {
    usage_ = commandUsage("device");
    const size_t which =
        keyword(1, {"feedback-level", "model", "storage", "clock", "timezone", "sleep"});
    const bool model = which == 1;
    label_ = "device " + tokens_[1].text;
    if (which == 3) {
      usage_ = fullUsage(Verb::DeviceClock);
      command_.name = name(2, "local time");
      if (!hostsim::parseLocalTime(command_.name, hostsim::kDefaultTimeZone))
        bad(show(command_.name) + " is not a local time YYYY-MM-DDTHH:MM (1971 to 2099)");
      return done(Verb::DeviceClock, 3);
    }
    if (which == 4) {
      usage_ = fullUsage(Verb::DeviceTimezone);
      command_.name = name(2, "time zone");
      if (auto problem = hostsim::timeZoneProblem(command_.name)) bad(*problem);
      return done(Verb::DeviceTimezone, 3);
    }
    if (which == 5) {
      usage_ = fullUsage(Verb::DeviceSleep);
      command_.seconds = seconds(2);
      return done(Verb::DeviceSleep, 3);
    }
    if (which == 2) {
      usage_ = fullUsage(Verb::DeviceStorage);
      command_.flag = choice(2, "full", "free");
      return done(Verb::DeviceStorage, 3);
    }
    if (model) {
      usage_ = fullUsage(Verb::DeviceModel);
      command_.name = name(2, "model name");
      return done(Verb::DeviceModel, 3);
    }
    usage_ = fullUsage(Verb::DeviceFeedbackLevel);
    if (need(2, "level").text != "none") {
      json n = number(2, "an integer or none");
      if (n.is_number_float() ||
          (n.is_number_unsigned() &&
           n.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<long>::max())))
        bad(show(tokens_[2].text) + " is not an integer or none");
      command_.level = n.get<long>();
    }
    return done(Verb::DeviceFeedbackLevel, 3);
  }

  // dump, or dump PATH for one field of the state.
  Command dump() {
    usage_ = fullUsage(Verb::Dump);
    command_.verb = Verb::Dump;
    if (tokens_.size() > 2) bad("too many arguments");
    if (tokens_.size() == 2) path(name(1, "path"));
    return std::move(command_);
  }

  Command expect() {
    usage_ = fullUsage(Verb::Expect);
    path(name(1, "path"));
    const Token& first = need(2, "value");
    const std::string_view text = content_.substr(first.begin);
    if (!first.quoted && text == "absent") {
      command_.verb = Verb::Expect;
      return std::move(command_);
    }
    ParsedJson parsed = parseJson(text);
    if (parsed.kind == ParsedJson::Problem::TooDeep) bad(parsed.problem);
    if (!parsed.value)
      bad("bad JSON value " + show(text) + " (" + parsed.problem +
          "); a value is JSON such as true, 0.5, null, \"iPhone\" or [2,3]");
    command_.expected = std::move(parsed.value);
    command_.verb = Verb::Expect;
    return std::move(command_);
  }

  // A dot-separated path into the state: object keys, array indexes.
  void path(std::string text) {
    command_.pathText = std::move(text);
    size_t start = 0;
    for (;;) {
      size_t dot = command_.pathText.find('.', start);
      std::string part = command_.pathText.substr(start, dot - start);
      if (part.empty()) bad("empty part in path " + show(command_.pathText));
      command_.path.push_back(std::move(part));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
  }

  std::vector<Token> tokens_;
  std::string_view content_;
  Location where_;
  std::string usage_;
  std::string label_; // the command's words, for messages ("" for the first token)
  Command command_;
};

} // namespace

std::optional<hostsim::home::HomeScreen> homeScreenOf(const std::string& version) {
  if (version == "11") return hostsim::home::HomeScreen::iOS11;
  if (version == "16") return hostsim::home::HomeScreen::iOS16;
  return std::nullopt;
}

std::span<const VerbInfo> verbs() {
  return kVerbs;
}

const VerbInfo& verbInfo(Verb verb) {
  return kVerbs[static_cast<size_t>(verb)];
}

std::string scenarioUsage() {
  std::string out;
  std::string_view last;
  for (const VerbInfo& info : kVerbs) {
    if (commandOf(info) == last) continue;
    last = commandOf(info);
    std::string usage = commandUsage(last);
    // A command of one verb shows what its placeholders take.
    if (usage == info.usage && !info.note.empty()) usage = fullUsage(info.verb);
    // A command some of whose verbs need boot says which.
    std::string afterBoot;
    for (const VerbInfo& verb : kVerbs)
      if (commandOf(verb) == last && info.beforeBoot && !verb.beforeBoot)
        afterBoot += std::string(afterBoot.empty() ? "" : ", ") + std::string(verb.words);
    if (!afterBoot.empty()) usage += " (" + afterBoot + ": only after boot)";
    out += (info.beforeBoot ? "* " : "  ") + usage + "\n";
  }
  return out;
}

std::string describe(const Location& where) {
  return where.file + ":" + std::to_string(where.line);
}

ScenarioError::ScenarioError(const Location& where, const std::string& message)
    : std::runtime_error(describe(where) + ": " + message), where_(where), detail_(message) {}

std::optional<Command> parseLine(std::string_view line, const Location& where) {
  if (line.find('\0') != std::string_view::npos) fail(where, "a NUL byte; expected text");
  std::string_view content;
  std::vector<Token> tokens = tokenize(line, where, content);
  if (tokens.empty()) return std::nullopt;
  return LineParser(std::move(tokens), content, where).parse();
}

std::vector<Command> parseScenario(std::string_view text, const std::string& file) {
  std::vector<Command> commands;
  forEachCommand(text, file, [&](Command& command) {
    commands.push_back(std::move(command));
    return true;
  });
  return commands;
}

void forEachCommand(std::string_view text, const std::string& file,
                    const std::function<bool(Command&)>& each) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3); // a UTF-8 byte-order mark
  Location where{file, 0};
  while (!text.empty()) {
    ++where.line;
    const size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (auto command = parseLine(line, where))
      if (!each(*command)) return;
  }
}

std::string literal(const prefsfile::Value& value) {
  struct Show {
    std::string operator()(bool v) const { return v ? "true" : "false"; }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return json(v).dump(); }
    std::string operator()(const std::string& v) const { return show(v); }
  };
  return std::visit(Show{}, value);
}

} // namespace quelline::sim
