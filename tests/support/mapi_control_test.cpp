#include "support/mapi_control.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/mapi_sandbox.h"

namespace support {
namespace {

using mail::RecordedCall;
using mail::RecordedFile;
using mail::RecordedRecipient;
using mail::RecordingSimpleMapi;

void Fill(db::TStrings& list, const std::vector<std::string>& lines) {
    list.Clear();
    for (const auto& line : lines)
        list.Add(line);
}

class MapiControl : public ::testing::Test {
  protected:
    void SetUp() override {
        mapi_ = &sandbox_.InstallRecording();
        control_ = db::MakeComponent<TMapiControl>(nullptr);
        control_->OnSuccess = [this](db::TObject* sender) {
            EXPECT_EQ(sender, control_.get());
            events_.push_back("Success");
        };
        control_->OnUserAbort = [this](db::TObject*) { events_.push_back("UserAbort"); };
        control_->OnMapiError = [this](db::TObject* sender, int code) {
            EXPECT_EQ(sender, control_.get());
            events_.push_back("MapiError " + std::to_string(code));
        };
    }
    RecordedCall LastSend() const {
        const auto sends = mapi_->CallsOf("MAPISendMail");
        EXPECT_FALSE(sends.empty());
        return sends.empty() ? RecordedCall{} : sends.back();
    }

    testing::MapiSandbox sandbox_;
    RecordingSimpleMapi* mapi_ = nullptr;
    db::ComponentPtr<TMapiControl> control_;
    std::vector<std::string> events_;
};

TEST_F(MapiControl, SendHandsOverOneMessageWithSmtpAddresses) {
    EXPECT_TRUE(control_->ShowDialog()) << "the component's default";
    control_->SetShowDialog(false);
    control_->SetSubject("News");
    control_->SetBody("Hello all");
    control_->SetFromName("List Owner");
    control_->SetFromAdress("owner@example.org");
    Fill(control_->Recipients(), {"ann@example.org", "SMTP:bob@example.org", ""});
    Fill(control_->CopyTo(), {"smtp:carl@example.org"});
    Fill(control_->BlindCopyTo(), {"dave@example.org"});
    Fill(control_->AttachedFiles(), {"/srv/files/VeryLongDocumentName.txt", "C:\\docs\\a.pdf"});

    EXPECT_EQ(control_->Send(), 0);
    EXPECT_EQ(control_->LastResult(), 0);
    EXPECT_EQ(events_, (std::vector<std::string>{"Success"}));
    const RecordedCall send = LastSend();
    EXPECT_EQ(send.session, 0u) << "no session of its own";
    EXPECT_EQ(send.flags, 0u);
    ASSERT_TRUE(send.message);
    const auto& message = *send.message;
    EXPECT_EQ(message.subject, "News");
    EXPECT_EQ(message.note_text, "Hello all");
    EXPECT_EQ(message.flags, 0u);
    EXPECT_EQ(message.originator,
              (RecordedRecipient{MAPI_ORIG, "List Owner", "owner@example.org", ""}));
    EXPECT_EQ(message.recip_count, 4u);
    EXPECT_EQ(message.recips, (std::vector<RecordedRecipient>{
                                  {MAPI_TO, "ann@example.org", "SMTP:ann@example.org", ""},
                                  {MAPI_TO, "SMTP:bob@example.org", "SMTP:bob@example.org", ""},
                                  {MAPI_CC, "smtp:carl@example.org", "smtp:carl@example.org", ""},
                                  {MAPI_BCC, "dave@example.org", "SMTP:dave@example.org", ""},
                              }));
    EXPECT_EQ(message.files, (std::vector<RecordedFile>{
                                 {0, 0xFFFFFFFFu, "/srv/files/VeryLongDocumentName.txt",
                                  "VeryLongDocumentName.txt", false},
                                 {0, 0xFFFFFFFFu, "C:\\docs\\a.pdf", "a.pdf", false},
                             }));
    EXPECT_EQ(control_->DisplayFileName().ToVector(),
              (std::vector<std::string>{"VeryLongDocumentName.txt", "a.pdf"}));
}

TEST_F(MapiControl, EachResultFiresItsOneEvent) {
    struct Case {
        ULONG result;
        bool show_dialog;
        FLAGS flags;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {SUCCESS_SUCCESS, false, 0, {"Success"}},
        {MAPI_USER_ABORT, true, MAPI_LOGON_UI | MAPI_NEW_SESSION | MAPI_DIALOG, {"UserAbort"}},
        {MAPI_E_FAILURE, false, 0, {"MapiError 2"}},
        {MAPI_E_INVALID_RECIPS, true, 11, {"MapiError 25"}},
    };
    for (const auto& c : cases) {
        events_.clear();
        control_->SetShowDialog(c.show_dialog);
        mapi_->QueueResult("MAPISendMail", c.result);
        EXPECT_EQ(control_->Send(), static_cast<int>(c.result));
        EXPECT_EQ(control_->LastResult(), static_cast<int>(c.result));
        EXPECT_EQ(events_, c.events) << c.result;
        EXPECT_EQ(LastSend().flags, c.flags);
    }
    // Unassigned events are skipped.
    auto bare = db::MakeComponent<TMapiControl>(nullptr);
    mapi_->QueueResult("MAPISendMail", MAPI_E_FAILURE);
    EXPECT_EQ(bare->Send(), MAPI_E_FAILURE);
}

TEST_F(MapiControl, WithoutRecipientsTheCountIsZero) {
    control_->SetShowDialog(false);
    EXPECT_EQ(control_->Send(), 0);
    const auto message = *LastSend().message;
    EXPECT_EQ(message.recip_count, 0u);
    EXPECT_FALSE(message.has_recip_array);
    EXPECT_EQ(message.file_count, 0u);
    EXPECT_FALSE(message.has_file_array);
}

TEST_F(MapiControl, DisplayFileNameGrowsUntilResetAndEachFileKeepsItsOwnName) {
    Fill(control_->AttachedFiles(), {"/data/first.txt"});
    ASSERT_EQ(control_->Send(), 0);
    Fill(control_->AttachedFiles(), {"/data/second.txt"});
    ASSERT_EQ(control_->Send(), 0);
    EXPECT_EQ(control_->DisplayFileName().ToVector(),
              (std::vector<std::string>{"first.txt", "second.txt"}));
    const auto files = LastSend().message->files;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].path_name, "/data/second.txt");
    EXPECT_EQ(files[0].file_name, "second.txt");

    control_->SetSubject("s");
    control_->SetBody("b");
    control_->SetFromName("n");
    control_->SetFromAdress("a@example.org");
    Fill(control_->Recipients(), {"x@example.org"});
    Fill(control_->CopyTo(), {"y@example.org"});
    Fill(control_->BlindCopyTo(), {"z@example.org"});
    control_->Reset();
    EXPECT_EQ(control_->Subject(), "");
    EXPECT_EQ(control_->Body(), "");
    EXPECT_EQ(control_->FromName(), "");
    EXPECT_EQ(control_->FromAdress(), "");
    for (const db::TStrings* list : std::initializer_list<const db::TStrings*>{
             &control_->Recipients(), &control_->CopyTo(), &control_->BlindCopyTo(),
             &control_->AttachedFiles(), &control_->DisplayFileName()}) {
        EXPECT_EQ(list->Count(), 0);
    }
    ASSERT_EQ(control_->Send(), 0);
    const auto message = *LastSend().message;
    EXPECT_EQ(message.recip_count, 0u) << "nothing left over from the message before";
    EXPECT_EQ(message.file_count, 0u);
}

}  // namespace
}  // namespace support
