// Banners: the preview views of short-look controllers stay hidden while
// quiet mode hides the list (with hideBanners) or a banner app is in front.
// The events hideBanner and unHideBanner set and clear bannersHidden
// whether or not a banner is on screen: the short-look class itself
// observes them from load, besides every live controller.
#include "notifications/notification_hooks.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostShortLookInit;
IMP hostViewForPreview;

// Registered before the host initialiser runs, as the receiver arrived.
id replacedShortLookInit(id self, SEL _cmd, id request, BOOL reveal) {
  observeEvent(self, "hideBanner", NSSTR(QUELLINE_EVENT_HIDE_BANNER));
  observeEvent(self, "unHideBanner", NSSTR(QUELLINE_EVENT_UNHIDE_BANNER));
  return platform::callSlot<id>(hostShortLookInit, self, _cmd, request, reveal);
}

// The host hands out the same preview view on every call, so the view
// hidden here is the view returned. Nothing here ever shows a view again.
id replacedViewForPreview(id self, SEL _cmd) {
  if (Settings.hideBanners && SharedFlags.notificationsHidden)
    platform::UIView::setHidden(platform::callSlot<id>(hostViewForPreview, self, _cmd), YES);
  if (SharedFlags.bannersHidden)
    platform::UIView::setHidden(platform::callSlot<id>(hostViewForPreview, self, _cmd), YES);
  return platform::callSlot<id>(hostViewForPreview, self, _cmd);
}

// Registered once, at load, after the hook table gave the class its class
// methods hideBanner and unHideBanner; a host without the class has no
// banners to hide.
void observeBannerEvents() {
  id shortLookClass = as_id(objc_getClass("NCNotificationShortLookViewController"));
  if (shortLookClass == nil) return;
  observeEvent(shortLookClass, "hideBanner", NSSTR(QUELLINE_EVENT_HIDE_BANNER));
  observeEvent(shortLookClass, "unHideBanner", NSSTR(QUELLINE_EVENT_UNHIDE_BANNER));
}

// Instance and class methods alike: the one flag belongs to no controller.
void shortLookHideBanner(id, SEL) {
  SharedFlags.bannersHidden = true;
}
void shortLookUnHideBanner(id, SEL) {
  SharedFlags.bannersHidden = false;
}

} // namespace quelline
