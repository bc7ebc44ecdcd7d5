// quelline-sim serve: the modeled home-screen process on the real clock,
// with a page that shows the phone and its timeline as they change and
// buttons that act on it, behind an HTTP server on the loopback address.
#pragma once

#include "sim/record.h"
#include "sim/runner.h"

#include <filesystem>
#include <string>

namespace quelline::sim {

struct ServeOptions {
  std::string bind = "127.0.0.1";
  int port = 8710; // 0: a free port, chosen by the system
};

// Whether `address` names this machine only: 127.0.0.0/8, ::1 or
// "localhost". The server refuses any other.
bool isLoopbackAddress(const std::string& address);

// Boots the process, serves until SIGINT or SIGTERM, and returns the exit
// status: 0, or 3 when the server could not start or the process failed.
// The address it serves is printed on standard error.
int runServe(Runner& runner, RunRecorder& recorder, const ServeOptions& options,
             const std::filesystem::path& root);

} // namespace quelline::sim
