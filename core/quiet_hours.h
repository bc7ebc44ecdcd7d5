// Quiet hours: evaluated at load, at every reload (reloadSettings, the
// cross-process notification's callback), when the clock or the zone
// changes (the class method that the table adds to SpringBoard, registered
// at load by observeTimeChanges) and at each boundary.
#pragma once

#include "platform/corefoundation.h"

namespace quelline {

void evaluateQuietHours();
void reloadSettings(CFNotificationCenterRef center, void* observer, CFNotificationName name,
                    const void* object, CFDictionaryRef userInfo);
void observeTimeChanges();
void quietHoursTimeChanged(id self, SEL _cmd);

} // namespace quelline
