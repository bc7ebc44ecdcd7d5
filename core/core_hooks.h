// The routines of core/ that the hook table installs: the end of the
// host's launch, the ring/silent switch and the ringer display, with the
// host-implementation slots of the replacements (written once, at
// installation, by the hooking service; null until then).
#pragma once

#include "platform/objc.h"

namespace quelline {

extern IMP hostApplicationDidFinishLaunching;
extern IMP hostSetRingerMuted;
extern IMP hostActivate;
void replacedApplicationDidFinishLaunching(id self, SEL _cmd, id application);
void replacedSetRingerMuted(id self, SEL _cmd, BOOL muted);
void replacedActivate(id self, SEL _cmd, int argument);

} // namespace quelline
