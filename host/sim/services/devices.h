// The device, sound and haptic services, the application, bundles, images
// and colours.
#pragma once

namespace hostsim {
void registerDeviceServices();
void resetDeviceServices();
} // namespace hostsim
