#include "support/smapi.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/email.h"
#include "support/mapi_control.h"
#include "tests/support/mapi_sandbox.h"

namespace support {
namespace {

template <class Call>
void ExpectUnavailable(Call call, const char* what) {
    try {
        call();
        ADD_FAILURE() << what << " did not raise";
    } catch (const EMapiUnavailable& e) {
        EXPECT_EQ(std::string(e.what()), kMapiUnavailableText) << what;
    }
}

void ExpectAbsent() {
    EXPECT_FALSE(SimpleMapiAvailable());
    TEmail email(nullptr);
    EXPECT_FALSE(email.MapiAvail());
    ExpectUnavailable([&] { email.Logon(); }, "Logon");
    ExpectUnavailable([&] { email.Logoff(); }, "Logoff");
    ExpectUnavailable([&] { email.SendMail(); }, "SendMail");
    ExpectUnavailable([&] { email.ResolveName("ann@example.org"); }, "ResolveName");
    ExpectUnavailable([&] { email.Address(); }, "Address");

    // The one-call sender reports the missing client as a user abort.
    TMapiControl control(nullptr);
    int aborts = 0, others = 0;
    control.OnUserAbort = [&](db::TObject*) { ++aborts; };
    control.OnSuccess = [&](db::TObject*) { ++others; };
    control.OnMapiError = [&](db::TObject*, int) { ++others; };
    control.Recipients().Add("ann@example.org");
    control.SetShowDialog(false);
    EXPECT_EQ(control.Send(), MAPI_USER_ABORT);
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(others, 0);
}

TEST(SimpleMapiLoader, AvailabilityFollowsTheRegistrationAndTheModule) {
    struct Case {
        const char* what;
        std::optional<std::string> registered;
        bool module_present;
        bool available;
    };
    const Case cases[] = {
        {"not registered", std::nullopt, true, false},
        {"registered as something else", "0", true, false},
        {"registered but no module", "1", false, false},
        {"registered with its module", "1", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::MapiSandbox sandbox;
        if (c.registered)
            sandbox.RegisterMapi(*c.registered);
        const std::string dir = c.module_present ? CORVANE_MAPI32_DIR : sandbox.path().string();
        setenv(std::string(kModuleDirVariable).c_str(), dir.c_str(), 1);
        if (!c.available) {
            ExpectAbsent();
            continue;
        }
        EXPECT_TRUE(SimpleMapiAvailable());
        ASSERT_NE(LoadedSimpleMapi(), nullptr);
        TEmail email(nullptr);
        EXPECT_TRUE(email.MapiAvail());
        EXPECT_EQ(email.Logon(), 0);
        EXPECT_TRUE(email.SessionOpen());
        EXPECT_EQ(email.Logoff(), 0);
    }
}

TEST(SimpleMapiLoader, AModuleWithoutAllEntryPointsIsAnErrorAndNotAvailable) {
    testing::MapiSandbox sandbox;
    sandbox.RegisterMapi("1");
    const auto dir = sandbox.path() / "modules";
    std::filesystem::create_directories(dir);
    // Another of our modules under the Simple-MAPI name: it loads, but binds nothing.
    std::filesystem::copy_file(CORVANE_SMTPSERVER_MODULE, dir / "libmapi32.so");
    setenv(std::string(kModuleDirVariable).c_str(), dir.c_str(), 1);
    try {
        LoadSimpleMapi();
        ADD_FAILURE() << "no EMapiDllError";
    } catch (const EMapiDllError& e) {
        EXPECT_EQ(std::string(e.what()), kMapiDllErrorText);
    }
    EXPECT_EQ(LoadedSimpleMapi(), nullptr);
    ExpectAbsent();
}

TEST(SimpleMapiLoader, TheModuleIsLookedForBesideTheProgramThenInTheNamedFolder) {
    testing::MapiSandbox sandbox;
    const auto plain = MapiModuleCandidates();
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(plain.back(), "libmapi32.so") << "the system's search comes last";
    EXPECT_EQ(std::filesystem::path(plain.front()).parent_path(),
              std::filesystem::read_symlink("/proc/self/exe").parent_path());

    setenv(std::string(kModuleDirVariable).c_str(), "/opt/modules", 1);
    const auto named = MapiModuleCandidates();
    ASSERT_EQ(named.size(), plain.size() + 1);
    EXPECT_EQ(named[0], plain[0]);
    EXPECT_EQ(named[1], "/opt/modules/libmapi32.so");

    setenv(std::string(kModuleDirVariable).c_str(), "relative/dir", 1);
    EXPECT_EQ(MapiModuleCandidates(), plain) << "only an absolute folder counts";
}

}  // namespace
}  // namespace support
