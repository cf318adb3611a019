#pragma once

// Decimal rounding and the engine's scaled 64-bit decimal form. A scaled decimal holds a number's
// digits at a fixed scale followed by one more decimal digit that is the scale itself, with the
// sign over the whole: 12.34 at scale 2 is 12342, -0.5 at scale 1 is -51, 7 at scale 0 is 70.
// Fixed-point (BCD) values use it in records, keys and expression constants.
//
// Rounding is half away from zero on the decimal value (for doubles the shortest digits that read
// back as the double), so 1.005 at two places is 1.01, and exact for currency values.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/db/currency.h"

namespace strata {

// The largest scale a scaled decimal can carry in its last digit.
inline constexpr int kMaxScaleDigit = 9;

// `value` rounded half away from zero to `places` (0..255) decimals. NaN and infinities are
// returned unchanged.
double RoundToDecimals(int places, double value);

// nullopt when the value is not finite, the scale is outside 0..9, or the digits do not fit.
std::optional<std::int64_t> TryEncodeScaledFloat(int scale, double value);
std::optional<std::int64_t> TryEncodeScaledCurrency(int scale, db::Currency value);
// nullopt when the amount does not fit a Currency.
std::optional<db::Currency> TryDecodeScaledCurrency(std::int64_t scaled);

// The same, raising db::EConvertError where the Try forms answer nullopt.
std::int64_t EncodeScaledFloat(int scale, double value);
std::int64_t EncodeScaledCurrency(int scale, db::Currency value);
db::Currency DecodeScaledCurrency(std::int64_t scaled);
// Always representable (as the nearest double).
double DecodeScaledFloat(std::int64_t scaled);

// The scale digit of a scaled decimal.
constexpr int ScaleOf(std::int64_t scaled) {
    return static_cast<int>(scaled < 0 ? -(scaled % 10) : scaled % 10);
}

// "##############0" followed, for a scale above 0, by "." and one "0" per decimal place.
std::string BuildDecimalMask(int scale);

}  // namespace strata
