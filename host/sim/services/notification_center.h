// The in-process notification center (NSNotificationCenter): one
// registration per addObserver call, synchronous delivery in registration
// order, observers held weakly.
#pragma once

#include <cstddef>
#include <string_view>

namespace hostsim {
void registerNotificationCenter();
void resetNotificationCenter();
// Registrations for `name` whose observer is still alive.
size_t liveRegistrations(std::string_view name);
// Posts of `name` since the process started.
size_t postCount(std::string_view name);
} // namespace hostsim
