// The names of the system's events. Events go to the default in-process
// notification center with object nil and user info nil; "…/ReloadPrefs"
// (domain.h) is the one cross-process notification.
#pragma once

#include "platform/foundation.h"
#include "prefs/domain.h"

#define QUELLINE_EVENT_PREFS_RELOADED QUELLINE_EVENT_PREFIX "prefsReloaded"
#define QUELLINE_EVENT_CHECK_STATE QUELLINE_EVENT_PREFIX "checkState"
#define QUELLINE_EVENT_HIDE QUELLINE_EVENT_PREFIX "hide"
#define QUELLINE_EVENT_UNHIDE QUELLINE_EVENT_PREFIX "unHide"
#define QUELLINE_EVENT_MUTE_HIDE_ICONS QUELLINE_EVENT_PREFIX "muteHideIcons"
#define QUELLINE_EVENT_MUTE_UNHIDE_ICONS QUELLINE_EVENT_PREFIX "muteUnHideIcons"
#define QUELLINE_EVENT_HIDE_BANNER QUELLINE_EVENT_PREFIX "hideBanner"
#define QUELLINE_EVENT_UNHIDE_BANNER QUELLINE_EVENT_PREFIX "unHideBanner"
#define QUELLINE_EVENT_HIDE_ICONS QUELLINE_EVENT_PREFIX "hideIcons"
// Posted by the toggle once a write that changed the stored end of its
// period has landed, so that the library reads the end again.
#define QUELLINE_EVENT_TOGGLE_PERIOD QUELLINE_EVENT_PREFIX "togglePeriod"

// Every event's suffix, for those that watch them all (the simulator's dump).
// clang-format off
#define QUELLINE_EVENTS(X) \
  X(hide) X(unHide) X(muteHideIcons) X(muteUnHideIcons) X(hideBanner) X(unHideBanner) \
  X(hideIcons) X(checkState) X(prefsReloaded) X(togglePeriod)
// clang-format on

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
