#include "sim/record_stream.h"

#include "sim/output.h"

#include <array>
#include <string_view>
#include <vector>

namespace quelline::sim {

using json = nlohmann::json;

RecordStream::RecordStream(size_t capBytes, size_t pieceBytes)
    : capBytes_(capBytes), pieceBytes_(pieceBytes) {}

size_t RecordStream::cost(const Entry& entry) {
  // The text and the kind on the heap (with the allocator's own words),
  // and the entry in the deque.
  constexpr size_t kAllocation = 16;
  return sizeof(Entry) + entry.text.capacity() + entry.kind.capacity() + 2 * kAllocation;
}

void RecordStream::push(const json& message) {
  Entry entry{message.value("seq", uint64_t{0}), message.value("kind", std::string()), "", 0};
  entry.text = "data: {\"seq\":" + std::to_string(entry.seq) +
               ",\"kind\":" + jsonText(json(entry.kind)) + ",\"record\":";
  entry.recordAt = entry.text.size();
  entry.text += jsonText(message.contains("record") ? message["record"] : json::object());
  entry.text += "}\n\n";
  entry.text.shrink_to_fit();
  const size_t size = cost(entry);
  bool foldDue = false;
  {
    support::MutexLock lock(mutex_);
    entries_.push_back(std::move(entry));
    bytes_ += size;
    // The newest record stays, however large: a page sees what just
    // happened.
    while (bytes_ > capBytes_ && entries_.size() > 1) {
      bytes_ -= cost(entries_.front());
      dropped_ = entries_.front().seq;
      if (entries_.front().kind == "state") {
        unfolded_.push_back(std::move(entries_.front()));
        foldDue = true;
      }
      entries_.pop_front();
      ++first_;
    }
  }
  changed_.notify_all();
  if (foldDue) {
    support::MutexLock fold(foldMutex_);
    (void)foldDropped();
  }
}

RecordStream::Start RecordStream::foldDropped() const {
  std::vector<Entry> records;
  Start start;
  {
    support::MutexLock lock(mutex_);
    records.swap(unfolded_);
    start = {first_, dropped_};
  }
  for (const Entry& record : records)
    fold(record.record());
  return start;
}

RecordStream::Start RecordStream::start(json& base) const {
  support::MutexLock fold(foldMutex_);
  const Start start = foldDropped();
  base = stateBase_;
  return start;
}

void RecordStream::fold(std::string_view text) const {
  const json record = json::parse(text, nullptr, false);
  if (!record.is_object()) return;
  if (auto it = record.find("changed"); it != record.end())
    stateBase_["state"].merge_patch(*it);
  else if (auto whole = record.find("state"); whole != record.end())
    stateBase_["state"] = *whole;
  if (auto it = record.find("front"); it != record.end()) stateBase_["front"] = *it;
  if (auto it = record.find("process"); it != record.end())
    stateBase_["process"] = {{"t", record.value("t", json(0))}, {"kind", *it}};
  if (auto it = record.find("t"); it != record.end()) stateBase_["t"] = *it;
}

uint64_t RecordStream::oldest() const {
  support::MutexLock lock(mutex_);
  return first_;
}

uint64_t RecordStream::oldest(json& stateBase) const {
  return start(stateBase).cursor;
}

uint64_t RecordStream::seqBefore(uint64_t cursor) const {
  support::MutexLock lock(mutex_);
  if (cursor <= first_ || entries_.empty()) return dropped_;
  const uint64_t index = std::min<uint64_t>(cursor - first_, entries_.size()) - 1;
  return entries_[index].seq;
}

std::optional<std::string> RecordStream::take(uint64_t& cursor, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  support::MutexLock lock(mutex_);
  while (!closed_ && cursor >= first_ + entries_.size())
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) break;
  if (closed_ || cursor < first_) return std::nullopt;
  std::string out;
  for (; cursor < first_ + entries_.size(); ++cursor) {
    const std::string& text = entries_[cursor - first_].text;
    if (!out.empty() && out.size() + text.size() > pieceBytes_) break;
    out += text;
  }
  return out;
}

std::string RecordStream::recordsText(const json& fields, uint64_t& seq) const {
  static constexpr std::array<std::string_view, 5> kinds = {"command", "event", "state",
                                                            "expectation", "error"};
  static constexpr std::array<std::string_view, 5> names = {"commands", "events", "states",
                                                            "expectations", "errors"};
  std::array<std::string, 5> lists;
  json base;
  Start from = start(base);
  uint64_t cursor = from.cursor;
  seq = from.dropped;
  for (;;) {
    // A piece under the lock, the rest of the work outside it.
    std::vector<Entry> piece;
    size_t size = 0;
    bool behind = false;
    {
      support::MutexLock lock(mutex_);
      behind = cursor < first_;
      for (; !behind && cursor < first_ + entries_.size(); ++cursor) {
        const Entry& entry = entries_[cursor - first_];
        if (!piece.empty() && size + entry.text.size() > pieceBytes_) break;
        piece.push_back(entry);
        size += entry.text.size();
      }
    }
    if (behind) {
      // Records dropped meanwhile: start again from what is kept now.
      for (std::string& list : lists)
        list.clear();
      from = start(base);
      cursor = from.cursor;
      seq = from.dropped;
      continue;
    }
    if (piece.empty()) break;
    for (Entry& e : piece) {
      seq = e.seq;
      for (size_t i = 0; i < kinds.size(); ++i) {
        if (e.kind != kinds[i]) continue;
        std::string& list = lists[i];
        list += list.empty() ? "[" : ",";
        if (e.kind == "error")
          list += jsonText(json::parse(e.record()).value("message", json("")));
        else
          list += e.record();
      }
    }
  }
  std::string out = "{";
  for (const auto& [name, value] : fields.items()) {
    out += jsonText(json(name)) + ":" + jsonText(value) + ",";
  }
  for (size_t i = 0; i < names.size(); ++i) {
    out += "\"" + std::string(names[i]) + "\":";
    out += lists[i].empty() ? "[]" : lists[i] + "]";
    out += ",";
  }
  out += "\"stateBase\":" + jsonText(base) + ",\"seq\":" + std::to_string(seq) + "}";
  return out;
}

size_t RecordStream::bytes() const {
  support::MutexLock lock(mutex_);
  return bytes_;
}

size_t RecordStream::count() const {
  support::MutexLock lock(mutex_);
  return entries_.size();
}

void RecordStream::close() {
  {
    support::MutexLock lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

} // namespace quelline::sim
