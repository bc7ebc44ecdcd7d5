#include "core/hook_table.h"

#include "core/core_hooks.h"
#include "core/quiet_hours.h"
#include "core/toggle_period.h"
#include "homescreen/home_screen_hooks.h"
#include "notifications/notification_hooks.h"
#include "platform/corefoundation.h"
#include "platform/message.h"
#include "prefs/flags.h"

namespace quelline {
namespace {

template <auto Routine> IMP routineOf() {
  return platform::asIMP(Routine);
}

// A replacement's row: the host's implementation goes to `slot`.
template <auto Routine>
constexpr QuellineHookRow replaced(uint8_t targets, const char* className, const char* selector,
                                   IMP* slot, bool onMetaclass = false) {
  return {className, onMetaclass,         selector, QuellineHookOp::Replace,
          targets,   &routineOf<Routine>, slot,     nullptr};
}

// An added method's row: its type string comes from the routine's signature.
template <auto Routine>
constexpr QuellineHookRow added(uint8_t targets, const char* className, const char* selector,
                                bool onMetaclass = false) {
  return {className, onMetaclass,         selector, QuellineHookOp::Add,
          targets,   &routineOf<Routine>, nullptr,  platform::typesOf<Routine>};
}

// CoreFoundation's version number of the first release of each generation
// (host/darwin/stubs/versions.txt, "Choosing the target").
constexpr double kCoreFoundationIOS11 = 1443.00;
constexpr double kCoreFoundationIOS13 = 1665.15;
constexpr double kCoreFoundationIOS15 = 1854.0;

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

// Each row names the home screens it applies to; where a class or a
// selector changed, one row for each, side by side. Where each class and
// selector comes from: host/darwin/stubs/versions.txt, "Home-screen classes".
extern "C" QUELLINE_EXPORT const QuellineHookRow QuellineHookTable[] = {
    replaced<&replacedApplicationDidFinishLaunching>(
        kHookTargetAll, "SpringBoard",
        "applicationDidFinishLaunching:", &hostApplicationDidFinishLaunching),
    // The ring/silent switch: the media controller's until iOS 12, the ringer
    // control's from iOS 15.
    replaced<&replacedSetRingerMuted>(kHookTargetIOS11, "SBMediaController",
                                      "setRingerMuted:", &hostSetRingerMuted),
    replaced<&replacedSetRingerMuted>(kHookTargetIOS15, "SBRingerControl",
                                      "setRingerMuted:", &hostSetRingerMuted),
    // The notification list: the combined list until iOS 12, the structured
    // list from iOS 15, with the same view controller life.
    replaced<&replacedListViewDidLoad>(kHookTargetIOS11, "NCNotificationCombinedListViewController",
                                       "viewDidLoad", &hostListViewDidLoad),
    added<&listHide>(kHookTargetIOS11, "NCNotificationCombinedListViewController", "hide"),
    added<&listUnhide>(kHookTargetIOS11, "NCNotificationCombinedListViewController", "unhide"),
    replaced<&replacedListViewDidLoad>(kHookTargetIOS15,
                                       "NCNotificationStructuredListViewController", "viewDidLoad",
                                       &hostListViewDidLoad),
    added<&listHide>(kHookTargetIOS15, "NCNotificationStructuredListViewController", "hide"),
    added<&listUnhide>(kHookTargetIOS15, "NCNotificationStructuredListViewController", "unhide"),
    // The ringer display: a class method of the display's controller until
    // iOS 12, the ringer control's own method from iOS 15; both take the
    // switch's position as an int.
    replaced<&replacedActivate>(kHookTargetIOS11, "SBRingerHUDController",
                                "activate:", &hostActivate, true),
    replaced<&replacedActivate>(kHookTargetIOS15, "SBRingerControl",
                                "activateRingerHUDFromMuteSwitch:", &hostActivate),
    replaced<&replacedShortLookInit>(
        kHookTargetAll, "NCNotificationShortLookViewController",
        "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:",
        &hostShortLookInit),
    replaced<&replacedViewForPreview>(kHookTargetAll, "NCNotificationShortLookViewController",
                                      "viewForPreview", &hostViewForPreview),
    added<&shortLookHideBanner>(kHookTargetAll, "NCNotificationShortLookViewController",
                                "hideBanner"),
    added<&shortLookUnHideBanner>(kHookTargetAll, "NCNotificationShortLookViewController",
                                  "unHideBanner"),
    added<&shortLookHideBanner>(kHookTargetAll, "NCNotificationShortLookViewController",
                                "hideBanner", true),
    added<&shortLookUnHideBanner>(kHookTargetAll, "NCNotificationShortLookViewController",
                                  "unHideBanner", true),
    replaced<&replacedInitWithNotificationSound>(
        kHookTargetAll, "NCNotificationSound",
        "initWithNotificationSound:", &hostInitWithNotificationSound),
    // From iOS 15 the sound controller is also told where the notification
    // is presented; the replacement hands it on as it came.
    replaced<&replacedPlaySoundForNotificationRequest>(
        kHookTargetIOS11, "SBNCSoundController",
        "playSoundForNotificationRequest:", &hostPlaySoundForNotificationRequest),
    replaced<&replacedPlaySoundForNotificationRequestPresenting>(
        kHookTargetIOS15, "SBNCSoundController",
        "playSoundForNotificationRequest:presentingDestination:",
        &hostPlaySoundForNotificationRequest),
    // From iOS 15 the page's overlay is a plain property, set without an
    // animation flag. The rule never read the flag: an overlay set is an app
    // in front, animated or not.
    replaced<&replacedSetOverlay>(kHookTargetIOS11, "SBAppSwitcherPageView",
                                  "setOverlay:animated:", &hostSetOverlay),
    replaced<&replacedSetOverlayProperty>(kHookTargetIOS15, "SBAppSwitcherPageView",
                                          "setOverlay:", &hostSetOverlay),
    replaced<&replacedSaveSuspendSnapshot>(
        kHookTargetAll, "SBApplication",
        "saveSuspendSnapshot:forSceneHandle:", &hostSaveSuspendSnapshot),
    replaced<&replacedCanTurnOnDisplay>(kHookTargetAll, "NCNotificationOptions", "canTurnOnDisplay",
                                        &hostCanTurnOnDisplay),
    replaced<&replacedRealertCount>(kHookTargetAll, "NCNotificationOptions", "realertCount",
                                    &hostRealertCount),
    replaced<&replacedDidMoveToWindow>(kHookTargetAll, "SBHomeScreenView", "didMoveToWindow",
                                       &hostDidMoveToWindow),
    replaced<&replacedTouchesBegan>(kHookTargetAll, "SBHomeScreenView",
                                    "touchesBegan:withEvent:", &hostTouchesBegan),
    added<&homeHandleTaps>(kHookTargetAll, "SBHomeScreenView", "handleTaps:"),
    added<&homeNumberOfTapsChanged>(kHookTargetAll, "SBHomeScreenView", "numberOfTapsChanged"),
    // The root folder: the dock's layout takes the folder's metrics from
    // iOS 15 (handed on as they came), the search pulled down is the
    // controller's to tell, and the today page became the leading custom page.
    replaced<&replacedLayoutDockView>(kHookTargetIOS11, "SBRootFolderView", "layoutDockView",
                                      &hostLayoutDockView),
    replaced<&replacedLayoutDockViewWithMetrics>(kHookTargetIOS15, "SBRootFolderView",
                                                 "layoutDockViewWithMetrics:", &hostLayoutDockView),
    replaced<&replacedIsPullDownSearchVisible>(kHookTargetIOS11, "SBRootFolderView",
                                               "isPullDownSearchVisible",
                                               &hostIsPullDownSearchVisible),
    replaced<&replacedIsOnTodayPage>(kHookTargetIOS11, "SBRootFolderView", "isOnTodayPage",
                                     &hostIsOnTodayPage),
    replaced<&replacedIsOnTodayPage>(kHookTargetIOS15, "SBRootFolderView", "isOnLeadingCustomPage",
                                     &hostIsOnTodayPage),
    added<&iconsHideIcons>(kHookTargetAll, "SBRootFolderView", "hideIcons"),
    added<&iconsTimerEnd>(kHookTargetAll, "SBRootFolderView", "timerEnd"),
    added<&iconsMuteHideIcons>(kHookTargetAll, "SBRootFolderView", "muteHideIcons"),
    added<&iconsMuteUnhideIcons>(kHookTargetAll, "SBRootFolderView", "muteUnhideIcons"),
    added<&iconsCheckTimer>(kHookTargetAll, "SBRootFolderView", "checkTimer"),
    replaced<&replacedControllerIsPullDownSearchVisible>(kHookTargetIOS15, "SBRootFolderController",
                                                         "isPullDownSearchVisible",
                                                         &hostIsPullDownSearchVisible),
    added<&quietHoursTimeChanged>(kHookTargetAll, "SpringBoard", "quietHoursTimeChanged", true),
    added<&togglePeriodChanged>(kHookTargetAll, "SpringBoard", "togglePeriodChanged", true),
};

extern "C" QUELLINE_EXPORT const uint32_t QuellineHookTableSize =
    sizeof(QuellineHookTable) / sizeof(QuellineHookTable[0]);

extern "C" {
QUELLINE_EXPORT uint8_t QuellineHookTableTarget = 0;
}

namespace quelline {

// iOS 13 and 14 are neither: their home screen is of neither generation,
// and no package is made for them.
uint8_t runningHookTarget() {
  const double version = kCFCoreFoundationVersionNumber;
  if (version >= kCoreFoundationIOS15) return kHookTargetIOS15;
  if (version >= kCoreFoundationIOS11 && version < kCoreFoundationIOS13) return kHookTargetIOS11;
  return 0;
}

void installHookTable() {
  QuellineHookTableTarget = runningHookTarget();
  // Consecutive rows of one class share one lookup.
  const char* lookedUp = nullptr;
  Class cls = nil;
  for (uint32_t i = 0; i < QuellineHookTableSize; ++i) {
    const QuellineHookRow& row = QuellineHookTable[i];
    if ((row.targets & QuellineHookTableTarget) == 0) continue;
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
