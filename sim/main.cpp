// quelline-sim: runs scenarios against the modeled home-screen process.
//
//   quelline-sim [--json] [--vanilla] [--root DIR]            the built-in demo
//   quelline-sim run FILE|- [--json] [--vanilla] [--root DIR]  a scenario
//   quelline-sim live [--json] [--vanilla] [--root DIR]        commands at a prompt
//   quelline-sim serve [--port N] [--bind ADDR] [--root DIR]   the live phone in a browser
// The demo and `run` write an HTML report of the run with --html OUT.html.
#include "demo.h"
#include "output.h"
#include "record.h"
#include "report.h"
#include "runner.h"
#include "serve.h"
#include "session.h"

#include "services/run_loop.h"
#include "services/trace.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using namespace quelline::sim;

// Scenario files are text of a few kilobytes; the bound only keeps a
// mistake (a device image named by accident) from being read whole.
constexpr size_t kMaxScenarioBytes = size_t{16} << 20;

// The device root: the folder given, created when missing and kept, or a
// fresh temporary folder removed at exit.
class DeviceRoot {
public:
  explicit DeviceRoot(const std::string& given) {
    if (!given.empty()) {
      path_ = fs::absolute(given);
      std::error_code ec;
      fs::create_directories(path_, ec);
      if (ec || !fs::is_directory(path_))
        throw std::runtime_error("--root " + given + ": cannot use it as the device root" +
                                 (ec ? ": " + ec.message() : ": not a folder"));
    } else {
      std::string pattern = (fs::temp_directory_path() / "quelline-sim-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary device root in " +
                                 fs::temp_directory_path().string());
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

private:
  fs::path path_;
  bool temporary_ = false;
};

// The deliverables sit beside the executable.
hostsim::home::Deliverables deliverables() {
  std::error_code ec;
  fs::path folder = fs::read_symlink("/proc/self/exe", ec).parent_path();
  if (ec) folder = fs::current_path();
  return {folder / "Quelline.so", folder / "QuellineModule.bundle"};
}

struct Settings {
  bool json = false;
  bool vanilla = false;
  std::string root;
  std::string file;
  std::string html; // the report, when asked for
  ServeOptions serve;
};

enum class Mode { Demo, Run, Live, Serve };

// Reads the scenario; nullopt (after a message) when it cannot be read.
std::optional<std::string> readScenario(const std::string& file) {
  std::string text;
  if (file == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) {
      std::cerr << "<stdin>: cannot read the scenario" << std::endl;
      return std::nullopt;
    }
    return text;
  }
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    std::cerr << file << ": cannot read the scenario: "
              << (fs::exists(file, ec) ? "not a regular file" : "no such file") << std::endl;
    return std::nullopt;
  }
  const auto size = fs::file_size(file, ec);
  if (!ec && size > kMaxScenarioBytes) {
    std::cerr << file << ": cannot read the scenario: larger than " << kMaxScenarioBytes << " bytes"
              << std::endl;
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    std::cerr << file << ": cannot read the scenario" << std::endl;
    return std::nullopt;
  }
  return text;
}

int execute(Mode mode, const Settings& settings) {
  std::optional<std::string> script;
  std::string name = "<demo>";
  fs::path base = fs::current_path();
  if (mode == Mode::Run) {
    script = readScenario(settings.file);
    if (!script) return kExitScenarioError;
    name = settings.file == "-" ? "<stdin>" : settings.file;
    if (settings.file != "-") base = fs::absolute(settings.file).parent_path();
  } else if (mode == Mode::Demo) {
    script = std::string(kDemoScenario);
  }

  std::optional<DeviceRoot> root;
  try {
    root.emplace(settings.root);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return settings.root.empty() ? kExitSimulatorFailure : kExitScenarioError;
  }

  const bool live = mode == Mode::Live || mode == Mode::Serve;
  Output output(std::cout, settings.json ? Format::Json : Format::Text, live);
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
    Runner runner(options, output);
    if (recorder) runner.setObserver(&*recorder);
    if (mode == Mode::Serve)
      status = runServe(runner, *recorder, settings.serve, root->path());
    else
      status = live ? runLive(runner, base) : runScript(runner, *script, name, base);
    output.flush();
    runner.setObserver(nullptr);
  }
  hostsim::trace::setSink(nullptr);
  output.flush();
  if (!settings.html.empty()) {
    recorder->finish(status);
    try {
      writeReport(settings.html, recorder->snapshot());
    } catch (const ReportError& e) {
      std::cerr << "--html " << settings.html << ": " << e.what() << std::endl;
      if (status == kExitOk || status == kExitExpectFailed) status = kExitSimulatorFailure;
    }
  }
  return status;
}

} // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs scenarios against the modeled home-screen process with Quelline loaded. "
               "Without a command, runs a built-in demo.",
               "quelline-sim"};
  Settings settings;
  app.add_option("--root", settings.root,
                 "device root folder (created when missing, never removed); default: a "
                 "temporary folder removed at exit");
  app.add_flag("--json", settings.json, "print one JSON object per line instead of text");
  app.add_flag("--vanilla", settings.vanilla, "boot the host without Quelline, to compare");

  CLI::App* run = app.add_subcommand("run", "run a scenario file ('-' for standard input)");
  run->add_option("FILE", settings.file, "the scenario file, or - for standard input")->required();
  run->fallthrough();
  CLI::App* live = app.add_subcommand("live", "read commands at a prompt on a real clock");
  live->fallthrough();
  app.add_option("--html", settings.html,
                 "write an HTML report of the run (the demo or run) to this file");
  CLI::App* serve = app.add_subcommand(
      "serve", "the live phone in a browser: an HTTP server on the loopback address");
  serve->add_option("--port", settings.serve.port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--bind", settings.serve.bind,
                    "the loopback address to listen on (127.0.0.1, ::1 or localhost)");
  serve->fallthrough();
  app.require_subcommand(0, 1);
  app.footer("Exit status: 0 every expectation held; 1 an expectation failed; 2 the scenario "
             "or the command line is wrong; 3 the simulator failed.\n"
             "Scenario commands, one a line (* also before boot):\n" +
             scenarioUsage() + "The scenario language: docs/scenarios.md.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitScenarioError;
  }

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
  return execute(mode, settings);
}
