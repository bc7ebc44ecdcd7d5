// Runs a program of the project as its own process, to its end, with its
// output collected: for the tests that treat a program as a user would.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <ostream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

// This process's environment without QUELLINE_ROOT, plus `extra`
// ("NAME=value"), which replaces a variable of the same name.
inline std::vector<std::string> environment(const std::vector<std::string>& extra) {
  auto nameOf = [](std::string_view variable) { return variable.substr(0, variable.find('=')); };
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view name = nameOf(*e);
    bool replaced = name == "QUELLINE_ROOT";
    for (const std::string& added : extra)
      replaced = replaced || nameOf(added) == name;
    if (!replaced) out.emplace_back(*e);
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

inline std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings)
    out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& run) {
  return os << "status " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

// Runs `program` with `args` to its end; its output is read as it comes.
// Standard input comes from the file `input`.
inline Outcome runProgram(const std::string& program, std::vector<std::string> args,
                          const std::vector<std::string>& extraEnvironment = {},
                          const std::string& input = "/dev/null") {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
  args.insert(args.begin(), program);
  std::vector<char*> argv = pointers(args);
  std::vector<std::string> env = environment(extraEnvironment);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  Outcome run;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (spawned == 0 && open > 0) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  for (pollfd& fd : fds)
    if (fd.fd >= 0) ::close(fd.fd);
  int status = 0;
  if (spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  return run;
}

// A program of the project running as its own process while the test talks
// to it: a pipe on its standard input and one on its standard output; its
// standard error goes to the file `errors`. Killed at the end of the test
// when it has not ended by then.
class RunningProgram {
public:
  using Clock = std::chrono::steady_clock;

  RunningProgram(const std::string& program, std::vector<std::string> args,
                 const std::vector<std::string>& extraEnvironment = {},
                 const std::string& errors = "/dev/null") {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), program);
    std::vector<char*> argv = pointers(args);
    std::vector<std::string> env = environment(extraEnvironment);
    std::vector<char*> envp = pointers(env);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~RunningProgram() {
    closeInput();
    if (output_ >= 0) ::close(output_);
    if (pid_ > 0 && !finished_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  bool started() const { return pid_ > 0; }

  // Writes `text` to its standard input; false when not all of it went.
  bool send(const std::string& text) {
    return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  void signal(int number) { ::kill(pid_, number); }

  // Whether the program catches `number` (its handler is installed) before
  // `deadline`: /proc's mask of caught signals says so.
  bool awaitHandler(int number, Clock::time_point deadline) const {
    while (Clock::now() < deadline) {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      for (std::string line; std::getline(status, line);)
        if (line.starts_with("SigCgt:") &&
            ((std::stoull(line.substr(7), nullptr, 16) >> (number - 1)) & 1) != 0)
          return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The next line of output, waiting until `deadline`; nullopt at the end of
  // the output or past the deadline.
  std::optional<std::string> readLine(Clock::time_point deadline) {
    for (;;) {
      if (size_t newline = buffer_.find('\n'); newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      if (!readMore(deadline)) return std::nullopt;
    }
  }

  // Whether the output shows `text` before `deadline` (what it read stays
  // to be read).
  bool awaitOutput(std::string_view text, Clock::time_point deadline) {
    while (buffer_.find(text) == std::string::npos)
      if (!readMore(deadline)) return false;
    return true;
  }

  // The exit status, waiting until `deadline`; -1 when it did not end by
  // then.
  int exitStatus(Clock::time_point deadline) {
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        finished_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (Clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

private:
  // Reads what output there is, waiting until `deadline`; false at its end
  // or past the deadline.
  bool readMore(Clock::time_point deadline) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd fd{output_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(output_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
      return true;
    }
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool finished_ = false;
  std::string buffer_;
};
