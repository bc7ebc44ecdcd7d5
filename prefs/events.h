// The names of the system's events and files. Events go to the default
// in-process notification center with object nil and user info nil;
// "…/ReloadPrefs" is the one cross-process notification.
#pragma once

#include "platform/foundation.h"

#define QUELLINE_DOMAIN "com.veltrasse.quelline"
#define QUELLINE_PREFS_PATH "/var/mobile/Library/Preferences/com.veltrasse.quelline.plist"
#define QUELLINE_RELOAD_PREFS "com.veltrasse.quelline/ReloadPrefs"

#define QUELLINE_EVENT_PREFS_RELOADED "com.veltrasse.quelline/prefsReloaded"
#define QUELLINE_EVENT_CHECK_STATE "com.veltrasse.quelline/checkState"
#define QUELLINE_EVENT_HIDE "com.veltrasse.quelline/hide"
#define QUELLINE_EVENT_UNHIDE "com.veltrasse.quelline/unHide"
#define QUELLINE_EVENT_MUTE_HIDE_ICONS "com.veltrasse.quelline/muteHideIcons"
#define QUELLINE_EVENT_MUTE_UNHIDE_ICONS "com.veltrasse.quelline/muteUnHideIcons"
#define QUELLINE_EVENT_HIDE_BANNER "com.veltrasse.quelline/hideBanner"
#define QUELLINE_EVENT_UNHIDE_BANNER "com.veltrasse.quelline/unHideBanner"
#define QUELLINE_EVENT_HIDE_ICONS "com.veltrasse.quelline/hideIcons"

namespace quelline {

// Posts `name` on the default center; every handler has run when it returns.
inline void postEvent(id name) {
  using namespace platform::NSNotificationCenter;
  postNotificationName_object_userInfo(defaultCenter(), name, nil, nil);
}

// Registers `observer` for `name` with `selector`, from any sender. Every
// call adds a registration; none is ever removed.
inline void observeEvent(id observer, const char* selector, id name) {
  using namespace platform::NSNotificationCenter;
  addObserver_selector_name_object(defaultCenter(), observer, platform::sel(selector), name, nil);
}

} // namespace quelline
