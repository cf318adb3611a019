// Golden tables: the collation maps, case maps and a sample of comparisons of
// several locales, as committed files. They change only when the generated
// tables change, which invalidates stored indexes (see kTablesVersion).
// Set CORVANE_UPDATE_GOLDEN=1 to rewrite the files after such a deliberate change.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "platform/nls/nls.h"
#include "platform/nls/tables.h"

namespace platform::nls {
namespace {

std::string Byte(int b) {
    return std::string(1, static_cast<char>(b));
}

void AppendRows(std::ostringstream& out, const char* title, const std::vector<int>& values) {
    out << title << "\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02X", values[i]);
        out << buf << ((i % 16 == 15) ? "\n" : " ");
    }
}

// Everything a stored table depends on for one locale, as text.
std::string Describe(LocaleId locale) {
    std::ostringstream out;
    out << "tables version " << kTablesVersion << "\n";
    std::vector<int> map(256);
    std::iota(map.begin(), map.end(), 0);
    std::stable_sort(map.begin(), map.end(), [&](int a, int b) {
        return CompareString(locale, SORT_STRINGSORT, Byte(a), Byte(b)) == CSTR_LESS_THAN;
    });
    AppendRows(out, "collation map", map);
    const CaseMap& upper = UpperCaseMap(locale);
    const CaseMap& lower = LowerCaseMap(locale);
    AppendRows(out, "upper", std::vector<int>(upper.begin(), upper.end()));
    AppendRows(out, "lower", std::vector<int>(lower.begin(), lower.end()));
    out << "pairs (0x1000 0x1002 0x1003)\n";
    for (int i = 0; i < 96; ++i) {
        const std::string a = Byte(1 + (i * 37 + 11) % 255) + Byte(1 + (i * 53) % 255);
        const std::string b = Byte(1 + (i * 101 + 7) % 255) + Byte(1 + (i * 29 + 3) % 255);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02X%02X %02X%02X %d %d %d\n",
                      static_cast<std::uint8_t>(a[0]), static_cast<std::uint8_t>(a[1]),
                      static_cast<std::uint8_t>(b[0]), static_cast<std::uint8_t>(b[1]),
                      CompareString(locale, 0x1000, a, b), CompareString(locale, 0x1002, a, b),
                      CompareString(locale, 0x1003, a, b));
        out << buf;
    }
    return out.str();
}

void CheckGolden(const std::string& name, const std::string& actual) {
    const std::string path = std::string(CORVANE_NLS_GOLDEN_DIR) + "/" + name;
    const char* update = std::getenv("CORVANE_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(path) << actual;
        return;
    }
    std::ifstream in(path);
    ASSERT_TRUE(in) << "missing golden file " << path;
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(actual, expected.str()) << "golden file " << path << " differs";
}

TEST(Golden, TablesOfSeveralLocales) {
    const std::pair<LanguageId, SortId> locales[] = {
        {0x0000, 0}, {0x0409, 0}, {0x0407, 0}, {0x0407, 1}, {0x041D, 0}, {0x0406, 0},
        {0x0405, 0}, {0x0415, 0}, {0x0419, 0}, {0x0408, 0}, {0x041F, 0}, {0x040D, 0},
        {0x0401, 0}, {0x0426, 0}, {0x041E, 0}, {0x042A, 0}, {0x040A, 0}, {0x040C, 0},
    };
    for (const auto& [language, sort] : locales) {
        char name[32];
        std::snprintf(name, sizeof name, "locale_%04X_%d.txt", language, sort);
        SCOPED_TRACE(name);
        CheckGolden(name, Describe(MakeLocaleId(language, sort)));
    }
}

// What the comparison relies on, checked on the committed tables themselves.
TEST(Golden, CommittedTablesKeepTheirInvariants) {
    for (const auto& family : detail::CollationFamilies()) {
        SCOPED_TRACE(family.name);
        const auto& e = family.entries;
        EXPECT_EQ(e[0].first.primary, 0);  // byte 0 ends the string
        EXPECT_EQ(e[0].second.primary, 0);
        for (int b = 1; b < 256; ++b) {
            const auto& entry = e[static_cast<std::size_t>(b)];
            if (entry.first.primary == 0) {
                // A non-spacing mark: an accent of its own, never an expansion.
                EXPECT_GE(entry.first.diacritic, 128) << b;
                EXPECT_EQ(entry.second.primary, 0) << b;
            } else {
                EXPECT_LT(entry.first.diacritic, 128) << b;
            }
        }
    }
    for (const auto& locale : detail::LocaleCollations()) {
        EXPECT_TRUE(IsValidLocale(MakeLocaleId(locale.language, locale.sort)));
        ASSERT_LT(locale.family, detail::CollationFamilies().size());
        EXPECT_EQ(detail::CollationFamilies()[locale.family].code_page,
                  CodePageOfLocale(MakeLocaleId(locale.language, locale.sort)));
    }
    // Every valid locale but language 0 has a collation.
    std::size_t valid = 0;
    for (const LanguageInfo& l : Languages())
        valid += l.id == 0 ? 0 : SortOrders(l.id).size();
    EXPECT_EQ(detail::LocaleCollations().size(), valid);
}

// Language 0 must not depend on the machine: same results under another
// LANG, LC_ALL, TZ and C library locale.
TEST(Golden, LanguageZeroIgnoresTheEnvironment) {
    const std::string before = Describe(0);
    const std::string upper = MapString(0, LCMAP_UPPERCASE,
                                        "stra\xDF"
                                        "e \xE9t\xE9 \xFF");
    setenv("LANG", "tr_TR.UTF-8", 1);
    setenv("LC_ALL", "de_DE.ISO-8859-1", 1);
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    std::setlocale(LC_ALL, "C.UTF-8");
    const std::string after = Describe(0);
    const std::string upper_after = MapString(0, LCMAP_UPPERCASE,
                                              "stra\xDF"
                                              "e \xE9t\xE9 \xFF");
    std::setlocale(LC_ALL, "C");
    setenv("LANG", "C.UTF-8", 1);
    unsetenv("LC_ALL");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(before, after);
    EXPECT_EQ(upper, upper_after);
    EXPECT_EQ(upper,
              "STRA\xDF"
              "E \xC9T\xC9 \x9F");
}

}  // namespace
}  // namespace platform::nls
