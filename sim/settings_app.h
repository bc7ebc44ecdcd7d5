// The Settings app as the simulator sees it: a second modeled process, in
// an OS process of its own (quelline-settings-app, beside quelline-sim),
// with its own runtime and the Quelline pane loaded. It shares with the
// home screen only what two processes on a phone share: the files under
// the device root, the file lock and the cross-process notifications.
//
// The two talk in JSON lines over one socket, the child's standard input
// and output (sim/settings_protocol.h): each request is one line; the child
// answers with the events it emitted while it ran (each {"event":{…}}) and
// then one {"reply":{…}}.
#pragma once

#include "sim/settings_protocol.h"

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace quelline::sim {

// The Settings process could not be started, did not answer, or ended.
class SettingsAppFailure : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class SettingsApp {
public:
  // Starts `program` over the device root `root`; throws SettingsAppFailure
  // when it cannot be started or does not say it is ready.
  SettingsApp(const std::filesystem::path& program, const std::filesystem::path& root);
  // Ends the process: its input closes and it ends as the run does.
  ~SettingsApp();
  SettingsApp(const SettingsApp&) = delete;
  SettingsApp& operator=(const SettingsApp&) = delete;

  // Sends one request ({"op": …, …}: settingsapp::encode) and returns its
  // reply. The events the process emitted meanwhile go to this process's
  // trace, each with "process":"Settings" added. While it waits, `idle` (if
  // any) runs every few milliseconds: the caller's own process goes on
  // meanwhile, as two processes do. Throws SettingsAppFailure, naming the
  // reason, when the process ended, closed its output, sent a line that is
  // too long or no JSON object, did not answer within kReplySeconds, or the
  // wait was interrupted; the process is gone then.
  nlohmann::json request(const nlohmann::json& request, const std::function<void()>& idle = {});

  // How long a reply may take: the pane may wait 5 s for the file's lock.
  static constexpr int kReplySeconds = 30;

private:
  // The next line, or why none came.
  support::Expected<std::string, settingsapp::LineError>
  readLine(const std::function<void()>& idle = {});
  // Closes its input and waits for it to end (kills it after a while).
  void stop();
  // Throws for a line that did not come, after ending the process.
  [[noreturn]] void failed(const std::string& doing, const settingsapp::LineError& error);
  // Throws with `why`, after ending the process.
  [[noreturn]] void failed(const std::string& doing, const std::string& why);
  // How the process ended, when it ends within a second (its output closed:
  // it is about to); else it is killed and `otherwise` said.
  std::string howItEnded(const std::string& otherwise);

  pid_t pid_ = -1;
  int socket_ = -1;
  std::optional<settingsapp::LineReader> reader_;
};

// The Settings program beside the running executable.
std::filesystem::path settingsAppProgram();

} // namespace quelline::sim
