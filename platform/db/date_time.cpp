#include "platform/db/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

#include "platform/db/exception.h"

namespace db {
namespace {

constexpr std::int32_t kMaxDayNumber = 3652059;  // 9999-12-31 when 0001-01-01 is day 1
constexpr std::int32_t kUnixEpochDay = 719163;   // 1970-01-01

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

// TDateTime's range: 0001-01-01 00:00 up to the last millisecond of 9999-12-31.
bool InDateTimeRange(double value) {
    return std::isfinite(value) && value > -693594.0 && value < 2958466.0;
}

TDateTime LocalNow(bool with_date, bool with_time) {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    TDateTime date{0.0};
    TDateTime time{0.0};
    if (with_date) {
        date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    }
    if (with_time) {
        // A leap second (tm_sec 60) stays within the day.
        time = EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                          static_cast<int>(ms.count() % 1000));
    }
    return CombineDateTime(date, time);
}

}  // namespace

bool IsLeapYear(int year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month)) {
        return false;
    }
    const std::int64_t day_number =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
        kUnixEpochDay;
    result = TDateTime(static_cast<double>(day_number - DateDelta));
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime result;
    if (!TryEncodeDate(year, month, day, result)) {
        throw EConvertError("Invalid argument to date encode");
    }
    return result;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& result) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        msec < 0 || msec > 999) {
        return false;
    }
    const std::int64_t ms =
        ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + msec;
    result = TDateTime(static_cast<double>(ms) / static_cast<double>(MSecsPerDay));
    return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
    TDateTime result;
    if (!TryEncodeTime(hour, minute, second, msec, result)) {
        throw EConvertError("Invalid argument to time encode");
    }
    return result;
}

TTimeStamp DateTimeToTimeStamp(TDateTime value) {
    if (!InDateTimeRange(value.Value)) {
        throw EConvertError("Invalid argument to date encode");
    }
    const auto ms = static_cast<std::int64_t>(std::llround(value.Value * MSecsPerDay));
    TTimeStamp stamp;
    stamp.Date = static_cast<std::int32_t>(DateDelta + ms / MSecsPerDay);
    stamp.Time = static_cast<std::int32_t>((ms < 0 ? -ms : ms) % MSecsPerDay);
    return stamp;
}

TDateTime TimeStampToDateTime(const TTimeStamp& stamp) {
    if (stamp.Time < 0 || stamp.Time >= MSecsPerDay || stamp.Date < 1) {
        throw EConvertError("Invalid argument to time encode");
    }
    const double days = static_cast<double>(stamp.Date - DateDelta);
    const double fraction = static_cast<double>(stamp.Time) / static_cast<double>(MSecsPerDay);
    return TDateTime(days < 0 ? days - fraction : days + fraction);
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    year = month = day = 0;
    if (!InDateTimeRange(value.Value)) {
        return;
    }
    const TTimeStamp stamp = DateTimeToTimeStamp(value);
    if (stamp.Date < 1 || stamp.Date > kMaxDayNumber) {
        return;
    }
    CivilFromDays(static_cast<std::int64_t>(stamp.Date) - kUnixEpochDay, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
    hour = minute = second = msec = 0;
    if (!InDateTimeRange(value.Value)) {
        return;
    }
    std::int32_t t = DateTimeToTimeStamp(value).Time;
    msec = t % 1000;
    t /= 1000;
    second = t % 60;
    t /= 60;
    minute = t % 60;
    hour = t / 60;
}

int DayOfWeek(TDateTime value) {
    const std::int64_t day = DateTimeToTimeStamp(value).Date;
    // Day 1 (0001-01-01) was a Monday.
    return static_cast<int>(day % 7) + 1;
}

TDateTime DateOf(TDateTime value) {
    return TDateTime(std::trunc(value.Value));
}

TDateTime TimeOf(TDateTime value) {
    return TDateTime(std::fabs(value.Value - std::trunc(value.Value)));
}

TDateTime CombineDateTime(TDateTime date, TDateTime time) {
    const double whole = std::trunc(date.Value);
    const double fraction = std::fabs(time.Value - std::trunc(time.Value));
    return TDateTime(whole < 0 ? whole - fraction : whole + fraction);
}

TDateTime Date() {
    return LocalNow(true, false);
}
TDateTime Time() {
    return LocalNow(false, true);
}
TDateTime Now() {
    return LocalNow(true, true);
}

}  // namespace db
