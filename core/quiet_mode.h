// Who holds quiet mode on. Every route that would end quiet mode asks here
// whether something else still holds it: the ring/silent switch, quiet
// hours, the Control Center toggle, an app of the silent list in front.
#pragma once

#include "platform/objc.h"

namespace quelline {

enum QuietModeHolder : uint32_t {
  kHeldBySwitch = 1u << 0,     // the switch on silent, with enableMuteSwitch
  kHeldByQuietHours = 1u << 1, // inside quiet hours' window
  kHeldByToggle = 1u << 2,     // the toggle on, as the preference file says now
  kHeldBySilentApp = 1u << 3,  // an app of the silent list in front
};
constexpr uint32_t kAllQuietModeHolders =
    kHeldBySwitch | kHeldByQuietHours | kHeldByToggle | kHeldBySilentApp;

// Whether any of `holders` holds quiet mode on now. Each is asked only when
// named, in the order above, and the first that holds answers: the toggle
// costs a read of the file, the app one of the silent list.
bool quietModeHeldBy(uint32_t holders);

// The bundle identifier of the app in front (nil on the home screen), and
// whether an app is on the silent list.
id frontBundleIdentifier();
bool onSilentList(id bundleIdentifier);

} // namespace quelline
