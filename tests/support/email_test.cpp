#include "support/email.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/smapi.h"
#include "tests/support/mapi_sandbox.h"

namespace support {
namespace {

using mail::RecordedCall;
using mail::RecordedRecipient;
using mail::RecordingSimpleMapi;

std::vector<std::string> Lines(const db::TStrings& list) {
    return list.ToVector();
}

void Fill(db::TStrings& list, const std::vector<std::string>& lines) {
    list.Clear();
    for (const auto& line : lines)
        list.Add(line);
}

std::vector<std::string> Functions(const RecordingSimpleMapi& mapi) {
    std::vector<std::string> names;
    for (const auto& call : mapi.calls())
        names.push_back(call.function);
    return names;
}

class Email : public ::testing::Test {
  protected:
    void SetUp() override {
        mapi_ = &sandbox_.InstallRecording();
        email_ = db::MakeComponent<TEmail>(nullptr);
        email_->OnBeforeLogon = [this](db::TObject*) { events_.push_back("BeforeLogon"); };
        email_->OnAfterLogon = [this](db::TObject*) { events_.push_back("AfterLogon"); };
        email_->OnBeforeLogoff = [this](db::TObject*) { events_.push_back("BeforeLogoff"); };
        email_->OnAfterLogoff = [this](db::TObject*) { events_.push_back("AfterLogoff"); };
        email_->OnBeforeSendMail = [this](db::TObject*) { events_.push_back("BeforeSendMail"); };
        email_->OnAfterSendMail = [this](db::TObject*) { events_.push_back("AfterSendMail"); };
        email_->OnMapiError = [this](db::TObject* sender, int code) {
            EXPECT_EQ(sender, email_.get());
            events_.push_back("MapiError " + std::to_string(code));
        };
    }
    void TearDown() override { email_.reset(); }

    std::string File(const std::string& name, const std::string& text = "data") {
        const auto path = sandbox_.path() / name;
        std::filesystem::create_directories(path.parent_path());
        mail::testing::WriteFile(path, text);
        return path.string();
    }
    RecordedCall OnlySend() const {
        const auto sends = mapi_->CallsOf("MAPISendMail");
        EXPECT_EQ(sends.size(), 1u);
        return sends.empty() ? RecordedCall{} : sends.front();
    }

    testing::MapiSandbox sandbox_;
    RecordingSimpleMapi* mapi_ = nullptr;
    db::ComponentPtr<TEmail> email_;
    std::vector<std::string> events_;
};

TEST_F(Email, LogonRetriesWithoutProfileAndReportsFailures) {
    struct Case {
        const char* what;
        std::vector<ULONG> results;  // of the MAPILogon calls, in order
        int expected;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"first try", {SUCCESS_SUCCESS}, 0, {"BeforeLogon", "AfterLogon"}},
        {"retry with the client's profile dialog",
         {MAPI_E_LOGIN_FAILURE, SUCCESS_SUCCESS},
         0,
         {"BeforeLogon", "AfterLogon"}},
        {"both fail", {MAPI_E_LOGIN_FAILURE, MAPI_USER_ABORT}, 1, {"BeforeLogon", "MapiError 1"}},
    };
    sandbox_.WriteUser(
        "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles",
        "DefaultProfile", "Corvane");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto email = db::MakeComponent<TEmail>(nullptr);
        email->OnBeforeLogon = email_->OnBeforeLogon;
        email->OnAfterLogon = email_->OnAfterLogon;
        email->OnMapiError = [this](db::TObject*, int code) {
            events_.push_back("MapiError " + std::to_string(code));
        };
        email->SetUseDefProfile(true);
        email->SetDownLoadFirst(true);
        email->SetNewSession(true);
        email->SetNewSession(false);
        email->SetPassword("pw");
        mapi_->ClearCalls();
        events_.clear();
        for (ULONG result : c.results)
            mapi_->QueueResult("MAPILogon", result);
        EXPECT_EQ(email->Logon(), c.expected);
        EXPECT_EQ(events_, c.events);
        EXPECT_EQ(email->Profile(), "Corvane");
        const auto logons = mapi_->CallsOf("MAPILogon");
        ASSERT_EQ(logons.size(), c.results.size());
        EXPECT_EQ(logons[0].text, "Corvane");
        EXPECT_EQ(logons[0].password, "pw");
        EXPECT_EQ(logons[0].flags, static_cast<FLAGS>(MAPI_FORCE_DOWNLOAD));
        EXPECT_EQ(logons[0].ui, 0u);
        if (logons.size() > 1) {
            EXPECT_EQ(logons[1].text, std::nullopt);
            EXPECT_EQ(logons[1].password, std::nullopt);
            EXPECT_EQ(logons[1].flags, static_cast<FLAGS>(MAPI_FORCE_DOWNLOAD | MAPI_LOGON_UI));
        }
        EXPECT_EQ(email->SessionOpen(), c.expected == 0);

        // Open already: nothing happens.
        events_.clear();
        mapi_->ClearCalls();
        if (c.expected == 0) {
            EXPECT_EQ(email->Logon(), 0);
            EXPECT_TRUE(events_.empty());
            EXPECT_TRUE(mapi_->calls().empty());
        }
    }
}

TEST_F(Email, LogoffClosesOnlyAnOpenSessionAndDestructionClosesIt) {
    EXPECT_EQ(email_->Logoff(), 0);
    EXPECT_TRUE(mapi_->calls().empty());
    EXPECT_TRUE(events_.empty());

    ASSERT_EQ(email_->Logon(), 0);
    const LHANDLE session = mapi_->calls().back().session;
    events_.clear();
    EXPECT_EQ(email_->Logoff(), 0);
    EXPECT_EQ(events_, (std::vector<std::string>{"BeforeLogoff", "AfterLogoff"}));
    const auto logoffs = mapi_->CallsOf("MAPILogoff");
    ASSERT_EQ(logoffs.size(), 1u);
    EXPECT_EQ(logoffs[0].session, session);
    EXPECT_EQ(logoffs[0].flags, 0u);
    EXPECT_FALSE(email_->SessionOpen());

    ASSERT_EQ(email_->Logon(), 0);
    const LHANDLE second = mapi_->calls().back().session;
    events_.clear();
    email_.reset();
    EXPECT_EQ(events_, (std::vector<std::string>{"BeforeLogoff", "AfterLogoff"}));
    EXPECT_FALSE(mapi_->SessionOpen(second));
}

TEST_F(Email, SendMailHandsOverExactRecordsWithCopiedEntryIds) {
    mapi_->SetResolution("ann", {SUCCESS_SUCCESS, "Ann Example", "SMTP:ann@example.org", "ID-ann"});
    mapi_->SetResolution("Bob [bob@example.org]", {SUCCESS_SUCCESS, "Bob", std::nullopt, "ID-bob"});
    mapi_->SetResolution("carl", {SUCCESS_SUCCESS, "Carl", std::nullopt, ""});
    Fill(email_->Recipient(), {"ann", "", "Bob [bob@example.org]"});
    Fill(email_->CC(), {"carl"});
    Fill(email_->Bcc(), {"dave@example.org"});
    const std::string report = File("VeryLongDocumentName.txt");
    const std::string plain = File("abcdefghijklmnop");
    Fill(email_->Attachment(), {report, plain});
    email_->SetSubject("Monthly news");
    EXPECT_EQ(email_->SetText("Body line 1\r\nBody line 2"), 24);
    email_->SetAcknowledge(true);

    ASSERT_EQ(email_->SendMail(), 0);

    EXPECT_EQ(events_, (std::vector<std::string>{"BeforeLogon", "AfterLogon", "BeforeSendMail",
                                                 "AfterSendMail", "BeforeLogoff", "AfterLogoff"}));
    EXPECT_EQ(Functions(*mapi_),
              (std::vector<std::string>{"MAPILogon", "MAPIResolveName", "MAPIFreeBuffer",
                                        "MAPIResolveName", "MAPIFreeBuffer", "MAPIResolveName",
                                        "MAPIFreeBuffer", "MAPIResolveName", "MAPIFreeBuffer",
                                        "MAPISendMail", "MAPILogoff"}));
    const RecordedCall send = OnlySend();
    EXPECT_EQ(send.session, mapi_->calls().front().session);
    EXPECT_EQ(send.ui, 0u);
    EXPECT_EQ(send.flags, 0u);
    ASSERT_TRUE(send.message);
    const auto& message = *send.message;
    EXPECT_EQ(message.subject, "Monthly news");
    EXPECT_EQ(message.note_text, "Body line 1\r\nBody line 2");
    EXPECT_EQ(message.flags, static_cast<FLAGS>(MAPI_RECEIPT_REQUESTED));
    EXPECT_FALSE(message.originator);
    EXPECT_EQ(message.recip_count, 4u);
    EXPECT_EQ(message.recips,
              (std::vector<RecordedRecipient>{
                  {MAPI_TO, "Ann Example", "SMTP:ann@example.org", "ID-ann"},
                  {MAPI_TO, "Bob bob@example.org", "Bob bob@example.org", ""},
                  {MAPI_CC, "Carl", "Carl", ""},
                  {MAPI_BCC, "dave@example.org", "SMTP:dave@example.org", "EID:dave@example.org"},
              }));
    ASSERT_EQ(message.file_count, 2u);
    EXPECT_EQ(message.files[0],
              (mail::RecordedFile{0, 0xFFFFFFFFu, report, "mentName.txt", false}));
    EXPECT_EQ(message.files[1], (mail::RecordedFile{0, 0xFFFFFFFFu, plain, "efghijklmnop", false}));

    // Resolved entries now hold the display name; the bracketed one stays as written.
    EXPECT_EQ(Lines(email_->Recipient()),
              (std::vector<std::string>{"Ann Example", "", "Bob [bob@example.org]"}));
    EXPECT_EQ(Lines(email_->CC()), (std::vector<std::string>{"Carl"}));
    EXPECT_EQ(mapi_->LiveBuffers(), 0u);
    EXPECT_EQ(mapi_->BadFrees(), 0);
    EXPECT_FALSE(email_->SessionOpen());
}

TEST_F(Email, DialogFlagAndUnresolvedRecipients) {
    struct Case {
        const char* what;
        std::vector<std::string> to;
        bool show_dialog;
        int expected;
        std::optional<FLAGS> send_flags;  // nullopt: nothing sent
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {"no recipients at all: the client addresses it", {}, false, 0, MAPI_DIALOG, {}},
        {"ShowDialog", {"ann@example.org"}, true, 0, MAPI_DIALOG, {}},
        {"unknown twice is reported, then nothing is sent",
         {"nobody", "ghost"},
         false,
         MAPI_E_UNKNOWN_RECIPIENT,
         std::nullopt,
         {"MapiError 14", "MapiError 14", "MapiError 14"}},
        {"unknown with ShowDialog goes to the dialog",
         {"nobody"},
         true,
         0,
         MAPI_DIALOG,
         {"MapiError 14"}},
        {"one failure leaves the others",
         {"broken", "ann@example.org"},
         false,
         0,
         0u,
         {"MapiError 2"}},
    };
    mapi_->SetResolution("nobody", {MAPI_E_UNKNOWN_RECIPIENT, "", std::nullopt, ""});
    mapi_->SetResolution("ghost", {MAPI_E_AMBIGUOUS_RECIPIENT, "", std::nullopt, ""});
    mapi_->SetResolution("dialog:ghost", {MAPI_E_UNKNOWN_RECIPIENT, "", std::nullopt, ""});
    mapi_->SetResolution("broken", {MAPI_E_FAILURE, "", std::nullopt, ""});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mapi_->ClearCalls();
        events_.clear();
        Fill(email_->Recipient(), c.to);
        email_->SetShowDialog(c.show_dialog);
        EXPECT_EQ(email_->SendMail(), c.expected);
        const auto sends = mapi_->CallsOf("MAPISendMail");
        ASSERT_EQ(sends.size(), c.send_flags ? 1u : 0u);
        if (c.send_flags) {
            EXPECT_EQ(sends[0].flags, *c.send_flags);
            EXPECT_EQ(sends[0].message->has_recip_array, sends[0].message->recip_count > 0);
        }
        std::vector<std::string> errors;
        for (const auto& event : events_) {
            if (event.rfind("MapiError", 0) == 0)
                errors.push_back(event);
        }
        EXPECT_EQ(errors, c.errors);
        EXPECT_FALSE(email_->SessionOpen());
        EXPECT_EQ(mapi_->LiveBuffers(), 0u);
    }
    // Only "not found" and "ambiguous" get a second try with the client's dialog.
    mapi_->ClearCalls();
    Fill(email_->Recipient(), {"broken", "ghost"});
    email_->SendMail();
    const auto resolves = mapi_->CallsOf("MAPIResolveName");
    ASSERT_EQ(resolves.size(), 3u);
    EXPECT_EQ(resolves[0].flags, 0u);
    EXPECT_EQ(resolves[1].text, "ghost");
    EXPECT_EQ(resolves[1].flags, 0u);
    EXPECT_EQ(resolves[2].flags, static_cast<FLAGS>(MAPI_DIALOG));
}

TEST_F(Email, MissingAttachmentReportsOnceAndSendsNothing) {
    Fill(email_->Recipient(), {"ann@example.org"});
    Fill(email_->Attachment(), {File("there.txt"), (sandbox_.path() / "missing.pdf").string()});
    EXPECT_EQ(email_->SendMail(), MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "MapiError 11"), 1);
    EXPECT_TRUE(mapi_->CallsOf("MAPISendMail").empty());
    EXPECT_EQ(mapi_->CallsOf("MAPILogoff").size(), 1u) << "the session the call opened is closed";
    EXPECT_FALSE(email_->SessionOpen());

    // A session opened before the call stays open.
    ASSERT_EQ(email_->Logon(), 0);
    mapi_->ClearCalls();
    EXPECT_EQ(email_->SendMail(), MAPI_E_ATTACHMENT_NOT_FOUND);
    EXPECT_TRUE(mapi_->CallsOf("MAPILogoff").empty());
    EXPECT_TRUE(email_->SessionOpen());

    // A directory is not a file to attach.
    Fill(email_->Attachment(), {sandbox_.path().string()});
    EXPECT_EQ(email_->SendMail(), MAPI_E_ATTACHMENT_NOT_FOUND);
}

TEST_F(Email, LongAttachmentPathsAreNotCut) {
    std::string folder;
    for (int i = 0; i < 6; ++i)
        folder += std::string(60, static_cast<char>('a' + i)) + "/";
    const std::string path = File(folder + "report.txt");
    ASSERT_GT(path.size(), 255u);
    EXPECT_EQ(email_->CheckAttachment(path), path);
    EXPECT_EQ(email_->CheckAttachment(path.substr(0, 255)), "");
    Fill(email_->Recipient(), {"ann@example.org"});
    Fill(email_->Attachment(), {path});
    ASSERT_EQ(email_->SendMail(), 0);
    EXPECT_EQ(OnlySend().message->files.at(0).path_name, path);
}

TEST_F(Email, FailedLogonIsReportedTwiceAndStopsTheSend) {
    mapi_->SetResult("MAPILogon", MAPI_E_LOGIN_FAILURE);
    Fill(email_->Recipient(), {"ann@example.org"});
    EXPECT_EQ(email_->SendMail(), MAPI_E_LOGIN_FAILURE);
    EXPECT_EQ(events_, (std::vector<std::string>{"BeforeLogon", "MapiError 3", "MapiError 3"}));
    EXPECT_TRUE(mapi_->CallsOf("MAPISendMail").empty());
    EXPECT_TRUE(mapi_->CallsOf("MAPIResolveName").empty());
}

TEST_F(Email, EveryListIsReplacedOnEachSendNeverLeftOver) {
    Fill(email_->Recipient(), {"first@example.org"});
    Fill(email_->CC(), {"copy@example.org"});
    Fill(email_->Bcc(), {"hidden@example.org"});
    Fill(email_->Attachment(), {File("one.txt")});
    ASSERT_EQ(email_->SendMail(), 0);

    db::TStringList empty, next;
    next.Add("second@example.org");
    email_->SetRecipient(next);
    email_->SetCC(empty);
    email_->SetBcc(empty);
    email_->SetAttachment(empty);
    mapi_->ClearCalls();
    ASSERT_EQ(email_->SendMail(), 0);
    const auto message = *OnlySend().message;
    ASSERT_EQ(message.recips.size(), 1u);
    EXPECT_EQ(message.recips[0].name, "second@example.org");
    EXPECT_EQ(message.file_count, 0u);
    EXPECT_FALSE(message.has_file_array);
}

TEST_F(Email, BodyComesFromSetTextOrText) {
    struct Case {
        const char* what;
        std::optional<std::string> text_value;
        std::optional<std::string> set_text;
        bool clear;
        std::optional<std::string> note;
    };
    const std::string long_body(1000, 'x');
    const Case cases[] = {
        {"Text", "plain", std::nullopt, false, "plain"},
        {"SetText overrides Text", "plain", "buffer", false, "buffer"},
        {"a long body is kept whole", long_body, std::nullopt, false, long_body},
        {"Clear leaves no body", "plain", "buffer", true, std::nullopt},
    };
    Fill(email_->Recipient(), {"ann@example.org"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mapi_->ClearCalls();
        if (c.text_value)
            email_->SetTextValue(*c.text_value);
        if (c.set_text) {
            EXPECT_EQ(email_->SetText(*c.set_text), static_cast<std::int64_t>(c.set_text->size()));
            EXPECT_EQ(email_->Text(), "");
        }
        if (c.clear) {
            email_->Clear();
            Fill(email_->Recipient(), {"ann@example.org"});
        }
        ASSERT_EQ(email_->SendMail(), 0);
        EXPECT_EQ(OnlySend().message->note_text, c.note);
        email_->SetText(std::nullopt);
    }
    EXPECT_EQ(email_->SetText("Grüße"), 5) << "length in characters";
    email_->SetAcknowledge(true);
    email_->SetSubject("S");
    email_->Clear();
    EXPECT_FALSE(email_->Acknowledge());
    EXPECT_EQ(email_->Subject(), "");
    EXPECT_EQ(email_->Recipient().Count(), 0);
}

TEST(ShortStrings, CutAtACharacterBoundary) {
    struct Case {
        const char* what;
        std::string text;
        std::string expected;
    };
    std::string umlauts, euro_end(254, 'a');
    for (int i = 0; i < 300; ++i)
        umlauts += "ä";
    euro_end += "€€";
    const Case cases[] = {
        {"short", "Hello", "Hello"},
        {"ascii", std::string(300, 's'), std::string(255, 's')},
        {"two-byte characters", umlauts, umlauts.substr(0, 510)},
        {"three-byte character at the edge", euro_end, std::string(254, 'a') + "€"},
        {"broken bytes count one each", std::string(300, '\xff'), std::string(255, '\xff')},
        {"a lead byte without its tail", std::string(254, 'a') + "\xe2\x82" + "z",
         std::string(254, 'a') + "\xe2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8Prefix(c.text), c.expected) << c.what;
    }
    testing::MapiSandbox sandbox;
    auto& mapi = sandbox.InstallRecording();
    TEmail email(nullptr);
    email.SetSubject(umlauts);
    email.Recipient().Add("ann@example.org");
    ASSERT_EQ(email.SendMail(), 0);
    EXPECT_EQ(mapi.CallsOf("MAPISendMail").at(0).message->subject, umlauts.substr(0, 510));
}

TEST(ShortStrings, AttachmentNamesInEightDotThreeForm) {
    struct Truncating : TEmail {
        using TEmail::TEmail;
        using TEmail::TruncAttachmentName;
    };
    Truncating email(nullptr);
    const std::pair<std::string, std::string> cases[] = {
        {"VeryLongDocumentName.txt", "mentName.txt"},
        {"abcdefghijklmnop", "efghijklmnop"},
        {"twelve_c.txt", "twelve_c.txt"},
        {"short.txt", "short.txt"},
        {"Übersichtsdokument.pdf", "dokument.pdf"},
        {"ÄÄÄÄÄÄÄÄÄÄÄÄÄÄ", "ÄÄÄÄÄÄÄÄÄÄÄÄ"},
        {"abc..........xyz", "xyz"},
        {"a.verylongextension", "ongextension"},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(email.TruncAttachmentName(name), expected) << name;
}

TEST_F(Email, ResolveNameAnswersTheResolvedAddress) {
    struct Case {
        std::string name;
        RecordingSimpleMapi::Resolution resolution;
        std::string expected;
    };
    const Case cases[] = {
        {"Ann", {SUCCESS_SUCCESS, "Ann Example", "SMTP:ann@example.org", "ID"}, "ann@example.org"},
        {"Bob", {SUCCESS_SUCCESS, "Bob Example", "bob@example.org", ""}, "bob@example.org"},
        {"Carl", {SUCCESS_SUCCESS, "Carl Example", std::nullopt, ""}, "Carl Example"},
        {"John [j@example.org]",
         {SUCCESS_SUCCESS, "John", std::nullopt, ""},
         "John [j@example.org]"},
        {"Nobody", {MAPI_E_UNKNOWN_RECIPIENT, "", std::nullopt, ""}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mapi_->SetResolution(c.name, c.resolution);
        mapi_->ClearCalls();
        events_.clear();
        EXPECT_EQ(email_->ResolveName(c.name), c.expected);
        EXPECT_EQ(mapi_->CallsOf("MAPILogoff").size(), 1u);
        EXPECT_EQ(mapi_->LiveBuffers(), 0u);
    }
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "MapiError 14"), 1);
    EXPECT_EQ(mapi_->CallsOf("MAPIResolveName").size(), 2u) << "retried with the dialog";

    ASSERT_EQ(email_->Logon(), 0);
    const LHANDLE session = mapi_->calls().back().session;
    mapi_->ClearCalls();
    EXPECT_EQ(email_->ResolveName("Ann"), "ann@example.org");
    EXPECT_TRUE(mapi_->CallsOf("MAPILogoff").empty()) << "an open session stays open";
    EXPECT_EQ(mapi_->CallsOf("MAPIResolveName").at(0).session, session);

    mapi_->SetResult("MAPILogon", MAPI_E_LOGIN_FAILURE);
    email_->Logoff();
    EXPECT_EQ(email_->ResolveName("Ann"), "");
}

TEST_F(Email, AddressBookIsPresetAndWritesTheChoiceBack) {
    mapi_->SetResolution("ann", {SUCCESS_SUCCESS, "Ann Example", "SMTP:ann@example.org", "ID-ann"});
    Fill(email_->Recipient(), {"ann"});
    Fill(email_->CC(), {"carl@example.org"});
    Fill(email_->Bcc(), {"dave@example.org"});
    mapi_->SetAddressBookAnswer({{MAPI_CC, "Bob", "SMTP:bob@example.org", ""},
                                 {MAPI_TO, "Ann Example", "SMTP:ann@example.org", ""},
                                 {MAPI_BCC, std::nullopt, "SMTP:eve@example.org", ""},
                                 {MAPI_ORIG, "Dropped", "SMTP:x@example.org", ""}});
    ASSERT_EQ(email_->Address(), 0);
    const auto calls = mapi_->CallsOf("MAPIAddress");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, "");
    EXPECT_EQ(calls[0].recips,
              (std::vector<RecordedRecipient>{
                  {MAPI_TO, "Ann Example", "SMTP:ann@example.org", "ID-ann"},
                  {MAPI_CC, "carl@example.org", "SMTP:carl@example.org", "EID:carl@example.org"},
                  {MAPI_BCC, "dave@example.org", "SMTP:dave@example.org", "EID:dave@example.org"},
              }));
    EXPECT_EQ(Lines(email_->Recipient()), (std::vector<std::string>{"Ann Example"}));
    EXPECT_EQ(Lines(email_->CC()), (std::vector<std::string>{"Bob"}));
    EXPECT_EQ(Lines(email_->Bcc()), (std::vector<std::string>{"eve@example.org"}));
    EXPECT_EQ(mapi_->LiveBuffers(), 0u);
    EXPECT_FALSE(email_->SessionOpen());

    mapi_->SetResult("MAPIAddress", MAPI_E_NOT_SUPPORTED);
    events_.clear();
    EXPECT_EQ(email_->Address(), MAPI_E_NOT_SUPPORTED);
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "MapiError 26"), 1);
    EXPECT_EQ(Lines(email_->CC()), (std::vector<std::string>{"Bob"})) << "lists kept on failure";

    mapi_->SetResult("MAPILogon", MAPI_E_LOGIN_FAILURE);
    events_.clear();
    EXPECT_EQ(email_->Address(), MAPI_E_LOGIN_FAILURE);
    EXPECT_EQ(std::count(events_.begin(), events_.end(), "MapiError 3"), 1)
        << "the logon's own report, no further event";
}

}  // namespace
}  // namespace support
