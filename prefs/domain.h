// The preference domain, described once: its names, its files, and every
// key with its type, default and reading. The loader, the settings record,
// the simulator's dump and the preference editor all derive from this list.
// Freestanding: macros and literals only.
#pragma once

#define QUELLINE_DOMAIN "com.veltrasse.quelline"
#define QUELLINE_PREFERENCES_FOLDER "/var/mobile/Library/Preferences/"
#define QUELLINE_PREFS_PATH QUELLINE_PREFERENCES_FOLDER QUELLINE_DOMAIN ".plist"
// Posted by whoever changes the file, to every process of the device.
#define QUELLINE_RELOAD_PREFS QUELLINE_DOMAIN "/ReloadPrefs"
// The prefix of the in-process events (events.h).
#define QUELLINE_EVENT_PREFIX QUELLINE_DOMAIN "/"

// The two app lists: the list's identifier, its file, and the key of the
// array of bundle identifiers in it.
#define QUELLINE_SILENT_APPS_LIST QUELLINE_DOMAIN ".silentApps"
#define QUELLINE_SILENT_APPS_PATH QUELLINE_PREFERENCES_FOLDER QUELLINE_SILENT_APPS_LIST ".plist"
#define QUELLINE_SILENT_APPS_KEY "silentApps"
#define QUELLINE_BANNER_APPS_LIST QUELLINE_DOMAIN ".bannerApps"
#define QUELLINE_BANNER_APPS_PATH QUELLINE_PREFERENCES_FOLDER QUELLINE_BANNER_APPS_LIST ".plist"
#define QUELLINE_BANNER_APPS_KEY "bannerApps"

// Every key, in the order the editor lists them:
//   X(name, type, default, minimum, maximum, reading, description)
// type: Bool (a one-byte boolean) or Int32 (a signed 32-bit integer);
// default: the value of an absent key; minimum, maximum: the values the
// editor accepts (the home screen reads whatever the file holds: a tap
// count of 0 would never reveal the icons, a timer of 0 s would hide them
// again at once); reading: Cached (a field of `Settings`, refreshed by
// every reload) or Live (read from the file each time it is used, false
// when absent); description: one line for people.
#define QUELLINE_SETTINGS(X)                                                                       \
  X(hideAnimated, Bool, true, false, true, Cached,                                                 \
    "fade the notification list out and in as the switch or a silent app turns quiet mode on "     \
    "and off; from the toggle it hides at once and only fades back in (off: both at once)")        \
  X(enableMuteSwitch, Bool, true, false, true, Cached,                                             \
    "the ring/silent switch turns quiet mode on and off")                                          \
  X(enableHideIcons, Bool, false, false, true, Cached,                                             \
    "the icons can be hidden: taps on the home screen hide and show them")                         \
  X(hideIconsWithSwitch, Bool, false, false, true, Cached,                                         \
    "the ring/silent switch also hides and shows the icons")                                       \
  X(haptic, Bool, true, false, true, Cached, "a silenced notification gives a short haptic tap")   \
  X(useTimer, Bool, false, false, true, Cached,                                                    \
    "revealed icons hide again after timerTime seconds (off: taps flip them)")                     \
  X(timerTime, Int32, 5, 1, 3600, Cached,                                                          \
    "seconds that revealed icons stay before they hide again")                                     \
  X(disableSound, Bool, true, false, true, Cached,                                                 \
    "notifications play no sound while quiet mode is on")                                          \
  X(hideBanners, Bool, true, false, true, Cached, "no banners show while quiet mode is on")        \
  X(hideNCNotifications, Bool, true, false, true, Cached,                                          \
    "the notification list fades out while quiet mode is on")                                      \
  X(touchToReveal, Bool, true, false, true, Cached,                                                \
    "with the timer, a touch on the home screen brings the icons back")                            \
  X(numberOfTaps, Int32, 2, 1, 10, Cached, "taps on the home screen that hide or show the icons")  \
  X(enableTweakToggle, Bool, false, false, true, Live,                                             \
    "the Control Center toggle is on (the toggle writes it)")                                      \
  X(toggleHasControl, Bool, false, false, true, Live,                                              \
    "the toggle, not the taps, governs the icons (the toggle writes it)")                          \
  X(hideIconsWithToggle, Bool, false, false, true, Live,                                           \
    "the Control Center toggle also hides and shows the icons")

// The C type of a key's value.
#define QUELLINE_SETTING_TYPE_Bool bool
#define QUELLINE_SETTING_TYPE_Int32 int32_t

// Whether a key is read live.
#define QUELLINE_SETTING_LIVE_Cached false
#define QUELLINE_SETTING_LIVE_Live true

// QUELLINE_IF_CACHED(reading, ...) expands to what follows for a cached
// key and to nothing for a live one.
#define QUELLINE_IF_CACHED(reading, ...) QUELLINE_IF_CACHED_##reading(__VA_ARGS__)
#define QUELLINE_IF_CACHED_Cached(...) __VA_ARGS__
#define QUELLINE_IF_CACHED_Live(...)

// QUELLINE_IF_LIVE(reading, ...): the same for a live key.
#define QUELLINE_IF_LIVE(reading, ...) QUELLINE_IF_LIVE_##reading(__VA_ARGS__)
#define QUELLINE_IF_LIVE_Cached(...)
#define QUELLINE_IF_LIVE_Live(...) __VA_ARGS__
