#include "platform/db/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "platform/db/exception.h"

namespace db {
namespace {

TEST(DateTime, EncodeDateCountsDaysFrom18991230) {
    struct Case {
        int year, month, day;
        double expected;
    };
    const Case cases[] = {
        {1899, 12, 30, 0.0},       {1899, 12, 31, 1.0},    {1900, 1, 1, 2.0},
        {1899, 12, 29, -1.0},      {2001, 2, 3, 36925.0},  {1, 1, 1, -693593.0},
        {9999, 12, 31, 2958465.0}, {2000, 2, 29, 36585.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeDate(c.year, c.month, c.day).Value, c.expected)
            << c.year << "-" << c.month << "-" << c.day;
        int y = 0, m = 0, d = 0;
        DecodeDate(TDateTime(c.expected), y, m, d);
        EXPECT_EQ(y, c.year);
        EXPECT_EQ(m, c.month);
        EXPECT_EQ(d, c.day);
    }
}

TEST(DateTime, InvalidDatesAndTimesAreRefused) {
    TDateTime out;
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, out));  // 1900 was no leap year
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, out));
    EXPECT_FALSE(TryEncodeDate(10000, 1, 1, out));
    EXPECT_FALSE(TryEncodeDate(2001, 13, 1, out));
    EXPECT_FALSE(TryEncodeDate(2001, 4, 31, out));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, out));
    EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, out));
    EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, out));
    EXPECT_THROW(EncodeDate(2001, 2, 30), EConvertError);
    EXPECT_THROW(EncodeTime(-1, 0, 0, 0), EConvertError);
}

TEST(DateTime, TimeIsTheFractionEvenBeforeDayZero) {
    const TDateTime six_am = EncodeTime(6, 0, 0, 0);
    EXPECT_DOUBLE_EQ(six_am.Value, 0.25);
    // 1899-12-29 06:00 is -1.25: the fraction is the time of day, not a negative offset.
    const TDateTime old = CombineDateTime(EncodeDate(1899, 12, 29), six_am);
    EXPECT_DOUBLE_EQ(old.Value, -1.25);
    int h = 0, n = 0, s = 0, ms = 0;
    DecodeTime(old, h, n, s, ms);
    EXPECT_EQ(h, 6);
    int y = 0, m = 0, d = 0;
    DecodeDate(old, y, m, d);
    EXPECT_EQ(d, 29);
    EXPECT_DOUBLE_EQ(TimeOf(old).Value, 0.25);
    EXPECT_DOUBLE_EQ(DateOf(old).Value, -1.0);
}

TEST(DateTime, TimeStampsRoundTripToTheMillisecond) {
    const TDateTime value = CombineDateTime(EncodeDate(2001, 2, 3), EncodeTime(13, 14, 15, 678));
    const TTimeStamp stamp = DateTimeToTimeStamp(value);
    EXPECT_EQ(stamp.Date, DateDelta + 36925);
    EXPECT_EQ(stamp.Time, ((13 * 60 + 14) * 60 + 15) * 1000 + 678);
    EXPECT_EQ(DateTimeToTimeStamp(TimeStampToDateTime(stamp)), stamp);
    EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(1, 1, 1)).Date, 1);
    EXPECT_THROW(DateTimeToTimeStamp(TDateTime(3e6)), EConvertError);
    EXPECT_THROW(TimeStampToDateTime(TTimeStamp{-1, 5}), EConvertError);
    EXPECT_THROW(TimeStampToDateTime(TTimeStamp{0, 0}), EConvertError);
}

TEST(DateTime, DayOfWeekStartsOnSunday) {
    EXPECT_EQ(DayOfWeek(EncodeDate(2001, 2, 3)), 7);  // a Saturday
    EXPECT_EQ(DayOfWeek(EncodeDate(2001, 2, 4)), 1);
    EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);  // a Monday
}

TEST(DateTime, NowFollowsTheLocalZone) {
    // The test main fixes TZ=UTC; a zone far east moves the local date a day ahead at times.
    const TDateTime utc_now = Now();
    std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    int y = 0, m = 0, d = 0;
    DecodeDate(utc_now, y, m, d);
    EXPECT_EQ(y, utc.tm_year + 1900);
    EXPECT_LE(std::abs(Date().Value - DateOf(utc_now).Value), 1.0);
    EXPECT_GE(Time().Value, 0.0);
    EXPECT_LT(Time().Value, 1.0);
}

}  // namespace
}  // namespace db
