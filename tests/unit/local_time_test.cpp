// The wall-clock rule on the nights the clocks change: a start or an end
// falls at the first instant at which the local clock shows that time or a
// later one, and an evaluation at any minute agrees with the one before it.
#include "core/local_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

class ZoneScope {
public:
  explicit ZoneScope(const std::string& zone) {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    setenv("TZ", (":" + zone).c_str(), 1);
    tzset();
  }
  ~ZoneScope() {
    if (saved_.empty())
      unsetenv("TZ");
    else
      setenv("TZ", saved_.c_str(), 1);
    tzset();
  }

private:
  std::string saved_;
};

int64_t utc(const char* text) { // "YYYY-MM-DDTHH:MMZ"
  std::tm t{};
  strptime(text, "%Y-%m-%dT%H:%MZ", &t);
  return timegm(&t);
}

std::string utcText(int64_t instant) {
  std::time_t at = instant;
  std::tm t{};
  gmtime_r(&at, &t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%MZ", &t);
  return text;
}

// Every start or end reached from `from` to `to`, with the hold there,
// evaluated at every minute and at each boundary: between two boundaries no
// evaluation may tell anything new.
std::vector<std::string> boundaries(int32_t start, int32_t end, const char* from, const char* to) {
  std::vector<std::string> reached;
  quelline::DailyWindow last = quelline::dailyWindowAt(utc(from), start, end);
  for (int64_t t = utc(from); t <= utc(to);) {
    int64_t next = t + 60 < last.nextBoundary ? t + 60 : last.nextBoundary;
    quelline::DailyWindow now = quelline::dailyWindowAt(next, start, end);
    if (next == last.nextBoundary) {
      if (next <= utc(to)) reached.push_back(utcText(next) + (now.hold ? " on" : " off"));
      EXPECT_GT(now.nextBoundary, next);
    } else if (now.hold != last.hold || now.nextBoundary != last.nextBoundary) {
      ADD_FAILURE() << "at " << utcText(next) << " the hold or the next boundary changed";
    }
    last = now;
    t = next;
  }
  return reached;
}

using List = std::vector<std::string>;

TEST(LocalTime, SpringForward) {
  ZoneScope zone("Europe/Berlin");
  // A start inside the skipped hour falls at 03:00 summer time.
  EXPECT_EQ(boundaries(150, 420, "2025-03-29T20:00Z", "2025-03-30T06:00Z"),
            (List{"2025-03-30T01:00Z on", "2025-03-30T05:00Z off"}));
  // An end inside it too.
  EXPECT_EQ(boundaries(1320, 150, "2025-03-29T20:00Z", "2025-03-30T06:00Z"),
            (List{"2025-03-29T21:00Z on", "2025-03-30T01:00Z off"}));
  // A window wholly inside it starts and ends at the same instant.
  EXPECT_EQ(boundaries(130, 170, "2025-03-29T20:00Z", "2025-03-30T06:00Z"),
            (List{"2025-03-30T01:00Z off"}));
}

TEST(LocalTime, RepeatedHourCountsItsFirstOccurrence) {
  ZoneScope zone("Europe/Berlin");
  EXPECT_EQ(boundaries(150, 165, "2025-10-25T22:00Z", "2025-10-26T03:00Z"),
            (List{"2025-10-26T00:30Z on", "2025-10-26T00:45Z off"}));
  EXPECT_EQ(boundaries(1320, 150, "2025-10-25T19:00Z", "2025-10-26T03:00Z"),
            (List{"2025-10-25T20:00Z on", "2025-10-26T00:30Z off"}));
}

TEST(LocalTime, NewYork) {
  ZoneScope zone("America/New_York");
  EXPECT_EQ(boundaries(89, 420, "2025-11-02T03:00Z", "2025-11-02T13:00Z"),
            (List{"2025-11-02T05:29Z on", "2025-11-02T12:00Z off"}));
  // From the first 01:35, the end that night still comes.
  EXPECT_EQ(boundaries(0, 119, "2025-11-02T05:35Z", "2025-11-03T06:00Z"),
            (List{"2025-11-02T05:59Z off", "2025-11-03T05:00Z on"}));
  EXPECT_EQ(boundaries(135, 165, "2025-03-09T05:00Z", "2025-03-09T09:00Z"),
            (List{"2025-03-09T07:00Z off"}));
}

TEST(LocalTime, HalfHourShiftOfLordHowe) {
  ZoneScope zone("Australia/Lord_Howe");
  EXPECT_EQ(boundaries(135, 420, "2025-10-04T14:00Z", "2025-10-04T21:00Z"),
            (List{"2025-10-04T15:30Z on", "2025-10-04T20:00Z off"}));
  EXPECT_EQ(boundaries(1320, 105, "2025-04-05T10:00Z", "2025-04-05T17:00Z"),
            (List{"2025-04-05T11:00Z on", "2025-04-05T14:45Z off"}));
}

TEST(LocalTime, DayTheZoneSkipped) {
  ZoneScope zone("Pacific/Apia");
  // 2011-12-30 never came: its end and its start both fall at the first
  // instant of 2011-12-31, the start last.
  EXPECT_EQ(boundaries(1320, 420, "2011-12-30T06:00Z", "2011-12-30T18:00Z"),
            (List{"2011-12-30T08:00Z on", "2011-12-30T10:00Z on", "2011-12-30T17:00Z off"}));
  EXPECT_EQ(boundaries(480, 1200, "2011-12-29T17:00Z", "2011-12-30T19:00Z"),
            (List{"2011-12-29T18:00Z on", "2011-12-30T06:00Z off", "2011-12-30T10:00Z off",
                  "2011-12-30T18:00Z on"}));
}

TEST(LocalTime, QuarterHourOffsetOfKathmandu) {
  ZoneScope zone("Asia/Kathmandu");
  EXPECT_EQ(boundaries(1320, 420, "2025-01-06T16:00Z", "2025-01-07T02:00Z"),
            (List{"2025-01-06T16:15Z on", "2025-01-07T01:15Z off"}));
  // 1986 began at 00:15, when the zone moved from +05:30 to +05:45.
  EXPECT_EQ(boundaries(0, 10, "1985-12-31T17:00Z", "1985-12-31T19:00Z"),
            (List{"1985-12-31T18:30Z off"}));
}

TEST(LocalTime, InstantOfALocalTime) {
  auto local = [](int y, int m, int d, int h, int min) {
    return quelline::daysFromCivil(y, m, d) * quelline::kSecondsPerDay + h * 3600 + min * 60;
  };
  {
    ZoneScope zone("Pacific/Apia");
    EXPECT_EQ(utcText(quelline::instantOfLocalTime(local(2011, 12, 30, 12, 0))),
              "2011-12-30T10:00Z");
  }
  {
    ZoneScope zone("America/New_York");
    EXPECT_EQ(utcText(quelline::instantOfLocalTime(local(2025, 11, 2, 1, 35))),
              "2025-11-02T05:35Z");
    EXPECT_EQ(utcText(quelline::instantOfLocalTime(local(2025, 3, 9, 2, 30))), "2025-03-09T07:00Z");
  }
  EXPECT_EQ(quelline::daysFromCivil(2000, 3, 1), 11017);
  EXPECT_EQ(quelline::daysFromCivil(1969, 12, 31), -1);
}

} // namespace
