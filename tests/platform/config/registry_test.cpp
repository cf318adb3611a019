#include "platform/config/registry.h"

#include <csignal>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/config/atomic_file.h"
#include "platform/config/errors.h"
#include "platform/config/registry_store.h"
#include "tests/platform/config/config_test_support.h"

namespace platform::config {
namespace {

using testing::ReadText;
using testing::TempFolder;
using testing::WriteText;

constexpr std::string_view kAppKey = "SOFTWARE\\Brovik\\Corvane";

std::string DeepPath(std::size_t depth) {
    std::string path = "k";
    for (std::size_t i = 1; i < depth; ++i) {
        path += "\\k";
    }
    return path;
}

TEST(Registry, AnyByteInNamesAndValuesSurvivesSaveAndReload) {
    TempFolder folder;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "default value"},
        {"SendCount ", " leading and trailing blanks "},
        {"a=b", "x=y=z"},
        {"per%cent", "%41 is not an escape"},
        {"back\\slash", "C:\\Mail\\list\\"},
        {"[section]", "[value]"},
        {"tab\tname", "line\r\nbreak\n"},
        {std::string("nul\0byte", 8), std::string("\0\x01\x7f\xff", 4)},
        {"Gr\xc3\xb6\xc3\x9f"
         "e",
         "\xe2\x82\xac 5"},
        {"empty", ""},
    };
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kAppKey, true));
        for (const auto& [name, value] : cases) {
            reg.WriteString(name, value);
        }
        reg.WriteInteger("Smallest", INT32_MIN);
        reg.WriteInteger("Largest", INT32_MAX);
        ASSERT_TRUE(reg.OpenKey("Empty\\Nested", true));
        reg.CloseKey();
    }
    folder.Restart();
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kAppKey, false)) << reg.LastError();
    for (const auto& [name, value] : cases) {
        EXPECT_EQ(reg.ReadString(name), value) << name;
    }
    EXPECT_EQ(reg.ReadInteger("Smallest"), INT32_MIN);
    EXPECT_EQ(reg.ReadInteger("Largest"), INT32_MAX);
    EXPECT_EQ(reg.GetValueNames().size(), cases.size() + 2);
    EXPECT_TRUE(reg.KeyExists("Empty\\Nested"));
    // Escaping keeps every line free of trailing blanks and control bytes.
    const std::string text = ReadText(folder.UserHive());
    EXPECT_EQ(text.find(" \n"), std::string::npos);
    EXPECT_EQ(text.find('\t'), std::string::npos);
}

TEST(Registry, KeyAndValueNamesIgnoreCaseButKeepTrailingBlanks) {
    TempFolder folder;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Brovik\\Corvane", true));
    reg.WriteString("MailingListGroup", "Members");
    reg.WriteString("SendCount ", "250");
    reg.WriteString("SendCount", "other");
    reg.WriteString(
        "Gr\xc3\xb6\xc3\x9f"
        "e",
        "latin");
    reg.CloseKey();

    for (const std::string_view path :
         {"SOFTWARE\\Brovik\\Corvane", "\\software\\brovik\\corvane\\",
          "Software\\BROVIK\\Corvane"}) {
        ASSERT_TRUE(reg.OpenKey(path, false)) << path;
        EXPECT_EQ(reg.ReadString("mailinglistgroup"), "Members");
        EXPECT_EQ(reg.ReadString("SENDCOUNT "), "250");
        EXPECT_EQ(reg.ReadString("sendcount"), "other");
        EXPECT_EQ(reg.ReadString("GR\xc3\x96\xc3\x9f"
                                 "E"),
                  "latin");
        reg.CloseKey();
    }
    ASSERT_TRUE(reg.OpenKey(kAppKey, false));
    reg.WriteString("MAILINGLISTGROUP", "Changed");
    // The first spelling of a name is kept; only one value exists.
    const auto names = reg.GetValueNames();
    EXPECT_EQ(names.front(), "MailingListGroup");
    EXPECT_EQ(reg.ReadString("MailingListGroup"), "Changed");
    EXPECT_EQ(names.size(), 4u);
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Brovik\\Corvane");
}

TEST(Registry, PathsAreRelativeToTheOpenKeyUnlessTheyStartAtTheRoot) {
    TempFolder folder;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kAppKey, true));
    ASSERT_TRUE(reg.OpenKey("gxDBGrid1Item", true));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Brovik\\Corvane\\gxDBGrid1Item");
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE", false));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE");
    EXPECT_FALSE(reg.OpenKey("Missing", false));
    EXPECT_FALSE(reg.LastError().empty());
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE");  // a failed open keeps the open key
}

TEST(Registry, ValueKindsAreCheckedOnRead) {
    TempFolder folder;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kAppKey, true));
    struct BoolCase {
        std::string text;
        std::optional<bool> expected;  // empty: the read fails
    };
    const std::vector<BoolCase> bools = {
        {"true", true},      {"TRUE", true},
        {"True", true},      {"false", false},
        {"False", false},    {"1", true},
        {"0", false},        {"yes", std::nullopt},
        {"", std::nullopt},  {" true", std::nullopt},
        {"2", std::nullopt},
    };
    for (const auto& c : bools) {
        reg.WriteString("Flag", c.text);
        if (c.expected) {
            EXPECT_EQ(reg.ReadBool("Flag"), *c.expected) << c.text;
        } else {
            EXPECT_THROW(reg.ReadBool("Flag"), ERegistryException) << c.text;
        }
    }
    reg.WriteBool("Stored", true);
    EXPECT_EQ(reg.GetDataType("Stored"), TRegDataType::rdInteger);
    EXPECT_TRUE(reg.ReadBool("Stored"));
    EXPECT_THROW(reg.ReadString("Stored"), ERegistryException);

    reg.WriteString("Number", "-42");
    EXPECT_EQ(reg.ReadInteger("Number"), -42);
    reg.WriteString("Number", "2147483648");
    EXPECT_THROW(reg.ReadInteger("Number"), ERegistryException);
    EXPECT_THROW(reg.ReadInteger("Missing"), ERegistryException);
    EXPECT_THROW(reg.ReadBool("Missing"), ERegistryException);
    EXPECT_EQ(reg.ReadString("Missing"), "");
    EXPECT_FALSE(reg.ValueExists("Missing"));
    EXPECT_EQ(reg.GetDataType("Missing"), TRegDataType::rdUnknown);
}

TEST(Registry, KeysListInCaseInsensitiveOrderAndDeleteWithTheirSubkeys) {
    TempFolder folder;
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kAppKey, true));
    for (const char* name : {"beta", "Alpha", "gamma\\deep\\deeper", "ALPHA2"}) {
        ASSERT_TRUE(reg.CreateKey(name));
    }
    reg.WriteString("v2", "");
    reg.WriteString("v1", "");
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"v2", "v1"}));
    EXPECT_TRUE(reg.HasSubKeys());
    EXPECT_TRUE(reg.DeleteKey("GAMMA"));
    EXPECT_FALSE(reg.KeyExists("gamma\\deep"));
    EXPECT_FALSE(reg.DeleteKey("gamma"));
    EXPECT_TRUE(reg.DeleteValue("V1"));
    EXPECT_FALSE(reg.DeleteValue("v1"));
    reg.CloseKey();

    folder.Restart();
    ASSERT_TRUE(reg.OpenKey(kAppKey, false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Alpha", "ALPHA2", "beta"}));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"v2"}));
}

TEST(Registry, DamagedFileIsReportedAndNeverOverwritten) {
    const std::string good = "Corvane registry 1\n[]\n[A]\ns X=1\nend 4\n";
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"", "empty"},
        {"garbage\n", "not a Corvane settings file"},
        {"Corvane registry 1\n[]\n[A]\ns X=1\n", "incomplete"},
        {"Corvane registry 1\n[]\n[A]\ns X=1\nend 4", "middle of a line"},
        {"Corvane registry 1\n[]\n[A]\ns X=1\nend 9\n", "incomplete"},
        {"Corvane registry 1\n[]\n[A]\nq X=1\nend 4\n", "line 4: unknown line"},
        {"Corvane registry 1\n[]\n[A]\ns X%4=1\nend 4\n", "bad escape"},
        {"Corvane registry 1\n[]\n[A]\ns X%2a=1\nend 4\n", "bad escape"},
        {"Corvane registry 1\n[]\n[A]\ns X =1\nend 4\n", "escaped"},
        {"Corvane registry 1\n[]\n[A]\ni X=99999999999\nend 4\n", "out of range"},
        {"Corvane registry 1\n[]\n[A]\ns X=1\ns x=2\nend 5\n", "value listed twice"},
        {"Corvane registry 1\n[]\n[A]\n[a]\nend 4\n", "key listed twice"},
        {"Corvane registry 1\ns X=1\nend 2\n", "value outside a key"},
        {"Corvane registry 1\n[A\\\\B]\nend 2\n", "empty key name"},
        {"Corvane registry 1\n[" + DeepPath(kMaxKeyDepth + 1) + "]\nend 2\n", "nested too deeply"},
    };
    TempFolder folder;
    WriteText(folder.UserHive(), good);
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("A", false)) << reg.LastError();
        EXPECT_EQ(reg.ReadString("X"), "1");
    }
    for (const auto& [text, reason] : damaged) {
        folder.Restart();
        WriteText(folder.UserHive(), text);
        TRegistry reg;
        EXPECT_FALSE(reg.OpenKey(kAppKey, true)) << reason;
        EXPECT_NE(reg.LastError().find(folder.UserHive().string()), std::string::npos);
        EXPECT_NE(reg.LastError().find(reason), std::string::npos)
            << reason << " / " << reg.LastError();
        EXPECT_THROW(reg.WriteString("X", "2"), ERegistryException);
        EXPECT_FALSE(reg.CreateKey("New"));
        EXPECT_EQ(ReadText(folder.UserHive()), text) << reason;
    }
}

TEST(Registry, KeyDepthIsLimited) {
    TempFolder folder;
    TRegistry reg;
    EXPECT_TRUE(reg.OpenKey(DeepPath(kMaxKeyDepth), true));
    EXPECT_FALSE(reg.OpenKey("one_more", true));
    EXPECT_FALSE(reg.CreateKey("one_more"));
    reg.CloseKey();
    EXPECT_FALSE(reg.CreateKey(DeepPath(kMaxKeyDepth + 1)));
    folder.Restart();
    EXPECT_TRUE(reg.OpenKey(DeepPath(kMaxKeyDepth), false)) << reg.LastError();
}

TEST(Registry, MachineRootIsReadOnly) {
    TempFolder folder;
    WriteText(folder.MachineHive(),
              "Corvane registry 1\n[]\n[SOFTWARE]\n[SOFTWARE\\Microsoft]\n"
              "[SOFTWARE\\Microsoft\\Windows Messaging Subsystem]\ns MAPI=1\nend 6\n");
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKeyReadOnly("SOFTWARE\\Microsoft\\Windows Messaging Subsystem"));
    EXPECT_EQ(reg.ReadString("MAPI"), "1");
    EXPECT_THROW(reg.WriteString("MAPI", "0"), ERegistryException);
    EXPECT_FALSE(reg.DeleteValue("MAPI"));
    EXPECT_FALSE(reg.OpenKey("SOFTWARE\\New", true));
    reg.CloseKey();
    EXPECT_FALSE(reg.DeleteKey("SOFTWARE"));

    // A key opened read-only on the user root refuses writes too.
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.CreateKey("\\Software\\Test"));
    ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Test"));
    EXPECT_THROW(reg.WriteInteger("X", 1), ERegistryException);
}

// An installed copy without the administrator's /etc finds the machine-wide settings it ships,
// which mark its Simple-MAPI module as installed.
TEST(Registry, MachineHiveComesFromEtcElseFromTheInstallPrefix) {
    TempFolder folder;
    const auto system_file = folder.path() / "etc" / "registry.ini";
    EXPECT_EQ(MachineHiveFile(system_file, "/opt/corvane/bin/corvane"),
              std::filesystem::path("/opt/corvane/etc/corvane/registry.ini"));
    EXPECT_EQ(MachineHiveFile(system_file, ""), system_file);
    WriteText(system_file, "Corvane registry 1\n[]\nend 1\n");
    EXPECT_EQ(MachineHiveFile(system_file, "/opt/corvane/bin/corvane"), system_file);

    RegistryHive::SetHiveFile(HKEY_LOCAL_MACHINE, CORVANE_SHIPPED_MACHINE_HIVE);
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKeyReadOnly("SOFTWARE\\Microsoft\\Windows Messaging Subsystem"))
        << reg.LastError();
    EXPECT_EQ(reg.GetDataType("MAPI"), TRegDataType::rdString);
    EXPECT_EQ(reg.ReadString("MAPI"), "1");
    folder.Restart();
}

TEST(Registry, WritesAreSharedInProcessAndAnotherProgramsSaveIsSeen) {
    TempFolder folder;
    TRegistry writer;
    ASSERT_TRUE(writer.OpenKey(kAppKey, true));
    writer.WriteString("DBPath", "/data");
    TRegistry reader;
    ASSERT_TRUE(reader.OpenKey(kAppKey, false));
    EXPECT_EQ(reader.ReadString("DBPath"), "/data");  // before any save
    writer.CloseKey();
    reader.CloseKey();

    // Another program replaces the file: the next open reads its contents.
    std::string text = ReadText(folder.UserHive());
    const auto at = text.find("s DBPath=/data");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 14, "s DBPath=/elsewhere");
    WriteFileAtomically(folder.UserHive(), text);
    ASSERT_TRUE(reader.OpenKey(kAppKey, false));
    EXPECT_EQ(reader.ReadString("DBPath"), "/elsewhere");
}

// A child process saves a large tree and is killed with SIGKILL at a chosen
// point; the file left behind must load, and hold either the old or the new tree.
TEST(Registry, SaveKilledHalfWayLeavesOldOrNewFile) {
    enum class KillAt { FirstChunk, LastChunk, AfterSave };
    struct Case {
        KillAt when;
        bool expect_new;
    };
    for (const Case c : {Case{KillAt::FirstChunk, false}, Case{KillAt::LastChunk, false},
                         Case{KillAt::AfterSave, true}}) {
        TempFolder folder;
        {
            TRegistry reg;
            ASSERT_TRUE(reg.OpenKey(kAppKey, true));
            reg.WriteString("Generation", "old");
        }
        const std::string old_text = ReadText(folder.UserHive());

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            SetAtomicWriteHookForTesting([&](std::size_t written, std::size_t total) {
                if ((c.when == KillAt::FirstChunk && written < total) ||
                    (c.when == KillAt::LastChunk && written == total)) {
                    ::raise(SIGKILL);
                }
            });
            TRegistry reg;
            reg.OpenKey(kAppKey, true);
            reg.WriteString("Generation", "new");
            reg.WriteString("Bulk", std::string(256 * 1024, 'x'));
            reg.CloseKey();
            ::raise(SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_EQ(WTERMSIG(status), SIGKILL);

        folder.Restart();
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(kAppKey, false)) << reg.LastError();
        EXPECT_EQ(reg.ReadString("Generation"), c.expect_new ? "new" : "old");
        EXPECT_EQ(reg.ReadString("Bulk").size(), c.expect_new ? 256u * 1024 : 0u);
        if (!c.expect_new) {
            EXPECT_EQ(ReadText(folder.UserHive()), old_text);
        }
        // A stale temporary file of the killed save does not stop the next one.
        reg.WriteString("Generation", "later");
        reg.CloseKey();
        folder.Restart();
        ASSERT_TRUE(reg.OpenKey(kAppKey, false));
        EXPECT_EQ(reg.ReadString("Generation"), "later");
        // ...and that save clears away what the killed one left.
        for (const auto& entry :
             std::filesystem::directory_iterator(folder.UserHive().parent_path())) {
            EXPECT_EQ(entry.path().filename(), "registry.ini");
        }
    }
}

TEST(Registry, SaveToAnUnwritableFolderFailsLoudly) {
    TempFolder folder;
    // A file where the settings folder should be: the save cannot make the folder.
    WriteText(folder.path() / "blocked", "");
    RegistryHive::SetHiveFile(HKEY_CURRENT_USER, folder.path() / "blocked" / "registry.ini");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kAppKey, true));
    reg.WriteString("X", "1");
    EXPECT_THROW(reg.CloseKey(), ERegistryException);
}

TEST(KeyPath, LeadingTrailingAndDoubledSeparatorsAreIgnored) {
    const std::vector<std::string> expected = {"SOFTWARE", "Brovik", "Corvane"};
    for (const std::string_view path :
         {"SOFTWARE\\Brovik\\Corvane", "\\SOFTWARE\\Brovik\\Corvane\\",
          "SOFTWARE\\\\Brovik\\Corvane"}) {
        EXPECT_EQ(SplitKeyPath(path), expected) << path;
    }
    EXPECT_TRUE(SplitKeyPath("\\").empty());
    EXPECT_TRUE(SplitKeyPath("").empty());
}

}  // namespace
}  // namespace platform::config
