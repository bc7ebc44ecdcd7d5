// Notification sounds, display wake-ups and re-alerts.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostInitWithNotificationSound;
IMP hostPlaySoundForNotificationRequest;
IMP hostCanTurnOnDisplay;
IMP hostRealertCount;

id replacedInitWithNotificationSound(id self, SEL _cmd, id sound) {
  return platform::callSlot<id>(hostInitWithNotificationSound, self, _cmd, sound);
}

void replacedPlaySoundForNotificationRequest(id self, SEL _cmd, id request) {
  platform::callSlot<void>(hostPlaySoundForNotificationRequest, self, _cmd, request);
}

BOOL replacedCanTurnOnDisplay(id self, SEL _cmd) {
  return platform::callSlot<BOOL>(hostCanTurnOnDisplay, self, _cmd);
}

unsigned long long replacedRealertCount(id self, SEL _cmd) {
  return platform::callSlot<unsigned long long>(hostRealertCount, self, _cmd);
}

} // namespace quelline
