#include "platform/db/format_settings.h"

#include <optional>
#include <string_view>

namespace db {
namespace {

namespace nls = platform::nls;

constexpr std::array<std::string_view, 12> kLongMonths = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<std::string_view, 12> kShortMonths = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 7> kShortDays = {"Sun", "Mon", "Tue", "Wed",
                                                        "Thu", "Fri", "Sat"};

template <std::size_t N>
void FillNames(std::array<std::string, N>& target, const std::array<std::string_view, N>& source) {
    for (std::size_t i = 0; i < N; ++i) {
        target[i] = source[i];
    }
}

template <std::size_t N>
void TakeNames(std::array<std::string, N>& target, const std::array<std::string, N>& source) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!source[i].empty()) {
            target[i] = source[i];
        }
    }
}

void TakeText(std::string& target, const std::string& source) {
    if (!source.empty()) {
        target = source;
    }
}

void TakeChar(char& target, char source) {
    if (source != '\0') {
        target = source;
    }
}

std::string ToUtf8(nls::CodePage code_page, const std::string& text) {
    nls::ConversionResult converted = nls::BytesToUtf8(code_page, text);
    return converted.ok() ? std::move(converted.text) : text;
}

template <std::size_t N>
void NamesToUtf8(nls::CodePage code_page, std::array<std::string, N>& names) {
    for (std::string& name : names) {
        name = ToUtf8(code_page, name);
    }
}

TFormatSettings UserFormatSettings() {
    const nls::LocaleId locale = nls::MakeLocaleId(nls::GetUserDefaultLangID(), nls::kSortDefault);
    TFormatSettings settings = LocaleFormatSettings(locale);
    if (!nls::IsValidLocale(locale)) {
        return settings;
    }
    const nls::CodePage code_page = nls::CodePageOfLocale(locale);
    if (code_page == nls::CodePage::Western &&
        nls::LanguageOfLocale(locale) == nls::kLanguageEnglishUs) {
        return settings;
    }
    settings.CurrencyString = ToUtf8(code_page, settings.CurrencyString);
    settings.ShortDateFormat = ToUtf8(code_page, settings.ShortDateFormat);
    settings.LongDateFormat = ToUtf8(code_page, settings.LongDateFormat);
    settings.TimeAMString = ToUtf8(code_page, settings.TimeAMString);
    settings.TimePMString = ToUtf8(code_page, settings.TimePMString);
    settings.ShortTimeFormat = ToUtf8(code_page, settings.ShortTimeFormat);
    settings.LongTimeFormat = ToUtf8(code_page, settings.LongTimeFormat);
    NamesToUtf8(code_page, settings.ShortMonthNames);
    NamesToUtf8(code_page, settings.LongMonthNames);
    NamesToUtf8(code_page, settings.ShortDayNames);
    NamesToUtf8(code_page, settings.LongDayNames);
    // A separator outside ASCII cannot be one UTF-8 byte; keep the English one then.
    const TFormatSettings english = EnglishFormatSettings();
    for (auto [separator, fallback] :
         {std::pair{&settings.ThousandSeparator, english.ThousandSeparator},
          std::pair{&settings.DecimalSeparator, english.DecimalSeparator},
          std::pair{&settings.DateSeparator, english.DateSeparator},
          std::pair{&settings.TimeSeparator, english.TimeSeparator}}) {
        if (static_cast<unsigned char>(*separator) >= 0x80) {
            *separator = fallback;
        }
    }
    return settings;
}

}  // namespace

TFormatSettings EnglishFormatSettings() {
    TFormatSettings s;
    s.CurrencyString = "$";
    s.CurrencyFormat = 0;
    s.NegCurrFormat = 0;
    s.ThousandSeparator = ',';
    s.DecimalSeparator = '.';
    s.CurrencyDecimals = 2;
    s.DateSeparator = '/';
    s.ShortDateFormat = "M/d/yyyy";
    s.LongDateFormat = "dddd, MMMM dd, yyyy";
    s.TimeSeparator = ':';
    s.TimeAMString = "AM";
    s.TimePMString = "PM";
    s.ShortTimeFormat = "h:mm AMPM";
    s.LongTimeFormat = "h:mm:ss AMPM";
    FillNames(s.LongMonthNames, kLongMonths);
    FillNames(s.ShortMonthNames, kShortMonths);
    FillNames(s.LongDayNames, kLongDays);
    FillNames(s.ShortDayNames, kShortDays);
    return s;
}

TFormatSettings LocaleFormatSettings(nls::LocaleId locale) {
    TFormatSettings s = EnglishFormatSettings();
    if (nls::LanguageOfLocale(locale) == nls::kLanguageAnsi || !nls::IsValidLocale(locale)) {
        return s;
    }
    const std::optional<nls::LocaleFormats> formats = nls::GetLocaleFormats(locale);
    if (!formats) {
        return s;
    }
    const nls::LocaleFormats& f = *formats;
    TakeText(s.CurrencyString, f.currency_string);
    s.CurrencyFormat = f.currency_format <= 3 ? f.currency_format : 0;
    s.NegCurrFormat = f.negative_currency_format <= 15 ? f.negative_currency_format : 0;
    TakeChar(s.ThousandSeparator, f.thousand_separator);
    TakeChar(s.DecimalSeparator, f.decimal_separator);
    s.CurrencyDecimals = f.currency_decimals;
    TakeChar(s.DateSeparator, f.date_separator);
    TakeText(s.ShortDateFormat, f.short_date_format);
    TakeText(s.LongDateFormat, f.long_date_format);
    TakeChar(s.TimeSeparator, f.time_separator);
    TakeText(s.TimeAMString, f.time_am_string);
    TakeText(s.TimePMString, f.time_pm_string);
    const std::string hour = f.hour_leading_zero ? "hh" : "h";
    const std::string suffix = f.twelve_hour_clock ? " AMPM" : "";
    s.ShortTimeFormat = hour + ":mm" + suffix;
    s.LongTimeFormat = hour + ":mm:ss" + suffix;
    TakeNames(s.ShortMonthNames, f.short_month_names);
    TakeNames(s.LongMonthNames, f.long_month_names);
    TakeNames(s.ShortDayNames, f.short_day_names);
    TakeNames(s.LongDayNames, f.long_day_names);
    return s;
}

TFormatSettings& FormatSettings() {
    static TFormatSettings settings = UserFormatSettings();
    return settings;
}

}  // namespace db
