#include "core/hook_table.h"

#include "core/core_hooks.h"
#include "core/quiet_hours.h"
#include "homescreen/home_screen_hooks.h"
#include "notifications/notification_hooks.h"
#include "platform/message.h"
#include "prefs/flags.h"

namespace quelline {
namespace {

template <auto Routine> IMP routineOf() {
  return platform::asIMP(Routine);
}

constexpr QuellineHookOp R = QuellineHookOp::Replace;

// An added method's row: its type string comes from the routine's signature.
template <auto Routine>
constexpr QuellineHookRow added(const char* className, const char* selector,
                                bool onMetaclass = false) {
  return {className,
          onMetaclass,
          selector,
          QuellineHookOp::Add,
          &routineOf<Routine>,
          nullptr,
          platform::typesOf<Routine>};
}

bool sameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

} // namespace
} // namespace quelline

using namespace quelline;

extern "C" QUELLINE_EXPORT const QuellineHookRow QuellineHookTable[] = {
    {"SpringBoard", false, "applicationDidFinishLaunching:", R,
     &routineOf<&replacedApplicationDidFinishLaunching>, &hostApplicationDidFinishLaunching,
     nullptr},
    {"SBMediaController", false, "setRingerMuted:", R, &routineOf<&replacedSetRingerMuted>,
     &hostSetRingerMuted, nullptr},
    {"NCNotificationCombinedListViewController", false, "viewDidLoad", R,
     &routineOf<&replacedListViewDidLoad>, &hostListViewDidLoad, nullptr},
    added<&listHide>("NCNotificationCombinedListViewController", "hide"),
    added<&listUnhide>("NCNotificationCombinedListViewController", "unhide"),
    {"SBRingerHUDController", true, "activate:", R, &routineOf<&replacedActivate>, &hostActivate,
     nullptr},
    {"NCNotificationShortLookViewController", false,
     "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:", R,
     &routineOf<&replacedShortLookInit>, &hostShortLookInit, nullptr},
    {"NCNotificationShortLookViewController", false, "viewForPreview", R,
     &routineOf<&replacedViewForPreview>, &hostViewForPreview, nullptr},
    added<&shortLookHideBanner>("NCNotificationShortLookViewController", "hideBanner"),
    added<&shortLookUnHideBanner>("NCNotificationShortLookViewController", "unHideBanner"),
    added<&shortLookHideBanner>("NCNotificationShortLookViewController", "hideBanner", true),
    added<&shortLookUnHideBanner>("NCNotificationShortLookViewController", "unHideBanner", true),
    {"NCNotificationSound", false, "initWithNotificationSound:", R,
     &routineOf<&replacedInitWithNotificationSound>, &hostInitWithNotificationSound, nullptr},
    {"SBNCSoundController", false, "playSoundForNotificationRequest:", R,
     &routineOf<&replacedPlaySoundForNotificationRequest>, &hostPlaySoundForNotificationRequest,
     nullptr},
    {"SBAppSwitcherPageView", false, "setOverlay:animated:", R, &routineOf<&replacedSetOverlay>,
     &hostSetOverlay, nullptr},
    {"SBApplication", false, "saveSuspendSnapshot:forSceneHandle:", R,
     &routineOf<&replacedSaveSuspendSnapshot>, &hostSaveSuspendSnapshot, nullptr},
    {"NCNotificationOptions", false, "canTurnOnDisplay", R, &routineOf<&replacedCanTurnOnDisplay>,
     &hostCanTurnOnDisplay, nullptr},
    {"NCNotificationOptions", false, "realertCount", R, &routineOf<&replacedRealertCount>,
     &hostRealertCount, nullptr},
    {"SBHomeScreenView", false, "didMoveToWindow", R, &routineOf<&replacedDidMoveToWindow>,
     &hostDidMoveToWindow, nullptr},
    {"SBHomeScreenView", false, "touchesBegan:withEvent:", R, &routineOf<&replacedTouchesBegan>,
     &hostTouchesBegan, nullptr},
    added<&homeHandleTaps>("SBHomeScreenView", "handleTaps:"),
    added<&homeNumberOfTapsChanged>("SBHomeScreenView", "numberOfTapsChanged"),
    {"SBRootFolderView", false, "layoutDockView", R, &routineOf<&replacedLayoutDockView>,
     &hostLayoutDockView, nullptr},
    {"SBRootFolderView", false, "isPullDownSearchVisible", R,
     &routineOf<&replacedIsPullDownSearchVisible>, &hostIsPullDownSearchVisible, nullptr},
    {"SBRootFolderView", false, "isOnTodayPage", R, &routineOf<&replacedIsOnTodayPage>,
     &hostIsOnTodayPage, nullptr},
    added<&iconsHideIcons>("SBRootFolderView", "hideIcons"),
    added<&iconsTimerEnd>("SBRootFolderView", "timerEnd"),
    added<&iconsMuteHideIcons>("SBRootFolderView", "muteHideIcons"),
    added<&iconsMuteUnhideIcons>("SBRootFolderView", "muteUnhideIcons"),
    added<&iconsCheckTimer>("SBRootFolderView", "checkTimer"),
    added<&quietHoursTimeChanged>("SpringBoard", "quietHoursTimeChanged", true),
};

extern "C" QUELLINE_EXPORT const uint32_t QuellineHookTableSize =
    sizeof(QuellineHookTable) / sizeof(QuellineHookTable[0]);

namespace quelline {

void installHookTable() {
  // Consecutive rows of one class share one lookup.
  const char* lookedUp = nullptr;
  Class cls = nil;
  for (uint32_t i = 0; i < QuellineHookTableSize; ++i) {
    const QuellineHookRow& row = QuellineHookTable[i];
    if (lookedUp == nullptr || !sameName(lookedUp, row.className)) {
      cls = objc_getClass(row.className);
      lookedUp = row.className;
    }
    // A class this home screen lacks, or a method it does not have, is
    // skipped: some hooking libraries stop the process when handed either.
    // The row's slot stays null.
    if (cls == nil) continue;
    Class target = row.onMetaclass ? object_getClass(as_id(cls)) : cls;
    SEL selector = sel_registerName(row.selector);
    if (row.op == QuellineHookOp::Replace) {
      if (class_getInstanceMethod(target, selector) == nullptr) continue;
      MSHookMessageEx(target, selector, row.routine(), row.slot);
    } else {
      class_addMethod(target, selector, row.routine(), row.types);
    }
  }
}

} // namespace quelline
