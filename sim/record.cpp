#include "sim/record.h"

#include "sim/output.h"
#include "sim/session.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <unistd.h>
#include <utility>

namespace quelline::sim {
namespace {

using json = nlohmann::json;

// The parts of the state that a person perceives or that explain it; the
// rest (hooks, registrations, counts of host calls) stays in `dump`.
constexpr const char* kStateFields[] = {
    "settings", "flags",    "list",    "icons",   "ringer",        "module", "timer",
    "file",     "realerts", "banners", "display", "tapRecognizer", "pane",   "togglePeriod"};

// The device's wall clock as its zone and its reading at the run's time 0
// ("base", whole seconds): the same while the clock runs with the run, so
// records carry it only when the clock was set, the zone changed or the
// device slept. From the state's clock ("2025-01-06T22:00:00+01:00").
std::optional<json> deviceClock(const json& state, double t) {
  const auto clock = state.find("clock");
  if (clock == state.end() || !clock->is_object() || !clock->contains("local")) return std::nullopt;
  const json& local = (*clock)["local"];
  if (!local.is_string()) return std::nullopt;
  std::tm fields{};
  char sign = '+';
  int hours = 0, minutes = 0;
  if (std::sscanf(local.get_ref<const std::string&>().c_str(), "%d-%d-%dT%d:%d:%d%c%d:%d",
                  &fields.tm_year, &fields.tm_mon, &fields.tm_mday, &fields.tm_hour, &fields.tm_min,
                  &fields.tm_sec, &sign, &hours, &minutes) != 9)
    return std::nullopt;
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  const double offset = (sign == '-' ? -1 : 1) * (hours * 3600.0 + minutes * 60.0);
  const double wall = static_cast<double>(timegm(&fields)) - offset;
  return json{{"zone", (*clock)["zone"]}, {"base", std::round(wall - t)}};
}

// What changed from `before` to `after`, as a JSON merge patch (RFC 7396):
// objects key by key, a key that went as null, anything else whole. So a
// record holds one changed key of the preference file, not the file.
json changes(const json& before, const json& after) {
  if (!before.is_object() || !after.is_object()) return after;
  json out = json::object();
  for (const auto& [key, value] : after.items()) {
    const auto it = before.find(key);
    if (it == before.end())
      out[key] = value;
    else if (*it != value)
      out[key] = it->is_object() && value.is_object() ? changes(*it, value) : value;
  }
  for (const auto& [key, value] : before.items())
    if (!after.contains(key)) out[key] = nullptr;
  return out;
}

// The first word of the command, and the app it names for those that move
// an app ("open APP", "suspend APP").
std::string word(const std::string& text, size_t index) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    start = text.find_first_not_of(" \t", start);
    if (start == std::string::npos) return "";
    const size_t end = text.find_first_of(" \t", start);
    if (i == index) return text.substr(start, end == std::string::npos ? end : end - start);
    if (end == std::string::npos) return "";
    start = end;
  }
}

const char* verdictText(int status) {
  switch (status) {
  case kExitOk:
    return "every expectation held";
  case kExitExpectFailed:
    return "an expectation failed";
  case kExitScenarioError:
    return "the scenario is wrong";
  default:
    return "the simulator failed";
  }
}

// Text a kept list holds in memory before it moves it on to its file.
constexpr size_t kKeptInMemory = 256 * 1024;

// A temporary file already unlinked: it goes with the process. Null when
// none can be made (the records then stay in memory).
std::FILE* anonymousFile() {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  std::string name = (error ? std::filesystem::path("/tmp") : folder) / "quelline-records.XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return nullptr;
  ::unlink(name.c_str());
  std::FILE* file = ::fdopen(fd, "w+");
  if (file == nullptr) ::close(fd);
  return file;
}

} // namespace

RunRecorder::KeptList::~KeptList() {
  if (spill_ != nullptr) std::fclose(spill_);
}

void RunRecorder::KeptList::add(const std::string& record, double t) {
  if (count_ > 0) text_ += ',';
  text_ += record;
  ++count_;
  lastTime_ = t;
  if (text_.size() < kKeptInMemory || spillFailed_) return;
  if (spill_ == nullptr) spill_ = anonymousFile();
  if (spill_ == nullptr || std::fwrite(text_.data(), 1, text_.size(), spill_) != text_.size()) {
    // No room for it on disk: what was written stays there, the rest in
    // memory from here on.
    spillFailed_ = true;
    if (spill_ != nullptr) std::fflush(spill_);
    return;
  }
  text_.clear();
}

bool RunRecorder::KeptList::write(const std::function<bool(std::string_view)>& write) const {
  if (!write("[")) return false;
  if (spill_ != nullptr) {
    if (std::fflush(spill_) != 0) return false;
    const int fd = ::fileno(spill_);
    std::string piece(kKeptInMemory, '\0');
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
      if (n < 0) return false;
      if (n == 0) break;
      if (!write(std::string_view(piece.data(), static_cast<size_t>(n)))) return false;
      at += n;
    }
  }
  return write(text_) && write("]");
}

RunRecorder::RunRecorder(std::string scenario, bool vanilla)
    : scenario_(std::move(scenario)), vanilla_(vanilla) {}

void RunRecorder::setListener(Listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void RunRecorder::setKeeping(bool keep) {
  std::lock_guard lock(mutex_);
  keeping_ = keep;
}

double RunRecorder::runTime(double processTime) const {
  std::lock_guard lock(mutex_);
  return offset_ + processTime;
}

void RunRecorder::add(const char* kind, KeptList& list, json record) {
  Listener listener;
  json message;
  {
    std::lock_guard lock(mutex_);
    ++seq_;
    if (keeping_) {
      const double t = record.value("t", 0.0);
      list.add(jsonText(record), t);
    }
    if (listener_) {
      listener = listener_;
      message = json{{"seq", seq_}, {"kind", kind}, {"record", std::move(record)}};
    }
  }
  if (listener) listener(message);
}

void RunRecorder::event(const nlohmann::ordered_json& event) {
  // Deliveries and host calls explain the trace line by line; a person
  // sees their effects, which have events of their own.
  const auto kind = event.find("event");
  if (kind == event.end() || !kind->is_string()) return;
  const std::string& name = kind->get_ref<const std::string&>();
  if (name == "deliver" || name == "host") return;
  json record = json::object();
  double t = 0;
  if (auto it = event.find("t"); it != event.end() && it->is_number()) t = it->get<double>();
  {
    std::lock_guard lock(mutex_);
    lastTime_ = t;
    t += offset_;
  }
  for (const auto& [key, value] : event.items())
    record[key] = value;
  record["t"] = t;
  {
    std::lock_guard lock(mutex_);
    eventsSinceState_ = true;
  }
  add("event", events_, std::move(record));
}

void RunRecorder::commandStarted(const Command& command, double t) {
  json record;
  {
    std::lock_guard lock(mutex_);
    // A new process starts at time 0: the run's clock goes on from here.
    if (command.verb == Verb::Restart) offset_ += t;
    lastTime_ = command.verb == Verb::Restart ? 0 : t;
    record = json{{"t", command.verb == Verb::Restart ? offset_ : offset_ + t},
                  {"line", command.where.line},
                  {"file", command.where.file},
                  {"text", command.text}};
    // The app as the command's line was read (quotes gone, spaces kept).
    if (command.verb == Verb::Notify || command.verb == Verb::Open || command.verb == Verb::Suspend)
      record["app"] = command.name;
  }
  add("command", commands_, std::move(record));
}

json RunRecorder::stateRecord(double t, const json& line, const json& state) {
  // Field by field: only a field that changed is copied or taken apart.
  json changed = json::object();
  auto note = [&](const char* field, const json* now) {
    const auto before = lastState_.find(field);
    if (now == nullptr) {
      if (before == lastState_.end()) return;
      changed[field] = nullptr;
      lastState_.erase(before);
    } else if (before == lastState_.end()) {
      changed[field] = *now;
      lastState_[field] = *now;
    } else if (*before != *now) {
      changed[field] = before->is_object() && now->is_object() ? changes(*before, *now) : *now;
      *before = *now;
    }
  };
  for (const char* field : kStateFields) {
    const auto now = state.find(field);
    note(field, now == state.end() ? nullptr : &*now);
  }
  const std::optional<json> clock = deviceClock(state, t);
  note("clock", clock ? &*clock : nullptr);
  json record = json{{"t", t}, {"line", line}, {"changed", std::move(changed)}};
  const json front = frontApp_.empty() ? json(nullptr) : json(frontApp_);
  if (front != lastFront_) record["front"] = front;
  lastFront_ = front;
  return record;
}

void RunRecorder::commandFinished(const Command& command, double t, const json& state) {
  json record;
  {
    std::lock_guard lock(mutex_);
    eventsSinceState_ = false;
    const std::string verb = word(command.text, 0);
    if (verb == "open") frontApp_ = command.name;
    if ((verb == "suspend" && command.name == frontApp_) || verb == "restart" || verb == "boot")
      frontApp_.clear();
    record = stateRecord(offset_ + t, command.where.line, state);
    // A process started: the views opaque again, whatever the state holds.
    if (command.verb == Verb::Boot || command.verb == Verb::Restart) record["process"] = verb;
  }
  add("state", states_, std::move(record));
}

void RunRecorder::sampleIfChanged(double t,
                                  const std::function<void(const Runner::StateUse&)>& withState) {
  {
    std::lock_guard lock(mutex_);
    if (!eventsSinceState_) return;
    eventsSinceState_ = false;
  }
  json record;
  // Outside the lock: the dump runs the process's code.
  withState([&](const json& now) {
    std::lock_guard lock(mutex_);
    eventsSinceState_ = false;
    record = stateRecord(offset_ + t, nullptr, now);
  });
  add("state", states_, std::move(record));
}

void RunRecorder::expectation(const Command& command, double t, bool held, const json* actual) {
  json record;
  {
    std::lock_guard lock(mutex_);
    record = json{{"t", offset_ + t},
                  {"line", command.where.line},
                  {"file", command.where.file},
                  {"path", command.pathText},
                  {"expected", command.expected ? *command.expected : json("absent")},
                  {"actual", actual != nullptr ? *actual : json("absent")},
                  {"held", held}};
    if (keeping_ && !held) ++failedExpectations_;
  }
  add("expectation", expectations_, std::move(record));
}

void RunRecorder::failed(const std::string& message) {
  Listener listener;
  uint64_t seq = 0;
  {
    std::lock_guard lock(mutex_);
    if (keeping_) errors_.push_back(message);
    seq = ++seq_;
    listener = listener_;
  }
  if (listener) listener(json{{"seq", seq}, {"kind", "error"}, {"record", {{"message", message}}}});
}

void RunRecorder::finish(int status) {
  std::lock_guard lock(mutex_);
  verdict_ = json{{"status", status},
                  {"text", verdictText(status)},
                  {"expectations", expectations_.size()},
                  {"failed", failedExpectations_},
                  {"errors", errors_}};
}

json RunRecorder::snapshot() const {
  std::string text;
  writeSnapshot([&](std::string_view piece) {
    text += piece;
    return true;
  });
  return json::parse(text);
}

void RunRecorder::writeSnapshot(const std::function<bool(std::string_view)>& write) const {
  std::lock_guard lock(mutex_);
  double end = offset_ + lastTime_;
  for (const KeptList* list : {&commands_, &events_, &states_})
    if (!list->empty()) end = std::max(end, list->lastTime());
  // The members in the order jsonText gives an object's: by name.
  auto member = [&](const char* name, bool first = false) {
    return write(std::string(first ? "{\"" : ",\"") + name + "\":");
  };
  const json stateBase = {{"t", 0}, {"state", json::object()}, {"front", nullptr}};
  (void)(member("commands", true) && commands_.write(write) && member("end") &&
         write(jsonText(json(end))) && member("errors") && write(jsonText(json(errors_))) &&
         member("events") && events_.write(write) && member("expectations") &&
         expectations_.write(write) && member("scenario") && write(jsonText(json(scenario_))) &&
         member("seq") && write(std::to_string(seq_)) && member("stateBase") &&
         write(jsonText(stateBase)) && member("states") && states_.write(write) &&
         member("vanilla") && write(vanilla_ ? "true" : "false") && member("verdict") &&
         write(jsonText(verdict_)) && write("}"));
}

} // namespace quelline::sim
