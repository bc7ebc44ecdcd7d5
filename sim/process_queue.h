// Work for the live phone's process, run on the process's own thread in
// between turns of its run loop: the process is never touched from a
// request's thread. A request that gives up before its work started
// cancels it, so that "not in time" always means "not done".
#pragma once

#include "host/support/mutex.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

namespace quelline::sim {

class ProcessQueue {
public:
  explicit ProcessQueue(std::chrono::milliseconds wait) : wait_(wait) {}

  // Runs `work` on the process's thread and returns what it gave; nullopt
  // when it did not start in time or the server is stopping, and then it
  // never runs. Once started, it is waited for: an answer says whether the
  // work ran, never "not yet".
  std::optional<nlohmann::json> call(std::function<nlohmann::json()> work) {
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    std::future<nlohmann::json> result = job->result.get_future();
    {
      support::MutexLock lock(mutex_);
      if (closed_) return std::nullopt;
      jobs_.push_back(job);
    }
    wake_.notify_one();
    if (result.wait_for(wait_) != std::future_status::ready) {
      int pending = kPending;
      if (job->state.compare_exchange_strong(pending, kCancelled)) return std::nullopt;
      result.wait(); // under way: its answer is the truth
    }
    if (job->state.load() == kCancelled) return std::nullopt; // the server stopped first
    return result.get();                                      // rethrows what the work threw
  }

  // Runs the jobs that came in, waiting at most `wait` for the first.
  void runJobs(std::chrono::milliseconds wait) {
    std::deque<std::shared_ptr<Job>> jobs;
    {
      const auto deadline = std::chrono::steady_clock::now() + wait;
      support::MutexLock lock(mutex_);
      while (jobs_.empty())
        if (wake_.wait_until(lock, deadline) == std::cv_status::timeout) break;
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) {
      int pending = kPending;
      if (!job->state.compare_exchange_strong(pending, kRunning)) continue; // given up
      try {
        job->result.set_value(job->work());
      } catch (...) {
        job->result.set_exception(std::current_exception());
      }
    }
  }

  // Jobs not started never run; their requests are answered at once.
  void close() {
    std::deque<std::shared_ptr<Job>> dropped;
    {
      support::MutexLock lock(mutex_);
      closed_ = true;
      dropped.swap(jobs_);
    }
    for (auto& job : dropped) {
      int pending = kPending;
      if (job->state.compare_exchange_strong(pending, kCancelled)) job->result.set_value(nullptr);
    }
  }

private:
  enum { kPending, kRunning, kCancelled };
  struct Job {
    std::function<nlohmann::json()> work;
    std::promise<nlohmann::json> result;
    std::atomic<int> state{kPending};
  };
  const std::chrono::milliseconds wait_;
  support::Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::shared_ptr<Job>> jobs_ QUELLINE_GUARDED_BY(mutex_);
  bool closed_ QUELLINE_GUARDED_BY(mutex_) = false;
};

} // namespace quelline::sim
