// While quiet mode hides the list: notification sounds are created without
// their sound, a short haptic tap (or system sound) stands in for them, and
// notifications neither turn the display on nor alert again.
#include "notifications/notification_hooks.h"
#include "platform/audiotoolbox.h"
#include "platform/uikit.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostInitWithNotificationSound;
IMP hostPlaySoundForNotificationRequest;
IMP hostCanTurnOnDisplay;
IMP hostRealertCount;

namespace {

// The feedback the device can give, asked anew for every notification:
// 2 haptics, 1 a system tap sound, 0 the model decides, anything else none.
void substituteFeedback() {
  using namespace platform;
  id device = UIDevice::currentDevice();
  int level = NSNumber::intValue(NSObject::valueForKey(device, NSSTR("_feedbackSupportLevel")));
  if (level == 2) {
    id generator = UINotificationFeedbackGenerator::new_();
    UINotificationFeedbackGenerator::prepare(generator);
    UINotificationFeedbackGenerator::notificationOccurred(generator,
                                                          UINotificationFeedbackTypeSuccess);
    NSObject::release(generator);
  } else if (level == 1) {
    AudioServicesPlaySystemSound(1102);
  } else if (level == 0) {
    if (NSString::isEqualToString(UIDevice::model(device), NSSTR("iPhone")))
      AudioServicesPlaySystemSound(1352);
    else
      AudioServicesPlayAlertSound(1100);
  }
}

} // namespace

// Decided when the sound object is made, not when it plays.
id replacedInitWithNotificationSound(id self, SEL _cmd, id sound) {
  bool silence = Settings.disableSound && SharedFlags.notificationsHidden;
  return platform::callSlot<id>(hostInitWithNotificationSound, self, _cmd, silence ? nil : sound);
}

void replacedPlaySoundForNotificationRequest(id self, SEL _cmd, id request) {
  if (Settings.haptic && SharedFlags.notificationsHidden && Settings.disableSound)
    substituteFeedback();
  platform::callSlot<void>(hostPlaySoundForNotificationRequest, self, _cmd, request);
}

BOOL replacedCanTurnOnDisplay(id self, SEL _cmd) {
  if (SharedFlags.notificationsHidden) return NO;
  return platform::callSlot<BOOL>(hostCanTurnOnDisplay, self, _cmd);
}

unsigned long long replacedRealertCount(id self, SEL _cmd) {
  if (SharedFlags.notificationsHidden) return 0;
  return platform::callSlot<unsigned long long>(hostRealertCount, self, _cmd);
}

} // namespace quelline
