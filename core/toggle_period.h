// The end of the toggle's period, kept by the library: the toggle's bundle
// loads only when Control Center is first opened, and the library, loaded
// with the home screen, is there whenever the end comes.
#pragma once

#include "platform/objc.h"

namespace quelline {

// Reads the stored end again (at load, at every reload, when the toggle
// says it wrote a new one) and waits for it with one wall-clock timer on
// the main queue, replacing the one before; an end already past turns the
// toggle off at once.
void followTogglePeriod();
// The class's own registration for the toggle's event, made at load.
void observeTogglePeriod();
// SpringBoard's class method that the event reaches.
void togglePeriodChanged(id self, SEL _cmd);

} // namespace quelline
