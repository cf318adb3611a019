#pragma once

// Conversion of a value between engine data types, in its value buffer.

#include <cstdint>
#include <optional>
#include <span>

#include "engine/storage/data_types.h"
#include "platform/db/currency.h"
#include "platform/db/format_settings.h"

namespace strata {

class TExpToken;

// A numeric value read exactly: the integer types (and booleans) as integers, float as a
// double, BCD as currency units.
struct EngineNumber {
    enum class Kind { Integer, Float, Currency };
    Kind kind = Kind::Integer;
    std::int64_t integer = 0;
    double real = 0.0;
    db::Currency currency;

    long double AsLongDouble() const;
    double AsDouble() const { return static_cast<double>(AsLongDouble()); }
    // Ten-thousandths; integers always fit (an int32 times 10000); none for a float.
    std::optional<std::int64_t> AsRaw() const;
};

// The number in a value buffer of the type; none for a type that holds no number and for a
// BCD value outside the currency range. Booleans read as 0 or 1.
std::optional<EngineNumber> ReadEngineNumber(EngineDataType type, const std::byte* p);

// Converts the value in `buffer` (at least as large as both sizes; 251 bytes for expression
// values) from the source type, size and scale to the destination's, using `format` for texts.
//
// True when the value now holds the destination type: everything after it in the buffer is zero.
// False when the pair does not convert, the text does not parse, or the value does not fit the
// destination (every range is checked; nothing wraps). On false the buffer is unchanged. Never
// raises for bad values.
//
// Pairs: strings and bytes convert to every type but BLOB; dates to string, bytes, date and
// timestamp; booleans to string, bytes, boolean, the integer types and BCD; smallint and word to
// every numeric type, boolean, string and bytes; integer, float and BCD to every numeric type,
// string and bytes; times to string, bytes, time and timestamp; timestamps to string, bytes, date,
// time and timestamp. Same-type conversions cut strings and re-scale BCD.
// Bytes convert to and from other types by their raw encoding; strings are cut to the
// destination size (its last byte stays NUL).
bool ConvertValue(EngineDataType source_type, std::uint32_t source_size, std::uint8_t source_scale,
                  std::span<std::byte> buffer, std::uint8_t dest_scale, std::uint32_t dest_size,
                  EngineDataType dest_type, const db::TFormatSettings& format);

// The same with the process-wide formats (swapped in by the caller under the format lock).
bool ConvertValue(EngineDataType source_type, std::uint32_t source_size, std::uint8_t source_scale,
                  std::span<std::byte> buffer, std::uint8_t dest_scale, std::uint32_t dest_size,
                  EngineDataType dest_type);

// Converts a constant's value to the type (and scale) of `target`, writing it into `out`: the
// numeric types among each other, date to timestamp and timestamp to date. A float or BCD value
// converts to an integer type only when it is a whole number, so a comparison with 2.5 never
// becomes a comparison with 3. False when the pair does not convert or the value does not fit.
bool ConvertConstantToken(const TExpToken& source, std::span<const std::byte> value,
                          const TExpToken& target, std::span<std::byte> out);

}  // namespace strata
