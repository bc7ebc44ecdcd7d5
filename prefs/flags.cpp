#include "prefs/flags.h"

QUELLINE_EXPORT QuellineSharedFlags SharedFlags;
QUELLINE_EXPORT id tapRecognizer;
QUELLINE_EXPORT id timer;
QUELLINE_EXPORT int64_t quietHoursBoundary;
QUELLINE_EXPORT int64_t togglePeriodEnd;
