#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/recording_simple_mapi.h"
#include "platform/mail/simple_mapi_provider.h"
#include "tests/platform/mail/peers.h"

namespace mail {
namespace {

using namespace std::chrono_literals;

char* Str(std::string& text) {
    return text.data();
}

class Mapi32 : public ::testing::Test {
  protected:
    void SetUp() override {
        mapi_ = MapiLibrary::Load({CORVANE_mapi32_MODULE});
        ASSERT_NE(mapi_, nullptr);
        settings_.smtp_host = "127.0.0.1";
        settings_.smtp_port = sink_.port();
        settings_.from_address = "owner@example.org";
        settings_.from_name = "List Owner";
        settings_.connect_timeout = 5s;
        settings_.deliver_timeout = 5s;
        Configure();
    }
    void Configure() { mapi_->Configure(settings_, mail_root_); }
    std::filesystem::path mail_root() const { return dir_.path() / "Mail"; }

    testing::TempDir dir_;
    testing::SmtpSink sink_;
    MailSettings settings_;
    std::filesystem::path mail_root_;
    std::unique_ptr<MapiLibrary> mapi_;
};

TEST_F(Mapi32, ModuleAbsentOrIncompleteIsReported) {
    EXPECT_EQ(MapiLibrary::Load({"/nonexistent/libmapi32.so"}), nullptr);
    EXPECT_THROW(MapiLibrary::Load({CORVANE_SMTPServer_MODULE}), EMailError);
}

TEST_F(Mapi32, SessionsOpenAndClose) {
    LHANDLE first = 0, second = 0;
    EXPECT_EQ(mapi_->Logon(0, nullptr, nullptr, MAPI_LOGON_UI | MAPI_NEW_SESSION, 0, &first),
              SUCCESS_SUCCESS);
    EXPECT_EQ(mapi_->Logon(0, "Default", "pw", MAPI_FORCE_DOWNLOAD, 0, &second), SUCCESS_SUCCESS);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(mapi_->Logon(0, nullptr, nullptr, 0, 0, nullptr), static_cast<ULONG>(MAPI_E_FAILURE));
    EXPECT_EQ(mapi_->Logoff(first, 0, 0, 0), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi_->Logoff(first, 0, 0, 0), static_cast<ULONG>(MAPI_E_INVALID_SESSION));
    EXPECT_EQ(mapi_->Logoff(12345, 0, 0, 0), static_cast<ULONG>(MAPI_E_INVALID_SESSION));
    EXPECT_EQ(mapi_->Logoff(second, 0, 0, 0), SUCCESS_SUCCESS);
}

TEST_F(Mapi32, SendMailDeliversEveryRecipientKindAndAttachment) {
    testing::WriteFile(dir_.path() / "VeryLongDocumentName.txt", "attached text");
    LHANDLE session = 0;
    ASSERT_EQ(mapi_->Logon(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
    MapiRecipDesc* resolved = nullptr;
    ASSERT_EQ(mapi_->ResolveName(session, 0, "carl@example.org", 0, 0, &resolved), SUCCESS_SUCCESS);
    // The caller keeps its own copy of the entry id; the descriptor goes back first.
    std::string entry_id(static_cast<const char*>(resolved->lpEntryID), resolved->ulEIDSize);
    EXPECT_EQ(mapi_->FreeBuffer(resolved), SUCCESS_SUCCESS);

    std::string ann = "Ann", ann_address = "SMTP:ann@example.org", carl = "Carl";
    std::string bob = "bob@example.org";
    MapiRecipDesc recips[3] = {};
    recips[0] = {0, MAPI_TO, Str(ann), Str(ann_address), 0, nullptr};
    recips[1] = {
        0, MAPI_CC, Str(carl), nullptr, static_cast<ULONG>(entry_id.size()), entry_id.data()};
    recips[2] = {0, MAPI_BCC, Str(bob), nullptr, 0, nullptr};
    std::string path = (dir_.path() / "VeryLongDocumentName.txt").string(), shown = "mentName.txt";
    MapiFileDesc file{0, 0, 0xFFFFFFFFu, Str(path), Str(shown), nullptr};
    std::string subject = "Änderungen", body = "Line 1\r\n.\r\nLine 3";
    MapiMessage message{};
    message.lpszSubject = Str(subject);
    message.lpszNoteText = Str(body);
    message.flFlags = MAPI_RECEIPT_REQUESTED;
    message.nRecipCount = 3;
    message.lpRecips = recips;
    message.nFileCount = 1;
    message.lpFiles = &file;
    ASSERT_EQ(mapi_->SendMail(session, 0, &message, 0, 0), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi_->Logoff(session, 0, 0, 0), SUCCESS_SUCCESS);

    const auto mails = sink_.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].mail_from, "owner@example.org");
    EXPECT_EQ(mails[0].rcpt_to,
              (std::vector<std::string>{"ann@example.org", "carl@example.org", "bob@example.org"}));
    EXPECT_NE(mails[0].data.find("Disposition-Notification-To:"), std::string::npos);
    const ReceivedMessage parsed = ParseMessage(mails[0].data);
    EXPECT_EQ(parsed.subject, "Änderungen");
    ASSERT_EQ(parsed.to.size(), 1u);
    EXPECT_EQ(parsed.to[0], (Mailbox{"Ann", "ann@example.org"}));
    ASSERT_EQ(parsed.cc.size(), 1u);
    EXPECT_EQ(parsed.cc[0].address, "carl@example.org");
    EXPECT_EQ(parsed.plain_body, "Line 1\r\n.\r\nLine 3");
    ASSERT_EQ(parsed.attachments.size(), 1u);
    EXPECT_EQ(parsed.attachments[0].display_name, "mentName.txt");
    EXPECT_EQ(parsed.attachments[0].data, "attached text");
}

TEST_F(Mapi32, SendMailResultCodes) {
    std::string name = "Someone", address = "SMTP:someone@example.org";
    std::string doubled = "SMTP:SMTP:someone@example.org", broken = "SMTP:a@b.org\r\nRCPT TO:<x@y>";
    std::string missing_path = "/nonexistent/file.pdf";
    struct Case {
        const char* what;
        ULONG recip_class;
        char* address;
        char* file;
        LHANDLE session;
        ULONG expected;
    };
    const Case cases[] = {
        {"bad recipient class", 7, Str(address), nullptr, 0, MAPI_E_BAD_RECIPTYPE},
        {"no address at all", MAPI_TO, nullptr, nullptr, 0, MAPI_E_UNKNOWN_RECIPIENT},
        {"prefix twice", MAPI_TO, Str(doubled), nullptr, 0, MAPI_E_INVALID_RECIPS},
        {"line break in address", MAPI_TO, Str(broken), nullptr, 0, MAPI_E_INVALID_RECIPS},
        {"missing attachment", MAPI_TO, Str(address), Str(missing_path), 0,
         MAPI_E_ATTACHMENT_NOT_FOUND},
        {"unknown session", MAPI_TO, Str(address), nullptr, 999, MAPI_E_INVALID_SESSION},
    };
    for (const auto& c : cases) {
        MapiRecipDesc recip{0, c.recip_class, Str(name), c.address, 0, nullptr};
        MapiFileDesc file{0, 0, 0xFFFFFFFFu, c.file, nullptr, nullptr};
        MapiMessage message{};
        message.nRecipCount = 1;
        message.lpRecips = &recip;
        message.nFileCount = c.file ? 1 : 0;
        message.lpFiles = c.file ? &file : nullptr;
        EXPECT_EQ(mapi_->SendMail(c.session, 0, &message, 0, 0), c.expected) << c.what;
    }
    MapiMessage empty{};
    EXPECT_EQ(mapi_->SendMail(0, 0, &empty, 0, 0), static_cast<ULONG>(MAPI_E_UNKNOWN_RECIPIENT));
    EXPECT_EQ(mapi_->SendMail(0, 0, nullptr, 0, 0), static_cast<ULONG>(MAPI_E_FAILURE));
    MapiMessage no_array{};
    no_array.nRecipCount = 2;
    EXPECT_EQ(mapi_->SendMail(0, 0, &no_array, 0, 0), static_cast<ULONG>(MAPI_E_INVALID_RECIPS));

    ULONG count = 9;
    MapiRecipDesc* out = reinterpret_cast<MapiRecipDesc*>(&count);
    EXPECT_EQ(mapi_->Address(0, 0, "", 4, nullptr, 0, nullptr, 0, 0, &count, &out),
              static_cast<ULONG>(MAPI_E_NOT_SUPPORTED));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(out, nullptr);
    char id[512] = {};
    MapiMessage* read = nullptr;
    EXPECT_EQ(mapi_->FindNext(0, 0, nullptr, nullptr, 0, 0, id),
              static_cast<ULONG>(MAPI_E_NOT_SUPPORTED));
    EXPECT_EQ(mapi_->ReadMail(0, 0, id, 0, 0, &read), static_cast<ULONG>(MAPI_E_NOT_SUPPORTED));
    EXPECT_EQ(mapi_->DeleteMail(0, 0, id, 0, 0), static_cast<ULONG>(MAPI_E_NOT_SUPPORTED));
    EXPECT_EQ(mapi_->SaveMail(0, 0, &empty, 0, 0, id), static_cast<ULONG>(MAPI_E_NOT_SUPPORTED));
    EXPECT_EQ(sink_.MessageCount(), 0u);

    settings_.smtp_port = testing::FreeTcpPort();
    Configure();
    MapiRecipDesc recip{0, MAPI_TO, Str(name), Str(address), 0, nullptr};
    MapiMessage message{};
    message.nRecipCount = 1;
    message.lpRecips = &recip;
    EXPECT_EQ(mapi_->SendMail(0, 0, &message, 0, 0), static_cast<ULONG>(MAPI_E_FAILURE))
        << "a server that is down is a failure, never success";
}

// The module checks server certificates as the settings say, like every other
// way the program sends.
TEST(Mapi32Tls, CertificatesAreCheckedAsTheSettingsSay) {
    testing::SmtpSink sink("starttls");
    auto mapi = MapiLibrary::Load({CORVANE_mapi32_MODULE});
    ASSERT_NE(mapi, nullptr);
    MailSettings settings;
    settings.smtp_host = "127.0.0.1";
    settings.smtp_port = sink.port();
    settings.smtp_security = SmtpSecurity::kStartTls;
    settings.from_address = "owner@example.org";
    settings.connect_timeout = 20s;
    settings.deliver_timeout = 10s;
    std::string name = "Someone", address = "SMTP:someone@example.org";
    MapiRecipDesc recip{0, MAPI_TO, Str(name), Str(address), 0, nullptr};
    MapiMessage message{};
    message.nRecipCount = 1;
    message.lpRecips = &recip;

    mapi->Configure(settings, {});
    EXPECT_EQ(mapi->SendMail(0, 0, &message, 0, 0), static_cast<ULONG>(MAPI_E_FAILURE))
        << "the sink's certificate is its own, not one of the system's";
    settings.verify_certificates = false;
    mapi->Configure(settings, {});
    EXPECT_EQ(mapi->SendMail(0, 0, &message, 0, 0), SUCCESS_SUCCESS);
    ASSERT_EQ(sink.WaitForMessages(1).size(), 1u);
    EXPECT_EQ(sink.Sessions(), "tls=True login=None\n");
}

TEST_F(Mapi32, ResolveNameUsesContactsAndOwnsItsBuffers) {
    mail_root_ = mail_root();
    MailStore::OpenMaildir(settings_, mail_root_, "MailingList");
    testing::WriteFile(mail_root_ / ".Contacts" / "vcards" / "c.vcf",
                       "BEGIN:VCARD\nFN:Ann Example\nEMAIL:ann@example.org\nEND:VCARD\n"
                       "BEGIN:VCARD\nFN:Twin\nEMAIL:t1@example.org\nEND:VCARD\n"
                       "BEGIN:VCARD\nFN:Twin\nEMAIL:t2@example.org\nEND:VCARD\n");
    Configure();
    MapiRecipDesc* recip = nullptr;
    ASSERT_EQ(mapi_->ResolveName(0, 0, "ann example", 0, 0, &recip), SUCCESS_SUCCESS);
    EXPECT_STREQ(recip->lpszName, "Ann Example");
    EXPECT_STREQ(recip->lpszAddress, "SMTP:ann@example.org");
    EXPECT_EQ(MapiProvider::AddressOfEntryId(recip->lpEntryID, recip->ulEIDSize),
              "ann@example.org");
    EXPECT_EQ(mapi_->FreeBuffer(recip), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi_->FreeBuffer(recip), static_cast<ULONG>(MAPI_E_FAILURE)) << "freed twice";
    int not_ours = 0;
    EXPECT_EQ(mapi_->FreeBuffer(&not_ours), static_cast<ULONG>(MAPI_E_FAILURE));
    EXPECT_EQ(mapi_->FreeBuffer(nullptr), SUCCESS_SUCCESS);

    ASSERT_EQ(mapi_->ResolveName(0, 0, "SMTP:direct@example.org", 0, 0, &recip), SUCCESS_SUCCESS);
    EXPECT_STREQ(recip->lpszName, "direct@example.org");
    EXPECT_EQ(mapi_->FreeBuffer(recip), SUCCESS_SUCCESS);

    EXPECT_EQ(mapi_->ResolveName(0, 0, "Twin", 0, 0, &recip),
              static_cast<ULONG>(MAPI_E_AMBIGUOUS_RECIPIENT));
    EXPECT_EQ(recip, nullptr);
    EXPECT_EQ(mapi_->ResolveName(0, 0, "Nobody", MAPI_DIALOG, 0, &recip),
              static_cast<ULONG>(MAPI_E_UNKNOWN_RECIPIENT));
    EXPECT_EQ(mapi_->ResolveName(0, 0, nullptr, 0, 0, &recip),
              static_cast<ULONG>(MAPI_E_UNKNOWN_RECIPIENT));
    EXPECT_EQ(mapi_->ResolveName(77, 0, "x@y.org", 0, 0, &recip),
              static_cast<ULONG>(MAPI_E_INVALID_SESSION));
}

// The address book shows the store's contacts with the caller's lists and
// hands back what was chosen, in one block the caller frees.
TEST_F(Mapi32, AddressBookOffersTheStoresContactsAndReturnsTheChosenLists) {
    mail_root_ = mail_root();
    MailStore::OpenMaildir(settings_, mail_root_, "MailingList");
    testing::WriteFile(mail_root_ / ".Contacts" / "vcards" / "c.vcf",
                       "BEGIN:VCARD\nFN:Ann Example\nEMAIL:ann@example.org\nEND:VCARD\n");
    MapiProvider provider;
    provider.Configure(settings_, mail_root_);
    LHANDLE session = 0;
    ASSERT_EQ(provider.Logon(0, nullptr, nullptr, 0, 0, &session), SUCCESS_SUCCESS);
    std::string boss = "Boss", boss_address = "SMTP:boss@example.org";
    MapiRecipDesc preset[1] = {{0, MAPI_TO, Str(boss), Str(boss_address), 0, nullptr}};
    ULONG count = 0;
    MapiRecipDesc* chosen = nullptr;
    std::vector<ContactItem> shown;
    AddressBookChoice given;
    bool cancel = false;
    provider.SetAddressBookUi(
        [&](const std::vector<ContactItem>& contacts,
            const AddressBookChoice& lists) -> std::optional<AddressBookChoice> {
            shown = contacts;
            given = lists;
            if (cancel)
                return std::nullopt;
            return AddressBookChoice{lists.to, {{"Ann Example", "ann@example.org"}}};
        });
    ASSERT_EQ(provider.Address(session, 0, "", 4, "", 1, preset, 0, 0, &count, &chosen),
              SUCCESS_SUCCESS);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].email1, "ann@example.org");
    EXPECT_EQ(given.to, (std::vector<Mailbox>{{"Boss", "boss@example.org"}}));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(chosen[0].ulRecipClass, static_cast<ULONG>(MAPI_TO));
    EXPECT_STREQ(chosen[0].lpszName, "Boss <boss@example.org>");
    EXPECT_EQ(chosen[1].ulRecipClass, static_cast<ULONG>(MAPI_CC));
    EXPECT_STREQ(chosen[1].lpszAddress, "SMTP:ann@example.org");
    EXPECT_EQ(provider.FreeBuffer(chosen), SUCCESS_SUCCESS);
    cancel = true;
    EXPECT_EQ(provider.Address(session, 0, "", 4, "", 0, nullptr, 0, 0, &count, &chosen),
              static_cast<ULONG>(MAPI_USER_ABORT));
    EXPECT_EQ(count, 0u);
}

TEST_F(Mapi32, WithoutSmtpServerTheMessageGoesToTheOutbox) {
    settings_.smtp_host.clear();
    mail_root_ = mail_root();
    Configure();
    std::string name = "x", address = "to@example.org", subject = "Queued";
    MapiRecipDesc recip{0, MAPI_TO, Str(name), Str(address), 0, nullptr};
    MapiMessage message{};
    message.lpszSubject = Str(subject);
    message.nRecipCount = 1;
    message.lpRecips = &recip;
    ASSERT_EQ(mapi_->SendMail(0, 0, &message, 0, 0), SUCCESS_SUCCESS);
    auto store = MailStore::OpenMaildir(settings_, mail_root_, "");
    Folder& outbox = store->Root(1).SubFolder("Outbox");
    ASSERT_EQ(outbox.ItemCount(), 1u);
    EXPECT_EQ(outbox.Item(1).Subject(), "Queued");
    EXPECT_EQ(sink_.MessageCount(), 0u);
}

TEST_F(Mapi32, DialogHandsTheMessageToTheComposer) {
    const auto script = dir_.path() / "compose.sh";
    const auto out = dir_.path() / "args.txt";
    testing::WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + out.string() +
                                   "'\nexit ${COMPOSE_EXIT:-0}\n");
    chmod(script.c_str(), 0755);
    settings_.compose_command = script.string();
    Configure();
    std::string to = "SMTP:to@example.org", cc = "cc@example.org", name = "n";
    std::string subject = "Hello", body = "Body text";
    MapiRecipDesc recips[2] = {{0, MAPI_TO, Str(name), Str(to), 0, nullptr},
                               {0, MAPI_CC, Str(name), Str(cc), 0, nullptr}};
    MapiMessage message{};
    message.lpszSubject = Str(subject);
    message.lpszNoteText = Str(body);
    message.nRecipCount = 2;
    message.lpRecips = recips;
    ASSERT_EQ(mapi_->SendMail(0, 0, &message, MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_DIALOG, 0),
              SUCCESS_SUCCESS);
    EXPECT_EQ(testing::ReadFile(out),
              "--cc\ncc@example.org\n--subject\nHello\n--body\nBody text\nto@example.org\n");
    EXPECT_EQ(sink_.MessageCount(), 0u);

    // Without recipients the composer still opens, so the user can address it.
    message.nRecipCount = 0;
    message.lpRecips = nullptr;
    EXPECT_EQ(mapi_->SendMail(0, 0, &message, MAPI_DIALOG, 0), SUCCESS_SUCCESS);

    setenv("COMPOSE_EXIT", "3", 1);
    EXPECT_EQ(mapi_->SendMail(0, 0, &message, MAPI_DIALOG, 0), static_cast<ULONG>(MAPI_E_FAILURE));
    unsetenv("COMPOSE_EXIT");
    settings_.compose_command = "/nonexistent/composer";
    Configure();
    EXPECT_EQ(mapi_->SendMail(0, 0, &message, MAPI_DIALOG, 0), static_cast<ULONG>(MAPI_E_FAILURE));
}

TEST(RecordingSimpleMapi, RecordsDeepCopiesScriptsResultsAndTracksBuffers) {
    RecordingSimpleMapi mapi;
    LHANDLE session = 0;
    mapi.QueueResult("MAPILogon", MAPI_E_LOGIN_FAILURE);
    EXPECT_EQ(mapi.Logon(0, "Profile", nullptr, MAPI_NEW_SESSION, 0, &session),
              static_cast<ULONG>(MAPI_E_LOGIN_FAILURE));
    EXPECT_EQ(mapi.Logon(0, nullptr, nullptr, MAPI_LOGON_UI, 0, &session), SUCCESS_SUCCESS);
    EXPECT_TRUE(mapi.SessionOpen(session));

    mapi.SetResolution("Ann", {MAPI_E_AMBIGUOUS_RECIPIENT, "", std::nullopt, ""});
    mapi.SetResolution("dialog:Ann", {SUCCESS_SUCCESS, "Ann Smith", "SMTP:ann@x.org", "ID1"});
    MapiRecipDesc* recip = nullptr;
    EXPECT_EQ(mapi.ResolveName(session, 0, "Ann", 0, 0, &recip),
              static_cast<ULONG>(MAPI_E_AMBIGUOUS_RECIPIENT));
    ASSERT_EQ(mapi.ResolveName(session, 0, "Ann", MAPI_DIALOG, 0, &recip), SUCCESS_SUCCESS);
    EXPECT_STREQ(recip->lpszName, "Ann Smith");
    EXPECT_EQ(mapi.LiveBuffers(), 1u);

    std::string subject = "S";
    MapiMessage message{};
    message.lpszSubject = Str(subject);
    message.nRecipCount = 1;
    message.lpRecips = recip;
    mapi.SetResult("MAPISendMail", MAPI_USER_ABORT);
    EXPECT_EQ(mapi.SendMail(session, 0, &message, MAPI_DIALOG, 0),
              static_cast<ULONG>(MAPI_USER_ABORT));
    EXPECT_EQ(mapi.FreeBuffer(recip), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi.FreeBuffer(recip), static_cast<ULONG>(MAPI_E_FAILURE));
    EXPECT_EQ(mapi.BadFrees(), 1);
    EXPECT_EQ(mapi.LiveBuffers(), 0u);

    const auto sends = mapi.CallsOf("MAPISendMail");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].flags, static_cast<FLAGS>(MAPI_DIALOG));
    ASSERT_TRUE(sends[0].message.has_value());
    EXPECT_EQ(sends[0].message->subject, "S");
    EXPECT_FALSE(sends[0].message->note_text.has_value());
    ASSERT_EQ(sends[0].message->recips.size(), 1u);
    EXPECT_EQ(sends[0].message->recips[0],
              (RecordedRecipient{MAPI_TO, "Ann Smith", "SMTP:ann@x.org", "ID1"}));

    mapi.SetAddressBookAnswer({{MAPI_CC, "Bob", "SMTP:bob@x.org", ""}});
    ULONG count = 0;
    MapiRecipDesc* chosen = nullptr;
    ASSERT_EQ(mapi.Address(session, 0, "", 4, nullptr, 0, nullptr, 0, 0, &count, &chosen),
              SUCCESS_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(chosen[0].ulRecipClass, static_cast<ULONG>(MAPI_CC));
    EXPECT_EQ(mapi.FreeBuffer(chosen), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi.Logoff(session, 0, 0, 0), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi.Logoff(session, 0, 0, 0), static_cast<ULONG>(MAPI_E_INVALID_SESSION));
    EXPECT_EQ(mapi.calls().front().text, "Profile");
}

}  // namespace
}  // namespace mail
