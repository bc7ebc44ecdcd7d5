// The icon visibility controller: the root folder view's alpha.
#include "core/hooks.h"
#include "platform/message.h"

namespace quelline {

IMP hostLayoutDockView;
IMP hostIsPullDownSearchVisible;
IMP hostIsOnTodayPage;

void replacedLayoutDockView(id self, SEL _cmd) {
  platform::callSlot<void>(hostLayoutDockView, self, _cmd);
}

BOOL replacedIsPullDownSearchVisible(id self, SEL _cmd) {
  return platform::callSlot<BOOL>(hostIsPullDownSearchVisible, self, _cmd);
}

BOOL replacedIsOnTodayPage(id self, SEL _cmd) {
  return platform::callSlot<BOOL>(hostIsOnTodayPage, self, _cmd);
}

void iconsHideIcons(id, SEL) {}
void iconsTimerEnd(id, SEL) {}
void iconsMuteHideIcons(id, SEL) {}
void iconsMuteUnhideIcons(id, SEL) {}
void iconsCheckTimer(id, SEL) {}

} // namespace quelline
