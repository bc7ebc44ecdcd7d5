// A log of what a process showed or played (the ringer display's runs, the
// sounds, the haptics, the re-alert counts, the snapshots): its most recent
// entries, up to a bound, and how many there were in all. A long run keeps
// a bounded memory and a `dump` of a bounded size, whatever its length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>

namespace hostsim {

// How many entries each log keeps, unless a run asks for more or fewer.
inline constexpr size_t kDefaultHistoryBound = 1000;
// The most a run may ask a log to keep.
inline constexpr size_t kMaxHistoryBound = 1000000;

// The entries each log keeps from now on (1 to kMaxHistoryBound); a log
// with more lets its oldest go at its next entry. It holds for the whole
// run, restarts included.
void setHistoryBound(size_t bound);
size_t historyBound();

class RecentLog {
public:
  void add(nlohmann::json entry);

  // Entries in all, and the newest (null when there was none).
  uint64_t total() const { return total_; }
  const nlohmann::json* last() const { return recent_.empty() ? nullptr : &recent_.back(); }

  // The entries as an array while every one is kept; once some have gone,
  // {"total": N, "recent": [the entries kept, oldest first]}.
  nlohmann::json dump() const;

private:
  std::deque<nlohmann::json> recent_;
  uint64_t total_ = 0;
};

} // namespace hostsim
