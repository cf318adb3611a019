#pragma once

// The language table in the engine's order, with what is needed to generate
// and look up its locale data. Shared by the library and by tools/nls, so the
// generated tables and the lookups can never disagree on the order.

#include <array>
#include <string_view>

#include "platform/nls/nls.h"

namespace platform::nls::detail {

struct LanguageRow {
    std::string_view name;
    LanguageId id;
    CodePage code_page;
    // ICU locale the generator takes collation and formats from.
    std::string_view icu_locale;
    // POSIX locale (language_TERRITORY[@modifier]) that selects this language;
    // empty when none does.
    std::string_view posix;
    // Chosen when LANG names only the language ("de", "es.UTF-8").
    bool language_default;
};

using enum CodePage;

inline constexpr std::array<LanguageRow, 99> kLanguageRows = {{
    {"ANSI Standard", 0x0000, Western, "", "", false},
    {"Afrikaans", 0x0436, Western, "af", "af_ZA", true},
    {"Albanian", 0x041C, CentralEuropean, "sq", "sq_AL", true},
    {"Arabic (Saudi Arabia)", 0x0401, Arabic, "ar_SA", "ar_SA", true},
    {"Arabic (Iraq)", 0x0801, Arabic, "ar_IQ", "ar_IQ", false},
    {"Arabic (Egypt)", 0x0C01, Arabic, "ar_EG", "ar_EG", false},
    {"Arabic (Libya)", 0x1001, Arabic, "ar_LY", "ar_LY", false},
    {"Arabic (Algeria)", 0x1401, Arabic, "ar_DZ", "ar_DZ", false},
    {"Arabic (Morocco)", 0x1801, Arabic, "ar_MA", "ar_MA", false},
    {"Arabic (Tunisia)", 0x1C01, Arabic, "ar_TN", "ar_TN", false},
    {"Arabic (Oman)", 0x2001, Arabic, "ar_OM", "ar_OM", false},
    {"Arabic (Yemen)", 0x2401, Arabic, "ar_YE", "ar_YE", false},
    {"Arabic (Syria)", 0x2801, Arabic, "ar_SY", "ar_SY", false},
    {"Arabic (Jordan)", 0x2C01, Arabic, "ar_JO", "ar_JO", false},
    {"Arabic (Lebanon)", 0x3001, Arabic, "ar_LB", "ar_LB", false},
    {"Arabic (Kuwait)", 0x3401, Arabic, "ar_KW", "ar_KW", false},
    {"Arabic (U.A.E)", 0x3801, Arabic, "ar_AE", "ar_AE", false},
    {"Arabic (Bahrain)", 0x3C01, Arabic, "ar_BH", "ar_BH", false},
    {"Arabic (Qatar)", 0x4001, Arabic, "ar_QA", "ar_QA", false},
    {"Basque", 0x042D, Western, "eu", "eu_ES", true},
    {"Belarusian", 0x0423, Cyrillic, "be", "be_BY", true},
    {"Bulgarian", 0x0402, Cyrillic, "bg", "bg_BG", true},
    {"Catalan", 0x0403, Western, "ca", "ca_ES", true},
    {"Croatian", 0x041A, CentralEuropean, "hr", "hr_HR", true},
    {"Czech", 0x0405, CentralEuropean, "cs", "cs_CZ", true},
    {"Danish", 0x0406, Western, "da", "da_DK", true},
    {"Dutch (Standard)", 0x0413, Western, "nl_NL", "nl_NL", true},
    {"Dutch (Belgian)", 0x0813, Western, "nl_BE", "nl_BE", false},
    {"English (USA)", 0x0409, Western, "en_US", "en_US", true},
    {"English (UK)", 0x0809, Western, "en_GB", "en_GB", false},
    {"English (Australian)", 0x0C09, Western, "en_AU", "en_AU", false},
    {"English (Canadian)", 0x1009, Western, "en_CA", "en_CA", false},
    {"English (New Zealand)", 0x1409, Western, "en_NZ", "en_NZ", false},
    {"English (Irish)", 0x1809, Western, "en_IE", "en_IE", false},
    {"English (South Africa)", 0x1C09, Western, "en_ZA", "en_ZA", false},
    {"English (Jamaica)", 0x2009, Western, "en_JM", "en_JM", false},
    {"English (Caribbean)", 0x2409, Western, "en_AG", "", false},
    {"English (Belize)", 0x2809, Western, "en_BZ", "en_BZ", false},
    {"English (Trinidad)", 0x2C09, Western, "en_TT", "en_TT", false},
    {"Estonian", 0x0425, Baltic, "et", "et_EE", true},
    {"Faeroese", 0x0438, Western, "fo", "fo_FO", true},
    {"Farsi", 0x0429, Arabic, "fa", "fa_IR", true},
    {"Finnish", 0x040B, Western, "fi", "fi_FI", true},
    {"French (Standard)", 0x040C, Western, "fr_FR", "fr_FR", true},
    {"French (Belgian)", 0x080C, Western, "fr_BE", "fr_BE", false},
    {"French (Canadian)", 0x0C0C, Western, "fr_CA", "fr_CA", false},
    {"French (Swiss)", 0x100C, Western, "fr_CH", "fr_CH", false},
    {"French (Luxembourg)", 0x140C, Western, "fr_LU", "fr_LU", false},
    {"German (Standard)", 0x0407, Western, "de_DE", "de_DE", true},
    {"German (Swiss)", 0x0807, Western, "de_CH", "de_CH", false},
    {"German (Austrian)", 0x0C07, Western, "de_AT", "de_AT", false},
    {"German (Luxembourg)", 0x1007, Western, "de_LU", "de_LU", false},
    {"German (Liechtenstein)", 0x1407, Western, "de_LI", "de_LI", false},
    {"Greek", 0x0408, Greek, "el", "el_GR", true},
    {"Hebrew", 0x040D, Hebrew, "he", "he_IL", true},
    {"Hungarian", 0x040E, CentralEuropean, "hu", "hu_HU", true},
    {"Icelandic", 0x040F, Western, "is", "is_IS", true},
    {"Indonesian", 0x0421, Western, "id", "id_ID", true},
    {"Italian (Standard)", 0x0410, Western, "it_IT", "it_IT", true},
    {"Italian (Swiss)", 0x0810, Western, "it_CH", "it_CH", false},
    {"Latvian", 0x0426, Baltic, "lv", "lv_LV", true},
    {"Lithuanian", 0x0427, Baltic, "lt", "lt_LT", true},
    {"Norwegian (Bokmal)", 0x0414, Western, "nb", "nb_NO", true},
    {"Norwegian (Nynorsk)", 0x0814, Western, "nn", "nn_NO", true},
    {"Polish", 0x0415, CentralEuropean, "pl", "pl_PL", true},
    {"Portuguese (Standard)", 0x0816, Western, "pt_PT", "pt_PT", false},
    {"Portuguese (Brazilian)", 0x0416, Western, "pt_BR", "pt_BR", true},
    {"Romanian", 0x0418, CentralEuropean, "ro", "ro_RO", true},
    {"Russian", 0x0419, Cyrillic, "ru", "ru_RU", true},
    {"Serbian (Latin)", 0x081A, CentralEuropean, "sr_Latn", "sr_RS@latin", false},
    {"Serbian (Cyrillic)", 0x0C1A, Cyrillic, "sr", "sr_RS", true},
    {"Slovak", 0x041B, CentralEuropean, "sk", "sk_SK", true},
    {"Slovenian", 0x0424, CentralEuropean, "sl", "sl_SI", true},
    {"Spanish (Castilian)", 0x040A, Western, "es_ES@collation=traditional", "", false},
    {"Spanish (Mexican)", 0x080A, Western, "es_MX", "es_MX", false},
    {"Spanish (Modern)", 0x0C0A, Western, "es_ES", "es_ES", true},
    {"Spanish (Guatemala)", 0x100A, Western, "es_GT", "es_GT", false},
    {"Spanish (Costa Rica)", 0x140A, Western, "es_CR", "es_CR", false},
    {"Spanish (Panama)", 0x180A, Western, "es_PA", "es_PA", false},
    {"Spanish (Dominican Republic)", 0x1C0A, Western, "es_DO", "es_DO", false},
    {"Spanish (Venezuela)", 0x200A, Western, "es_VE", "es_VE", false},
    {"Spanish (Colombia)", 0x240A, Western, "es_CO", "es_CO", false},
    {"Spanish (Peru)", 0x280A, Western, "es_PE", "es_PE", false},
    {"Spanish (Argentina)", 0x2C0A, Western, "es_AR", "es_AR", false},
    {"Spanish (Ecuador)", 0x300A, Western, "es_EC", "es_EC", false},
    {"Spanish (Chile)", 0x340A, Western, "es_CL", "es_CL", false},
    {"Spanish (Uruguay)", 0x380A, Western, "es_UY", "es_UY", false},
    {"Spanish (Paraguay)", 0x3C0A, Western, "es_PY", "es_PY", false},
    {"Spanish (Bolivia)", 0x400A, Western, "es_BO", "es_BO", false},
    {"Spanish (El Salvador)", 0x440A, Western, "es_SV", "es_SV", false},
    {"Spanish (Honduras)", 0x480A, Western, "es_HN", "es_HN", false},
    {"Spanish (Nicaragua)", 0x4C0A, Western, "es_NI", "es_NI", false},
    {"Spanish (Puerto Rico)", 0x500A, Western, "es_PR", "es_PR", false},
    {"Swedish (Standard)", 0x041D, Western, "sv_SE", "sv_SE", true},
    {"Swedish (Finland)", 0x081D, Western, "sv_FI", "sv_FI", false},
    {"Thai", 0x041E, Thai, "th", "th_TH", true},
    {"Turkish", 0x041F, Turkish, "tr", "tr_TR", true},
    {"Ukranian", 0x0422, Cyrillic, "uk", "uk_UA", true},
    {"Vietnamese", 0x042A, Vietnamese, "vi", "vi_VN", true},
}};

inline constexpr std::size_t kCodePageCount = 10;
inline constexpr std::array<CodePage, kCodePageCount> kCodePages = {
    Thai, CentralEuropean, Cyrillic, Western, Greek, Turkish, Hebrew, Arabic, Baltic, Vietnamese};

}  // namespace platform::nls::detail
