#include "sim/runner.h"

#include "host/files/device_paths.h"
#include "host/sim/services/cf_preferences.h"
#include "host/sim/services/darwin_notify.h"
#include "host/sim/services/recent_log.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/trace.h"
#include "host/sim/services/wall_clock.h"
#include "prefs/domain.h"
#include "sim/library_state.h"
#include "tools/quelline_prefs/editor_domain.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace quelline::sim {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using prefsfile::FileError;
using prefsfile::FileProblem;
using prefsfile::PreferenceFile;

// Device paths of the files that `prefs` and `apps` edit, and the name the
// preference editor posts after a change.
constexpr std::string_view kPreferencesPath = QUELLINE_PREFS_PATH;
constexpr std::string_view kSilentAppsPath = QUELLINE_SILENT_APPS_PATH;
constexpr std::string_view kBannerAppsPath = QUELLINE_BANNER_APPS_PATH;
constexpr std::string_view kReloadNotification = QUELLINE_RELOAD_PREFS;

// What `prefs corrupt` leaves: text that no property-list reader accepts.
constexpr std::string_view kCorruptBytes = "quelline-sim: this is not a property list\n";

// A file that `prefs copy` takes is the user's own and may be larger than
// any property list, on purpose; the bound only keeps a mistake small.
constexpr size_t kMaxCopyBytes = size_t{64} << 20;

std::string verbName(Verb verb) {
  return std::string(verbInfo(verb).words);
}

void emitWrite(std::string_view devicePath, bool ok) {
  hostsim::trace::emit("write", {{"path", std::string(devicePath)}, {"ok", ok}});
}

// Numbers equal by value: integers exactly, anything else to within a
// relative 1e-9 (so that 0.1 + 0.2 on the clock equals 0.3 in a scenario).
bool sameValue(const json& a, const json& b) {
  if (a.is_number() && b.is_number()) {
    if (!a.is_number_float() && !b.is_number_float()) return a == b;
    const double x = a.get<double>();
    const double y = b.get<double>();
    if (x == y) return true;
    const double scale = std::max({1.0, std::fabs(x), std::fabs(y)});
    return std::fabs(x - y) <= 1e-9 * scale;
  }
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!sameValue(a[i], b[i])) return false;
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto other = b.find(it.key());
      if (other == b.end() || !sameValue(*it, *other)) return false;
    }
    return true;
  }
  return a == b;
}

// The value at `path` in `state`: object keys, and array indices where the
// value is an array; nullptr when there is none.
const json* find(const json& state, const std::vector<std::string>& path) {
  const json* node = &state;
  for (const std::string& part : path) {
    if (node->is_object()) {
      auto it = node->find(part);
      if (it == node->end()) return nullptr;
      node = &*it;
    } else if (node->is_array()) {
      if (part.empty() || part.size() > 9 ||
          !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return nullptr;
      const size_t index = std::stoul(part);
      if (index >= node->size()) return nullptr;
      node = &(*node)[index];
    } else {
      return nullptr;
    }
  }
  return node;
}

// A number of seconds as a person writes it: 1, 0.7, 1e+12.
std::string decimal(double seconds) {
  std::ostringstream out;
  out << std::setprecision(15) << seconds;
  return out.str();
}

} // namespace

SimulatorFailure::SimulatorFailure(const Location& where, const std::string& message)
    : std::runtime_error(describe(where) + ": " + message), where_(where), detail_(message) {}

Runner::Runner(const RunnerOptions& options, Output& output)
    : options_(options), output_(output),
      process_(options.root, options.clock, options.deliverables) {
  // The device starts with the run: its preferences daemon holds nothing yet.
  hostsim::startPreferencesDaemon(options.root);
  releaseLibraryHoldingsAtEnd(process_);
  // A run keeps the usual history until it asks for another.
  hostsim::setHistoryBound(hostsim::kDefaultHistoryBound);
}

fs::path Runner::hostPath(std::string_view devicePath) const {
  return prefsfile::hostPathUnder(options_.root, devicePath);
}

fs::path Runner::preferencesFile() const {
  return hostPath(kPreferencesPath);
}

json Runner::state(hostsim::home::HomeProcess::Detail detail) const {
  json state = process_.dump(detail);
  addLibraryState(process_, state, detail);
  state["pane"] = pane_;
  return state;
}

void Runner::withPerceivedState(const StateUse& use) {
  json state = process_.dump(hostsim::home::HomeProcess::Detail::Perceived);
  addLibraryState(process_, state, hostsim::home::HomeProcess::Detail::Perceived);
  json& lent = state["pane"];
  lent = std::move(pane_);
  // Back whatever `use` does, thrown or not.
  struct GiveBack {
    json& from;
    json& to;
    ~GiveBack() { to = std::move(from); }
  } giveBack{lent, pane_};
  use(state);
}

void Runner::refusePastWallClock(const Location& where, const char* verb, double seconds) const {
  if (process_.wallTime() + seconds <= hostsim::kLatestWallClock) return;
  throw ScenarioError(where, std::string("\"") + verb + "\": " + decimal(seconds) +
                                 " seconds would carry the wall clock past " +
                                 hostsim::localTimeText(hostsim::kLatestWallClock, "UTC") +
                                 ", the latest time it holds; expected a shorter time");
}

double Runner::now() const {
  return process_.booted() ? process_.now() : 0.0;
}

void Runner::runDue() {
  if (process_.booted()) process_.runDue();
}

void Runner::run(const Command& command, const fs::path& base) {
  // Cross-process deliveries that came in since the last command run first.
  runDue();
  const Location& where = command.where;
  if (!process_.booted() && !verbInfo(command.verb).beforeBoot)
    throw ScenarioError(where,
                        std::string("\"") + verbName(command.verb) +
                            "\" before boot; expected boot first (only prefs, apps, settings, "
                            "allow, history, device, dump, inspect and expect may come before it)");
  output_.command(now(), command.text, where.file, where.line);
  if (observer_ != nullptr) observer_->commandStarted(command, now());
  const size_t failedBefore = failedWrites();
  if (command.verb == Verb::Boot || command.verb == Verb::Restart) hoursHold_ = false;
  perform(command, base);
  watchQuietHours();
  if (observer_ != nullptr)
    withPerceivedState(
        [&](const json& state) { observer_->commandFinished(command, now(), state); });
  // A write that the process failed (the toggle's, say) is a failure of the
  // run unless the scenario expects it; the process itself tries again.
  const bool started = command.verb == Verb::Boot || command.verb == Verb::Restart;
  const size_t failed = failedWrites() - (started ? 0 : failedBefore);
  if (failed > 0 && !allowWriteFailures_)
    throw SimulatorFailure(where, "the home-screen process could not write a file (" +
                                      std::to_string(failed) +
                                      " failed write(s), see write-failed in the trace); "
                                      "\"allow write-failures\" expects it");
}

Runner::~Runner() {
  // The process may outlive this runner's watch of it.
  if (process_.booted()) hostsim::mainRunLoop().setAfterWork(nullptr);
}

void Runner::watchQuietHours() {
  if (!process_.booted()) return;
  hostsim::mainRunLoop().setAfterWork([this] { watchQuietHours(); });
  const bool hold = quietHoursHold(process_);
  if (hold == hoursHold_) return;
  hoursHold_ = hold;
  hostsim::trace::emit("quiet-hours", {{"hold", hold}});
}

size_t Runner::failedWrites() const {
  return process_.booted() ? process_.failedWrites() : 0;
}

void Runner::perform(const Command& command, const fs::path& base) {
  const Location& where = command.where;
  switch (command.verb) {
  case Verb::Boot: {
    if (process_.booted())
      throw ScenarioError(where, "boot: the process is already booted; expected restart");
    hostsim::home::BootOptions boot;
    boot.without = command.without;
    boot.ccLazy = command.ccLazy;
    boot.screen = command.screen.value_or(options_.screen);
    boot.vanilla = options_.vanilla;
    process_.boot(boot);
    break;
  }
  case Verb::Restart:
    process_.restart();
    output_.restart(now(), where.file, where.line);
    break;
  case Verb::Switch:
    process_.setSwitch(command.flag);
    break;
  case Verb::Toggle:
    noteMissingToggle(command);
    process_.setToggle(command.flag);
    break;
  case Verb::CcOpen:
    noteMissingToggle(command);
    process_.openControlCenter();
    break;
  case Verb::Notify:
    process_.notify(command.name, command.sound);
    break;
  case Verb::Open:
    process_.openApp(command.name);
    break;
  case Verb::Suspend:
    process_.suspendApp(command.name);
    break;
  case Verb::Overlay:
    process_.overlay();
    break;
  case Verb::Clear:
    process_.clearList();
    break;
  case Verb::Touch:
    process_.touch();
    break;
  case Verb::Tap:
    process_.tap(command.taps);
    break;
  case Verb::Layout:
    process_.layout();
    break;
  case Verb::Window:
    process_.window();
    break;
  case Verb::QueryToday:
    process_.queryToday(command.flag);
    break;
  case Verb::QuerySearch:
    process_.querySearch(command.flag);
    break;
  case Verb::Wait:
    refusePastWallClock(where, "wait", command.seconds);
    if (now() + command.seconds > hostsim::kLatestClockTime)
      throw ScenarioError(
          where, "\"wait\": " + decimal(command.seconds) + " seconds would carry the clock past " +
                     std::to_string(static_cast<uint64_t>(hostsim::kLatestClockTime)) +
                     " s, the latest time it holds; expected a shorter wait");
    process_.wait(command.seconds);
    break;
  case Verb::PrefsSet:
  case Verb::PrefsWrite:
  case Verb::PrefsRemove:
    editPreferences(command);
    break;
  case Verb::PrefsReload:
    postReload();
    break;
  case Verb::PrefsDelete: {
    std::error_code ec;
    // The file only: a folder standing in its place is left as it is.
    if (fs::is_directory(fs::symlink_status(hostPath(kPreferencesPath), ec)))
      throw SimulatorFailure(
          where, "prefs delete: " + prefsfile::inQuotes(hostPath(kPreferencesPath).string()) +
                     " is a folder, not the preference file; it was left as it "
                     "is");
    fs::remove(hostPath(kPreferencesPath), ec);
    if (ec)
      throw SimulatorFailure(where, "prefs delete: cannot delete " +
                                        prefsfile::inQuotes(hostPath(kPreferencesPath).string()) +
                                        ": " + ec.message());
    break;
  }
  case Verb::PrefsCorrupt:
    replacePreferences(
        command, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kCorruptBytes.data()),
                                          kCorruptBytes.size()));
    break;
  case Verb::PrefsCopy: {
    fs::path source = command.name;
    if (source.is_relative()) source = base / source;
    std::vector<uint8_t> bytes;
    if (std::optional<FileError> error = prefsfile::readRegularFile(source, kMaxCopyBytes, bytes))
      throw ScenarioError(where, std::string("prefs copy: ") + error->what() +
                                     "; expected a readable file (relative to the scenario's "
                                     "folder)");
    replacePreferences(command, bytes);
    break;
  }
  case Verb::AppsAdd:
  case Verb::AppsRemove:
    editAppList(command);
    break;
  case Verb::DeviceFeedbackLevel:
    process_.setFeedbackLevel(command.level);
    break;
  case Verb::DeviceModel:
    process_.setModel(command.name);
    break;
  case Verb::DeviceStorage:
    process_.setStorageFull(command.flag);
    storageFull_ = command.flag;
    // The storage is the device's: the Settings app's writes fail too.
    if (settingsApp_) askSettings(command, settingsapp::encode(settingsapp::Storage{command.flag}));
    break;
  case Verb::SettingsOpen:
  case Verb::SettingsSet:
  case Verb::SettingsApps:
    settings(command);
    break;
  case Verb::DeviceClock: {
    const std::string zone = process_.timeZone();
    process_.setClock(hostsim::parseLocalTime(command.name, zone).value_or(0));
    break;
  }
  case Verb::DeviceTimezone:
    process_.setTimeZone(command.name);
    break;
  case Verb::DeviceSleep:
    refusePastWallClock(where, "device sleep", command.seconds);
    process_.sleep(command.seconds);
    break;
  case Verb::AllowWriteFailures:
    allowWriteFailures_ = true;
    break;
  case Verb::History:
    hostsim::setHistoryBound(command.entries);
    break;
  case Verb::Post:
    process_.post(command.name);
    break;
  case Verb::Inspect:
    output_.inspect(now(), command.name, process_.inspect(command.name));
    break;
  case Verb::Dump:
    if (command.path.empty()) {
      output_.dump(now(), state());
    } else {
      const json all = state();
      const json* field = find(all, command.path);
      output_.dump(now(), field != nullptr ? *field : json(nullptr), command.pathText);
    }
    break;
  case Verb::Expect:
    expect(command);
    break;
  }
}

void Runner::editPreferences(const Command& command) {
  // One read-change-write under the file's lock, as the preference editor
  // does it.
  const fs::path path = hostPath(kPreferencesPath);
  bool written = false;
  try {
    written = prefsfile::editLocked(path, prefsfile::kEditorLockWait, [&](PreferenceFile& file) {
      try {
        if (command.verb == Verb::PrefsRemove) return file.remove(command.name);
        file.set(command.name, command.value);
        return true;
      } catch (const FileError& e) {
        throw ScenarioError(command.where, std::string(verbName(command.verb)) + ": " + e.what() +
                                               "; expected a dictionary property list or no "
                                               "file (prefs delete removes it)");
      }
    });
  } catch (const FileError& e) {
    // The lock not had: nothing was tried; a failed save was a write.
    if (e.problem() != FileProblem::LockUnavailable) emitWrite(kPreferencesPath, false);
    throw SimulatorFailure(command.where, verbName(command.verb) + std::string(": ") + e.what());
  }
  if (written) emitWrite(kPreferencesPath, true);
  if (command.verb != Verb::PrefsWrite) postReload();
}

void Runner::replacePreferences(const Command& command, std::span<const uint8_t> bytes) {
  const std::optional<FileError> error =
      prefsfile::writeFileAtomically(hostPath(kPreferencesPath), bytes);
  emitWrite(kPreferencesPath, !error);
  if (error)
    throw SimulatorFailure(command.where,
                           verbName(command.verb) + std::string(": ") + error->what());
}

void Runner::editAppList(const Command& command) {
  const bool silent = command.list == AppList::Silent;
  const std::string_view devicePath = silent ? kSilentAppsPath : kBannerAppsPath;
  const std::string_view key = silent ? QUELLINE_SILENT_APPS_KEY : QUELLINE_BANNER_APPS_KEY;
  // Already there, or not there to remove: nothing is written.
  bool written = false;
  try {
    written = prefsfile::editLocked(
        hostPath(devicePath), prefsfile::kEditorLockWait, [&](PreferenceFile& file) {
          try {
            return command.verb == Verb::AppsAdd ? file.addString(key, command.name)
                                                 : file.removeString(key, command.name);
          } catch (const FileError& e) {
            throw ScenarioError(command.where,
                                std::string(verbName(command.verb)) + ": " + e.what() +
                                    "; expected a dictionary property list holding an array of "
                                    "bundle identifiers under \"" +
                                    std::string(key) + "\", or no file");
          }
        });
  } catch (const FileError& e) {
    if (e.problem() != FileProblem::LockUnavailable) emitWrite(devicePath, false);
    throw SimulatorFailure(command.where, verbName(command.verb) + std::string(": ") + e.what());
  }
  if (written) emitWrite(devicePath, true);
}

json Runner::askSettings(const Command& command, const json& request) {
  json reply;
  try {
    // On the real clock the home screen's run loop goes on while the
    // Settings app works (it may wait seconds for the file's lock), so that
    // posts keep reaching it. On the virtual clock what is delivered waits
    // for the next command, so that a run's trace comes out the same each
    // time.
    std::function<void()> homeGoesOn;
    if (options_.clock == hostsim::ClockMode::Real) homeGoesOn = [this] { runDue(); };
    reply = settingsApp_->request(request, homeGoesOn);
  } catch (const SettingsAppFailure& e) {
    // The next settings command starts the app again.
    settingsApp_.reset();
    pane_ = nullptr;
    throw SimulatorFailure(command.where, verbName(command.verb) + ": " + e.what());
  }
  if (reply.contains(settingsapp::kError))
    throw SimulatorFailure(command.where, verbName(command.verb) + ": the Settings app failed: " +
                                              reply[settingsapp::kError].get<std::string>());
  if (reply.contains(settingsapp::kPane)) pane_ = reply[settingsapp::kPane];
  return reply;
}

void Runner::settings(const Command& command) {
  if (!settingsApp_) {
    const fs::path program =
        options_.settingsApp.empty() ? settingsAppProgram() : options_.settingsApp;
    try {
      settingsApp_ = std::make_unique<SettingsApp>(program, options_.root);
    } catch (const SettingsAppFailure& e) {
      throw SimulatorFailure(command.where, verbName(command.verb) + ": " + e.what());
    }
    if (storageFull_) askSettings(command, settingsapp::encode(settingsapp::Storage{true}));
  }
  // A person reaches the pane's controls by opening it.
  if (command.verb != Verb::SettingsOpen && !(pane_.is_object() && pane_.value("open", false)))
    throw ScenarioError(command.where, "\"" + verbName(command.verb) +
                                           "\": the Quelline pane is not open; expected settings "
                                           "open first, as a person taps Quelline in Settings");
  settingsapp::Request request;
  switch (command.verb) {
  case Verb::SettingsOpen:
    request = settingsapp::Open{};
    break;
  case Verb::SettingsSet: {
    auto asJson = [](const prefsfile::Value& v) {
      return std::visit([](const auto& x) { return json(x); }, v);
    };
    // One control, or several changed as one.
    settingsapp::Set set{{{command.name, asJson(command.value)}}};
    for (const auto& [key, value] : command.pairs)
      set.pairs.emplace_back(key, asJson(value));
    request = std::move(set);
    break;
  }
  default:
    request = settingsapp::Apps{
        command.list == AppList::Silent ? hostsim::settings::AppList::Silent
                                        : hostsim::settings::AppList::Banner,
        command.flag ? hostsim::settings::AppEdit::Add : hostsim::settings::AppEdit::Remove,
        command.name};
    break;
  }
  const json reply = askSettings(command, settingsapp::encode(request));
  settingsOutcome_ = {{"outcome", reply.value(settingsapp::kOutcome, json())},
                      {"message", reply.value(settingsapp::kMessage, std::string())}};
  // A value the control cannot give is the scenario's mistake; a write
  // the system refused is the pane's to show (its alert), not an error.
  if (reply.value(settingsapp::kOutcome, json()) ==
      hostsim::settings::kindName(hostsim::settings::Outcome::Kind::Refused)) {
    std::string message = reply.value(settingsapp::kMessage, std::string());
    // A key typed wrong: the nearest one, and where the keys are listed.
    if (command.verb == Verb::SettingsSet) {
      std::vector<std::string> keys{command.name};
      for (const auto& pair : command.pairs)
        keys.push_back(pair.first);
      for (const std::string& key : keys)
        if (prefs::findKey(key) == nullptr && message.find(key) != std::string::npos) {
          message += "; " + prefs::unknownKeyHint(key);
          break;
        }
    }
    throw ScenarioError(command.where, "\"" + verbName(command.verb) + "\": " + message);
  }
}

void Runner::postReload() {
  // False only when no process of this root ever started: nobody to tell.
  hostsim::postDarwinNotification(options_.root, kReloadNotification);
}

void Runner::noteMissingToggle(const Command& command) {
  if (!options_.vanilla || toggleNoted_) return;
  toggleNoted_ = true;
  output_.flush();
  std::cerr << describe(command.where) << ": " << command.text
            << ": the Quelline toggle is not installed (--vanilla): Control Center has no such "
               "module, so this does nothing"
            << std::endl;
}

void Runner::expect(const Command& command) {
  const json all = state();
  const json* actual = find(all, command.path);
  bool ok = false;
  if (!command.expected)
    ok = actual == nullptr;
  else
    ok = actual != nullptr && sameValue(*actual, *command.expected);
  if (observer_ != nullptr) observer_->expectation(command, now(), ok, actual);
  output_.expectation(now(), command.pathText, command.expected,
                      actual != nullptr ? std::optional<json>(*actual) : std::nullopt, ok,
                      command.where.file, command.where.line);
  if (ok) {
    ++held_;
    return;
  }
  ++failed_;
  lastFailedExpectation_ = describe(command.where) + ": expect failed: " + command.pathText +
                           ": expected " +
                           (command.expected ? jsonText(*command.expected) : "absent") +
                           ", actual " + (actual != nullptr ? jsonText(*actual) : "absent");
  output_.flush();
  std::cerr << lastFailedExpectation_ << std::endl;
}

} // namespace quelline::sim
