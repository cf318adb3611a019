#include "platform/config/ini_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/config/errors.h"
#include "platform/config/registry_store.h"
#include "tests/platform/config/config_test_support.h"

namespace platform::config {
namespace {

using testing::ReadText;
using testing::TempFolder;
using testing::WriteText;

constexpr const char* kSample =
    "; placement of the forms\r\n"
    "[Tfrmmain]\r\n"
    "  Flags = 0 \r\n"
    "NormPos=\"10,20,300,400\"\r\n"
    "Quoted='single'\r\n"
    "Twice=\"\"inner\"\"\r\n"
    "Mismatch=\"open'\r\n"
    "Hex=0x1F\r\n"
    "HexOnly=0x\r\n"
    "Negative=-5\r\n"
    "Big=0xFFFFFFFF\r\n"
    "Yes=True\r\n"
    "flags=second\r\n"
    "no equals sign here\r\n"
    "[Form_Grid\\Columns\\colItem]\r\n"
    "Width=120\r\n"
    "[ Spaced ]\r\n"
    "Key = value with  two blanks \r\n";

TEST(IniFile, ReadsFollowTheClassLibraryRules) {
    TempFolder folder;
    const auto file = folder.path() / "Corvane.INI";
    WriteText(file, kSample);
    const TIniFile ini(file.string());
    struct Case {
        const char* section;
        const char* ident;
        const char* expected;
    };
    const Case cases[] = {
        {"Tfrmmain", "Flags", "0"},
        {"TFRMMAIN", "flags", "0"},  // names ignore case; the first entry wins
        {"Tfrmmain", "NormPos", "10,20,300,400"},
        {"Tfrmmain", "Quoted", "single"},
        {"Tfrmmain", "Twice", "\"inner\""},  // only one pair is removed
        {"Tfrmmain", "Mismatch", "\"open'"},
        {"form_grid\\columns\\COLITEM", "Width", "120"},
        {"Spaced", "key", "value with  two blanks"},
        {"Tfrmmain", "no equals sign here", "dflt"},
        {"Tfrmmain", "Missing", "dflt"},
        {"Missing", "Flags", "dflt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ini.ReadString(c.section, c.ident, "dflt"), c.expected)
            << c.section << "/" << c.ident;
    }
    EXPECT_EQ(ini.ReadInteger("Tfrmmain", "Hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("Tfrmmain", "HexOnly", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Tfrmmain", "Negative", 0), -5);
    EXPECT_EQ(ini.ReadInteger("Tfrmmain", "Big", 0), -1);
    EXPECT_EQ(ini.ReadInteger("Tfrmmain", "NormPos", 9), 9);
    EXPECT_TRUE(ini.ReadBool("Tfrmmain", "Yes", false));
    EXPECT_TRUE(ini.ReadBool("Tfrmmain", "Hex", false));
    EXPECT_FALSE(ini.ReadBool("Tfrmmain", "Flags", true));
    EXPECT_TRUE(ini.ReadBool("Tfrmmain", "NormPos", true));
    EXPECT_EQ(ini.ReadSections(),
              (std::vector<std::string>{"Tfrmmain", "Form_Grid\\Columns\\colItem", "Spaced"}));
    EXPECT_EQ(ini.ReadSection("Spaced"), (std::vector<std::string>{"Key"}));
    EXPECT_EQ(ini.ReadSectionValues("form_grid\\columns\\colitem"),
              (std::vector<std::string>{"Width=120"}));
    EXPECT_TRUE(ini.ValueExists("tfrmmain", "NORMPOS"));
    EXPECT_FALSE(ini.SectionExists("Form_Grid"));
}

TEST(IniFile, WritesGoToDiskAtOnceAndKeepEverythingElse) {
    TempFolder folder;
    const auto file = folder.path() / "layout.ini";
    WriteText(file, kSample);
    TIniFile ini(file.string());
    ini.WriteString("TFRMMAIN", "flags", "3");          // replaces the first entry in place
    ini.WriteInteger("Tfrmmain", "PixelsPerInch", 96);  // appended to the section
    ini.WriteBool("New\\Section", "Visible", true);     // a new section at the end
    const std::string text = ReadText(file);
    EXPECT_NE(text.find("; placement of the forms\r\n[Tfrmmain]\r\nflags=3\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("no equals sign here\r\nPixelsPerInch=96\r\n[Form_Grid"),
              std::string::npos);
    EXPECT_NE(text.find("\r\n\r\n[New\\Section]\r\nVisible=1\r\n"), std::string::npos);
    EXPECT_EQ(text.find("\r\r"), std::string::npos);

    const TIniFile reader(file.string());
    EXPECT_EQ(reader.ReadString("Tfrmmain", "Flags", ""), "3");
    EXPECT_EQ(reader.ReadInteger("tfrmmain", "pixelsperinch", 0), 96);
    EXPECT_TRUE(reader.ReadBool("new\\section", "visible", false));
    EXPECT_EQ(reader.ReadString("Tfrmmain", "flags", ""), "3");  // "flags=second" is still shadowed
}

TEST(IniFile, ByteOrderMarkIsSkippedAndKept) {
    TempFolder folder;
    const auto file = folder.path() / "bom.ini";
    WriteText(file, "\xEF\xBB\xBF[A]\nX=1\n");
    TIniFile ini((folder.path() / "BOM.INI").string());  // file names ignore case
    EXPECT_EQ(ini.ReadString("A", "X", ""), "1");
    ini.WriteString("A", "Y", "2");
    EXPECT_EQ(ReadText(file), "\xEF\xBB\xBF[A]\nX=1\nY=2\n");
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "BOM.INI.tmp"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(IniFile, EraseSectionAndDeleteKey) {
    TempFolder folder;
    const auto file = folder.path() / "grid.ini";
    TIniFile ini(file.string());
    ini.WriteInteger("Form_Grid", "BandRowCount", 1);
    ini.WriteInteger("Form_Grid\\Columns\\colA", "Width", 10);
    ini.WriteInteger("Form_Grid\\Columns\\colB", "Width", 20);
    ini.WriteInteger("Form_Grid\\Columns\\colB", "Index", 1);
    ini.EraseSection("FORM_GRID\\Columns\\colA");
    ini.DeleteKey("Form_Grid\\Columns\\colB", "WIDTH");
    ini.DeleteKey("Missing", "Width");  // nothing to do, no error
    EXPECT_EQ(ini.ReadSections(),
              (std::vector<std::string>{"Form_Grid", "Form_Grid\\Columns\\colB"}));
    EXPECT_EQ(ini.ReadSection("Form_Grid\\Columns\\colB"), (std::vector<std::string>{"Index"}));
    EXPECT_EQ(ini.ReadInteger("Form_Grid", "BandRowCount", 0), 1);
}

TEST(IniFile, NamesAndValuesTheFileCannotHoldAreRefusedWithoutChangingIt) {
    TempFolder folder;
    const auto file = folder.path() / "refuse.ini";
    WriteText(file, "[A]\nX=1\n");
    TIniFile ini(file.string());
    const std::vector<std::tuple<std::string, std::string, std::string>> bad = {
        {"A", "X", "two\nlines"}, {"A", "X", "cr\r"}, {"A\nB", "X", "1"}, {"A]B", "X", "1"},
        {"", "X", "1"},           {" A", "X", "1"},   {"A", "", "1"},     {"A", "X=Y", "1"},
        {"A", " X", "1"},         {"A", ";X", "1"},   {"A", "[X", "1"},
    };
    for (const auto& [section, ident, value] : bad) {
        EXPECT_THROW(ini.WriteString(section, ident, value), EIniFileException)
            << section << "/" << ident << "/" << value;
    }
    EXPECT_EQ(ReadText(file), "[A]\nX=1\n");
    // Long values are kept whole.
    const std::string long_value(100000, 'v');
    ini.WriteString("A", "Long", long_value);
    EXPECT_EQ(ini.ReadString("A", "Long", ""), long_value);
}

TEST(IniFile, MissingFileReadsDefaultsAndUnwritableFileNamesItself) {
    TempFolder folder;
    const TIniFile missing((folder.path() / "none.ini").string());
    EXPECT_EQ(missing.ReadString("A", "B", "dflt"), "dflt");
    EXPECT_TRUE(missing.ReadSections().empty());

    WriteText(folder.path() / "blocker", "");
    TIniFile blocked((folder.path() / "blocker" / "x.ini").string());
    try {
        blocked.WriteString("A", "B", "1");
        FAIL() << "the write should fail";
    } catch (const EIniFileException& error) {
        EXPECT_NE(std::string(error.what()).find("x.ini"), std::string::npos);
    }
}

TEST(IniFile, BareNameLivesInTheSettingsFolderAndBackslashesSeparateFolders) {
    TempFolder folder;
    ::setenv("XDG_CONFIG_HOME", folder.path().c_str(), 1);
    const TIniFile bare("CORVANE.INI");
    EXPECT_EQ(bare.FileName(), folder.path() / "Corvane" / "CORVANE.INI");
    const TIniFile windows_style("sub\\dir\\x.ini");
    EXPECT_EQ(windows_style.FileName(), std::filesystem::path("sub/dir/x.ini"));
    ::setenv("CORVANE_HOME", folder.path().c_str(), 1);  // a program folder keeps its settings
    EXPECT_EQ(RegistryHive::DefaultHiveFile(HKEY_CURRENT_USER), folder.path() / "registry.ini");
    ::unsetenv("CORVANE_HOME");
    ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace platform::config
