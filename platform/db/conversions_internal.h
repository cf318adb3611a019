#pragma once

// What the number, float-mask and date conversions share: exact decimal digits and the
// text helpers of their scanners and formatters. Internal to platform/db.

#include <optional>
#include <string>
#include <string_view>

#include "platform/db/conversions.h"
#include "platform/nls/text.h"

namespace db::detail {

// Exact decimal digits: value = 0.d1d2d3... x 10^point, digits without leading zeros; an empty
// digit string is zero.
struct Decimal {
    bool negative = false;
    std::string digits;
    int point = 0;

    bool IsZero() const { return digits.empty(); }

    void Trim() {
        const std::size_t first = digits.find_first_not_of('0');
        if (first == std::string::npos) {
            digits.clear();
            point = 0;
            return;
        }
        digits.erase(0, first);
        point -= static_cast<int>(first);
        digits.erase(digits.find_last_not_of('0') + 1);
    }

    // Keeps `keep` leading digits, rounding half away from zero; keep < 0 gives zero.
    void RoundToDigits(int keep) {
        if (keep < 0) {
            digits.clear();
            point = 0;
            return;
        }
        if (static_cast<std::size_t>(keep) >= digits.size()) {
            return;
        }
        const bool up = digits[static_cast<std::size_t>(keep)] >= '5';
        digits.resize(static_cast<std::size_t>(keep));
        if (up) {
            int i = keep - 1;
            while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9') {
                digits[static_cast<std::size_t>(i)] = '0';
                --i;
            }
            if (i < 0) {
                digits.insert(digits.begin(), '1');
                ++point;
            } else {
                ++digits[static_cast<std::size_t>(i)];
            }
        }
        Trim();
    }

    void RoundToDecimals(int decimals) { RoundToDigits(point + decimals); }

    // The digit at position `index` of the integer part counted from its left end, '0' beyond.
    char DigitAt(int index) const {
        return index >= 0 && static_cast<std::size_t>(index) < digits.size()
                   ? digits[static_cast<std::size_t>(index)]
                   : '0';
    }
};

Decimal DecimalFromDouble(double value, int significant);
Decimal DecimalFromCurrency(Currency value);
std::string QuoteError(std::string_view text, std::string_view what);
bool IsBlank(char c);
using platform::nls::AsciiUpper;
using platform::nls::IsAsciiDigit;
bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view word);
bool ScanInteger(std::string_view text, std::int64_t minimum, std::int64_t maximum,
                 std::int64_t& value);
std::string IntegerDigits(const Decimal& d);
std::string FractionDigits(const Decimal& d, int decimals);
std::string GroupThousands(const std::string& digits, char separator);
std::string FixedText(Decimal d, int decimals, bool thousands, const TFormatSettings& format);
std::string ExponentText(int exponent, int min_digits, bool always_sign);
std::string MantissaText(const Decimal& d, int decimals, bool trim, const TFormatSettings& format);
std::string GeneralText(Decimal d, int precision, const TFormatSettings& format);
std::string ApplyCurrencyPattern(const std::string& number, bool negative,
                                 const TFormatSettings& format);
std::string FormatDecimal(const Decimal& value, TFloatFormat float_format, int precision,
                          int digits, const TFormatSettings& format);

}  // namespace db::detail
