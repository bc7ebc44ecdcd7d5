#include "sim/settings_app.h"

#include "host/sim/services/trace.h"
#include "tools/program_files.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quelline::sim {
namespace {

using json = nlohmann::json;

// How often a caller that waits for an answer gets to run its own work.
constexpr int kIdleSliceMilliseconds = 10;
// How long the process may take to end once its input closed.
constexpr auto kEndWait = std::chrono::seconds(5);

std::string reason(int error) {
  return std::strerror(error);
}

// A line it sent, as a message shows it: at most its first 200 bytes.
std::string shown(const std::string& line) {
  constexpr size_t kShown = 200;
  if (line.size() <= kShown) return line;
  return line.substr(0, kShown) + "… (" + std::to_string(line.size()) + " bytes)";
}

} // namespace

std::filesystem::path settingsAppProgram() {
  return programfiles::programFolder() / "quelline-settings-app";
}

SettingsApp::SettingsApp(const std::filesystem::path& program, const std::filesystem::path& root) {
  int ends[2];
  // A socket rather than two pipes: a write to a process that ended fails
  // with EPIPE (MSG_NOSIGNAL) instead of raising SIGPIPE here.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    throw SettingsAppFailure("cannot start the Settings process: " + reason(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  // Nothing else of this process (the home screen's notify socket, the
  // report's file) is the Settings process's.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  std::string programText = program.string();
  std::string rootText = root.string();
  char rootOption[] = "--root";
  char* argv[] = {programText.data(), rootOption, rootText.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, programText.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (spawned != 0) {
    ::close(ends[0]);
    throw SettingsAppFailure("cannot start the Settings process " + programText + ": " +
                             reason(spawned));
  }
  pid_ = pid;
  socket_ = ends[0];
  reader_.emplace(socket_);
  // The first line says the process booted.
  const auto line = readLine();
  if (!line) failed("starting", line.error());
  const json hello = json::parse(*line, nullptr, false);
  if (hello.is_object() && hello.contains(settingsapp::kReady)) return;
  stop();
  if (hello.is_object() && hello.contains(settingsapp::kFailed) &&
      hello[settingsapp::kFailed].is_string())
    throw SettingsAppFailure("the Settings app did not start: " +
                             hello[settingsapp::kFailed].get<std::string>());
  throw SettingsAppFailure("the Settings app did not start: it said " + shown(*line));
}

SettingsApp::~SettingsApp() {
  stop();
}

void SettingsApp::stop() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  if (pid_ <= 0) return;
  // Its input closed, the process ends by itself; one that does not is
  // killed.
  const auto deadline = std::chrono::steady_clock::now() + kEndWait;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
}

std::string SettingsApp::howItEnded(const std::string& otherwise) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  bool exited = false;
  while (pid_ > 0 && !exited && std::chrono::steady_clock::now() < deadline) {
    exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
    if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::string how = otherwise;
  if (exited) {
    if (WIFEXITED(status))
      how = "it exited with status " + std::to_string(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      how = std::string("it was killed by signal ") + ::strsignal(WTERMSIG(status));
  } else if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return how;
}

void SettingsApp::failed(const std::string& doing, const settingsapp::LineError& error) {
  using Kind = settingsapp::LineError::Kind;
  switch (error.kind) {
  case Kind::EndOfInput:
    // A process whose output closed is about to end: its status says why.
    failed(doing, howItEnded("it closed its output but did not end"));
  case Kind::Timeout:
    failed(doing, "it did not answer within " + std::to_string(kReplySeconds) + " s");
  case Kind::TooLong:
    failed(doing, "it sent " + error.reason);
  case Kind::Interrupted:
    failed(doing, "the wait for its answer was " + error.reason);
  case Kind::System:
    failed(doing, error.reason);
  }
  failed(doing, error.reason);
}

void SettingsApp::failed(const std::string& doing, const std::string& why) {
  if (pid_ > 0) {
    int status = 0;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
  reader_.reset();
  throw SettingsAppFailure("the Settings process failed while " + doing + ": " + why +
                           " (its messages are on standard error)");
}

support::Expected<std::string, settingsapp::LineError>
SettingsApp::readLine(const std::function<void()>& idle) {
  if (!reader_)
    return support::Unexpected(
        settingsapp::LineError{settingsapp::LineError::Kind::EndOfInput, "end of input"});
  return reader_->next(std::chrono::steady_clock::now() + std::chrono::seconds(kReplySeconds), idle,
                       std::chrono::milliseconds(kIdleSliceMilliseconds));
}

json SettingsApp::request(const json& request, const std::function<void()>& idle) {
  const std::string doing = "doing \"" + request.value("op", std::string()) + "\"";
  if (socket_ < 0) failed(doing, "it has ended");
  const std::string line = request.dump() + "\n";
  for (size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(socket_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    // Its end closed (EPIPE): it is ending, and its status says why.
    if (n < 0 && errno == EPIPE) failed(doing, howItEnded("it closed its input but did not end"));
    if (n <= 0) failed(doing, "sending the request failed: " + reason(errno));
    sent += static_cast<size_t>(n);
  }
  for (;;) {
    const auto answer = readLine(idle);
    if (!answer) failed(doing, answer.error());
    // In the order the process wrote them: an event's fields keep theirs.
    nlohmann::ordered_json message = nlohmann::ordered_json::parse(*answer, nullptr, false);
    if (message.is_discarded() || !message.is_object())
      failed(doing, "it answered " + shown(*answer) + "; expected one JSON object a line");
    if (auto reply = message.find(settingsapp::kReply); reply != message.end()) return json(*reply);
    auto event = message.find(settingsapp::kEvent);
    if (event == message.end() || !event->is_object() || !event->contains("event") ||
        !(*event)["event"].is_string())
      failed(doing, "it answered " + shown(*answer) + "; expected {\"event\":…} or {\"reply\":…}");
    // Its events join this trace at this process's time.
    hostsim::trace::Event fields = hostsim::trace::Event::object();
    for (auto& [key, value] : event->items())
      if (key != "t" && key != "event") fields[key] = value;
    fields["process"] = "Settings";
    hostsim::trace::emit((*event)["event"].get<std::string>().c_str(), std::move(fields));
  }
}

} // namespace quelline::sim
