// Tap to reveal: taps and touches on the home-screen view ask for the icons.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostDidMoveToWindow;
IMP hostTouchesBegan;

void replacedDidMoveToWindow(id self, SEL _cmd) {
  platform::callSlot<void>(hostDidMoveToWindow, self, _cmd);
}

void replacedTouchesBegan(id self, SEL _cmd, id touches, id event) {
  platform::callSlot<void>(hostTouchesBegan, self, _cmd, touches, event);
}

void homeHandleTaps(id, SEL, id) {}
void homeNumberOfTapsChanged(id, SEL) {}

} // namespace quelline
