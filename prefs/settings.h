// The user's settings: the cached values, filled only by loadPrefs.
#pragma once

#include "platform/corefoundation.h"
#include "prefs/live_read.h"

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

} // namespace quelline
