#include "sim/signals.h"

#include "host/sim/services/run_loop.h"

#include <csignal>

namespace quelline::sim {
namespace {

volatile std::sig_atomic_t received = 0;

extern "C" void requestStop(int signal) {
  received = signal;
  hostsim::interruptRunLoop();
}

} // namespace

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() {
  return received;
}

int stopStatus() {
  return 128 + received;
}

} // namespace quelline::sim
