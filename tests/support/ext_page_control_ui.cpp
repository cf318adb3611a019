#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QHelpEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcutEvent>
#include <QTabBar>
#include <QToolTip>
#include <QWheelEvent>

#include <memory>
#include <string>
#include <vector>

#include "support/ext_page_control.h"

namespace {

using support::TExtPageControl;
using support::TExtTabPosition;
using support::TExtTabStyle;

std::vector<QWidget*> AddPages(TExtPageControl& control, int count) {
    std::vector<QWidget*> pages;
    const char* names[] = {"&General", "&Mail", "&Lists", "&Advanced", "&Options", "E&xtra"};
    for (int i = 0; i < count; ++i) {
        auto* page = new QWidget;
        auto* label = new QLabel(QString("Page %1").arg(i + 1), page);
        label->move(10, 10);
        control.addTab(page, names[i % 6]);
        pages.push_back(page);
    }
    return pages;
}

// A strip of coloured squares with a magenta border that stays transparent.
QImage GlyphStrip(int count, int size) {
    QImage strip(count * size, size, QImage::Format_RGB32);
    strip.fill(QColor(255, 0, 255));
    const QColor colours[] = {Qt::red, Qt::darkGreen, Qt::blue, Qt::darkYellow};
    QPainter p(&strip);
    for (int i = 0; i < count; ++i)
        p.fillRect(i * size + 2, 2, size - 4, size - 4, colours[i % 4]);
    return strip;
}

QColor ColourAt(const QImage& image, QPoint p) {
    return image.pixelColor(p);
}

TEST(ExtPageControl, TabPositionSizesStylesAndBits) {
    struct Case {
        TExtTabPosition side;
        std::uint32_t bits;
    };
    for (const Case c :
         {Case{TExtTabPosition::tabPosLeft, 0x2080}, Case{TExtTabPosition::tabPosRight, 0x2082},
          Case{TExtTabPosition::tabPosTop, 0x2000}, Case{TExtTabPosition::tabPosBottom, 0x2002}}) {
        TExtPageControl control;
        AddPages(control, 2);
        control.SetTabPosition(c.side);
        EXPECT_EQ(control.Style(), c.bits);
        const bool vertical =
            c.side == TExtTabPosition::tabPosLeft || c.side == TExtTabPosition::tabPosRight;
        EXPECT_EQ(control.TabWidth(), vertical ? 70 : 0);
        EXPECT_EQ(control.TabHeight(), vertical ? 35 : 0);
        if (vertical) {
            control.resize(400, 300);
            control.show();
            QApplication::processEvents();
            EXPECT_EQ(control.tabBar()->tabRect(0).size(), QSize(70, 35));
        }
    }
    TExtPageControl control;
    control.SetTabWidth(100);
    control.SetTabPosition(TExtTabPosition::tabPosLeft);
    EXPECT_EQ(control.TabWidth(), 100);
    EXPECT_EQ(control.TabHeight(), 35);
    control.SetTabHeight(0);
    control.SetTabPosition(TExtTabPosition::tabPosRight);  // within one pair: unchanged
    EXPECT_EQ(control.TabHeight(), 0);

    control.SetTabPosition(TExtTabPosition::tabPosTop);
    AddPages(control, 2);
    control.show();
    control.SetTabWidth(150);  // a shown control lays its tabs out anew
    control.SetTabHeight(28);
    QApplication::processEvents();
    EXPECT_EQ(control.tabBar()->tabRect(1).size(), QSize(150, 28));
    control.SetTabStyle(TExtTabStyle::tabStButton);
    EXPECT_EQ(control.Style(), 0x2100u);
    control.SetTabPosition(TExtTabPosition::tabPosBottom);
    EXPECT_EQ(control.TabStyle(), TExtTabStyle::tabStDefault);
}

TEST(ExtPageControl, InitialPageActiveAndPageLookup) {
    TExtPageControl control;
    control.setObjectName("PageControl1");
    auto pages = AddPages(control, 5);
    control.setCurrentIndex(1);
    control.SetInitialPage(4);
    control.Loaded();
    EXPECT_EQ(control.ActivePage(), pages[4]);

    int changes = 0;
    control.OnChange = [&](TExtPageControl*) { ++changes; };
    control.SetTabVisible(pages[2], false);
    control.SetActivePage(pages[2]);  // hidden tab: no change
    EXPECT_EQ(control.ActivePage(), pages[4]);
    control.SetActivePage(pages[4]);  // the current page: no change
    EXPECT_EQ(changes, 0);
    bool allow = false;
    control.OnChanging = [&](TExtPageControl*, bool& a) { a = allow; };
    control.SetActivePage(pages[0]);
    EXPECT_EQ(control.ActivePage(), pages[4]);
    allow = true;
    control.SetActivePage(pages[0]);
    EXPECT_EQ(control.ActivePage(), pages[0]);
    EXPECT_EQ(changes, 1);

    EXPECT_EQ(control.GetPageIndexByTabIndex(0), 0);
    EXPECT_EQ(control.GetPageIndexByTabIndex(2), 3);  // page 2's tab is hidden
    EXPECT_EQ(control.GetPageIndexByTabIndex(3), 4);
    try {
        control.GetPageIndexByTabIndex(4);
        FAIL() << "no exception";
    } catch (const support::EExtPageInvalidCall& e) {
        EXPECT_STREQ(e.what(),
                     "Function GetPageIndexByTabIndex of component PageControl1 of class "
                     "TExtPageControl was called with an invalid parameter (CurrentTabIndex = 4).");
    }
}

TEST(ExtPageControl, GlyphStripAndScaling) {
    TExtPageControl control;
    control.TabGlyphs().SetGlyph(GlyphStrip(4, 16));
    EXPECT_EQ(control.TabGlyphs().Images().Count(), 0);  // no count yet
    control.TabGlyphs().SetNumGlyphs(4);
    const ui::TCustomImageList& images = control.TabGlyphs().Images();
    ASSERT_EQ(images.Count(), 4);
    EXPECT_EQ(images.Width(), 16);
    EXPECT_EQ(images.Height(), 16);
    EXPECT_EQ(images.Image(2).pixelColor(8, 8), QColor(Qt::blue));
    EXPECT_EQ(images.Image(2).pixelColor(0, 0).alpha(), 0);  // the transparent colour

    control.SetTabWidth(100);
    control.SetTabHeight(20);
    control.TabActiveFont().SetSize(8);
    control.ChangeScale(144, 96);
    EXPECT_EQ(control.TabWidth(), 150);
    EXPECT_EQ(control.TabHeight(), 30);
    EXPECT_EQ(control.TabActiveFont().Size(), 12);
}

// Tab sizes are 16-bit: a scale that takes one beyond keeps it at its largest
// instead of wrapping it round to a small size.
TEST(ExtPageControl, ScalingHoldsTabSizesWithinTheirSixteenBits) {
    TExtPageControl control;
    control.SetTabWidth(40000);
    control.SetTabHeight(30000);
    control.ChangeScale(3, 1);
    EXPECT_EQ(control.TabWidth(), 65535);
    EXPECT_EQ(control.TabHeight(), 65535);
    control.ChangeScale(1, 3);
    EXPECT_EQ(control.TabWidth(), 21845);
}

TEST(ExtPageControl, TabLayoutRules) {
    using support::ExtTabLayoutInput;
    using support::TExtGlyphPosition;
    const ui::Rect fg = ui::Bounds(0, 0, 100, 40);
    struct Case {
        const char* name;
        TExtTabPosition side;
        bool glyph;
        TExtGlyphPosition pos;
        bool caption;
        ui::Rect want_glyph;
        ui::Rect want_caption;
    };
    const Case cases[] = {
        // Caption alone: centred on top, 8 pixels in on the left side.
        {"alone top",
         TExtTabPosition::tabPosTop,
         false,
         TExtGlyphPosition::glPosLeft,
         true,
         {},
         ui::Bounds(30, 15, 40, 10)},
        {"alone left",
         TExtTabPosition::tabPosLeft,
         false,
         TExtGlyphPosition::glPosLeft,
         true,
         {},
         ui::Bounds(10, 15, 40, 10)},
        // Glyph left of a centred caption on top; 8 in on a vertical side.
        {"glyph left top", TExtTabPosition::tabPosTop, true, TExtGlyphPosition::glPosLeft, true,
         ui::Bounds(19, 12, 16, 16), ui::Bounds(40, 15, 40, 10)},
        {"glyph left side", TExtTabPosition::tabPosLeft, true, TExtGlyphPosition::glPosLeft, true,
         ui::Bounds(8, 12, 16, 16), ui::Bounds(31, 15, 40, 10)},
        // Glyph above the caption; alone it is centred.
        {"glyph top", TExtTabPosition::tabPosTop, true, TExtGlyphPosition::glPosTop, true,
         ui::Bounds(42, 4, 16, 16), ui::Bounds(30, 25, 40, 10)},
        {"glyph only",
         TExtTabPosition::tabPosTop,
         true,
         TExtGlyphPosition::glPosTop,
         false,
         ui::Bounds(42, 12, 16, 16),
         {}},
    };
    for (const Case& c : cases) {
        ExtTabLayoutInput in;
        in.fg = fg;
        in.side = c.side;
        in.glyph_shown = c.glyph;
        in.glyph_width = c.glyph ? 16 : 0;
        in.glyph_height = c.glyph ? 16 : 0;
        in.glyph_position = c.pos;
        in.spacing = 5;
        in.has_caption = c.caption;
        in.caption_width = 40;
        in.caption_height = 10;
        const auto layout = support::LayoutExtTab(in);
        EXPECT_EQ(layout.glyph, c.want_glyph) << c.name;
        EXPECT_EQ(layout.caption, c.want_caption) << c.name;
    }
    // A caption wider than its room is cut to it.
    ExtTabLayoutInput wide;
    wide.fg = fg;
    wide.caption_width = 500;
    wide.caption_height = 100;
    EXPECT_EQ(support::LayoutExtTab(wide).caption, ui::Bounds(2, 2, 96, 36));
}

TEST(ExtPageControl, ForegroundMovesBySideAndSelection) {
    const ui::Rect item = ui::Bounds(10, 10, 50, 20);
    using P = TExtTabPosition;
    struct Case {
        P side;
        bool selected;
        int dx, dy;
    };
    const Case cases[] = {{P::tabPosLeft, true, -2, 0}, {P::tabPosRight, true, 2, 0},
                          {P::tabPosTop, true, 0, -1},  {P::tabPosBottom, true, 0, 0},
                          {P::tabPosTop, false, 0, 1},  {P::tabPosBottom, false, 0, -2},
                          {P::tabPosLeft, false, 0, 0}, {P::tabPosRight, false, 0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(support::ExtTabForeground(item, c.side, TExtTabStyle::tabStDefault, c.selected),
                  item.Offset(c.dx, c.dy));
        EXPECT_EQ(support::ExtTabForeground(item, c.side, TExtTabStyle::tabStButton, c.selected),
                  item);
    }
}

TEST(ExtPageControl, DisabledPageTabTakesNoClick) {
    TExtPageControl control;
    auto pages = AddPages(control, 3);
    pages[2]->setEnabled(false);
    control.resize(400, 200);
    control.show();
    QApplication::processEvents();
    const QPoint inside = control.tabBar()->tabRect(2).center();
    QMouseEvent press(QEvent::MouseButtonPress, inside, control.tabBar()->mapToGlobal(inside),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(control.tabBar(), &press);
    EXPECT_EQ(control.currentIndex(), 0);
    const QPoint second = control.tabBar()->tabRect(1).center();
    QMouseEvent press2(QEvent::MouseButtonPress, second, control.tabBar()->mapToGlobal(second),
                       Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(control.tabBar(), &press2);
    EXPECT_EQ(control.currentIndex(), 1);
}

// The keyboard changes the page only as the change test allows, like a click;
// the mouse wheel does not turn pages (as a tab control does not).
TEST(ExtPageControl, KeysAskTheChangeTestAndTheWheelTurnsNoPage) {
    TExtPageControl control;
    AddPages(control, 3);
    control.resize(400, 200);
    control.show();
    QApplication::processEvents();
    bool allow = false;
    std::vector<int> asked;
    control.OnChanging = [&](TExtPageControl* sender, bool& allowed) {
        asked.push_back(sender->currentIndex());
        allowed = allow;
    };
    const auto key = [&](QWidget* target, int code, Qt::KeyboardModifiers modifiers) {
        QKeyEvent press(QEvent::KeyPress, code, modifiers);
        QApplication::sendEvent(target, &press);
    };
    QWheelEvent wheel(QPointF(control.tabBar()->tabRect(0).center()),
                      control.tabBar()->mapToGlobal(control.tabBar()->tabRect(0).center()),
                      QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
    QApplication::sendEvent(control.tabBar(), &wheel);
    EXPECT_EQ(control.currentIndex(), 0);
    EXPECT_TRUE(asked.empty());

    key(control.tabBar(), Qt::Key_Right, Qt::NoModifier);
    key(&control, Qt::Key_Tab, Qt::ControlModifier);
    key(&control, Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(control.currentIndex(), 0) << "a refused change went ahead";
    EXPECT_EQ(asked, (std::vector<int>{0, 0, 0}));

    allow = true;
    key(control.tabBar(), Qt::Key_Right, Qt::NoModifier);
    EXPECT_EQ(control.currentIndex(), 1);
    key(&control, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(control.currentIndex(), 2);
    key(&control, Qt::Key_Tab, Qt::ControlModifier);  // round to the first
    EXPECT_EQ(control.currentIndex(), 0);
    key(&control, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(control.currentIndex(), 2);
    key(control.tabBar(), Qt::Key_Left, Qt::NoModifier);
    EXPECT_EQ(control.currentIndex(), 1);
    asked.clear();
    key(control.tabBar(), Qt::Key_Left, Qt::NoModifier);
    key(control.tabBar(), Qt::Key_Left, Qt::NoModifier);  // no page before the first
    EXPECT_EQ(control.currentIndex(), 0);
    EXPECT_EQ(asked, std::vector<int>{1});

    // A caption's accelerator asks the change test too.
    asked.clear();
    allow = false;
    QShortcutEvent alt_l(QKeySequence(Qt::ALT | Qt::Key_L), 0);
    QApplication::sendEvent(control.tabBar(), &alt_l);
    EXPECT_EQ(control.currentIndex(), 0);
    allow = true;
    QApplication::sendEvent(control.tabBar(), &alt_l);
    EXPECT_EQ(control.currentIndex(), 2);
    EXPECT_EQ(asked, (std::vector<int>{0, 0}));
}

TEST(ExtPageControl, OwnerDrawingHotTrackingAndAccelerators) {
    TExtPageControl control;
    auto pages = AddPages(control, 3);
    pages[2]->setEnabled(false);
    control.Hottrack().SetEnabled(true);
    struct Drawn {
        int index;
        bool active;
        ui::Rect fg, bg;
        support::TOwnerDrawState state;
    };
    std::vector<Drawn> drawn;
    control.OnDrawTab = [&](TExtPageControl*, int index, bool active, const ui::Rect& fg,
                            const ui::Rect& bg, support::TOwnerDrawState state) {
        drawn.push_back({index, active, fg, bg, state});
    };
    int inside = 0;
    control.OnDrawBkgndInside = [&](TExtPageControl*, ui::TCanvas&, QWidget* page,
                                    const ui::Rect&) {
        EXPECT_EQ(page, control.ActivePage());
        ++inside;
    };
    control.resize(400, 200);
    control.show();
    QApplication::processEvents();
    drawn.clear();
    control.grab();
    ASSERT_EQ(drawn.size(), 3u);
    EXPECT_TRUE(drawn[0].active);
    EXPECT_EQ(drawn[0].state, support::odSelected);
    EXPECT_EQ(drawn[0].fg, drawn[0].bg.Offset(0, -1));
    EXPECT_EQ(drawn[1].fg, drawn[1].bg.Offset(0, 1));
    EXPECT_EQ(drawn[2].state, support::odDisabled);
    EXPECT_GT(inside, 0);

    // The tab under the mouse is hot until the mouse leaves.
    QTabBar* bar = control.tabBar();
    const QPoint over = bar->tabRect(1).center();
    QMouseEvent move(QEvent::MouseMove, over, bar->mapToGlobal(over), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    EXPECT_EQ(control.HotTab(), 1);
    drawn.clear();
    control.grab();
    ASSERT_EQ(drawn.size(), 3u);
    EXPECT_EQ(drawn[1].state, support::odHotLight);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(bar, &leave);
    EXPECT_EQ(control.HotTab(), -1);

    // A tab's hint is its page's entry of TabHints.
    control.TabHints().Add("General settings");
    control.TabHints().Add("Mail settings");
    const QPoint first = bar->tabRect(0).center();
    QHelpEvent help(QEvent::ToolTip, first, bar->mapToGlobal(first));
    QApplication::sendEvent(bar, &help);
    EXPECT_EQ(QToolTip::text().toStdString(), "General settings");
    const QPoint second = bar->tabRect(1).center();
    QHelpEvent next(QEvent::ToolTip, second, bar->mapToGlobal(second));
    QApplication::sendEvent(bar, &next);
    EXPECT_EQ(QToolTip::text().toStdString(), "Mail settings");
    QToolTip::hideText();

    // Alt and a caption's accelerator choose its page.
    control.activateWindow();
    QApplication::setActiveWindow(&control);
    QKeyEvent alt_m(QEvent::KeyPress, Qt::Key_M, Qt::AltModifier, "m");
    QApplication::sendEvent(&control, &alt_m);
    QApplication::processEvents();
    EXPECT_EQ(control.ActivePage(), pages[1]);
}

TEST(ExtPageControl, TabsOnEverySidePicture) {
    QWidget board;
    board.setAutoFillBackground(true);
    auto* grid = new QGridLayout(&board);
    const TExtTabPosition sides[] = {TExtTabPosition::tabPosTop, TExtTabPosition::tabPosBottom,
                                     TExtTabPosition::tabPosLeft, TExtTabPosition::tabPosRight};
    std::vector<TExtPageControl*> controls;
    for (int i = 0; i < 4; ++i) {
        auto* control = new TExtPageControl;
        auto pages = AddPages(*control, 4);
        control->SetTabPosition(sides[i]);
        control->TabActiveFont().SetStyle(static_cast<unsigned>(ui::fsBold));
        control->TabActiveFont().SetName("DejaVu Sans");
        control->TabInactiveFont().SetName("DejaVu Sans");
        if (i == 0 || i == 2) {
            control->TabGlyphs().SetGlyph(GlyphStrip(4, 16));
            control->TabGlyphs().SetNumGlyphs(4);
        }
        if (i == 2)
            control->SetTabWidth(110);  // room for glyph and caption side by side
        if (i == 1)
            control->SetTabActiveColor(ui::Color::Rgb(255, 255, 200));
        pages[3]->setEnabled(false);
        control->setCurrentIndex(1);
        grid->addWidget(control, i / 2, i % 2);
        controls.push_back(control);
    }
    board.resize(760, 520);
    board.show();
    QApplication::processEvents();
    const QImage image = board.grab().toImage();
    QDir().mkpath(CORVANE_PNG_DIR);
    ASSERT_TRUE(image.save(CORVANE_PNG_DIR "/ext_page_control_sides.png"));

    // The inactive tabs carry their grey, the active one its colour.
    for (int i = 0; i < 4; ++i) {
        TExtPageControl* control = controls[static_cast<std::size_t>(i)];
        const QImage own = control->grab().toImage();
        const QRect inactive = control->tabBar()->tabRect(0).translated(control->tabBar()->pos());
        const QRect active = control->tabBar()->tabRect(1).translated(control->tabBar()->pos());
        EXPECT_EQ(ColourAt(own, inactive.topLeft() + QPoint(3, 3)), QColor(160, 160, 164)) << i;
        const QColor want = i == 1 ? QColor(255, 255, 200) : QColor(212, 208, 200);
        EXPECT_EQ(ColourAt(own, active.topLeft() + QPoint(3, 3)), want) << i;
        EXPECT_GE(inactive.width(), 50) << i;  // captions are not squeezed
    }
}

}  // namespace
