// The app-list service (SparkAppList): user-edited lists of bundle
// identifiers, stored in /var/mobile/Library/Preferences/<identifier>.plist
// as key -> array of bundle identifiers.
#pragma once

namespace hostsim {
void registerAppLists();
void resetAppLists();
} // namespace hostsim
