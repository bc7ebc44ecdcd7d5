#include "scenario.h"

#include <cmath>
#include <limits>
#include <utility>

namespace quelline::sim {
namespace {

using json = nlohmann::json;

constexpr std::string_view kCommands =
    "boot, restart, switch, toggle, cc, notify, open, suspend, overlay, clear, touch, tap, "
    "layout, window, query, wait, prefs, apps, device, post, inspect, dump, expect";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

struct Token {
  std::string text; // quoted tokens decoded
  bool quoted = false;
  size_t begin = 0; // in the line
};

[[noreturn]] void fail(const Location& where, const std::string& message) {
  throw ScenarioError(where, message);
}

// Text quoted as a JSON string (bytes that are no UTF-8 replaced).
std::string show(std::string_view text) {
  return json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
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
      json decoded = json::parse(raw, nullptr, false);
      if (!decoded.is_string())
        fail(where, "bad string " + std::string(raw) + " at column " +
                        std::to_string(token.begin + 1) +
                        "; expected a JSON string (UTF-8, escapes such as \\\" \\\\ \\n "
                        "\\u00e9)");
      token.text = decoded.get<std::string>();
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
    if (word == "boot") return boot();
    if (word == "restart") return bare(Verb::Restart, "restart");
    if (word == "switch") {
      usage_ = "switch silent|ring";
      command_.flag = choice(1, "silent", "ring");
      return done(Verb::Switch, 2);
    }
    if (word == "toggle") {
      usage_ = "toggle on|off";
      command_.flag = choice(1, "on", "off");
      return done(Verb::Toggle, 2);
    }
    if (word == "cc") {
      usage_ = "cc open";
      keyword(1, {"open"});
      return done(Verb::CcOpen, 2);
    }
    if (word == "notify") return notify();
    if (word == "open") return named(Verb::Open, "open APP", "an app's bundle identifier");
    if (word == "suspend") return named(Verb::Suspend, "suspend APP", "an app's bundle identifier");
    if (word == "overlay") return bare(Verb::Overlay, "overlay");
    if (word == "clear") return bare(Verb::Clear, "clear");
    if (word == "touch") return bare(Verb::Touch, "touch");
    if (word == "tap") return tap();
    if (word == "layout") return bare(Verb::Layout, "layout");
    if (word == "window") return bare(Verb::Window, "window");
    if (word == "query") return query();
    if (word == "wait") return wait();
    if (word == "prefs") return prefs();
    if (word == "apps") return apps();
    if (word == "device") return device();
    if (word == "post") return named(Verb::Post, "post NAME", "a notification name");
    if (word == "inspect") return named(Verb::Inspect, "inspect CLASS", "a class name");
    if (word == "dump") return dump();
    if (word == "expect") return expect();
    fail(where_, "unknown command " + show(word) + "; expected one of: " + std::string(kCommands));
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
    json value = token.quoted ? json() : json::parse(token.text, nullptr, false);
    if (!value.is_number()) bad(show(token.text) + " is not " + what);
    return value;
  }

  Command done(Verb verb, size_t arity) {
    if (tokens_.size() > arity) bad("unexpected argument " + show(tokens_[arity].text));
    command_.verb = verb;
    return std::move(command_);
  }

  Command bare(Verb verb, const char* usage) {
    usage_ = usage;
    return done(verb, 1);
  }

  Command named(Verb verb, const char* usage, const std::string& what) {
    usage_ = usage;
    command_.name = name(1, what);
    return done(verb, 2);
  }

  Command boot() {
    usage_ = "boot [--without CLASS]... [--cc-lazy]";
    for (size_t i = 1; i < tokens_.size(); ++i) {
      const std::string& flag = tokens_[i].text;
      if (flag == "--cc-lazy") {
        command_.ccLazy = true;
      } else if (flag == "--without") {
        command_.without.insert(name(++i, "class name after --without"));
      } else {
        bad("unexpected argument " + show(flag));
      }
    }
    command_.verb = Verb::Boot;
    return std::move(command_);
  }

  Command notify() {
    usage_ = "notify APP [sound NAME | nosound]";
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
    usage_ = "tap N (N a positive integer)";
    json n = number(1, "a positive integer");
    if (!n.is_number_unsigned() || n.get<uint64_t>() == 0 ||
        n.get<uint64_t>() > std::numeric_limits<unsigned long>::max())
      bad(show(tokens_[1].text) + " is not a positive integer");
    command_.taps = n.get<unsigned long>();
    return done(Verb::Tap, 2);
  }

  Command query() {
    usage_ = "query today|search true|false";
    const bool today = choice(1, "today", "search");
    label_ = "query " + tokens_[1].text;
    command_.flag = choice(2, "true", "false");
    return done(today ? Verb::QueryToday : Verb::QuerySearch, 3);
  }

  Command wait() {
    usage_ = "wait SECONDS (a non-negative decimal)";
    json n = number(1, "a number of seconds");
    const double seconds = n.get<double>();
    if (!std::isfinite(seconds) || seconds < 0)
      bad(show(tokens_[1].text) + " is not a non-negative number of seconds");
    command_.seconds = seconds;
    return done(Verb::Wait, 2);
  }

  // A value literal: true/false, an integer (64-bit), a decimal (real) or a
  // "quoted string".
  prefsfile::Value value(size_t index) const {
    const Token& token = need(index, "value");
    if (token.quoted) {
      if (token.text.find('\0') != std::string::npos) bad("a string holding a NUL character");
      return token.text;
    }
    json v = json::parse(token.text, nullptr, false);
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
    usage_ = "prefs set|write KEY VALUE | prefs remove KEY | prefs reload|delete|corrupt | "
             "prefs copy FILE";
    const size_t which =
        keyword(1, {"set", "write", "remove", "reload", "delete", "corrupt", "copy"});
    label_ = "prefs " + tokens_[1].text;
    switch (which) {
    case 0:
    case 1: {
      const bool set = tokens_[1].text == "set";
      usage_ = set ? "prefs set KEY VALUE" : "prefs write KEY VALUE";
      command_.name = name(2, "key");
      command_.value = value(3);
      return done(set ? Verb::PrefsSet : Verb::PrefsWrite, 4);
    }
    case 2:
      usage_ = "prefs remove KEY";
      command_.name = name(2, "key");
      return done(Verb::PrefsRemove, 3);
    case 3:
      usage_ = "prefs reload";
      return done(Verb::PrefsReload, 2);
    case 4:
      usage_ = "prefs delete";
      return done(Verb::PrefsDelete, 2);
    case 5:
      usage_ = "prefs corrupt";
      return done(Verb::PrefsCorrupt, 2);
    default:
      usage_ = "prefs copy FILE";
      command_.name = name(2, "file");
      return done(Verb::PrefsCopy, 3);
    }
  }

  Command apps() {
    usage_ = "apps add|remove silent|banner APP";
    const bool add = choice(1, "add", "remove");
    label_ = "apps " + tokens_[1].text;
    command_.list = choice(2, "silent", "banner") ? AppList::Silent : AppList::Banner;
    command_.name = name(3, "app (a bundle identifier)");
    return done(add ? Verb::AppsAdd : Verb::AppsRemove, 4);
  }

  Command device() {
    usage_ = "device feedback-level N|none | device model NAME";
    const bool model = keyword(1, {"feedback-level", "model"}) == 1;
    label_ = "device " + tokens_[1].text;
    if (model) {
      usage_ = "device model NAME";
      command_.name = name(2, "model name");
      return done(Verb::DeviceModel, 3);
    }
    usage_ = "device feedback-level N|none (N an integer)";
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
    usage_ = "dump [PATH]";
    command_.verb = Verb::Dump;
    if (tokens_.size() > 2) bad("too many arguments");
    if (tokens_.size() == 2) path(name(1, "path"));
    return std::move(command_);
  }

  Command expect() {
    usage_ = "expect PATH VALUE (VALUE JSON, or absent)";
    path(name(1, "path"));
    const Token& first = need(2, "value");
    const std::string_view text = content_.substr(first.begin);
    if (!first.quoted && text == "absent") {
      command_.verb = Verb::Expect;
      return std::move(command_);
    }
    try {
      command_.expected = json::parse(text);
    } catch (const json::parse_error& e) {
      std::string why = e.what();
      // "[json.exception.parse_error.101] parse error at …": keep the part
      // after the identifier.
      if (size_t bracket = why.find("] "); bracket != std::string::npos)
        why = why.substr(bracket + 2);
      bad("bad JSON value " + show(text) + " (" + why +
          "); a value is JSON such as true, 0.5, null, \"iPhone\" or [2,3]");
    }
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

std::string describe(const Location& where) {
  return where.file + ":" + std::to_string(where.line);
}

ScenarioError::ScenarioError(const Location& where, const std::string& message)
    : std::runtime_error(describe(where) + ": " + message) {}

std::optional<Command> parseLine(std::string_view line, const Location& where) {
  if (line.find('\0') != std::string_view::npos) fail(where, "a NUL byte; expected text");
  std::string_view content;
  std::vector<Token> tokens = tokenize(line, where, content);
  if (tokens.empty()) return std::nullopt;
  return LineParser(std::move(tokens), content, where).parse();
}

std::vector<Command> parseScenario(std::string_view text, const std::string& file) {
  std::vector<Command> commands;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3); // a UTF-8 byte-order mark
  Location where{file, 0};
  while (!text.empty()) {
    ++where.line;
    const size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (auto command = parseLine(line, where)) commands.push_back(std::move(*command));
  }
  return commands;
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
