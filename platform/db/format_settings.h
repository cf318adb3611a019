#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/nls/nls.h"

namespace db {

// One set of date, time and number formats, as the class library keeps them. Date and time masks
// use the class library's letters (FormatDateTime); "/" and ":" in a mask stand for the
// separators below.
struct TFormatSettings {
    std::string CurrencyString;
    // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $".
    std::uint8_t CurrencyFormat = 0;
    // 0 "($1)" .. 15 "(1 $)", as the class library numbers them.
    std::uint8_t NegCurrFormat = 0;
    char ThousandSeparator = ',';
    char DecimalSeparator = '.';
    std::uint8_t CurrencyDecimals = 2;
    char DateSeparator = '/';
    std::string ShortDateFormat;
    std::string LongDateFormat;
    char TimeSeparator = ':';
    std::string TimeAMString;
    std::string TimePMString;
    std::string ShortTimeFormat;
    std::string LongTimeFormat;
    std::array<std::string, 12> ShortMonthNames;  // January first
    std::array<std::string, 12> LongMonthNames;
    std::array<std::string, 7> ShortDayNames;  // Sunday first
    std::array<std::string, 7> LongDayNames;
    // A two-digit year is put into the century that brings it within this many years before
    // the current year; 0 means the current century.
    int TwoDigitYearCenturyWindow = 50;

    friend bool operator==(const TFormatSettings&, const TFormatSettings&) = default;
};

// US English: "$", "M/d/yyyy", "dddd, MMMM dd, yyyy", "h:mm AMPM", English names. Every field a
// locale does not supply falls back to these.
TFormatSettings EnglishFormatSettings();

// The formats of a locale as GetLocaleInfoA gives them without user overrides, in the locale's
// code page. The hour is "hh" when the locale wants leading zeros, else "h", and " AMPM" follows
// on a 12-hour clock. An invalid locale, or language 0, gives EnglishFormatSettings().
TFormatSettings LocaleFormatSettings(platform::nls::LocaleId locale);

// The process-wide formats that conversions without their own settings use, first loaded for
// the user's language (names in UTF-8). Whoever changes them holds the format lock.
TFormatSettings& FormatSettings();

}  // namespace db
