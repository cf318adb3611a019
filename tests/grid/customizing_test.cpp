#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "grid/core/customizing_form.h"
#include "grid/core/grid_resources.h"
#include "tests/grid/interaction_fixture.h"

namespace grid {
namespace {

using testing::InteractionGrid;

void SavePng(QWidget& w, const char* name) {
    w.grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/" + name);
}

// Sends one mouse event to a widget at a screen point.
void MouseAt(QWidget* w, QEvent::Type type, QPoint global, Qt::MouseButton button,
             Qt::MouseButtons buttons) {
    QPoint local = w->mapFromGlobal(global);
    QMouseEvent e(type, local, global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

TEST(CustomizingForm, SimpleFormSizedFromZeroWidthAndRowCount) {
    InteractionGrid f(2);
    f.grid.ShowColumnsCustomizing();
    QWidget* form = f.grid.CustomizingForm();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->windowTitle(), "Customize");
    EXPECT_EQ(form->findChild<QTabWidget*>("PageControl"), nullptr);
    auto* list = dynamic_cast<TgxHeadersListBox*>(f.grid.CustomizingHeadersList());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(f.grid.CustomizingBandsList(), nullptr);
    EXPECT_EQ(list->viewport()->width(), 7 * 28);
    EXPECT_EQ(list->ItemHeight(), 13 + 6);
    EXPECT_EQ(list->viewport()->height(), 19 * 11);
    EXPECT_EQ(list->count(), 0);
    f.grid.Columns(1)->SetVisible(false);
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "Mail");
    SavePng(*form, "customizing_simple.png");
    f.grid.CloseColumnsCustomizing();
    EXPECT_FALSE(f.grid.IsCustomizing());
}

// The lists stand in the form's button-face colour also under an application style sheet
// (the main window sets one for its tool tips), which stops palettes passing to children.
TEST(CustomizingForm, ListsKeepTheFormsColourUnderAStyleSheet) {
    const QString saved = qApp->styleSheet();
    qApp->setStyleSheet(saved + " QToolTip { max-width: 370px; }");
    for (bool simple : {true, false}) {
        SCOPED_TRACE(simple ? "simple form" : "two pages");
        InteractionGrid f(2);
        f.grid.SetShowBands(!simple);
        f.grid.Columns(1)->SetVisible(false);
        f.grid.ShowColumnsCustomizing();
        ASSERT_NE(f.grid.CustomizingForm(), nullptr);
        if (!simple)
            f.grid.CustomizingForm()->findChild<QTabWidget*>("PageControl")->setCurrentIndex(1);
        QWidget* list = f.grid.CustomizingHeadersList();
        ASSERT_NE(list, nullptr);
        // Below the one item the list shows its background.
        const QImage shot = list->grab().toImage();
        EXPECT_EQ(shot.pixelColor(list->width() / 2, list->height() - 8).rgb(),
                  ui::clBtnFace.ToQColor().rgb());
        if (simple)
            SavePng(*f.grid.CustomizingForm(), "customizing_style_sheet.png");
        f.grid.CloseColumnsCustomizing();
    }
    qApp->setStyleSheet(saved);
}

TEST(CustomizingForm, TwoPagesWithBandsAndOneFormPerGrid) {
    InteractionGrid f(2);
    f.grid.SetShowBands(true);
    f.grid.Bands().Items(0)->SetCaption("Person");
    f.grid.SetDefaultLayout(false);
    TgxTreeListBand* hidden = f.grid.Bands().Add();
    hidden->SetCaption("Address");
    hidden->SetVisible(false);
    f.grid.Columns(2)->SetVisible(false);
    int ended = 0;
    f.grid.OnEndColumnsCustomizing = [&](TCustomgxTreeList*) { ++ended; };
    f.grid.ShowColumnsCustomizing();
    auto* pages = f.grid.CustomizingForm()->findChild<QTabWidget*>("PageControl");
    ASSERT_NE(pages, nullptr);
    EXPECT_EQ(pages->tabText(0), "    Bands    ");
    EXPECT_EQ(pages->tabText(1), "   Headers   ");
    EXPECT_EQ(f.grid.CustomizingBandsList()->count(), 1);
    EXPECT_EQ(f.grid.CustomizingBandsList()->item(0)->text(), "Address");
    EXPECT_EQ(f.grid.CustomizingHeadersList()->count(), 1);
    pages->setCurrentIndex(1);
    f.grid.CustomizingHeadersList()->setCurrentRow(0);
    SavePng(*f.grid.CustomizingForm(), "customizing_form.png");
    QPointer<QWidget> first = f.grid.CustomizingForm();
    f.grid.ShowColumnsCustomizing();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(f.grid.CustomizingHeadersIndex(), 0);
    // The form comes back where it was left.
    f.grid.CustomizingForm()->move(40, 30);
    QPoint at = f.grid.CustomizingForm()->pos();
    f.grid.CloseColumnsCustomizing();
    f.grid.ShowColumnsCustomizing();
    EXPECT_EQ(f.grid.CustomizingForm()->pos(), at);
    f.grid.CloseColumnsCustomizing();

    f.grid.SetShowBands(false);
    f.grid.SetShowHeader(false);
    f.grid.ShowColumnsCustomizing();
    EXPECT_FALSE(f.grid.IsCustomizing());
}

TEST(CustomizingForm, HeaderDraggedToTheFormHidesAndBackShows) {
    InteractionGrid f(3, 400, 300);
    f.grid.move(0, 0);
    f.grid.ShowColumnsCustomizing();
    QWidget* form = f.grid.CustomizingForm();
    // Over the grid's lower right the form lies on the rows.
    QPoint form_centre = form->mapToGlobal(form->rect().center());
    ASSERT_TRUE(f.grid.PointInCustomizingArea({form_centre.x(), form_centre.y()}));
    QPoint target = f.vp()->mapFromGlobal(form_centre);
    QPoint from = f.HeaderPoint(1);
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, from);
    f.Move(from, target, Qt::LeftButton);
    EXPECT_EQ(f.grid.State(), tsColumnDragging);
    EXPECT_EQ(f.grid.DragCursorShape(), Qt::DragMoveCursor);
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, target);
    EXPECT_FALSE(f.grid.Columns(1)->Visible());
    auto* list = f.grid.CustomizingHeadersList();
    ASSERT_EQ(list->count(), 1);

    // From the list: a press on the selected item, 3 pixels keep it pending, 4 start.
    list->setCurrentRow(0);
    QPoint item = list->viewport()->mapToGlobal(list->visualItemRect(list->item(0)).center());
    MouseAt(list->viewport(), QEvent::MouseButtonPress, item, Qt::LeftButton, Qt::LeftButton);
    auto* box = dynamic_cast<TgxCustomizingListBox*>(list);
    EXPECT_TRUE(box->DragPending());
    MouseAt(list->viewport(), QEvent::MouseMove, item + QPoint(3, 3), Qt::NoButton, Qt::LeftButton);
    EXPECT_TRUE(box->DragPending());
    MouseAt(list->viewport(), QEvent::MouseMove, item + QPoint(4, 0), Qt::NoButton, Qt::LeftButton);
    EXPECT_FALSE(box->DragPending());
    EXPECT_EQ(f.grid.State(), tsColumnDragging);
    // Over the right half of the last header: shown after it.
    QPoint header = f.vp()->mapToGlobal(f.HeaderPoint(2, 20));
    MouseAt(list->viewport(), QEvent::MouseMove, header, Qt::NoButton, Qt::LeftButton);
    MouseAt(list->viewport(), QEvent::MouseButtonRelease, header, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_TRUE(f.grid.Columns(1)->Visible());
    EXPECT_EQ(f.grid.GetHeaderText(f.grid.GetVisibleColumnIndex(2)), "Mail");
    EXPECT_EQ(list->count(), 0);
    f.grid.CloseColumnsCustomizing();
}

TEST(CustomizingForm, PressOnAnUnselectedItemOnlySelects) {
    InteractionGrid f(1);
    f.grid.Columns(0)->SetVisible(false);
    f.grid.Columns(1)->SetVisible(false);
    f.grid.ShowColumnsCustomizing();
    auto* list = dynamic_cast<TgxCustomizingListBox*>(f.grid.CustomizingHeadersList());
    ASSERT_EQ(list->count(), 2);
    list->setCurrentRow(0);
    QPoint second = list->viewport()->mapToGlobal(list->visualItemRect(list->item(1)).center());
    MouseAt(list->viewport(), QEvent::MouseButtonPress, second, Qt::LeftButton, Qt::LeftButton);
    EXPECT_FALSE(list->DragPending());
    EXPECT_EQ(list->currentRow(), 1);
    MouseAt(list->viewport(), QEvent::MouseButtonRelease, second, Qt::LeftButton, Qt::NoButton);
    // The selected last item goes: the new last one is selected.
    f.grid.ShowColumnAt(f.grid.Columns(1), 0, 0, 1);
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->currentRow(), 0);
    f.grid.CloseColumnsCustomizing();
}

TEST(CustomizingForm, BandsDragToTheFormUnlessDisabled) {
    InteractionGrid f(2, 400, 300);
    f.grid.move(0, 0);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Add()->SetCaption("Second");
    f.grid.Columns(2)->SetBandIndex(1);
    f.grid.SetShowBands(true);
    f.grid.ShowColumnsCustomizing();
    QWidget* form = f.grid.CustomizingForm();
    QPoint target = f.vp()->mapFromGlobal(form->mapToGlobal(form->rect().center()));
    TDrawInfo info = f.Info();
    QPoint band1((info.band_cells[1].rect.left + info.band_cells[1].rect.right) / 2,
                 info.band_panel.top + 4);
    f.grid.Bands().Items(1)->SetDisableCustomizing(true);
    f.Drag(band1, target);
    EXPECT_TRUE(f.grid.Bands().Items(1)->Visible());
    f.grid.Bands().Items(1)->SetDisableCustomizing(false);
    bool refuse = true;
    f.grid.OnDragEndBand = [&](TCustomgxTreeListControl*, TgxTreeListBand*, ui::Point, int&, int&,
                               int&, bool& accept) { accept = !refuse; };
    f.Drag(band1, target);
    EXPECT_TRUE(f.grid.Bands().Items(1)->Visible());
    refuse = false;
    f.Drag(band1, target);
    EXPECT_FALSE(f.grid.Bands().Items(1)->Visible());
    EXPECT_EQ(f.grid.CustomizingBandsList()->count(), 1);
    // Without ShowBands nothing is dragged out of the bands list.
    f.grid.SetShowBands(false);
    auto* bands = dynamic_cast<TgxBandsListBox*>(f.grid.CustomizingBandsList());
    bands->StartDrag(0);
    EXPECT_EQ(f.grid.State(), tsNormal);
    f.grid.CloseColumnsCustomizing();
}

TEST(CustomizingForm, ABandDraggedFromTheListIsTheBandItsEventsName) {
    // "Two" is hidden, so its absolute index 1 is the visible index of "Three": the events
    // of its drag out of the list once named "Three", or no band at all.
    InteractionGrid f(2, 400, 300);
    f.grid.move(0, 0);
    f.grid.SetDefaultLayout(false);
    f.grid.Bands().Items(0)->SetCaption("One");
    f.grid.Bands().Add()->SetCaption("Two");
    f.grid.Bands().Add()->SetCaption("Three");
    for (int b = 0; b < 3; ++b) {
        f.grid.Bands().Items(b)->SetWidth(100);
        f.grid.Columns(b)->SetBandIndex(b);
    }
    f.grid.SetShowBands(true);
    f.grid.Bands().Items(1)->SetVisible(false);
    std::vector<std::string> over;
    std::string ended;
    int ended_absolute = -5, ended_visible = -5;
    f.grid.OnDragOverBand = [&](TCustomgxTreeListControl*, TgxTreeListBand* band, ui::Point,
                                bool&) { over.push_back(band->Caption()); };
    f.grid.OnDragEndBand = [&](TCustomgxTreeListControl*, TgxTreeListBand* band, ui::Point,
                               int& absolute, int& visible, int&, bool&) {
        ended = band != nullptr ? band->Caption() : "none";
        ended_absolute = absolute;
        ended_visible = visible;
    };
    f.grid.ShowColumnsCustomizing();
    auto* list = dynamic_cast<TgxBandsListBox*>(f.grid.CustomizingBandsList());
    ASSERT_EQ(list->count(), 1);
    list->setCurrentRow(0);
    const QPoint item = list->viewport()->mapToGlobal(list->visualItemRect(list->item(0)).center());
    MouseAt(list->viewport(), QEvent::MouseButtonPress, item, Qt::LeftButton, Qt::LeftButton);
    MouseAt(list->viewport(), QEvent::MouseMove, item + QPoint(10, 0), Qt::NoButton,
            Qt::LeftButton);
    ASSERT_EQ(f.grid.State(), tsBandDragging);
    // The left half of "Three".
    TDrawInfo info = f.Info();
    const QPoint target =
        f.vp()->mapToGlobal(QPoint(info.band_cells[1].rect.left + 10, info.band_panel.top + 4));
    MouseAt(list->viewport(), QEvent::MouseMove, target, Qt::NoButton, Qt::LeftButton);
    MouseAt(list->viewport(), QEvent::MouseButtonRelease, target, Qt::LeftButton, Qt::NoButton);
    ASSERT_FALSE(over.empty());
    EXPECT_EQ(over.back(), "Two");
    EXPECT_EQ(ended, "Two");
    EXPECT_EQ(ended_absolute, 1);
    EXPECT_EQ(ended_visible, -1);
    EXPECT_TRUE(f.grid.Bands().Items(1)->Visible());
    EXPECT_EQ(f.grid.GetBandText(1), "Two");
    EXPECT_EQ(list->count(), 0);
    f.grid.CloseColumnsCustomizing();
}

TEST(CustomizingForm, ClosingTheFormEndsADragOutOfItsList) {
    InteractionGrid f(2, 400, 300);
    f.grid.move(0, 0);
    f.grid.Columns(1)->SetVisible(false);
    f.grid.ShowColumnsCustomizing();
    QListWidget* list = f.grid.CustomizingHeadersList();
    list->setCurrentRow(0);
    const QPoint item = list->viewport()->mapToGlobal(list->visualItemRect(list->item(0)).center());
    MouseAt(list->viewport(), QEvent::MouseButtonPress, item, Qt::LeftButton, Qt::LeftButton);
    MouseAt(list->viewport(), QEvent::MouseMove, f.vp()->mapToGlobal(f.HeaderPoint(0)),
            Qt::NoButton, Qt::LeftButton);
    ASSERT_EQ(f.grid.State(), tsColumnDragging);
    f.grid.CloseColumnsCustomizing();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(f.grid.State(), tsNormal);
    EXPECT_EQ(f.grid.DragImageWindow(), nullptr);
    // The next click on the grid is a click, not the drop of the gone list's item.
    QTest::mouseClick(f.vp(), Qt::LeftButton, {}, f.HeaderPoint(2));
    EXPECT_FALSE(f.grid.Columns(1)->Visible());
    EXPECT_EQ(f.grid.State(), tsNormal);
}

TEST(CustomizingForm, APressedItemKeepsItsColumnWhenTheListIsRefilled) {
    // Another column is hidden between the press and the move that starts the drag: the
    // refilled list holds it in the pressed row, but the drag takes the pressed column.
    for (const bool pressed_shown : {false, true}) {
        InteractionGrid f(2, 400, 300);
        f.grid.move(0, 0);
        f.grid.Columns(2)->SetVisible(false);
        f.grid.ShowColumnsCustomizing();
        QListWidget* list = f.grid.CustomizingHeadersList();
        list->setCurrentRow(0);
        const QPoint item =
            list->viewport()->mapToGlobal(list->visualItemRect(list->item(0)).center());
        MouseAt(list->viewport(), QEvent::MouseButtonPress, item, Qt::LeftButton, Qt::LeftButton);
        if (pressed_shown)
            f.grid.ShowColumnAt(f.grid.Columns(2), 0, 0, 2);
        f.grid.Columns(1)->SetVisible(false);
        f.grid.Columns(0)->SetCaption("Address");
        f.grid.Columns(0)->SetVisible(false);  // "Address" now lies in the pressed row
        MouseAt(list->viewport(), QEvent::MouseMove, item + QPoint(10, 0), Qt::NoButton,
                Qt::LeftButton);
        EXPECT_EQ(f.grid.State(), pressed_shown ? tsNormal : tsColumnDragging);
        if (!pressed_shown) {
            EXPECT_EQ(f.grid.DragColumn(), 2);
        }
        MouseAt(list->viewport(), QEvent::MouseButtonRelease, item + QPoint(10, 0), Qt::LeftButton,
                Qt::NoButton);
        f.grid.CloseColumnsCustomizing();
    }
}

TEST(CustomizingForm, HiddenItemsAreListedInAlphabeticalOrder) {
    // Without regard to case, accented letters beside their plain ones.
    InteractionGrid f(1);
    f.grid.SetDefaultLayout(false);
    const char* captions[] = {"zeta", "Émile", "Alpha", "beta", "Zip", "Emil"};
    for (int i = 3; i < 6; ++i)
        f.grid.CreateColumn();
    for (int i = 0; i < 6; ++i) {
        f.grid.Columns(i)->SetCaption(captions[i]);
        f.grid.Columns(i)->SetVisible(false);
    }
    for (const char* caption : {"north", "East", "école"}) {
        TgxTreeListBand* band = f.grid.Bands().Add();
        band->SetCaption(caption);
        band->SetVisible(false);
    }
    f.grid.SetShowBands(true);
    f.grid.ShowColumnsCustomizing();
    auto texts = [](QListWidget* list) {
        std::string out;
        for (int i = 0; i < list->count(); ++i)
            out += list->item(i)->text().toStdString() + " ";
        return out;
    };
    EXPECT_EQ(texts(f.grid.CustomizingHeadersList()), "Alpha beta Emil Émile zeta Zip ");
    EXPECT_EQ(texts(f.grid.CustomizingBandsList()), "East école north ");
    // Each item still stands for its own column.
    auto* headers = dynamic_cast<TgxCustomizingListBox*>(f.grid.CustomizingHeadersList());
    for (int i = 0; i < headers->count(); ++i) {
        EXPECT_EQ(f.grid.Columns(headers->ItemObject(i))->Caption(),
                  headers->item(i)->text().toStdString());
    }
    f.grid.CloseColumnsCustomizing();
}

TEST(GridResources, CursorsAreMadeOnceAcrossInitialisations) {
    InitTreeListUnit();
    int loads = TreeListCursorLoads();
    InitTreeListUnit();
    EXPECT_EQ(TreeListCursorLoads(), loads);
    EXPECT_FALSE(GridCursor(crDelete).pixmap().isNull());
    DoneTreeListUnit();
    DoneTreeListUnit();
    EXPECT_EQ(CustomizeCaption(), "Customize");
}

TEST(GridResources, TheLastTreeListReleasesTheCursors) {
    const int loads = TreeListCursorLoads();
    {
        TCustomgxTreeListControl first;
        TCustomgxTreeListControl second;
        EXPECT_EQ(TreeListCursorLoads(), loads + 1);
    }
    TCustomgxTreeListControl again;
    EXPECT_EQ(TreeListCursorLoads(), loads + 2) << "released with the last one, made anew";
}

TEST(SizingLine, PaintedInvertedWhileAColumnIsSized) {
    InteractionGrid f(6, 360, 160);
    f.grid.SetShowGrid(true);
    int edge = f.Header(0).rect.right;
    int y = f.HeaderPoint(0).y();
    QTest::mousePress(f.vp(), Qt::LeftButton, {}, {edge, y});
    f.Move({edge, y}, {edge + 40, y}, Qt::LeftButton);
    QImage image = f.grid.grab().toImage();
    SavePng(f.grid, "sizing_line.png");
    ui::Rect line = f.grid.SizingLineRect();
    // White cells become black under the line.
    QColor under = image.pixelColor(line.left, f.Cell(3, 1).y());
    EXPECT_EQ(under, QColor(Qt::black));
    QTest::mouseRelease(f.vp(), Qt::LeftButton, {}, {edge + 40, y});
    EXPECT_EQ(f.grid.Columns(0)->Width(), 140);
    image = f.grid.grab().toImage();
    EXPECT_NE(image.pixelColor(line.left, f.Cell(3, 1).y()), QColor(Qt::black));
}

}  // namespace
}  // namespace grid
