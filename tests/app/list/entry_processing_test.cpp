#include "app/list/entry_processing.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/list/category_filter.h"
#include "app/list/name_routines.h"
#include "app/routines/text_routines.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using namespace testing_support;

TEST(NameRoutines, SplitCleanAndSalutation) {
    struct Case {
        std::string address, name, want_address, want_name, salutation;
    };
    const std::vector<Case> cases = {
        {"John Smith <js@x.com>", "", "js@x.com", "John Smith", "John"},
        {"\"Smith, John\" <js@x.com>", "", "js@x.com", "John Smith", "John"},
        {"js@x.com", "other@x.com", "js@x.com", "", ""},
        {"Smith, <s@x.com>", "", "s@x.com", "Smith", "Smith"},
        {"<s@x.com>>", "\"mary\"", "s@x.com", "mary", "Mary"},
        {"plain@x.com", "  Jane  Doe ", "plain@x.com", "Jane  Doe", "Jane"},
        {"bob@x.com", "\"Jones, Bob\"", "bob@x.com", "Jones, Bob", "Bob"},
        {"bob@x.com", " Jones ,  Bob Lee", "bob@x.com", "Jones ,  Bob Lee", "Bob"},
    };
    for (const Case& c : cases) {
        std::string address = c.address;
        std::string name = c.name;
        SMTPAddressToEmailName(address, name);
        EXPECT_EQ(address, c.want_address) << c.address;
        EXPECT_EQ(name, c.want_name) << c.address;
        EXPECT_EQ(SalutationFromName(name), c.salutation) << c.address;
    }
    EXPECT_EQ(RemoveCommaFromName(",x"), ",x");
    EXPECT_EQ(SalutationFromName(" Smith"), "Smith");
    EXPECT_EQ(SalutationFromName(""), "");
}

class EntryProcessingTest : public ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        entries->OnSendAcknowledgement = [this](std::string_view address, std::string_view text) {
            acks.emplace_back(std::string(address) + ": " + std::string(text));
        };
    }
    std::string Add(std::string_view email, std::string_view category = "news",
                    bool ignore_rules = false) {
        return entries->insertentry(true, email, category, "", "", "c", 0, ignore_rules, true);
    }
    std::string Remove(std::string_view email, std::string_view category = "") {
        return entries->insertentry(false, email, category, "", "", "c", 0, false, true);
    }
    std::vector<std::string> acks;
};

TEST_F(EntryProcessingTest, AddAndRemoveResultsLogAndAcknowledgements) {
    EXPECT_EQ(Add("a@x.com"), "Entered Successfully");
    EXPECT_EQ(Add("A@X.com"), "Entry already exists!");
    EXPECT_EQ(Add("a@x.com", "sport"), "Entered Successfully");
    EXPECT_EQ(Add("a@x.com", ""), "Entered Successfully") << "the default category";
    EXPECT_EQ(Rows(),
              (std::vector<std::string>{"a@x.com|news", "a@x.com|sport", "a@x.com|Default"}));
    EXPECT_EQ(Remove("a@x.com", "news"), "Entry successfully deleted!");
    EXPECT_EQ(Remove("a@x.com", "mE"), "Entry successfully deleted!");
    EXPECT_TRUE(Rows().empty());
    EXPECT_EQ(Remove("a@x.com"), "E-mail address not found!");
    EXPECT_EQ(Add("nonsense"), "") << "no @: nothing, not even a log line";
    ASSERT_EQ(acks.size(), 8u);
    EXPECT_EQ(acks[0],
              "a@x.com: The e-mail address, a@x.com, was sucessfully added to the Mailing "
              "list, news.");
    EXPECT_EQ(acks[1],
              "A@X.com: The e-mail address, A@X.com, is already contained in the Mailing "
              "list, news.");
    EXPECT_EQ(acks[7],
              "a@x.com: There is no record of the e-mail address, a@x.com, in our "
              "Mailing list!");
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0], "ADD a@x.com news [c] -> Entered Successfully");
    EXPECT_EQ(log[5], "REMOVE a@x.com  [c] -> Entry successfully deleted!");
}

// An address in several categories, among neighbours on either side, is
// found by address and category without regard to case (accented letters
// included, as the table's indexes fold them), in the list's own order and in
// another.
TEST_F(EntryProcessingTest, LocateEntryFindsTheAddressInItsCategory) {
    settings.DefaultNoUserSend = false;
    for (const char* email : {"a@x.com", "c@x.com"})
        ASSERT_EQ(Add(email, "news"), "Entered Successfully");
    for (const char* category : {"sport", "news", "Music", "Économie"})
        ASSERT_EQ(Add("b@x.com", category), "Entered Successfully");
    struct Case {
        const char* address;
        const char* category;
        const char* stored;  // the row's category when found, else nullptr
    };
    const Case cases[] = {{"b@x.com", "news", "news"},         {"B@X.COM", "MUSIC", "Music"},
                          {"b@x.com", "sport", "sport"},       {"b@x.com", "film", nullptr},
                          {"b@x.co", "news", nullptr},         {"c@x.com", "news", "news"},
                          {"a@x.com", "sport", nullptr},       {"d@x.com", "news", nullptr},
                          {"b@x.com", "éCONOMIE", "Économie"}, {"B@x.com", "ÉCONOMIE", "Économie"},
                          {"b@x.com", "Economie", nullptr}};
    settings.MustBelongToGroup = true;
    strata::TStrataTable& table = database->tblCV();
    for (const char* order : {"Item", "Category"}) {
        table.SetIndexFieldNames(order);
        for (const Case& c : cases) {
            ASSERT_EQ(entries->UserCanSend(c.address, c.category), c.stored != nullptr)
                << order << ": " << c.address << " " << c.category;
            if (c.stored) {
                EXPECT_TRUE(SameText(table.FieldByName("Item")->AsString(), c.address));
                EXPECT_EQ(table.FieldByName("Category")->AsString(), c.stored);
            }
        }
    }
}

TEST_F(EntryProcessingTest, RulesRefuseAndRecordErrors) {
    settings.lbxneversubscribe = {"blocked@x.com"};
    EXPECT_EQ(Add("Blocked@X.com"), "Not Added: E-mail Address is blocked by rule!");
    EXPECT_TRUE(errors.Lines().empty()) << "a blocked address leaves no errors line";
    EXPECT_EQ(Add("a@hotmial.com"),
              "Not Added: Invalid E-mail Address (Error: E-mail address contains Exception text "
              "as set in Options)!");
    EXPECT_EQ(Add("a@hotmial.com", "news", true), "Entered Successfully") << "ignore rules";
    settings.RestrictCategories = true;
    settings.lbxcategories = {"News"};
    settings.WrongCategoryIsError = true;
    EXPECT_EQ(Add("b@x.com", "Other"), "Not Added: Invalid Category Address!");
    settings.WrongCategoryIsError = false;
    settings.AlternativeCategory = "";
    EXPECT_EQ(Add("b@x.com", "Other"), "Entered Successfully");
    EXPECT_EQ(Add("c@x.com", ""), "Entered Successfully");
    const std::string long_address = std::string(75, 'a') + "@x.com";
    EXPECT_EQ(Add(long_address, "news", true).rfind("Error inserting into database: ", 0), 0u);
    settings.RestrictCategories = false;
    EXPECT_EQ(Add("d@x.com", std::string(81, 'c'), true).rfind("Error inserting", 0), 0u);
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{
                                  "ADD a@hotmial.com news",
                                  "ADD b@x.com Other",
                                  "ADD " + long_address + " news",
                                  "ADD d@x.com " + std::string(81, 'c'),
                              }));
    std::vector<std::string> rows = Rows();
    EXPECT_EQ(rows,
              (std::vector<std::string>{"a@hotmial.com|news", "b@x.com|", "c@x.com|Default"}));
}

TEST_F(EntryProcessingTest, UnsubscribersAreBlockedAndSingleCategoryMode) {
    settings.AddUnsubscribers = true;
    EXPECT_EQ(Remove("Gone@x.com"), "E-mail address not found!");
    EXPECT_EQ(Add("gone@x.com"), "Not Added: E-mail Address is blocked by rule!");
    settings.MultipleCategorySupport = false;
    EXPECT_EQ(Add("one@x.com", "news"), "Entered Successfully");
    EXPECT_EQ(Add("one@x.com", "sport"), "Entry already exists!");
    EXPECT_EQ(Add("two@x.com", "sport"), "Entered Successfully");
    settings.MultipleCategorySupport = true;
    EXPECT_EQ(Add("two@x.com", "news"), "Entered Successfully");
    settings.MultipleCategorySupport = false;
    EXPECT_EQ(Remove("two@x.com", "news"), "Entry successfully deleted!");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"one@x.com|news"}));
}

TEST_F(EntryProcessingTest, ExistingEntryGetsTheNewComments) {
    Add("a@x.com");
    entries->insertentry(true, "a@x.com", "news", "", "", "second", 0, false, false);
    ASSERT_TRUE(entries->LocateEmailAddress("A@x.com"));
    EXPECT_EQ(database->tblCV().FieldByName("Comments")->AsString(), "second");
    EXPECT_EQ(Log().back(), "ADD a@x.com news [second] -> Entry already exists!");
}

TEST_F(EntryProcessingTest, ChangeOfAddressChangesEachRowOnce) {
    Add("old@x.com", "news");
    Add("old@x.com", "sport");
    EXPECT_TRUE(entries->ChangeEmailAddress("old@x.com", "OLD@x.com", false, false));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"OLD@x.com|news", "OLD@x.com|sport"}));
    EXPECT_TRUE(entries->ChangeEmailAddress("old@x.com", "new@x.com", false, false));
    EXPECT_FALSE(entries->ChangeEmailAddress("old@x.com", "new@x.com", false, false));
    EXPECT_FALSE(entries->ChangeEmailAddress("new@x.com", "bad address", false, false));
    std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[log.size() - 4], "Changed Email Address old@x.com to new@x.com");
    EXPECT_EQ(log[log.size() - 2],
              "Changed Email Address old@x.com to new@x.com -> Address not found!");
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"MODIFY old@x.com new@x.com",
                                                        "MODIFY new@x.com bad address"}));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"new@x.com|news", "new@x.com|sport"}));
    // A change to an address already in the category leaves one row of it.
    Add("other@x.com", "news");
    EXPECT_TRUE(entries->ChangeEmailAddress("other@x.com", "new@x.com", false, false));
    EXPECT_EQ(Rows(), (std::vector<std::string>{"new@x.com|news", "new@x.com|sport"}));
}

// The user may sort the list by any column; the rows of an address then lie apart.
TEST_F(EntryProcessingTest, ChangeOfAddressReachesEveryRowInAnyOrder) {
    for (const char* order : {"Category", "", "Bounces", "Item"}) {
        database->tblCV().SetIndexFieldNames("Item");
        for (const std::string& row : Rows())
            entries->insertentry(false, row.substr(0, row.find('|')), "", "", "", "", 0, false,
                                 false);
        Add("old@x.com", "alpha");
        Add("mid@x.com", "beta");
        Add("old@x.com", "gamma");
        Add("zed@x.com", "alpha");
        database->tblCV().SetIndexFieldNames(order);
        EXPECT_TRUE(entries->ChangeEmailAddress("old@x.com", "new@x.com", false, false));
        EXPECT_EQ(database->tblCV().IndexFieldNames(), order) << "the user's order stays";
        database->tblCV().SetIndexFieldNames("Item");
        EXPECT_EQ(Rows(), (std::vector<std::string>{"mid@x.com|beta", "new@x.com|alpha",
                                                    "new@x.com|gamma", "zed@x.com|alpha"}))
            << "sorted by '" << order << "'";
    }
}

TEST_F(EntryProcessingTest, BouncesCountUntilTheLimitDeletes) {
    settings.spnbouncemax = 3;
    Add("b@x.com");
    EXPECT_EQ(entries->processbounce("b@x.com"), "Bounce count incremented!");
    EXPECT_EQ(entries->processbounce("B@x.com"), "Bounce count incremented!");
    EXPECT_EQ(entries->processbounce("b@x.com"), "Entry successfully deleted!");
    EXPECT_EQ(entries->processbounce("b@x.com"), "E-mail address not found!");
    EXPECT_EQ(Log().back(), "Update Undeliverable b@x.com -> E-mail address not found!");
    Add("d@x.com");
    EXPECT_EQ(entries->processbounce("Dora Smith <d@x.com>"), "Bounce count incremented!");
    settings.chkbouncemax = false;
    Add("c@x.com");
    for (int i = 0; i < 12; ++i)
        entries->processbounce("c@x.com");
    ASSERT_TRUE(entries->LocateEmailAddress("c@x.com"));
    EXPECT_EQ(database->tblCV().FieldByName("Bounces")->AsInteger(), 12);
}

TEST_F(EntryProcessingTest, SendingRightsAndGroupLookups) {
    Add("m@x.com", "news");
    EXPECT_EQ(entries->GetGroupOfUser("M@x.com"), "news");
    EXPECT_EQ(entries->GetGroupOfUser("none@x.com"), "");
    EXPECT_FALSE(entries->UserCanSend("m@x.com", "news")) << "new rows cannot send by default";
    settings.DefaultNoUserSend = false;
    Add("s@x.com", "news");
    EXPECT_TRUE(entries->UserCanSend("s@x.com", "news"));
    EXPECT_FALSE(entries->UserCanSend("s@x.com", "sport"));
    settings.MustBelongToGroup = false;
    EXPECT_TRUE(entries->UserCanSend("s@x.com", "sport"));
}

TEST_F(EntryProcessingTest, ReprocessingAppliesTheCorrectedLine) {
    errors.AddToErrorsList(kErrorAdd, "bad@@x.com", "news");
    const ReprocessRequest request = ParseErrorLine(errors.Lines()[0]);
    EXPECT_EQ(entries->Reprocess(request.add, "fixed@x.com", request.category, false),
              "Entered Successfully");
    EXPECT_EQ(entries->Reprocess(true, "a@hotmial.com", "news", true), "Entered Successfully")
        << "ignore all rules";
    EXPECT_TRUE(acks.empty());
    EXPECT_EQ(Log()[0].rfind("ADD fixed@x.com news [Reprocessing of entry at ", 0), 0u);
}

TEST_F(EntryProcessingTest, CategoryWithAQuoteIsFilteredAsWritten) {
    for (const char* category : {"o'neil", "oneil", "news"})
        Add("a@x.com", category);
    SetFilter(database->tblCV(), true, "o'neil", "", false);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"a@x.com|o'neil"}));
    SetFilter(database->tblCV(), false, "", "O'NEIL, news", true);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"a@x.com|oneil"}));
}

// The log viewer shows the file line by line: a category, comment or error text from a
// mail never starts a line of its own there.
TEST_F(EntryProcessingTest, LogLinesHoldNoTextThatStartsAnotherLine) {
    entries->AddToLog("one\r\nADD forged@x.com -> Entered Successfully");
    entries->AddToLog("two\xE2\x80\xA8REMOVE boss@x.com -> Entry successfully deleted!\x1b");
    entries->AddToLog("three\tstays");
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "one  ADD forged@x.com -> Entered Successfully",
                         "two REMOVE boss@x.com -> Entry successfully deleted! ", "three\tstays"}));
}

TEST_F(EntryProcessingTest, LoggingOffWritesNothing) {
    settings.MaintainLog = false;
    Add("a@x.com");
    EXPECT_FALSE(fs::exists(program.File("log.txt")));
}

}  // namespace
}  // namespace app
