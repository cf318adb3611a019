#include "engine/storage/decimal.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "platform/db/exception.h"

namespace strata {
namespace {

constexpr std::int64_t kPow10[] = {1,       10,       100,       1000,       10000,      100000,
                                   1000000, 10000000, 100000000, 1000000000, 10000000000};

// Largest digit magnitude that still leaves room for the scale digit.
constexpr std::uint64_t kMaxScaledDigits =
    (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - 9) / 10;

// |value| as the shortest digits that read back as the same double: value = 0.digits x 10^point.
// A value written with up to 15 significant digits keeps exactly those (1.005 stays 1.005, so it
// rounds up at two places), and one that needs 16 or 17 keeps them all instead of being rounded
// at the 15th before it is rounded at its scale.
struct Digits {
    std::string digits;
    int point = 0;
};

Digits DecimalDigits(double magnitude) {
    char buffer[48];
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = text.find('e');
    Digits d;
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') {
            d.digits.push_back(text[i]);
        }
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);
    d.point = exponent + 1;
    return d;
}

// The integer digits of |value| rounded half away from zero at `places` decimals; nullopt when
// they exceed `limit`.
std::optional<std::uint64_t> RoundedScaledMagnitude(double magnitude, int places,
                                                    std::uint64_t limit) {
    if (magnitude == 0.0) {
        return 0;
    }
    const Digits d = DecimalDigits(magnitude);
    const int keep = d.point + places;  // digits that stay
    if (keep < 0) {
        return 0;
    }
    if (keep > 19) {
        return std::nullopt;
    }
    std::uint64_t result = 0;
    for (int i = 0; i < keep; ++i) {
        const int digit = static_cast<std::size_t>(i) < d.digits.size()
                              ? d.digits[static_cast<std::size_t>(i)] - '0'
                              : 0;
        if (__builtin_mul_overflow(result, 10u, &result) ||
            __builtin_add_overflow(result, static_cast<unsigned>(digit), &result)) {
            return std::nullopt;
        }
    }
    if (static_cast<std::size_t>(keep) < d.digits.size() &&
        d.digits[static_cast<std::size_t>(keep)] >= '5') {
        ++result;
    }
    if (result > limit) {
        return std::nullopt;
    }
    return result;
}

std::int64_t WithScale(std::uint64_t magnitude, bool negative, int scale) {
    const auto value =
        static_cast<std::int64_t>(magnitude * 10 + static_cast<std::uint64_t>(scale));
    return negative ? -value : value;
}

}  // namespace

double RoundToDecimals(int places, double value) {
    if (value == 0.0) {
        return 0.0;
    }
    if (!std::isfinite(value)) {
        return value;
    }
    const Digits d = DecimalDigits(std::fabs(value));
    const int keep = d.point + places;
    if (keep >= static_cast<int>(d.digits.size())) {
        return value;  // nothing to round at this position
    }
    std::string text = std::signbit(value) ? "-" : "";
    if (keep < 0) {
        return 0.0;
    }
    // Round the kept digits as an integer, then put the point back with an exponent.
    std::uint64_t kept = 0;
    for (int i = 0; i < keep; ++i) {
        kept = kept * 10 + static_cast<std::uint64_t>(d.digits[static_cast<std::size_t>(i)] - '0');
    }
    if (d.digits[static_cast<std::size_t>(keep)] >= '5') {
        ++kept;
    }
    if (kept == 0) {
        return 0.0;
    }
    text += std::to_string(kept) + "e" + std::to_string(-places);
    double result = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

std::optional<std::int64_t> TryEncodeScaledFloat(int scale, double value) {
    if (scale < 0 || scale > kMaxScaleDigit || !std::isfinite(value)) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> magnitude =
        RoundedScaledMagnitude(std::fabs(value), scale, kMaxScaledDigits);
    if (!magnitude) {
        return std::nullopt;
    }
    return WithScale(*magnitude, value < 0 && *magnitude != 0, scale);
}

std::optional<std::int64_t> TryEncodeScaledCurrency(int scale, db::Currency value) {
    if (scale < 0 || scale > kMaxScaleDigit) {
        return std::nullopt;
    }
    const std::int64_t raw = value.Raw();
    const bool negative = raw < 0;
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(raw) : static_cast<std::uint64_t>(raw);
    const int places = scale < 4 ? scale : 4;
    const auto unit = static_cast<std::uint64_t>(kPow10[4 - places]);
    const std::uint64_t remainder = magnitude % unit;
    magnitude /= unit;
    if (remainder * 2 >= unit) {
        ++magnitude;
    }
    if (scale > 4 && __builtin_mul_overflow(
                         magnitude, static_cast<std::uint64_t>(kPow10[scale - 4]), &magnitude)) {
        return std::nullopt;
    }
    if (magnitude > kMaxScaledDigits) {
        return std::nullopt;
    }
    return WithScale(magnitude, negative && magnitude != 0, scale);
}

std::optional<db::Currency> TryDecodeScaledCurrency(std::int64_t scaled) {
    const bool negative = scaled < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    const int scale = static_cast<int>(magnitude % 10);
    std::uint64_t digits = magnitude / 10;
    if (scale <= 4) {
        if (__builtin_mul_overflow(digits, static_cast<std::uint64_t>(kPow10[4 - scale]),
                                   &digits)) {
            return std::nullopt;
        }
    } else {
        const auto unit = static_cast<std::uint64_t>(kPow10[scale - 4]);
        const std::uint64_t remainder = digits % unit;
        digits = digits / unit + (remainder * 2 >= unit ? 1 : 0);
    }
    if (digits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    const auto value = static_cast<std::int64_t>(digits);
    return db::Currency::FromRaw(negative ? -value : value);
}

std::int64_t EncodeScaledFloat(int scale, double value) {
    const std::optional<std::int64_t> scaled = TryEncodeScaledFloat(scale, value);
    if (!scaled) {
        throw db::EConvertError("Value out of range for a decimal with scale " +
                                std::to_string(scale));
    }
    return *scaled;
}

std::int64_t EncodeScaledCurrency(int scale, db::Currency value) {
    const std::optional<std::int64_t> scaled = TryEncodeScaledCurrency(scale, value);
    if (!scaled) {
        throw db::EConvertError("Value out of range for a decimal with scale " +
                                std::to_string(scale));
    }
    return *scaled;
}

db::Currency DecodeScaledCurrency(std::int64_t scaled) {
    const std::optional<db::Currency> value = TryDecodeScaledCurrency(scaled);
    if (!value) {
        throw db::EConvertError("Decimal value out of range for a currency value");
    }
    return *value;
}

double DecodeScaledFloat(std::int64_t scaled) {
    const bool negative = scaled < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    const int scale = static_cast<int>(magnitude % 10);
    const std::string text =
        (negative ? "-" : "") + std::to_string(magnitude / 10) + "e-" + std::to_string(scale);
    double result = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

std::string BuildDecimalMask(int scale) {
    std::string mask = "##############0";
    if (scale > 0) {
        mask.push_back('.');
        mask.append(static_cast<std::size_t>(scale), '0');
    }
    return mask;
}

}  // namespace strata
