// The library's only entry: two initialisers that the loader runs, in this
// order, once, when the library is loaded into the home-screen process.
#include "core/hook_table.h"
#include "core/quiet_hours.h"
#include "notifications/notification_hooks.h"
#include "prefs/events.h"
#include "prefs/settings.h"

namespace {

// Settings first, then the reload subscription. Each reload evaluates quiet
// hours again.
[[gnu::constructor(101)]] void quellineLoadSettings() {
  quelline::loadPrefs();
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                  &quelline::reloadSettings, CFSTR(QUELLINE_RELOAD_PREFS), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
}

// Only once the settings are in place may any replacement run. The banner
// flag's own handlers are class methods that the table adds.
[[gnu::constructor(102)]] void quellineInstallHooks() {
  quelline::installHookTable();
  quelline::observeBannerEvents();
  quelline::observeTimeChanges();
  quelline::evaluateQuietHours();
}

} // namespace
