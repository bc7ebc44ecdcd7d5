// Times of day as quiet hours keep them: minutes after local midnight. One
// home for how a stored value counts (any integer, modulo a day), when two
// of them name the same time, and how people write one ("22:00" or 1320),
// for the home screen's loader and for every writer.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace quelline {

constexpr int32_t kMinutesPerDay = 1440;

// What a refused time is told: the words every writer uses.
#define QUELLINE_TIME_OF_DAY_EXPECTED "a time of day, 00:00\u201323:59 (22:00 or 1320)"

// A stored value as the home screen counts it: modulo a day.
constexpr int32_t minuteOfDay(int64_t value) {
  int64_t m = value % kMinutesPerDay;
  return static_cast<int32_t>(m < 0 ? m + kMinutesPerDay : m);
}

// Whether two stored values name the same time of day (1860 is 420).
constexpr bool sameTimeOfDay(int64_t a, int64_t b) {
  return minuteOfDay(a) == minuteOfDay(b);
}

// "HH:MM" (hours 0-23 in one or two digits, minutes in two, nothing else)
// as minutes after midnight; -1 for any other text.
constexpr int32_t parseClockTime(const char* text) {
  if (text == nullptr) return -1;
  size_t n = 0;
  while (text[n] != '\0')
    ++n;
  if (n != 4 && n != 5) return -1;
  const size_t colon = n - 3;
  auto digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1; };
  if (text[colon] != ':') return -1;
  int32_t hours = 0;
  for (size_t i = 0; i < colon; ++i) {
    if (digit(i) < 0) return -1;
    hours = hours * 10 + digit(i);
  }
  if (digit(n - 2) < 0 || digit(n - 1) < 0) return -1;
  const int32_t minutes = digit(n - 2) * 10 + digit(n - 1);
  if (hours > 23 || minutes > 59) return -1;
  return hours * 60 + minutes;
}

// A time of day as typed: "HH:MM", or its minutes after midnight as a
// whole number from 0 to 1439; -1 for anything else.
constexpr int32_t parseTimeOfDay(const char* text) {
  const int32_t clock = parseClockTime(text);
  if (clock >= 0 || text == nullptr || text[0] == '\0') return clock;
  int32_t minutes = 0;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    if (text[i] < '0' || text[i] > '9' || i >= 4) return -1;
    minutes = minutes * 10 + (text[i] - '0');
  }
  return minutes < kMinutesPerDay ? minutes : -1;
}

} // namespace quelline
