// Every routine that the hook table installs, and the host-implementation
// slots of the replacements (written once, at installation, by the hooking
// service; null until then).
#pragma once

#include "platform/corefoundation.h"

namespace quelline {

// Ring/silent switch, launch, ringer display.
extern IMP hostApplicationDidFinishLaunching;
extern IMP hostSetRingerMuted;
extern IMP hostActivate;
void replacedApplicationDidFinishLaunching(id self, SEL _cmd, id application);
void replacedSetRingerMuted(id self, SEL _cmd, BOOL muted);
void replacedActivate(id self, SEL _cmd, int argument);

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

// Quiet hours: evaluated at load, at every reload (reloadSettings, the
// cross-process notification's callback), when the clock or the zone
// changes (the class method that the table adds to SpringBoard, registered
// at load by observeTimeChanges) and at each boundary.
void evaluateQuietHours();
void reloadSettings(CFNotificationCenterRef center, void* observer, CFNotificationName name,
                    const void* object, CFDictionaryRef userInfo);
void observeTimeChanges();
void quietHoursTimeChanged(id self, SEL _cmd);

// Per-app rules.
extern IMP hostSetOverlay;
extern IMP hostSaveSuspendSnapshot;
void replacedSetOverlay(id self, SEL _cmd, id overlay, BOOL animated);
void replacedSaveSuspendSnapshot(id self, SEL _cmd, id snapshot, id sceneHandle);
// Whether the switch (on silent, with enableMuteSwitch), the toggle or an
// app of the silent list in front holds quiet mode on.
bool quietModeHeldOutsideQuietHours();

// Tap to reveal, on the home-screen view.
extern IMP hostDidMoveToWindow;
extern IMP hostTouchesBegan;
void replacedDidMoveToWindow(id self, SEL _cmd);
void replacedTouchesBegan(id self, SEL _cmd, id touches, id event);
void homeHandleTaps(id self, SEL _cmd, id recognizer);
void homeNumberOfTapsChanged(id self, SEL _cmd);

// Icon visibility, on the root folder view.
extern IMP hostLayoutDockView;
extern IMP hostIsPullDownSearchVisible;
extern IMP hostIsOnTodayPage;
void replacedLayoutDockView(id self, SEL _cmd);
BOOL replacedIsPullDownSearchVisible(id self, SEL _cmd);
BOOL replacedIsOnTodayPage(id self, SEL _cmd);
void iconsHideIcons(id self, SEL _cmd);
void iconsTimerEnd(id self, SEL _cmd);
void iconsMuteHideIcons(id self, SEL _cmd);
void iconsMuteUnhideIcons(id self, SEL _cmd);
void iconsCheckTimer(id self, SEL _cmd);

} // namespace quelline
