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

namespace db {
namespace {

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
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view word) {
    if (word.empty() || text.size() - pos < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (UpperAscii(text[pos + i]) != UpperAscii(word[i])) {
            return false;
        }
    }
    return true;
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
    while (i < text.size() && IsDigit(text[i])) {
        n.digits.push_back(text[i++]);
        any_digit = true;
    }
    if (i < text.size() && text[i] == decimal_separator) {
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
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
        if (i >= text.size() || !IsDigit(text[i])) {
            return std::nullopt;
        }
        while (i < text.size() && IsDigit(text[i])) {
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

// Splits at ";" outside quotes.
std::vector<std::string_view> MaskSections(std::string_view mask) {
    std::vector<std::string_view> sections;
    std::size_t start = 0;
    char quote = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        const char c = mask[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';' && sections.size() < 2) {
            sections.push_back(mask.substr(start, i - start));
            start = i + 1;
        }
    }
    sections.push_back(mask.substr(start));
    return sections;
}

struct MaskLayout {
    int integer_places = 0;      // "0" and "#" before the point
    int min_integer_digits = 0;  // from the first "0" before the point
    int decimal_places = 0;      // "0" and "#" after the point
    int min_decimals = 0;        // up to the last "0" after the point
    bool thousands = false;
    bool scientific = false;
    bool exponent_sign = false;  // "E+" rather than "E-"
    int exponent_digits = 0;
};

bool IsExponentAt(std::string_view s, std::size_t i) {
    return (s[i] == 'E' || s[i] == 'e') && i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-');
}

MaskLayout AnalyseMask(std::string_view s) {
    MaskLayout layout;
    bool after_point = false;
    int first_zero = -1;
    char quote = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '0' || c == '#') {
            if (after_point) {
                ++layout.decimal_places;
                if (c == '0') {
                    layout.min_decimals = layout.decimal_places;
                }
            } else {
                if (c == '0' && first_zero < 0) {
                    first_zero = layout.integer_places;
                }
                ++layout.integer_places;
            }
        } else if (c == '.') {
            after_point = true;
        } else if (c == ',') {
            layout.thousands = true;
        } else if (IsExponentAt(s, i)) {
            layout.scientific = true;
            layout.exponent_sign = s[i + 1] == '+';
            i += 2;
            while (i < s.size() && s[i] == '0') {
                ++layout.exponent_digits;
                ++i;
            }
            --i;
            // Placeholders after the exponent belong to it.
            after_point = true;
        }
    }
    if (first_zero >= 0) {
        layout.min_integer_digits = layout.integer_places - first_zero;
    }
    layout.exponent_digits = std::min(layout.exponent_digits, 4);
    return layout;
}

// Rounds `d` as the section wants it and says the exponent for scientific masks.
Decimal RoundForMask(Decimal d, const MaskLayout& layout, int& exponent) {
    exponent = 0;
    if (layout.scientific) {
        const int integer_places = std::max(layout.integer_places, 1);
        d.RoundToDigits(integer_places + layout.decimal_places);
        if (!d.IsZero()) {
            exponent = d.point - integer_places;
            d.point = integer_places;
        }
    } else {
        d.RoundToDecimals(layout.decimal_places);
    }
    return d;
}

std::string ApplyMask(std::string_view s, const MaskLayout& layout, const Decimal& d, int exponent,
                      bool minus, const TFormatSettings& format) {
    std::string integer = d.point > 0 ? IntegerDigits(d) : std::string();
    while (static_cast<int>(integer.size()) < layout.min_integer_digits) {
        integer.insert(integer.begin(), '0');
    }
    std::string fraction = FractionDigits(d, layout.decimal_places);
    while (static_cast<int>(fraction.size()) > layout.min_decimals && fraction.back() == '0') {
        fraction.pop_back();
    }
    const int length = static_cast<int>(integer.size());
    std::string out;
    if (minus) {
        out.push_back('-');
    }
    auto emit_integer_digit = [&](int index) {
        out.push_back(integer[static_cast<std::size_t>(index)]);
        const int remaining = length - 1 - index;
        if (layout.thousands && remaining > 0 && remaining % 3 == 0) {
            out.push_back(format.ThousandSeparator);
        }
    };
    int placeholder = 0;  // integer placeholders seen
    int decimal = 0;      // decimal placeholders seen
    bool after_point = false;
    bool point_written = false;
    char quote = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                out.push_back(c);
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if ((c == '0' || c == '#') && !after_point) {
            // Digits beyond the placeholders all come out at the first one.
            const int first = length - layout.integer_places + placeholder;
            if (placeholder == 0) {
                for (int k = 0; k < first; ++k) {
                    emit_integer_digit(k);
                }
            }
            if (first >= 0) {
                emit_integer_digit(first);
            }
            ++placeholder;
        } else if ((c == '0' || c == '#') && after_point) {
            if (decimal < static_cast<int>(fraction.size())) {
                out.push_back(fraction[static_cast<std::size_t>(decimal)]);
            }
            ++decimal;
        } else if (c == '.') {
            if (!after_point && layout.integer_places == 0) {
                out += integer;
            }
            after_point = true;
            if (!fraction.empty() && !point_written) {
                out.push_back(format.DecimalSeparator);
                point_written = true;
            }
        } else if (c == ',') {
            // The thousands flag; never written where it stands.
        } else if (IsExponentAt(s, i)) {
            out.push_back(c);
            out += ExponentText(exponent, layout.exponent_digits, layout.exponent_sign);
            i += 2;
            while (i < s.size() && s[i] == '0') {
                ++i;
            }
            --i;
            after_point = true;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string FormatDecimalMask(std::string_view mask, const Decimal& value,
                              const TFormatSettings& format, int general_precision) {
    if (mask.empty()) {
        return GeneralText(value, general_precision, format);
    }
    const std::vector<std::string_view> sections = MaskSections(mask);
    std::string_view section = sections[0];
    bool minus = value.negative;
    if (value.negative && sections.size() >= 2 && !sections[1].empty()) {
        section = sections[1];
        minus = false;
    }
    MaskLayout layout = AnalyseMask(section);
    int exponent = 0;
    Decimal rounded = RoundForMask(value, layout, exponent);
    if (rounded.IsZero()) {
        minus = false;
        if (sections.size() >= 3 && !sections[2].empty()) {
            section = sections[2];
            layout = AnalyseMask(section);
            rounded = RoundForMask(value, layout, exponent);
        }
    }
    return ApplyMask(section, layout, rounded, exponent, minus, format);
}

struct Scanner {
    std::string_view text;
    std::size_t pos = 0;

    void SkipBlanks() {
        while (pos < text.size() && IsBlank(text[pos])) {
            ++pos;
        }
    }
    bool AtEnd() const { return pos >= text.size(); }
    // Up to four digits, blanks before them allowed.
    bool Number(int& value, int& digits) {
        SkipBlanks();
        value = 0;
        digits = 0;
        while (pos < text.size() && digits < 4 && IsDigit(text[pos])) {
            value = value * 10 + (text[pos] - '0');
            ++digits;
            ++pos;
        }
        return digits > 0;
    }
    bool Char(char c) {
        SkipBlanks();
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        SkipBlanks();
        if (StartsWithNoCase(text, pos, word)) {
            pos += word.size();
            return true;
        }
        return false;
    }
};

enum class DateOrder { MDY, DMY, YMD };

DateOrder GetDateOrder(std::string_view short_date_format) {
    for (char c : short_date_format) {
        switch (UpperAscii(c)) {
            case 'Y':
                return DateOrder::YMD;
            case 'D':
                return DateOrder::DMY;
            case 'M':
                return DateOrder::MDY;
            default:
                break;
        }
    }
    return DateOrder::MDY;
}

int CurrentYear() {
    int year = 0;
    int month = 0;
    int day = 0;
    DecodeDate(Date(), year, month, day);
    return year;
}

bool ScanDate(Scanner& s, TDateTime& value, const TFormatSettings& format) {
    int n1 = 0, n2 = 0, n3 = 0;
    int d1 = 0, d2 = 0, d3 = 0;
    if (!s.Number(n1, d1) || !s.Char(format.DateSeparator) || !s.Number(n2, d2)) {
        return false;
    }
    const bool has_year = s.Char(format.DateSeparator);
    if (has_year && !s.Number(n3, d3)) {
        return false;
    }
    int year = 0, month = 0, day = 0, year_digits = 4;
    const DateOrder order = GetDateOrder(format.ShortDateFormat);
    if (!has_year) {
        year = CurrentYear();
        if (order == DateOrder::DMY) {
            day = n1;
            month = n2;
        } else {
            month = n1;
            day = n2;
        }
    } else {
        switch (order) {
            case DateOrder::MDY:
                month = n1, day = n2, year = n3, year_digits = d3;
                break;
            case DateOrder::DMY:
                day = n1, month = n2, year = n3, year_digits = d3;
                break;
            case DateOrder::YMD:
                year = n1, month = n2, day = n3, year_digits = d1;
                break;
        }
        if (year_digits <= 2) {
            const int current = CurrentYear();
            const int window = format.TwoDigitYearCenturyWindow;
            const int base = current - window;
            year += (window > 0 ? base : current) / 100 * 100;
            if (window > 0 && year < base) {
                year += 100;
            }
        }
    }
    return TryEncodeDate(year, month, day, value);
}

bool ScanAmPm(Scanner& s, const TFormatSettings& format, int& base_hour) {
    if (s.Word(format.TimeAMString) || s.Word("AM")) {
        base_hour = 0;
        return true;
    }
    if (s.Word(format.TimePMString) || s.Word("PM")) {
        base_hour = 12;
        return true;
    }
    return false;
}

bool ScanTime(Scanner& s, TDateTime& value, const TFormatSettings& format) {
    int base_hour = -1;
    ScanAmPm(s, format, base_hour);
    int hour = 0, minute = 0, second = 0, msec = 0, digits = 0;
    if (!s.Number(hour, digits)) {
        return false;
    }
    if (s.Char(format.TimeSeparator)) {
        if (!s.Number(minute, digits)) {
            return false;
        }
        if (s.Char(format.TimeSeparator)) {
            if (!s.Number(second, digits)) {
                return false;
            }
            if (s.pos < s.text.size() && s.text[s.pos] == format.DecimalSeparator) {
                ++s.pos;
                int fraction = 0;
                if (!s.Number(fraction, digits) || digits > 3) {
                    return false;
                }
                msec = fraction * (digits == 1 ? 100 : digits == 2 ? 10 : 1);
            }
        }
    }
    if (base_hour < 0) {
        ScanAmPm(s, format, base_hour);
    }
    if (base_hour >= 0) {
        if (hour == 0 || hour > 12) {
            return false;
        }
        hour = (hour == 12 ? 0 : hour) + base_hour;
    }
    s.SkipBlanks();
    return TryEncodeTime(hour, minute, second, msec, value);
}

std::string TwoDigits(int value) {
    std::string out = std::to_string(value);
    return out.size() < 2 ? "0" + out : out;
}

std::string PadDigits(int value, std::size_t width) {
    std::string out = std::to_string(value);
    while (out.size() < width) {
        out.insert(out.begin(), '0');
    }
    return out;
}

bool MaskUsesAmPm(std::string_view mask) {
    char quote = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        const char c = mask[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (StartsWithNoCase(mask, i, "am/pm") || StartsWithNoCase(mask, i, "a/p") ||
                   StartsWithNoCase(mask, i, "ampm")) {
            return true;
        }
    }
    return false;
}

struct DateParts {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0, day_of_week = 1;
};

void AppendDateTime(std::string& out, std::string_view mask, const DateParts& p, TDateTime value,
                    const TFormatSettings& format, int depth) {
    // Masks that name other masks could name themselves.
    if (depth > 2) {
        return;
    }
    const bool twelve_hour = MaskUsesAmPm(mask);
    char last_token = ' ';
    std::size_t i = 0;
    auto run_of = [&](char letter) {
        std::size_t n = 0;
        while (i + n < mask.size() && UpperAscii(mask[i + n]) == letter) {
            ++n;
        }
        return n;
    };
    while (i < mask.size()) {
        const char c = mask[i];
        char token = UpperAscii(c);
        if (token >= 'A' && token <= 'Z') {
            if (token == 'M' && last_token == 'H') {
                token = 'N';
            }
            last_token = token;
        }
        switch (token) {
            case '"':
            case '\'': {
                const std::size_t end = mask.find(c, i + 1);
                const std::size_t stop = end == std::string_view::npos ? mask.size() : end;
                out.append(mask.substr(i + 1, stop - i - 1));
                i = stop == mask.size() ? stop : stop + 1;
                continue;
            }
            case 'C': {
                ++i;
                AppendDateTime(out, format.ShortDateFormat, p, value, format, depth + 1);
                if (p.hour != 0 || p.minute != 0 || p.second != 0 || p.msec != 0) {
                    out.push_back(' ');
                    AppendDateTime(out, format.LongTimeFormat, p, value, format, depth + 1);
                }
                continue;
            }
            case 'D': {
                const std::size_t n = std::min<std::size_t>(run_of('D'), 6);
                i += n;
                switch (n) {
                    case 1:
                        out += std::to_string(p.day);
                        break;
                    case 2:
                        out += TwoDigits(p.day);
                        break;
                    case 3:
                        out += format.ShortDayNames[static_cast<std::size_t>(p.day_of_week - 1)];
                        break;
                    case 4:
                        out += format.LongDayNames[static_cast<std::size_t>(p.day_of_week - 1)];
                        break;
                    case 5:
                        AppendDateTime(out, format.ShortDateFormat, p, value, format, depth + 1);
                        break;
                    default:
                        AppendDateTime(out, format.LongDateFormat, p, value, format, depth + 1);
                        break;
                }
                continue;
            }
            case 'M': {
                const std::size_t n = std::min<std::size_t>(run_of('M'), 4);
                i += n;
                if (p.month < 1) {
                    continue;
                }
                switch (n) {
                    case 1:
                        out += std::to_string(p.month);
                        break;
                    case 2:
                        out += TwoDigits(p.month);
                        break;
                    case 3:
                        out += format.ShortMonthNames[static_cast<std::size_t>(p.month - 1)];
                        break;
                    default:
                        out += format.LongMonthNames[static_cast<std::size_t>(p.month - 1)];
                        break;
                }
                continue;
            }
            case 'N': {
                // "m" written after an hour reads as minutes.
                const std::size_t n = std::min<std::size_t>(run_of(UpperAscii(c)), 2);
                i += n;
                out += n == 1 ? std::to_string(p.minute) : TwoDigits(p.minute);
                continue;
            }
            case 'Y': {
                const std::size_t n = run_of('Y');
                i += n;
                out += n <= 2 ? TwoDigits(p.year % 100) : PadDigits(p.year, 4);
                continue;
            }
            case 'H': {
                const std::size_t n = std::min<std::size_t>(run_of('H'), 2);
                i += n;
                int hour = p.hour;
                if (twelve_hour) {
                    hour = hour % 12 == 0 ? 12 : hour % 12;
                }
                out += n == 1 ? std::to_string(hour) : TwoDigits(hour);
                continue;
            }
            case 'S': {
                const std::size_t n = std::min<std::size_t>(run_of('S'), 2);
                i += n;
                out += n == 1 ? std::to_string(p.second) : TwoDigits(p.second);
                continue;
            }
            case 'Z': {
                const std::size_t n = std::min<std::size_t>(run_of('Z'), 3);
                i += n;
                out += n <= 2 ? std::to_string(p.msec) : PadDigits(p.msec, 3);
                continue;
            }
            case 'T': {
                const std::size_t n = std::min<std::size_t>(run_of('T'), 2);
                i += n;
                AppendDateTime(out, n == 1 ? format.ShortTimeFormat : format.LongTimeFormat, p,
                               value, format, depth + 1);
                continue;
            }
            case 'A': {
                const bool pm = p.hour >= 12;
                if (StartsWithNoCase(mask, i, "am/pm")) {
                    const bool lower = mask[i] == 'a';
                    out += pm ? (lower ? "pm" : "PM") : (lower ? "am" : "AM");
                    i += 5;
                } else if (StartsWithNoCase(mask, i, "a/p")) {
                    const bool lower = mask[i] == 'a';
                    out.push_back(pm ? (lower ? 'p' : 'P') : (lower ? 'a' : 'A'));
                    i += 3;
                } else if (StartsWithNoCase(mask, i, "ampm")) {
                    out += pm ? format.TimePMString : format.TimeAMString;
                    i += 4;
                } else {
                    out.push_back(c);
                    ++i;
                }
                continue;
            }
            case '/':
                out.push_back(format.DateSeparator);
                ++i;
                continue;
            case ':':
                out.push_back(format.TimeSeparator);
                ++i;
                continue;
            default:
                out.push_back(c);
                ++i;
                continue;
        }
    }
}

}  // namespace

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

std::string FormatFloat(std::string_view mask, double value, const TFormatSettings& format) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    return FormatDecimalMask(mask, DecimalFromDouble(value, 15), format, 15);
}

std::string CurrToStr(Currency value, const TFormatSettings& format) {
    return FormatDecimal(DecimalFromCurrency(value), TFloatFormat::ffGeneral, 19, 0, format);
}

std::string CurrToStrF(Currency value, TFloatFormat float_format, int digits,
                       const TFormatSettings& format) {
    return FormatDecimal(DecimalFromCurrency(value), float_format, 19, digits, format);
}

std::string FormatCurr(std::string_view mask, Currency value, const TFormatSettings& format) {
    return FormatDecimalMask(mask, DecimalFromCurrency(value), format, 19);
}

bool TryStrToDate(std::string_view text, TDateTime& value, const TFormatSettings& format) {
    Scanner s{text};
    TDateTime result;
    if (!ScanDate(s, result, format)) {
        return false;
    }
    s.SkipBlanks();
    if (!s.AtEnd()) {
        return false;
    }
    value = result;
    return true;
}

bool TryStrToTime(std::string_view text, TDateTime& value, const TFormatSettings& format) {
    Scanner s{text};
    TDateTime result;
    if (!ScanTime(s, result, format) || !s.AtEnd()) {
        return false;
    }
    value = result;
    return true;
}

bool TryStrToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& format) {
    Scanner s{text};
    TDateTime date;
    if (ScanDate(s, date, format)) {
        s.SkipBlanks();
        if (s.AtEnd()) {
            value = date;
            return true;
        }
        TDateTime time;
        if (ScanTime(s, time, format) && s.AtEnd()) {
            value = CombineDateTime(date, time);
            return true;
        }
    }
    return TryStrToTime(text, value, format);
}

TDateTime StrToDate(std::string_view text, const TFormatSettings& format) {
    TDateTime value;
    if (!TryStrToDate(text, value, format)) {
        throw EConvertError(QuoteError(text, "date"));
    }
    return value;
}

TDateTime StrToTime(std::string_view text, const TFormatSettings& format) {
    TDateTime value;
    if (!TryStrToTime(text, value, format)) {
        throw EConvertError(QuoteError(text, "time"));
    }
    return value;
}

TDateTime StrToDateTime(std::string_view text, const TFormatSettings& format) {
    TDateTime value;
    if (!TryStrToDateTime(text, value, format)) {
        throw EConvertError(QuoteError(text, "date and time"));
    }
    return value;
}

std::string FormatDateTime(std::string_view mask, TDateTime value, const TFormatSettings& format) {
    DateParts p;
    DecodeDate(value, p.year, p.month, p.day);
    DecodeTime(value, p.hour, p.minute, p.second, p.msec);
    if (p.year > 0) {
        p.day_of_week = DayOfWeek(value);
    }
    std::string out;
    AppendDateTime(out, mask.empty() ? std::string_view("c") : mask, p, value, format, 0);
    return out;
}

std::string DateToStr(TDateTime value, const TFormatSettings& format) {
    return FormatDateTime(format.ShortDateFormat, value, format);
}

std::string TimeToStr(TDateTime value, const TFormatSettings& format) {
    return FormatDateTime(format.LongTimeFormat, value, format);
}

std::string DateTimeToStr(TDateTime value, const TFormatSettings& format) {
    return FormatDateTime("c", value, format);
}

}  // namespace db
