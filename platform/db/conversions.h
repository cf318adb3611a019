#pragma once

// Text conversions of numbers, amounts, dates and times with the class library's rules and
// masks. Every routine that depends on formats takes them as an argument, so no result depends
// on the machine's locale. Failures raise EConvertError with the class library's texts; the Try
// forms answer false instead.
//
// Rounding: decimal rounding is half away from zero on the value's shortest exact decimal form
// of 15 significant digits (1.005 at two places is 1.01); amounts (Currency) round exactly.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/currency.h"
#include "platform/db/date_time.h"
#include "platform/db/exception.h"
#include "platform/db/format_settings.h"

namespace db {

enum class TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };

// Decimal with optional blanks before and an optional sign, or hexadecimal after "$" or "0x";
// either must lie within the type's range.
bool TryStrToInt(std::string_view text, std::int32_t& value);
bool TryStrToInt64(std::string_view text, std::int64_t& value);
// "'x' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);
std::int64_t StrToInt64(std::string_view text);
std::string IntToStr(std::int64_t value);

// Blanks, sign, digits with the format's decimal separator, an optional exponent, blanks; no
// thousands separators. Overflow fails.
bool TryStrToFloat(std::string_view text, double& value, const TFormatSettings& format);
// "'x' is not a valid floating point value".
double StrToFloat(std::string_view text, const TFormatSettings& format);
// The same syntax, kept exact and rounded half away from zero to ten-thousandths.
bool TryStrToCurr(std::string_view text, Currency& value, const TFormatSettings& format);
Currency StrToCurr(std::string_view text, const TFormatSettings& format);

// General format with 15 significant digits: "1.5", "1E20", "1.5E-7"; "NAN", "INF", "-INF".
std::string FloatToStr(double value, const TFormatSettings& format);
// precision: significant digits (at most 15 for a double); digits: decimals for ffFixed,
// ffNumber and ffCurrency, minimum exponent digits for ffExponent.
std::string FloatToStrF(double value, TFloatFormat float_format, int precision, int digits,
                        const TFormatSettings& format);
// Masks of "0", "#", ".", ",", "E+", "E-", quoted literals and up to three ";" sections
// (positive; negative; zero). An empty mask is the general format.
std::string FormatFloat(std::string_view mask, double value, const TFormatSettings& format);

std::string CurrToStr(Currency value, const TFormatSettings& format);
std::string CurrToStrF(Currency value, TFloatFormat float_format, int digits,
                       const TFormatSettings& format);
std::string FormatCurr(std::string_view mask, Currency value, const TFormatSettings& format);

// Dates read in the order of ShortDateFormat with DateSeparator (two numbers take the current
// year; a two-digit year follows TwoDigitYearCenturyWindow); times as h[:m[:s[.fff]]] with an
// optional AM/PM text; date-and-time as a date optionally followed by a time, or a time alone.
bool TryStrToDate(std::string_view text, TDateTime& value, const TFormatSettings& format);
bool TryStrToTime(std::string_view text, TDateTime& value, const TFormatSettings& format);
bool TryStrToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& format);
// "'x' is not a valid date", "... time", "... date and time".
TDateTime StrToDate(std::string_view text, const TFormatSettings& format);
TDateTime StrToTime(std::string_view text, const TFormatSettings& format);
TDateTime StrToDateTime(std::string_view text, const TFormatSettings& format);

// The class library's date-time masks: c d dd ddd dddd ddddd dddddd m mm mmm mmmm yy yyyy h hh
// n nn s ss z zzz t tt am/pm a/p ampm / : and quoted literals; letters in either case; m after
// an hour means minutes.
std::string FormatDateTime(std::string_view mask, TDateTime value, const TFormatSettings& format);
std::string DateToStr(TDateTime value, const TFormatSettings& format);
std::string TimeToStr(TDateTime value, const TFormatSettings& format);
// The short date, then the long time unless the time is exactly midnight.
std::string DateTimeToStr(TDateTime value, const TFormatSettings& format);

}  // namespace db
