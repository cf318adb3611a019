// Formatting of numbers with the class library's float masks ("#,##0.00;(#,##0.00);Zero").

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

using namespace detail;

namespace {
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

}  // namespace

std::string FormatFloat(std::string_view mask, double value, const TFormatSettings& format) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    return FormatDecimalMask(mask, DecimalFromDouble(value, 15), format, 15);
}

std::string FormatCurr(std::string_view mask, Currency value, const TFormatSettings& format) {
    return FormatDecimalMask(mask, DecimalFromCurrency(value), format, 19);
}

}  // namespace db
