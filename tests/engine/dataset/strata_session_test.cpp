#include "engine/dataset/strata_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "platform/db/exception.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {
namespace {

using testing_support::TempDir;

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const db::EDatabaseError& error) {
        return error.what();
    }
    return {};
}

db::ComponentPtr<TStrataSession> NamedSession(std::string_view name) {
    auto session = db::MakeComponent<TStrataSession>(nullptr);
    session->SetSessionName(name);
    return session;
}

TEST(StrataSession, DefaultSessionIsNamedDefaultAndFoundByEmptyName) {
    TStrataSession& session = DefaultStrataSession();
    EXPECT_TRUE(session.IsDefault());
    EXPECT_EQ(session.SessionName(), "Default");
    EXPECT_EQ(StrataSessions().FindSession(""), &session);
    EXPECT_EQ(StrataSessions().FindSession("dEfAuLt"), &session);
    EXPECT_EQ(session.EngineVersion(), "2.06");
}

TEST(StrataSession, NamingRules) {
    auto unnamed = db::MakeComponent<TStrataSession>(nullptr);
    EXPECT_EQ(ErrorOf([&] { unnamed->SetActive(true); }), "Session name is missing.");
    EXPECT_FALSE(unnamed->Active());

    auto first = NamedSession("Alpha");
    EXPECT_EQ(ErrorOf([&] { unnamed->SetSessionName("ALPHA"); }),
              "Session name ALPHA already exists.");
    EXPECT_EQ(ErrorOf([] { StrataSessions().GetSession("Nobody"); }),
              "Session name Nobody is not valid.");
    EXPECT_EQ(&StrataSessions().GetSession("alpha"), first.get());

    first->SetActive(true);
    EXPECT_EQ(ErrorOf([&] { first->SetSessionName("Beta"); }),
              "Cannot perform this operation on an active session.");
    first->SetActive(false);
}

TEST(StrataSession, StartingASessionStartsDefaultFirstAndSettingsReachTheEngine) {
    auto session = NamedSession("Gamma");
    session->SetSortID(1);
    session->SetLockRetryCount(3);
    session->SetStrictChangeDetection(true);
    session->SetActive(true);
    EXPECT_TRUE(DefaultStrataSession().Active());
    ASSERT_NE(session->EngineSession(), nullptr);
    EXPECT_NE(session->EngineSession(), DefaultStrataSession().EngineSession());
    EXPECT_EQ(session->SortID(), 1);
    EXPECT_EQ(session->EngineSession()->LockRetryCount(), 3);
    EXPECT_TRUE(session->EngineSession()->StrictChangeDetection());
    session->SetLockWaitTime(250);
    EXPECT_EQ(session->EngineSession()->LockWaitTime(), 250);
    session->SetActive(false);
    EXPECT_EQ(session->EngineSession(), nullptr);
}

TEST(StrataSession, AutoSessionNamesTakeTheLowestFreeNumber) {
    db::TComponent owner_a(nullptr);
    db::TComponent owner_b(nullptr);
    db::TComponent owner_c(nullptr);
    auto* a = db::MakeOwned<TStrataSession>(owner_a);
    a->SetName("Sess");
    a->SetAutoSessionName(true);
    EXPECT_EQ(a->AutoSessionNumber(), 0);
    EXPECT_EQ(a->SessionName(), "Sess_1");
    EXPECT_EQ(ErrorOf([&] { a->SetSessionName("Other"); }),
              "Cannot perform this operation on the active auto-session.");

    auto* b = db::MakeOwned<TStrataSession>(owner_b);
    b->SetName("Sess");
    b->SetAutoSessionName(true);
    EXPECT_EQ(b->SessionName(), "Sess_2");

    a->SetAutoSessionName(false);
    auto* c = db::MakeOwned<TStrataSession>(owner_c);
    c->SetName("Other");
    c->SetAutoSessionName(true);
    EXPECT_EQ(c->AutoSessionNumber(), 0);
    EXPECT_EQ(c->SessionName(), "Other_1");

    EXPECT_EQ(ErrorOf([&] { db::MakeOwned<TStrataSession>(owner_b); }),
              "This auto-session already exists.");
}

TEST(StrataSession, AutoSessionsOfDifferentOwnersRunSideBySide) {
    // One auto-named session per form or thread is what the names are for.
    db::TComponent owner_a(nullptr);
    db::TComponent owner_b(nullptr);
    auto* a = db::MakeOwned<TStrataSession>(owner_a);
    a->SetName("Worker");
    a->SetAutoSessionName(true);
    auto* b = db::MakeOwned<TStrataSession>(owner_b);
    b->SetName("Worker");
    b->SetAutoSessionName(true);
    a->SetActive(true);
    EXPECT_EQ(ErrorOf([&] { b->SetActive(true); }), "");
    EXPECT_TRUE(a->Active());
    EXPECT_TRUE(b->Active());
    db::TComponent owner_c(nullptr);
    auto* plain = db::MakeOwned<TStrataSession>(owner_c);
    plain->SetSessionName("Plain");
    plain->SetActive(true);
    EXPECT_TRUE(plain->Active());
    b->SetActive(false);
    a->SetActive(false);
    plain->SetActive(false);
}

TEST(StrataSession, LockIsTakenByEveryThreadAndIsReentrant) {
    auto session = NamedSession("Locked");
    session->LockSession();
    session->LockSession();  // nested in one thread
    std::atomic<bool> entered = false;
    std::thread other([&] {
        SessionLockGuard guard(*session);
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // A second thread on the same session waits, even though the session is already locked.
    EXPECT_FALSE(entered.load());
    session->UnlockSession();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    session->UnlockSession();
    other.join();
    EXPECT_TRUE(entered.load());
    session->SetActive(false);
}

TEST(StrataDatabase, NamingRules) {
    auto session = NamedSession("DbNames");
    auto database = db::MakeComponent<TStrataDatabase>(session.get());
    EXPECT_EQ(database->Session(), session.get());
    EXPECT_EQ(database->SessionName(), "DbNames");
    EXPECT_EQ(ErrorOf([&] { database->Open(); }), "Database name is missing.");
    for (const char* bad : {"C:\\data", "/tmp/x", "data\\x", "9lives"}) {
        EXPECT_EQ(ErrorOf([&] { database->SetDatabaseName(bad); }),
                  std::string("Database name ") + bad + " is not valid.")
            << bad;
    }
    database->SetDatabaseName("_Mine");
    auto second = db::MakeComponent<TStrataDatabase>(session.get());
    EXPECT_EQ(ErrorOf([&] { second->SetDatabaseName("_MINE"); }),
              "Database name _MINE already exists.");

    TempDir dir;
    database->SetDirectory(dir.Path().string());
    database->Open();
    EXPECT_EQ(ErrorOf([&] { database->SetDirectory("/elsewhere"); }),
              "Cannot perform this operation on an open database.");
    EXPECT_EQ(ErrorOf([&] { database->SetDatabaseName("Other"); }),
              "Cannot perform this operation on an open database.");
    database->Close();
    database->SetDirectory("/elsewhere");
    EXPECT_EQ(database->Directory(), "/elsewhere");
    session->SetActive(false);
}

TEST(StrataDatabase, MemoryNameOpensTheSessionsInMemoryDirectoryWhateverItsCase) {
    auto session = NamedSession("Mem");
    auto lower = db::MakeComponent<TStrataDatabase>(session.get());
    lower->SetDatabaseName("Memory");
    lower->Open();
    ASSERT_NE(lower->Handle(), nullptr);
    EXPECT_TRUE(lower->Handle()->InMemory());
    TStrataDatabase& upper = session->OpenDatabase("MEMORY", nullptr);
    // Found by name without regard to case: the same database, one more use.
    EXPECT_EQ(&upper, lower.get());
    EXPECT_EQ(lower->UseCount(), 1);
    session->CloseDatabase(upper);
    lower->Close();
    EXPECT_EQ(session->EngineSession()->DirectoryCount(), 0u);
    session->SetActive(false);
}

TEST(StrataDatabase, PathNamedDatasetDatabaseIsTemporaryAndFollowsKeepConnections) {
    TempDir dir;
    const std::string path = dir.Path().string();
    for (const bool keep : {true, false}) {
        auto session = NamedSession("Temp");
        session->SetKeepConnections(keep);
        TStrataDatabase& database = session->OpenDatabase(path, nullptr);
        EXPECT_TRUE(database.Temporary());
        EXPECT_TRUE(database.Connected());
        EXPECT_EQ(database.Directory(), path);
        EXPECT_FALSE(database.Handle()->InMemory());
        session->CloseDatabase(database);
        if (keep) {
            EXPECT_EQ(session->FindDatabase(path), &database);
            EXPECT_TRUE(database.Connected());
        } else {
            EXPECT_EQ(session->FindDatabase(path), nullptr);
            EXPECT_EQ(session->EngineSession()->DirectoryCount(), 0u);
        }
        session->SetActive(false);
        EXPECT_EQ(session->FindDatabase(path), nullptr);
    }
}

TEST(StrataDatabase, AnApplicationDatabaseReplacesAnUnusedTemporaryOfTheSameName) {
    auto session = NamedSession("Replace");
    TStrataDatabase& temporary = session->OpenDatabase("Shared", nullptr);
    EXPECT_EQ(ErrorOf([&] {
                  auto clash = db::MakeComponent<TStrataDatabase>(session.get());
                  clash->SetDatabaseName("Shared");
              }),
              "Database name Shared already exists.");
    session->CloseDatabase(temporary);
    auto database = db::MakeComponent<TStrataDatabase>(session.get());
    database->SetDatabaseName("Shared");
    EXPECT_EQ(session->FindDatabase("Shared"), database.get());
    session->SetActive(false);
}

TEST(StrataDatabase, SharedHandleIsReferencedAndEachDatabaseClosesItOnce) {
    TempDir dir;
    auto session = NamedSession("Sharing");
    auto first = db::MakeComponent<TStrataDatabase>(session.get());
    auto second = db::MakeComponent<TStrataDatabase>(session.get());
    for (TStrataDatabase* database : {first.get(), second.get()}) {
        database->SetHandleShared(true);
        database->SetDatabaseName("Common");
        database->SetDirectory(dir.Path().string());
    }
    first->Open();
    second->Open();
    ASSERT_EQ(first->Handle(), second->Handle());
    TDataDirectory* directory = first->Handle();
    EXPECT_EQ(directory->UseCount(), 2);
    EXPECT_EQ(session->EngineSession()->DirectoryCount(), 1u);

    // The lender goes first: the borrower's directory stays alive with one use.
    first->Close();
    EXPECT_EQ(session->EngineSession()->DirectoryCount(), 1u);
    EXPECT_EQ(second->Handle()->UseCount(), 1);
    second->Close();
    EXPECT_EQ(session->EngineSession()->DirectoryCount(), 0u);

    // And the other way round.
    first->Open();
    second->Open();
    second->Close();
    EXPECT_EQ(first->Handle()->UseCount(), 1);
    first->Close();
    EXPECT_EQ(session->EngineSession()->DirectoryCount(), 0u);
    session->SetActive(false);
}

TEST(StrataDatabase, StoppingTheSessionFreesTemporariesAndDisconnectsTheOthers) {
    TempDir dir;
    auto session = NamedSession("Stopping");
    auto database = db::MakeComponent<TStrataDatabase>(session.get());
    database->SetDatabaseName("Kept");
    database->SetDirectory(dir.Path().string());
    database->Open();
    session->OpenDatabase(dir.Path().string(), nullptr);
    EXPECT_EQ(session->Databases().size(), 2u);
    session->SetActive(false);
    EXPECT_FALSE(database->Connected());
    ASSERT_EQ(session->Databases().size(), 1u);
    EXPECT_EQ(session->Databases()[0], database.get());
}

TEST(StrataSession, PasswordRequestAsksOnPassword) {
    auto session = NamedSession("Passwords");
    EXPECT_FALSE(session->GetPassword());
    session->OnPassword = [](TStrataSession* sender, bool& continue_) {
        sender->AddPassword("secret");
        continue_ = true;
    };
    EXPECT_TRUE(session->GetPassword());
    EXPECT_TRUE(session->EngineSession()->HasPassword("secret"));
    session->RemoveAllPasswords();
    EXPECT_FALSE(session->EngineSession()->HasPassword("secret"));
    session->SetActive(false);
}

TEST(StrataSession, IsPathNameKnowsColonBackslashAndSlash) {
    EXPECT_TRUE(IsPathName(""));
    EXPECT_TRUE(IsPathName("c:data"));
    EXPECT_TRUE(IsPathName("a\\b"));
    EXPECT_TRUE(IsPathName("/srv/list"));
    EXPECT_FALSE(IsPathName("CVDB"));
}

}  // namespace
}  // namespace strata
