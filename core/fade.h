// The one animation the system uses: a view's alpha to 0 or 1 over 0.7 s,
// no delay, user interaction still allowed, no completion.
#pragma once

#include "platform/dispatch.h"
#include "platform/uikit.h"

namespace quelline {

inline constexpr double kFadeDuration = 0.7;

// A delay in seconds as dispatch_time takes it, in nanoseconds.
constexpr int64_t nanoseconds(double seconds) {
  return static_cast<int64_t>(seconds * NSEC_PER_SEC + 0.5);
}

// The animations closures: they refer to the view without owning it.
inline void setAlphaZero(void* view) {
  platform::UIView::setAlpha(static_cast<id>(view), 0);
}
inline void setAlphaOne(void* view) {
  platform::UIView::setAlpha(static_cast<id>(view), 1);
}

inline void fadeAlpha(id view, bool visible) {
  platform::UIView::animateWithDuration_delay_options_animations_completion(
      kFadeDuration, 0, UIViewAnimationOptionAllowUserInteraction,
      visible ? &setAlphaOne : &setAlphaZero, view, nullptr);
}

} // namespace quelline
