#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/nls/language_table.h"
#include "platform/nls/nls.h"
#include "platform/nls/tables.h"
#include "platform/nls/text.h"

namespace platform::nls {

namespace {

using detail::kLanguageRows;

constexpr std::array<LanguageInfo, kLanguageRows.size()> MakeLanguages() {
    std::array<LanguageInfo, kLanguageRows.size()> out{};
    for (std::size_t i = 0; i < kLanguageRows.size(); ++i) {
        out[i] = {kLanguageRows[i].name, kLanguageRows[i].id, kLanguageRows[i].code_page};
    }
    return out;
}

constexpr auto kLanguages = MakeLanguages();

constexpr SortOrderInfo kDefaultOrders[] = {{"Default Order", kSortDefault}};
constexpr SortOrderInfo kGermanOrders[] = {{"Default Order", kSortDefault},
                                           {"German Phone Book Order", kSortGermanPhoneBook}};

bool IsGerman(LanguageId id) {
    return (id & 0x3FF) == 0x07 && FindLanguage(id);
}

std::string_view Lowered(std::string_view text, std::string& buffer) {
    buffer = AsciiLower(text);
    return buffer;
}

}  // namespace

std::span<const LanguageInfo> Languages() {
    return kLanguages;
}

const LanguageInfo* FindLanguage(LanguageId id) {
    auto it = std::find_if(kLanguages.begin(), kLanguages.end(),
                           [id](const LanguageInfo& l) { return l.id == id; });
    return it == kLanguages.end() ? nullptr : &*it;
}

const LanguageInfo* FindLanguageByName(std::string_view name) {
    name = name.substr(0, name.find('\0'));
    auto it = std::find_if(kLanguages.begin(), kLanguages.end(),
                           [name](const LanguageInfo& l) { return SameTextAnsi(l.name, name); });
    return it == kLanguages.end() ? nullptr : &*it;
}

std::span<const SortOrderInfo> SortOrders(LanguageId id) {
    if (IsGerman(id))
        return kGermanOrders;
    return kDefaultOrders;
}

bool IsValidLocale(LocaleId locale) {
    const LanguageId language = LanguageOfLocale(locale);
    const SortId sort = SortOfLocale(locale);
    if (FindLanguage(language) == nullptr)
        return false;
    const auto orders = SortOrders(language);
    return std::any_of(orders.begin(), orders.end(),
                       [sort](const SortOrderInfo& o) { return o.id == sort; });
}

CodePage CodePageOfLocale(LocaleId locale) {
    if (!IsValidLocale(locale)) {
        throw std::invalid_argument("unsupported locale " + std::to_string(locale));
    }
    return FindLanguage(LanguageOfLocale(locale))->code_page;
}

LanguageId LanguageIdFromPosixLocale(std::string_view posix_name) {
    // language[_TERRITORY][.codeset][@modifier]
    std::string_view modifier;
    if (auto at = posix_name.find('@'); at != std::string_view::npos) {
        modifier = posix_name.substr(at);
        posix_name = posix_name.substr(0, at);
    }
    posix_name = posix_name.substr(0, posix_name.find('.'));
    std::string buffer;
    std::string name(Lowered(posix_name, buffer));
    std::string language = name.substr(0, name.find('_'));
    if (language == "no") {
        language = "nb";
        name.replace(0, 2, "nb");
    }
    if (language.empty() || language == "c" || language == "posix")
        return kLanguageEnglishUs;

    std::string lowered_modifier(Lowered(modifier, buffer));
    auto find = [&](auto&& match) -> const detail::LanguageRow* {
        auto it = std::find_if(kLanguageRows.begin(), kLanguageRows.end(), match);
        return it == kLanguageRows.end() ? nullptr : &*it;
    };
    std::string row_name;
    const auto* exact = find([&](const detail::LanguageRow& r) {
        return !r.posix.empty() && Lowered(r.posix, row_name) == name + lowered_modifier;
    });
    if (exact == nullptr) {
        exact = find([&](const detail::LanguageRow& r) {
            return !r.posix.empty() && Lowered(r.posix, row_name) == name;
        });
    }
    if (exact == nullptr) {
        exact = find([&](const detail::LanguageRow& r) {
            return r.language_default && r.posix.substr(0, r.posix.find('_')) == language;
        });
    }
    return exact != nullptr ? exact->id : kLanguageEnglishUs;
}

LanguageId GetUserDefaultLangID() {
    for (const char* variable : {"LC_ALL", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return LanguageIdFromPosixLocale(value);
    }
    return kLanguageEnglishUs;
}

}  // namespace platform::nls
