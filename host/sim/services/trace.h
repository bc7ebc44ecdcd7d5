// What the device showed and played, as a stream of events at their times on
// the main run loop's clock. The simulator prints them; tests collect them.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>

namespace hostsim::trace {

using Event = nlohmann::ordered_json;
using Sink = std::function<void(const Event&)>;

// Replaces the receiver of events (none by default: events are dropped).
void setSink(Sink sink);

// Whether anyone receives events: hot paths skip building them otherwise.
bool enabled();

// Emits {"t":NOW, "event":kind, ...fields} in that key order.
void emit(const char* kind, Event fields = Event::object());

} // namespace hostsim::trace
