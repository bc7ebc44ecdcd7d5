// The preference domain as the editor sees it (described once, in
// prefs/domain.h): Quelline's keys with their types and defaults, the files
// of the app lists, and the text a person types for a value.
#pragma once

#include "host/files/preference_file.h"
#include "host/files/preference_value.h"
#include "prefs/domain.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quelline::prefs {

inline constexpr std::string_view kDomain = QUELLINE_DOMAIN;
inline constexpr std::string_view kPreferencesPath = QUELLINE_PREFS_PATH;
// Posted after every change, to every process of the device root.
inline constexpr std::string_view kReloadNotification = QUELLINE_RELOAD_PREFS;

enum class KeyType { Boolean, Integer };

struct KeyInfo {
  std::string_view name;
  KeyType type;
  int32_t fallback; // the default: 0 or 1 for a boolean
  // Read straight from the file whenever it is used (the toggle's state),
  // not through the settings that a reload refreshes.
  bool live;
  std::string_view description; // one line, for people
  // What the editor accepts (0 and 1 for a boolean).
  int32_t minimum;
  int32_t maximum;
  // A span of minutes, also typed as hours and minutes ("1h30m").
  bool span = false;
  // A time of day (an integer key): typed as "HH:MM" or its minutes.
  bool time = false;
};

// Every key of the domain, in the order `list` shows them.
std::span<const KeyInfo> keys();

// The key named `name`, or null.
const KeyInfo* findKey(std::string_view name);

// "hideAnimated, enableMuteSwitch, …": for messages.
std::string knownKeyNames();

// The known key nearest to `name`, a mistyped one ("quiethours",
// "quietHour"), or nullopt when none is near.
std::optional<std::string_view> nearestKey(std::string_view name);

// What to tell someone who gave the unknown key `name`: "did you mean
// quietHours? `quelline-prefs keys` lists the keys and what each takes".
std::string unknownKeyHint(std::string_view name);

std::string_view typeName(KeyType type);

// "timerTime 1 to 3600, numberOfTaps 1 to 10": the range each integer key
// takes, for help texts.
std::string integerRanges();

// A boolean as typed: true/false, yes/no, 1/0 (any case).
std::optional<bool> parseBoolean(std::string_view text);
// An integer as typed, in the signed 32-bit range: decimal digits with an
// optional sign, nothing else.
std::optional<int32_t> parseInteger(std::string_view text);

// A span of minutes as typed: "90", or hours and minutes such as "1h30m",
// "2h" or "45m"; nullopt for anything else or beyond the signed 32-bit range.
std::optional<int32_t> parseSpan(std::string_view text);

// What `set KEY TEXT` stores, or nullopt when TEXT is no value of the key's
// type; `expected` then says what the key takes.
std::optional<prefsfile::Value> parseValue(const KeyInfo& key, std::string_view text,
                                           std::string& expected);

// Why TEXT is refused for `key`, after parseValue gave `expected`:
// "\"0\" is refused; timerTime takes an integer from 1 to 3600". The
// editor and the live phone's settings panel say the same.
std::string refusedValue(const KeyInfo& key, std::string_view text, const std::string& expected);

// Why `key` may not take `value` in this file although the value is its
// type's (domain.h's pairs of keys that may not be equal, times compared
// as times of day): "quietHoursStart 420 equals quietHoursEnd; quiet hours
// need a start and an end that differ"; nullopt when it may.
std::optional<std::string> clashWithPartner(const KeyInfo& key, const prefsfile::Value& value,
                                            const prefsfile::PreferenceFile& file);

// The default as a value of the key's type.
prefsfile::Value defaultValue(const KeyInfo& key);

// What `key` comes to for the home screen with this file: the stored value
// converted as the loader converts it (boolValue; integerValue keeping the
// low 32 bits, signed), or the default when the key is absent or holds what
// has no such conversion (an array, a dictionary, data, a date).
prefsfile::Value effectiveValue(const KeyInfo& key, const prefsfile::PreferenceFile& file);

// The two app lists: their device paths and the key of the array in each.
enum class AppList { Silent, Banner };

struct AppListInfo {
  std::string_view name; // "silent", "banner"
  std::string_view path;
  std::string_view key;
};

const AppListInfo& appList(AppList list);
std::optional<AppList> findAppList(std::string_view name);

// Whether `text` may be added as a bundle identifier: letters, digits,
// '.', '-' and '_', not empty.
bool isBundleIdentifier(std::string_view text);

} // namespace quelline::prefs
