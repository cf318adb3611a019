// The editors as a user meets them in a data grid over a Strata table: a text typed or
// pasted and then Tab, Enter or Escape; what is stored; what the user is told.

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QScreen>
#include <QWheelEvent>

#include <limits>

#include "grid/editors/blob_edit.h"
#include "grid/editors/calc_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/graphic_edit.h"
#include "grid/editors/hyperlink_edit.h"
#include "grid/editors/image_edit.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/pick_edit.h"
#include "grid/editors/spin_edit.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

// What one typed text came to: the message the user saw, whether the editor is still open,
// and the value another reader of the table finds.
struct Typed {
    std::string message;
    bool open = false;
    std::string stored;
};

// Types text over the whole of row 2's cell in column 1 (field), then presses leave.
template <class C>
Typed TypeAndLeave(EditorGrid& g, const std::string& field, const std::string& text,
                   Qt::Key leave) {
    auto* editor = g.Open<TgxInplaceTextEdit>(2, 1);
    EXPECT_NE(editor, nullptr) << text;
    if (editor == nullptr)
        return {};
    editor->LineEdit().selectAll();
    QTest::keyClicks(&editor->LineEdit(), QString::fromStdString(text));
    const std::size_t asked = g.prompts->Asked().size();
    QTest::keyClick(&editor->LineEdit(), leave);
    Typed t;
    if (g.prompts->Asked().size() > asked)
        t.message = g.prompts->Asked().back().text;
    t.open = editor->isVisible();
    if (!t.open)
        g.Close();
    t.stored = g.db.ReadBack(2, field);
    return t;
}

template <class C>
EditorGrid& GridWith(EditorGrid& g, const std::string& field) {
    g.Add<TgxDBGridColumn>("Item");
    g.Add<C>(field);
    g.Add<TgxDBGridColumn>("Index");
    g.Bind();
    return g;
}

TEST(SpinEditorTyping, ATextThatIsNoNumberIsReportedAndNeverStoredAsTheMinimum) {
    struct Case {
        std::string field, typed, message;
    };
    // Row 2 holds Bounces 2 and Amount 3; unreadable texts used to be stored as 0.
    const std::vector<Case> cases = {
        {"Bounces", "12-3", "'12-3' is not a valid integer value"},
        {"Bounces", "-", "'-' is not a valid integer value"},
        {"Bounces", "+", "'+' is not a valid integer value"},
        {"Amount", "1.5.5", "'1.5.5' is not a valid floating point value"},
        {"Amount", "--1", "'--1' is not a valid floating point value"},
    };
    for (const Case& c : cases) {
        for (Qt::Key leave : {Qt::Key_Tab, Qt::Key_Return}) {
            EditorGrid g;
            GridWith<TgxDBGridSpinColumn>(g, c.field);
            const std::string before = g.db.ReadBack(2, c.field);
            const Typed t = TypeAndLeave<TgxDBGridSpinColumn>(g, c.field, c.typed, leave);
            EXPECT_EQ(t.message, c.message) << c.typed;
            EXPECT_TRUE(t.open) << c.typed << ": the text stays for mending";
            EXPECT_EQ(t.stored, before) << c.typed;
            auto* editor = dynamic_cast<TgxInplaceSpinEdit*>(g.grid->InplaceEditor());
            ASSERT_NE(editor, nullptr);
            EXPECT_EQ(editor->LineEdit().text().toStdString(), c.typed);
            // Escape abandons it and leaves the stored value as it was.
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
            EXPECT_FALSE(editor->isVisible()) << c.typed;
            g.Close();
            EXPECT_EQ(g.db.ReadBack(2, c.field), before) << c.typed;
        }
    }
    // Readable texts at the ends of the range still go through as typed.
    for (const std::string typed : {"+7", "-2147483648", "2147483647"}) {
        EditorGrid g;
        GridWith<TgxDBGridSpinColumn>(g, "Bounces");
        const Typed t = TypeAndLeave<TgxDBGridSpinColumn>(g, "Bounces", typed, Qt::Key_Tab);
        EXPECT_EQ(t.message, "") << typed;
        EXPECT_FALSE(t.open) << typed;
        EXPECT_EQ(t.stored, typed == "+7" ? "7" : typed);
    }
    // A paste is not filtered as typing is; what it leaves is checked the same way.
    EditorGrid g;
    GridWith<TgxDBGridSpinColumn>(g, "Bounces");
    auto* spin = g.Open<TgxInplaceSpinEdit>(2, 1);
    ASSERT_NE(spin, nullptr);
    QGuiApplication::clipboard()->setText("12 apples");
    spin->LineEdit().selectAll();
    QTest::keyClick(&spin->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(&spin->LineEdit(), Qt::Key_Tab);
    ASSERT_FALSE(g.prompts->Asked().empty());
    EXPECT_EQ(g.prompts->Asked().back().text, "'12 apples' is not a valid integer value");
    EXPECT_TRUE(spin->isVisible());
    QTest::keyClick(&spin->LineEdit(), Qt::Key_Escape);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Bounces"), "2");
}

// The largest double shows as a 15-digit text beyond the double range; leaving it untouched
// is no error, and the value stays.
TEST(SpinEditorTyping, AnUntouchedValueThatReadsAsNoNumberLeavesWithoutAWord) {
    EditorGrid g;
    g.db.Table().Locate("Index", db::Variant(2), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Amount")->SetAsFloat(std::numeric_limits<double>::max());
    g.db.Table().Post();
    GridWith<TgxDBGridSpinColumn>(g, "Amount");
    auto* spin = g.Open<TgxInplaceSpinEdit>(2, 1);
    ASSERT_NE(spin, nullptr);
    EXPECT_NE(spin->ValueError(spin->CurrentText()), "") << spin->CurrentText();
    QTest::keyClick(&spin->LineEdit(), Qt::Key_Tab);
    EXPECT_TRUE(g.prompts->Asked().empty());
    EXPECT_FALSE(spin->isVisible());
    g.Close();
    g.db.Table().Locate("Index", db::Variant(2), {});
    EXPECT_EQ(g.db.Table().FieldByName("Amount")->AsFloat(), std::numeric_limits<double>::max());
}

// "4" or "10:30" typed into a date cell read as a time of day and were stored as 30 December
// 1899, the date of no day at all; they are no date now, handled as any other text that is none.
TEST(DateEditorTyping, ATimeAloneIsNoDate) {
    for (const std::string field : {"Joined", "Stamp"}) {
        for (const std::string typed : {"4", "10:30", "23:59:59"}) {
            {
                EditorGrid g;
                g.Add<TgxDBGridColumn>("Item");
                g.Add<TgxDBGridDateColumn>(field)->SetDateValidation(true);
                g.Bind();
                const std::string before = g.db.ReadBack(2, field);
                const Typed t = TypeAndLeave<TgxDBGridDateColumn>(g, field, typed, Qt::Key_Return);
                EXPECT_EQ(t.message, "Invalid Date") << field << " " << typed;
                EXPECT_TRUE(t.open) << field << " " << typed;
                EXPECT_EQ(t.stored, before) << field << " " << typed;
                auto* date = dynamic_cast<TgxInplaceDateEdit*>(g.grid->InplaceEditor());
                ASSERT_NE(date, nullptr);
                // The calendar opens on today's month, not on December 1899.
                QTest::keyClick(&date->LineEdit(), Qt::Key_F4);
                ASSERT_NE(date->DatePopup(), nullptr);
                EXPECT_EQ(date->DatePopup()->GetSelStart().Value, db::Date().Value) << typed;
                QTest::keyClick(&date->LineEdit(), Qt::Key_Escape);
                QTest::keyClick(&date->LineEdit(), Qt::Key_Escape);
                g.Close();
            }
            EditorGrid g;
            g.Add<TgxDBGridColumn>("Item");
            g.Add<TgxDBGridDateColumn>(field)->SetDateOnError(deNull);
            g.Bind();
            const Typed t = TypeAndLeave<TgxDBGridDateColumn>(g, field, typed, Qt::Key_Tab);
            EXPECT_EQ(t.message, "") << field << " " << typed;
            EXPECT_FALSE(t.open) << field << " " << typed;
            EXPECT_EQ(t.stored, "") << field << " " << typed;
        }
    }
    // Dates, with or without a time, still go through.
    for (const std::string typed : {"4/5/2003", "2/29/2000 23:59:59"}) {
        EditorGrid g;
        g.Add<TgxDBGridColumn>("Item");
        g.Add<TgxDBGridDateColumn>("Stamp")->SetDateValidation(true);
        g.Bind();
        const Typed t = TypeAndLeave<TgxDBGridDateColumn>(g, "Stamp", typed, Qt::Key_Tab);
        EXPECT_EQ(t.message, "") << typed;
        EXPECT_EQ(t.stored, typed == "4/5/2003" ? "4/5/2003" : "2/29/2000 11:59:59 PM");
    }
}

// Opening a cell's editor and leaving it without typing used to write the editor's text back,
// and the text of some values is shorter than the value: 0.1 + 0.2 came back as 0.3, 1/3 lost
// its last digits and a time its milliseconds.
TEST(EditorRoundTrip, OpeningAndLeavingACellChangesNoValue) {
    const double third = 1.0 / 3.0;
    const double sum = 0.1 + 0.2;
    const db::TDateTime stamp =
        db::CombineDateTime(db::EncodeDate(2000, 2, 29), db::EncodeTime(23, 59, 59, 500));
    struct Case {
        std::string name;
        std::function<void(EditorGrid&)> add;
        std::string field;
    };
    const std::vector<Case> cases = {
        {"mask", [](EditorGrid& g) { g.Add<TgxDBGridMaskColumn>("Amount"); }, "Amount"},
        {"spin", [](EditorGrid& g) { g.Add<TgxDBGridSpinColumn>("Amount"); }, "Amount"},
        {"currency", [](EditorGrid& g) { g.Add<TgxDBGridCurrencyColumn>("Amount"); }, "Amount"},
        {"calc", [](EditorGrid& g) { g.Add<TgxDBGridCalcColumn>("Amount"); }, "Amount"},
        {"date", [](EditorGrid& g) { g.Add<TgxDBGridDateColumn>("Stamp"); }, "Stamp"},
        {"time", [](EditorGrid& g) { g.Add<TgxDBGridTimeColumn>("Stamp"); }, "Stamp"},
        {"text", [](EditorGrid& g) { g.Add<TgxDBGridMaskColumn>("Stamp"); }, "Stamp"},
    };
    for (const Case& c : cases) {
        for (const double amount : {third, sum}) {
            for (Qt::Key leave : {Qt::Key_Tab, Qt::Key_Return, Qt::Key_Down}) {
                if (leave == Qt::Key_Down && (c.name == "spin" || c.name == "time"))
                    continue;  // Down steps the value there
                EditorGrid g;
                g.db.Table().Locate("Index", db::Variant(2), {});
                g.db.Table().Edit();
                g.db.Table().FieldByName("Amount")->SetAsFloat(amount);
                g.db.Table().FieldByName("Stamp")->SetAsDateTime(stamp);
                g.db.Table().Post();
                c.add(g);
                g.Add<TgxDBGridColumn>("Item");
                g.Bind();
                auto* editor = g.Open<TgxInplaceEdit>(2, 0);
                ASSERT_NE(editor, nullptr) << c.name;
                QTest::keyClick(EditorGrid::Keys(editor), leave);
                EXPECT_TRUE(g.prompts->Asked().empty()) << c.name;
                g.Close();
                strata::TStrataTable& reader = g.db.NewTable();
                reader.Open();
                ASSERT_TRUE(reader.Locate("Index", db::Variant(2), {}));
                EXPECT_EQ(reader.FieldByName("Amount")->AsFloat(), amount) << c.name << leave;
                EXPECT_EQ(reader.FieldByName("Stamp")->AsDateTime().Value, stamp.Value)
                    << c.name << leave;
                reader.Close();
            }
        }
    }
}

// Notes kept from older files may break lines with a bare CR, or mix the kinds of break.
TEST(EditorRoundTrip, AMemoPassedThroughKeepsItsLineBreaksByteForByte) {
    for (const std::string& notes : {std::string("first\rsecond\r"), std::string("a\r\nb\nc\rd"),
                                     std::string("tab\there\r\n\r\n")}) {
        for (Qt::Key leave : {Qt::Key_Tab, Qt::Key_Escape}) {
            EditorGrid g;
            g.db.Table().Locate("Index", db::Variant(2), {});
            g.db.Table().Edit();
            g.db.Table().FieldByName("Notes")->SetAsString(notes);
            g.db.Table().Post();
            g.Add<TgxDBGridMemoColumn>("Notes");
            g.Add<TgxDBGridColumn>("Item");
            g.Bind();
            auto* memo = g.Open<TgxInplaceMemoEdit>(2, 0);
            ASSERT_NE(memo, nullptr);
            QTest::keyClick(&memo->Memo(), leave);
            g.Close();
            EXPECT_EQ(g.db.ReadBack(2, "Notes"), notes) << leave;
        }
    }
}

TEST(SpinEditorTyping, APastedTimeOutOfTheDayIsReportedNotStoredAsMidnight) {
    EditorGrid g;
    GridWith<TgxDBGridTimeColumn>(g, "Stamp");
    const std::string before = g.db.ReadBack(2, "Stamp");
    auto* time = g.Open<TgxInplaceTimeEdit>(2, 1);
    ASSERT_NE(time, nullptr);
    QGuiApplication::clipboard()->setText("99:99:99");
    time->LineEdit().selectAll();
    QTest::keyClick(&time->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(time->LineEdit().text().toStdString(), "99:99:99");
    QTest::keyClick(&time->LineEdit(), Qt::Key_Tab);
    ASSERT_FALSE(g.prompts->Asked().empty());
    EXPECT_EQ(g.prompts->Asked().back().text, "'99:99:99' is not a valid time");
    EXPECT_TRUE(time->isVisible());
    QTest::keyClick(&time->LineEdit(), Qt::Key_Escape);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Stamp"), before);
}

void Wheel(QWidget* w, int notches) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

// Ten items in seven rows: the three below used to be out of the mouse's reach, with nothing
// to show that they were there.
TEST(PopupLists, MoreItemsThanRowsShowAScrollBarAndTheWheelReachesThem) {
    EditorGrid g;
    g.grid->SetTextMetrics(nullptr);
    auto* pick = g.Add<TgxDBGridPickColumn>("Item");
    pick->SetWidth(160);
    for (int i = 0; i < 10; ++i)
        pick->Items().push_back("choice " + std::to_string(i) + "@example.org");
    auto* image = g.Add<TgxDBGridImageColumn>("SendRights");
    image->Values = {"True", "False"};
    image->Descriptions = {"may send", "may not send"};
    g.Bind();
    auto* editor = g.Open<TgxInplacePickEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_F4);
    TPopupListbox* list = editor->List();
    ASSERT_TRUE(editor->PopupShown());
    EXPECT_EQ(list->Rows, 7);
    ASSERT_TRUE(list->ScrollBar().isVisibleTo(list));
    EXPECT_EQ(list->ScrollBar().maximum(), 3);
    EXPECT_EQ(list->ScrollBar().geometry().right(), list->width() - 2);
    // The widest item still fits beside the bar.
    const QFontMetrics fm(list->font());
    EXPECT_GE(list->RowsWidth(), fm.horizontalAdvance("choice 0@example.org") + 6);
    list->grab().toImage().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/pick_list_scrolls.png");

    Wheel(list, -1);
    EXPECT_EQ(list->TopIndex, 1);
    Wheel(list, -5);
    EXPECT_EQ(list->TopIndex, 3) << "no further than the last item";
    EXPECT_EQ(list->ScrollBar().value(), 3);
    Wheel(list, 1);
    EXPECT_EQ(list->TopIndex, 2);
    // Dragging the bar scrolls the rows; a point on the bar is no row.
    const_cast<QScrollBar&>(list->ScrollBar()).setValue(3);
    EXPECT_EQ(list->TopIndex, 3);
    EXPECT_EQ(list->RowAt(QPoint(list->width() - 4, list->ItemHeight * 6 + 3)), -1);
    const QPoint last(10, list->ItemHeight * 6 + 3);
    ASSERT_EQ(list->RowAt(last), 9);
    QTest::mousePress(list, Qt::LeftButton, Qt::NoModifier, last);
    QTest::mouseRelease(list, Qt::LeftButton, Qt::NoModifier, last);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "choice 9@example.org");
    // Keys keep the bar in step.
    QTest::keyClick(&editor->LineEdit(), Qt::Key_F4);
    EXPECT_EQ(list->ScrollBar().value(), list->TopIndex);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Home);
    EXPECT_EQ(list->TopIndex, 0);
    EXPECT_EQ(list->ScrollBar().value(), 0);
    QTest::keyClick(&editor->LineEdit(), Qt::Key_Escape);
    g.grid->CancelEditor();
    g.db.Table().Cancel();

    // A list whose items all show has no bar, and its rows take the whole width.
    auto* images = g.Open<TgxInplaceImageEdit>(2, 1);
    ASSERT_NE(images, nullptr);
    QTest::keyClick(images, Qt::Key_F4);
    TPopupListbox* image_list = images->List();
    ASSERT_NE(image_list, nullptr);
    EXPECT_FALSE(image_list->ScrollBar().isVisibleTo(image_list));
    EXPECT_EQ(image_list->RowsWidth(), image_list->width());
    Wheel(image_list, -1);
    EXPECT_EQ(image_list->TopIndex, 0);
}

// Bytes in a picture field that no reader takes (damaged, or a format without a reader) used
// to open as an empty page, as if the field were empty; nothing on it may lose them.
TEST(BlobPopupPictures, BytesThatAreNoPictureAreSaidSoAndKept) {
    const std::string damaged = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, '\x07');
    struct Case {
        std::string bytes;
        bool note;
    };
    QImage small(4, 3, QImage::Format_RGB32);
    small.fill(Qt::green);
    const std::vector<Case> cases = {{damaged, true},
                                     {"plain words, no picture", true},
                                     {SavePictureToBlob(small), false},
                                     {"", false}};
    for (const Case& c : cases) {
        EditorGrid g;
        g.grid->SetTextMetrics(nullptr);
        g.db.Table().Locate("Index", db::Variant(1), {});
        g.db.Table().Edit();
        g.db.Table().FieldByName("Photo")->SetAsString(c.bytes);
        g.db.Table().Post();
        g.Add<TgxDBGridBlobColumn>("Photo");
        g.Bind();
        auto* editor = g.Open<TgxInplaceBlobEdit>(1, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor, Qt::Key_F4);
        TCustomgxBlobPopup* popup = editor->BlobPopup();
        ASSERT_NE(popup, nullptr);
        ASSERT_TRUE(popup->isVisible());
        EXPECT_EQ(popup->PictureNote, c.note ? kFieldHoldsNoPicture : "") << c.bytes;
        if (c.bytes == damaged)
            popup->grab().toImage().save(QString(CORVANE_TEST_OUTPUT_DIR) +
                                         "/blob_popup_no_picture.png");
        if (popup->PictureEmpty()) {
            // Cut and Delete find nothing to take; OK then saves nothing.
            popup->PictureCommand(bpcCut);
            popup->PictureCommand(bpcDelete);
            EXPECT_FALSE(popup->Modified());
            QTest::keyClick(popup, Qt::Key_Return, Qt::ControlModifier);
        } else {
            QTest::keyClick(popup, Qt::Key_Escape);
        }
        EXPECT_FALSE(popup->isVisible());
        g.Close();
        EXPECT_EQ(g.db.ReadBack(1, "Photo"), c.bytes);
    }
}

// A photo larger than the screen opens in a popup that fits the work area beside the cell.
TEST(BlobPopupPictures, APictureLargerThanTheScreenOpensScaledIntoTheWorkArea) {
    QImage huge(4000, 3000, QImage::Format_RGB32);
    huge.fill(QColor(30, 120, 60));
    EditorGrid g;
    g.grid->SetTextMetrics(nullptr);
    g.db.Table().Locate("Index", db::Variant(3), {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Photo")->SetAsString(SavePictureToBlob(huge, {"PNG"}));
    g.db.Table().Post();
    g.Add<TgxDBGridBlobColumn>("Photo");
    g.Bind();
    auto* editor = g.Open<TgxInplaceBlobEdit>(3, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    TCustomgxBlobPopup* popup = editor->BlobPopup();
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->Picture().size(), huge.size());
    EXPECT_EQ(popup->PictureNote, "");
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect placed(popup->mapToGlobal(QPoint(0, 0)), popup->size());
    EXPECT_TRUE(screen.contains(placed));
    EXPECT_FALSE(placed.intersects(QRect(editor->mapToGlobal(QPoint(0, 0)), editor->size())));
    const QImage shot = popup->grab().toImage();
    // The picture fills the page scaled down: its green reaches the page's far corner.
    EXPECT_EQ(shot.pixelColor(placed.width() / 2, 10), QColor(30, 120, 60));
    QTest::keyClick(&popup->Memo(), Qt::Key_Escape);
    g.Close();
    EXPECT_EQ(LoadPictureFromBlob(g.db.ReadBack(3, "Photo")).size(), huge.size());
}

// Every editor kind over its cell with the real default font, and its popup where it has one,
// with the grid near the screen's bottom-right corner: drawn to pictures, and measured.
TEST(EditorPictures, EachEditorCoversItsCellAndEachPopupStaysOnTheScreen) {
    struct Case {
        std::string name, field;
        std::function<TgxDBTreeListColumn*(EditorGrid&)> add;
        bool popup = false;
    };
    auto add = [](auto* column) { return static_cast<TgxDBTreeListColumn*>(column); };
    const std::vector<Case> cases = {
        {"text", "Item", [&](EditorGrid& g) { return add(g.Add<TgxDBGridMaskColumn>("Item")); }},
        {"check", "SendRights",
         [&](EditorGrid& g) { return add(g.Add<TgxDBGridCheckColumn>("SendRights")); }},
        {"spin", "Bounces",
         [&](EditorGrid& g) { return add(g.Add<TgxDBGridSpinColumn>("Bounces")); }},
        {"currency", "Amount",
         [&](EditorGrid& g) { return add(g.Add<TgxDBGridCurrencyColumn>("Amount")); }},
        {"time", "Stamp", [&](EditorGrid& g) { return add(g.Add<TgxDBGridTimeColumn>("Stamp")); }},
        {"memo", "Notes", [&](EditorGrid& g) { return add(g.Add<TgxDBGridMemoColumn>("Notes")); }},
        {"hyperlink", "Item",
         [&](EditorGrid& g) { return add(g.Add<TgxDBGridHyperLinkColumn>("Item")); }},
        {"button", "Item",
         [&](EditorGrid& g) { return add(g.Add<TgxDBGridButtonColumn>("Item")); }},
        {"graphic", "Photo",
         [&](EditorGrid& g) { return add(g.Add<TgxDBGridGraphicColumn>("Photo")); }},
        {"date", "Stamp", [&](EditorGrid& g) { return add(g.Add<TgxDBGridDateColumn>("Stamp")); },
         true},
        {"calc", "Amount", [&](EditorGrid& g) { return add(g.Add<TgxDBGridCalcColumn>("Amount")); },
         true},
        {"blob", "Notes", [&](EditorGrid& g) { return add(g.Add<TgxDBGridBlobColumn>("Notes")); },
         true},
        {"pick", "Item",
         [&](EditorGrid& g) {
             auto* c = g.Add<TgxDBGridPickColumn>("Item");
             for (int i = 1; i <= 9; ++i)
                 c->Items().push_back("user" + std::to_string(i) + "@example.org");
             return add(c);
         },
         true},
        {"image", "SendRights",
         [&](EditorGrid& g) {
             auto* c = g.Add<TgxDBGridImageColumn>("SendRights");
             c->Values = {"True", "False"};
             c->Descriptions = {"may send", "may not send"};
             c->SetShowDescription(true);
             return add(c);
         },
         true},
    };
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    for (const Case& c : cases) {
        EditorGrid g;
        g.grid->SetTextMetrics(nullptr);
        g.grid->resize(330, 130);
        g.grid->move(screen.right() - 330, screen.bottom() - 130);
        g.Add<TgxDBGridColumn>("Index")->SetWidth(50);
        c.add(g)->SetWidth(150);
        g.Add<TgxDBGridColumn>("Item")->SetWidth(120);
        g.Bind();
        auto* editor = g.Open<TgxInplaceEdit>(4, 1);
        ASSERT_NE(editor, nullptr) << c.name;
        QApplication::processEvents();
        const ui::Rect cell = g.grid->GetCellRect(g.grid->FindNodeByKeyValue(db::Variant(4)), 1);
        EXPECT_TRUE(editor->isVisible()) << c.name;
        EXPECT_EQ(editor->geometry(), QRect(cell.left, cell.top, cell.Width(), cell.Height()))
            << c.name;
        EXPECT_GE(editor->height(), QFontMetrics(editor->font()).height()) << c.name;
        g.grid->grab(QRect(0, 0, 330, 110))
            .toImage()
            .save(QString(CORVANE_TEST_OUTPUT_DIR) + "/editor_" + QString::fromStdString(c.name) +
                  ".png");
        if (!c.popup)
            continue;
        auto* drop = dynamic_cast<TgxInplaceDropDownEdit*>(editor);
        ASSERT_NE(drop, nullptr) << c.name;
        QTest::keyClick(EditorGrid::Keys(drop), Qt::Key_F4);
        ASSERT_TRUE(drop->PopupShown()) << c.name;
        QWidget* popup = drop->Popup();
        ASSERT_NE(popup, nullptr) << c.name;
        EXPECT_TRUE(popup->isVisible()) << c.name;
        const QRect placed(popup->mapToGlobal(QPoint(0, 0)), popup->size());
        const QRect over(drop->mapToGlobal(QPoint(0, 0)), drop->size());
        EXPECT_TRUE(screen.contains(placed)) << c.name;
        EXPECT_FALSE(placed.intersects(over)) << c.name << ": the popup leaves the cell in view";
        const QImage shot = popup->grab().toImage();
        shot.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/popup_" + QString::fromStdString(c.name) +
                  ".png");
        // Each popup has an edge darker than its face, so it stands apart from the cells.
        const QColor face = QApplication::palette().color(QPalette::Button);
        for (const QPoint edge : {QPoint(0, shot.height() / 2), QPoint(shot.width() - 1, 2),
                                  QPoint(shot.width() / 2, shot.height() - 1)})
            EXPECT_LT(qGray(shot.pixel(edge)), qGray(face.rgb()))
                << c.name << " at " << edge.x() << "," << edge.y();
        // Escape goes where the keyboard is: the blob popup's memo takes it when shown.
        auto* blob = dynamic_cast<TCustomgxBlobPopup*>(popup);
        QTest::keyClick(
            blob != nullptr ? static_cast<QWidget*>(&blob->Memo()) : EditorGrid::Keys(drop),
            Qt::Key_Escape);
        QApplication::processEvents();  // the popup's close notice is posted
        EXPECT_FALSE(popup->isVisible()) << c.name;
        EXPECT_FALSE(drop->PopupShown()) << c.name;
    }
}

}  // namespace
}  // namespace grid::testing
