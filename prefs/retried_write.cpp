#include "prefs/retried_write.h"

#include "platform/dispatch.h"

namespace quelline {
namespace {

constexpr int64_t kRetryAfterLockNanoseconds = 10000000;
constexpr int64_t kRetryAfterFailureNanoseconds = 1000000000;

void retry(void* context) {
  RetriedWrite& write = *static_cast<RetriedWrite*>(context);
  write.retryScheduled = false;
  writeOrRetry(write);
}

} // namespace

void writeOrRetry(RetriedWrite& write) {
  WriteResult result = write.attempt();
  if (result == WriteResult::Done || write.retryScheduled) return;
  write.retryScheduled = true;
  int64_t delay =
      result == WriteResult::LockTaken ? kRetryAfterLockNanoseconds : kRetryAfterFailureNanoseconds;
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, delay), dispatch_get_main_queue(), &write,
                   &retry);
}

} // namespace quelline
