// The user's settings: the cached values, filled only by loadPrefs.
#pragma once

#include "platform/corefoundation.h"
#include "prefs/domain.h"
#include "prefs/live_read.h"

#include <stdint.h>

// One field per cached key of the domain (domain.h), in its order.
struct QuellineSettings {
#define QUELLINE_SETTINGS_FIELD(name, type, fallback, minimum, maximum, reading, pane, label,      \
                                text)                                                              \
  QUELLINE_IF_CACHED(reading, QUELLINE_SETTING_TYPE_##type name;)
  QUELLINE_SETTINGS(QUELLINE_SETTINGS_FIELD)
#undef QUELLINE_SETTINGS_FIELD
};

extern "C" QuellineSettings Settings;

namespace quelline {

// Fills every field of Settings from the preference file, then
// posts prefsReloaded once. Also the callback of the cross-process
// "…/ReloadPrefs" notification, whose arguments it ignores.
void loadPrefs(CFNotificationCenterRef center = nullptr, void* observer = nullptr,
               CFNotificationName name = nullptr, const void* object = nullptr,
               CFDictionaryRef userInfo = nullptr);

} // namespace quelline
