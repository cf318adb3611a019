#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include "platform/ui/canvas.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/clock.h"
#include "platform/ui/cursor.h"
#include "platform/ui/image_list.h"
#include "platform/ui/text_metrics.h"

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
