// Tap to reveal: a tap gesture of numberOfTaps taps, and in timer mode any
// touch, on the home-screen view asks for the icons.
#include "homescreen/home_screen_hooks.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostDidMoveToWindow;
IMP hostTouchesBegan;

namespace {

// A new recognizer for the current tap count becomes the library's; the
// view holds its own reference, so a recognizer lives until it is both
// removed from the view and no longer the library's.
void installTapRecognizer(id view) {
  using namespace platform;
  id recognizer = UITapGestureRecognizer::initWithTarget_action(view, sel("handleTaps:"));
  id previous = tapRecognizer;
  tapRecognizer = recognizer;
  NSObject::release(previous);
  // The signed setting widened with its sign: -1 asks for the largest count.
  UITapGestureRecognizer::setNumberOfTapsRequired(
      recognizer, static_cast<NSUInteger>(static_cast<long>(Settings.numberOfTaps)));
  UIView::addGestureRecognizer(view, recognizer);
}

} // namespace

void replacedDidMoveToWindow(id self, SEL _cmd) {
  installTapRecognizer(self);
  observeEvent(self, "numberOfTapsChanged", NSSTR(QUELLINE_EVENT_PREFS_RELOADED));
  platform::callSlot<void>(hostDidMoveToWindow, self, _cmd);
}

// In timer mode every touch asks for the icons before the host sees it.
void replacedTouchesBegan(id self, SEL _cmd, id touches, id event) {
  if (Settings.useTimer && Settings.touchToReveal) postEvent(NSSTR(QUELLINE_EVENT_HIDE_ICONS));
  platform::callSlot<void>(hostTouchesBegan, self, _cmd, touches, event);
}

// Taps ask for the icons unless the toggle or the switch governs them.
void homeHandleTaps(id, SEL, id) {
  SharedFlags.toggleHasControlCached = readLiveBool(LiveKey::toggleHasControl);
  if (Settings.enableHideIcons && !SharedFlags.toggleHasControlCached &&
      !SharedFlags.iconsHiddenBySwitch)
    postEvent(NSSTR(QUELLINE_EVENT_HIDE_ICONS));
}

// The settings were reloaded: a recognizer for the current tap count
// replaces the library's.
void homeNumberOfTapsChanged(id self, SEL) {
  platform::UIView::removeGestureRecognizer(self, tapRecognizer);
  installTapRecognizer(self);
}

} // namespace quelline
