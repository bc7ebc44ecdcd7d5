// Per-app rules: an app on the user's silent list switches quiet mode on
// while it is in front, an app on the banner list keeps banners hidden.
// An overlay set on an app-switcher page is the moment an app is in front;
// saving an app's suspend snapshot is the moment it leaves.
#include "core/quiet_mode.h"
#include "notifications/notification_hooks.h"
#include "platform/sparkapplist.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostSetOverlay;
IMP hostSaveSuspendSnapshot;

namespace {

bool onBannerList(id bundleIdentifier) {
  return platform::SparkAppList::doesIdentifier_andKey_containBundleIdentifier(
      NSSTR(QUELLINE_BANNER_APPS_LIST), NSSTR(QUELLINE_BANNER_APPS_KEY), bundleIdentifier);
}

} // namespace

void replacedSetOverlay(id self, SEL _cmd, id overlay, BOOL animated) {
  using namespace platform;
  id bundleIdentifier = frontBundleIdentifier();
  if (onSilentList(bundleIdentifier)) postEvent(NSSTR(QUELLINE_EVENT_HIDE));
  if (onBannerList(bundleIdentifier)) postEvent(NSSTR(QUELLINE_EVENT_HIDE_BANNER));
  callSlot<void>(hostSetOverlay, self, _cmd, overlay, animated);
}

// The app leaves: its rules end, but a silent app never ends a quiet mode
// that the switch, the toggle or quiet hours hold. The host still saves the app's
// snapshot afterwards: the switcher's picture of the app is the user's.
void replacedSaveSuspendSnapshot(id self, SEL _cmd, id snapshot, id sceneHandle) {
  SEL bundleIdentifier = platform::sel<"bundleIdentifier">();
  if (onSilentList(platform::msgSend<id>(self, bundleIdentifier)) &&
      !quietModeHeldBy(kHeldBySwitch | kHeldByQuietHours | kHeldByToggle))
    postEvent(NSSTR(QUELLINE_EVENT_UNHIDE));
  if (onBannerList(platform::msgSend<id>(self, bundleIdentifier)))
    postEvent(NSSTR(QUELLINE_EVENT_UNHIDE_BANNER));
  platform::callSlot<void>(hostSaveSuspendSnapshot, self, _cmd, snapshot, sceneHandle);
}

} // namespace quelline
