// Random user actions against the modeled home-screen process, run in this
// process on the virtual clock: each episode boots a process on a fresh
// device root and runs scenario lines drawn at random (switch, toggle,
// notify, open/suspend, taps, waits, preference edits, restart...), and
// after each line checks what must hold whatever the user did. A failure
// comes back as a scenario file that reproduces it with quelline-sim.
#pragma once

#include "host/sim/home/home_process.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quelline::sim {

struct ExploreOptions {
  uint64_t seed = 1;
  // Runs episodes until this many actions ran, or (when `seconds` > 0)
  // until that much real time passed, whichever comes first.
  uint64_t actions = 10000;
  double seconds = 0;
  uint64_t episodeActions = 500; // actions per episode, after its boot
  // Only this episode (its index from 0), for replaying one failure.
  std::optional<uint64_t> onlyEpisode;
  std::filesystem::path workFolder; // episode roots are made and removed here
  bool profile = false;             // measure the processor time of each kind of line
  // Also draw the schedule's actions: quiet hours and their times, the
  // clock, the zone, sleep and long waits (without, the draws are those of a
  // system without quiet hours).
  bool schedule = false;
  hostsim::home::Deliverables deliverables;
};

struct ExploreFailure {
  uint64_t episode = 0;
  std::string what;     // the invariant that failed, and how
  std::string scenario; // a scenario that reproduces it (exit status 1 or 3)
};

struct ExploreResult {
  uint64_t actions = 0;
  uint64_t episodes = 0;
  double seconds = 0;    // real time spent
  double cpuSeconds = 0; // processor time spent (the machine may be shared)
  std::optional<ExploreFailure> failure;
  // With `profile`: per kind of line ("tap", "prefs set"...), how many ran
  // and their processor time in seconds.
  std::map<std::string, std::pair<uint64_t, double>> profile;
};

ExploreResult explore(const ExploreOptions& options);

// The lines of episode `episode` of `seed`, `count` actions after its boot.
// With `schedule`, the schedule's actions are drawn too.
std::vector<std::string> episodeLines(uint64_t seed, uint64_t episode, uint64_t count,
                                      bool schedule = false);

} // namespace quelline::sim
