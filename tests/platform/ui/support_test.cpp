#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include "platform/ui/canvas.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/clock.h"
#include "platform/ui/cursor.h"
#include "platform/ui/image_list.h"
#include "platform/ui/text_metrics.h"
#include "platform/ui/timer.h"

namespace ui {
namespace {

TEST(Clipboard, LinesAreJoinedWithCrLfAndRoundTrip) {
    const std::string lines[] = {"Name\tMail", "Ann\tann@example.com"};
    std::string text = JoinLinesCrLf(lines);
    EXPECT_EQ(text, "Name\tMail\r\nAnn\tann@example.com\r\n");
    SetClipboardText(text);
    EXPECT_EQ(ClipboardText(), text);
}

TEST(ImageList, ChangeLinksHearChangesUntilTheyGo) {
    TCustomImageList list(8, 8);
    int heard = 0;
    {
        TChangeLink link;
        link.OnChange = [&] { ++heard; };
        list.RegisterChanges(link);
        EXPECT_EQ(link.Sender(), &list);
        QImage red(4, 4, QImage::Format_RGB32);
        red.fill(Qt::red);
        EXPECT_EQ(list.Add(red), 0);
        EXPECT_EQ(list.Image(0).size(), QSize(8, 8));
        list.Delete(5);  // out of range: nothing, no notice
        EXPECT_EQ(heard, 1);
    }
    list.Clear();  // the link is gone and must not be called
    EXPECT_EQ(heard, 1);
    auto link = std::make_unique<TChangeLink>();
    {
        TCustomImageList short_lived;
        short_lived.RegisterChanges(*link);
    }
    EXPECT_EQ(link->Sender(), nullptr);
}

TEST(ImageList, MaskedImagesDrawOnlyTheirShape) {
    TCustomImageList list(4, 4);
    QImage source(4, 4, QImage::Format_RGB32);
    source.fill(Qt::white);
    source.setPixel(1, 1, qRgb(0, 0, 0));
    list.AddMasked(source, clWhite);
    QImage target(10, 10, QImage::Format_RGB32);
    target.fill(Qt::red);
    {
        TCanvas canvas(target);
        list.Draw(canvas, 2, 2, 0);
        list.Draw(canvas, 0, 0, 7);  // out of range: nothing
    }
    EXPECT_EQ(target.pixel(3, 3) & 0xFFFFFF, 0u);
    EXPECT_EQ(target.pixel(2, 2) & 0xFFFFFF, 0xFF0000u);
}

TEST(TextMetrics, FixedMetricsCountCharactersNotBytes) {
    FixedTextMetrics metrics(7, 13);
    TFont font;
    EXPECT_EQ(metrics.TextWidth(font, "abc"), 21);
    EXPECT_EQ(metrics.TextWidth(font, "\xC3\xA9t\xC3\xA9"), 21);  // "été"
    EXPECT_EQ(metrics.TextHeight(font), 13);
    EXPECT_GT(DefaultTextMetrics().TextHeight(font), 0);
}

TEST(Clock, ManualClockDrivesTime) {
    auto clock = std::make_unique<ManualUiClock>();
    ManualUiClock& manual = *clock;
    auto previous = SetClock(std::move(clock));
    std::uint32_t t0 = Clock().TickCount();
    manual.Advance(250);
    EXPECT_EQ(Clock().TickCount() - t0, 250u);
    SetClock(std::move(previous));
}

// Installs a manual clock for one test and puts the previous one back.
struct ManualClockScope {
    ManualUiClock* clock;
    std::unique_ptr<UiClock> previous;
    ManualClockScope() {
        auto manual = std::make_unique<ManualUiClock>();
        clock = manual.get();
        previous = SetClock(std::move(manual));
    }
    ~ManualClockScope() { SetClock(std::move(previous)); }
};

TEST(Clock, ManualClockFiresTimersInDueOrder) {
    ManualClockScope scope;
    std::vector<std::string> fired;
    TTimer fast;
    TTimer slow;
    fast.OnTimer = [&] { fired.push_back("fast"); };
    slow.OnTimer = [&] { fired.push_back("slow"); };
    fast.Start(100);
    slow.Start(250);
    scope.clock->Advance(99);
    EXPECT_TRUE(fired.empty());
    scope.clock->Advance(401);  // now 500 ms after the start
    const std::vector<std::string> expected = {"fast", "fast", "slow", "fast",
                                               "fast", "slow", "fast"};
    EXPECT_EQ(fired, expected);
    // Restarting counts from now.
    fired.clear();
    scope.clock->Advance(50);
    fast.Start(100);
    scope.clock->Advance(99);
    EXPECT_TRUE(fired.empty());
    scope.clock->Advance(1);
    EXPECT_EQ(fired, std::vector<std::string>{"fast"});
}

TEST(Clock, TimersStoppedDestroyedOrOrphanedNeverFire) {
    int count = 0;
    {
        ManualClockScope scope;
        TTimer self_stopping;
        self_stopping.OnTimer = [&] {
            ++count;
            self_stopping.Stop();
        };
        self_stopping.Start(10);
        auto doomed = std::make_unique<TTimer>();
        doomed->OnTimer = [&] { count += 100; };
        doomed->Start(10);
        EXPECT_EQ(scope.clock->RunningTimers(), 2);
        doomed.reset();
        EXPECT_EQ(scope.clock->RunningTimers(), 1);
        scope.clock->Advance(100);
        EXPECT_EQ(count, 1);
        EXPECT_FALSE(self_stopping.Running());
        EXPECT_EQ(scope.clock->RunningTimers(), 0);
        // A timer running when its clock goes is simply left undriven.
        self_stopping.Start(10);
    }
    EXPECT_EQ(count, 1);
}

TEST(Hourglass, NestsAndRestores) {
    {
        THourglass outer;
        {
            THourglass inner;
            ASSERT_NE(QApplication::overrideCursor(), nullptr);
        }
        ASSERT_NE(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
}  // namespace ui
