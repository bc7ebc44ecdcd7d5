// The records of a live session as the live phone keeps them for its pages:
// serialized once, in the order they were made, within a cap in bytes (the
// oldest go first). A page's event stream reads them from a cursor in
// pieces of bounded size, so that neither a page joining nor a page behind
// holds the lock for long, or holds more than a piece in memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace quelline::sim {

class RecordStream {
public:
  // Everything kept (record text plus the bookkeeping of each record)
  // stays within `capBytes`; a piece for a stream holds at most
  // `pieceBytes` of records (and always one, however large).
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

  // The records from `cursor` on as server-sent events, at most a piece,
  // waiting up to `wait` for one; the cursor moves past them. Empty after a
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
  void fold(const Entry& dropped); // under the lock

  const size_t capBytes_;
  const size_t pieceBytes_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Entry> entries_;
  uint64_t first_ = 0;   // the cursor of entries_.front()
  uint64_t dropped_ = 0; // the "seq" of the last record dropped
  size_t bytes_ = 0;
  nlohmann::json stateBase_ = {{"t", 0}, {"state", nlohmann::json::object()}, {"front", nullptr}};
  bool closed_ = false;
};

} // namespace quelline::sim
