#include "prefs/toggle_period.h"

#include "prefs/domain.h"
#include "prefs/live_read.h"

namespace quelline {
namespace {

#define QUELLINE_PERIOD_RANGE(name, type, fallback, minimum, maximum, reading, pane, label, text)  \
  [[maybe_unused]] constexpr int32_t kMinimum_##name = minimum;                                    \
  [[maybe_unused]] constexpr int32_t kMaximum_##name = maximum;
QUELLINE_SETTINGS(QUELLINE_PERIOD_RANGE)
#undef QUELLINE_PERIOD_RANGE

} // namespace

int32_t readToggleDuration() {
  int32_t minutes = settingInt32(readPreferenceFile(), nameOf(LiveKey::toggleDuration), 0);
  if (minutes < kMinimum_toggleDuration || minutes > kMaximum_toggleDuration) return 0;
  return minutes;
}

int64_t periodEndIn(id prefs) {
  if (prefs == nil) return 0;
  id value = platform::NSDictionary::objectForKey(prefs, NSSTR(QUELLINE_TOGGLE_PERIOD_END_KEY));
  if (value == nil || !platform::NSObject::respondsToSelector(value, platform::sel("integerValue")))
    return 0;
  // 64 bits on the device and here.
  int64_t end = platform::NSNumber::integerValue(value);
  return end > 0 && end <= kLatestPeriodEnd ? end : 0;
}

id periodEndValue(int64_t end) {
  return platform::NSNumber::numberWithInteger(static_cast<long>(end));
}

} // namespace quelline
