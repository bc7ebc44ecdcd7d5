// The records of a live session as the live phone keeps them for its pages:
// serialized once, in the order they were made, within a cap in bytes (the
// oldest go first). A page's event stream reads them from a cursor in
// pieces of bounded size, so that neither a page joining nor a page behind
// holds the lock for long, or holds more than a piece in memory. Under the
// lock records are only moved and copied, never parsed; the lock rules are
// checked by the compiler (host/support/mutex.h).
#pragma once

#include "host/support/mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelline::sim {

class RecordStream {
public:
  // Everything kept (record text plus the bookkeeping of each record)
  // stays within `capBytes`; a piece for a stream holds at most
  // `pieceBytes` of records, or the one record at the cursor when that
  // alone is larger (a record is never cut).
  RecordStream(size_t capBytes, size_t pieceBytes);

  // A record as the recorder's listener gives it: {"seq","kind","record"}.
  void push(const nlohmann::json& message);

  // The cursor of the oldest record kept, and where the states stand
  // before it: {"t","state","front"}, the state records dropped so far
  // folded together (a record's "changed", a merge patch, or its whole
  // "state"). A page joins from there.
  uint64_t oldest() const;
  uint64_t oldest(nlohmann::json& stateBase) const;
  // The "seq" of the last record before `cursor` (0 when none was made).
  uint64_t seqBefore(uint64_t cursor) const;

  // The records from `cursor` on as server-sent events, at most a piece
  // (`pieceBytes`, or one larger record), waiting up to `wait` for one; the
  // cursor moves past them. Empty after a
  // wait with nothing new. nullopt when the oldest records at the cursor
  // were dropped meanwhile, or the stream is closed.
  std::optional<std::string> take(uint64_t& cursor, std::chrono::milliseconds wait);

  // The records kept as the recorder's snapshot holds them, as JSON text:
  // the members of `fields`, then "commands", "events", "states",
  // "expectations" (arrays of records), "errors" (an array of messages),
  // "stateBase" (as oldest() gives it) and "seq" (the last record held,
  // also put in `seq`). Copied a piece at a time.
  std::string recordsText(const nlohmann::json& fields, uint64_t& seq) const;

  // What is kept now, in bytes as the cap counts them, and in records.
  size_t bytes() const;
  size_t count() const;

  void close();

private:
  struct Entry {
    uint64_t seq;
    std::string kind;
    // The message as a stream sends it, `data: {"seq":…,"record":RECORD}`
    // and a blank line, so that a stream's piece is copied, not made, under
    // the lock; the record is text[recordAt, size - 3).
    std::string text;
    size_t recordAt;
    std::string_view record() const {
      return std::string_view(text).substr(recordAt, text.size() - recordAt - 3);
    }
  };
  static size_t cost(const Entry& entry);
  // Where a page joins: the cursor of the oldest record kept, the "seq" of
  // the last one dropped, and the state records dropped folded into the
  // base (copied into `base`).
  struct Start {
    uint64_t cursor = 0;
    uint64_t dropped = 0;
  };
  Start start(nlohmann::json& base) const QUELLINE_EXCLUDES(foldMutex_, mutex_);
  // Folds the state records dropped so far into stateBase_, outside the
  // records' lock; returns where they end.
  Start foldDropped() const QUELLINE_REQUIRES(foldMutex_) QUELLINE_EXCLUDES(mutex_);
  void fold(std::string_view record) const QUELLINE_REQUIRES(foldMutex_) QUELLINE_EXCLUDES(mutex_);

  const size_t capBytes_;
  const size_t pieceBytes_;
  // Taken before mutex_ when both are: a joining page waits for a fold,
  // never the records' readers and writers.
  mutable support::Mutex foldMutex_ QUELLINE_ACQUIRED_BEFORE(mutex_);
  mutable nlohmann::json stateBase_ QUELLINE_GUARDED_BY(foldMutex_) = {
      {"t", 0}, {"state", nlohmann::json::object()}, {"front", nullptr}};
  mutable support::Mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<Entry> entries_ QUELLINE_GUARDED_BY(mutex_);
  uint64_t first_ QUELLINE_GUARDED_BY(mutex_) = 0;   // the cursor of entries_.front()
  uint64_t dropped_ QUELLINE_GUARDED_BY(mutex_) = 0; // the "seq" of the last record dropped
  size_t bytes_ QUELLINE_GUARDED_BY(mutex_) = 0;
  // State records dropped and not yet folded into stateBase_, oldest first.
  mutable std::vector<Entry> unfolded_ QUELLINE_GUARDED_BY(mutex_);
  bool closed_ QUELLINE_GUARDED_BY(mutex_) = false;
};

} // namespace quelline::sim
