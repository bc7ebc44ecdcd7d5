// The ring/silent switch, the end of the host's launch, and the ringer
// display.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostApplicationDidFinishLaunching;
IMP hostSetRingerMuted;
IMP hostActivate;

void replacedApplicationDidFinishLaunching(id self, SEL _cmd, id application) {
  platform::callSlot<void>(hostApplicationDidFinishLaunching, self, _cmd, application);
}

void replacedSetRingerMuted(id self, SEL _cmd, BOOL muted) {
  platform::callSlot<void>(hostSetRingerMuted, self, _cmd, muted);
}

void replacedActivate(id self, SEL _cmd, int argument) {
  platform::callSlot<void>(hostActivate, self, _cmd, argument);
}

} // namespace quelline
