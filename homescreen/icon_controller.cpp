// The icon visibility controller: the root folder view's alpha shows (1) or
// hides (0) every icon page at once. In timer mode a request shows the
// icons for timerTime seconds; in toggle mode it flips them.
#include "core/fade.h"
#include "homescreen/home_screen_hooks.h"
#include "platform/dispatch.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

namespace quelline {

IMP hostLayoutDockView;
IMP hostIsPullDownSearchVisible;
IMP hostIsOnTodayPage;

namespace {

// The reveal timer is the library's: one reference, given up when replaced.
void dropTimer() {
  platform::NSTimer::invalidate(timer);
  platform::NSObject::release(timer);
  timer = nil;
}

// The two fixed flag tasks, run 0.1 s before a toggle-mode fade completes
// (0.6 s after it began).
void markIconsFaded(void*) {
  SharedFlags.iconsFaded = true;
}
void markIconsShown(void*) {
  SharedFlags.iconsFaded = false;
}

void afterFadeBegan(dispatch_function_t task) {
  dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, nanoseconds(kFadeDuration - 0.1)),
                   dispatch_get_main_queue(), nullptr, task);
}

// A host query answered: recorded, and a false answer asks for the icons
// 0.1 s later. Only in timer mode with icon hiding on; otherwise the host
// is asked once and nothing is recorded.
BOOL recordQuery(IMP host, id self, SEL _cmd, bool& recorded) {
  if (Settings.enableHideIcons && Settings.useTimer) {
    if (platform::callSlot<BOOL>(host, self, _cmd)) {
      recorded = true;
    } else {
      recorded = false;
      platform::NSObject::performSelector_withObject_afterDelay(self, platform::sel<"hideIcons">(),
                                                                nil, 0.1);
    }
  }
  return platform::callSlot<BOOL>(host, self, _cmd);
}

} // namespace

void replacedLayoutDockView(id self, SEL _cmd) {
  observeEvent(self, "hideIcons", NSSTR(QUELLINE_EVENT_HIDE_ICONS));
  observeEvent(self, "muteUnhideIcons", NSSTR(QUELLINE_EVENT_MUTE_UNHIDE_ICONS));
  observeEvent(self, "muteHideIcons", NSSTR(QUELLINE_EVENT_MUTE_HIDE_ICONS));
  observeEvent(self, "checkTimer", NSSTR(QUELLINE_EVENT_PREFS_RELOADED));
  platform::callSlot<void>(hostLayoutDockView, self, _cmd);
}

BOOL replacedIsPullDownSearchVisible(id self, SEL _cmd) {
  return recordQuery(hostIsPullDownSearchVisible, self, _cmd, SharedFlags.pullDownSearchVisible);
}

BOOL replacedIsOnTodayPage(id self, SEL _cmd) {
  return recordQuery(hostIsOnTodayPage, self, _cmd, SharedFlags.onTodayPage);
}

void iconsHideIcons(id self, SEL) {
  if (!Settings.enableHideIcons) return;
  bool useTimer = Settings.useTimer;
  platform::NSTimer::invalidate(timer);

  if (useTimer) {
    // Shown for the full timerTime from this request on.
    fadeAlpha(self, true);
    id next = platform::NSTimer::scheduledTimerWithTimeInterval_target_selector_userInfo_repeats(
        static_cast<double>(Settings.timerTime), self, platform::sel<"timerEnd">(), nil, NO);
    id previous = timer;
    timer = platform::NSObject::retain(next);
    platform::NSObject::release(previous);
    return;
  }

  platform::NSObject::release(timer);
  timer = nil;
  // Flip. The flag changes only 0.6 s later, so the second test still sees
  // the value it had when this request began.
  if (platform::UIView::alpha(self) != 0) {
    fadeAlpha(self, false);
    afterFadeBegan(&markIconsFaded);
  }
  if (SharedFlags.iconsFaded) {
    fadeAlpha(self, true);
    afterFadeBegan(&markIconsShown);
  }
}

// The reveal timer fired: the icons fade out, unless the host last said it
// shows its Today page or its pull-down search.
void iconsTimerEnd(id self, SEL) {
  if (SharedFlags.onTodayPage) return;
  if (SharedFlags.pullDownSearchVisible) return;
  fadeAlpha(self, false);
  dropTimer();
}

void iconsMuteHideIcons(id self, SEL) {
  fadeAlpha(self, false);
}
void iconsMuteUnhideIcons(id self, SEL) {
  fadeAlpha(self, true);
}

// The settings were reloaded: the icons rest as the current mode wants:
// hidden in timer mode, shown otherwise. With icon hiding off nothing would
// ever reveal them, so they rest shown whatever the mode.
void iconsCheckTimer(id self, SEL) {
  dropTimer();
  platform::UIView::setAlpha(self, Settings.enableHideIcons && Settings.useTimer ? 0 : 1);
}

} // namespace quelline
