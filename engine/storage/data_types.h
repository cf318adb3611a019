#pragma once

// Engine data types and their in-memory encodings, shared by records, keys, expression tokens and
// the SQL processor. Multi-byte values are little-endian.
//
//   code  type       size  encoding
//   0     none       0     untyped (a bare NULL constant)
//   1     string     n+1   characters and a NUL (n at most 250)
//   2     date       4     signed day number, 0001-01-01 = 1
//   3     BLOB       -     a reference in records, the bytes in expressions
//   4     boolean    2     0 or 1
//   5     smallint   2     signed 16-bit
//   6     integer    4     signed 32-bit (subtype 29: auto-increment)
//   7     float      8     IEEE double (subtype 21: money)
//   8     BCD        8     scaled decimal (engine/storage/decimal.h), scale 0..4
//   9     bytes      n     raw bytes
//   10    time       4     signed milliseconds since midnight
//   11    timestamp  8     double: day number * 86400000 + milliseconds of the day
//   12    word       2     unsigned 16-bit
//   15    var bytes  n     raw bytes
//
// Text conversions use a set of formats. For a table they are the formats of its language, swapped
// into the process-wide ones under the format lock; language 0 has fixed formats (yyyy-mm-dd, "."
// decimals, English names), so stored values read and write the same on every machine.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/storage/text_compare.h"
#include "platform/db/date_time.h"
#include "platform/db/format_settings.h"

namespace strata {

using EngineDataType = std::uint8_t;

inline constexpr EngineDataType kTypeNone = 0;
inline constexpr EngineDataType kTypeString = 1;
inline constexpr EngineDataType kTypeDate = 2;
inline constexpr EngineDataType kTypeBlob = 3;
inline constexpr EngineDataType kTypeBoolean = 4;
inline constexpr EngineDataType kTypeSmallInt = 5;
inline constexpr EngineDataType kTypeInteger = 6;
inline constexpr EngineDataType kTypeFloat = 7;
inline constexpr EngineDataType kTypeBCD = 8;
inline constexpr EngineDataType kTypeBytes = 9;
inline constexpr EngineDataType kTypeTime = 10;
inline constexpr EngineDataType kTypeTimestamp = 11;
inline constexpr EngineDataType kTypeWord = 12;
inline constexpr EngineDataType kTypeVarBytes = 15;

inline constexpr std::uint8_t kSubtypeMoney = 21;
inline constexpr std::uint8_t kSubtypeMemo = 22;
inline constexpr std::uint8_t kSubtypeFormattedMemo = 24;
inline constexpr std::uint8_t kSubtypeGraphic = 26;
inline constexpr std::uint8_t kSubtypeTypedBinary = 28;
inline constexpr std::uint8_t kSubtypeAutoInc = 29;

// A value buffer of a conversion or an expression constant.
inline constexpr std::size_t kValueBufferSize = 251;
// Longest string value (its size is one more, for the NUL).
inline constexpr std::size_t kMaxStringLength = 250;

inline constexpr double kMSecsPerDay = 86400000.0;

// The size of a value of a fixed-size type (boolean, integers, float, BCD, date, time,
// timestamp); 0 for the others, whose size is the field's.
std::uint32_t FixedDataSize(EngineDataType type);

// Every 16-bit value above 1 becomes 1 (operators form true as 0xFFFF first).
constexpr std::uint16_t NormalizeBoolean(std::uint16_t value) {
    return value > 1 ? 1 : value;
}

// Between the class library's TDateTime and the engine's date (day number), time (milliseconds)
// and timestamp (milliseconds since 0001-01-01 00:00). Values outside the years 1..9999 raise
// db::EConvertError. A time converted to a timestamp lies on 1899-12-30, the class library's day 0.
std::int32_t DateTimeToEngineDate(db::TDateTime value);
std::int32_t DateTimeToEngineTime(db::TDateTime value);
double DateTimeToEngineTimestamp(db::TDateTime value);
db::TDateTime EngineDateToDateTime(std::int32_t day_number);
db::TDateTime EngineTimeToDateTime(std::int32_t msecs);
db::TDateTime EngineTimestampToDateTime(double msecs);

// The fixed formats of language 0.
db::TFormatSettings FixedFormatSettings();

// The format swap around a conversion or parse: copy the process-wide formats out, copy a record
// in, and load a language's formats into a record. The caller holds the format lock.
void SaveFormatSettings(db::TFormatSettings& record);
void RestoreFormatSettings(const db::TFormatSettings& record);
// Language 0: the fixed formats; otherwise the locale's, with English fallbacks for anything the
// locale (or an unknown locale) does not give.
void LoadLocaleFormats(LanguageId language, SortId sort, db::TFormatSettings& record);

// The whole swap as one scope: takes the format lock, swaps the formats of a language in, and
// restores the previous ones and releases the lock when it ends, also on an exception.
class LocaleFormatScope {
  public:
    LocaleFormatScope(LanguageId language, SortId sort);
    ~LocaleFormatScope();
    LocaleFormatScope(const LocaleFormatScope&) = delete;
    LocaleFormatScope& operator=(const LocaleFormatScope&) = delete;

    // The formats in force inside the scope, as this scope's own copy: pass it to conversions.
    const db::TFormatSettings& Formats() const { return loaded_; }

  private:
    db::TFormatSettings saved_;
    db::TFormatSettings loaded_;
};

// Parses a date (day number, 4 bytes), time (milliseconds, 4 bytes) or timestamp (8 bytes) into
// `value`. False, with `value` untouched, for a text that does not parse, a type that is none of
// the three, or a buffer too small; never raises.
bool TextToDateTimeValue(std::string_view text, EngineDataType type, std::span<std::byte> value,
                         const db::TFormatSettings& format);

// True when the text is acceptable for a field of the type: empty text, strings, bytes and BLOBs
// always; "DATE", "TIME" and "NOW" (any case) where they apply; otherwise a valid value text.
bool IsValidValueText(std::string_view text, EngineDataType type,
                      const db::TFormatSettings& format);

}  // namespace strata
