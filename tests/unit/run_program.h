// Runs a program of the project as its own process, to its end, with its
// output collected: for the tests that treat a program as a user would.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <ostream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
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
