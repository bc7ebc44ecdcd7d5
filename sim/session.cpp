#include "session.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <poll.h>
#include <unistd.h>

namespace quelline::sim {
namespace {

// Runs one command and reports what went wrong; the exit status it calls
// for (kExitOk when it ran, whatever its expectation found).
int runOne(Runner& runner, const Command& command, const std::filesystem::path& base) {
  try {
    runner.run(command, base);
    return kExitOk;
  } catch (const ScenarioError& e) {
    std::cout.flush();
    std::cerr << e.what() << std::endl;
    runner.noteFailure(e.what());
    return kExitScenarioError;
  } catch (const SimulatorFailure& e) {
    std::cout.flush();
    std::cerr << e.what() << std::endl;
    runner.noteFailure(e.what());
    return kExitSimulatorFailure;
  } catch (const std::exception& e) {
    std::cout.flush();
    const std::string message =
        describe(command.where) + ": " + command.text + ": failed: " + e.what();
    std::cerr << message << std::endl;
    runner.noteFailure(message);
    return kExitSimulatorFailure;
  }
}

int finalStatus(const Runner& runner) {
  return runner.failedExpectations() > 0 ? kExitExpectFailed : kExitOk;
}

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void requestStop(int) {
  stopRequested = 1;
}

// The run loop turns this often while no input comes in.
constexpr int kLivePollMilliseconds = 10;

} // namespace

int runScript(Runner& runner, std::string_view text, const std::string& file,
              const std::filesystem::path& base) {
  std::vector<Command> commands;
  try {
    commands = parseScenario(text, file);
  } catch (const ScenarioError& e) {
    std::cerr << e.what() << std::endl;
    runner.noteFailure(e.what());
    return kExitScenarioError;
  }
  for (const Command& command : commands)
    if (int status = runOne(runner, command, base); status != kExitOk) return status;
  return finalStatus(runner);
}

int runLive(Runner& runner, const std::filesystem::path& base) {
  // No SA_RESTART: a signal ends the wait in poll() at once.
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const bool prompt = ::isatty(STDIN_FILENO) == 1;
  auto showPrompt = [&] {
    if (!prompt) return;
    std::cout.flush();
    std::cerr << "quelline> " << std::flush;
  };

  int worst = kExitOk;
  Location where{"<stdin>", 0};
  std::string pending;
  auto handle = [&](std::string_view line) {
    ++where.line;
    try {
      if (auto command = parseLine(line, where)) {
        int status = runOne(runner, *command, base);
        if (status != kExitOk) worst = std::max(worst, status);
      }
    } catch (const ScenarioError& e) {
      std::cout.flush();
      std::cerr << e.what() << std::endl;
      worst = std::max(worst, int{kExitScenarioError});
    }
    std::cout.flush();
  };

  showPrompt();
  bool open = true;
  while (open && stopRequested == 0) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, runner.booted() ? kLivePollMilliseconds : -1);
    if (ready < 0 && errno != EINTR) break;
    runner.runDue();
    std::cout.flush();
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      open = false; // end of input: a last line without its newline still counts
      if (!pending.empty()) handle(pending);
      break;
    }
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      handle(line);
      showPrompt();
    }
  }
  if (prompt) std::cerr << std::endl;
  const int expectations = finalStatus(runner);
  return worst == kExitOk ? expectations : std::max(worst, expectations);
}

} // namespace quelline::sim
