// Reading settings values: the conversions that every reader shares, and
// the live read of a key straight from the preference file.
#pragma once

#include "platform/foundation.h"
#include "prefs/domain.h"

#include <stdint.h>

namespace quelline {

// A stored value as a boolean, or as a signed 32-bit integer (its low 32
// bits). A value that has no such conversion (an array, a dictionary, data,
// a date) counts as absent: `fallback` is used, as for a missing key.
bool settingBool(id source, id key, bool fallback);
int32_t settingInt32(id source, id key, int32_t fallback);
// A clock time is stored as an Int32; a string "HH:MM" (typed in a file
// manager) is that time, any other string converts as for an Int32.
int32_t settingMinutes(id source, id key, int32_t fallback);

// The whole preference file, read now (nil when missing or unreadable).
id readPreferenceFile();

// The keys read live (domain.h), by their names there.
enum class LiveKey : uint8_t {
#define QUELLINE_LIVE_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)      \
  QUELLINE_IF_LIVE(reading, name, )
  QUELLINE_SETTINGS(QUELLINE_LIVE_KEY)
#undef QUELLINE_LIVE_KEY
};

// The name of a live key, as the preference file holds it.
id nameOf(LiveKey key);

// The boolean under `key` in the preference file, read now; false when the
// file or the key is missing.
bool readLiveBool(LiveKey key);

} // namespace quelline
