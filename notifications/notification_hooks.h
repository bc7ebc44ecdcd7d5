// The routines of notifications/ that the hook table installs, with the
// host-implementation slots of the replacements (written once, at
// installation, by the hooking service; null until then).
#pragma once

#include "platform/objc.h"

namespace quelline {

// Notification list.
extern IMP hostListViewDidLoad;
void replacedListViewDidLoad(id self, SEL _cmd);
void listHide(id self, SEL _cmd);
void listUnhide(id self, SEL _cmd);

// Banners.
extern IMP hostShortLookInit;
extern IMP hostViewForPreview;
id replacedShortLookInit(id self, SEL _cmd, id request, BOOL reveal);
id replacedViewForPreview(id self, SEL _cmd);
void shortLookHideBanner(id self, SEL _cmd);
void shortLookUnHideBanner(id self, SEL _cmd);
// The class's own registration for both events, made at load.
void observeBannerEvents();

// Sounds, wake-ups, re-alerts.
extern IMP hostInitWithNotificationSound;
extern IMP hostPlaySoundForNotificationRequest;
extern IMP hostCanTurnOnDisplay;
extern IMP hostRealertCount;
id replacedInitWithNotificationSound(id self, SEL _cmd, id sound);
void replacedPlaySoundForNotificationRequest(id self, SEL _cmd, id request);
BOOL replacedCanTurnOnDisplay(id self, SEL _cmd);
unsigned long long replacedRealertCount(id self, SEL _cmd);

// Per-app rules.
extern IMP hostSetOverlay;
extern IMP hostSaveSuspendSnapshot;
void replacedSetOverlay(id self, SEL _cmd, id overlay, BOOL animated);
void replacedSaveSuspendSnapshot(id self, SEL _cmd, id snapshot, id sceneHandle);

} // namespace quelline
