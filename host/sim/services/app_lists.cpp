// SparkAppList: whether a user-edited list of apps holds a bundle identifier.
// The lists live in /var/mobile/Library/Preferences/<identifier>.plist, each
// under its key as an array of bundle identifiers; the file is read afresh
// on every question, so an edit counts at once.
#include "host/sim/services/app_lists.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"

#include <string>

namespace hostsim {
namespace {

// NO for a nil or non-string bundleID, a bad identifier or key, a missing
// or unreadable file, and a value that is no array; strings in the array are
// compared with bundleID, anything else in it is passed over.
BOOL SparkAppList_doesIdentifierAndKeyContainBundleIdentifier(id, SEL, id identifier, id key,
                                                              id bundleID) {
  if (!isString(identifier) || !isString(key) || !isString(bundleID)) return NO;
  std::string file = preferencesFilePath(stringOf(identifier));
  if (file.empty()) return NO;
  Strong lists = readDictionaryFile(file, false);
  if (!lists) return NO;
  const auto& entries = state<DictionaryState>(lists.get()).entries;
  auto it = entries.find(stringOf(key));
  if (it == entries.end() || !isArray(it->second.get())) return NO;
  const std::string& wanted = stringOf(bundleID);
  for (const Strong& item : state<ArrayState>(it->second.get()).items)
    if (isString(item.get()) && stringOf(item.get()) == wanted) return YES;
  return NO;
}

} // namespace

void registerAppLists() {
  Class appList = defineClass("SparkAppList", objc_getClass("NSObject"));
  addClassMethod(appList, "doesIdentifier:andKey:containBundleIdentifier:",
                 SparkAppList_doesIdentifierAndKeyContainBundleIdentifier);
}

// The lists are files, and the class goes with the runtime: nothing to end.
void resetAppLists() {}

} // namespace hostsim
