// The calculator and blob popups in a data grid over a Strata table, the hyperlink editor,
// the pick list's prefix search and the default column classes.

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>

#include "grid/editors/blob_edit.h"
#include "grid/editors/calc_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/default_columns.h"
#include "grid/editors/graphic_edit.h"
#include "grid/editors/hyperlink_edit.h"
#include "grid/editors/image_edit.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/pick_edit.h"
#include "grid/editors/spin_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/clock.h"
#include "platform/ui/keys.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

TEST(Calculator, LayoutOfTheDefaultGeometry) {
    TCustomgxCalculator calc;
    EXPECT_EQ(calc.size(), QSize(204, 134));
    struct Case {
        int code;
        QRect rect;
    };
    const std::vector<Case> cases = {
        {cbBack, QRect(QPoint(51, 4), QPoint(97, 25))},
        {cbClear, QRect(QPoint(153, 4), QPoint(199, 25))},
        {cbMemClear, QRect(QPoint(4, 30), QPoint(31, 51))},
        {cbNum7, QRect(QPoint(44, 30), QPoint(71, 51))},
        {cbEqual, QRect(QPoint(172, 108), QPoint(199, 129))},
    };
    for (const Case& c : cases)
        EXPECT_EQ(calc.ButtonRect(c.code), c.rect) << c.code;
    EXPECT_EQ(calc.ButtonAt(QPoint(50, 40)), cbNum7);
    EXPECT_EQ(calc.ButtonAt(QPoint(36, 40)), cbNone);
    calc.LayoutFor(408, 268);
    EXPECT_EQ(calc.ButtonHeight(), 44);
}

// A resize lays the buttons out again, each inside the frame of the border style and none
// over another; the popup's flat style draws a thin line instead of a raised edge.
TEST(Calculator, ResizedItLaysOutAgainInsideItsFrame) {
    TgxPopupCalculator flat_popup(nullptr);
    flat_popup.SetFlat(true);
    flat_popup.ButtonStyle = TgxButtonStyle::bsFlat;
    TCustomgxCalculator single, sunken;
    single.SetBorderStyle(bsSingle);
    sunken.SetBorderStyle(bsSingle);
    sunken.SetCtl3D(true);
    struct Case {
        TCustomgxCalculator* calc;
        QSize asked;
        int frame, button_height;
        const char* png;
    };
    const std::vector<Case> cases = {
        {&single, {412, 272}, 1, 44, "calculator_double.png"},
        {&sunken, {312, 210}, 2, 33, "calculator_sunken.png"},
        {&flat_popup, {206, 136}, 1, 22, "calculator_flat.png"},
    };
    for (const Case& c : cases) {
        c.calc->show();
        c.calc->resize(c.asked);
        EXPECT_EQ(c.calc->ButtonHeight(), c.button_height) << c.png;
        EXPECT_EQ(c.calc->size(), QSize(c.calc->CalcWidth(), c.calc->CalcHeight()) +
                                      QSize(2 * c.frame, 2 * c.frame));
        const QRect client(0, 0, c.calc->CalcWidth(), c.calc->CalcHeight());
        for (int code = 0; code < kCalcButtonCount; ++code) {
            EXPECT_TRUE(client.contains(c.calc->ButtonRect(code))) << c.png << " " << code;
            for (int other = code + 1; other < kCalcButtonCount; ++other)
                EXPECT_FALSE(c.calc->ButtonRect(code).intersects(c.calc->ButtonRect(other)));
        }
        const QImage shot = c.calc->grab().toImage();
        shot.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/" + c.png);
        // The frame is drawn on the outermost pixels, the ground just inside it.
        EXPECT_NE(shot.pixelColor(0, 0), shot.pixelColor(c.frame, c.frame + 1)) << c.png;
    }
}

TEST(Calculator, MouseOffTheButtonEntersNothing) {
    TCustomgxCalculator calc;
    calc.show();
    const QPoint seven = calc.ButtonRect(cbNum7).center();
    QTest::mousePress(&calc, Qt::LeftButton, Qt::NoModifier, seven);
    EXPECT_TRUE(calc.ButtonDown(cbNum7));
    QMouseEvent move(QEvent::MouseMove, QPointF(1, 1), QPointF(1, 1), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&calc, &move);
    EXPECT_FALSE(calc.ButtonDown(cbNum7));
    QTest::mouseRelease(&calc, Qt::LeftButton, Qt::NoModifier, QPoint(1, 1));
    EXPECT_EQ(calc.GetText(), "0");
    QTest::mouseClick(&calc, Qt::LeftButton, Qt::NoModifier, seven);
    EXPECT_EQ(calc.GetText(), "7");
}

TEST(CalcEditor, KeysWorkTheCalculatorAndEscapeRestores) {
    EditorGrid g;
    g.Add<TgxDBGridCalcColumn>("Amount");
    g.Bind();
    auto* editor = g.Open<TgxInplaceCalcEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "3");
    QWidget* keys = EditorGrid::Keys(editor);
    QTest::keyClick(keys, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    QTest::keyClicks(keys, "*4");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "4");
    QTest::keyClick(keys, Qt::Key_Return);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "12");
    // Escape in the open calculator puts the cell's first text back.
    QTest::keyClick(keys, Qt::Key_F4);
    QTest::keyClicks(keys, "+5=");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "17");
    editor->Calculator()->grab().toImage().save(QString(CORVANE_TEST_OUTPUT_DIR) +
                                                "/calculator.png");
    QTest::keyClick(keys, Qt::Key_Escape);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "3");
    QTest::keyClick(keys, Qt::Key_F4);
    QTest::keyClicks(keys, "8/0=");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "Error");
    QTest::keyClicks(keys, "c");
    QTest::keyClicks(keys, "2+2");
    QTest::keyClick(keys, Qt::Key_Return);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Amount"), "4");
}

struct BlobGrid : EditorGrid {
    TgxDBGridBlobColumn* notes;
    BlobGrid() {
        notes = Add<TgxDBGridBlobColumn>("Notes");
        Bind();
    }
};

TEST(BlobEditor, SavesOnceOnOkAndNeverOnCancel) {
    struct Case {
        bool ok;
        std::string stored;
    };
    for (const Case& c : {Case{true, "typed note"}, Case{false, "note 3"}}) {
        BlobGrid g;
        EXPECT_EQ(g.notes->PopupPage(), 0);
        auto* editor = g.Open<TgxInplaceBlobEdit>(3, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor, Qt::Key_F4);
        TCustomgxBlobPopup* popup = editor->BlobPopup();
        ASSERT_NE(popup, nullptr);
        EXPECT_EQ(popup->MemoText(), "note 3");
        EXPECT_FALSE(popup->Button(0)->isEnabled());
        int saves = 0;
        auto save = popup->OnSave;
        popup->OnSave = [&](TCustomgxBlobPopup* p) {
            ++saves;
            save(p);
        };
        popup->Memo().selectAll();
        QTest::keyClicks(&popup->Memo(), "typed note");
        EXPECT_TRUE(popup->Button(0)->isEnabled());
        if (c.ok) {
            popup->grab().toImage().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/blob_popup.png");
            QTest::mouseClick(popup->Button(0), Qt::LeftButton);
        } else {
            QTest::keyClick(&popup->Memo(), Qt::Key_Escape);
        }
        EXPECT_FALSE(popup->isVisible());
        EXPECT_EQ(saves, c.ok ? 1 : 0);
        popup->ClosePopup();  // a later close saves nothing more
        EXPECT_EQ(saves, c.ok ? 1 : 0);
        g.Close();
        EXPECT_EQ(g.db.ReadBack(3, "Notes"), c.stored) << c.ok;
    }
}

TEST(BlobEditor, MemoTextsKeepTheirLineBreaksAndNonBreakingSpaces) {
    const std::string stored = "Dear\xC2\xA0Sir\r\nline two\r\n\r\nend";
    {
        BlobGrid g;
        g.db.Table().Locate("Index", 1, {});
        g.db.Table().Edit();
        g.db.Table().FieldByName("Notes")->SetAsString(stored);
        g.db.Table().Post();
        g.grid->ReloadAll();
        auto* editor = g.Open<TgxInplaceBlobEdit>(1, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor, Qt::Key_F4);
        TCustomgxBlobPopup* popup = editor->BlobPopup();
        ASSERT_NE(popup, nullptr);
        EXPECT_EQ(popup->MemoText(), stored);
        popup->Memo().moveCursor(QTextCursor::End);
        QTest::keyClicks(&popup->Memo(), "s");
        QTest::mouseClick(popup->Button(0), Qt::LeftButton);
        g.Close();
        EXPECT_EQ(g.db.ReadBack(1, "Notes"), stored + "s");
    }
    EditorGrid g;
    g.Add<TgxDBGridMemoColumn>("Notes");
    g.Bind();
    g.db.Table().Locate("Index", 1, {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Notes")->SetAsString(stored);
    g.db.Table().Post();
    g.grid->ReloadAll();
    auto* memo = g.Open<TgxInplaceMemoEdit>(1, 0);
    ASSERT_NE(memo, nullptr);
    memo->Memo().moveCursor(QTextCursor::End);
    QTest::keyClicks(&memo->Memo(), "s");
    QTest::keyClick(&memo->Memo(), Qt::Key_Return, Qt::ControlModifier);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Notes"), stored + "s");
}

TEST(BlobEditor, ReadOnlyShowsCloseOnlyAndResizeIsRemembered) {
    BlobGrid g;
    g.notes->SetReadOnly(true);
    auto* editor = g.Open<TgxInplaceBlobEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->DropDown();
    TCustomgxBlobPopup* popup = editor->BlobPopup();
    EXPECT_EQ(popup->Buttons(), kBlobClose);
    EXPECT_FALSE(popup->Button(0)->isVisibleTo(popup));
    EXPECT_TRUE(popup->Button(2)->isVisibleTo(popup));
    popup->resize(260, 180);
    editor->CloseUp(false);
    EXPECT_EQ(g.notes->PopupWidth(), 260);
    EXPECT_EQ(g.notes->PopupHeight(), 180);
}

TEST(BlobPictures, HeaderIsSkippedAndIconsFollowTheType) {
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "BMP");
    const std::string bare(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    std::string headed = bare;
    const auto size = static_cast<std::uint32_t>(bare.size());
    const char header[8] = {1,
                            0,
                            0,
                            1,
                            static_cast<char>(size & 0xFF),
                            static_cast<char>((size >> 8) & 0xFF),
                            static_cast<char>((size >> 16) & 0xFF),
                            static_cast<char>(size >> 24)};
    headed.insert(0, header, 8);
    EXPECT_EQ(LoadPictureFromBlob(bare).size(), QSize(3, 2));
    EXPECT_EQ(LoadPictureFromBlob(headed).size(), QSize(3, 2));
    EXPECT_TRUE(LoadPictureFromBlob("").isNull());
    EXPECT_TRUE(LoadPictureFromBlob("not a picture").isNull());
    EXPECT_EQ(BlobIconOfType(db::ftMemo), 3);
    EXPECT_EQ(BlobIconOfType(db::ftGraphic), 5);
    EXPECT_EQ(BlobIconOfType(db::ftDBaseOle), 7);
    EXPECT_EQ(BlobIconOfType(db::ftBytes), 1);
    EXPECT_EQ(PictureTarget(QSize(100, 50), QRect(0, 0, 40, 40), true), QRect(0, 0, 40, 20));
    EXPECT_EQ(PictureTarget(QSize(10, 10), QRect(0, 0, 40, 40), false), QRect(15, 15, 10, 10));
}

TEST(HyperLinkEditor, OpensOnlyWebMailAndFtpLinks) {
    struct Case {
        const char* text;
        const char* opened;  // empty: nothing
    };
    const std::vector<Case> cases = {
        {"http://example.org/a", "http://example.org/a"},
        {" www.example.org ", "http://www.example.org"},
        {"mailto:list@example.org", "mailto:list@example.org"},
        {"FTP://files.example.org", "ftp://files.example.org"},
        {"", ""},
        {"   ", ""},
        {"rm -rf /", ""},
        {"file:///etc/passwd", ""},
        {"javascript:alert(1)", ""},
        {"/usr/bin/xterm", ""},
    };
    std::vector<std::string> opened;
    auto saved = HyperLinkOpener();
    HyperLinkOpener() = [&](const QUrl& url) {
        opened.push_back(url.toString().toStdString());
        return true;
    };
    for (const Case& c : cases) {
        opened.clear();
        EditorGrid g;
        g.Add<TgxDBGridHyperLinkColumn>("Item");
        g.Bind();
        auto* editor = g.Open<TgxInplaceHyperLinkEdit>(1, 0);
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().setText(c.text);
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return, Qt::ControlModifier);
        if (*c.opened == '\0')
            EXPECT_TRUE(opened.empty()) << c.text;
        else
            EXPECT_EQ(opened, std::vector<std::string>{c.opened}) << c.text;
    }
    HyperLinkOpener() = saved;
}

TEST(PickList, PrefixFindsTheFirstSortedItem) {
    const std::vector<std::string> items = {"beta", "Alpha", "alpine"};
    EXPECT_EQ(FindPickItem(items, "a"), 1);
    EXPECT_EQ(FindPickItem(items, "al"), 1);
    EXPECT_EQ(FindPickItem(items, "ALPI"), 2);
    EXPECT_EQ(FindPickItem(items, "b"), 0);
    EXPECT_EQ(FindPickItem(items, "c"), -1);
    EXPECT_EQ(FindPickItem(items, ""), -1);
    EXPECT_EQ(FindPickItem({}, "a"), -1);
    // Accented letters match in either case, and the first match is the first in the user's
    // order, not in byte order.
    const std::vector<std::string> names = {"Zo\u00EB", "\u00C9lodie", "Emma", "\u00E9lan",
                                            "Eliza"};
    EXPECT_EQ(FindPickItem(names, "\u00E9"), 3);
    EXPECT_EQ(FindPickItem(names, "\u00C9lo"), 1);
    EXPECT_EQ(FindPickItem(names, "\u00E9LO"), 1);
    EXPECT_EQ(FindPickItem(names, "zo\u00CB"), 0);
    EXPECT_EQ(FindPickItem(names, "e"), 4);
}

TEST(DefaultColumnClasses, TypedColumnsForEachFieldType) {
    RegisterTypedColumns();
    auto make = [](db::TFieldType type) { return DefaultColumnClassFor(type)(); };
    EXPECT_NE(dynamic_cast<TgxDBGridCheckColumn*>(make(db::ftBoolean).get()), nullptr);
    EXPECT_NE(dynamic_cast<TgxDBGridCurrencyColumn*>(make(db::ftCurrency).get()), nullptr);
    EXPECT_NE(dynamic_cast<TgxDBGridDateColumn*>(make(db::ftDate).get()), nullptr);
    EXPECT_NE(dynamic_cast<TgxDBGridDateColumn*>(make(db::ftDateTime).get()), nullptr);
    EXPECT_NE(dynamic_cast<TgxDBGridTimeColumn*>(make(db::ftTime).get()), nullptr);
    EXPECT_NE(dynamic_cast<TgxDBGridMemoColumn*>(make(db::ftMemo).get()), nullptr);
    EXPECT_NE(dynamic_cast<TgxDBGridGraphicColumn*>(make(db::ftGraphic).get()), nullptr);
    for (db::TFieldType t : {db::ftBytes, db::ftVarBytes, db::ftBlob, db::ftFmtMemo,
                             db::ftParadoxOle, db::ftDBaseOle, db::ftTypedBinary})
        EXPECT_NE(dynamic_cast<TgxDBGridBlobColumn*>(make(t).get()), nullptr) << int(t);
    for (db::TFieldType t : {db::ftUnknown, db::ftString, db::ftSmallint, db::ftInteger, db::ftWord,
                             db::ftFloat, db::ftBCD, db::ftAutoInc}) {
        auto column = make(t);
        EXPECT_NE(dynamic_cast<TgxDBGridMaskColumn*>(column.get()), nullptr) << int(t);
        EXPECT_EQ(dynamic_cast<TgxDBGridSpinColumn*>(column.get()), nullptr) << int(t);
        EXPECT_EQ(DefaultColumnClassPriority(t), 1);
    }
    EXPECT_NE(dynamic_cast<TgxDBGridLookupColumn*>(LookupColumnClass()().get()), nullptr);

    // Equal priority keeps what is there; a higher one replaces.
    RegisterDefaultColumnClasses([](int type, int, TgxColumnClassEntry& e) {
        if (type == db::ftString)
            e = {ColumnClassOf<TgxDBGridSpinColumn>(), 1};
    });
    EXPECT_NE(dynamic_cast<TgxDBGridMaskColumn*>(make(db::ftString).get()), nullptr);
    std::vector<std::pair<int, int>> asked;
    RegisterDefaultColumnClasses([&](int type, int kind, TgxColumnClassEntry& e) {
        asked.emplace_back(type, kind);
        if (type == db::ftString && kind == 0)
            e = {ColumnClassOf<TgxDBGridHyperLinkColumn>(), 2};
    });
    ASSERT_EQ(asked.size(), 23u);
    EXPECT_EQ(asked.back(), std::make_pair(0, 2));
    EXPECT_NE(dynamic_cast<TgxDBGridHyperLinkColumn*>(make(db::ftString).get()), nullptr);
    RegisterDefaultColumnClass(db::ftString, ColumnClassOf<TgxDBGridMaskColumn>(), 3);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

struct PickGrid : EditorGrid {
    TgxDBGridPickColumn* item;
    ui::ManualUiClock* clock;
    std::unique_ptr<ui::UiClock> previous;
    PickGrid() {
        auto c = std::make_unique<ui::ManualUiClock>();
        clock = c.get();
        previous = ui::SetClock(std::move(c));
        item = Add<TgxDBGridPickColumn>("Item");
        item->SetItems({"beta", "Alpha", "alpine", "cat", "camel", "dog"});
        Bind();
    }
    ~PickGrid() { ui::SetClock(std::move(previous)); }
};

TEST(PickEditor, TypingCompletesFromTheItemsAndWritesTheField) {
    PickGrid g;
    auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QWidget* keys = EditorGrid::Keys(editor);
    QTest::keyClicks(keys, "a");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "Alpha");
    QTest::keyClicks(keys, "l");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "Alpha");
    EXPECT_EQ(editor->LineEdit().selectedText().toStdString(), "pha");
    EXPECT_TRUE(editor->PopupShown());  // the column drops its list down on typing
    EXPECT_EQ(editor->List()->ItemIndex, 1);
    QTest::keyClick(keys, Qt::Key_Down);
    EXPECT_EQ(editor->List()->ItemIndex, 2);
    QTest::keyClick(keys, Qt::Key_Return);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "alpine");
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Item"), "alpine");
}

TEST(PickEditor, ListIsAtMostDropDownRowsHighAndSearchesForTwoSeconds) {
    PickGrid g;
    g.item->SetDropDownRows(3);
    g.item->Items().push_back(std::string(80, 'w'));
    auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_F4);
    TPopupListbox* list = editor->List();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Rows, 3);
    EXPECT_EQ(list->height(), 3 * list->ItemHeight + 2);
    EXPECT_GT(list->width(), editor->width());
    list->TypeChar(U'c');
    g.clock->Advance(1500);
    list->TypeChar(U'a');
    EXPECT_EQ(list->SearchText(), "ca");
    EXPECT_EQ(list->ItemIndex, 3);
    g.clock->Advance(2001);
    list->TypeChar(U'd');
    EXPECT_EQ(list->SearchText(), "d");
    EXPECT_EQ(list->ItemIndex, 5);
    // Escape closes the list without taking the item.
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Escape);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "user1@example.org");
}

// Letters of two, three and four bytes count as one each: the search goes on past
// sixteen accented or eleven Japanese letters, up to 32 letters and no further.
TEST(PickEditor, ListSearchCountsLettersNotBytes) {
    for (const char* letter : {"\u00e9", "\u0436", "\u6771", "\U0001F600"}) {
        SCOPED_TRACE(letter);
        std::string prefix;
        for (int i = 0; i < 20; ++i)
            prefix += letter;
        PickGrid g;
        g.item->Items().push_back(prefix + "x");
        g.item->Items().push_back(prefix + "y");
        auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_F4);
        TPopupListbox* list = editor->List();
        ASSERT_NE(list, nullptr);
        const char32_t code = QString::fromUtf8(letter).toUcs4().at(0);
        for (int i = 0; i < 20; ++i)
            list->TypeChar(code);
        EXPECT_EQ(list->ItemIndex, 6);
        list->TypeChar(U'y');
        EXPECT_EQ(list->SearchText(), prefix + "y");
        EXPECT_EQ(list->ItemIndex, 7);
        for (int i = 0; i < 20; ++i)
            list->TypeChar(code);
        EXPECT_EQ(QString::fromStdString(list->SearchText()).toUcs4().size(), 32);
        EXPECT_TRUE(QString::fromStdString(list->SearchText()).isValidUtf16());
        EXPECT_EQ(list->ItemIndex, 7) << "a search that matches nothing keeps the item";
    }
}

TEST(PickEditor, ListStyleRefusesTyping) {
    PickGrid g;
    g.item->SetDropDownListStyle(true);
    auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(EditorGrid::Keys(editor), "zz");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "user1@example.org");
}

// SendRights holds 5 characters: an item longer than that is refused whole with a beep
// whichever way it is chosen, as typed text is, and never stored cut.
TEST(PickEditor, AnItemLongerThanTheFieldIsRefusedWithABeep) {
    EditorGrid g;
    std::vector<std::string> errors;
    ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    auto* rights = g.Add<TgxDBGridPickColumn>("SendRights");
    rights->SetItems({"True", "False", "Sometimes", "Maybe"});
    g.Bind();
    auto* editor = g.Open<TgxInplacePickEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QWidget* keys = EditorGrid::Keys(editor);
    int beeps = ui::BeepCount();
    QTest::keyClick(keys, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    QTest::keyClick(keys, Qt::Key_Down);
    QTest::keyClick(keys, Qt::Key_Down);
    ASSERT_EQ(editor->List()->ItemIndex, 2);
    QTest::keyClick(keys, Qt::Key_Return);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "True");
    EXPECT_EQ(ui::BeepCount(), beeps + 1);

    // Completing typed text to that item is refused too; what was typed stays.
    editor->LineEdit().selectAll();
    QTest::keyClicks(keys, "so");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "so");
    EXPECT_EQ(ui::BeepCount(), beeps + 3);
    QTest::keyClick(keys, Qt::Key_Escape);
    QTest::keyClick(keys, Qt::Key_Escape);

    // Cycling passes over it with a beep.
    editor = g.Open<TgxInplacePickEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    editor->CycleValue();
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "Maybe");
    EXPECT_EQ(ui::BeepCount(), beeps + 4);
    g.Close();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(g.db.ReadBack(1, "SendRights"), "True");
    EXPECT_EQ(g.db.ReadBack(2, "SendRights"), "Maybe");
    ui::SetExceptionHandler(nullptr);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(ImageColumn, IndexesOfValues) {
    const std::vector<std::string> values = {"0", "1", "2"};
    struct Case {
        std::string text;
        std::vector<std::string> descriptions, image_indexes;
        bool default_images;
        int image, description;
    };
    const std::vector<Case> cases = {
        {"2", {}, {}, true, 2, -1},
        {"2", {"none", "one", "two"}, {"5", "3", "1"}, false, 1, 2},
        {"2", {"none"}, {"5", "3", "x"}, false, -1, -1},
        {"7", {"none", "one", "two"}, {}, true, -1, -1},
        {"1", {}, {"5"}, false, 1, -1},
    };
    for (const Case& c : cases) {
        TgxImageIndexes i =
            ImageIndexesOf(c.text, values, c.descriptions, c.image_indexes, c.default_images);
        EXPECT_EQ(i.image, c.image) << c.text;
        EXPECT_EQ(i.description, c.description) << c.text;
    }
}

TEST(ImageEditor, PicksAValueFromTheListAndPostsIt) {
    EditorGrid g;
    auto* rights = g.Add<TgxDBGridImageColumn>("SendRights");
    rights->Values = {"True", "False", "Maybe"};
    rights->Descriptions = {"allowed", "refused"};
    rights->SetDefaultImages(false);
    rights->ImageIndexes = {"0", "1", "x"};
    rights->SetShowDescription(true);
    g.Bind();
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(1)), 0), "allowed");
    EXPECT_EQ(rights->ListImages(), (std::vector<int>{0, 1, -2}));
    auto* editor = g.Open<TgxInplaceImageEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_F4);
    ASSERT_TRUE(editor->PopupShown());
    EXPECT_EQ(editor->List()->ItemIndex, 0);
    QTest::keyClick(editor, Qt::Key_Down);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_FALSE(editor->PopupShown());
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "SendRights"), "False");

    rights->Values.clear();
    editor = g.Open<TgxInplaceImageEdit>(2, 0);
    editor->DropDown();
    EXPECT_FALSE(editor->PopupShown());
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(GraphicEditor, PasteFollowsTheClipboardAndPicturesArePostedAndCleared) {
    QGuiApplication::clipboard()->clear();
    EditorGrid g;
    g.Add<TgxDBGridGraphicColumn>("Photo");
    g.Bind();
    auto* editor = g.Open<TgxInplaceGraphicEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    TgxPopupToolBar& bar = editor->Toolbar();
    EXPECT_FALSE(bar.Button(ptbPaste)->isEnabled());
    EXPECT_FALSE(bar.Button(ptbCopy)->isEnabled());
    EXPECT_TRUE(bar.Button(ptbLoad)->isEnabled());
    EXPECT_FALSE(bar.Button(ptbCustom)->isVisibleTo(&bar));
    QImage image(6, 4, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QGuiApplication::clipboard()->setImage(image);
    EXPECT_TRUE(bar.Button(ptbPaste)->isEnabled());
    editor->ToolbarClick(ptbPaste);
    EXPECT_TRUE(bar.Button(ptbCopy)->isEnabled());
    g.Close();
    EXPECT_EQ(LoadPictureFromBlob(g.db.ReadBack(1, "Photo")).size(), QSize(6, 4));

    editor = g.Open<TgxInplaceGraphicEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->ToolbarClick(ptbCut);
    EXPECT_EQ(QGuiApplication::clipboard()->image().size(), QSize(6, 4));
    EXPECT_FALSE(editor->Toolbar().Button(ptbDelete)->isEnabled());
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Photo"), "");
}

TEST(GraphicEditor, BytesThatAreNoPictureAreReportedAndCutKeepsThem) {
    QGuiApplication::clipboard()->clear();
    EditorGrid g;
    g.Add<TgxDBGridGraphicColumn>("Photo");
    g.Bind();
    const std::string damaged = "\x89PNG\r\n\x1a\n not really a picture";
    g.db.Table().Locate("Index", 2, {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Photo")->SetAsString(damaged);
    g.db.Table().Post();
    g.grid->ReloadAll();
    auto* editor = g.Open<TgxInplaceGraphicEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    editor->ShowToolbar();
    TgxPopupToolBar& bar = editor->Toolbar();
    ASSERT_TRUE(bar.Button(ptbCut)->isEnabled());
    const std::size_t asked = g.prompts->Asked().size();
    QTest::mouseClick(bar.Button(ptbCut), Qt::LeftButton);
    ASSERT_EQ(g.prompts->Asked().size(), asked + 1);
    EXPECT_EQ(g.prompts->Asked().back().text, "The field holds no picture this program reads");
    QTest::mouseClick(bar.Button(ptbCopy), Qt::LeftButton);
    EXPECT_EQ(g.prompts->Asked().size(), asked + 2);
    EXPECT_TRUE(QGuiApplication::clipboard()->image().isNull());
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Photo"), damaged);
    // Delete still clears them when asked to.
    editor = g.Open<TgxInplaceGraphicEdit>(2, 0);
    editor->ToolbarClick(ptbDelete);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Photo"), "");
}

TEST(GraphicEditor, ClosedToolbarStaysHiddenUntilTheNextEdit) {
    EditorGrid g;
    g.Add<TgxDBGridGraphicColumn>("Photo");
    g.Bind();
    auto* editor = g.Open<TgxInplaceGraphicEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->ShowToolbar();
    EXPECT_TRUE(editor->Toolbar().isVisible());
    editor->Toolbar().close();
    EXPECT_TRUE(editor->Toolbar().ClosedByUser);
    editor->ShowToolbar();
    EXPECT_FALSE(editor->Toolbar().isVisible());
    g.grid->CancelEditor();
    editor = g.Open<TgxInplaceGraphicEdit>(2, 0);
    editor->ShowToolbar();
    EXPECT_TRUE(editor->Toolbar().isVisible());
}

}  // namespace
}  // namespace grid::testing
