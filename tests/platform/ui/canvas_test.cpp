#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "platform/ui/canvas.h"

namespace ui {
namespace {

QImage White(int w = 40, int h = 30) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

QRgb Px(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kBlack = 0x000000;
constexpr QRgb kRed = 0xFF0000;

TEST(Canvas, FillAndFrameLeaveRightAndBottomOut) {
    QImage image = White();
    {
        TCanvas canvas(image);
        canvas.Brush.color = clRed;
        canvas.FillRect({2, 3, 10, 8});
        canvas.Brush.color = clBlack;
        canvas.FrameRect({20, 5, 30, 15});
    }
    EXPECT_EQ(Px(image, 2, 3), kRed);
    EXPECT_EQ(Px(image, 9, 7), kRed);
    EXPECT_EQ(Px(image, 10, 7), kWhite);
    EXPECT_EQ(Px(image, 9, 8), kWhite);
    EXPECT_EQ(Px(image, 20, 5), kBlack);
    EXPECT_EQ(Px(image, 29, 14), kBlack);
    EXPECT_EQ(Px(image, 30, 14), kWhite);
    EXPECT_EQ(Px(image, 25, 10), kWhite);
}

TEST(Canvas, HalftoneDotsFollowTheOriginParityOverTheBackground) {
    for (Point origin : {Point{0, 0}, Point{1, 0}, Point{0, 3}, Point{5, 6}}) {
        QImage image = White();
        {
            TCanvas canvas(image);
            canvas.Brush = {clRed, bsHalftone, origin, clBlack};
            canvas.FillRect({3, 4, 11, 9});
        }
        for (int y = 4; y < 9; ++y)
            for (int x = 3; x < 11; ++x) {
                bool dot = (x + y) % 2 == (origin.x + origin.y) % 2;
                EXPECT_EQ(Px(image, x, y), dot ? kRed : kBlack)
                    << x << "," << y << " origin " << origin.x << "," << origin.y;
            }
        EXPECT_EQ(Px(image, 11, 4), kWhite);
        EXPECT_EQ(Px(image, 3, 9), kWhite);
    }
}

TEST(Canvas, LinesLeaveOutTheirEndPoint) {
    QImage image = White();
    {
        TCanvas canvas(image);
        canvas.Pen.color = clBlack;
        canvas.MoveTo(5, 2);
        canvas.LineTo(15, 2);
        canvas.MoveTo(3, 10);
        canvas.LineTo(3, 4);
        const std::pair<Point, Point> segments[] = {{{20, 20}, {25, 20}}, {{30, 20}, {30, 25}}};
        canvas.PolyPolyline(segments);
    }
    EXPECT_EQ(Px(image, 5, 2), kBlack);
    EXPECT_EQ(Px(image, 14, 2), kBlack);
    EXPECT_EQ(Px(image, 15, 2), kWhite);
    EXPECT_EQ(Px(image, 3, 10), kBlack);
    EXPECT_EQ(Px(image, 3, 5), kBlack);
    EXPECT_EQ(Px(image, 3, 4), kWhite);
    EXPECT_EQ(Px(image, 24, 20), kBlack);
    EXPECT_EQ(Px(image, 25, 20), kWhite);
    EXPECT_EQ(Px(image, 30, 24), kBlack);
    EXPECT_EQ(Px(image, 30, 25), kWhite);
}

TEST(Canvas, FocusRectAndInvertUndoThemselves) {
    QImage image = White();
    QImage before = image;
    {
        TCanvas canvas(image);
        canvas.DrawFocusRect({4, 4, 20, 12});
    }
    EXPECT_EQ(Px(image, 4, 4), kBlack);
    EXPECT_EQ(Px(image, 5, 4), kWhite);  // dotted
    EXPECT_EQ(Px(image, 6, 4), kBlack);
    EXPECT_EQ(Px(image, 10, 8), kWhite);  // inside untouched
    {
        TCanvas canvas(image);
        canvas.DrawFocusRect({4, 4, 20, 12});
        canvas.InvertRect({0, 0, 10, 10});
    }
    EXPECT_EQ(Px(image, 9, 9), kBlack);
    EXPECT_EQ(Px(image, 10, 10), kWhite);
    {
        TCanvas canvas(image);
        canvas.InvertRect({0, 0, 10, 10});
    }
    EXPECT_EQ(image, before);
}

TEST(Canvas, DrawEdgeUsesTheButtonColours) {
    QImage image = White();
    Rect inner;
    {
        TCanvas canvas(image);
        inner = canvas.DrawEdge({0, 0, 20, 10}, BDR_RAISEDINNER, BF_RECT | BF_ADJUST);
    }
    EXPECT_EQ(inner, (Rect{1, 1, 19, 9}));
    EXPECT_EQ(Px(image, 5, 0), clBtnHighlight.ToQColor().rgb() & 0xFFFFFF);
    EXPECT_EQ(Px(image, 0, 5), clBtnHighlight.ToQColor().rgb() & 0xFFFFFF);
    EXPECT_EQ(Px(image, 5, 9), clBtnShadow.ToQColor().rgb() & 0xFFFFFF);
    EXPECT_EQ(Px(image, 19, 5), clBtnShadow.ToQColor().rgb() & 0xFFFFFF);
}

TEST(Canvas, ClippingIntersectsAndExcludes) {
    QImage image = White();
    {
        TCanvas canvas(image);
        {
            TCanvas::StateGuard guard(canvas);
            canvas.IntersectClipRect({0, 0, 20, 20});
            canvas.ExcludeClipRect({5, 5, 10, 10});
            EXPECT_FALSE(canvas.RectVisible({6, 6, 9, 9}));
            EXPECT_TRUE(canvas.RectVisible({0, 0, 6, 6}));
            EXPECT_FALSE(canvas.RectVisible({25, 0, 30, 5}));
            canvas.Brush.color = clRed;
            canvas.FillRect({0, 0, 40, 30});
        }
        EXPECT_TRUE(canvas.RectVisible({25, 0, 30, 5}));  // the guard restored the clip
    }
    EXPECT_EQ(Px(image, 0, 0), kRed);
    EXPECT_EQ(Px(image, 7, 7), kWhite);
    EXPECT_EQ(Px(image, 19, 19), kRed);
    EXPECT_EQ(Px(image, 20, 19), kWhite);
}

TEST(Canvas, DrawTextMeasuresAndAligns) {
    QImage image = White(200, 40);
    TCanvas canvas(image);
    canvas.Font.SetColor(clBlack);
    Rect calc{0, 0, 0, 0};
    int h = canvas.DrawText("Wg", calc, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(h, canvas.TextHeight("Wg"));
    EXPECT_EQ(calc.Width(), canvas.TextWidth("Wg"));
    Rect right{0, 0, 200, 40};
    canvas.DrawText("MMM", right, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
    canvas.Painter().end();
    // Ink in the right part only.
    bool left_ink = false, right_ink = false;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 200; ++x)
            if (Px(image, x, y) != kWhite)
                (x < 150 ? left_ink : right_ink) = true;
    EXPECT_FALSE(left_ink);
    EXPECT_TRUE(right_ink);
}

TEST(Canvas, PrefixAmpersandsAreNotDrawnUnlessAsked) {
    QImage a = White(100, 20), b = White(100, 20);
    {
        TCanvas canvas(a);
        Rect r{0, 0, 100, 20};
        canvas.DrawText("&File", r, DT_SINGLELINE);
    }
    {
        TCanvas canvas(b);
        Rect r{0, 0, 100, 20};
        canvas.DrawText("File", r, DT_SINGLELINE | DT_NOPREFIX);
    }
    EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace ui
