// The routines of homescreen/ that the hook table installs, with the
// host-implementation slots of the replacements (written once, at
// installation, by the hooking service; null until then).
#pragma once

#include "platform/objc.h"

namespace quelline {

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
