// Preferences (CFPreferences*) backed by the property-list files of
// /var/mobile/Library/Preferences/<domain>.plist, and NSHomeDirectory().
#pragma once

#include <string>

namespace hostsim {
void registerPreferences(std::string home);
void resetPreferences();
} // namespace hostsim
