#include "host/sim/services/recent_log.h"

#include <algorithm>

namespace hostsim {
namespace {

size_t& bound() {
  static size_t b = kDefaultHistoryBound;
  return b;
}

} // namespace

void setHistoryBound(size_t value) {
  bound() = std::clamp<size_t>(value, 1, kMaxHistoryBound);
}

size_t historyBound() {
  return bound();
}

void RecentLog::add(nlohmann::json entry) {
  recent_.push_back(std::move(entry));
  ++total_;
  while (recent_.size() > bound())
    recent_.pop_front();
}

nlohmann::json RecentLog::dump() const {
  nlohmann::json entries = nlohmann::json::array();
  for (const nlohmann::json& entry : recent_)
    entries.push_back(entry);
  if (total_ == recent_.size()) return entries;
  return {{"total", total_}, {"recent", std::move(entries)}};
}

} // namespace hostsim
