// The Settings app as the simulator sees it: a second modeled process, in
// an OS process of its own (quelline-settings-app, beside quelline-sim),
// with its own runtime and the Quelline pane loaded. It shares with the
// home screen only what two processes on a phone share: the files under
// the device root, the file lock and the cross-process notifications.
//
// The two talk in JSON lines over one socket, the child's standard input
// and output: each request is one line; the child answers with the events
// it emitted while it ran (each {"event":{…}}) and then one {"reply":{…}}.
#pragma once

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

// The requests of the protocol, as both sides spell them.
namespace settingsapp {
inline constexpr const char* kOpen = "open";       // {}
inline constexpr const char* kSet = "set";         // {"key", "value"}
inline constexpr const char* kApps = "apps";       // {"list", "action", "app"}
inline constexpr const char* kStorage = "storage"; // {"full"}
} // namespace settingsapp

class SettingsApp {
public:
  // Starts `program` over the device root `root`; throws SettingsAppFailure
  // when it cannot be started or does not say it is ready.
  SettingsApp(const std::filesystem::path& program, const std::filesystem::path& root);
  // Ends the process: its input closes and it ends as the run does.
  ~SettingsApp();
  SettingsApp(const SettingsApp&) = delete;
  SettingsApp& operator=(const SettingsApp&) = delete;

  // Sends one request ({"op": …, …}) and returns its reply. The events the
  // process emitted meanwhile go to this process's trace, each with
  // "process":"Settings" added. While it waits, `idle` (if any) runs every
  // few milliseconds: the caller's own process goes on meanwhile, as two
  // processes do. Throws SettingsAppFailure when the process ended or did
  // not answer within kReplySeconds.
  nlohmann::json request(const nlohmann::json& request, const std::function<void()>& idle = {});

  // How long a reply may take: the pane may wait 5 s for the file's lock.
  static constexpr int kReplySeconds = 30;

private:
  std::optional<std::string> readLine(const std::function<void()>& idle = {});
  // Closes its input and waits for it to end (kills it after a while).
  void stop();
  [[noreturn]] void ended(const std::string& doing);

  pid_t pid_ = -1;
  int socket_ = -1;
  std::string buffer_;
};

// The Settings program beside the running executable.
std::filesystem::path settingsAppProgram();

} // namespace quelline::sim
