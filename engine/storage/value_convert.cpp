#include "engine/storage/value_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/byte_order.h"
#include "engine/storage/decimal.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/storage_utils.h"
#include "platform/db/conversions.h"
#include "platform/db/exception.h"

namespace strata {
namespace {

bool IsBytesType(EngineDataType t) {
    return t == kTypeBytes || t == kTypeVarBytes;
}
bool IsTextual(EngineDataType t) {
    return t == kTypeString || IsBytesType(t);
}
bool IsIntegerType(EngineDataType t) {
    return t == kTypeSmallInt || t == kTypeInteger || t == kTypeWord;
}
bool IsNumericType(EngineDataType t) {
    return IsIntegerType(t) || t == kTypeFloat || t == kTypeBCD;
}

bool Convertible(EngineDataType from, EngineDataType to) {
    if (from == to) {
        return from != kTypeNone;
    }
    if (to == kTypeNone || to == kTypeBlob || from == kTypeBlob || from == kTypeNone) {
        return false;
    }
    if (IsTextual(from) || IsTextual(to)) {
        return true;
    }
    switch (from) {
        case kTypeDate:
            return to == kTypeTimestamp;
        case kTypeBoolean:
            return IsIntegerType(to) || to == kTypeBCD;
        // Booleans go to and from every integer type, also where CAST takes no such pair.
        case kTypeSmallInt:
        case kTypeWord:
        case kTypeInteger:
            return IsNumericType(to) || to == kTypeBoolean;
        case kTypeFloat:
        case kTypeBCD:
            return IsNumericType(to);
        case kTypeTime:
            return to == kTypeTimestamp;
        case kTypeTimestamp:
            return to == kTypeDate || to == kTypeTime;
        default:
            return false;
    }
}

// Half away from zero, as every conversion of a fraction to a whole number here.
std::int64_t RoundCurrencyUnits(db::Currency c) {
    const std::int64_t raw = c.Raw();
    std::int64_t units = raw / db::Currency::Scale;
    const std::int64_t remainder = raw % db::Currency::Scale;
    if (remainder * 2 >= db::Currency::Scale) {
        ++units;
    } else if (remainder * 2 <= -db::Currency::Scale) {
        --units;
    }
    return units;
}

std::optional<std::int64_t> WholeNumber(const EngineNumber& n, bool exact_only) {
    switch (n.kind) {
        case EngineNumber::Kind::Integer:
            return n.integer;
        case EngineNumber::Kind::Float: {
            if (!std::isfinite(n.real)) {
                return std::nullopt;
            }
            const double r = std::round(n.real);
            if ((exact_only && r != n.real) || r < -9.2e18 || r > 9.2e18) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(r);
        }
        case EngineNumber::Kind::Currency:
            if (exact_only && n.currency.Raw() % db::Currency::Scale != 0) {
                return std::nullopt;
            }
            return RoundCurrencyUnits(n.currency);
    }
    return std::nullopt;
}

bool WriteNumber(const EngineNumber& n, EngineDataType type, std::uint8_t scale, std::byte* out,
                 bool exact_only) {
    switch (type) {
        case kTypeSmallInt:
        case kTypeInteger:
        case kTypeWord:
        case kTypeBoolean: {
            const std::optional<std::int64_t> v = WholeNumber(n, exact_only);
            if (!v) {
                return false;
            }
            if (type == kTypeBoolean) {
                StoreUInt16(out, *v != 0 ? 1 : 0);
            } else if (type == kTypeSmallInt) {
                if (*v < std::numeric_limits<std::int16_t>::min() ||
                    *v > std::numeric_limits<std::int16_t>::max()) {
                    return false;
                }
                StoreInt16(out, static_cast<std::int16_t>(*v));
            } else if (type == kTypeWord) {
                if (*v < 0 || *v > std::numeric_limits<std::uint16_t>::max()) {
                    return false;
                }
                StoreUInt16(out, static_cast<std::uint16_t>(*v));
            } else {
                if (*v < std::numeric_limits<std::int32_t>::min() ||
                    *v > std::numeric_limits<std::int32_t>::max()) {
                    return false;
                }
                StoreInt32(out, static_cast<std::int32_t>(*v));
            }
            return true;
        }
        case kTypeFloat: {
            double v = 0.0;
            switch (n.kind) {
                case EngineNumber::Kind::Integer:
                    v = static_cast<double>(n.integer);
                    break;
                case EngineNumber::Kind::Float:
                    v = n.real;
                    break;
                case EngineNumber::Kind::Currency:
                    v = n.currency.ToDouble();
                    break;
            }
            StoreDouble(out, v);
            return true;
        }
        case kTypeBCD: {
            std::optional<std::int64_t> scaled;
            switch (n.kind) {
                case EngineNumber::Kind::Integer:
                    if (const auto c = db::Currency::FromUnits(n.integer)) {
                        scaled = TryEncodeScaledCurrency(scale, *c);
                    }
                    break;
                case EngineNumber::Kind::Float:
                    scaled = TryEncodeScaledFloat(scale, n.real);
                    // Arithmetic on BCD goes through currency values, so the value must fit one.
                    if (scaled && !TryDecodeScaledCurrency(*scaled)) {
                        scaled.reset();
                    }
                    break;
                case EngineNumber::Kind::Currency:
                    scaled = TryEncodeScaledCurrency(scale, n.currency);
                    break;
            }
            if (!scaled) {
                return false;
            }
            StoreInt64(out, *scaled);
            return true;
        }
        default:
            return false;
    }
}

// The digits of a scaled decimal at its own scale: "-1234.50".
std::string PlainDecimalText(std::int64_t scaled, char decimal_separator) {
    const bool negative = scaled < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    const auto scale = static_cast<std::size_t>(magnitude % 10);
    std::string digits = std::to_string(magnitude / 10);
    if (digits.size() <= scale) {
        digits.insert(0, scale + 1 - digits.size(), '0');
    }
    if (scale > 0) {
        digits.insert(digits.size() - scale, 1, decimal_separator);
    }
    return negative && magnitude / 10 != 0 ? "-" + digits : digits;
}

std::optional<std::string> ValueToText(EngineDataType type, const std::byte* p, std::uint32_t size,
                                       const db::TFormatSettings& format) {
    try {
        switch (type) {
            case kTypeString: {
                const auto* chars = reinterpret_cast<const char*>(p);
                return std::string(chars, strnlen(chars, size));
            }
            case kTypeBytes:
            case kTypeVarBytes:
                return std::string(reinterpret_cast<const char*>(p), size);
            case kTypeDate:
                return db::FormatDateTime(format.ShortDateFormat,
                                          EngineDateToDateTime(LoadInt32(p)), format);
            case kTypeTime:
                return db::FormatDateTime(format.LongTimeFormat, EngineTimeToDateTime(LoadInt32(p)),
                                          format);
            case kTypeTimestamp: {
                const db::TDateTime value = EngineTimestampToDateTime(LoadDouble(p));
                std::string text = db::FormatDateTime(format.ShortDateFormat, value, format);
                if (db::TimeOf(value).Value != 0.0) {
                    text += " " + db::FormatDateTime(format.LongTimeFormat, value, format);
                }
                return text;
            }
            case kTypeBoolean:
                return std::string(BooleanToText(LoadUInt16(p) != 0));
            case kTypeSmallInt:
                return std::to_string(LoadInt16(p));
            case kTypeInteger:
                return std::to_string(LoadInt32(p));
            case kTypeWord:
                return std::to_string(LoadUInt16(p));
            case kTypeFloat:
                return db::FloatToStr(LoadDouble(p), format);
            case kTypeBCD:
                return PlainDecimalText(LoadInt64(p), format.DecimalSeparator);
            default:
                return std::nullopt;
        }
    } catch (const db::EConvertError&) {
        return std::nullopt;
    }
}

bool TextToValue(std::string_view text, EngineDataType type, std::uint8_t scale, std::byte* out,
                 const db::TFormatSettings& format) {
    switch (type) {
        case kTypeDate:
        case kTypeTime:
        case kTypeTimestamp:
            return TextToDateTimeValue(text, type, std::span<std::byte>(out, FixedDataSize(type)),
                                       format);
        case kTypeSmallInt:
        case kTypeInteger:
        case kTypeWord: {
            std::int64_t value = 0;
            if (!db::TryStrToInt64(text, value)) {
                return false;
            }
            EngineNumber n;
            n.integer = value;
            return WriteNumber(n, type, 0, out, true);
        }
        case kTypeFloat: {
            double value = 0.0;
            if (!db::TryStrToFloat(text, value, format)) {
                return false;
            }
            StoreDouble(out, value);
            return true;
        }
        case kTypeBCD: {
            db::Currency value;
            if (!db::TryStrToCurr(text, value, format)) {
                return false;
            }
            EngineNumber n;
            n.kind = EngineNumber::Kind::Currency;
            n.currency = value;
            return WriteNumber(n, type, scale, out, false);
        }
        case kTypeBoolean:
            try {
                StoreUInt16(out, StrToBoolean(text) ? 1 : 0);
                return true;
            } catch (const db::EConvertError&) {
                return false;
            }
        default:
            return false;
    }
}

bool ConvertDateTimes(EngineDataType from, const std::byte* p, EngineDataType to, std::byte* out) {
    constexpr double kDayMs = kMSecsPerDay;
    if (from == kTypeDate && to == kTypeTimestamp) {
        StoreDouble(out, static_cast<double>(LoadInt32(p)) * kDayMs);
        return true;
    }
    if (from == kTypeTime && to == kTypeTimestamp) {
        StoreDouble(out, static_cast<double>(db::DateDelta) * kDayMs + LoadInt32(p));
        return true;
    }
    const double ms = LoadDouble(p);
    if (!std::isfinite(ms)) {
        return false;
    }
    const double rounded = std::round(ms);
    const double day = std::floor(rounded / kDayMs);
    if (day < std::numeric_limits<std::int32_t>::min() ||
        day > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    if (to == kTypeDate) {
        StoreInt32(out, static_cast<std::int32_t>(day));
    } else {
        StoreInt32(out, static_cast<std::int32_t>(rounded - day * kDayMs));
    }
    return true;
}

bool Convert(EngineDataType source_type, std::uint32_t source_size, const std::byte* p,
             std::uint8_t dest_scale, std::uint32_t dest_size, EngineDataType dest_type,
             std::byte* out, const db::TFormatSettings& format) {
    if (dest_type == kTypeString) {
        if (dest_size == 0) {
            return false;
        }
        const std::optional<std::string> text = ValueToText(source_type, p, source_size, format);
        if (!text) {
            return false;
        }
        const std::size_t n = std::min<std::size_t>(text->size(), dest_size - 1);
        std::memcpy(out, text->data(), n);
        return true;
    }
    if (IsBytesType(dest_type)) {
        std::size_t n = source_type == kTypeString
                            ? strnlen(reinterpret_cast<const char*>(p), source_size)
                            : (IsBytesType(source_type) ? source_size : FixedDataSize(source_type));
        n = std::min<std::size_t>(n, dest_size);
        std::memcpy(out, p, n);
        return true;
    }
    if (source_type == kTypeString) {
        const auto* chars = reinterpret_cast<const char*>(p);
        return TextToValue(std::string_view(chars, strnlen(chars, source_size)), dest_type,
                           dest_scale, out, format);
    }
    if (IsBytesType(source_type)) {
        // Bytes hold a value's raw encoding.
        std::memcpy(out, p, std::min(source_size, FixedDataSize(dest_type)));
        // Raw bytes may hold no value of the type at all: a day past the calendar, a time
        // outside the day, a float that is no number, a decimal without its scale digit.
        switch (dest_type) {
            case kTypeBoolean:
                StoreUInt16(out, NormalizeBoolean(LoadUInt16(out)));
                return true;
            case kTypeDate:
            case kTypeTime:
            case kTypeTimestamp:
                return ValueToText(dest_type, out, FixedDataSize(dest_type), format).has_value();
            case kTypeFloat:
                return std::isfinite(LoadDouble(out));
            case kTypeBCD: {
                const std::optional<db::Currency> amount = TryDecodeScaledCurrency(LoadInt64(out));
                const std::optional<std::int64_t> scaled =
                    amount ? TryEncodeScaledCurrency(dest_scale, *amount) : std::nullopt;
                if (!scaled)
                    return false;
                StoreInt64(out, *scaled);
                return true;
            }
            default:
                return true;
        }
    }
    if (source_type == kTypeBCD && dest_type == kTypeBCD) {
        if (ScaleOf(LoadInt64(p)) == dest_scale) {
            std::memcpy(out, p, 8);
            return true;
        }
    } else if (source_type == dest_type) {
        std::memcpy(out, p, FixedDataSize(dest_type));
        if (dest_type == kTypeBoolean) {
            StoreUInt16(out, NormalizeBoolean(LoadUInt16(out)));
        }
        return true;
    }
    if ((IsNumericType(source_type) || source_type == kTypeBoolean) &&
        (IsNumericType(dest_type) || dest_type == kTypeBoolean)) {
        const std::optional<EngineNumber> n = ReadEngineNumber(source_type, p);
        return n && WriteNumber(*n, dest_type, dest_scale, out, false);
    }
    return ConvertDateTimes(source_type, p, dest_type, out);
}

std::uint32_t NeededSize(EngineDataType type, std::uint32_t size) {
    return IsTextual(type) || type == kTypeBlob ? size : FixedDataSize(type);
}

}  // namespace

long double EngineNumber::AsLongDouble() const {
    switch (kind) {
        case Kind::Integer:
            return static_cast<long double>(integer);
        case Kind::Float:
            return real;
        case Kind::Currency:
            return static_cast<long double>(currency.Raw()) / db::Currency::Scale;
    }
    return 0;
}

std::optional<std::int64_t> EngineNumber::AsRaw() const {
    if (kind == Kind::Currency)
        return currency.Raw();
    if (kind == Kind::Integer)
        return integer * db::Currency::Scale;
    return std::nullopt;
}

std::optional<EngineNumber> ReadEngineNumber(EngineDataType type, const std::byte* p) {
    EngineNumber n;
    switch (type) {
        case kTypeSmallInt:
            n.integer = LoadInt16(p);
            return n;
        case kTypeInteger:
            n.integer = LoadInt32(p);
            return n;
        case kTypeWord:
            n.integer = LoadUInt16(p);
            return n;
        case kTypeBoolean:
            n.integer = NormalizeBoolean(LoadUInt16(p));
            return n;
        case kTypeFloat:
            n.kind = EngineNumber::Kind::Float;
            n.real = LoadDouble(p);
            return n;
        case kTypeBCD: {
            const std::optional<db::Currency> c = TryDecodeScaledCurrency(LoadInt64(p));
            if (!c)
                return std::nullopt;
            n.kind = EngineNumber::Kind::Currency;
            n.currency = *c;
            return n;
        }
        default:
            return std::nullopt;
    }
}

bool ConvertValue(EngineDataType source_type, std::uint32_t source_size,
                  std::uint8_t /*source_scale*/, std::span<std::byte> buffer,
                  std::uint8_t dest_scale, std::uint32_t dest_size, EngineDataType dest_type,
                  const db::TFormatSettings& format) {
    if (!Convertible(source_type, dest_type) ||
        NeededSize(source_type, source_size) > buffer.size() ||
        NeededSize(dest_type, dest_size) > buffer.size()) {
        return false;
    }
    if (source_type == kTypeBlob) {
        return true;  // the caller copies BLOB bytes itself
    }
    // A BCD value carries its own scale in its last digit; the argument is only a hint.
    std::vector<std::byte> result(buffer.size());
    if (!Convert(source_type, source_size, buffer.data(), dest_scale, dest_size, dest_type,
                 result.data(), format)) {
        return false;
    }
    std::copy(result.begin(), result.end(), buffer.begin());
    return true;
}

bool ConvertValue(EngineDataType source_type, std::uint32_t source_size, std::uint8_t source_scale,
                  std::span<std::byte> buffer, std::uint8_t dest_scale, std::uint32_t dest_size,
                  EngineDataType dest_type) {
    return ConvertValue(source_type, source_size, source_scale, buffer, dest_scale, dest_size,
                        dest_type, db::FormatSettings());
}

bool ConvertConstantToken(const TExpToken& source, std::span<const std::byte> value,
                          const TExpToken& target, std::span<std::byte> out) {
    const EngineDataType from = source.DataType;
    const EngineDataType to = target.DataType;
    const std::uint32_t in_size = FixedDataSize(from);
    const std::uint32_t out_size = FixedDataSize(to);
    if (in_size == 0 || out_size == 0 || value.size() < in_size || out.size() < out_size) {
        return false;
    }
    std::byte result[8] = {};
    if (IsNumericType(from) && IsNumericType(to)) {
        const std::optional<EngineNumber> n = ReadEngineNumber(from, value.data());
        if (!n || !WriteNumber(*n, to, target.Scale, result, true)) {
            return false;
        }
    } else if ((from == kTypeTimestamp && to == kTypeDate) ||
               (from == kTypeDate && to == kTypeTimestamp)) {
        if (!ConvertDateTimes(from, value.data(), to, result)) {
            return false;
        }
    } else {
        return false;
    }
    std::memcpy(out.data(), result, out_size);
    return true;
}

}  // namespace strata
