// The run as a person would look at it: the commands with their file lines,
// what the process showed and played (the trace), its state after each
// command, the expectations and how the run ended. The HTML report is drawn
// from it, and the live phone streams it to the browser as it grows.
#pragma once

#include "sim/runner.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quelline::sim {

// Records carry `t` on the run's clock: the process's clock plus the time
// of the processes that came before a `restart`, so that the run reads as
// one line from start to end.
class RunRecorder : public RunObserver {
public:
  RunRecorder(std::string scenario, bool vanilla);

  // A trace event as the sink receives it.
  void event(const nlohmann::ordered_json& event);

  void commandStarted(const Command& command, double t) override;
  void commandFinished(const Command& command, double t, const nlohmann::json& state) override;
  void expectation(const Command& command, double t, bool held,
                   const nlohmann::json* actual) override;
  void failed(const std::string& message) override;

  // Between commands (the live phone): records the state at `t` when
  // events came since the last state recorded, so that a reload or a timer
  // shows in the state as well as in the events. `withState` gives the
  // state (Runner::withPerceivedState) to the function it is given.
  void sampleIfChanged(double t, const std::function<void(const Runner::StateUse&)>& withState);

  // How the run ended (an exit status of session.h).
  void finish(int status);

  // The run's clock now, given the process's.
  double runTime(double processTime) const;

  // The whole record: {"scenario","vanilla","commands","events","states",
  // "stateBase","expectations","verdict","end"}. A command record is
  // {t,line,file,text} and, for notify/open/suspend, the `app` as read. A
  // state record is {t,line,changed} where `changed` is what changed in
  // the perceived state since the record before, as a JSON merge patch
  // (RFC 7396); `front` when the app in front changed; `process` ("boot"
  // or "restart") when the command started a process. `stateBase`,
  // {t,state,front[,process:{t,kind}]}, is where the first state record
  // starts from: empty here, since every record is kept; the live phone's
  // record stream folds the records it drops into it (record_stream.h).
  nlohmann::json snapshot() const;
  // The same record as JSON text (what jsonText(snapshot()) gives), given
  // to `write` piece by piece: a long run's records are never all held in
  // memory at once. A `write` that says false ends it.
  void writeSnapshot(const std::function<bool(std::string_view)>& write) const;

  // Called with each new record, {"seq":N,"kind":"event"|"command"|…,
  // "record":{…}}, on the thread that made it, outside the recorder's lock.
  // Records are numbered from 1; the snapshot's "seq" is the last one it
  // holds, so that a client can join the two without a gap or a repeat.
  using Listener = std::function<void(const nlohmann::json&)>;
  void setListener(Listener listener);

  // Whether the records are kept for snapshot() (they are at first). The
  // live phone keeps them itself, within a cap in bytes (record_stream.h),
  // and has them only streamed to its listener.
  void setKeeping(bool keep);

private:
  // Records kept for the snapshot, as JSON text joined by commas: in
  // memory up to a few hundred KiB, then moved on to a temporary file (gone
  // with the process).
  class KeptList {
  public:
    KeptList() = default;
    KeptList(const KeptList&) = delete;
    KeptList& operator=(const KeptList&) = delete;
    ~KeptList();
    void add(const std::string& record, double t);
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    double lastTime() const { return lastTime_; }
    // "[record,record,…]", piece by piece.
    bool write(const std::function<bool(std::string_view)>& write) const;

  private:
    std::string text_;
    std::FILE* spill_ = nullptr;
    bool spillFailed_ = false;
    size_t count_ = 0;
    double lastTime_ = 0;
  };

  void add(const char* kind, KeptList& list, nlohmann::json record);
  // A state record of what changed since the last one (under the lock).
  nlohmann::json stateRecord(double t, const nlohmann::json& line, const nlohmann::json& state);

  mutable std::mutex mutex_;
  std::string scenario_;
  bool vanilla_;
  double offset_ = 0;    // run time at the start of the current process
  double lastTime_ = 0;  // the latest process time seen
  std::string frontApp_; // the app in front, as the commands moved it
  KeptList commands_;
  KeptList events_;
  KeptList states_;
  nlohmann::json lastState_ = nlohmann::json::object(); // the perceived state, whole
  nlohmann::json lastFront_ = nullptr;
  KeptList expectations_;
  size_t failedExpectations_ = 0;
  nlohmann::json verdict_ = nullptr;
  std::vector<std::string> errors_;
  bool keeping_ = true;
  uint64_t seq_ = 0;
  bool eventsSinceState_ = false;
  Listener listener_;
};

} // namespace quelline::sim
