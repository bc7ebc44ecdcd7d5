// quelline-sim: runs scenarios against the modeled home-screen process.
//
//   quelline-sim [OPTIONS]                          the built-in demo
//   quelline-sim run FILE|- [OPTIONS]               a scenario
//   quelline-sim live [OPTIONS]                     commands at a prompt
//   quelline-sim serve [--port N] [--bind ADDR]     the live phone in a browser
//
// OPTIONS: --root DIR, --json, --brief, --vanilla; the demo and `run` write
// an HTML report of the run with --html OUT.html. The device root is
// --root, else $QUELLINE_ROOT, else a temporary folder removed at exit.
#include "host/files/plist_files.h"
#include "host/sim/services/trace.h"
#include "sim/demo.h"
#include "sim/output.h"
#include "sim/record.h"
#include "sim/report.h"
#include "sim/runner.h"
#include "sim/serve.h"
#include "sim/session.h"
#include "sim/signals.h"
#include "tools/device_root.h"
#include "tools/program_files.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <poll.h>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace quelline::sim;
using quelline::deviceroot::RootError;

// Scenario files are text of a few kilobytes; the bound only keeps a
// mistake (a device image named by accident) from being read whole.
constexpr size_t kMaxScenarioBytes = size_t{16} << 20;

// How long a wait for standard input goes before it looks for a signal.
constexpr int kStopCheckMilliseconds = 100;

// The device root: the folder given (created when missing, and kept), or a
// fresh temporary folder removed at exit.
class DeviceRoot {
public:
  explicit DeviceRoot(const std::optional<quelline::deviceroot::GivenRoot>& given) {
    if (given) {
      path_ = given->path;
      std::error_code ec;
      fs::create_directories(path_, ec);
      if (ec || !fs::is_directory(path_))
        throw RootError(given->source + ": cannot use it as the device root" +
                        (ec ? ": " + ec.message() : ": not a folder"));
    } else {
      std::error_code ec;
      const fs::path temporary = fs::temp_directory_path(ec);
      std::string pattern = (temporary / "quelline-sim-XXXXXX").string();
      if (ec || ::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary device root in " + temporary.string() +
                                 ": " + (ec ? ec.message() : std::strerror(errno)));
      path_ = pattern;
      temporary_ = true;
    }
    std::error_code ec;
    fs::create_directories(path_ / "var/mobile/Library/Preferences", ec);
    if (ec)
      throw std::runtime_error(path_.string() +
                               ": cannot create var/mobile/Library/Preferences: " + ec.message());
  }
  ~DeviceRoot() {
    if (!temporary_) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const fs::path& path() const { return path_; }
  bool temporary() const { return temporary_; }

private:
  fs::path path_;
  bool temporary_ = false;
};

// The deliverables sit beside the executable.
hostsim::home::Deliverables deliverables() {
  const fs::path folder = quelline::programfiles::programFolder();
  return {folder / "Quelline.so", folder / "QuellineModule.bundle"};
}

struct Settings {
  bool json = false;
  bool brief = false;
  bool vanilla = false;
  std::string ios; // the system of every boot that names none
  std::string root;
  bool rootGiven = false;
  std::string file;
  std::string html; // the report, when asked for
  ServeOptions serve;
};

enum class Mode { Demo, Run, Live, Serve };

// The scenario, or the message and status that say why it cannot be had.
struct Script {
  std::optional<std::string> text;
  std::string problem;
  int status = kExitScenarioError;
};

// Standard input, whole: what it is (a file, a pipe, a terminal) does not
// matter as long as it reads; a folder or a failed read is an error.
Script readStandardInput() {
  Script script;
  std::string text;
  char buffer[65536];
  for (;;) {
    // A signal that comes between the check and the read would leave the
    // read waiting: it waits in slices.
    if (stopSignal() != 0) {
      script.problem = "interrupted";
      script.status = stopStatus();
      return script;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, kStopCheckMilliseconds);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
      if (text.size() > kMaxScenarioBytes) {
        script.problem = "larger than " + std::to_string(kMaxScenarioBytes) + " bytes";
        return script;
      }
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    script.problem = std::strerror(errno);
    return script;
  }
  script.text = std::move(text);
  return script;
}

Script readScenario(const std::string& file) {
  if (file == "-") return readStandardInput();
  Script script;
  std::vector<uint8_t> bytes;
  if (auto error = prefsfile::readRegularFile(file, kMaxScenarioBytes, bytes)) {
    script.problem = error->detail();
    return script;
  }
  script.text.emplace(bytes.begin(), bytes.end());
  return script;
}

int execute(Mode mode, const Settings& settings) {
  std::optional<std::string> script;
  std::string name = "<demo>";
  fs::path base = fs::current_path();
  if (mode == Mode::Run) {
    name = settings.file == "-" ? "<stdin>" : settings.file;
    Script read = readScenario(settings.file);
    if (!read.text) {
      std::cerr << name << ": cannot read the scenario: " << read.problem << std::endl;
      return read.status;
    }
    script = std::move(read.text);
    if (settings.file != "-") base = fs::absolute(settings.file).parent_path();
  } else if (mode == Mode::Demo) {
    script = std::string(kDemoScenario);
  }

  std::optional<DeviceRoot> root;
  try {
    root.emplace(quelline::deviceroot::givenRoot(
        settings.rootGiven ? std::optional<std::string>(settings.root) : std::nullopt));
  } catch (const RootError& e) {
    std::cerr << "quelline-sim: " << e.what() << std::endl;
    return kExitScenarioError;
  } catch (const std::exception& e) {
    std::cerr << "quelline-sim: " << e.what() << std::endl;
    return kExitSimulatorFailure;
  }

  const bool live = mode == Mode::Live || mode == Mode::Serve;
  if (mode == Mode::Live && root->temporary())
    std::cerr << "quelline-sim: the device root is " << root->path().string()
              << " (removed at exit; quelline-prefs reaches it with --root or QUELLINE_ROOT)"
              << std::endl;
  OutputOptions format;
  format.format = settings.json ? Format::Json : Format::Text;
  format.flushEachLine = live;
  format.brief = settings.brief;
  format.colour =
      !settings.json && ::isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
  Output output(std::cout, format);
  // The report and the live page are drawn from the same records.
  std::optional<RunRecorder> recorder;
  if (!settings.html.empty() || mode == Mode::Serve)
    recorder.emplace(mode == Mode::Serve ? "live" : name, settings.vanilla);
  hostsim::trace::setSink([&output, &recorder](const hostsim::trace::Event& e) {
    output.event(e);
    if (recorder) recorder->event(e);
  });
  int status = kExitOk;
  {
    RunnerOptions options;
    options.root = root->path();
    options.clock = live ? hostsim::ClockMode::Real : hostsim::ClockMode::Virtual;
    options.deliverables = deliverables();
    options.vanilla = settings.vanilla;
    if (!settings.ios.empty()) options.screen = *homeScreenOf(settings.ios);
    Runner runner(options, output);
    if (recorder) runner.setObserver(&*recorder);
    if (mode == Mode::Serve)
      status = runServe(runner, *recorder, settings.serve, root->path());
    else
      status = live ? runLive(runner, base) : runScript(runner, *script, name, base);
    output.summary(runner.now(), runner.heldExpectations(), runner.failedExpectations(), status);
    output.flush();
    runner.setObserver(nullptr);
  }
  hostsim::trace::setSink(nullptr);
  output.flush();
  if (!settings.html.empty()) {
    recorder->finish(status);
    try {
      writeReport(settings.html, nlohmann::json{{"scenario", name}, {"vanilla", settings.vanilla}},
                  [&](const std::function<bool(std::string_view)>& write) {
                    recorder->writeSnapshot(write);
                  });
    } catch (const ReportError& e) {
      std::cerr << "--html " << settings.html << ": " << e.what() << std::endl;
      if (status == kExitOk || status == kExitExpectFailed) status = kExitSimulatorFailure;
    }
  }
  return status;
}

} // namespace

int main(int argc, char** argv) {
  installStopHandlers();
  CLI::App app{"Runs scenarios against the modeled home-screen process with Quelline loaded. "
               "Without a command, runs a built-in demo.",
               "quelline-sim"};
  Settings settings;
  CLI::Option* rootOption =
      app.add_option("--root", settings.root,
                     "device root folder (created when missing, never removed); default: "
                     "$QUELLINE_ROOT, else a temporary folder removed at exit");
  app.add_flag("--json", settings.json, "print one JSON record per line instead of text");
  app.add_flag("--brief", settings.brief,
               "show only what a person perceives (the list, the icons, banners, sounds and "
               "haptics, the display, the ringer display, the toggle), not the host's calls");
  app.add_flag("--vanilla", settings.vanilla, "boot the host without Quelline, to compare");
  app.add_option("--ios", settings.ios,
                 "the system whose home screen a boot models unless it names one: 11 (iOS 11 "
                 "and 12, the default) or 16 (iOS 15 and 16)")
      ->check([](const std::string& version) {
        return homeScreenOf(version) ? std::string() : "expected 11 or 16, not '" + version + "'";
      });
  app.set_version_flag("--version", std::string("quelline-sim ") + QUELLINE_VERSION);

  CLI::App* run = app.add_subcommand("run", "run a scenario file ('-' for standard input)");
  run->add_option("FILE", settings.file, "the scenario file, or - for standard input")->required();
  run->fallthrough();
  CLI::App* live = app.add_subcommand("live", "read commands at a prompt on a real clock");
  live->fallthrough();
  CLI::Option* htmlOption = app.add_option(
      "--html", settings.html, "write an HTML report of the run (the demo or run) to this file");
  CLI::App* serve = app.add_subcommand(
      "serve", "the live phone in a browser: an HTTP server on the loopback address");
  serve->add_option("--port", settings.serve.port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--bind", settings.serve.bind,
                    "the loopback address to listen on (127.0.0.1, ::1 or localhost)");
  serve->fallthrough();
  app.require_subcommand(0, 1);
  app.footer("Exit status: 0 every expectation held; 1 an expectation failed; 2 the scenario "
             "or the command line is wrong; 3 the simulator failed; 130/143 stopped by "
             "SIGINT/SIGTERM.\n"
             "Scenario commands, one a line (* also before boot):\n" +
             scenarioUsage() +
             "The scenario language: " + quelline::programfiles::documentPath("scenarios.md"));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitScenarioError;
  }

  if (htmlOption->count() > 0 && settings.html.empty()) {
    std::cerr << "--html: an empty file name; expected the file to write the report to"
              << std::endl;
    return kExitScenarioError;
  }
  settings.rootGiven = rootOption->count() > 0;
  const Mode mode = run->parsed()     ? Mode::Run
                    : live->parsed()  ? Mode::Live
                    : serve->parsed() ? Mode::Serve
                                      : Mode::Demo;
  if (!settings.html.empty() && (mode == Mode::Live || mode == Mode::Serve)) {
    std::cerr << "--html: a report is written for the demo and for run; expected no --html with "
              << (mode == Mode::Live ? "live" : "serve") << std::endl;
    return kExitScenarioError;
  }
  // The report replaces its file: never the scenario it reports on.
  std::error_code same;
  if (mode == Mode::Run && !settings.html.empty() && settings.file != "-" &&
      fs::equivalent(settings.html, settings.file, same)) {
    std::cerr << "--html " << settings.html << ": this is the scenario " << settings.file
              << "; expected another file for the report" << std::endl;
    return kExitScenarioError;
  }
  if (mode == Mode::Serve) {
    if (!isLoopbackAddress(settings.serve.bind)) {
      std::cerr << "--bind " << settings.serve.bind
                << ": not a loopback address; expected 127.0.0.1 (or another 127.x.y.z), ::1 or "
                   "localhost: the live phone is never served beyond this machine"
                << std::endl;
      return kExitScenarioError;
    }
  }
  const int status = execute(mode, settings);
  return stopSignal() != 0 ? stopStatus() : status;
}
