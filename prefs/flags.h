// Process-wide flags, all false when the library loads. Exported with C
// linkage so that the simulator can read them.
#pragma once

#include "platform/objc.h"

// What the library shows the loader; everything else stays inside it.
#define QUELLINE_EXPORT __attribute__((visibility("default")))

struct QuellineSharedFlags {
  bool notificationsHidden;    // the list is hidden by quiet mode
  bool iconsHiddenBySwitch;    // the ring/silent switch hid the icons
  bool bannersHidden;          // a banner app is in front
  bool toggleHasControlCached; // the toggle governed the icons at the last tap
  bool pullDownSearchVisible;  // the host's last recorded answer
  bool onTodayPage;            // the host's last recorded answer
  bool iconsFaded;             // a toggle-mode fade-out has run its 0.6 s
  bool ringerMuted;            // the ringer, as setRingerMuted: last said
  bool quietHoursHold;         // quiet hours hold quiet mode on
};

extern "C" {
extern QuellineSharedFlags SharedFlags;
// The tap recognizer installed last, and the running reveal timer: one
// retained object each, released when replaced.
extern id tapRecognizer;
extern id timer;
// The wall-clock second (since the epoch) of the next start or end of quiet
// hours that a timer waits for; 0 when none.
extern int64_t quietHoursBoundary;
// The wall-clock second (since the epoch) at which the toggle's period
// ends, that a timer waits for; 0 when no period runs.
extern int64_t togglePeriodEnd;
}
