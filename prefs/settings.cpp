#include "prefs/settings.h"

#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/live_read.h"

QUELLINE_EXPORT QuellineSettings Settings;

namespace quelline {

void loadPrefs(CFNotificationCenterRef, void*, CFNotificationName, const void*, CFDictionaryRef) {
  CFStringRef domain = CFSTR(QUELLINE_DOMAIN);
  CFPreferencesAppSynchronize(domain);

  // The home-screen process reads through the preferences service; any
  // other process reads the file itself.
  id source = nil;
  if (platform::NSString::isEqualToString(NSHomeDirectory(), NSSTR("/var/mobile"))) {
    CFArrayRef keys =
        CFPreferencesCopyKeyList(domain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    if (keys != nullptr) {
      CFDictionaryRef values =
          CFPreferencesCopyMultiple(keys, domain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
      source = values != nullptr
                   ? bridge(values)
                   : platform::NSObject::retain(platform::NSMutableDictionary::dictionary());
      CFRelease(keys);
    }
  } else {
    source = platform::NSObject::retain(readPreferenceFile());
  }

  // Every field on every load: a key that went away returns to its default.
#define QUELLINE_LOAD_SETTING(name, type, fallback, minimum, maximum, reading, pane, label, text)  \
  QUELLINE_IF_CACHED(reading, Settings.name = setting##type(source, NSSTR(#name), fallback);)
  QUELLINE_SETTINGS(QUELLINE_LOAD_SETTING)
#undef QUELLINE_LOAD_SETTING

  postEvent(NSSTR(QUELLINE_EVENT_PREFS_RELOADED));
  platform::NSObject::release(source);
}

} // namespace quelline
