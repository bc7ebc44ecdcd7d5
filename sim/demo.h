// The scenario that quelline-sim runs when given no command.
#pragma once

#include <string_view>

namespace quelline::sim {

// The road of one event: the switch goes to silent, the notification list
// fades and the ringer display shows; a notification arrives and makes no
// sound, only a haptic tap, with no banner and the display left off; then
// the switch goes back to ring.
extern const std::string_view kDemoScenario;

} // namespace quelline::sim
