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

  Settings.hideAnimated = settingBool(source, NSSTR("hideAnimated"), true);
  Settings.enableMuteSwitch = settingBool(source, NSSTR("enableMuteSwitch"), true);
  Settings.enableHideIcons = settingBool(source, NSSTR("enableHideIcons"), false);
  Settings.hideIconsWithSwitch = settingBool(source, NSSTR("hideIconsWithSwitch"), false);
  Settings.haptic = settingBool(source, NSSTR("haptic"), true);
  Settings.timerTime = settingInt32(source, NSSTR("timerTime"), 5);
  Settings.useTimer = settingBool(source, NSSTR("useTimer"), false);
  Settings.disableSound = settingBool(source, NSSTR("disableSound"), true);
  Settings.hideBanners = settingBool(source, NSSTR("hideBanners"), true);
  Settings.hideNCNotifications = settingBool(source, NSSTR("hideNCNotifications"), true);
  Settings.touchToReveal = settingBool(source, NSSTR("touchToReveal"), true);
  Settings.numberOfTaps = settingInt32(source, NSSTR("numberOfTaps"), 2);

  postEvent(NSSTR(QUELLINE_EVENT_PREFS_RELOADED));
  platform::NSObject::release(source);
}

} // namespace quelline
