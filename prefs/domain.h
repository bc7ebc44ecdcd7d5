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
//   X(name, type, default, minimum, maximum, reading, pane, label, description)
// type: Bool (a one-byte boolean), Int32 (a signed 32-bit integer),
// Minutes (a clock time: minutes after local midnight, an Int32 in the file)
// or Duration (a span of minutes, an Int32 in the file);
// default: the value of an absent key; minimum, maximum: the values the
// editor accepts (the home screen reads whatever the file holds: a tap
// count of 0 would never reveal the icons, a timer of 0 s would hide them
// again at once); reading: Cached (a field of `Settings`, refreshed by
// every reload) or Live (read from the file each time it is used, false
// when absent); pane: where the settings pane shows the key, as (group of
// QUELLINE_PANE_GROUPS, place in it from 1), or (Hidden, 0) for a key the
// toggle writes; label: the pane's name for it; description: one line for
// people.
#define QUELLINE_SETTINGS(X)                                                                       \
  X(hideAnimated, Bool, true, false, true, Cached, (QuietMode, 3), "Fade the list",                \
    "fade the notification list out and in as the switch or a silent app turns quiet mode on "     \
    "and off; from the toggle it hides at once and only fades back in (off: both at once)")        \
  X(enableMuteSwitch, Bool, true, false, true, Cached, (QuietMode, 1), "Ring/silent switch",       \
    "the ring/silent switch turns quiet mode on and off")                                          \
  X(enableHideIcons, Bool, false, false, true, Cached, (Icons, 1), "Hide icons with taps",         \
    "the icons can be hidden: taps on the home screen hide and show them")                         \
  X(hideIconsWithSwitch, Bool, false, false, true, Cached, (Icons, 6), "Switch hides icons too",   \
    "the ring/silent switch also hides and shows the icons")                                       \
  X(haptic, Bool, true, false, true, Cached, (QuietMode, 6), "Haptic tap",                         \
    "a silenced notification gives a short haptic tap")                                            \
  X(useTimer, Bool, false, false, true, Cached, (Icons, 3), "Hide again after a while",            \
    "revealed icons hide again after timerTime seconds (off: taps flip them)")                     \
  X(timerTime, Int32, 5, 1, 3600, Cached, (Icons, 4), "Seconds before hiding",                     \
    "seconds that revealed icons stay before they hide again")                                     \
  X(disableSound, Bool, true, false, true, Cached, (QuietMode, 5), "Silence sounds",               \
    "notifications play no sound while quiet mode is on")                                          \
  X(hideBanners, Bool, true, false, true, Cached, (QuietMode, 4), "Hide banners",                  \
    "no banners show while quiet mode is on")                                                      \
  X(hideNCNotifications, Bool, true, false, true, Cached, (QuietMode, 2),                          \
    "Hide the notification list", "the notification list fades out while quiet mode is on")        \
  X(touchToReveal, Bool, true, false, true, Cached, (Icons, 5), "Touch brings icons back",         \
    "with the timer, a touch on the home screen brings the icons back")                            \
  X(numberOfTaps, Int32, 2, 1, 10, Cached, (Icons, 2), "Taps",                                     \
    "taps on the home screen that hide or show the icons")                                         \
  X(enableTweakToggle, Bool, false, false, true, Live, (Hidden, 0), "Toggle on",                   \
    "the Control Center toggle is on (the toggle writes it)")                                      \
  X(toggleHasControl, Bool, false, false, true, Live, (Hidden, 0), "Toggle governs icons",         \
    "the toggle, not the taps, governs the icons (the toggle writes it)")                          \
  X(hideIconsWithToggle, Bool, false, false, true, Live, (ControlCenter, 1),                       \
    "Toggle hides icons too", "the Control Center toggle also hides and shows the icons")          \
  X(toggleDuration, Duration, 0, 0, 1440, Live, (ControlCenter, 2), "Turn off after",              \
    "minutes after which the Control Center toggle switches itself off (0: until switched off)")   \
  X(quietHours, Bool, false, false, true, Cached, (QuietHours, 1), "Quiet hours",                  \
    "quiet mode comes on every day from quietHoursStart to quietHoursEnd (local time)")            \
  X(quietHoursStart, Minutes, 1320, 0, 1439, Cached, (QuietHours, 2), "From",                      \
    "the daily start of quiet hours, in minutes after local midnight (1320: 22:00)")               \
  X(quietHoursEnd, Minutes, 420, 0, 1439, Cached, (QuietHours, 3), "To",                           \
    "the daily end of quiet hours, in minutes after local midnight (420: 07:00); before the "      \
    "start, the window crosses midnight")

// The keys of features beyond the core: with each of them at its default,
// the system behaves as it did before the feature came, and the check of
// that (tests/unchanged) leaves them out of the outputs it compares. A new
// feature that keeps the core's behaviour at its defaults marks its keys by
// adding K(name) here (each a key of QUELLINE_SETTINGS; the check fails on
// a name that is none).
#define QUELLINE_BEYOND_CORE_KEYS(K)                                                               \
  K(quietHours) K(quietHoursStart) K(quietHoursEnd) K(toggleDuration)

// The C type of a key's value.
#define QUELLINE_SETTING_TYPE_Bool bool
#define QUELLINE_SETTING_TYPE_Int32 int32_t
#define QUELLINE_SETTING_TYPE_Minutes int32_t
#define QUELLINE_SETTING_TYPE_Duration int32_t

// Whether a key's value is a time of day: shown and typed as "22:00", kept
// as minutes after midnight.
#define QUELLINE_SETTING_IS_TIME_Bool false
#define QUELLINE_SETTING_IS_TIME_Int32 false
#define QUELLINE_SETTING_IS_TIME_Minutes true
#define QUELLINE_SETTING_IS_TIME_Duration false

// Not a setting: the moment the toggle's current period ends, as the
// wall-clock second since 1970-01-01 UTC (an integer in the file). The
// toggle writes it with its own keys when it turns quiet mode on with a
// toggleDuration, and removes it when it is switched off; the library turns
// the toggle off at that moment. Absent: no period runs.
#define QUELLINE_TOGGLE_PERIOD_END_KEY "togglePeriodEnd"

// Pairs of keys that may not hold the same value, and why:
//   D(first, second, reason)
// The editor and the pane refuse a change that would make them equal.
#define QUELLINE_DIFFERENT_KEYS(D)                                                                 \
  D(quietHoursStart, quietHoursEnd, "quiet hours need a start and an end that differ")

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

// The settings pane's groups, in the order it shows them:
//   G(group, title, footer)
// A group's rows are the keys that name it, by place; Apps holds the two
// app lists instead.
#define QUELLINE_PANE_GROUPS(G)                                                                    \
  G(QuietMode, "Quiet mode",                                                                       \
    "Quiet mode comes on with the ring/silent switch, the Control Center toggle, an app of "       \
    "Silent apps in front, or quiet hours (below). While it is on, these say what goes quiet.")    \
  G(ControlCenter, "Control Center",                                                               \
    "The Control Center toggle can hide the icons too, and can switch itself off after a while.")  \
  G(Icons, "Icons",                                                                                \
    "Taps on the home screen hide and show the icons; with a timer they come back for a while.")   \
  G(QuietHours, "Quiet hours",                                                                     \
    "Quiet mode comes on every day from the start to the end time; a window may cross midnight. "  \
    "Leaving it ends quiet mode unless the switch, the toggle or a silent app holds it.")          \
  G(Apps, "Apps",                                                                                  \
    "Silent apps turn quiet mode on while in front; banner apps hide banners while in front.")

// The pane's title, as Settings' list and the pane's navigation bar show it.
#define QUELLINE_PANE_TITLE "Quelline"

// The rows of the Apps group, each opening the app-list editor on one list:
//   L(row, label, list, key)
// row: the row's identifier in the pane; list, key: the list's identifier
// and the key of its array, as the editor stores them.
#define QUELLINE_PANE_APP_LISTS(L)                                                                 \
  L(silentApps, "Silent apps", QUELLINE_SILENT_APPS_LIST, QUELLINE_SILENT_APPS_KEY)                \
  L(bannerApps, "Banner apps", QUELLINE_BANNER_APPS_LIST, QUELLINE_BANNER_APPS_KEY)
// The pane's method that an app-list row calls with its specifier.
#define QUELLINE_PANE_APP_LIST_ACTION "showAppList:"
// The package that holds the app-list editor, named where it is missing.
#define QUELLINE_APP_LIST_PACKAGE "libSparkAppList (com.spark.libsparkapplist)"

// The pane offers a clock time (Minutes) in steps of this many minutes.
#define QUELLINE_PANE_TIME_STEP 15

// The spans the pane offers for a Duration, in minutes, with their titles:
//   D(minutes, title)
// (the editor takes any value of the key's range).
#define QUELLINE_PANE_DURATIONS(D)                                                                 \
  D(0, "Until I switch it off")                                                                    \
  D(15, "15 min")                                                                                  \
  D(30, "30 min")                                                                                  \
  D(60, "1 hour")                                                                                  \
  D(120, "2 hours")                                                                                \
  D(240, "4 hours")                                                                                \
  D(480, "8 hours")

// The group and the place of a key's pane column.
#define QUELLINE_PANE_GROUP(pane) QUELLINE_PANE_FIRST pane
#define QUELLINE_PANE_PLACE(pane) QUELLINE_PANE_SECOND pane
#define QUELLINE_PANE_FIRST(group, place) group
#define QUELLINE_PANE_SECOND(group, place) place
