// Further cases of the editors: cell drawing, texts of dates, popup placement, neighbouring
// days, the calculator's keys and the blob column's icons and saving on focus loss.

#include <QClipboard>
#include <QGuiApplication>
#include <QScreen>

#include "grid/editors/blob_edit.h"
#include "grid/editors/calc_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/spin_edit.h"
#include "platform/db/conversions.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

// Dark pixels (a check mark) in the middle of a rectangle of an image.
int DarkPixels(const QImage& image, const QRect& r) {
    int dark = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qGray(image.pixel(x, y)) < 80)
                ++dark;
    return dark;
}

TEST(CheckColumn, CellsDrawTheStateOfTheirText) {
    EditorGrid g;
    auto* rights = g.Add<TgxDBGridCheckColumn>("SendRights");
    rights->SetWidth(60);
    auto* items = g.Add<TgxDBGridColumn>("Item");
    items->SetWidth(160);
    g.Add<TgxDBGridSpinColumn>("Bounces")->SetWidth(60);
    g.Add<TgxDBGridDateColumn>("Joined")->SetWidth(90);
    g.Add<TgxDBGridMemoColumn>("Notes")->SetWidth(200);
    g.Bind();
    g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(5)));
    const QImage shot = g.grid->grab().toImage();
    shot.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/editor_columns.png");
    auto cell = [&](int key) {
        TgxTreeListNode* node = g.grid->FindNodeByKeyValue(db::Variant(key));
        ui::Rect r = g.grid->GetCellRect(node, 0);
        return QRect(r.left + r.Width() / 2 - 4, r.top + r.Height() / 2 - 4, 9, 9);
    };
    EXPECT_GT(DarkPixels(shot, cell(1)), 3) << "True is checked";
    EXPECT_EQ(DarkPixels(shot, cell(2)), 0) << "False is not";
}

TEST(DateTexts, DateToTextWithAndWithoutMask) {
    db::TFormatSettings saved = db::FormatSettings();
    db::FormatSettings().ShortDateFormat = "d/M/yyyy";
    db::FormatSettings().DateSeparator = '/';
    struct Case {
        db::TDateTime value;
        bool mask;
        std::string text;
    };
    const db::TDateTime morning =
        db::CombineDateTime(db::EncodeDate(2001, 3, 5), db::EncodeTime(9, 5, 7, 0));
    const std::vector<Case> cases = {
        {db::EncodeDate(2001, 3, 5), false, "05/03/2001"},
        {db::EncodeDate(2001, 3, 5), true, "05/03/2001"},
        {morning, false, "05/03/2001 09:05:07"},
        {morning, true, "05/03/2001"},
        {db::TDateTime(kNullDate), false, ""},
        {db::TDateTime(kNullDate), true, "  /  /    "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DateToText(c.value, c.mask, "  /  /    "), c.text) << c.value.Value << c.mask;
    db::FormatSettings() = saved;
}

TEST(DatePopup, NeighbouringDaysAreSelectableAndClicksPickThem) {
    int saved_first = CalendarFirstWeekDay();
    CalendarFirstWeekDay() = 1;
    TgxGridDatePopup popup;
    popup.SetFirstDate(db::EncodeDate(2026, 3, 1));
    popup.SetSelStart(db::EncodeDate(2026, 3, 10));
    popup.show();
    EXPECT_EQ(popup.GetFirstVisibleDate(), db::EncodeDate(2026, 2, 23));
    EXPECT_EQ(popup.GetLastVisibleDate(), db::EncodeDate(2026, 4, 5));
    std::vector<double> picked;
    popup.OnDateSelected = [&](TgxGridDatePopup* p) { picked.push_back(p->GetSelStart().Value); };
    // Row 0, column 0 is 23 February, a gray day of the month before.
    const QPoint gray = popup.DayCellRect(0, 0).center() + QPoint(1, 1);
    EXPECT_EQ(popup.GetDateAtPos(gray - QPoint(1, 1)), db::EncodeDate(2026, 2, 23));
    QTest::mouseClick(&popup, Qt::LeftButton, Qt::NoModifier, gray);
    ASSERT_EQ(picked.size(), 1u);
    EXPECT_EQ(picked[0], db::EncodeDate(2026, 2, 23).Value);
    EXPECT_TRUE(IsNullDate(popup.GetDateAtPos(QPoint(-5, 3))));
    CalendarFirstWeekDay() = saved_first;
}

TEST(DateEditor, PopupNearTheBottomOpensAboveTheCell) {
    EditorGrid g;
    g.Add<TgxDBGridDateColumn>("Joined");
    g.Bind();
    const QRect area = g.grid->screen()->availableGeometry();
    g.grid->move(area.left() + 10, area.bottom() - 60);
    auto* editor = g.Open<TgxInplaceDateEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->DropDown();
    const QRect cell(editor->mapToGlobal(QPoint(0, 0)), editor->size());
    EXPECT_LE(editor->DatePopup()->geometry().bottom(), cell.top());
    EXPECT_TRUE(area.contains(editor->DatePopup()->geometry()));
    editor->CloseUp(false);
}

TEST(Calculator, KeyboardMapsKeysAndCharacters) {
    TCustomgxCalculator calc;
    auto down = [&](std::uint16_t key, ui::TShiftState shift = 0) {
        calc.PopupKeyDown(key, shift);
        std::uint16_t up = key;
        calc.PopupKeyUp(up, shift);
        return key;
    };
    auto type = [&](const std::u32string& text) {
        for (char32_t ch : text) {
            char32_t c = ch;
            calc.PopupKeyPress(c);
            std::uint16_t up = 0;
            calc.PopupKeyUp(up, 0);
        }
    };
    type(U"12+3");
    EXPECT_EQ(down(ui::VK_RETURN), 0);
    EXPECT_EQ(calc.GetText(), "15");
    down('R');  // 1/x
    EXPECT_EQ(calc.GetText(), "0.06666666666667");
    down(ui::VK_ESCAPE);
    EXPECT_EQ(calc.GetText(), "0");
    type(U"123");
    // Back repeats while its key is held: every character deletes again.
    char32_t back = 8;
    calc.PopupKeyPress(back);
    back = 8;
    calc.PopupKeyPress(back);
    EXPECT_EQ(calc.GetText(), "1");
    std::uint16_t up = ui::VK_BACK;
    calc.PopupKeyUp(up, 0);
    down(ui::VK_INSERT, ui::ssCtrl);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "1");
    QGuiApplication::clipboard()->setText("2,500");
    down(ui::VK_INSERT, ui::ssShift);
    EXPECT_EQ(calc.GetText(), "2500");
    EXPECT_EQ(down('X'), 'X') << "unmapped keys come back";
}

TEST(BlobColumn, IconsFollowTheKindAndTheValue) {
    EditorGrid g;
    auto* notes = g.Add<TgxDBGridBlobColumn>("Notes");
    auto* photo = g.Add<TgxDBGridBlobColumn>("Photo");
    g.Bind();
    struct Case {
        TgxDBGridBlobColumn* column;
        TgxBlobKind kind;
        std::string text;
        int icon, page;
    };
    const std::vector<Case> cases = {
        {notes, bkAuto, "x", 3, 0}, {notes, bkAuto, "", 2, 0},   {photo, bkAuto, "x", 5, 1},
        {photo, bkAuto, "", 4, 1},  {notes, bkBlob, "x", 1, -1}, {notes, bkOle, "", 6, -1},
        {photo, bkMemo, "x", 3, 0}, {photo, bkPict, "", 4, 1},
    };
    for (const Case& c : cases) {
        c.column->SetBlobKind(c.kind);
        EXPECT_EQ(c.column->CellIcon(c.text), c.icon) << int(c.kind) << c.text;
        EXPECT_EQ(c.column->PopupPage(), c.page) << int(c.kind);
    }
    notes->SetBlobKind(bkAuto);
    notes->SetBlobPaintStyle(bpsText);
    notes->SetMaxDisplayLength(4);
    g.grid->ReloadAll();
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(1)), 0), "note");
}

TEST(BlobEditor, AlwaysSaveTextSavesWhenTheFocusLeaves) {
    EditorGrid g;
    auto* notes = g.Add<TgxDBGridBlobColumn>("Notes");
    notes->SetAlwaysSaveText(true);
    g.Bind();
    auto* editor = g.Open<TgxInplaceBlobEdit>(4, 0);
    ASSERT_NE(editor, nullptr);
    editor->DropDown();
    TCustomgxBlobPopup* popup = editor->BlobPopup();
    ASSERT_NE(popup, nullptr);
    popup->Memo().selectAll();
    QTest::keyClicks(&popup->Memo(), "kept");
    // A click elsewhere closes the popup, which saves.
    editor->CloseUp(false);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(4, "Notes"), "kept");
}

TEST(SpinEditor, ChangingTheValueTypeReformatsTheText) {
    TgxInplaceSpinEdit spin;
    spin.SetCurrentText("7");
    spin.SetValueType(1);
    EXPECT_EQ(spin.CurrentText(), "7");
    spin.SetCurrentText("2.5");
    spin.SetValueType(0);
    EXPECT_EQ(spin.CurrentText(), "0");  // no integer: the minimum
}

}  // namespace
}  // namespace grid::testing
