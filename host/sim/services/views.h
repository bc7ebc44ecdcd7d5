// Views, view controllers, the alpha animation and tap gesture recognizers.
#pragma once

namespace hostsim {
void registerViews();
void resetViews();
} // namespace hostsim
