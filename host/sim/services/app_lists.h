// The app-list service (SparkAppList): user-edited lists of bundle
// identifiers, stored in /var/mobile/Library/Preferences/<identifier>.plist
// as key -> array of bundle identifiers.
#pragma once

#include <optional>
#include <string>

namespace hostsim {
void registerAppLists();
void resetAppLists();

// What the library's list editor does when a person checks (add) or
// unchecks an app: the list file read, the app put in or taken out of the
// array under `key`, the whole file written back atomically (other keys as
// they were; a missing file is made). What went wrong, or nothing: a file
// that holds no dictionary is left as it is.
[[nodiscard]] std::optional<std::string> editAppList(const std::string& identifier,
                                                     const std::string& key,
                                                     const std::string& bundleID, bool add);
} // namespace hostsim
