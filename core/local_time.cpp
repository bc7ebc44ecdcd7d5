#include "core/local_time.h"

#include "platform/clock.h"

namespace quelline {
namespace {

// The zone's history over a span of instants, as stretches of one offset
// from UTC each, found by asking localtime_r every three hours and, where
// the offset differs, halving the interval down to the second it changes.
// (Two changes less than three hours apart that come back to the same
// offset are not seen; no zone of the tz database has them.)
constexpr int64_t kProbeStep = 3 * 3600;
constexpr int kMaxStretches = 24;

struct Stretch {
  int64_t begin; // the first instant of the stretch
  int64_t offset;
};

struct History {
  int64_t from; // the span looked at: [from, to)
  int64_t to;
  Stretch stretches[kMaxStretches];
  int count;

  int64_t endOf(int i) const { return i + 1 < count ? stretches[i + 1].begin : to; }
};

int64_t offsetAt(int64_t instant) {
  time_t at = static_cast<time_t>(instant);
  struct tm t;
  if (localtime_r(&at, &t) == nullptr) return 0;
  LocalSeconds shown =
      daysFromCivil(static_cast<int64_t>(t.tm_year) + 1900, t.tm_mon + 1, t.tm_mday) *
          kSecondsPerDay +
      t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
  return shown - instant;
}

void readHistory(History& h, int64_t from, int64_t to) {
  h.from = from;
  h.to = to;
  int64_t offset = offsetAt(from);
  h.stretches[0] = {from, offset};
  h.count = 1;
  int64_t at = from;
  while (at < to) {
    int64_t next = to - at > kProbeStep ? at + kProbeStep : to;
    if (offsetAt(next) == offset) {
      at = next;
      continue;
    }
    int64_t same = at; // the offset is `offset` here, another at `next`
    while (next - same > 1) {
      int64_t middle = same + (next - same) / 2;
      if (offsetAt(middle) == offset)
        same = middle;
      else
        next = middle;
    }
    offset = offsetAt(next);
    if (h.count < kMaxStretches) h.stretches[h.count++] = {next, offset};
    at = next;
  }
}

int64_t instantIn(const History& h, LocalSeconds local) {
  for (int i = 0; i < h.count; ++i) {
    const Stretch& s = h.stretches[i];
    if (h.endOf(i) - 1 + s.offset < local) continue; // the stretch never shows it
    int64_t at = local - s.offset;
    return at > s.begin ? at : s.begin;
  }
  return h.to;
}

LocalSeconds reachedIn(const History& h, int64_t instant) {
  LocalSeconds reached = h.from + h.stretches[0].offset;
  for (int i = 0; i < h.count && h.stretches[i].begin <= instant; ++i) {
    int64_t last = h.endOf(i) - 1;
    LocalSeconds shown = (last < instant ? last : instant) + h.stretches[i].offset;
    if (shown > reached) reached = shown;
  }
  return reached;
}

int64_t floorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return q * b > a ? q - 1 : q;
}

} // namespace

int64_t daysFromCivil(int64_t year, int32_t month, int32_t day) {
  // Months from March, so that a leap day ends its year.
  year -= month <= 2 ? 1 : 0;
  int64_t era = floorDiv(year, 400);
  int64_t yearOfEra = year - era * 400;
  int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;
  int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

LocalSeconds localClockAt(int64_t instant) {
  return instant + offsetAt(instant);
}

int64_t instantOfLocalTime(LocalSeconds local) {
  History h;
  readHistory(h, local - 2 * kSecondsPerDay, local + 2 * kSecondsPerDay);
  return instantIn(h, local);
}

LocalSeconds localTimeReachedAt(int64_t instant) {
  History h;
  readHistory(h, instant - 2 * kSecondsPerDay, instant + 1);
  return reachedIn(h, instant);
}

DailyWindow dailyWindowAt(int64_t instant, int32_t start, int32_t end) {
  // Two days back hold any clock put back; the next boundary is at most a
  // day of local time past the time reached, three days on at the latest.
  History h;
  readHistory(h, instant - 2 * kSecondsPerDay, instant + 3 * kSecondsPerDay);
  LocalSeconds reached = reachedIn(h, instant);
  int64_t day = floorDiv(reached, kSecondsPerDay);
  int32_t minute = static_cast<int32_t>((reached - day * kSecondsPerDay) / 60);
  bool hold = start < end ? minute >= start && minute < end : minute >= start || minute < end;

  // The next start or end not yet reached, today's or tomorrow's.
  LocalSeconds next = (day + 2) * kSecondsPerDay;
  const int32_t boundaries[] = {start, end};
  for (int64_t d = day; d <= day + 1; ++d) {
    for (int32_t b : boundaries) {
      LocalSeconds at = d * kSecondsPerDay + b * 60;
      if (at > reached && at < next) next = at;
    }
  }
  return {hold, instantIn(h, next)};
}

} // namespace quelline
