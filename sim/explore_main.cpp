// quelline-actions: random user actions against the modeled home-screen
// process, in this process on the virtual clock (see explorer.h).
//
//   quelline-actions [--seed N] [--actions N] [--seconds S] [--episode-actions N]
//                    [--episode E] [--work DIR] [--out FILE] [--schedule] [--lines]
//
// Exit status: 0 every check held; 1 a check failed (its scenario is printed
// on standard error and written to --out); 2 the command line is wrong.
#include "sim/explorer.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// Episodes write the preference file often: a memory-backed folder keeps
// that from waiting on the disk.
fs::path defaultWorkBase() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

} // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs random user actions against the modeled home-screen process with "
               "Quelline loaded, and checks what must always hold.",
               "quelline-actions"};
  quelline::sim::ExploreOptions options;
  uint64_t episode = 0;
  std::string work;
  std::string out;
  app.add_option("--seed", options.seed, "seed of the random actions (default 1)");
  app.add_option("--actions", options.actions, "stop after this many actions (default 10000)");
  app.add_option("--seconds", options.seconds,
                 "stop after this much real time; with it, --actions defaults to no bound");
  app.add_option("--episode-actions", options.episodeActions,
                 "actions per episode, each on a fresh device root (default 500)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
  app.add_flag("--profile", options.profile, "print the processor time of each kind of line");
  app.add_flag("--schedule", options.schedule,
               "also draw quiet hours, their times, the clock, the time zone and sleep");
  CLI::Option* only = app.add_option("--episode", episode, "run only this episode (from 0)");
  app.add_option("--work", work, "folder for the episodes' device roots (default /dev/shm)");
  app.add_option("--out", out, "write the scenario of a failure to this file");
  bool lines = false;
  app.add_flag("--lines", lines,
               "print the lines of the episodes (--episode E, or those --actions would run) "
               "as a scenario, one episode after another, instead of running them");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (options.seconds > 0 && app.count("--actions") == 0) options.actions = UINT64_MAX;
  if (only->count() > 0) options.onlyEpisode = episode;
  if (lines) {
    uint64_t first = options.onlyEpisode.value_or(0);
    uint64_t episodes = options.onlyEpisode ? 1
                                            : (options.actions + options.episodeActions - 1) /
                                                  options.episodeActions;
    for (uint64_t e = first; e < first + episodes; ++e) {
      std::cout << "# episode " << e << "\n";
      for (const std::string& line :
           quelline::sim::episodeLines(options.seed, e, options.episodeActions, options.schedule))
        std::cout << line << "\n";
    }
    return 0;
  }

  std::error_code ec;
  fs::path folder = fs::read_symlink("/proc/self/exe", ec).parent_path();
  options.deliverables = {folder / "Quelline.so", folder / "QuellineModule.bundle"};
  std::string pattern =
      ((work.empty() ? defaultWorkBase() : fs::path(work)) / "quelline-actions-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::cerr << pattern << ": cannot make the work folder" << std::endl;
    return 2;
  }
  options.workFolder = pattern;

  const quelline::sim::ExploreResult result = quelline::sim::explore(options);
  fs::remove_all(options.workFolder, ec);
  auto rate = [&](double seconds) {
    return static_cast<uint64_t>(seconds > 0 ? static_cast<double>(result.actions) / seconds : 0);
  };
  std::cout << "seed " << options.seed << ": " << result.actions << " actions in "
            << result.episodes << " episodes; " << result.seconds << " s, " << rate(result.seconds)
            << " actions/s; processor " << result.cpuSeconds << " s, " << rate(result.cpuSeconds)
            << " actions/s" << std::endl;
  for (const auto& [kind, measured] : result.profile)
    std::cout << "  " << kind << ": " << measured.first << " lines, "
              << (measured.first ? measured.second / double(measured.first) * 1e6 : 0)
              << " us each, " << measured.second << " s" << std::endl;
  if (!result.failure) {
    std::cout << "every check held" << std::endl;
    return 0;
  }
  std::cerr << "episode " << result.failure->episode << ": " << result.failure->what << "\n"
            << "a scenario that reproduces it (quelline-sim run FILE):\n"
            << result.failure->scenario << std::flush;
  if (!out.empty()) std::ofstream(out) << result.failure->scenario;
  return 1;
}
