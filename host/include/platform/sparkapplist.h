// The app-list service: whether a user-edited list holds an app.
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
