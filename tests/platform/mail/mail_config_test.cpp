#include "platform/mail/mail_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/config/registry.h"
#include "platform/mail/delivery.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "tests/platform/mail/peers.h"

namespace mail {
namespace {

using platform::config::HKEY_CURRENT_USER;
using platform::config::RegistryHive;
using platform::config::TRegistry;

class MailConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        RegistryHive::SetHiveFile(HKEY_CURRENT_USER, dir_.path() / "hkcu.ini");
    }
    void TearDown() override {
        RegistryHive::SetHiveFile(HKEY_CURRENT_USER,
                                  RegistryHive::DefaultHiveFile(HKEY_CURRENT_USER));
    }
    void Write(std::string_view key, std::string_view name, std::string_view value) {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(key, true));
        registry.WriteString(name, value);
        registry.CloseKey();
    }
    // gnome-keyring-daemon on the session's bus, answering when this returns.
    std::unique_ptr<testing::ChildProcess> StartKeyring(bool unlocked) {
        auto daemon = std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     std::string("printf unlock | exec gnome-keyring-daemon "
                                                 "--foreground --components=secrets") +
                                         (unlocked ? " --unlock" : "")},
            dir_.path() / "keyring.log");
        EXPECT_EQ(std::system("gdbus wait --session --timeout 10 org.freedesktop.secrets"), 0);
        return daemon;
    }
    testing::TempDir dir_;
};

TEST_F(MailConfig, MissingValuesTakeTheirDefaults) {
    const MailSettings settings = LoadMailSettings();
    EXPECT_EQ(settings.smtp_host, "");
    EXPECT_EQ(settings.smtp_port, 25);
    EXPECT_EQ(settings.dns_timeout_ms, 6000);
    EXPECT_EQ(settings.smtp_security, SmtpSecurity::kNone);
    EXPECT_TRUE(settings.verify_certificates);
    EXPECT_EQ(settings.store_url, "");
}

TEST_F(MailConfig, ReadsTheApplicationsAndItsOwnValues) {
    Write(kApplicationKey, "SMTPHost", "smtp.example.org");
    Write(kApplicationKey, "SMTPPort", "587");
    Write(kApplicationKey, "SMTPID", "listuser");
    Write(kApplicationKey, "SMTPName", "List Owner");
    Write(kApplicationKey, "SMTPEmail", "owner@example.org");
    Write(kApplicationKey, "DNSHost", "127.0.0.1");
    Write(kApplicationKey, "DNSTimeOut", "70000");
    Write(kMailKey, "StoreURL", "imaps://u:p@imap.example.org");
    Write(kMailKey, "SMTPTLS", "1");
    Write(kMailKey, "SMTPPassword", "secret");
    Write(kMailKey, "VerifyCertificates", "False");
    const MailSettings settings = LoadMailSettings();
    EXPECT_EQ(settings.smtp_host, "smtp.example.org");
    EXPECT_EQ(settings.smtp_port, 587);
    EXPECT_EQ(settings.smtp_user, "listuser");
    EXPECT_EQ(settings.from_name, "List Owner");
    EXPECT_EQ(settings.from_address, "owner@example.org");
    EXPECT_EQ(settings.dns_host, "127.0.0.1");
    EXPECT_EQ(settings.dns_timeout_ms, 65000) << "a 16-bit time-out must not wrap";
    EXPECT_EQ(settings.store_url, "imaps://u:p@imap.example.org");
    EXPECT_EQ(settings.smtp_security, SmtpSecurity::kStartTls);
    EXPECT_EQ(settings.smtp_password, "secret");
    EXPECT_FALSE(settings.verify_certificates);
}

TEST_F(MailConfig, UnusableValuesAreNamedInTheError) {
    struct Case {
        std::string_view key, name, value, mentioned;
    };
    const Case cases[] = {
        {kApplicationKey, "SMTPPort", "70000", "SMTPPort"},
        {kApplicationKey, "SMTPPort", "0", "SMTPPort"},
        {kApplicationKey, "SMTPPort", "twenty", "SMTPPort"},
        {kApplicationKey, "DNSTimeOut", "6 s", "DNSTimeOut"},
        {kMailKey, "SMTPTLS", "7", "SMTPTLS"},
        {kMailKey, "VerifyCertificates", "maybe", "VerifyCertificates"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir_.path() / "hkcu.ini");
        RegistryHive::SetHiveFile(HKEY_CURRENT_USER, dir_.path() / "hkcu.ini");
        Write(c.key, c.name, c.value);
        try {
            LoadMailSettings();
            ADD_FAILURE() << c.name << "=" << c.value << " was accepted";
        } catch (const EMailError& e) {
            EXPECT_NE(std::string(e.what()).find(c.mentioned), std::string::npos) << e.what();
        }
    }
}

TEST_F(MailConfig, SimpleMapiRegistrationAndDefaultProfile) {
    using platform::config::HKEY_LOCAL_MACHINE;
    const auto machine = dir_.path() / "hklm.ini";
    auto write_machine = [&](const char* value) {
        RegistryHive hive(machine, false);
        hive.Refresh();
        hive.FindOrCreate({"SOFTWARE", "Microsoft", "Windows Messaging Subsystem"})
            .SetValue({"MAPI", platform::config::TRegDataType::rdString, value, 0});
        hive.MarkDirty();
        hive.Flush();
        RegistryHive::SetHiveFile(HKEY_LOCAL_MACHINE, machine);
    };
    RegistryHive::SetHiveFile(HKEY_LOCAL_MACHINE, machine);
    EXPECT_FALSE(SimpleMapiRegistered());
    write_machine("1");
    EXPECT_TRUE(SimpleMapiRegistered());
    write_machine("1 ");
    EXPECT_FALSE(SimpleMapiRegistered()) << "exactly \"1\"";
    RegistryHive::SetHiveFile(HKEY_LOCAL_MACHINE,
                              RegistryHive::DefaultHiveFile(HKEY_LOCAL_MACHINE));

    EXPECT_EQ(DefaultMapiProfile(), std::nullopt);
    Write("Software\\Microsoft\\Windows Messaging Subsystem\\Profiles", "DefaultProfile", "Old");
    EXPECT_EQ(DefaultMapiProfile(), "Old");
    Write("Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles",
          "DefaultProfile", "Corvane");
    EXPECT_EQ(DefaultMapiProfile(), "Corvane");
}

TEST_F(MailConfig, TheEmbeddedStoreLivesInTheProgramDirectory) {
    setenv("CORVANE_HOME", dir_.path().c_str(), 1);
    EXPECT_EQ(DefaultMailRoot(), dir_.path() / "Mail");
    unsetenv("CORVANE_HOME");
}

// Without a keyring the passwords go into the settings file, which only its
// owner may read; the store's password is kept apart from its address and
// joined to it when the settings are read.
TEST_F(MailConfig, AccountRoundTripsWithPasswordsInThePrivateSettingsFile) {
    MailAccount account;
    account.smtp_security = SmtpSecurity::kTls;
    account.smtp_password = "p@ss:word";
    account.imap = true;
    account.imap_host = "imap.example.org";
    account.imap_port = 10993;
    account.imap_user = "list@example.org";
    account.imap_password = "s/e@cret";
    ASSERT_EQ(SaveMailAccount(account), PasswordPlace::kSettingsFile);
    EXPECT_EQ(std::filesystem::status(dir_.path() / "hkcu.ini").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const MailAccount read = LoadMailAccount();
    EXPECT_EQ(read.smtp_security, SmtpSecurity::kTls);
    EXPECT_EQ(read.smtp_password, "p@ss:word");
    EXPECT_EQ(ImapStoreUrl(read, true), ImapStoreUrl(account, true));
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly(kMailKey));
    EXPECT_EQ(registry.ReadString("StoreURL").find("cret"), std::string::npos);

    // Nor does the keyring have them: the logins are not tried.
    account.smtp_password = account.imap_password = "";
    SaveMailAccount(account);
    Write(kApplicationKey, "SMTPHost", "127.0.0.1");
    Write(kApplicationKey, "SMTPID", "listuser");
    const MailSettings settings = LoadMailSettings();
    const auto missing = ::testing::ThrowsMessage<EMailError>(
        ::testing::HasSubstr("No password could be read from the keyring"));
    EXPECT_THAT([&] { MailStore::Open(settings, dir_.path(), "List"); }, missing);
    EXPECT_THAT([&] { DeliverMessage(settings, {}, nullptr, {}); }, missing);

    account.imap_host = "bad/host";
    EXPECT_THROW(SaveMailAccount(account), EMailError);
}

// Run by the next test inside a D-Bus session with gnome-keyring-daemon.
TEST_F(MailConfig, PasswordsGoToTheKeyringWhenOneRuns) {
    if (std::getenv("CORVANE_KEYRING_SESSION") == nullptr)
        GTEST_SKIP() << "runs inside the keyring session the next test starts";
    MailAccount account;
    account.smtp_password = "in the keyring";
    ASSERT_EQ(SaveMailAccount(account), PasswordPlace::kKeyring);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly(kMailKey));
    EXPECT_EQ(registry.ReadString("SMTPPassword"), "");
    EXPECT_EQ(LoadMailSettings().smtp_password, "in the keyring");
}

// The keyring is killed, or comes back locked, while the program runs: the
// passwords it keeps are not overwritten by the fields it could not fill, and
// one typed meanwhile waits in the settings file until the keyring takes it.
TEST_F(MailConfig, AKeyringThatCannotBeReadLosesNoPassword) {
    if (std::getenv("CORVANE_KEYRING_SESSION") == nullptr) {  // run again in a session of its own
        const std::string command =
            "cd " + dir_.path().string() +
            " && HOME=$PWD XDG_DATA_HOME=$PWD CORVANE_KEYRING_SESSION=1 dbus-run-session "
            "--config-file=" CORVANE_MAIL_PEER_DIR "/keyring_bus.conf -- " +
            std::filesystem::read_symlink("/proc/self/exe").string() +
            " --gtest_filter=MailConfig.AKeyringThatCannotBeReadLosesNoPassword >run.log 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << testing::ReadFile(dir_.path() / "run.log");
        return;
    }
    auto keyring = StartKeyring(true);
    MailAccount account;
    account.smtp_password = "smtp secret";
    account.imap = true;
    account.imap_host = "imap.org";
    account.imap_user = "list";
    account.imap_password = "store secret";
    ASSERT_EQ(SaveMailAccount(account), PasswordPlace::kKeyring);
    for (const auto& [locked, said] : {std::pair{false, "stopped running"}, {true, "locked"}}) {
        keyring->Kill();
        if (locked)
            keyring = StartKeyring(false);
        MailAccount shown = LoadMailAccount();
        EXPECT_THAT(UnreadPasswordsText(shown), ::testing::HasSubstr(said));
        shown.smtp_password = said;  // typed; the store's field left empty
        shown.smtp_password_unread.clear();
        EXPECT_EQ(SaveMailAccount(shown), PasswordPlace::kSettingsFile);
        keyring->Kill();
        keyring = StartKeyring(true);
        MovePasswordsToKeyring();
        TRegistry file;
        ASSERT_TRUE(file.OpenKeyReadOnly(kMailKey));
        EXPECT_EQ(file.ReadString("SMTPPassword") + file.ReadString("StorePassword"), "");
        // OK again in the dialog still open from before the keyring came back.
        EXPECT_EQ(SaveMailAccount(shown), PasswordPlace::kKeyring);
        EXPECT_EQ(LoadMailAccount().smtp_password, said);
        EXPECT_EQ(LoadMailAccount().imap_password, "store secret");
    }
}

TEST(MailConfigKeyring, PasswordsGoToTheKeyringWhenOneRuns) {
    if (std::system("command -v dbus-run-session gnome-keyring-daemon >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no D-Bus session tools or gnome-keyring-daemon";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    // The keyring's files go into a folder of the test's own.
    const testing::TempDir home;
    const std::string command =
        "HOME='" + home.path().string() + "' XDG_DATA_HOME='" + home.path().string() +
        "' CORVANE_KEYRING_SESSION=1 dbus-run-session -- sh -c 'echo unlock | "
        "gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; exec \"" +
        self + "\" --gtest_filter=MailConfig.PasswordsGoToTheKeyringWhenOneRuns' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace mail
