#include "app/mail/request_extraction.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <ctime>

#include "platform/mail/mail_store.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

TEST(RequestParsing, ReplyPrefixesAndAddresses) {
    const std::vector<std::pair<std::string, std::string>> subjects = {
        {"re: RE: subscribe", "subscribe"},
        {"FWD: RE: x", "RE: x"},
        {"  Re:Fwd: fwd:join news ", "join news"},
        {"subscribe", "subscribe"},
        {"", ""},
    };
    for (const auto& [subject, want] : subjects)
        EXPECT_EQ(StripReplyPrefixes(subject), want) << subject;
    EXPECT_EQ(GetAddress("a@x.org", "n"), "a@x.org");
    EXPECT_EQ(GetAddress("", "n@x.org"), "n@x.org");
    EXPECT_EQ(GetAddress("", "Name"), "");
    EXPECT_EQ(SenderRetrievalErrorText("MAPI retrieval", "", false).find("disable retrieval"),
              SenderRetrievalErrorText("MAPI retrieval", "", false).find("disable"));
    EXPECT_NE(SenderRetrievalErrorText("ReplyRecipients", "MAPI retrieval", true)
                  .find("NOTE: May be unstable!"),
              std::string::npos);
}

class CommandLines : public ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
        run = std::make_unique<ExtractEntries>(*entries, *store, nullptr);
        run->fields().edtemail = "sender@x.org";
    }
    std::unique_ptr<mail::MailStore> store;
    std::unique_ptr<ExtractEntries> run;
};

TEST_F(CommandLines, WordsChooseTheRequest) {
    struct Case {
        std::string line;
        bool accepted, add;
        std::string email, category;
    };
    const std::vector<Case> cases = {
        {"subscribe", true, true, "sender@x.org", ""},
        {"UNSUBSCRIBE all", true, false, "sender@x.org", "all"},
        {"join a@b.org Big News", true, true, "a@b.org", "Big News"},
        {"remove me from news", true, false, "sender@x.org", "from news"},
        {"hello there", false, false, "sender@x.org", ""},
        {"MODIFY a@b.org", false, false, "", ""},
    };
    for (const Case& c : cases) {
        run->fields().edtemail = "sender@x.org";
        run->fields().edtcategory.clear();
        run->fields().chkdoadd = false;
        EXPECT_EQ(run->ParseListCommandLine(c.line), c.accepted) << c.line;
        if (!c.accepted)
            continue;
        EXPECT_EQ(run->fields().chkdoadd, c.add) << c.line;
        EXPECT_EQ(run->fields().edtemail, c.email) << c.line;
        EXPECT_EQ(run->fields().edtcategory, c.category) << c.line;
    }
}

TEST_F(CommandLines, ModifyLineChangesTheAddressAndNothingElse) {
    entries->insertentry(true, "old@x.org", "news", "", "", "", 0, false, false);
    run->fields().Memo1 = {"change old@x.org new@x.org", "subscribe"};
    std::vector<std::string> bounces;
    ASSERT_TRUE(run->processEntry(bounces));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"new@x.org|news"}));
    EXPECT_EQ(database->tblStats().RecordCount(), 0) << "no statistics for a change";
}

TEST_F(CommandLines, OnlyTheFirstTwoLinesUnlessAllAreScanned) {
    settings.ScanAllEmailLines = false;
    run->fields().Memo1 = {"Hello", "", "subscribe"};
    std::vector<std::string> bounces;
    EXPECT_FALSE(run->processEntry(bounces));
    settings.ScanAllEmailLines = true;
    EXPECT_TRUE(run->processEntry(bounces));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"sender@x.org|Default"}));
}

TEST_F(CommandLines, ProgressCountsOnlyUnreadRequestsAndNeverDividesByZero) {
    settings.ProcessAsUnread = true;
    mail::Folder& folder = store->Root(1).SubFolder("MailingList");
    std::vector<std::pair<std::int64_t, std::int64_t>> steps;
    run->OnProgress = [&](std::int64_t counted, std::int64_t total) {
        steps.emplace_back(counted, total);
    };
    ASSERT_TRUE(run->OpenBtnClick());
    EXPECT_TRUE(steps.empty()) << "an empty folder shows nothing";
    folder.AppendMessage("From: a@x.org\r\nSubject: subscribe\r\n\r\n\r\n", true);
    folder.AppendMessage("From: b@x.org\r\nSubject: subscribe\r\n\r\n\r\n", false);
    folder.AppendMessage("From: c@x.org\r\nSubject: subscribe\r\n\r\n\r\n", false);
    ASSERT_TRUE(run->OpenBtnClick());
    EXPECT_EQ(steps, (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 2}, {2, 2}}));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"b@x.org|Default", "c@x.org|Default"}));
    steps.clear();
    ASSERT_TRUE(run->OpenBtnClick());
    EXPECT_TRUE(steps.empty()) << "no unread request left";
}

// The user's clock, not the mail's time zone, dates a request: a mail written late in the
// evening in New York counts on that day there.
TEST_F(CommandLines, SendDateIsOnTheUsersClock) {
    struct ZoneRestored {
        std::string before = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
        ~ZoneRestored() {
            ::setenv("TZ", before.c_str(), 1);
            ::tzset();
        }
    } restored;
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    store->Root(1)
        .SubFolder("MailingList")
        .AppendMessage(
            "From: late@x.org\r\nSubject: subscribe\r\n"
            "Date: Wed, 02 Dec 2026 03:30:00 +0000\r\n\r\n\r\n",
            false);
    ASSERT_TRUE(run->OpenBtnClick());
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u);
    // The request's line, before the check's summary.
    EXPECT_NE(log[log.size() - 2].find("sent 12/1/2026 10:30:00 PM by late@x.org"),
              std::string::npos)
        << log[log.size() - 2];
    strata::TStrataTable& stats = database->tblStats();
    ASSERT_TRUE(stats.Locate("Date", db::Variant(db::EncodeDate(2026, 12, 1)), {}));
    EXPECT_EQ(stats.FieldByName("Subscribes")->AsInteger(), 1);
}

TEST_F(CommandLines, EachSenderMethodReadsItsAddress) {
    struct Case {
        int method;
        std::string want;  // the row the request leaves, empty for none
    };
    const std::vector<Case> cases = {
        {0, ""}, {1, "r@x.org|m1"}, {2, "r@x.org|m2"}, {3, "r@x.org|m3"}, {4, "ann@x.org|m4"},
    };
    mail::Folder& folder = store->Root(1).SubFolder("MailingList");
    for (const Case& c : cases) {
        settings.GetSenderMethod = c.method;
        const std::string category = "m" + std::to_string(c.method);
        folder.AppendMessage(
            "From: Ann <ann@x.org>\r\nReply-To: Replies <r@x.org>\r\n"
            "Subject: subscribe " +
                category + "\r\n\r\n\r\n",
            false);
        ASSERT_TRUE(run->OpenBtnClick());
        bool found = false;
        for (const std::string& row : Rows())
            found = found || row.ends_with("|" + category);
        EXPECT_EQ(found, !c.want.empty()) << c.method;
        if (!c.want.empty()) {
            const std::vector<std::string> rows = Rows();
            EXPECT_NE(std::find(rows.begin(), rows.end(), c.want), rows.end()) << c.method;
        }
    }
    // Without Reply-To the first method falls back to the reply address (From);
    // the third finds none.
    settings.GetSenderMethod = 3;
    folder.AppendMessage("From: Bea <bea@x.org>\r\nSubject: subscribe n\r\n\r\n\r\n", false);
    ASSERT_TRUE(run->OpenBtnClick());
    std::vector<std::string> rows = Rows();
    EXPECT_EQ(std::find(rows.begin(), rows.end(), "bea@x.org|n"), rows.end());
    EXPECT_EQ(folder.UnreadCount(), 1u) << "the unhandled request stays";
    settings.GetSenderMethod = 1;
    ASSERT_TRUE(run->OpenBtnClick());
    rows = Rows();
    EXPECT_NE(std::find(rows.begin(), rows.end(), "bea@x.org|n"), rows.end());
}

// Each mail of a check is applied, refused with its reason, or set aside once with its
// reason and not read again; a mail that is no request stays as it is.
TEST_F(CommandLines, EveryMailIsAppliedRefusedOrSetAsideOnce) {
    const std::vector<std::string> mails = {
        "From: a@x.org\r\nSubject: subscribe\r\n\r\n\r\n",
        "From: <>\r\nSubject: subscribe\r\n\r\n\r\n",
        "Subject: subscribe news\r\n\r\n\r\n",
        "",
        std::string("\x01\xff\x13garbage\xfe\0\r\n", 14),
        "From: b@x.org\r\nSubject: hello\r\n\r\n\r\n",
        "From: c@x.org\r\nSubject: subscribe \xc3\x28 news\r\n\r\n\r\n",
        "From: d@x.org\r\nSubject: =?utf-8?q?subscribe_a=09b?=\r\n\r\n\r\n",
        "From: =?utf-8?q?E=00vil?= <e@x.org>\r\nSubject: subscribe\r\n\r\n\r\n",
    };
    mail::Folder& folder = store->Root(1).SubFolder("MailingList");
    for (const std::string& raw : mails)
        folder.AppendMessage(raw, false);
    ASSERT_TRUE(run->OpenBtnClick());
    EXPECT_EQ(run->AppliedCount(), 1);
    EXPECT_EQ(run->RefusedCount(), 3);
    EXPECT_EQ(run->SetAsideCount(), 4);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"a@x.org|Default"}));
    std::vector<std::string> lines = errors.Lines();
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              (std::vector<std::string>{"ADD c@x.org", "ADD d@x.org a b", "ADD e@x.org"}));
    for (std::size_t i = 3; i < lines.size(); ++i)
        EXPECT_TRUE(lines[i].ends_with("-> it has no sender address")) << lines[i];
    folder.Refresh();
    EXPECT_EQ(folder.ItemCount(), 5u);

    ASSERT_TRUE(run->OpenBtnClick());
    EXPECT_EQ(run->AppliedCount() + run->RefusedCount() + run->SetAsideCount(), 0);
    EXPECT_EQ(errors.Lines().size(), 7u);
    EXPECT_EQ(Log().back(),
              "Check of the folder MailingList: 0 mails applied, 0 refused, 0 set aside");
}

TEST_F(CommandLines, SenderMethodChangeIsAskedOnlyWhileWanted) {
    std::vector<std::string> asked;
    bool keep_showing = true;
    run->OnPromptSenderMethodChange = [&](std::string_view text, bool& always_show) {
        asked.emplace_back(text);
        always_show = keep_showing;
        return true;
    };
    run->ShowSenderRetrievalError("Reply Method", "ReplyRecipients", 3, false);
    EXPECT_EQ(settings.GetSenderMethod, 3);
    keep_showing = false;
    run->ShowSenderRetrievalError("ReplyRecipients", "MAPI retrieval", 4, true);
    EXPECT_EQ(settings.GetSenderMethod, 4);
    EXPECT_FALSE(settings.AlwaysShowSenderError);
    run->ShowSenderRetrievalError("MAPI retrieval", "", 0, false);
    EXPECT_EQ(settings.GetSenderMethod, 4) << "no longer asked";
    EXPECT_EQ(asked.size(), 2u);
}

}  // namespace
}  // namespace app
