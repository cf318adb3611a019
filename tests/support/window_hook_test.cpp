#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/str_utils.h"
#include "support/window_hook.h"

namespace {

using support::TMessage;
using support::TWindowHook;

// A control whose window can be destroyed and made again; a new window runs
// the control's own procedure, as a re-created window does.
class FakeControl : public support::THookTarget {
  public:
    ~FakeControl() override { Gone(); }
    bool HandleAllocated() const override { return has_window; }
    void HandleNeeded() override {
        if (!has_window) {
            has_window = true;
            proc.reset();
        }
    }
    support::WindowProc GetWindowProc() const override { return proc; }
    void SetWindowProc(support::WindowProc p) override { proc = std::move(p); }
    void DefaultHandler(TMessage& m) override {
        log.push_back("control " + std::to_string(m.Msg));
        m.Result = 7;
    }
    void DestroyWindow() {
        TMessage m;
        m.Msg = support::WM_DESTROY;
        Perform(m);
        has_window = false;
        proc.reset();
    }

    bool has_window = true;
    support::WindowProc proc;
    std::vector<std::string> log;
};

struct HookedPair {
    FakeControl control;
    TWindowHook first{nullptr};
    TWindowHook second{nullptr};
    bool second_handles = false;

    HookedPair() {
        for (auto [hook, name] : {std::pair{&first, "first"}, std::pair{&second, "second"}}) {
            hook->BeforeMessage = [this, n = std::string(name)](TWindowHook*, TMessage&,
                                                                bool& handled) {
                control.log.push_back(n + " before");
                if (n == "second" && second_handles)
                    handled = true;
            };
            hook->AfterMessage = [this, n = std::string(name)](TWindowHook*, TMessage&, bool&) {
                control.log.push_back(n + " after");
            };
            hook->SetWinControl(&control);
        }
    }
};

TEST(WindowHook, LaterHookRunsFirstAndHandledStopsTheChain) {
    struct Case {
        bool second_handles;
        std::uint32_t msg;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases{
        {false,
         100,
         {"second before", "first before", "control 100", "second after", "first after"}},
        // Handled: the earlier hook and the control miss it, "after" starts at the last
        // hook and stops there at once.
        {true, 100, {"second before", "second after"}},
        // A handled WM_DESTROY still reaches the control.
        {true, support::WM_DESTROY, {"second before", "control 2", "second after"}},
        // WM_QUIT skips the "before" chain.
        {true, support::WM_QUIT, {"control 18", "second after", "first after"}},
    };
    for (const Case& c : cases) {
        HookedPair pair;
        pair.second_handles = c.second_handles;
        TMessage m;
        m.Msg = c.msg;
        pair.control.Perform(m);
        EXPECT_EQ(pair.control.log, c.expected) << c.msg;
        support::THookList::Instance().ProcessPosted();
    }
}

TEST(WindowHook, RecreatedWindowIsHookedAgainOncePostedMessageRuns) {
    HookedPair pair;
    const support::WindowProc replacement = pair.control.proc;
    ASSERT_TRUE(replacement);
    pair.control.DestroyWindow();
    pair.control.HandleNeeded();  // the new window runs its own procedure
    EXPECT_FALSE(pair.control.proc);
    support::THookList::Instance().ProcessPosted();
    EXPECT_EQ(pair.control.proc, replacement);
    pair.control.log.clear();
    TMessage m;
    m.Msg = 5;
    pair.control.Perform(m);
    EXPECT_EQ(pair.control.log.front(), "second before");
}

TEST(WindowHook, LastHookGoneGivesBackThePreviousProcedureUnlessReplacedSince) {
    FakeControl control;
    int earlier_calls = 0;
    auto earlier = std::make_shared<const support::TWndMethod>([&](TMessage&) { ++earlier_calls; });
    control.proc = earlier;
    {
        TWindowHook hook(nullptr);
        hook.SetWinControl(&control);
        EXPECT_NE(control.proc, earlier);
        TMessage m;
        control.Perform(m);
        EXPECT_EQ(earlier_calls, 1);  // the hook passes messages on to the earlier procedure
    }
    EXPECT_EQ(control.proc, earlier);

    auto later = std::make_shared<const support::TWndMethod>([](TMessage&) {});
    {
        TWindowHook hook(nullptr);
        hook.SetWinControl(&control);
        control.proc = later;  // someone else subclasses after us
    }
    EXPECT_EQ(control.proc, later);
    support::THookList::Instance().ProcessPosted();
}

TEST(WindowHook, ControlHookIsReleasedByPostedMessageAndOnControlDeath) {
    auto& list = support::THookList::Instance();
    list.ProcessPosted();
    const std::size_t before = list.Count();
    FakeControl a;
    FakeControl b;
    TWindowHook hook(nullptr);
    hook.SetWinControl(&a);
    EXPECT_EQ(list.Count(), before + 1);
    hook.SetWinControl(&b);
    EXPECT_EQ(list.Count(), before + 2);  // a's control hook waits for the posted release
    list.ProcessPosted();
    EXPECT_EQ(list.Count(), before + 1);
    {
        FakeControl doomed;
        TWindowHook other(nullptr);
        other.SetWinControl(&doomed);
        EXPECT_EQ(list.Count(), before + 2);
    }
    EXPECT_EQ(list.Count(), before + 1);

    auto* c = new FakeControl;
    TWindowHook watcher(nullptr);
    watcher.SetWinControl(c);
    delete c;
    EXPECT_EQ(watcher.WinControl(), nullptr);
}

TEST(WindowHook, InactiveHookSeesNothing) {
    FakeControl control;
    TWindowHook hook(nullptr);
    int seen = 0;
    hook.BeforeMessage = [&](TWindowHook*, TMessage&, bool&) { ++seen; };
    hook.SetWinControl(&control);
    hook.SetActive(false);
    EXPECT_FALSE(control.proc);
    TMessage m;
    control.Perform(m);
    hook.SetActive(true);
    control.Perform(m);
    EXPECT_EQ(seen, 1);
}

TEST(WordRoutines, PositionAndExtract) {
    struct Case {
        std::size_t n;
        std::string_view text;
        std::size_t position;
        std::string word;
    };
    const Case cases[] = {
        {3, "10,20, 30,40", 8, "30"},
        {5, "10,20, 30,40", 0, ""},
        {1, "  ,a", 4, "a"},
        {0, "a b", 0, ""},
        {1, "", 0, ""},
        {2, "a,,b", 4, "b"},
        {4, "10,20, 30,40", 11, "40"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(support::WordPosition(c.n, c.text, " ,"), c.position) << c.text << " " << c.n;
        EXPECT_EQ(support::ExtractWord(c.n, c.text, " ,"), c.word) << c.text << " " << c.n;
    }
}

}  // namespace
