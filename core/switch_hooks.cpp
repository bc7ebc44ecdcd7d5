// The ring/silent switch, the end of the host's launch, and the ringer
// display.
#include "core/core_hooks.h"
#include "core/fade.h"
#include "core/quiet_mode.h"
#include "platform/dispatch.h"
#include "platform/message.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostApplicationDidFinishLaunching;
IMP hostSetRingerMuted;
IMP hostActivate;

// Once the host has launched, a toggle left on in the file turns itself
// back on, and quiet hours that hold since the load hide what has loaded.
void replacedApplicationDidFinishLaunching(id self, SEL _cmd, id application) {
  platform::callSlot<void>(hostApplicationDidFinishLaunching, self, _cmd, application);
  if (readLiveBool(LiveKey::enableTweakToggle)) postEvent(NSSTR(QUELLINE_EVENT_CHECK_STATE));
  if (quietModeHeldBy(kHeldByQuietHours)) postEvent(NSSTR(QUELLINE_EVENT_HIDE));
}

// Silent switches quiet mode on; ring switches it off unless the Control
// Center toggle or quiet hours hold it on (the icons follow the switch
// whatever holds quiet mode). Every handler has run before the host mutes.
void replacedSetRingerMuted(id self, SEL _cmd, BOOL muted) {
  bool toggleOn = quietModeHeldBy(kHeldByToggle);
  SharedFlags.ringerMuted = muted;
  if (Settings.enableMuteSwitch && muted) {
    postEvent(NSSTR(QUELLINE_EVENT_HIDE));
    if (Settings.hideIconsWithSwitch) {
      postEvent(NSSTR(QUELLINE_EVENT_MUTE_HIDE_ICONS));
      SharedFlags.iconsHiddenBySwitch = true;
    }
  } else if (Settings.enableMuteSwitch && !toggleOn) {
    if (!quietModeHeldBy(kHeldByQuietHours)) postEvent(NSSTR(QUELLINE_EVENT_UNHIDE));
    if (Settings.hideIconsWithSwitch) {
      postEvent(NSSTR(QUELLINE_EVENT_MUTE_UNHIDE_ICONS));
      SharedFlags.iconsHiddenBySwitch = false;
    }
  }
  platform::callSlot<void>(hostSetRingerMuted, self, _cmd, muted);
}

namespace {

// What one deferred ringer display captured, by value.
struct DeferredActivate {
  id receiver;
  SEL selector;
  int argument;
};

void runDeferredActivate(void* context) {
  id box = static_cast<id>(context);
  auto* call = static_cast<DeferredActivate*>(object_getIndexedIvars(box));
  platform::callSlot<void>(hostActivate, call->receiver, call->selector, call->argument);
  objc_release(box);
}

} // namespace

// The ringer display shows late: after the list's 0.7 s fade when the fade
// runs, else after 0.1 s. Every request gets its own deferred call.
void replacedActivate(id self, SEL _cmd, int argument) {
  int64_t delay = Settings.hideAnimated && Settings.enableMuteSwitch ? nanoseconds(kFadeDuration)
                                                                     : nanoseconds(0.1);
  id box = class_createInstance(platform::cls<"NSObject">(), sizeof(DeferredActivate));
  *static_cast<DeferredActivate*>(object_getIndexedIvars(box)) = {self, _cmd, argument};
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, delay), dispatch_get_main_queue(), box,
                   &runDeferredActivate);
}

} // namespace quelline
