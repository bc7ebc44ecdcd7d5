#include "core/quiet_mode.h"

#include "platform/sparkapplist.h"
#include "platform/uikit.h"
#include "prefs/flags.h"
#include "prefs/live_read.h"
#include "prefs/settings.h"

namespace quelline {

bool quietModeHeldBy(uint32_t holders) {
  if ((holders & kHeldBySwitch) != 0 && Settings.enableMuteSwitch && SharedFlags.ringerMuted)
    return true;
  if ((holders & kHeldByQuietHours) != 0 && SharedFlags.quietHoursHold) return true;
  if ((holders & kHeldByToggle) != 0 && readLiveBool(LiveKey::enableTweakToggle)) return true;
  if ((holders & kHeldBySilentApp) != 0) {
    id front = frontBundleIdentifier();
    if (front != nil && onSilentList(front)) return true;
  }
  return false;
}

id frontBundleIdentifier() {
  using namespace platform;
  id front = UIApplication::_accessibilityFrontMostApplication(UIApplication::sharedApplication());
  return NSObject::valueForKey(front, NSSTR("_bundleIdentifier"));
}

bool onSilentList(id bundleIdentifier) {
  return platform::SparkAppList::doesIdentifier_andKey_containBundleIdentifier(
      NSSTR(QUELLINE_SILENT_APPS_LIST), NSSTR(QUELLINE_SILENT_APPS_KEY), bundleIdentifier);
}

} // namespace quelline
