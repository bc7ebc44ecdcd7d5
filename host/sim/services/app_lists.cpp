// SparkAppList: whether a user-edited list of apps holds a bundle identifier.
// The lists live in /var/mobile/Library/Preferences/<identifier>.plist, each
// under its key as an array of bundle identifiers; the file is read afresh
// on every question, so an edit counts at once.
#include "host/sim/services/app_lists.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

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

std::optional<std::string> editAppList(const std::string& identifier, const std::string& key,
                                       const std::string& bundleID, bool add) {
  const std::string file = preferencesFilePath(identifier);
  if (file.empty()) return "no list file for \"" + identifier + "\"";
  Strong lists = readDictionaryFile(file, true);
  std::error_code ec;
  if (!lists) {
    if (std::filesystem::exists(hostPath(file), ec)) return file + " holds no dictionary";
    lists = newDictionary({}, true);
  }
  auto& entries = state<DictionaryState>(lists.get()).entries;
  std::vector<Strong> items;
  auto it = entries.find(key);
  if (it != entries.end() && isArray(it->second.get()))
    items = state<ArrayState>(it->second.get()).items;
  auto same = [&](const Strong& item) {
    return isString(item.get()) && stringOf(item.get()) == bundleID;
  };
  items.erase(std::remove_if(items.begin(), items.end(), same), items.end());
  if (add) items.push_back(newString(bundleID));
  entries[key] = newArray(std::move(items));
  if (!writePropertyListFile(lists.get(), file, true)) return "the list file could not be written";
  return std::nullopt;
}

// The lists are files, and the class goes with the runtime: nothing to end.
void resetAppLists() {}

} // namespace hostsim
