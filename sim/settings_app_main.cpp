// quelline-settings-app: the Settings app with the Quelline pane, as a
// modeled process in an OS process of its own (the stand-in has one
// runtime per address space, and the home screen's is quelline-sim's).
// quelline-sim starts it and drives it through its standard input and
// output, one JSON object a line (sim/settings_protocol.h). A request it
// cannot read (a line too long, no JSON object, an unknown op or field) is
// answered with an error, and the next line is read as the next request.
// The pane state of a reply has "alert": the alert showing now, the last
// change's alert until a change succeeds.
//
// It ends when its input closes.
#include "host/sim/services/trace.h"
#include "host/sim/settings/settings_process.h"
#include "sim/settings_protocol.h"
#include "tools/program_files.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using json = nlohmann::json;
using hostsim::settings::AppEdit;
using hostsim::settings::AppList;
using hostsim::settings::Outcome;
using hostsim::settings::SettingsProcess;
namespace protocol = quelline::sim::settingsapp;

// How often the run loop runs while no request comes.
constexpr int kIdleMilliseconds = 10;

void say(const nlohmann::ordered_json& message) {
  std::cout << message.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

// What the pane shows, keyed for scenarios: every control by its key (a
// link row by its identifier: silentApps, bannerApps), with the groups as
// drawn.
json paneState(const SettingsProcess& process, const json& alert) {
  json state{{"open", process.isOpen()}, {"alerts", process.alerts()}, {"alert", alert}};
  if (!process.isOpen()) return state;
  json shown = process.rows();
  json controls = json::object();
  for (const json& group : shown.value("groups", json::array()))
    for (const json& row : group.value("rows", json::array())) {
      std::string key;
      if (row.contains("key") && row["key"].is_string())
        key = row["key"].get<std::string>();
      else if (row.contains("id") && row["id"].is_string())
        key = row["id"].get<std::string>();
      if (!key.empty())
        controls[key] = {{"value", row.value("value", json())},
                         {"enabled", row.value("enabled", false)}};
    }
  state["title"] = shown.value("title", json());
  state["groups"] = shown.value("groups", json::array());
  state["controls"] = std::move(controls);
  return state;
}

// The event that says what a person's action came to: `applied` when the
// pane did it, else the refusal or the alert.
void report(const Outcome& outcome, const char* applied, nlohmann::ordered_json fields) {
  switch (outcome.kind) {
  case Outcome::Kind::Applied:
    hostsim::trace::emit(applied, std::move(fields));
    return;
  case Outcome::Kind::Refused:
    fields["reason"] = outcome.message;
    hostsim::trace::emit("pane-refused", std::move(fields));
    return;
  case Outcome::Kind::Failed:
    fields["alert"] = outcome.message;
    hostsim::trace::emit("pane-alert", std::move(fields));
    return;
  }
}

json handle(SettingsProcess& process, const protocol::Request& request, json& alert) {
  std::optional<Outcome> outcome;
  if (std::holds_alternative<protocol::Open>(request)) {
    process.open();
    alert = nullptr;
    hostsim::trace::emit("pane-open");
  } else if (const auto* set = std::get_if<protocol::Set>(&request)) {
    std::vector<std::pair<std::string, json>> pairs = set->pairs;
    outcome = process.set(pairs);
    const json stored = pairs.size() == 1 && !outcome->stored.is_null()
                            ? json{{pairs.front().first, outcome->stored}}
                            : outcome->stored;
    if (outcome->kind != Outcome::Kind::Applied) {
      // The refusal or the alert concerns the change as a whole.
      if (pairs.size() == 1)
        report(*outcome, "pane-set",
               {{"key", pairs.front().first}, {"value", pairs.front().second}});
      else
        report(*outcome, "pane-set", {{"pairs", protocol::encode(request)["pairs"]}});
      pairs.clear();
    }
    for (const auto& [key, value] : pairs) {
      if (!stored.is_object() || !stored.contains(key)) {
        // The control was there already: nothing was written for it.
        hostsim::trace::emit("pane-unchanged", {{"key", key}, {"value", value}});
        continue;
      }
      // The value the pane stored, and what the person gave when it differs.
      nlohmann::ordered_json fields{{"key", key}, {"value", stored[key]}};
      if (stored[key] != value) fields["given"] = value;
      hostsim::trace::emit("pane-set", std::move(fields));
    }
  } else if (const auto* apps = std::get_if<protocol::Apps>(&request)) {
    outcome = process.apps(apps->list, apps->action, apps->app);
    report(*outcome, "pane-apps",
           {{"list", protocol::listName(apps->list)},
            {"action", protocol::editName(apps->action)},
            {"app", apps->app}});
  } else if (const auto* storage = std::get_if<protocol::Storage>(&request)) {
    process.setStorageFull(storage->full);
  }
  // The pane's alert stays until the person's next change succeeds.
  if (outcome && outcome->kind == Outcome::Kind::Failed) {
    const json shown = process.alerts();
    alert = !shown.empty() && shown.back().value("message", std::string()) == outcome->message
                ? shown.back()
                : json{{"title", nullptr}, {"message", outcome->message}};
  } else if (outcome && outcome->kind == Outcome::Kind::Applied) {
    alert = nullptr;
  }
  // Cross-process posts that reached it, and what they set off.
  process.runDue();
  json reply{
      {protocol::kOutcome, outcome ? json(hostsim::settings::kindName(outcome->kind)) : json()},
      {protocol::kMessage, outcome ? outcome->message : std::string()},
      {protocol::kPane, paneState(process, alert)}};
  return reply;
}

// The reply to one request line.
json answer(SettingsProcess& process, const std::string& line, json& alert) {
  const json message = json::parse(line, nullptr, false);
  if (message.is_discarded())
    return {{protocol::kError, "a request is one JSON object a line; this line of " +
                                   std::to_string(line.size()) + " bytes is no JSON"}};
  const auto request = protocol::decode(message);
  if (!request) return {{protocol::kError, request.error().reason}};
  try {
    return handle(process, *request, alert);
  } catch (const std::exception& e) {
    return {{protocol::kError, e.what()}};
  }
}

} // namespace

int main(int argc, char** argv) {
  CLI::App app{"The Settings app with the Quelline pane, as a modeled process of its own; "
               "quelline-sim runs it and talks to it in JSON lines on standard input and output.",
               "quelline-settings-app"};
  std::string root;
  app.add_option("--root", root, "the device root folder, shared with the home screen")
      ->required()
      ->check(CLI::ExistingDirectory);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  hostsim::trace::setSink([](const hostsim::trace::Event& e) { say({{protocol::kEvent, e}}); });
  const std::filesystem::path folder = quelline::programfiles::programFolder();
  SettingsProcess process(
      root, hostsim::ClockMode::Virtual,
      {folder / "QuellinePrefs.bundle", folder / "PreferenceLoader" / "Quelline.plist"});
  try {
    process.boot();
  } catch (const std::exception& e) {
    say({{protocol::kFailed, e.what()}});
    std::cout.flush();
    return 3;
  }
  say({{protocol::kReady, true}});
  std::cout.flush();
  // Between requests its main run loop runs, as a process's does: posts
  // from other processes are drained as they come, and never fill its
  // queue while the simulator is busy elsewhere.
  protocol::LineReader requests(STDIN_FILENO);
  json alert; // the alert showing, if any
  for (;;) {
    auto line = requests.next(
        std::nullopt, [&] { process.runDue(); }, std::chrono::milliseconds(kIdleMilliseconds));
    json reply;
    if (line) {
      reply = answer(process, *line, alert);
    } else {
      using Kind = protocol::LineError::Kind;
      const Kind kind = line.error().kind;
      if (kind == Kind::Interrupted) continue;
      if (kind == Kind::EndOfInput) break;
      if (kind != Kind::TooLong) {
        std::cerr << "quelline-settings-app: " << line.error().reason << std::endl;
        break;
      }
      // Never echoed: the line is not held, and its reader wants to know
      // what went wrong, not to get it back.
      reply = {{protocol::kError, "a request of " + line.error().reason}};
    }
    say({{protocol::kReply, reply}});
    std::cout.flush();
  }
  process.end();
  hostsim::trace::setSink(nullptr);
  return 0;
}
