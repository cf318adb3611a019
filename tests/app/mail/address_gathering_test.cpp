#include "app/mail/address_gathering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/mail/request_extraction.h"
#include "app/routines/address_syntax.h"
#include "platform/mail/mail_error.h"
#include "platform/mail/mail_store.h"
#include "platform/mail/store_backend.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

bool SyntaxOk(std::string_view address) {
    int code = 0;
    int position = 0;
    return CheckEmailAddressSyntax(address, code, position);
}

// The addresses of a folder's files come sorted and once each, whatever their letter
// case; an unreadable file asks whether to go on, and No or a cancel gives nothing.
TEST(FileAddressGathering, SortedOnceEachAndStoppedByNoOrCancel) {
    ProgramDir program;
    std::ofstream(program.File("a.txt")) << "Zed <zed@example.org>\nann@example.org\n";
    std::ofstream(program.File("b.txt")) << "ANN@example.org, bob@example.org\r\nzed@example.org";
    std::filesystem::create_directory(program.File("unreadable.txt"));
    const std::vector<std::string> files{program.File("a.txt"), program.File("unreadable.txt"),
                                         program.File("b.txt")};
    for (ui::TModalResult answer : {ui::mrYes, ui::mrNo}) {
        auto service = std::make_unique<ui::ScriptedPromptService>();
        ui::ScriptedPromptService& prompts = *service;
        ui::ScopedPromptService scope(std::move(service));
        prompts.Answer(answer);
        std::vector<std::int64_t> positions;
        auto found = GatherAddressesFromFiles(
            files, SyntaxOk,
            [&](std::int64_t position, std::int64_t count) {
                positions.push_back(position);
                EXPECT_EQ(count, 3);
            },
            [] { return false; });
        ASSERT_EQ(prompts.Asked().size(), 1u);
        EXPECT_EQ(prompts.Asked()[0].text, "An error was encountered processing the file, " +
                                               files[1] + ".  Do you want to continue processing?");
        if (answer == ui::mrNo) {
            EXPECT_FALSE(found);
            EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 1}));
            continue;
        }
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, (std::vector<std::string>{"ann@example.org", "bob@example.org",
                                                    "zed@example.org"}));
        EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 1, 2}));
    }
    int asked = 0;
    EXPECT_FALSE(GatherAddressesFromFiles(files, SyntaxOk, {}, [&] { return ++asked == 2; }));
    EXPECT_EQ(asked, 2);
}

TEST(AddressExtractor, FindsEveryAddressOfALine) {
    struct Case {
        std::string line;
        std::vector<std::string> want;
    };
    const std::string long_local(52, 'x');
    const std::vector<Case> cases = {
        {"\"Ann Smith\" <ann@example.org>, bob@example.org",
         {"ann@example.org", "bob@example.org"}},
        {"mail carl@example.org_today", {"carl@example.org"}},
        {"___dan@example.org", {"dan@example.org"}},
        {"@first.org then eve@example.org", {}},
        {"no address here", {}},
        {"", {}},
        {long_local + "@example.org", {}},
        {"tab\tfay@example.org;gus@example.org", {"fay@example.org", "gus@example.org"}},
        {"bad@@example", {}},
        // The acute accent ends an address also as the two bytes UTF-8 gives it.
        {"\xC2\xB4hal@example.org\xC2\xB4 and ida@example.org\xB4",
         {"hal@example.org", "ida@example.org"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> found;
        ExtractAddressesFromLine(c.line, found, SyntaxOk);
        EXPECT_EQ(found, c.want) << c.line;
    }
}

// Text decoded to UTF-8 holds the byte 0xB4 inside letters other than the acute accent;
// only the accent itself cuts an address, so no shortened address is made up from a
// longer one.
TEST(AddressExtractor, OnlyTheAcuteAccentItselfCutsInUtf8Text) {
    struct Case {
        std::string line;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"J\xC3\xA9r\xC3\xB4"
         "me@example.org",
         {"J\xC3\xA9r\xC3\xB4"
          "me@example.org"}},
        {"ann@d\xC3\xB4"
         "me.org",
         {"ann@d\xC3\xB4"
          "me.org"}},
        {"x\xE2\x80\xB4"
         "bob@example.org",
         {"x\xE2\x80\xB4"
          "bob@example.org"}},
        {"\xC3\xA9\xC2\xB4"
         "cid@example.org\xC2\xB4x",
         {"cid@example.org"}},
        {"\xB4"
         "dee@example.org",
         {"dee@example.org"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> found;
        ExtractAddressesFromLine(c.line, found, {});
        EXPECT_EQ(found, c.want) << c.line;
    }
    std::vector<std::string> checked;
    ExtractAddressesFromLine(
        "J\xC3\xA9r\xC3\xB4"
        "me@example.org",
        checked, SyntaxOk);
    EXPECT_NE(checked, std::vector<std::string>{"me@example.org"});
}

// A file of one huge line gives every address of it, the first and the last included.
TEST(AddressExtractor, EveryAddressOfAHugeLine) {
    constexpr int kCount = 200000;
    std::string line;
    for (int i = 0; i < kCount; ++i)
        line += "u" + std::to_string(i) + "@example.org, ";
    line += "last@example.org";
    std::vector<std::string> found;
    ExtractAddressesFromLine(line, found, SyntaxOk);
    ASSERT_EQ(found.size(), static_cast<std::size_t>(kCount) + 1);
    EXPECT_EQ(found.front(), "u0@example.org");
    EXPECT_EQ(found[kCount - 1], "u" + std::to_string(kCount - 1) + "@example.org");
    EXPECT_EQ(found.back(), "last@example.org");
}

TEST(AddressExtractor, TextLinesMayEndInCrLfOrCrAlone) {
    std::vector<std::string> found;
    ExtractAddressesFromText("ann@x.org\rbob@x.org\r\ncid@x.org\ndee@x.org", found, SyntaxOk);
    EXPECT_EQ(found,
              (std::vector<std::string>{"ann@x.org", "bob@x.org", "cid@x.org", "dee@x.org"}));
}

TEST(AddressExtractor, SemicolonListsAndNamedAddresses) {
    std::vector<std::string> list;
    addemailaddresses("a@x.org; b@y.org", list);
    addemailaddresses("", list);
    addemailaddresses("single", list);
    EXPECT_EQ(list, (std::vector<std::string>{"a@x.org", "b@y.org", "single"}));
    EXPECT_EQ(NamedAddress("Smith, John", "js@x.org"), "John Smith <js@x.org>");
    EXPECT_EQ(NamedAddress("js@x.org", "js@x.org"), "js@x.org");
    EXPECT_EQ(NamedAddress("", "js@x.org"), "js@x.org");
    EXPECT_EQ(NamedAddress("John", ""), "");
    EXPECT_EQ(StripContactMarker("Contacts*"), "Contacts");
}

class GatheringTest : public ListTest {
  protected:
    GatheringTest() {
        store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
    }
    std::unique_ptr<mail::MailStore> store;
};

TEST_F(GatheringTest, ScanOfMessagesAndContacts) {
    mail::Folder& inbox = store->Root(1).AddFolder("Archive");
    inbox.AppendMessage(
        "From: Ann <Ann@Example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: a\r\n\r\n"
        "Write to carl@example.org or ann@example.org\r\n",
        true);
    inbox.AppendMessage(
        "From: \"Doe, John\" <john@example.org>\r\nTo: x@example.org\r\nSubject: b\r\n\r\n"
        "nothing\r\n",
        true);
    AddressGatherer gatherer(*entries, *store);
    ScanOptions options;
    options.chkbody = true;
    std::vector<std::string> result;
    ASSERT_TRUE(gatherer.ProcessSelectedFolder({"Archive"}, false, options, result));
    // Sorted ignoring case, without duplicates.
    EXPECT_EQ(result,
              (std::vector<std::string>{"Ann <Ann@Example.org>", "ann@example.org",
                                        "carl@example.org", "John Doe <john@example.org>"}));

    std::vector<std::string> untouched = {"keep"};
    gatherer.Cancelled = [] { return true; };
    EXPECT_FALSE(gatherer.ProcessSelectedFolder({"Archive"}, false, options, untouched));
    EXPECT_EQ(untouched, (std::vector<std::string>{"keep"}));
    gatherer.Cancelled = nullptr;

    prompts->Answer(ui::mrOk);
    EXPECT_FALSE(gatherer.ProcessSelectedFolder({"Missing"}, false, options, untouched));
    EXPECT_EQ(prompts->Asked().back().text, "The folder, Missing, could not be opened");

    std::vector<FolderNode> tree;
    std::string contacts;
    ASSERT_TRUE(gatherer.LoadFolders(tree, contacts));
    EXPECT_EQ(contacts, "Contacts");
    bool marked = false;
    for (const FolderNode& node : tree)
        marked = marked || node.text == "Contacts*";
    EXPECT_TRUE(marked);
}

// A Maildir whose messages carrying "X-Unreadable" cannot be fetched, as a
// damaged message on a server would behave.
class UnreadableMessages : public mail::StoreBackend {
  public:
    explicit UnreadableMessages(std::unique_ptr<mail::StoreBackend> inner)
        : inner_(std::move(inner)) {}
    std::string DisplayName() const override { return inner_->DisplayName(); }
    std::string StoreId() const override { return inner_->StoreId(); }
    std::vector<std::string> ListFolders(const mail::FolderPath& parent) override {
        if (!parent.empty() && parent.back() == "Unlistable")
            throw mail::EMailError("The folder can no longer be listed");
        return inner_->ListFolders(parent);
    }
    void CreateFolder(const mail::FolderPath& path) override { inner_->CreateFolder(path); }
    bool IsContactsFolder(const mail::FolderPath& path) override {
        return inner_->IsContactsFolder(path);
    }
    std::vector<mail::MessageEntry> Snapshot(const mail::FolderPath& path) override {
        if (!path.empty() && path.back() == "Unlistable")
            throw mail::EMailError("The folder can no longer be listed");
        return inner_->Snapshot(path);
    }
    std::size_t UnreadCount(const mail::FolderPath& path) override {
        return inner_->UnreadCount(path);
    }
    std::string Fetch(const mail::FolderPath& path, const std::string& id) override {
        std::string raw = inner_->Fetch(path, id);
        if (raw.find("X-Unreadable") != std::string::npos)
            throw mail::EMailError("The message can no longer be read");
        return raw;
    }
    void SetSeen(const mail::FolderPath& path, const std::string& id, bool seen) override {
        inner_->SetSeen(path, id, seen);
    }
    void Move(const mail::FolderPath& from, const std::string& id,
              const mail::FolderPath& to) override {
        inner_->Move(from, id, to);
    }
    void Append(const mail::FolderPath& path, std::string_view raw, bool seen) override {
        inner_->Append(path, raw, seen);
    }
    std::vector<std::string> ContactCards(const mail::FolderPath& path) override {
        return inner_->ContactCards(path);
    }

  private:
    std::unique_ptr<mail::StoreBackend> inner_;
};

TEST_F(GatheringTest, EachRetrievalMethodFindsItsOwnSender) {
    mail::Folder& archive = store->Root(1).AddFolder("Archive");
    archive.AppendMessage(
        "From: Ann <ann@example.org>\r\nReply-To: Bob <bob@example.org>\r\nSubject: a\r\n\r\n"
        "x\r\n",
        true);
    archive.AppendMessage("From: Ann <ann@example.org>\r\nSubject: b\r\n\r\nx\r\n", true);
    struct Case {
        int method;
        std::size_t item;
        const char* name;
        const char* address;
        bool from_reply_list;
    };
    for (const Case& c :
         {Case{0, 1, "Ann", "", false}, Case{1, 1, "Bob", "bob@example.org", false},
          Case{2, 1, "Bob", "bob@example.org", false}, Case{3, 1, "Bob", "bob@example.org", true},
          Case{4, 1, "Ann", "ann@example.org", false}, Case{1, 2, "Ann", "ann@example.org", false},
          Case{3, 2, "", "", false}, Case{5, 1, "", "", false}}) {
        int failures = 0;
        const RetrievedSender sender =
            RetrieveSender(archive.Item(c.item), *store, c.method,
                           [&](std::string_view, std::string_view, int, bool) { ++failures; });
        EXPECT_EQ(sender.name, c.name) << c.method << "/" << c.item;
        EXPECT_EQ(sender.address, c.address) << c.method << "/" << c.item;
        EXPECT_EQ(sender.from_reply_list, c.from_reply_list) << c.method << "/" << c.item;
        EXPECT_EQ(failures, 0);
    }
}

TEST_F(GatheringTest, SenderFailuresAskToChangeTheMethodAsTheCheckDoes) {
    store.reset();
    auto failing = std::make_unique<UnreadableMessages>(
        mail::OpenMaildirBackend(program.File("Mail"), "Personal Folders"));
    mail::MailStore damaged(std::move(failing), {});
    mail::Folder& archive = damaged.Root(1).AddFolder("Archive");
    for (int i = 0; i < 3; ++i)
        archive.AppendMessage("From: Zed <zed@example.org>\r\nX-Unreadable: yes\r\n\r\nx\r\n",
                              true);
    archive.AppendMessage("From: Ann <ann@example.org>\r\nSubject: a\r\n\r\nhello\r\n", true);

    AddressGatherer gatherer(*entries, damaged);
    std::vector<std::string> asked;
    gatherer.OnPromptSenderMethodChange = [&](std::string_view text, bool& always_show) {
        asked.emplace_back(text);
        always_show = asked.size() < 2;
        return true;
    };
    settings.GetSenderMethod = 2;
    settings.AlwaysShowSenderError = true;
    std::vector<std::string> result;
    ASSERT_TRUE(gatherer.ProcessSelectedFolder({"Archive"}, false, ScanOptions{}, result));
    // The readable message still counts; the question stops once the box
    // is unticked, and each Yes takes the method it offered.
    EXPECT_EQ(result, (std::vector<std::string>{"Ann <ann@example.org>"}));
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], SenderRetrievalErrorText("Reply Method", "ReplyRecipients", false));
    EXPECT_EQ(asked[1], SenderRetrievalErrorText("ReplyRecipients", "MAPI retrieval", true));
    EXPECT_EQ(settings.GetSenderMethod, 4);
    EXPECT_FALSE(settings.AlwaysShowSenderError);

    // Without a prompt nothing is asked and the method stays.
    settings.AlwaysShowSenderError = true;
    gatherer.OnPromptSenderMethodChange = nullptr;
    ASSERT_TRUE(gatherer.ProcessSelectedFolder({"Archive"}, false, ScanOptions{}, result));
    EXPECT_EQ(settings.GetSenderMethod, 4);
}

// A folder that cannot be listed leaves the rest of the tree loaded and is named in the
// warning; scanning it gives the folder warning and hands nothing over.
TEST_F(GatheringTest, AnUnlistableFolderIsReportedAndTheRestStillLoads) {
    store.reset();
    mail::MailStore damaged(std::make_unique<UnreadableMessages>(
                                mail::OpenMaildirBackend(program.File("Mail"), "Personal Folders")),
                            {});
    damaged.Root(1).AddFolder("Archive").AppendMessage(
        "From: Ann <ann@example.org>\r\nSubject: a\r\n\r\nx\r\n", true);
    damaged.Root(1).AddFolder("Unlistable");
    settings.RootFolder = "<Root>";
    AddressGatherer gatherer(*entries, damaged);
    std::vector<FolderNode> tree;
    std::string contacts;
    ASSERT_TRUE(gatherer.LoadFolders(tree, contacts));
    std::vector<std::string> names;
    for (const FolderNode& node : tree)
        names.push_back(node.text);
    EXPECT_NE(std::find(names.begin(), names.end(), "Archive"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "Unlistable"), names.end());
    ASSERT_FALSE(prompts->Asked().empty());
    EXPECT_EQ(prompts->Asked().back().text, "The folder, Unlistable, could not be opened");

    std::vector<std::string> result{"kept"};
    EXPECT_FALSE(gatherer.ProcessSelectedFolder({"Unlistable"}, false, ScanOptions{}, result));
    EXPECT_EQ(result, std::vector<std::string>{"kept"});
    EXPECT_EQ(prompts->Asked().back().text, "The folder, Unlistable, could not be opened");
    EXPECT_TRUE(gatherer.ProcessSelectedFolder({"Archive"}, false, ScanOptions{}, result));
    EXPECT_EQ(result, std::vector<std::string>{"Ann <ann@example.org>"});
}
}  // namespace
}  // namespace app

namespace app {
namespace {

// Names in a folder's mails come from their senders: each found entry is one line of the
// manual-entry memo, whatever line breaks or controls an encoded word carried, so no name
// adds an address line of its own.
TEST_F(GatheringTest, NamesFromMailsNeverAddLinesOfTheirOwn) {
    mail::Folder& inbox = store->Root(1).AddFolder("Archive");
    inbox.AppendMessage(
        "From: =?utf-8?q?Mallory=0D=0AEve?= <mallory@example.org>\r\n"
        "To: =?utf-8?q?Tom=E2=80=A8Thumb?= <tom@example.org>\r\n"
        "Cc: =?utf-8?q?Cy=0A=1B[8mRus?= <cy@example.org>\r\n"
        "Subject: a\r\n\r\nWrite to body@example.org\x0b"
        "vt@example.org\r\n",
        true);
    inbox.AppendMessage(
        "From: J <j\xc3\xbcrgen@b\xc3\xbc"
        "cher.example>\r\nSubject: b\r\n\r\nx\r\n",
        true);
    AddressGatherer gatherer(*entries, *store);
    ScanOptions options;
    options.chkfrom = options.CHKRECIPIENTS = options.chkbody = options.chkto = options.chkcc =
        true;
    std::vector<std::string> result;
    ASSERT_TRUE(gatherer.ProcessSelectedFolder({"Archive"}, false, options, result));
    EXPECT_EQ(result, (std::vector<std::string>{"Cy  [8mRus <cy@example.org>", "cy@example.org",
                                                "J <j\xc3\xbcrgen@b\xc3\xbc"
                                                "cher.example>",
                                                "Mallory  Eve <mallory@example.org>",
                                                "Tom Thumb <tom@example.org>", "tom@example.org"}));
}

TEST(GatheringChoice, OkNeedsAnOptionAndANodeAndContactsHaveOneOption) {
    GatheringChoice choice;
    EXPECT_FALSE(choice.OkEnabled());
    choice.ChooseNode("Inbox");
    EXPECT_TRUE(choice.OkEnabled());
    EXPECT_EQ(choice.FromCaption(), "From Address");
    choice.options.chkfrom = false;
    EXPECT_FALSE(choice.OkEnabled());
    choice.options.chkbody = true;
    choice.ChooseNode("Contacts*");
    EXPECT_TRUE(choice.contacts);
    EXPECT_TRUE(choice.options.chkfrom);
    EXPECT_FALSE(choice.options.chkbody);
    EXPECT_EQ(choice.FromCaption(), "Contact E-mail Address");
}

TEST_F(GatheringTest, RefusalReasonsOfTheReprocessDialog) {
    EXPECT_EQ(RefusalReason(*entries, "a@example.org"), "None");
    EXPECT_EQ(RefusalReason(*entries, "a@hotmial.com"),
              "E-mail address contains Exception text as set in Options");
    EXPECT_EQ(RefusalReason(*entries, "nobody"), "Address does not contain an @ symbol");
}

}  // namespace
}  // namespace app
