// The protocol between quelline-sim and the Settings process
// (quelline-settings-app), for both ends: sim/settings_app.cpp drives the
// process, sim/settings_app_main.cpp is the process. One JSON object a
// line, each way, over one socket (the process's standard input and
// output); no line longer than kMaxLineBytes.
//
//   the process says  {"ready":true} once booted, or {"failed":MESSAGE} and exits 3
//   it reads          {"op":"open"} | {"op":"set","key":K,"value":V}
//                     | {"op":"set","pairs":[[K,V],…]} (several controls as one change)
//                     | {"op":"apps","list":"silent"|"banner","action":"add"|"remove","app":A}
//                     | {"op":"storage","full":B}
//   it answers        {"event":{…}} for each trace event, then
//                     {"reply":{"outcome":"applied"|"refused"|"failed"|null,
//                               "message":TEXT,"pane":STATE}}
//                     or {"reply":{"error":MESSAGE}} for a request it cannot read
//
// A request is read strictly: an unknown op, a field that the op does not
// take, a field missing or of the wrong type, an unknown list or action is
// an error, never a default.
#pragma once

#include "host/sim/settings/settings_process.h"
#include "host/support/expected.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quelline::sim::settingsapp {

// The longest line either side reads.
inline constexpr size_t kMaxLineBytes = size_t{16} << 20;

// What the process says once booted.
inline constexpr const char* kReady = "ready";
inline constexpr const char* kFailed = "failed";
// The two kinds of line it answers with.
inline constexpr const char* kEvent = "event";
inline constexpr const char* kReply = "reply";
// A reply's fields.
inline constexpr const char* kOutcome = "outcome";
inline constexpr const char* kMessage = "message";
inline constexpr const char* kPane = "pane";
inline constexpr const char* kError = "error";

// The requests.
struct Open {};
// One control or several, changed as one: each key with what its control
// is given (a boolean, a number). Never empty.
struct Set {
  std::vector<std::pair<std::string, nlohmann::json>> pairs;
};
struct Apps {
  hostsim::settings::AppList list = hostsim::settings::AppList::Silent;
  hostsim::settings::AppEdit action = hostsim::settings::AppEdit::Add;
  std::string app;
};
struct Storage {
  bool full = false;
};
using Request = std::variant<Open, Set, Apps, Storage>;

// The request as a line's object, and back. decode's error names the field
// and what it takes.
nlohmann::json encode(const Request& request);
support::Expected<Request> decode(const nlohmann::json& message);
// The request's "op" ("open", "set", …), an app list's and an edit's word.
const char* opName(const Request& request);
const char* listName(hostsim::settings::AppList list);   // "silent", "banner"
const char* editName(hostsim::settings::AppEdit action); // "add", "remove"

// Why no line came.
struct LineError {
  enum class Kind {
    TooLong,     // longer than kMaxLineBytes
    EndOfInput,  // the other side closed its end
    Timeout,     // nothing whole came before the deadline
    Interrupted, // a signal interrupted the wait
    System,      // the system refused the wait or the read
  };
  Kind kind;
  std::string reason; // in words: "a line longer than 16 MiB", "end of input", …
};

// Lines from a descriptor that nobody else reads.
class LineReader {
public:
  explicit LineReader(int descriptor) : descriptor_(descriptor) {}

  // The next line, without its newline. While none is whole, `idle` (if
  // any) runs every `slice`; the wait ends at `deadline` (none: as long as
  // it takes). A line longer than the limit is an error as soon as the
  // limit is passed, and is never held whole: the rest of it, up to its
  // newline, is dropped, and the next call goes on with the line after it.
  // An interrupted wait loses nothing: calling again goes on.
  support::Expected<std::string, LineError>
  next(std::optional<std::chrono::steady_clock::time_point> deadline,
       const std::function<void()>& idle, std::chrono::milliseconds slice);

private:
  int descriptor_;
  std::string buffer_;
  bool dropping_ = false; // inside a line that was too long
};

} // namespace quelline::sim::settingsapp
