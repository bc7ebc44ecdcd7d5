#include "sim/output.h"

#include "host/files/shown_text.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>

namespace quelline::sim {
namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// The time column: seconds with milliseconds, right-aligned.
std::string timeColumn(double t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%8.3f", t);
  return buffer;
}

double timeOf(const ordered_json& event) {
  auto it = event.find("t");
  return it != event.end() && it->is_number() ? it->get<double>() : 0.0;
}

// A field value in the text trace: a string as it is when it reads
// unambiguously, JSON otherwise. A string that would read as another value
// ("true", "7", "null") keeps its quotes.
std::string fieldText(const ordered_json& value) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    // Another value is, between JSON's blanks, true, false, null, or starts
    // with one of "-0123456789[{": most words need no parse.
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return prefsfile::asWord(text);
    if (std::strchr("-0123456789[{", text[start]) == nullptr || text[start] == '\0') {
      const size_t end = text.find_last_not_of(" \t\r\n");
      const std::string_view word = std::string_view(text).substr(start, end + 1 - start);
      return word == "true" || word == "false" || word == "null" ? jsonText(value)
                                                                 : prefsfile::asWord(text);
    }
    const json other = json::parse(text, nullptr, false);
    if (!other.is_discarded() && !other.is_string()) return jsonText(value);
    return prefsfile::asWord(text);
  }
  return jsonText(value);
}

// Indented JSON under the event column.
std::string block(const std::string& text) {
  std::string out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    out += "\n          " + line;
  return out;
}

} // namespace

std::string jsonText(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

std::string jsonText(const ordered_json& value, int indent) {
  return value.dump(indent, ' ', false, ordered_json::error_handler_t::replace);
}

bool perceivable(const std::string& kind) {
  static constexpr std::string_view kPerceived[] = {
      "alpha", "banner", "banner-gone", "sound",        "feedback",
      "wake",  "hud",    "redraw",      "bundle-error", "pane-alert"};
  for (std::string_view perceived : kPerceived)
    if (kind == perceived) return true;
  return false;
}

Output::Output(std::ostream& out, OutputOptions options) : out_(out), options_(options) {}

std::string Output::paint(const std::string& text, const char* colour) const {
  if (!options_.colour) return text;
  return std::string("\x1b[") + colour + "m" + text + "\x1b[0m";
}

void Output::record(ordered_json record, const char* type) {
  record["type"] = type;
  line(jsonText(record));
}

void Output::command(double t, const std::string& text, const std::string& file, int lineNumber) {
  if (options_.format == Format::Text) {
    line(timeColumn(t) + "  " + paint("> " + text, "1"));
    return;
  }
  record({{"t", t}, {"command", text}, {"file", file}, {"line", lineNumber}}, "command");
}

void Output::event(const ordered_json& event) {
  auto kind = event.find("event");
  if (options_.brief && (kind == event.end() || !kind->is_string() ||
                         !perceivable(kind->get_ref<const std::string&>())))
    return;
  if (options_.format == Format::Json) {
    record(event, "event");
    return;
  }
  std::string text = timeColumn(timeOf(event)) + "      ";
  text += kind != event.end() ? fieldText(*kind) : "?";
  bool first = true;
  for (const auto& [key, value] : event.items()) {
    if (key == "t" || key == "event") continue;
    text += first ? "  " : " ";
    text += key + "=" + fieldText(value);
    first = false;
  }
  line(text);
}

void Output::dump(double t, const json& state, const std::string& path) {
  if (options_.format == Format::Json) {
    ordered_json out = ordered_json::object();
    out["t"] = t;
    out["dump"] = state;
    if (!path.empty()) out["path"] = path;
    record(std::move(out), "dump");
    return;
  }
  if (!path.empty()) {
    line(timeColumn(t) + "      " + path + " = " + jsonText(state));
    return;
  }
  line(block(jsonText(state, 2)).substr(1));
}

void Output::inspect(double t, const std::string& className, const json& value) {
  if (options_.format == Format::Json) {
    ordered_json out = ordered_json::object();
    out["t"] = t;
    out["inspect"] = value;
    out["class"] = className;
    record(std::move(out), "inspect");
    return;
  }
  line(block(jsonText(value, 2)).substr(1));
}

void Output::expectation(double t, const std::string& path, const std::optional<json>& expected,
                         const std::optional<json>& actual, bool held, const std::string& file,
                         int lineNumber) {
  if (options_.format != Format::Json) return;
  ordered_json out = ordered_json::object();
  out["t"] = t;
  out["expect"] = path;
  if (expected) out["expected"] = *expected;
  if (actual) out["actual"] = *actual;
  out["held"] = held;
  out["file"] = file;
  out["line"] = lineNumber;
  record(std::move(out), "expect");
}

void Output::restart(double t, const std::string& file, int lineNumber) {
  if (options_.format != Format::Json) return;
  record({{"t", t}, {"file", file}, {"line", lineNumber}}, "restart");
}

void Output::error(double t, const std::string& message, int status, const std::string& file,
                   int lineNumber) {
  if (options_.format != Format::Json) return;
  ordered_json out = ordered_json::object();
  out["t"] = t;
  out["error"] = message;
  out["status"] = status;
  if (!file.empty()) out["file"] = file;
  if (lineNumber > 0) out["line"] = lineNumber;
  record(std::move(out), "error");
}

void Output::summary(double t, int held, int failed, int status) {
  if (options_.format == Format::Json) {
    record({{"t", t}, {"held", held}, {"failed", failed}, {"status", status}}, "summary");
    return;
  }
  if (held + failed == 0) return;
  const std::string text = std::to_string(held) + (held == 1 ? " expectation" : " expectations") +
                           " held, " + std::to_string(failed) + " failed";
  line(paint(text, failed > 0 ? "31" : "32"));
}

void Output::flush() {
  out_.flush();
}

void Output::line(const std::string& text) {
  out_ << text << '\n';
  if (options_.flushEachLine) out_.flush();
}

} // namespace quelline::sim
