#include "engine/storage/data_types.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "engine/storage/byte_order.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/storage_utils.h"
#include "platform/db/conversions.h"
#include "platform/db/exception.h"
#include "platform/nls/text.h"

namespace strata {

std::uint32_t FixedDataSize(EngineDataType type) {
    switch (type) {
        case kTypeBoolean:
        case kTypeSmallInt:
        case kTypeWord:
            return 2;
        case kTypeDate:
        case kTypeInteger:
        case kTypeTime:
            return 4;
        case kTypeFloat:
        case kTypeBCD:
        case kTypeTimestamp:
            return 8;
        default:
            return 0;
    }
}

std::int32_t DateTimeToEngineDate(db::TDateTime value) {
    return db::DateTimeToTimeStamp(value).Date;
}

std::int32_t DateTimeToEngineTime(db::TDateTime value) {
    return db::DateTimeToTimeStamp(value).Time;
}

double DateTimeToEngineTimestamp(db::TDateTime value) {
    const db::TTimeStamp stamp = db::DateTimeToTimeStamp(value);
    return static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
}

namespace {

// 9999-12-31, the last day the class library's calendar formats and decodes.
constexpr std::int32_t kLastEngineDay = 3652059;

void CheckEngineDay(double day_number) {
    if (day_number < 1 || day_number > kLastEngineDay) {
        throw db::EConvertError("Invalid argument to date encode");
    }
}

}  // namespace

db::TDateTime EngineDateToDateTime(std::int32_t day_number) {
    CheckEngineDay(day_number);
    return db::TimeStampToDateTime(db::TTimeStamp{0, day_number});
}

db::TDateTime EngineTimeToDateTime(std::int32_t msecs) {
    return db::TimeStampToDateTime(db::TTimeStamp{msecs, db::DateDelta});
}

db::TDateTime EngineTimestampToDateTime(double msecs) {
    if (!std::isfinite(msecs)) {
        throw db::EConvertError("Invalid argument to date encode");
    }
    // The day is that of the rounded value, as every other reader of a timestamp takes it.
    const double rounded = std::round(msecs);
    const double days = std::floor(rounded / kMSecsPerDay);
    CheckEngineDay(days);
    return db::TimeStampToDateTime(db::TTimeStamp{
        static_cast<std::int32_t>(rounded - days * kMSecsPerDay), static_cast<std::int32_t>(days)});
}

db::TFormatSettings FixedFormatSettings() {
    db::TFormatSettings s = db::EnglishFormatSettings();
    s.CurrencyString.clear();
    s.CurrencyFormat = 0;
    s.NegCurrFormat = 0;
    s.ThousandSeparator = ',';
    s.DecimalSeparator = '.';
    s.CurrencyDecimals = 2;
    s.DateSeparator = '-';
    s.ShortDateFormat = "yyyy-mm-dd";
    s.LongDateFormat = "dddd, mmmm dd, yyyy";
    s.TimeSeparator = ':';
    s.TimeAMString = "AM";
    s.TimePMString = "PM";
    s.ShortTimeFormat = "hh:mm";
    s.LongTimeFormat = "hh:mm:ss";
    return s;
}

void SaveFormatSettings(db::TFormatSettings& record) {
    record = db::FormatSettings();
}

void RestoreFormatSettings(const db::TFormatSettings& record) {
    db::FormatSettings() = record;
}

void LoadLocaleFormats(LanguageId language, SortId sort, db::TFormatSettings& record) {
    // Asked for at every record a default value or a computed field fills, and the
    // formats never change for a language: the last one asked for is kept per thread.
    struct Last {
        LanguageId language;
        SortId sort;
        db::TFormatSettings formats;
    };
    thread_local std::optional<Last> last;
    if (!last || last->language != language || last->sort != sort) {
        last.reset();
        last.emplace(Last{language, sort,
                          language == 0 ? FixedFormatSettings()
                                        : db::LocaleFormatSettings(MakeLocaleId(language, sort))});
    }
    record = last->formats;
}

LocaleFormatScope::LocaleFormatScope(LanguageId language, SortId sort) {
    LockFormatSettings();
    try {
        SaveFormatSettings(saved_);
        LoadLocaleFormats(language, sort, loaded_);
        RestoreFormatSettings(loaded_);
    } catch (...) {
        UnlockFormatSettings();
        throw;
    }
}

LocaleFormatScope::~LocaleFormatScope() {
    RestoreFormatSettings(saved_);
    UnlockFormatSettings();
}

bool TextToDateTimeValue(std::string_view text, EngineDataType type, std::span<std::byte> value,
                         const db::TFormatSettings& format) {
    db::TDateTime parsed;
    try {
        switch (type) {
            case kTypeDate:
                if (value.size() < 4 || !db::TryStrToDate(text, parsed, format)) {
                    return false;
                }
                StoreInt32(value.data(), DateTimeToEngineDate(parsed));
                return true;
            case kTypeTime:
                if (value.size() < 4 || !db::TryStrToTime(text, parsed, format)) {
                    return false;
                }
                StoreInt32(value.data(), DateTimeToEngineTime(parsed));
                return true;
            case kTypeTimestamp:
                if (value.size() < 8 || !db::TryStrToDateTime(text, parsed, format)) {
                    return false;
                }
                StoreDouble(value.data(), DateTimeToEngineTimestamp(parsed));
                return true;
            default:
                return false;
        }
    } catch (const db::EConvertError&) {
        return false;
    }
}

bool IsValidValueText(std::string_view text, EngineDataType type,
                      const db::TFormatSettings& format) {
    if (text.empty()) {
        return true;
    }
    switch (type) {
        case kTypeBoolean:
            return IsValidBooleanText(text);
        case kTypeWord:
            return IsValidWordText(text);
        case kTypeSmallInt:
            return IsValidSmallIntText(text);
        case kTypeInteger:
            return IsValidIntegerText(text);
        case kTypeFloat:
            return IsValidFloatText(text, format);
        case kTypeBCD:
            return IsValidCurrencyText(text, format);
        case kTypeDate:
            return platform::nls::SameTextAscii(text, "DATE") || IsValidDateText(text, format);
        case kTypeTime:
            return platform::nls::SameTextAscii(text, "TIME") || IsValidTimeText(text, format);
        case kTypeTimestamp:
            return platform::nls::SameTextAscii(text, "NOW") ||
                   platform::nls::SameTextAscii(text, "DATE") ||
                   platform::nls::SameTextAscii(text, "TIME") || IsValidDateText(text, format) ||
                   IsValidDateTimeText(text, format) || IsValidTimeText(text, format);
        default:
            return true;
    }
}

}  // namespace strata
