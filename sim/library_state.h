// What the simulator knows of the library it loaded: its exported state
// (Settings, SharedFlags, timer, tapRecognizer and the hook table), found by
// symbol name in the process as any loader would find it, with the events
// it posts and the preference file it reads.
#pragma once

#include "host/sim/home/home_process.h"

#include <nlohmann/json.hpp>

namespace quelline::sim {

// Adds the library's part of the state to `state` (the process's dump):
// settings, flags, timer, tapRecognizer, registrations, posts, hooks and
// file. Each is null (or empty) where there is nothing to show: before
// boot, or without the library. With `Perceived`, registrations, posts and
// hooks are left out (see HomeProcess::dump).
void addLibraryState(
    const hostsim::home::HomeProcess& process, nlohmann::json& state,
    hostsim::home::HomeProcess::Detail detail = hostsim::home::HomeProcess::Detail::Whole);

// Whether the library's quiet hours hold (false without the library).
bool quietHoursHold(const hostsim::home::HomeProcess& process);

// Has `process` let go, when it ends, of the objects the library holds
// (the reveal timer and the tap recognizer).
void releaseLibraryHoldingsAtEnd(hostsim::home::HomeProcess& process);

} // namespace quelline::sim
