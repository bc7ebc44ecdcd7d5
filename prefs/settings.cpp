#include "prefs/settings.h"

#include "prefs/events.h"
#include "prefs/flags.h"

QUELLINE_EXPORT QuellineSettings Settings;

namespace quelline {
namespace {

id valueOf(id source, id key) {
  return source == nil ? nil : platform::NSDictionary::objectForKey(source, key);
}

bool converts(id value, const char* selector) {
  return platform::NSObject::respondsToSelector(value, platform::sel(selector));
}

} // namespace

bool settingBool(id source, id key, bool fallback) {
  id value = valueOf(source, key);
  if (value == nil || !converts(value, "boolValue")) return fallback;
  return platform::NSNumber::boolValue(value);
}

int32_t settingInt32(id source, id key, int32_t fallback) {
  id value = valueOf(source, key);
  if (value == nil || !converts(value, "integerValue")) return fallback;
  long wide = platform::NSNumber::integerValue(value);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(wide)));
}

bool readLiveBool(id key) {
  id prefs =
      platform::NSMutableDictionary::dictionaryWithContentsOfFile(NSSTR(QUELLINE_PREFS_PATH));
  return settingBool(prefs, key, false);
}

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
    source = platform::NSObject::retain(
        platform::NSMutableDictionary::dictionaryWithContentsOfFile(NSSTR(QUELLINE_PREFS_PATH)));
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
