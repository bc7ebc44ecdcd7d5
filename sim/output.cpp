#include "output.h"

#include <cstdio>
#include <sstream>

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
// unambiguously, JSON otherwise.
std::string fieldText(const ordered_json& value) {
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    bool plain = !s.empty();
    for (char c : s)
      if (c == ' ' || c == '"' || c == '=' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
        plain = false;
    if (plain) return s;
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

Output::Output(std::ostream& out, Format format, bool flushEachLine)
    : out_(out), format_(format), flushEachLine_(flushEachLine) {}

void Output::command(double t, const std::string& text) {
  if (format_ == Format::Text) line(timeColumn(t) + "  > " + text);
}

void Output::event(const ordered_json& event) {
  if (format_ == Format::Json) {
    line(jsonText(event));
    return;
  }
  std::string text = timeColumn(timeOf(event)) + "      ";
  auto kind = event.find("event");
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
  if (format_ == Format::Json) {
    ordered_json record = ordered_json::object();
    record["t"] = t;
    record["dump"] = state;
    if (!path.empty()) record["path"] = path;
    line(jsonText(record));
    return;
  }
  if (!path.empty()) {
    line(timeColumn(t) + "      " + path + " = " + jsonText(state));
    return;
  }
  line(block(jsonText(state, 2)).substr(1));
}

void Output::inspect(double t, const std::string& className, const json& value) {
  if (format_ == Format::Json) {
    ordered_json record = ordered_json::object();
    record["t"] = t;
    record["inspect"] = value;
    record["class"] = className;
    line(jsonText(record));
    return;
  }
  line(block(jsonText(value, 2)).substr(1));
}

void Output::flush() {
  out_.flush();
}

void Output::line(const std::string& text) {
  out_ << text << '\n';
  if (flushEachLine_) out_.flush();
}

} // namespace quelline::sim
