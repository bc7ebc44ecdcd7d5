#include "sim/demo.h"

namespace quelline::sim {

const std::string_view kDemoScenario = R"(# The road of one event.
boot
switch silent                  # the ring/silent switch goes to silent
wait 0.7                       # the notification list fades out; the ringer display shows
notify com.apple.MobileSMS     # no sound, a haptic tap, no banner, the display stays off
dump flags.notificationsHidden
dump list
dump hud
dump sounds
dump feedback
dump banners
dump display
switch ring                    # back to ring: the list comes back
wait 0.7
dump list
)";

} // namespace quelline::sim
