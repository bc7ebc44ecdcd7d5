// Stub: the modeled process lands next.
#include "home/home_process.h"

namespace hostsim::home {
struct HomeProcess::Impl {
  bool booted = false;
};
HomeProcess::HomeProcess(std::filesystem::path, ClockMode, Deliverables) : impl_(new Impl) {}
HomeProcess::~HomeProcess() = default;
void HomeProcess::boot(const BootOptions&) { impl_->booted = true; }
void HomeProcess::restart() {}
void HomeProcess::shutdown() { impl_->booted = false; }
bool HomeProcess::booted() const { return impl_->booted; }
void HomeProcess::setFeedbackLevel(std::optional<long>) {}
void HomeProcess::setModel(const std::string&) {}
void HomeProcess::setSwitch(bool) {}
void HomeProcess::setToggle(bool) {}
void HomeProcess::openControlCenter() {}
void HomeProcess::notify(const std::string&, const std::optional<std::string>&) {}
void HomeProcess::openApp(const std::string&) {}
void HomeProcess::suspendApp(const std::string&) {}
void HomeProcess::overlay() {}
void HomeProcess::clearList() {}
void HomeProcess::touch() {}
void HomeProcess::tap(unsigned long) {}
void HomeProcess::layout() {}
void HomeProcess::window() {}
void HomeProcess::queryToday(bool) {}
void HomeProcess::querySearch(bool) {}
void HomeProcess::post(const std::string&) {}
void HomeProcess::wait(double) {}
void HomeProcess::runDue() {}
double HomeProcess::now() const { return 0; }
nlohmann::json HomeProcess::inspect(const std::string&) const { return nullptr; }
nlohmann::json HomeProcess::dump() const { return nlohmann::json::object({{"time", 0.0}}); }
} // namespace hostsim::home
