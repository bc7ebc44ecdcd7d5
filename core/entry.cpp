// The library's only entry: two initialisers that the loader runs, in this
// order, once, when the library is loaded into the home-screen process.
#include "core/hook_table.h"
#include "prefs/events.h"
#include "prefs/settings.h"

namespace {

// Settings first, then the reload subscription.
[[gnu::constructor(101)]] void quellineLoadSettings() {
  quelline::loadPrefs();
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                  &quelline::loadPrefs, CFSTR(QUELLINE_RELOAD_PREFS), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
}

// Only once the settings are in place may any replacement run.
[[gnu::constructor(102)]] void quellineInstallHooks() {
  quelline::installHookTable();
}

} // namespace
