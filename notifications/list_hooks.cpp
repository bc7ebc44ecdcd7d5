// The notification list: it fades out while quiet mode is on.
#include "core/fade.h"
#include "core/quiet_mode.h"
#include "notifications/notification_hooks.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostListViewDidLoad;

void replacedListViewDidLoad(id self, SEL _cmd) {
  observeEvent(self, "hide", NSSTR(QUELLINE_EVENT_HIDE));
  observeEvent(self, "unhide", NSSTR(QUELLINE_EVENT_UNHIDE));
  platform::callSlot<void>(hostListViewDidLoad, self, _cmd);
}

// Quiet mode on. Switched on from the toggle, the list vanishes at once;
// otherwise it fades when the user wants the animation. The flag is set as
// the fade starts, so a notification arriving during it is already quiet.
void listHide(id self, SEL) {
  bool toggleOn = readLiveBool(LiveKey::enableTweakToggle);
  if (!Settings.hideNCNotifications) return;
  id view = platform::UIViewController::view(self);
  if (toggleOn || !Settings.hideAnimated)
    platform::UIView::setAlpha(view, 0);
  else
    fadeAlpha(view, false);
  SharedFlags.notificationsHidden = true;
}

// Quiet mode off: the list comes back, whatever hid it, unless quiet hours
// hold quiet mode on. The library's own routes do not ask while they hold;
// the toggle, in its own image, knows nothing of them and still asks.
void listUnhide(id self, SEL) {
  if (quietModeHeldBy(kHeldByQuietHours)) return;
  id view = platform::UIViewController::view(self);
  if (Settings.hideAnimated)
    fadeAlpha(view, true);
  else
    platform::UIView::setAlpha(view, 1);
  SharedFlags.notificationsHidden = false;
}

} // namespace quelline
