// Per-app rules: apps on the user's lists switch quiet mode or banner
// hiding on while they are in front.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostSetOverlay;
IMP hostSaveSuspendSnapshot;

void replacedSetOverlay(id self, SEL _cmd, id overlay, BOOL animated) {
  platform::callSlot<void>(hostSetOverlay, self, _cmd, overlay, animated);
}

void replacedSaveSuspendSnapshot(id self, SEL _cmd, id snapshot, id sceneHandle) {
  platform::callSlot<void>(hostSaveSuspendSnapshot, self, _cmd, snapshot, sceneHandle);
}

} // namespace quelline
