// quelline-settings-app: the Settings app with the Quelline pane, as a
// modeled process in an OS process of its own (the stand-in has one
// runtime per address space, and the home screen's is quelline-sim's).
// quelline-sim starts it and drives it through its standard input and
// output, one JSON object a line (sim/settings_app.h):
//
//   it says     {"ready":true} once booted, or {"failed":MESSAGE} and exits 3
//   it reads    {"op":"open"} | {"op":"set","key":K,"value":V}
//               | {"op":"set","pairs":[[K,V],…]} (several controls as one change)
//               | {"op":"apps","list":"silent"|"banner","action":"add"|"remove","app":A}
//               | {"op":"storage","full":B}
//   it answers  {"event":{…}} for each trace event, then
//               {"reply":{"outcome":"applied"|"refused"|"failed"|null,
//                         "message":TEXT,"pane":STATE}}
//               (STATE's "alert" is the alert showing now: the last change's
//               alert until a change succeeds)
//               or {"reply":{"error":MESSAGE}} for a request it cannot read
//
// It ends when its input closes.
#include "host/sim/services/trace.h"
#include "host/sim/settings/settings_process.h"
#include "sim/settings_app.h"
#include "tools/program_files.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <iostream>
#include <poll.h>
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
namespace op = quelline::sim::settingsapp;

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

json handle(SettingsProcess& process, const json& request, json& alert) {
  const std::string name = request.value("op", std::string());
  std::optional<Outcome> outcome;
  if (name == op::kOpen) {
    process.open();
    alert = nullptr;
    hostsim::trace::emit("pane-open");
  } else if (name == op::kSet) {
    std::vector<std::pair<std::string, json>> pairs;
    if (request.contains("pairs") && request["pairs"].is_array()) {
      for (const json& pair : request["pairs"])
        if (pair.is_array() && pair.size() == 2 && pair[0].is_string())
          pairs.emplace_back(pair[0].get<std::string>(), pair[1]);
    } else {
      pairs.emplace_back(request.value("key", std::string()), request.value("value", json()));
    }
    if (pairs.empty()) return {{"error", "\"set\" names no control"}};
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
        report(*outcome, "pane-set", {{"pairs", request["pairs"]}});
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
  } else if (name == op::kApps) {
    const std::string list = request.value("list", std::string());
    const std::string action = request.value("action", std::string());
    const std::string app = request.value("app", std::string());
    outcome = process.apps(list == "banner" ? AppList::Banner : AppList::Silent,
                           action == "remove" ? AppEdit::Remove : AppEdit::Add, app);
    report(*outcome, "pane-apps", {{"list", list}, {"action", action}, {"app", app}});
  } else if (name == op::kStorage) {
    process.setStorageFull(request.value("full", false));
  } else {
    return {{"error", "unknown request \"" + name + "\""}};
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
  json reply{{"outcome", outcome ? json(hostsim::settings::kindName(outcome->kind)) : json()},
             {"message", outcome ? outcome->message : std::string()},
             {"pane", paneState(process, alert)}};
  return reply;
}

// The next request line, running the process's due work while none has
// come; false once the input closed.
bool nextLine(SettingsProcess& process, std::string& pending, std::string& line) {
  for (;;) {
    if (const size_t newline = pending.find('\n'); newline != std::string::npos) {
      line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      return true;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, kIdleMilliseconds);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) {
      process.runDue();
      continue;
    }
    char chunk[65536];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending.append(chunk, static_cast<size_t>(n));
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
  hostsim::trace::setSink([](const hostsim::trace::Event& e) { say({{"event", e}}); });
  const std::filesystem::path folder = quelline::programfiles::programFolder();
  SettingsProcess process(
      root, hostsim::ClockMode::Virtual,
      {folder / "QuellinePrefs.bundle", folder / "PreferenceLoader" / "Quelline.plist"});
  try {
    process.boot();
  } catch (const std::exception& e) {
    say({{"failed", e.what()}});
    std::cout.flush();
    return 3;
  }
  say({{"ready", true}});
  std::cout.flush();
  // Between requests its main run loop runs, as a process's does: posts
  // from other processes are drained as they come, and never fill its
  // queue while the simulator is busy elsewhere.
  std::string pending;
  std::string line;
  json alert; // the alert showing, if any
  while (nextLine(process, pending, line)) {
    const json request = json::parse(line, nullptr, false);
    json reply;
    if (!request.is_object()) {
      reply = {{"error", "a request is one JSON object a line, not " + line}};
    } else {
      try {
        reply = handle(process, request, alert);
      } catch (const std::exception& e) {
        reply = {{"error", e.what()}};
      }
    }
    say({{"reply", reply}});
    std::cout.flush();
  }
  process.end();
  hostsim::trace::setSink(nullptr);
  return 0;
}
