#include "sim/session.h"

#include "sim/signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <poll.h>
#include <unistd.h>

namespace quelline::sim {
namespace {

// Reports an error on standard error, and as a record in JSON.
void report(Runner& runner, const std::string& text, int status, const Location& where,
            const std::string& detail) {
  runner.output().flush();
  std::cerr << text << std::endl;
  runner.noteFailure(text);
  runner.output().error(runner.now(), detail, status, where.file, where.line);
}

// Runs one command and reports what went wrong; the exit status it calls
// for (kExitOk when it ran, whatever its expectation found).
int runOne(Runner& runner, const Command& command, const std::filesystem::path& base) {
  try {
    runner.run(command, base);
    return kExitOk;
  } catch (const ScenarioError& e) {
    report(runner, e.what(), kExitScenarioError, e.where(), e.detail());
    return kExitScenarioError;
  } catch (const SimulatorFailure& e) {
    report(runner, e.what(), kExitSimulatorFailure, e.where(), e.detail());
    return kExitSimulatorFailure;
  } catch (const std::exception& e) {
    const std::string detail = command.text + ": failed: " + e.what();
    report(runner, describe(command.where) + ": " + detail, kExitSimulatorFailure, command.where,
           detail);
    return kExitSimulatorFailure;
  }
}

int finalStatus(const Runner& runner) {
  return runner.failedExpectations() > 0 ? kExitExpectFailed : kExitOk;
}

// Said once when a signal stopped the run.
int interrupted(Runner& runner, const Location& where) {
  const std::string detail = std::string("interrupted by ") +
                             (stopSignal() == SIGINT ? "SIGINT" : "SIGTERM") +
                             "; no further command runs";
  report(runner, describe(where) + ": " + detail, stopStatus(), where, detail);
  return stopStatus();
}

// The run loop turns this often while no input comes in.
constexpr int kLivePollMilliseconds = 10;
// And this often before boot, when there is nothing to run.
constexpr int kIdlePollMilliseconds = 100;

} // namespace

int runScript(Runner& runner, std::string_view text, const std::string& file,
              const std::filesystem::path& base) {
  // Every line is read before the first runs, so that a wrong one runs
  // nothing; then each is read again as it runs: a long scenario is never
  // held as commands.
  try {
    forEachCommand(text, file, [](Command&) { return true; });
  } catch (const ScenarioError& e) {
    report(runner, e.what(), kExitScenarioError, e.where(), e.detail());
    return kExitScenarioError;
  }
  int status = kExitOk;
  forEachCommand(text, file, [&](Command& command) {
    if (stopSignal() != 0) {
      status = interrupted(runner, command.where);
      return false;
    }
    status = runOne(runner, command, base);
    if (status == kExitOk && stopSignal() != 0) status = interrupted(runner, command.where);
    return status == kExitOk;
  });
  return status != kExitOk ? status : finalStatus(runner);
}

int runLive(Runner& runner, const std::filesystem::path& base) {
  const bool prompt = ::isatty(STDIN_FILENO) == 1;
  auto showPrompt = [&] {
    if (!prompt) return;
    runner.output().flush();
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
      report(runner, e.what(), kExitScenarioError, e.where(), e.detail());
      worst = std::max(worst, int{kExitScenarioError});
    }
    runner.output().flush();
  };

  showPrompt();
  bool open = true;
  while (open && stopSignal() == 0) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    // Never an endless wait: a signal that comes just before the poll is
    // seen at the next turn.
    const int ready =
        ::poll(&input, 1, runner.booted() ? kLivePollMilliseconds : kIdlePollMilliseconds);
    if (ready < 0 && errno != EINTR) break;
    runner.runDue();
    runner.output().flush();
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
      if (stopSignal() != 0) break;
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      handle(line);
      showPrompt();
    }
  }
  if (prompt) std::cerr << std::endl;
  if (stopSignal() != 0) return interrupted(runner, where);
  const int expectations = finalStatus(runner);
  return worst == kExitOk ? expectations : std::max(worst, expectations);
}

} // namespace quelline::sim
