#include "platform/config/reg_ini_file.h"

#include <gtest/gtest.h>

#include "platform/config/errors.h"
#include "tests/platform/config/config_test_support.h"

namespace platform::config {
namespace {

using testing::TempFolder;

TEST(RegIniFile, SectionsAreSubkeysAndEmptySectionIsTheKeyItself) {
    TempFolder folder;
    {
        TRegIniFile ini("\\SOFTWARE\\Brovik\\Corvane\\");
        ini.WriteBool("", "ShowGroupPanel", true);
        ini.WriteBool("", "FlatStyle", false);
        ini.WriteInteger("gxDBGrid1Item", "Width", 120);
        ini.WriteInteger("gxDBGrid1Item", "Sorted", 2);
        ini.WriteString("gxDBGrid1Name", "Caption", "Full name");
    }
    folder.Restart();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Brovik\\Corvane", false));
    EXPECT_EQ(reg.ReadString("ShowGroupPanel"), "1");
    EXPECT_EQ(reg.ReadString("FlatStyle"), "0");
    ASSERT_TRUE(reg.OpenKey("GXDBGRID1ITEM", false));
    EXPECT_EQ(reg.ReadString("Width"), "120");  // stored as text, not as an integer
    reg.CloseKey();

    TRegIniFile ini("SOFTWARE\\Brovik\\Corvane");
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"gxDBGrid1Item", "gxDBGrid1Name"}));
    EXPECT_EQ(ini.ReadSection("gxdbgrid1item"), (std::vector<std::string>{"Width", "Sorted"}));
    EXPECT_EQ(ini.ReadSectionValues("gxDBGrid1Item"),
              (std::vector<std::string>{"Width=120", "Sorted=2"}));
    EXPECT_EQ(ini.ReadInteger("gxDBGrid1Item", "Width", 0), 120);
    EXPECT_TRUE(ini.ReadBool("", "ShowGroupPanel", false));
    EXPECT_FALSE(ini.ReadBool("", "FlatStyle", true));
    EXPECT_TRUE(ini.SectionExists("gxDBGrid1Name"));
    EXPECT_TRUE(ini.ValueExists("gxDBGrid1Name", "caption"));
}

TEST(RegIniFile, MissingOrMalformedEntriesGiveTheDefault) {
    TempFolder folder;
    TRegIniFile ini("Software\\Corvane");
    ini.WriteString("Tfrmmain", "Text", "abc");
    ini.WriteString("Tfrmmain", "Yes", "TRUE");
    ini.WriteString("Tfrmmain", "Two", "2");
    struct Case {
        std::string ident;
        std::int32_t integer;  // read with default 7
        bool flag;             // read with default true
    };
    for (const Case& c : {Case{"Text", 7, true}, Case{"Missing", 7, true}, Case{"Yes", 7, true},
                          Case{"Two", 2, true}}) {
        EXPECT_EQ(ini.ReadInteger("Tfrmmain", c.ident, 7), c.integer) << c.ident;
        EXPECT_EQ(ini.ReadBool("Tfrmmain", c.ident, true), c.flag) << c.ident;
    }
    EXPECT_FALSE(ini.ReadBool("Tfrmmain", "Text", false));
    EXPECT_EQ(ini.ReadString("NoSection", "Text", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("NoSection", "Text", -1), -1);

    // A value of another kind is an error, not a default.
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Corvane\\Tfrmmain", false));
    reg.WriteInteger("Binary", 5);
    EXPECT_THROW(ini.ReadString("Tfrmmain", "Binary", ""), ERegistryException);
    EXPECT_THROW(ini.ReadInteger("Tfrmmain", "Binary", 0), ERegistryException);
}

TEST(RegIniFile, NestedSectionPathsFromTheRootWithOrWithoutLeadingBackslash) {
    TempFolder folder;
    {
        TRegIniFile ini;
        ini.WriteInteger("Software\\Grid\\Columns\\colItem", "Width", 80);
        ini.WriteInteger("\\Software\\Grid\\Band\\Band0", "ID", 3);
    }
    folder.Restart();
    TRegIniFile ini;
    EXPECT_EQ(ini.ReadInteger("\\software\\grid\\columns\\colItem", "Width", 0), 80);
    EXPECT_EQ(ini.ReadInteger("Software\\Grid\\Band\\Band0\\", "ID", -1), 3);
    TRegistry reg;
    EXPECT_TRUE(reg.KeyExists("Software\\Grid\\Columns"));
    EXPECT_FALSE(reg.KeyExists("Software\\Grid\\Missing"));
}

TEST(RegIniFile, EraseSectionAndDeleteKeyRemoveOnlyWhatTheyName) {
    TempFolder folder;
    TRegIniFile ini("Software\\Corvane");
    ini.WriteString("A\\Sub", "X", "1");
    ini.WriteString("A", "Y", "2");
    ini.WriteString("B", "Z", "3");
    ini.WriteString("B", "W", "4");
    ini.EraseSection("a");
    ini.DeleteKey("B", "z");
    ini.EraseSection("");  // the open key itself stays
    ini.CloseKey();
    folder.Restart();
    TRegIniFile again("Software\\Corvane");
    EXPECT_EQ(again.ReadSections(), (std::vector<std::string>{"B"}));
    EXPECT_EQ(again.ReadSection("B"), (std::vector<std::string>{"W"}));
}

TEST(RegIniFile, WritesToTheMachineRootAreRefused) {
    TempFolder folder;
    TRegIniFile ini;
    ini.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_THROW(ini.WriteString("Software\\X", "A", "1"), ERegistryException);
    EXPECT_EQ(ini.ReadString("Software\\X", "A", "none"), "none");
}

}  // namespace
}  // namespace platform::config
