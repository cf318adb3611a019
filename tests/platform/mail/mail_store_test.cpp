#include "platform/mail/mail_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/mail/mail_error.h"
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
    Folder& list() { return store_->root(1).folder("MailingList"); }
    void Add(const std::string& raw, bool seen = false) { list().appendMessage(raw, seen); }

    TempDir dir_;
    MailSettings settings_;
    std::unique_ptr<MailStore> store_;
};

TEST_F(MaildirStore, FirstUseCreatesPersonalFoldersWithTheListFolder) {
    Folder& top = store_->root(1);
    EXPECT_EQ(top.name(), "Personal Folders");
    EXPECT_EQ(&store_->root("<Root>"), &top);
    EXPECT_EQ(&store_->root("personal folders"), &top);
    EXPECT_THROW(store_->root("Archive"), EMailError);
    EXPECT_THROW(store_->root(2), EMailError);

    std::vector<std::string> names;
    for (std::size_t i = 1; i <= top.folderCount(); ++i)
        names.push_back(top.folder(i).name());
    EXPECT_EQ(names, (std::vector<std::string>{"Inbox", "Contacts", "Deleted Items", "MailingList",
                                               "Outbox", "Sent Items"}));
    EXPECT_EQ(top.folder("contacts").defaultItemType(), 2);
    EXPECT_EQ(top.folder("MailingList").defaultItemType(), 0);
    EXPECT_EQ(list().itemCount(), 0u);
    EXPECT_EQ(list().unreadCount(), 0u);

    // An existing store is opened as it is.
    auto again = MailStore::OpenMaildir(settings_, root(), "OtherList");
    EXPECT_EQ(again->root(1).findFolder("OtherList"), nullptr);
    EXPECT_EQ(again->root(1).folderCount(), 6u);
}

TEST_F(MaildirStore, FoldersAreAddedOnceAndNamesAreChecked) {
    Folder& top = store_->root(1);
    Folder& added = top.addFolder("Members");
    EXPECT_EQ(&top.folder("members"), &added);
    Folder& sub = added.addFolder("Old");
    EXPECT_EQ(added.folderCount(), 1u);
    EXPECT_EQ(&added.folder(1), &sub);
    EXPECT_THROW(top.addFolder("Members"), EMailError);
    for (const char* bad : {"", "a.b", "a/b", "x\ny"}) {
        EXPECT_THROW(top.addFolder(bad), EMailError) << bad;
    }
    EXPECT_THROW(top.folder("Nowhere"), EMailError);
    EXPECT_THROW(top.folder(99), EMailError);
}

TEST_F(MaildirStore, WalkFromLastToFirstDeletesWithoutRenumbering) {
    for (int i = 1; i <= 5; ++i) {
        Add(RawMessage("a@example.org", "Message " + std::to_string(i), "body"));
    }
    Folder& folder = list();
    const std::size_t count = folder.itemCount();
    ASSERT_EQ(count, 5u);
    for (std::size_t i = count; i >= 1; --i) {
        MailItem& item = folder.item(i);
        EXPECT_EQ(item.subject(), "Message " + std::to_string(i));
        if (i % 2 == 0)
            item.remove();
    }
    EXPECT_TRUE(folder.item(2).removed());
    EXPECT_THROW(folder.item(2).subject(), EMailError);
    EXPECT_EQ(folder.itemCount(), 5u) << "numbers hold until refresh";

    folder.refresh();
    ASSERT_EQ(folder.itemCount(), 3u);
    EXPECT_EQ(folder.item(1).subject(), "Message 1");
    EXPECT_EQ(folder.item(2).subject(), "Message 3");
    EXPECT_EQ(folder.item(3).subject(), "Message 5");
    Folder& deleted = store_->root(1).folder("Deleted Items");
    deleted.refresh();
    ASSERT_EQ(deleted.itemCount(), 2u);
    EXPECT_EQ(deleted.item(1).subject(), "Message 2");
}

TEST_F(MaildirStore, UnreadFlagsAreKeptOnDisk) {
    Add(RawMessage("a@example.org", "new one", "x"));
    Add(RawMessage("a@example.org", "read one", "x"), true);
    Add(RawMessage("a@example.org", "another", "x"));
    Folder& folder = list();
    EXPECT_EQ(folder.unreadCount(), 2u);
    EXPECT_TRUE(folder.item(1).unread());
    EXPECT_FALSE(folder.item(2).unread());
    folder.item(1).setUnread(false);
    EXPECT_EQ(folder.unreadCount(), 1u);
    folder.item(2).setUnread(true);
    EXPECT_EQ(folder.unreadCount(), 2u);

    auto reopened = MailStore::OpenMaildir(settings_, root(), "MailingList");
    Folder& again = reopened->root(1).folder("MailingList");
    EXPECT_FALSE(again.item(1).unread());
    EXPECT_TRUE(again.item(2).unread());
    EXPECT_TRUE(again.item(3).unread());
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
        EXPECT_EQ(folder.item(c.item).sender(c.method), c.expected)
            << "item " << c.item << " method " << static_cast<int>(c.method);
    }
    MailItem& first = folder.item(1);
    EXPECT_EQ(first.senderDisplayName(), "Ann Smith");
    EXPECT_EQ(first.toText(), "list@example.org");
    EXPECT_EQ(first.ccText(), "c1@example.org; c2@example.org");
    ASSERT_EQ(first.recipients().size(), 3u);
    EXPECT_EQ(first.recipients()[2], (Mailbox{"Cee", "c2@example.org"}));
    EXPECT_EQ(first.storeId(), store_->storeId());
    // The sender through Collaboration Data Objects: the item by its ids.
    MailItem& again = store_->getMessage(first.entryId(), folder.storeId());
    EXPECT_EQ(&again, &first);
    EXPECT_EQ(again.senderAddress(), (Mailbox{"Ann Smith", "ann@example.org"}));
    EXPECT_THROW(store_->getMessage(first.entryId(), "maildir:/elsewhere"), EMailError);
    EXPECT_THROW(store_->getMessage("no-such-id", folder.storeId()), EMailError);
}

TEST_F(MaildirStore, ContactsComeFromVCardFiles) {
    testing::WriteFile(
        root() / ".Contacts" / "vcards" / "people.vcf",
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL;TYPE=work:ann@example.org\r\n"
        "EMAIL:ann2@example.org\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Doe;John\r\nEMAIL:john@example.org\r\nEND:VCARD\r\n");
    Folder& contacts = store_->root(1).folder("Contacts");
    ASSERT_EQ(contacts.itemCount(), 2u);
    EXPECT_EQ(contacts.contact(1).fullName, "Ann Example");
    EXPECT_EQ(contacts.contact(1).email1, "ann@example.org");
    EXPECT_EQ(contacts.contact(2).fullName, "John Doe");
    EXPECT_THROW(contacts.contact(3), EMailError);

    auto draft = store_->createItem();
    Recipient& known = draft->addRecipient("ann example");
    Recipient& typed = draft->addRecipient("someone@example.org");
    Recipient& unknown = draft->addRecipient("Nobody Known");
    EXPECT_FALSE(draft->resolveAll());
    EXPECT_EQ(known.address, "ann@example.org");
    EXPECT_EQ(known.name, "Ann Example");
    EXPECT_TRUE(typed.resolved);
    EXPECT_FALSE(unknown.resolved);
    EXPECT_EQ(unknown.name, "Nobody Known");
    EXPECT_THROW(draft->send(), EMailError) << "an unresolved recipient cannot be sent";
}

TEST_F(MaildirStore, DraftWithoutSmtpServerGoesToTheOutbox) {
    auto draft = store_->createItem();
    draft->setSubject("Mail-out");
    draft->setBody("Hello all");
    draft->addRecipient("", "to@example.org", RecipientType::kTo);
    draft->addRecipient("", "secret@example.org", RecipientType::kBcc);
    draft->send();
    Folder& outbox = store_->root(1).folder("Outbox");
    ASSERT_EQ(outbox.itemCount(), 1u);
    EXPECT_EQ(outbox.item(1).subject(), "Mail-out");
    // The stored copy keeps its blind copies for whoever sends it later.
    const std::string raw = store_->backend().Fetch(outbox.path(), outbox.item(1).entryId());
    EXPECT_NE(raw.find("secret@example.org"), std::string::npos);
}

TEST_F(MaildirStore, DisplayWritesTheMessageAndOpensIt) {
    testing::TempDir out;
    settings_.open_command = "true";
    auto store = MailStore::OpenMaildir(settings_, root(), "MailingList");
    auto draft = store->createItem();
    draft->setSubject("Test send");
    draft->setHtmlBody("<p>Hi</p>");
    draft->addRecipient("test@example.org");
    const fs::path file = draft->display();
    EXPECT_TRUE(fs::exists(file));
    EXPECT_NE(testing::ReadFile(file).find("Subject: Test send"), std::string::npos);
    fs::remove(file);

    settings_.open_command = "/nonexistent/viewer";
    auto broken = MailStore::OpenMaildir(settings_, root(), "MailingList");
    auto other = broken->createItem();
    other->addRecipient("test@example.org");
    EXPECT_THROW(other->display(), EMailError);
}

TEST_F(MaildirStore, ForwardSendsBodyAndAttachmentsToTheSmtpServer) {
    testing::SmtpSink sink;
    settings_.smtp_host = "127.0.0.1";
    settings_.smtp_port = sink.port();
    auto store = MailStore::OpenMaildir(settings_, root(), "MailingList");
    Folder& folder = store->root(1).folder("MailingList");
    folder.appendMessage(
        "From: Member <member@example.org>\r\nTo: list@example.org\r\nSubject: [news] Hello\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n"
        "--XX\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nMember text\r\n"
        "--XX\r\nContent-Type: application/pdf; name=\"doc.pdf\"\r\n"
        "Content-Disposition: attachment; filename=\"doc.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--XX--\r\n",
        false);
    MailItem& item = folder.item(1);
    auto forward = item.forward();
    EXPECT_EQ(forward->subject(), "FW: [news] Hello");
    forward->setSubject(item.subject());
    forward->setBody(item.plainBody() + "\r\n-- \r\nsignature");
    forward->addRecipient("", "default@example.org", RecipientType::kTo);
    forward->addRecipient("", "m1@example.org", RecipientType::kBcc);
    forward->addRecipient("", "m2@example.org", RecipientType::kBcc);
    forward->setReadReceipt(true);
    forward->send();

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
    auto draft = store->createItem();
    draft->setSubject("Mail-out for März");
    draft->setHtmlBody("<p>Dear member,</p>\n<p>.</p>\n<p>News &amp; more</p>");
    draft->addRecipient("to@example.org").type = RecipientType::kTo;
    draft->addRecipient("", "copy@example.org", RecipientType::kCc);
    draft->addRecipient("Hidden", "hidden@example.org", RecipientType::kBcc);
    draft->addAttachment((dir_.path() / "prices.csv").string(), "Prices.csv");
    EXPECT_THROW(draft->addAttachment((dir_.path() / "missing.csv").string()), EMailError);
    draft->setReadReceipt(true);
    EXPECT_TRUE(draft->resolveAll());
    draft->send();

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
    auto draft = store->createItem();
    draft->addRecipient("to@example.org");
    EXPECT_THROW(draft->send(), EMailError);
    EXPECT_EQ(store->root(1).folder("Outbox").itemCount(), 0u);
}

}  // namespace
}  // namespace mail
