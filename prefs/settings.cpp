#include "prefs/settings.h"

#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/live_read.h"

QUELLINE_EXPORT QuellineSettings Settings;

namespace quelline {

void loadPrefs(CFNotificationCenterRef, void*, CFNotificationName, const void*, CFDictionaryRef) {
  // The file itself, in every process. The writers (the pane, the toggle,
  // the preference editor) all write the file, never the preferences daemon,
  // and the daemon keeps the copy it read first and does not see later
  // writes of the file: reading through it, the home screen would reload
  // the values of its first read until the phone restarts. A missing or
  // unreadable file gives every default.
  id source = platform::NSObject::retain(readPreferenceFile());

  // Every field on every load: a key that went away returns to its default.
#define QUELLINE_LOAD_SETTING(name, type, fallback, minimum, maximum, reading, pane, label, text)  \
  QUELLINE_IF_CACHED(reading, Settings.name = setting##type(source, NSSTR(#name), fallback);)
  QUELLINE_SETTINGS(QUELLINE_LOAD_SETTING)
#undef QUELLINE_LOAD_SETTING

  postEvent(NSSTR(QUELLINE_EVENT_PREFS_RELOADED));
  platform::NSObject::release(source);
}

} // namespace quelline
