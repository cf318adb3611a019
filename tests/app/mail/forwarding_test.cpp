#include "app/mail/forwarding.h"

#include <gtest/gtest.h>

#include "app/list/recipient_cache.h"
#include "platform/mail/mail_store.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

class ForwardTargets : public ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
        folder = &store->Root(1).AddFolder("Members");
        folder->AppendMessage(
            "From: Ann <ann@x.org>\r\nTo: News <news@lists.x.org>\r\n"
            "Subject: [ sport ] results\r\n\r\nbody\r\n",
            false);
        entries->insertentry(true, "ann@x.org", "members", "", "", "", 0, false, false);
    }
    std::unique_ptr<mail::MailStore> store;
    mail::Folder* folder = nullptr;
    RecipientCache cache;
};

TEST_F(ForwardTargets, EachRuleFindsItsCategory) {
    Forwarder forwarder(*entries, cache);
    mail::MailItem& item = folder->Item(1);
    const std::string subject = item.Subject();
    struct Case {
        ForwardTarget rule;
        bool found;
        std::string category;
    };
    const std::vector<Case> cases = {
        {ForwardTarget::kAll, true, ""},
        {ForwardTarget::kInEmail, true, "news"},
        {ForwardTarget::kSenderGroup, true, "members"},
        {ForwardTarget::kInSubject, true, "sport"},
    };
    for (const Case& c : cases) {
        settings.ForwardToWhom = c.rule;
        std::string category = "stale";
        EXPECT_EQ(forwarder.GetRecipientGroup(item, subject, "ann@x.org", category), c.found);
        EXPECT_EQ(category, c.category);
    }
    std::string category;
    settings.ForwardToWhom = ForwardTarget::kSenderGroup;
    EXPECT_FALSE(forwarder.GetRecipientGroup(item, subject, "stranger@x.org", category));
    settings.ForwardToWhom = ForwardTarget::kInSubject;
    EXPECT_FALSE(forwarder.GetRecipientGroup(item, "no marker", "ann@x.org", category));
    EXPECT_FALSE(forwarder.GetRecipientGroup(item, "] [x", "ann@x.org", category));
}

TEST_F(ForwardTargets, MembersMessagesByMarkerOrAll) {
    Forwarder forwarder(*entries, cache);
    EXPECT_TRUE(forwarder.IsUserEmail("[news] hello"));
    EXPECT_FALSE(forwarder.IsUserEmail("]news["));
    EXPECT_TRUE(forwarder.IsUserEmail("x]news["));
    EXPECT_FALSE(forwarder.IsUserEmail("plain"));
    settings.ForwardAll = true;
    EXPECT_TRUE(forwarder.IsUserEmail("plain"));
}

TEST_F(ForwardTargets, CacheIsReusedUntilTheCategoryChanges) {
    entries->insertentry(true, "b@x.org", "News", "", "", "", 0, false, false);
    entries->insertentry(true, "B@x.org", "news", "", "", "", 0, false, false);
    cache.LoadCacheEntries(database->tblCV(), "news");
    EXPECT_EQ(cache.CachedGroup(), "NEWS");
    EXPECT_EQ(cache.Entries().size(), 1u) << "sorted without duplicates, ignoring case";
    cache.LoadCacheEntries(database->tblCV(), "");
    EXPECT_EQ(cache.CachedGroup(), "ALL");
    EXPECT_EQ(cache.Entries().size(), 2u);
}

}  // namespace
}  // namespace app
