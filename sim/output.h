// What quelline-sim prints on standard output: the trace of commands,
// events, dumps, inspections and expectations, as readable text or as JSON
// lines. Every JSON line is one record: `t` (the process's clock) first,
// `type` last, saying what the record is:
//
//   command  a command about to run: "command" (its text), "file", "line"
//   event    a trace event as the process emits it: "event" (its kind), fields
//   dump     "dump" (the state, or one field of it with "path")
//   inspect  "inspect" (what the runtime holds), "class"
//   expect   "expect" (the path), "expected", "actual" (each left out when
//            absent), "held", "file", "line"
//   restart  the process ended and booted again: its clock starts at 0
//   error    the run stopped or a live line was refused: "error" (the
//            message), "status" (the exit status it calls for), "file", "line"
//   summary  the end of the run: "held", "failed", "status"
//
// A record type added later follows the same shape, so that a reader can
// skip what it does not know.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

namespace quelline::sim {

enum class Format { Text, Json };

struct OutputOptions {
  Format format = Format::Text;
  // Every line reaches its reader at once (live mode).
  bool flushEachLine = false;
  // Only the events a person perceives (see perceivable()).
  bool brief = false;
  // ANSI colours in the text trace (standard output is a terminal).
  bool colour = false;
};

// Whether an event of kind `kind` is something a person perceives: the
// notification list and the icons fading, banners, sounds and haptics, the
// display waking, the ringer display, the toggle redrawn, and failures. The
// host's internal calls, posts and deliveries and file writes are not.
bool perceivable(const std::string& kind);

class Output {
public:
  Output(std::ostream& out, OutputOptions options);
  // `flushEachLine`: every line reaches its reader at once (live mode).
  Output(std::ostream& out, Format format, bool flushEachLine)
      : Output(out, OutputOptions{format, flushEachLine, false, false}) {}

  Format format() const { return options_.format; }

  // A command about to run, from `file`:`line`.
  void command(double t, const std::string& text, const std::string& file, int line);
  // A trace event as the sink receives it: {"t":…,"event":…,…}.
  void event(const nlohmann::ordered_json& event);
  // HomeProcess::dump(): {"t":…,"dump":{…}} in JSON.
  // With a path, one field: {"t":…,"dump":VALUE,"path":PATH} in JSON.
  void dump(double t, const nlohmann::json& state, const std::string& path = "");
  // HomeProcess::inspect(CLASS): {"t":…,"inspect":{…},"class":CLASS} in JSON.
  void inspect(double t, const std::string& className, const nlohmann::json& value);
  // An expectation and what it found (nullopt: absent). JSON only: the text
  // trace reports a failure on standard error.
  void expectation(double t, const std::string& path, const std::optional<nlohmann::json>& expected,
                   const std::optional<nlohmann::json>& actual, bool held, const std::string& file,
                   int line);
  // The process restarted (JSON only: the text trace echoes the command).
  void restart(double t, const std::string& file, int line);
  // The run stopped or a line was refused (JSON only: the message goes to
  // standard error in both formats). `line` 0: no line of the scenario.
  void error(double t, const std::string& message, int status, const std::string& file, int line);
  // The last line: "14 expectations held, 2 failed" (text, when there were
  // any), or the summary record (JSON).
  void summary(double t, int held, int failed, int status);

  void flush();

private:
  void line(const std::string& text);
  void record(nlohmann::ordered_json record, const char* type);
  std::string paint(const std::string& text, const char* colour) const;

  std::ostream& out_;
  OutputOptions options_;
};

// JSON text of `value`, compact or indented; bytes that are no UTF-8 are
// replaced rather than refused.
std::string jsonText(const nlohmann::json& value, int indent = -1);
std::string jsonText(const nlohmann::ordered_json& value, int indent = -1);

} // namespace quelline::sim
