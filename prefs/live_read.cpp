#include "prefs/live_read.h"

#include "prefs/events.h"
#include "prefs/time_of_day.h"

namespace quelline {
namespace {

id valueOf(id source, id key) {
  return source == nil ? nil : platform::NSDictionary::objectForKey(source, key);
}

bool converts(id value, const char* selector) {
  return platform::NSObject::respondsToSelector(value, platform::sel(selector));
}

} // namespace

bool settingBool(id source, id key, bool fallback) {
  id value = valueOf(source, key);
  if (value == nil || !converts(value, "boolValue")) return fallback;
  return platform::NSNumber::boolValue(value);
}

int32_t settingInt32(id source, id key, int32_t fallback) {
  id value = valueOf(source, key);
  if (value == nil || !converts(value, "integerValue")) return fallback;
  long wide = platform::NSNumber::integerValue(value);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(wide)));
}

int32_t settingMinutes(id source, id key, int32_t fallback) {
  id value = valueOf(source, key);
  if (value != nil && converts(value, "UTF8String")) {
    int32_t clock = parseClockTime(platform::NSString::UTF8String(value));
    if (clock >= 0) return clock;
  }
  return settingInt32(source, key, fallback);
}

id readPreferenceFile() {
  return platform::NSMutableDictionary::dictionaryWithContentsOfFile(NSSTR(QUELLINE_PREFS_PATH));
}

id nameOf(LiveKey key) {
  switch (key) {
#define QUELLINE_LIVE_KEY_NAME(name, type, fallback, minimum, maximum, reading, pane, label, text) \
  QUELLINE_IF_LIVE(reading, case LiveKey::name : return NSSTR(#name);)
    QUELLINE_SETTINGS(QUELLINE_LIVE_KEY_NAME)
#undef QUELLINE_LIVE_KEY_NAME
  }
  return nil;
}

bool readLiveBool(LiveKey key) {
  return settingBool(readPreferenceFile(), nameOf(key), false);
}

} // namespace quelline
