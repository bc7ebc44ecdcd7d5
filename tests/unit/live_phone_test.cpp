// What the live phone's server holds and how it answers: the records it
// keeps for its pages stay within their cap in bytes however much comes,
// and a request that gives up on the process never has its command run.
#include "sim/process_queue.h"
#include "sim/record_stream.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using quelline::sim::ProcessQueue;
using quelline::sim::RecordStream;

json message(uint64_t seq, const char* kind, json record) {
  return json{{"seq", seq}, {"kind", kind}, {"record", std::move(record)}};
}

TEST(LivePhoneRecords, StayWithinTheirCapInBytesAndStreamInBoundedPieces) {
  constexpr size_t kCap = 64 * 1024;
  constexpr size_t kPiece = 4 * 1024;
  RecordStream records(kCap, kPiece);
  uint64_t early = records.oldest();
  // 500 records of every kind with a 1 KB field, errors included: about
  // 2.5 MB, 40 times the cap.
  const std::string app(1000, 'a');
  const char* kinds[] = {"command", "event", "state", "expectation", "error"};
  uint64_t seq = 0;
  for (int i = 0; i < 500; ++i)
    for (const char* kind : kinds)
      records.push(message(++seq, kind,
                           std::string(kind) == "error" ? json{{"message", app}}
                                                        : json{{"text", app}, {"n", i}}));
  EXPECT_LE(records.bytes(), kCap);
  EXPECT_GT(records.bytes(), kCap / 2);
  EXPECT_LT(records.count(), 64u);

  // A stream still at the start fell behind what is kept: it starts again.
  EXPECT_FALSE(records.take(early, 0ms).has_value());
  // A stream from the oldest kept gets them in pieces, the newest last.
  uint64_t cursor = records.oldest();
  EXPECT_EQ(records.seqBefore(cursor) + records.count(), seq);
  std::string all;
  for (std::optional<std::string> piece; (piece = records.take(cursor, 0ms)) && !piece->empty();) {
    // At most a piece, or one record that alone is larger.
    const bool oneRecord = piece->find("data: ", 1) == std::string::npos;
    EXPECT_TRUE(piece->size() <= kPiece || oneRecord) << piece->size();
    all += *piece;
  }
  EXPECT_NE(all.find("\"seq\":" + std::to_string(seq) + ","), std::string::npos);

  // The snapshot's text holds what is kept, and the errors as messages.
  uint64_t last = 0;
  const json snapshot = json::parse(records.recordsText(json{{"scenario", "live"}}, last));
  EXPECT_EQ(last, seq);
  EXPECT_EQ(snapshot["seq"], seq);
  EXPECT_EQ(snapshot["scenario"], "live");
  EXPECT_EQ(snapshot["errors"].back(), app);
  EXPECT_EQ(snapshot["expectations"].back()["n"], 499);
  EXPECT_LE(snapshot["errors"].size() + snapshot["commands"].size(), records.count());

  // The states dropped are folded into where a joining page starts.
  RecordStream states(kCap, kPiece);
  states.push(message(1, "state", json{{"t", 0}, {"changed", {{"file", {{"a", 1}}}}}}));
  for (int i = 0; i < 500; ++i)
    states.push(
        message(2 + i, "state",
                json{{"t", i}, {"changed", {{"n", i}}}, {"front", app + std::to_string(i)}}));
  json base;
  const uint64_t first = states.oldest(base);
  uint64_t joined = first;
  const std::string piece = states.take(joined, 0ms).value_or("");
  const json oldestKept = json::parse(piece.substr(6, piece.find("\n\n") - 6)); // "data: …"
  EXPECT_EQ(base["state"]["file"]["a"], 1);
  EXPECT_EQ(base["state"]["n"].get<int>() + 1, oldestKept["record"]["changed"]["n"].get<int>());
  EXPECT_EQ(base["front"], app + base["state"]["n"].dump());

  // One record larger than the cap is kept alone: a page sees the last.
  records.push(message(++seq, "state", json{{"file", std::string(2 * kCap, 'x')}}));
  EXPECT_EQ(records.count(), 1u);

  // A record's kind is held twice (its own string and inside the text):
  // both count against the cap, so records of an 8 KiB kind cost more than
  // 16 KiB each.
  RecordStream bigKinds(kCap, kPiece);
  const std::string kind(8 * 1024, 'k');
  for (uint64_t i = 1; i <= 20; ++i)
    bigKinds.push(message(i, kind.c_str(), json::object()));
  EXPECT_LE(bigKinds.count(), kCap / (2 * kind.size()));
}

TEST(LivePhoneProcessQueue, ACommandGivenUpNeverRunsAndOneStartedIsWaitedFor) {
  ProcessQueue queue(300ms);
  std::atomic<int> ran{0};
  // The process's thread is busy: the request gives up, and its command
  // never runs, even when the thread comes to it.
  EXPECT_FALSE(queue
                   .call([&] {
                     ++ran;
                     return json(1);
                   })
                   .has_value());
  queue.runJobs(0ms);
  EXPECT_EQ(ran.load(), 0);

  // Once started, a command is waited for, however long it takes.
  std::atomic<bool> stop{false};
  std::thread process([&] {
    while (!stop.load())
      queue.runJobs(10ms);
  });
  const std::optional<json> answer = queue.call([&] {
    std::this_thread::sleep_for(1s);
    ++ran;
    return json(2);
  });
  stop = true;
  process.join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, 2);
  EXPECT_EQ(ran.load(), 1);

  // Stopping: what was not started never runs, and nothing waits.
  queue.close();
  EXPECT_FALSE(queue.call([] { return json(3); }).has_value());
}

} // namespace
