#include "host/sim/services/trace.h"

#include "host/sim/services/run_loop.h"

namespace hostsim::trace {
namespace {
Sink& sink() {
  static auto* s = new Sink();
  return *s;
}
} // namespace

void setSink(Sink s) {
  sink() = std::move(s);
}

bool enabled() {
  return static_cast<bool>(sink());
}

void emit(const char* kind, Event fields) {
  if (!sink()) return;
  Event e = Event::object();
  e["t"] = hasMainRunLoop() ? mainRunLoop().now() : 0.0; // before boot: time 0
  e["event"] = kind;
  for (auto& [key, value] : fields.items())
    e[key] = std::move(value);
  sink()(e);
}

} // namespace hostsim::trace
