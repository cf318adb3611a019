#include "platform/db/conversions.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "platform/db/conversions_internal.h"

namespace db {
namespace detail {

// At most `significant` (1..17) digits of a finite double.
Decimal DecimalFromDouble(double value, int significant) {
    Decimal d;
    d.negative = std::signbit(value) && value != 0.0;
    if (value == 0.0) {
        return d;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*e", significant - 1, std::fabs(value));
    const std::string_view text(buffer);
    const std::size_t e = text.find('e');
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') {
            d.digits.push_back(text[i]);
        }
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);
    d.point = exponent + 1;
    d.Trim();
    return d;
}

Decimal DecimalFromCurrency(Currency value) {
    Decimal d;
    const std::int64_t raw = value.Raw();
    d.negative = raw < 0;
    // Unsigned so that the most negative amount has a magnitude too.
    const std::uint64_t magnitude =
        raw < 0 ? 0 - static_cast<std::uint64_t>(raw) : static_cast<std::uint64_t>(raw);
    d.digits = std::to_string(magnitude);
    d.point = static_cast<int>(d.digits.size()) - 4;
    d.Trim();
    return d;
}

std::string QuoteError(std::string_view text, std::string_view what) {
    std::string message = "'";
    message.append(text);
    message.append("' is not a valid ");
    message.append(what);
    return message;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view word) {
    return !word.empty() && pos <= text.size() &&
           platform::nls::StartsWithAscii(text.substr(pos), word);
}

// Number text: sign, digits, decimal separator, exponent. Collects the digits exactly.
struct NumberText {
    bool negative = false;
    std::string digits;  // integer and fraction digits together
    int fraction_digits = 0;
    std::int64_t exponent = 0;
};

std::optional<NumberText> ScanNumberText(std::string_view text, char decimal_separator) {
    NumberText n;
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        n.negative = text[i] == '-';
        ++i;
    }
    bool any_digit = false;
    while (i < text.size() && IsAsciiDigit(text[i])) {
        n.digits.push_back(text[i++]);
        any_digit = true;
    }
    if (i < text.size() && text[i] == decimal_separator) {
        ++i;
        while (i < text.size() && IsAsciiDigit(text[i])) {
            n.digits.push_back(text[i++]);
            ++n.fraction_digits;
            any_digit = true;
        }
    }
    if (!any_digit) {
        return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            exp_negative = text[i] == '-';
            ++i;
        }
        if (i >= text.size() || !IsAsciiDigit(text[i])) {
            return std::nullopt;
        }
        while (i < text.size() && IsAsciiDigit(text[i])) {
            // Far beyond any representable exponent; stop growing, the result fails anyway.
            if (n.exponent < 100000) {
                n.exponent = n.exponent * 10 + (text[i] - '0');
            }
            ++i;
        }
        if (exp_negative) {
            n.exponent = -n.exponent;
        }
    }
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    return n;
}

bool ScanInteger(std::string_view text, std::int64_t minimum, std::int64_t maximum,
                 std::int64_t& value) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (text.size() - i > 2 && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) {
        return false;
    }
    std::uint64_t magnitude = 0;
    const auto [end, ec] =
        std::from_chars(text.data() + i, text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    if (negative) {
        const auto limit = static_cast<std::uint64_t>(-(minimum + 1)) + 1;
        if (magnitude > limit) {
            return false;
        }
        value = magnitude == limit ? minimum : -static_cast<std::int64_t>(magnitude);
        return true;
    }
    if (magnitude > static_cast<std::uint64_t>(maximum)) {
        return false;
    }
    value = static_cast<std::int64_t>(magnitude);
    return true;
}

std::string IntegerDigits(const Decimal& d) {
    if (d.point <= 0) {
        return "0";
    }
    std::string out;
    for (int i = 0; i < d.point; ++i) {
        out.push_back(d.DigitAt(i));
    }
    return out;
}

std::string FractionDigits(const Decimal& d, int decimals) {
    std::string out;
    for (int i = 0; i < decimals; ++i) {
        out.push_back(d.DigitAt(d.point + i));
    }
    return out;
}

std::string GroupThousands(const std::string& digits, char separator) {
    std::string out;
    const std::size_t n = digits.size();
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(digits[i]);
        const std::size_t remaining = n - 1 - i;
        if (remaining > 0 && remaining % 3 == 0) {
            out.push_back(separator);
        }
    }
    return out;
}

// Unsigned fixed text of a rounded decimal.
std::string FixedText(Decimal d, int decimals, bool thousands, const TFormatSettings& format) {
    d.RoundToDecimals(decimals);
    std::string out = IntegerDigits(d);
    if (thousands) {
        out = GroupThousands(out, format.ThousandSeparator);
    }
    if (decimals > 0) {
        out.push_back(format.DecimalSeparator);
        out += FractionDigits(d, decimals);
    }
    return out;
}

std::string ExponentText(int exponent, int min_digits, bool always_sign) {
    std::string digits = std::to_string(exponent < 0 ? -exponent : exponent);
    while (static_cast<int>(digits.size()) < min_digits) {
        digits.insert(digits.begin(), '0');
    }
    if (exponent < 0) {
        return "-" + digits;
    }
    return always_sign ? "+" + digits : digits;
}

// d.ddd with `decimals` digits after the point (trailing zeros dropped when `trim`).
std::string MantissaText(const Decimal& d, int decimals, bool trim, const TFormatSettings& format) {
    std::string out(1, d.IsZero() ? '0' : d.DigitAt(0));
    std::string fraction;
    for (int i = 1; i <= decimals; ++i) {
        fraction.push_back(d.DigitAt(i));
    }
    if (trim) {
        fraction.erase(fraction.find_last_not_of('0') + 1);
    }
    if (!fraction.empty()) {
        out.push_back(format.DecimalSeparator);
        out += fraction;
    }
    return out;
}

std::string GeneralText(Decimal d, int precision, const TFormatSettings& format) {
    d.RoundToDigits(precision);
    if (d.IsZero()) {
        return "0";
    }
    std::string out;
    if (d.point > precision || d.point < -3) {
        out = MantissaText(d, precision - 1, true, format) + "E" +
              ExponentText(d.point - 1, 0, false);
    } else {
        out = IntegerDigits(d);
        const int decimals = static_cast<int>(d.digits.size()) - d.point;
        if (decimals > 0) {
            out.push_back(format.DecimalSeparator);
            out += FractionDigits(d, decimals);
        }
    }
    return d.negative ? "-" + out : out;
}

std::string ApplyCurrencyPattern(const std::string& number, bool negative,
                                 const TFormatSettings& format) {
    const std::string& c = format.CurrencyString;
    if (!negative) {
        switch (format.CurrencyFormat) {
            case 1:
                return number + c;
            case 2:
                return c + " " + number;
            case 3:
                return number + " " + c;
            default:
                return c + number;
        }
    }
    switch (format.NegCurrFormat) {
        case 1:
            return "-" + c + number;
        case 2:
            return c + "-" + number;
        case 3:
            return c + number + "-";
        case 4:
            return "(" + number + c + ")";
        case 5:
            return "-" + number + c;
        case 6:
            return number + "-" + c;
        case 7:
            return number + c + "-";
        case 8:
            return "-" + number + " " + c;
        case 9:
            return "-" + c + " " + number;
        case 10:
            return number + " " + c + "-";
        case 11:
            return c + " " + number + "-";
        case 12:
            return c + " -" + number;
        case 13:
            return number + "- " + c;
        case 14:
            return "(" + c + " " + number + ")";
        case 15:
            return "(" + number + " " + c + ")";
        default:
            return "(" + c + number + ")";
    }
}

std::string FormatDecimal(const Decimal& value, TFloatFormat float_format, int precision,
                          int digits, const TFormatSettings& format) {
    precision = std::clamp(precision, 1, 19);
    digits = std::clamp(digits, 0, 18);
    Decimal d = value;
    switch (float_format) {
        case TFloatFormat::ffGeneral:
            return GeneralText(d, precision, format);
        case TFloatFormat::ffExponent: {
            d.RoundToDigits(precision);
            const int exponent = d.IsZero() ? 0 : d.point - 1;
            const std::string out = MantissaText(d, precision - 1, false, format) + "E" +
                                    ExponentText(exponent, std::min(digits, 4), true);
            return d.negative && !d.IsZero() ? "-" + out : out;
        }
        case TFloatFormat::ffFixed:
        case TFloatFormat::ffNumber:
        case TFloatFormat::ffCurrency: {
            d.RoundToDigits(precision);
            if (d.point > precision) {
                return FormatDecimal(value, TFloatFormat::ffExponent, precision, 3, format);
            }
            const std::string number =
                FixedText(d, digits, float_format != TFloatFormat::ffFixed, format);
            Decimal rounded = d;
            rounded.RoundToDecimals(digits);
            const bool negative = d.negative && !rounded.IsZero();
            if (float_format == TFloatFormat::ffCurrency) {
                return ApplyCurrencyPattern(number, negative, format);
            }
            return negative ? "-" + number : number;
        }
    }
    return {};
}

}  // namespace detail

using namespace detail;

bool TryStrToInt64(std::string_view text, std::int64_t& value) {
    return ScanInteger(text, std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::max(), value);
}

bool TryStrToInt(std::string_view text, std::int32_t& value) {
    std::int64_t wide = 0;
    if (!ScanInteger(text, std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max(), wide)) {
        return false;
    }
    value = static_cast<std::int32_t>(wide);
    return true;
}

std::int32_t StrToInt(std::string_view text) {
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) {
        throw EConvertError(QuoteError(text, "integer value"));
    }
    return value;
}

std::int64_t StrToInt64(std::string_view text) {
    std::int64_t value = 0;
    if (!TryStrToInt64(text, value)) {
        throw EConvertError(QuoteError(text, "integer value"));
    }
    return value;
}

std::string IntToStr(std::int64_t value) {
    return std::to_string(value);
}

bool TryStrToFloat(std::string_view text, double& value, const TFormatSettings& format) {
    const std::optional<NumberText> n = ScanNumberText(text, format.DecimalSeparator);
    if (!n) {
        return false;
    }
    // Rebuilt in the one form from_chars reads, whatever the separator.
    std::string plain = n->negative ? "-" : "";
    const std::size_t integer_digits =
        n->digits.size() - static_cast<std::size_t>(n->fraction_digits);
    plain.append(n->digits, 0, integer_digits);
    if (integer_digits == 0) {
        plain.push_back('0');
    }
    if (n->fraction_digits > 0) {
        plain.push_back('.');
        plain.append(n->digits, integer_digits);
    }
    plain += "e" + std::to_string(n->exponent);
    double result = 0.0;
    const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), result);
    if (ec == std::errc::result_out_of_range) {
        // Underflow reads as zero; overflow fails.
        const std::string_view digits = n->digits;
        if (n->exponent < 0 || digits.find_first_not_of('0') == std::string_view::npos) {
            value = n->negative ? -0.0 : 0.0;
            return true;
        }
        return false;
    }
    if (ec != std::errc() || end != plain.data() + plain.size() || !std::isfinite(result)) {
        return false;
    }
    value = result;
    return true;
}

double StrToFloat(std::string_view text, const TFormatSettings& format) {
    double value = 0.0;
    if (!TryStrToFloat(text, value, format)) {
        throw EConvertError(QuoteError(text, "floating point value"));
    }
    return value;
}

bool TryStrToCurr(std::string_view text, Currency& value, const TFormatSettings& format) {
    const std::optional<NumberText> n = ScanNumberText(text, format.DecimalSeparator);
    if (!n) {
        return false;
    }
    Decimal d;
    d.negative = n->negative;
    d.digits = n->digits;
    std::int64_t point =
        static_cast<std::int64_t>(n->digits.size()) - n->fraction_digits + n->exponent;
    const std::size_t first = d.digits.find_first_not_of('0');
    if (first == std::string::npos) {
        value = Currency();
        return true;
    }
    d.digits.erase(0, first);
    point -= static_cast<std::int64_t>(first);
    if (point > 19) {
        return false;  // at least 10^19: beyond any amount
    }
    if (point < -8) {
        value = Currency();  // far below half a ten-thousandth
        return true;
    }
    d.point = static_cast<int>(point);
    d.Trim();
    d.RoundToDecimals(4);
    if (d.IsZero()) {
        value = Currency();
        return true;
    }
    if (d.point + 4 > 19) {
        return false;
    }
    std::uint64_t raw = 0;
    for (int i = 0; i < d.point + 4; ++i) {
        if (__builtin_mul_overflow(raw, 10u, &raw) ||
            __builtin_add_overflow(raw, static_cast<unsigned>(d.DigitAt(i) - '0'), &raw)) {
            return false;
        }
    }
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (d.negative ? 1 : 0);
    if (raw > limit) {
        return false;
    }
    const auto magnitude = static_cast<std::uint64_t>(raw);
    value = Currency::FromRaw(d.negative ? static_cast<std::int64_t>(0 - magnitude)
                                         : static_cast<std::int64_t>(magnitude));
    return true;
}

Currency StrToCurr(std::string_view text, const TFormatSettings& format) {
    Currency value;
    if (!TryStrToCurr(text, value, format)) {
        throw EConvertError(QuoteError(text, "floating point value"));
    }
    return value;
}

std::string FloatToStr(double value, const TFormatSettings& format) {
    return FloatToStrF(value, TFloatFormat::ffGeneral, 15, 0, format);
}

std::string FloatToStrF(double value, TFloatFormat float_format, int precision, int digits,
                        const TFormatSettings& format) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    precision = std::clamp(precision, 1, 15);
    return FormatDecimal(DecimalFromDouble(value, 15), float_format, precision, digits, format);
}

std::string CurrToStr(Currency value, const TFormatSettings& format) {
    return FormatDecimal(DecimalFromCurrency(value), TFloatFormat::ffGeneral, 19, 0, format);
}

std::string CurrToStrF(Currency value, TFloatFormat float_format, int digits,
                       const TFormatSettings& format) {
    return FormatDecimal(DecimalFromCurrency(value), float_format, 19, digits, format);
}

}  // namespace db
