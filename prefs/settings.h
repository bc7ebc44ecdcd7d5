// The user's settings: the cached values, filled only by loadPrefs, and the
// live read of a key straight from the preference file.
#pragma once

#include "platform/corefoundation.h"

#include <stdint.h>

struct QuellineSettings {
  bool hideAnimated;
  bool enableMuteSwitch;
  bool enableHideIcons;
  bool hideIconsWithSwitch;
  bool haptic;
  int32_t timerTime; // seconds
  bool useTimer;
  bool disableSound;
  bool hideBanners;
  bool hideNCNotifications;
  bool touchToReveal;
  int32_t numberOfTaps;
};

extern "C" QuellineSettings Settings;

namespace quelline {

// Fills every field of Settings from the preference domain (or file), then
// posts prefsReloaded once. Also the callback of the cross-process
// "…/ReloadPrefs" notification, whose arguments it ignores.
void loadPrefs(CFNotificationCenterRef center = nullptr, void* observer = nullptr,
               CFNotificationName name = nullptr, const void* object = nullptr,
               CFDictionaryRef userInfo = nullptr);

// The boolean under `key` in the preference file, read now; false when the
// file or the key is missing.
bool readLiveBool(id key);

// A stored value as a boolean or as a signed 32-bit integer (its low 32
// bits). A value that has no such conversion (an array, a dictionary, data,
// a date) counts as absent: the default is used.
bool settingBool(id source, id key, bool fallback);
int32_t settingInt32(id source, id key, int32_t fallback);

} // namespace quelline
