#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "platform/nls/nls.h"

namespace platform::nls {
namespace {

TEST(Languages, TableHasTheNinetyNineLanguagesInOrder) {
    const auto languages = Languages();
    ASSERT_EQ(languages.size(), 99u);
    EXPECT_EQ(languages[0].name, "ANSI Standard");
    EXPECT_EQ(languages[0].id, 0);
    EXPECT_EQ(languages[28].name, "English (USA)");
    EXPECT_EQ(languages[28].id, 0x0409);
    EXPECT_EQ(languages[16].name, "Arabic (U.A.E)");
    EXPECT_EQ(languages[62].name, "Norwegian (Bokmal)");
    EXPECT_EQ(languages[97].name, "Ukranian");
    EXPECT_EQ(languages[98].id, 0x042A);
    std::set<LanguageId> ids;
    for (const auto& l : languages)
        ids.insert(l.id);
    EXPECT_EQ(ids.size(), 99u);
}

TEST(Languages, CodePages) {
    const std::pair<LanguageId, CodePage> cases[] = {
        {0x0000, CodePage::Western},
        {0x0409, CodePage::Western},
        {0x0405, CodePage::CentralEuropean},
        {0x0419, CodePage::Cyrillic},
        {0x0408, CodePage::Greek},
        {0x041F, CodePage::Turkish},
        {0x040D, CodePage::Hebrew},
        {0x0429, CodePage::Arabic},
        {0x0427, CodePage::Baltic},
        {0x042A, CodePage::Vietnamese},
        {0x041E, CodePage::Thai},
        {0x081A, CodePage::CentralEuropean},
        {0x0C1A, CodePage::Cyrillic},
    };
    for (const auto& [id, cp] : cases)
        EXPECT_EQ(CodePageOfLocale(id), cp) << std::hex << id;
}

TEST(Languages, FindByNameIgnoresCase) {
    ASSERT_NE(FindLanguageByName("eNgLiSh (usa)"), nullptr);
    EXPECT_EQ(FindLanguageByName("eNgLiSh (usa)")->id, 0x0409);
    EXPECT_EQ(FindLanguageByName("ANSI Standard")->id, 0);
    EXPECT_EQ(FindLanguageByName("Klingon"), nullptr);
    EXPECT_EQ(FindLanguageByName("English"), nullptr);
}

TEST(Languages, SortOrdersAndValidLocales) {
    EXPECT_EQ(SortOrders(0x0409).size(), 1u);
    EXPECT_EQ(SortOrders(0x9999).size(), 1u);
    EXPECT_EQ(SortOrders(0x9999)[0].name, "Default Order");
    for (LanguageId german : {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407}) {
        ASSERT_EQ(SortOrders(german).size(), 2u);
        EXPECT_EQ(SortOrders(german)[1].name, "German Phone Book Order");
        EXPECT_EQ(SortOrders(german)[1].id, kSortGermanPhoneBook);
        EXPECT_TRUE(IsValidLocale(MakeLocaleId(german, kSortGermanPhoneBook)));
    }
    for (const auto& l : Languages())
        EXPECT_TRUE(IsValidLocale(MakeLocaleId(l.id, 0)));
    EXPECT_FALSE(IsValidLocale(MakeLocaleId(0x0409, kSortGermanPhoneBook)));
    EXPECT_FALSE(IsValidLocale(MakeLocaleId(0x0407, 2)));
    EXPECT_FALSE(IsValidLocale(MakeLocaleId(0, 1)));
    EXPECT_FALSE(IsValidLocale(0x0411));  // Japanese: not in the table
    EXPECT_FALSE(IsValidLocale(0x0009));
    EXPECT_THROW(CodePageOfLocale(0x0411), std::invalid_argument);
}

TEST(Languages, PosixLocaleNames) {
    const std::pair<const char*, LanguageId> cases[] = {
        {"", 0x0409},
        {"C", 0x0409},
        {"C.UTF-8", 0x0409},
        {"POSIX", 0x0409},
        {"en_US.UTF-8", 0x0409},
        {"en_GB.UTF-8", 0x0809},
        {"de_DE.UTF-8", 0x0407},
        {"de_AT.UTF-8", 0x0C07},
        {"de", 0x0407},
        {"de_BE.UTF-8", 0x0407},
        {"es_ES.UTF-8", 0x0C0A},
        {"es.UTF-8", 0x0C0A},
        {"pt", 0x0416},
        {"pt_PT", 0x0816},
        {"sr_RS.UTF-8@latin", 0x081A},
        {"sr_RS@latin", 0x081A},
        {"sr_RS", 0x0C1A},
        {"no_NO.UTF-8", 0x0414},
        {"nn_NO", 0x0814},
        {"tr_TR.ISO-8859-9", 0x041F},
        {"ja_JP.UTF-8", 0x0409},
        {"xx", 0x0409},
    };
    for (const auto& [name, id] : cases) {
        EXPECT_EQ(LanguageIdFromPosixLocale(name), id) << name;
    }
}

class EnvironmentGuard {
  public:
    EnvironmentGuard() {
        for (const char* name : {"LC_ALL", "LANG"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Languages, UserDefaultLanguageFromEnvironment) {
    EnvironmentGuard guard;
    unsetenv("LC_ALL");
    unsetenv("LANG");
    EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
    setenv("LANG", "fr_CA.UTF-8", 1);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0C0C);
    setenv("LC_ALL", "ru_RU.UTF-8", 1);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0419);
    setenv("LC_ALL", "", 1);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0C0C);
    EXPECT_FALSE(IsDbcsEnabled());
}

}  // namespace
}  // namespace platform::nls
