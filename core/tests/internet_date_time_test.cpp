#include "core/values/internet_date_time.h"

#include <gtest/gtest.h>

namespace talvo {
namespace {

using namespace std::chrono;

WallTime at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return WallTime(sys_days{year{y} / mo / d} + hours(h) + minutes(mi) + seconds(s));
}

TEST(InternetDateTime, FormatsUtcWholeSecondsRoundingDown) {
  EXPECT_EQ(formatInternetDateTime(WallTime{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatInternetDateTime(at(2026, 12, 7, 9, 30, 0) + milliseconds(999)), "2026-12-07T09:30:00Z");
  EXPECT_EQ(formatInternetDateTime(WallTime{} - milliseconds(1)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(formatInternetDateTime(at(2024, 2, 29, 23, 59, 59)), "2024-02-29T23:59:59Z");
}

TEST(InternetDateTime, ParsesZonesAndFractionsInTheirMode) {
  const WallTime noon = at(2026, 12, 7, 9, 30, 0);
  EXPECT_EQ(parseInternetDateTime("2026-12-07T09:30:00Z", FractionalSeconds::absent), noon);
  EXPECT_EQ(parseInternetDateTime("2026-12-07T12:30:00+03:00", FractionalSeconds::absent), noon);
  EXPECT_EQ(parseInternetDateTime("2026-12-07T04:00:00-05:30", FractionalSeconds::absent), noon);
  EXPECT_EQ(parseInternetDateTime("2026-12-07T09:30:00.5Z", FractionalSeconds::required), noon + milliseconds(500));
  EXPECT_EQ(parseInternetDateTime("2026-12-07T09:30:00.123456789+00:00", FractionalSeconds::required),
            noon + nanoseconds(123456789));
  EXPECT_EQ(parseInternetDateTimeEither("2026-12-07T09:30:00Z"), noon);
  EXPECT_EQ(parseInternetDateTimeEither("2026-12-07T09:30:00.250Z"), noon + milliseconds(250));
  // Round trip of what we write.
  EXPECT_EQ(parseInternetDateTime(formatInternetDateTime(noon), FractionalSeconds::absent), noon);
}

TEST(InternetDateTime, RefusesEverythingElse) {
  for (const char* text : {
           "2026-12-07t09:30:00Z",         "2026-12-07T09:30:00z",     "2026-12-07 09:30:00Z",
           "2026-12-07T09:30:00",          "2026-12-07T09:30:00+0300", "2026-12-07T09:30:00+24:00",
           "2026-12-07T09:30:00+03:60",    "2026-12-07T09:30:60Z",     "2026-02-29T00:00:00Z",
           "2026-13-01T00:00:00Z",         "2026-12-00T00:00:00Z",     "2026-12-07T24:00:00Z",
           "2026-12-07T09:30:00Z ",        "2026-12-07T09:30:00.Z",    "2026-12-07T9:30:00Z",
           "+2026-12-07T09:30:00Z",        "2026-12-07T09:30:00.5Z",   "",
           "2026-12-07T09:30:00+03:00:00",
       }) {
    EXPECT_FALSE(parseInternetDateTime(text, FractionalSeconds::absent).has_value()) << text;
  }
  EXPECT_FALSE(parseInternetDateTime("2026-12-07T09:30:00Z", FractionalSeconds::required).has_value());
  EXPECT_FALSE(parseInternetDateTimeEither("2026-12-07T09:30:00.Z").has_value());
}

// The clock cannot hold these instants: they must be refused, not wrapped into another date.
TEST(InternetDateTime, RefusesDatesTheClockCannotHold) {
  EXPECT_FALSE(parseInternetDateTimeEither("9999-12-31T23:59:59Z").has_value());
  EXPECT_FALSE(parseInternetDateTimeEither("0001-01-01T00:00:00.5Z").has_value());
  EXPECT_EQ(parseInternetDateTimeEither("2200-01-01T00:00:00Z"), at(2200, 1, 1, 0, 0, 0));
}

}  // namespace
}  // namespace talvo
