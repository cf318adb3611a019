#include "platform/mail/mail_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/mail/mail_error.h"
#include "platform/os/file_system.h"
#include "tests/platform/mail/peers.h"

namespace mail {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string RawMessage(const std::string& from, const std::string& subject, const std::string& body,
                       const std::string& extra_headers = "") {
    return "From: " + from +
           "\r\nTo: List <list@example.org>\r\nCc: c1@example.org, Cee <c2@example.org>\r\n"
           "Subject: " +
           subject + "\r\nDate: Tue, 1 Dec 2026 10:00:00 +0100\r\n" + extra_headers +
           "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body + "\r\n";
}

class MaildirStore : public ::testing::Test {
  protected:
    void SetUp() override {
        settings_.from_address = "owner@example.org";
        settings_.from_name = "List Owner";
        store_ = MailStore::OpenMaildir(settings_, root(), "MailingList");
    }
    fs::path root() const { return dir_.path() / "Mail"; }
    Folder& list() { return store_->Root(1).SubFolder("MailingList"); }
    void Add(const std::string& raw, bool seen = false) { list().AppendMessage(raw, seen); }

    TempDir dir_;
    MailSettings settings_;
    std::unique_ptr<MailStore> store_;
};

TEST_F(MaildirStore, FirstUseCreatesPersonalFoldersWithTheListFolder) {
    Folder& top = store_->Root(1);
    EXPECT_EQ(top.Name(), "Personal Folders");
    EXPECT_EQ(&store_->Root("<Root>"), &top);
    EXPECT_EQ(&store_->Root("personal folders"), &top);
    EXPECT_THROW(store_->Root("Archive"), EMailError);
    EXPECT_THROW(store_->Root(2), EMailError);

    std::vector<std::string> names;
    for (std::size_t i = 1; i <= top.FolderCount(); ++i)
        names.push_back(top.SubFolder(i).Name());
    EXPECT_EQ(names, (std::vector<std::string>{"Inbox", "Contacts", "Deleted Items", "MailingList",
                                               "Outbox", "Sent Items"}));
    EXPECT_EQ(top.SubFolder("contacts").DefaultItemType(), 2);
    EXPECT_EQ(top.SubFolder("MailingList").DefaultItemType(), 0);
    EXPECT_EQ(list().ItemCount(), 0u);
    EXPECT_EQ(list().UnreadCount(), 0u);

    // An existing store is opened as it is.
    auto again = MailStore::OpenMaildir(settings_, root(), "OtherList");
    EXPECT_EQ(again->Root(1).FindFolder("OtherList"), nullptr);
    EXPECT_EQ(again->Root(1).FolderCount(), 6u);
}

TEST_F(MaildirStore, FoldersAreAddedOnceAndNamesAreChecked) {
    Folder& top = store_->Root(1);
    Folder& added = top.AddFolder("Members");
    EXPECT_EQ(&top.SubFolder("members"), &added);
    Folder& sub = added.AddFolder("Old");
    EXPECT_EQ(added.FolderCount(), 1u);
    EXPECT_EQ(&added.SubFolder(1), &sub);
    EXPECT_THROW(top.AddFolder("Members"), EMailError);
    for (const char* bad : {"", "a.b", "a/b", "x\ny"}) {
        EXPECT_THROW(top.AddFolder(bad), EMailError) << bad;
    }
    EXPECT_THROW(top.SubFolder("Nowhere"), EMailError);
    EXPECT_THROW(top.SubFolder(99), EMailError);
}

TEST_F(MaildirStore, WalkFromLastToFirstDeletesWithoutRenumbering) {
    for (int i = 1; i <= 5; ++i) {
        Add(RawMessage("a@example.org", "Message " + std::to_string(i), "body"));
    }
    Folder& folder = list();
    const std::size_t count = folder.ItemCount();
    ASSERT_EQ(count, 5u);
    for (std::size_t i = count; i >= 1; --i) {
        MailItem& item = folder.Item(i);
        EXPECT_EQ(item.Subject(), "Message " + std::to_string(i));
        if (i % 2 == 0)
            item.Remove();
    }
    EXPECT_TRUE(folder.Item(2).Removed());
    EXPECT_THROW(folder.Item(2).Subject(), EMailError);
    EXPECT_EQ(folder.ItemCount(), 5u) << "numbers hold until refresh";

    folder.Refresh();
    ASSERT_EQ(folder.ItemCount(), 3u);
    EXPECT_EQ(folder.Item(1).Subject(), "Message 1");
    EXPECT_EQ(folder.Item(2).Subject(), "Message 3");
    EXPECT_EQ(folder.Item(3).Subject(), "Message 5");
    Folder& deleted = store_->Root(1).SubFolder("Deleted Items");
    deleted.Refresh();
    ASSERT_EQ(deleted.ItemCount(), 2u);
    EXPECT_EQ(deleted.Item(1).Subject(), "Message 2");
}

// The store finds a message by its id in what it last listed; a message another program
// moved in the meantime (a mail program marking it read) is found all the same.
TEST_F(MaildirStore, MessagesMovedByAnotherProgramAreFound) {
    Add(RawMessage("a@example.org", "moved", "x"));
    Add(RawMessage("a@example.org", "stays", "x"));
    Folder& folder = list();
    ASSERT_EQ(folder.ItemCount(), 2u);
    const fs::path dir = root() / ".MailingList";
    for (const auto& entry : fs::directory_iterator(dir / "new")) {
        if (entry.path().filename().string() == folder.Item(1).EntryId())
            fs::rename(entry.path(), dir / "cur" / (folder.Item(1).EntryId() + ":2,S"));
    }
    EXPECT_EQ(folder.Item(1).Subject(), "moved");
    store_->Backend().DeferSyncs(true);
    folder.Item(1).Remove();
    folder.Item(2).SetUnread(false);
    store_->Backend().SyncChanges();
    store_->Backend().DeferSyncs(false);
    folder.Refresh();
    ASSERT_EQ(folder.ItemCount(), 1u);
    EXPECT_FALSE(folder.Item(1).Unread());
}

TEST_F(MaildirStore, UnreadFlagsAreKeptOnDisk) {
    Add(RawMessage("a@example.org", "new one", "x"));
    Add(RawMessage("a@example.org", "read one", "x"), true);
    Add(RawMessage("a@example.org", "another", "x"));
    Folder& folder = list();
    EXPECT_EQ(folder.UnreadCount(), 2u);
    EXPECT_TRUE(folder.Item(1).Unread());
    EXPECT_FALSE(folder.Item(2).Unread());
    folder.Item(1).SetUnread(false);
    EXPECT_EQ(folder.UnreadCount(), 1u);
    folder.Item(2).SetUnread(true);
    EXPECT_EQ(folder.UnreadCount(), 2u);

    auto reopened = MailStore::OpenMaildir(settings_, root(), "MailingList");
    Folder& again = reopened->Root(1).SubFolder("MailingList");
    EXPECT_FALSE(again.Item(1).Unread());
    EXPECT_TRUE(again.Item(2).Unread());
    EXPECT_TRUE(again.Item(3).Unread());
}

TEST_F(MaildirStore, SenderMethodsReadTheirHeaders) {
    Add(RawMessage("Ann Smith <ann@example.org>", "with reply-to", "x",
                   "Reply-To: Replies <replies@example.org>\r\n"));
    Add(RawMessage("bob@example.org", "bare from", "x"));
    Folder& folder = list();
    struct Case {
        std::size_t item;
        SenderMethod method;
        Mailbox expected;
    };
    const Case cases[] = {
        {1, SenderMethod::kSenderName, {"Ann Smith", ""}},
        {1, SenderMethod::kReply, {"Replies", "replies@example.org"}},
        {1, SenderMethod::kReplyThenRecipients, {"Replies", "replies@example.org"}},
        {1, SenderMethod::kReplyRecipients, {"Replies", "replies@example.org"}},
        {1, SenderMethod::kCdo, {"Ann Smith", "ann@example.org"}},
        {2, SenderMethod::kSenderName, {"bob@example.org", ""}},
        {2, SenderMethod::kReply, {"bob@example.org", "bob@example.org"}},
        {2, SenderMethod::kReplyThenRecipients, {"bob@example.org", "bob@example.org"}},
        {2, SenderMethod::kReplyRecipients, {"", ""}},
        {2, SenderMethod::kCdo, {"", "bob@example.org"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(folder.Item(c.item).Sender(c.method), c.expected)
            << "item " << c.item << " method " << static_cast<int>(c.method);
    }
    MailItem& first = folder.Item(1);
    EXPECT_EQ(first.SenderDisplayName(), "Ann Smith");
    EXPECT_EQ(first.ToText(), "list@example.org");
    EXPECT_EQ(first.CcText(), "c1@example.org; c2@example.org");
    ASSERT_EQ(first.Recipients().size(), 3u);
    EXPECT_EQ(first.Recipients()[2], (Mailbox{"Cee", "c2@example.org"}));
    EXPECT_EQ(first.StoreId(), store_->StoreId());
    // The sender through Collaboration Data Objects: the item by its ids.
    MailItem& again = store_->GetMessage(first.EntryId(), folder.StoreId());
    EXPECT_EQ(&again, &first);
    EXPECT_EQ(again.SenderAddress(), (Mailbox{"Ann Smith", "ann@example.org"}));
    EXPECT_THROW(store_->GetMessage(first.EntryId(), "maildir:/elsewhere"), EMailError);
    EXPECT_THROW(store_->GetMessage("no-such-id", folder.StoreId()), EMailError);
}

TEST_F(MaildirStore, ContactsComeFromVCardFiles) {
    testing::WriteFile(
        root() / ".Contacts" / "vcards" / "people.vcf",
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL;TYPE=work:ann@example.org\r\n"
        "EMAIL:ann2@example.org\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Doe;John\r\nEMAIL:john@example.org\r\nEND:VCARD\r\n");
    Folder& contacts = store_->Root(1).SubFolder("Contacts");
    ASSERT_EQ(contacts.ItemCount(), 2u);
    EXPECT_EQ(contacts.Contact(1).full_name, "Ann Example");
    EXPECT_EQ(contacts.Contact(1).email1, "ann@example.org");
    EXPECT_EQ(contacts.Contact(2).full_name, "John Doe");
    EXPECT_THROW(contacts.Contact(3), EMailError);

    auto draft = store_->CreateItem();
    Recipient& known = draft->AddRecipient("ann example");
    Recipient& typed = draft->AddRecipient("someone@example.org");
    Recipient& unknown = draft->AddRecipient("Nobody Known");
    EXPECT_FALSE(draft->ResolveAll());
    EXPECT_EQ(known.address, "ann@example.org");
    EXPECT_EQ(known.name, "Ann Example");
    EXPECT_TRUE(typed.resolved);
    EXPECT_FALSE(unknown.resolved);
    EXPECT_EQ(unknown.name, "Nobody Known");
    EXPECT_THROW(draft->Send(), EMailError) << "an unresolved recipient cannot be sent";
}

TEST_F(MaildirStore, DraftWithoutSmtpServerGoesToTheOutbox) {
    auto draft = store_->CreateItem();
    draft->SetSubject("Mail-out");
    draft->SetBody("Hello all");
    draft->AddRecipient("", "to@example.org", RecipientType::kTo);
    draft->AddRecipient("", "secret@example.org", RecipientType::kBcc);
    draft->Send();
    Folder& outbox = store_->Root(1).SubFolder("Outbox");
    ASSERT_EQ(outbox.ItemCount(), 1u);
    EXPECT_EQ(outbox.Item(1).Subject(), "Mail-out");
    // The stored copy keeps its blind copies for whoever sends it later.
    const std::string raw = store_->Backend().Fetch(outbox.Path(), outbox.Item(1).EntryId());
    EXPECT_NE(raw.find("secret@example.org"), std::string::npos);
}

TEST_F(MaildirStore, DisplayWritesTheMessageAndOpensIt) {
    testing::TempDir out;
    settings_.open_command = "true";
    auto store = MailStore::OpenMaildir(settings_, root(), "MailingList");
    auto draft = store->CreateItem();
    draft->SetSubject("Test send");
    draft->SetHtmlBody("<p>Hi</p>");
    draft->AddRecipient("test@example.org");
    const fs::path file = draft->Display();
    EXPECT_TRUE(fs::exists(file));
    EXPECT_NE(testing::ReadFile(file).find("Subject: Test send"), std::string::npos);
    fs::remove(file);

    settings_.open_command = "/nonexistent/viewer";
    auto broken = MailStore::OpenMaildir(settings_, root(), "MailingList");
    auto other = broken->CreateItem();
    other->AddRecipient("test@example.org");
    EXPECT_THROW(other->Display(), EMailError);
    const auto temp = platform::os::TempDirectory();
    ASSERT_TRUE(temp);
    for (const auto& entry : fs::directory_iterator(*temp))
        EXPECT_FALSE(entry.path().filename().string().starts_with("corvane-message-"))
            << entry.path() << " left behind by a viewer that never started";
}

TEST_F(MaildirStore, ForwardSendsBodyAndAttachmentsToTheSmtpServer) {
    testing::SmtpSink sink;
    settings_.smtp_host = "127.0.0.1";
    settings_.smtp_port = sink.port();
    auto store = MailStore::OpenMaildir(settings_, root(), "MailingList");
    Folder& folder = store->Root(1).SubFolder("MailingList");
    folder.AppendMessage(
        "From: Member <member@example.org>\r\nTo: list@example.org\r\nSubject: [news] Hello\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n"
        "--XX\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nMember text\r\n"
        "--XX\r\nContent-Type: application/pdf; name=\"doc.pdf\"\r\n"
        "Content-Disposition: attachment; filename=\"doc.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--XX--\r\n",
        false);
    MailItem& item = folder.Item(1);
    auto forward = item.Forward();
    EXPECT_EQ(forward->Subject(), "FW: [news] Hello");
    forward->SetSubject(item.Subject());
    forward->SetBody(item.PlainBody() + "\r\n-- \r\nsignature");
    forward->AddRecipient("", "default@example.org", RecipientType::kTo);
    forward->AddRecipient("", "m1@example.org", RecipientType::kBcc);
    forward->AddRecipient("", "m2@example.org", RecipientType::kBcc);
    forward->SetReadReceipt(true);
    forward->Send();

    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].mail_from, "owner@example.org");
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"default@example.org", "m1@example.org",
                                                          "m2@example.org"}));
    const ReceivedMessage sent = ParseMessage(mails[0].data);
    EXPECT_EQ(sent.subject, "[news] Hello");
    EXPECT_EQ(sent.from, (Mailbox{"List Owner", "owner@example.org"}));
    EXPECT_NE(sent.plain_body.find("Member text"), std::string::npos);
    ASSERT_EQ(sent.attachments.size(), 1u);
    EXPECT_EQ(sent.attachments[0].display_name, "doc.pdf");
    EXPECT_EQ(sent.attachments[0].data, "%PDF-1.4\n");
}

TEST_F(MaildirStore, DraftGoesToTheSmtpServerWithEveryPart) {
    testing::SmtpSink sink;
    settings_.smtp_host = "127.0.0.1";
    settings_.smtp_port = sink.port();
    auto store = MailStore::OpenMaildir(settings_, root(), "MailingList");
    testing::WriteFile(dir_.path() / "prices.csv", "item;price\n");
    auto draft = store->CreateItem();
    draft->SetSubject("Mail-out for März");
    draft->SetHtmlBody("<p>Dear member,</p>\n<p>.</p>\n<p>News &amp; more</p>");
    draft->AddRecipient("to@example.org").type = RecipientType::kTo;
    draft->AddRecipient("", "copy@example.org", RecipientType::kCc);
    draft->AddRecipient("Hidden", "hidden@example.org", RecipientType::kBcc);
    draft->AddAttachment((dir_.path() / "prices.csv").string(), "Prices.csv");
    EXPECT_THROW(draft->AddAttachment((dir_.path() / "missing.csv").string()), EMailError);
    draft->SetReadReceipt(true);
    EXPECT_TRUE(draft->ResolveAll());
    draft->Send();

    const auto mails = sink.WaitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"to@example.org", "copy@example.org",
                                                          "hidden@example.org"}));
    EXPECT_EQ(mails[0].data.find("hidden@example.org"), std::string::npos);
    EXPECT_NE(mails[0].data.find("Disposition-Notification-To:"), std::string::npos);
    EXPECT_NE(mails[0].data.find("text/html"), std::string::npos);
    const ReceivedMessage sent = ParseMessage(mails[0].data);
    EXPECT_EQ(sent.subject, "Mail-out for März");
    EXPECT_EQ(sent.plain_body, "Dear member,\r\n.\r\nNews & more\r\n");
    ASSERT_EQ(sent.cc.size(), 1u);
    ASSERT_EQ(sent.attachments.size(), 1u);
    EXPECT_EQ(sent.attachments[0].display_name, "Prices.csv");
    EXPECT_EQ(sent.attachments[0].data, "item;price\n");
}

TEST_F(MaildirStore, SendFailureIsReported) {
    settings_.smtp_host = "127.0.0.1";
    settings_.smtp_port = testing::FreeTcpPort();
    auto store = MailStore::OpenMaildir(settings_, root(), "MailingList");
    auto draft = store->CreateItem();
    draft->AddRecipient("to@example.org");
    EXPECT_THROW(draft->Send(), EMailError);
    EXPECT_EQ(store->Root(1).SubFolder("Outbox").ItemCount(), 0u);
}

}  // namespace
}  // namespace mail
