#include "platform/nls/nls.h"
#include "platform/nls/tables.h"

namespace platform::nls {

namespace {

template <std::size_t N>
std::array<std::string, N> Copy(const std::array<std::string_view, N>& names) {
    std::array<std::string, N> out;
    for (std::size_t i = 0; i < N; ++i)
        out[i] = std::string(names[i]);
    return out;
}

}  // namespace

std::optional<LocaleFormats> GetLocaleFormats(LocaleId locale) {
    const LanguageId language = LanguageOfLocale(locale);
    if (language == kLanguageAnsi || !IsValidLocale(locale))
        return std::nullopt;
    for (const auto& row : detail::LocaleFormatRows()) {
        if (row.language != language)
            continue;
        LocaleFormats f;
        f.currency_string = row.currency_string;
        f.currency_format = row.currency_format;
        f.negative_currency_format = row.negative_currency_format;
        f.thousand_separator = row.thousand_separator;
        f.decimal_separator = row.decimal_separator;
        f.currency_decimals = row.currency_decimals;
        f.date_separator = row.date_separator;
        f.short_date_format = row.short_date_format;
        f.long_date_format = row.long_date_format;
        f.time_separator = row.time_separator;
        f.time_am_string = row.time_am_string;
        f.time_pm_string = row.time_pm_string;
        f.twelve_hour_clock = row.twelve_hour_clock;
        f.hour_leading_zero = row.hour_leading_zero;
        // The class library's rule: the hour, ":" (the time separator) and the
        // minutes, then the seconds for the long form.
        const std::string hour = row.hour_leading_zero ? "hh" : "h";
        const std::string suffix = row.twelve_hour_clock ? " AMPM" : "";
        f.short_time_format = hour + ":mm" + suffix;
        f.long_time_format = hour + ":mm:ss" + suffix;
        f.short_month_names = Copy(row.short_month_names);
        f.long_month_names = Copy(row.long_month_names);
        f.short_day_names = Copy(row.short_day_names);
        f.long_day_names = Copy(row.long_day_names);
        return f;
    }
    return std::nullopt;
}

}  // namespace platform::nls
