// What quelline-sim prints on standard output: the trace of events, dumps
// and inspections, as readable text or as JSON lines.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

namespace quelline::sim {

enum class Format { Text, Json };

class Output {
public:
  // `flushEachLine`: every line reaches the terminal at once (live mode).
  Output(std::ostream& out, Format format, bool flushEachLine);

  Format format() const { return format_; }

  // A command about to run (text only: JSON lines hold events and states).
  void command(double t, const std::string& text);
  // A trace event as the sink receives it: {"t":…,"event":…,…}.
  void event(const nlohmann::ordered_json& event);
  // HomeProcess::dump(): {"t":…,"dump":{…}} in JSON.
  // With a path, one field: {"t":…,"dump":VALUE,"path":PATH} in JSON.
  void dump(double t, const nlohmann::json& state, const std::string& path = "");
  // HomeProcess::inspect(CLASS): {"t":…,"inspect":{…},"class":CLASS} in JSON.
  void inspect(double t, const std::string& className, const nlohmann::json& value);

  void flush();

private:
  void line(const std::string& text);

  std::ostream& out_;
  Format format_;
  bool flushEachLine_;
};

// JSON text of `value`, compact or indented; bytes that are no UTF-8 are
// replaced rather than refused.
std::string jsonText(const nlohmann::json& value, int indent = -1);
std::string jsonText(const nlohmann::ordered_json& value, int indent = -1);

} // namespace quelline::sim
