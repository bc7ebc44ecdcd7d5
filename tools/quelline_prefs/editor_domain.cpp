#include "tools/quelline_prefs/editor_domain.h"

#include "host/files/file_error.h"
#include "host/sim/services/foundation_values.h"
#include "prefs/time_of_day.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <limits>
#include <vector>

namespace quelline::prefs {
namespace {

#define QUELLINE_KEY_TYPE_Bool KeyType::Boolean
#define QUELLINE_KEY_TYPE_Int32 KeyType::Integer
#define QUELLINE_KEY_TYPE_Minutes KeyType::Integer
#define QUELLINE_KEY_TYPE_Duration KeyType::Integer
#define QUELLINE_KEY_SPAN_Bool false
#define QUELLINE_KEY_SPAN_Int32 false
#define QUELLINE_KEY_SPAN_Minutes false
#define QUELLINE_KEY_SPAN_Duration true
#define QUELLINE_KEY_INFO(name, type, fallback, minimum, maximum, reading, pane, label, text)      \
  KeyInfo{#name,                                                                                   \
          QUELLINE_KEY_TYPE_##type,                                                                \
          fallback,                                                                                \
          QUELLINE_SETTING_LIVE_##reading,                                                         \
          text,                                                                                    \
          minimum,                                                                                 \
          maximum,                                                                                 \
          QUELLINE_KEY_SPAN_##type,                                                                \
          QUELLINE_SETTING_IS_TIME_##type},
constexpr std::array kKeys = {QUELLINE_SETTINGS(QUELLINE_KEY_INFO)};
#undef QUELLINE_KEY_INFO

constexpr AppListInfo kSilentApps{"silent", QUELLINE_SILENT_APPS_PATH, QUELLINE_SILENT_APPS_KEY};
constexpr AppListInfo kBannerApps{"banner", QUELLINE_BANNER_APPS_PATH, QUELLINE_BANNER_APPS_KEY};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

} // namespace

std::span<const KeyInfo> keys() {
  return kKeys;
}

const KeyInfo* findKey(std::string_view name) {
  for (const KeyInfo& key : kKeys)
    if (key.name == name) return &key;
  return nullptr;
}

std::string knownKeyNames() {
  std::string out;
  for (const KeyInfo& key : kKeys) {
    if (!out.empty()) out += ", ";
    out += key.name;
  }
  return out;
}

namespace {

// Edits (a letter added, dropped, changed, or two swapped) from `a` to
// `b`, ignoring case.
size_t editDistance(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
  for (size_t i = 0; i <= a.size(); ++i)
    d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j)
    d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

} // namespace

std::optional<std::string_view> nearestKey(std::string_view name) {
  std::optional<std::string_view> best;
  size_t bestDistance = 0;
  for (const KeyInfo& key : kKeys) {
    const size_t distance = editDistance(name, key.name);
    if (!best || distance < bestDistance) {
      best = key.name;
      bestDistance = distance;
    }
  }
  // Near enough to be a slip: a third of the name, at least two letters.
  if (best && bestDistance <= std::max<size_t>(2, name.size() / 3)) return best;
  return std::nullopt;
}

std::string unknownKeyHint(std::string_view name) {
  std::string out;
  if (auto near = nearestKey(name)) out = "did you mean " + std::string(*near) + "? ";
  return out + "`quelline-prefs keys` lists the keys and what each takes";
}

std::string_view typeName(KeyType type) {
  return type == KeyType::Boolean ? "boolean" : "integer";
}

std::optional<bool> parseBoolean(std::string_view text) {
  for (std::string_view yes : {"true", "yes", "1"})
    if (equalsIgnoringCase(text, yes)) return true;
  for (std::string_view no : {"false", "no", "0"})
    if (equalsIgnoringCase(text, no)) return false;
  return std::nullopt;
}

std::string integerRanges() {
  std::string out;
  for (const KeyInfo& key : keys())
    if (key.type == KeyType::Integer)
      out += (out.empty() ? "" : ", ") + std::string(key.name) + " " + std::to_string(key.minimum) +
             " to " + std::to_string(key.maximum);
  return out;
}

std::optional<int32_t> parseInteger(std::string_view text) {
  // from_chars takes a '-' but no '+'.
  const bool plus = text.starts_with('+');
  if (plus) text.remove_prefix(1);
  if (text.empty() || (plus && text.starts_with('-'))) return std::nullopt;
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<int32_t> parseSpan(std::string_view text) {
  if (auto minutes = parseInteger(text)) return minutes;
  // [DIGITS h][DIGITS m], at least one part, nothing else.
  int64_t total = 0;
  bool any = false;
  for (char unit : {'h', 'm'}) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
      ++digits;
    if (digits == 0 || digits > 9 || digits == text.size() || text[digits] != unit) continue;
    int64_t part = 0;
    std::from_chars(text.data(), text.data() + digits, part);
    total += unit == 'h' ? part * 60 : part;
    text.remove_prefix(digits + 1);
    any = true;
  }
  if (!any || !text.empty() || total > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(total);
}

std::optional<prefsfile::Value> parseValue(const KeyInfo& key, std::string_view text,
                                           std::string& expected) {
  if (key.type == KeyType::Boolean) {
    if (auto value = parseBoolean(text)) return prefsfile::Value(*value);
    expected = "a boolean: true, false, yes, no, 1 or 0";
    return std::nullopt;
  }
  if (key.time) {
    const int32_t minutes = parseTimeOfDay(std::string(text).c_str());
    if (minutes >= 0 && text.find('\0') == std::string_view::npos)
      return prefsfile::Value(int64_t{minutes});
    expected = QUELLINE_TIME_OF_DAY_EXPECTED;
    return std::nullopt;
  }
  const std::optional<int32_t> value = key.span ? parseSpan(text) : parseInteger(text);
  if (value && *value >= key.minimum && *value <= key.maximum)
    return prefsfile::Value(int64_t{*value});
  expected =
      "an integer from " + std::to_string(key.minimum) + " to " + std::to_string(key.maximum);
  if (key.span) expected += " (minutes), or hours and minutes such as 1h30m";
  return std::nullopt;
}

std::string refusedValue(const KeyInfo& key, std::string_view text, const std::string& expected) {
  return prefsfile::inQuotes(text) + " is refused; " + std::string(key.name) + " takes " + expected;
}

std::optional<std::string> clashWithPartner(const KeyInfo& key, const prefsfile::Value& value,
                                            const prefsfile::PreferenceFile& file) {
  struct Pair {
    std::string_view first, second, reason;
  };
#define QUELLINE_KEY_PAIR(first, second, reason) Pair{#first, #second, reason},
  constexpr Pair kPairs[] = {QUELLINE_DIFFERENT_KEYS(QUELLINE_KEY_PAIR)};
#undef QUELLINE_KEY_PAIR
  for (const Pair& pair : kPairs) {
    std::string_view partner;
    if (key.name == pair.first) partner = pair.second;
    if (key.name == pair.second) partner = pair.first;
    const KeyInfo* other = partner.empty() ? nullptr : findKey(partner);
    if (other == nullptr) continue;
    const prefsfile::Value theirs = effectiveValue(*other, file);
    const bool same = key.time && std::holds_alternative<int64_t>(value) &&
                              std::holds_alternative<int64_t>(theirs)
                          ? sameTimeOfDay(std::get<int64_t>(value), std::get<int64_t>(theirs))
                          : theirs == value;
    if (!same) continue;
    const std::string shown = std::holds_alternative<int64_t>(value)
                                  ? std::to_string(std::get<int64_t>(value))
                                  : std::string("that value");
    return std::string(key.name) + " " + shown + " equals " + std::string(partner) + "; " +
           std::string(pair.reason);
  }
  return std::nullopt;
}

prefsfile::Value defaultValue(const KeyInfo& key) {
  if (key.type == KeyType::Boolean) return prefsfile::Value(key.fallback != 0);
  return prefsfile::Value(int64_t{key.fallback});
}

prefsfile::Value effectiveValue(const KeyInfo& key, const prefsfile::PreferenceFile& file) {
  const std::optional<prefsfile::Value> stored = file.value(key.name);
  if (!stored) return defaultValue(key);
  struct Convert {
    bool boolean;
    prefsfile::Value operator()(bool v) const {
      return boolean ? prefsfile::Value(v) : prefsfile::Value(int64_t{v ? 1 : 0});
    }
    prefsfile::Value operator()(int64_t v) const {
      return boolean ? prefsfile::Value(v != 0) : low32(v);
    }
    prefsfile::Value operator()(double v) const {
      return boolean ? prefsfile::Value(v != 0) : low32(hostsim::realIntegerValue(v));
    }
    prefsfile::Value operator()(const std::string& v) const {
      return boolean ? prefsfile::Value(hostsim::stringBoolValue(v))
                     : low32(hostsim::stringIntegerValue(v));
    }
    static prefsfile::Value low32(int64_t v) {
      return int64_t{static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)))};
    }
  };
  if (const auto* text = std::get_if<std::string>(&*stored); text != nullptr && key.time)
    if (const int32_t clock = parseClockTime(text->c_str()); clock >= 0) return int64_t{clock};
  return std::visit(Convert{key.type == KeyType::Boolean}, *stored);
}

const AppListInfo& appList(AppList list) {
  return list == AppList::Silent ? kSilentApps : kBannerApps;
}

std::optional<AppList> findAppList(std::string_view name) {
  if (name == kSilentApps.name) return AppList::Silent;
  if (name == kBannerApps.name) return AppList::Banner;
  return std::nullopt;
}

bool isBundleIdentifier(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '.' && c != '-' && c != '_')
      return false;
  return true;
}

} // namespace quelline::prefs
