#pragma once

#include <compare>
#include <cstdint>

namespace db {

// A point in time as the class library counts it: whole days since 1899-12-30, with the time of
// day as the fraction. Before that day the integral part counts backwards but the fraction is
// still the time of day: -1.25 is 1899-12-29 06:00.
struct TDateTime {
    double Value = 0.0;

    constexpr TDateTime() = default;
    constexpr explicit TDateTime(double value) : Value(value) {}
    constexpr explicit operator double() const { return Value; }

    friend constexpr bool operator==(TDateTime, TDateTime) = default;
    friend constexpr std::partial_ordering operator<=>(TDateTime a, TDateTime b) {
        return a.Value <=> b.Value;
    }
};

inline constexpr std::int64_t HoursPerDay = 24;
inline constexpr std::int64_t MinsPerDay = HoursPerDay * 60;
inline constexpr std::int64_t SecsPerDay = MinsPerDay * 60;
inline constexpr std::int64_t MSecsPerDay = SecsPerDay * 1000;

// Day number of 1899-12-30 when 0001-01-01 is day 1.
inline constexpr std::int32_t DateDelta = 693594;

// Days since 0001-01-01 (that day is 1) and milliseconds since midnight.
struct TTimeStamp {
    std::int32_t Time = 0;
    std::int32_t Date = 0;

    friend constexpr bool operator==(const TTimeStamp&, const TTimeStamp&) = default;
};

bool IsLeapYear(int year);
// 0 for a month outside 1..12.
int DaysInMonth(int year, int month);

// Years 1 to 9999. The Try forms answer false for an invalid date or time; the others raise
// EConvertError.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
TDateTime EncodeDate(int year, int month, int day);
// Hours 0..23, minutes and seconds 0..59, milliseconds 0..999.
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result);
TDateTime EncodeTime(int hour, int minute, int second, int msec);

// Values outside 0001-01-01 .. 9999-12-31 give year, month and day 0.
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime value);

// The whole-day part and the time-of-day part, with the fraction rule above.
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);
// The date of the first plus the time of the second, honouring the sign rule for old dates.
TDateTime CombineDateTime(TDateTime date, TDateTime time);

// Between the class library's form and days-since-year-1 plus milliseconds, rounded to the
// nearest millisecond. DateTimeToTimeStamp raises EConvertError for a value outside the years
// 1..9999 (or not a number); TimeStampToDateTime raises it for a time outside one day or a day
// before 1.
TTimeStamp DateTimeToTimeStamp(TDateTime value);
TDateTime TimeStampToDateTime(const TTimeStamp& stamp);

// The current local date, time of day, and both; they follow TZ.
TDateTime Date();
TDateTime Time();
TDateTime Now();

}  // namespace db
