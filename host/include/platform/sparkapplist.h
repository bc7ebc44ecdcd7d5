// The app-list service (libsparkapplist): whether a user-edited list holds
// an app, and the editor of a list. Selectors as the library's published
// headers (SparkAppList.h, SparkAppListTableViewController.h) declare them.
#pragma once

#include "platform/foundation.h"

namespace platform::SparkAppList {
// True when the list stored under `key` for `identifier` holds bundleID; a
// nil bundleID is in no list.
inline BOOL doesIdentifier_andKey_containBundleIdentifier(id identifier, id key, id bundleID) {
  return msgSend<BOOL>(cls<"SparkAppList">(),
                       sel<"doesIdentifier:andKey:containBundleIdentifier:">(), identifier, key,
                       bundleID);
}
} // namespace platform::SparkAppList

namespace platform::SparkAppListTableViewController {
// The library's editor of the list stored under `key` for `identifier` (a
// UITableViewController); owned by the caller (alloc/init). Nil when the
// library is not loaded.
inline id initWithIdentifier_andKey(id identifier, id key) {
  Class editor = cls<"SparkAppListTableViewController">();
  if (editor == nil) return nil;
  return msgSend<id>(msgSend<id>(editor, sel<"alloc">()), sel<"initWithIdentifier:andKey:">(),
                     identifier, key);
}
} // namespace platform::SparkAppListTableViewController
