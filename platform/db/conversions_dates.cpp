// Dates and times: scanning text in the locale's order and separators, and formatting with
// the class library's date-time masks.

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
        while (pos < text.size() && digits < 4 && IsAsciiDigit(text[pos])) {
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
        switch (AsciiUpper(c)) {
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
                    const TFormatSettings& format, int depth);

// A run of `n` "d" letters (n at most 6): day number, two digits, short or long day name, or
// the short or long date mask.
void AppendDayRun(std::string& out, std::size_t n, const DateParts& p, TDateTime value,
                  const TFormatSettings& format, int depth) {
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
}

// A run of `n` "m" letters (n at most 4) read as the month; nothing for a value without one.
void AppendMonthRun(std::string& out, std::size_t n, const DateParts& p,
                    const TFormatSettings& format) {
    if (p.month < 1) {
        return;
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
}

// The morning or afternoon mark at mask[at] ("am/pm", "a/p" or "ampm"); a lone "a" is itself.
// Answers how many mask characters it took.
std::size_t AppendAmPm(std::string& out, std::string_view mask, std::size_t at, const DateParts& p,
                       const TFormatSettings& format) {
    const bool pm = p.hour >= 12;
    const bool lower = mask[at] == 'a';
    if (StartsWithNoCase(mask, at, "am/pm")) {
        out += pm ? (lower ? "pm" : "PM") : (lower ? "am" : "AM");
        return 5;
    }
    if (StartsWithNoCase(mask, at, "a/p")) {
        out.push_back(pm ? (lower ? 'p' : 'P') : (lower ? 'a' : 'A'));
        return 3;
    }
    if (StartsWithNoCase(mask, at, "ampm")) {
        out += pm ? format.TimePMString : format.TimeAMString;
        return 4;
    }
    out.push_back(mask[at]);
    return 1;
}

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
        while (i + n < mask.size() && AsciiUpper(mask[i + n]) == letter) {
            ++n;
        }
        return n;
    };
    while (i < mask.size()) {
        const char c = mask[i];
        char token = AsciiUpper(c);
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
                AppendDayRun(out, n, p, value, format, depth);
                continue;
            }
            case 'M': {
                const std::size_t n = std::min<std::size_t>(run_of('M'), 4);
                i += n;
                AppendMonthRun(out, n, p, format);
                continue;
            }
            case 'N': {
                // "m" written after an hour reads as minutes.
                const std::size_t n = std::min<std::size_t>(run_of(AsciiUpper(c)), 2);
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
            case 'A':
                i += AppendAmPm(out, mask, i, p, format);
                continue;
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
