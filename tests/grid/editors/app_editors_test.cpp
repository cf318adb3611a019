// The editors the application's grids use, in a data grid over a Strata table: values
// edited, posted and read back; Escape restores; bad input refused with its message.

#include <QClipboard>
#include <QGuiApplication>
#include <QMouseEvent>

#include "grid/editors/button_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/spin_edit.h"
#include "platform/db/conversions.h"
#include "platform/ui/clock.h"
#include "platform/ui/keys.h"
#include "tests/grid/editors/editor_fixture.h"

namespace grid::testing {
namespace {

void Click(QWidget* w, QPoint p) {
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, p);
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, p);
}

TEST(CheckEditor, TogglesByStatePostsAndReadsBack) {
    struct Case {
        std::string stored;
        std::string after_toggle;
    };
    // The state decides, whatever the case of the stored text; unknown texts become checked.
    const std::vector<Case> cases = {
        {"True", "False"}, {"TRUE", "False"}, {"false", "True"}, {"", "True"}, {"maybe", "True"}};
    for (const Case& c : cases) {
        EditorGrid g;
        auto* col = g.Add<TgxDBGridCheckColumn>("SendRights");
        g.Bind();
        g.db.Table().Locate("Index", 2, {});
        g.db.Table().Edit();
        g.db.Table().FieldByName("SendRights")->SetAsString(c.stored);
        g.db.Table().Post();
        g.grid->ReloadAll();
        auto* editor = g.Open<TgxInplaceCheckEdit>(2, 0);
        ASSERT_NE(editor, nullptr) << c.stored;
        EXPECT_EQ(col->GetCheckBoxState(c.stored), c.stored == "True" || c.stored == "TRUE"
                                                       ? cbsChecked
                                                   : c.stored == "false" ? cbsUnchecked
                                                                         : cbsGrayed);
        QTest::keyPress(editor, Qt::Key_Space);
        EXPECT_TRUE(editor->Pressed());
        QTest::keyRelease(editor, Qt::Key_Space);
        EXPECT_EQ(editor->Text(), c.after_toggle) << c.stored;
        g.Close();
        EXPECT_EQ(g.db.ReadBack(2, "SendRights"), c.after_toggle) << c.stored;
    }
}

TEST(EditColor, TheGridIsAskedForTheFocusedNodeAndColumn) {
    EditorGrid g;
    g.Add<TgxDBGridMaskColumn>("Item");
    g.Add<TgxDBGridCheckColumn>("SendRights");
    g.Bind();
    std::vector<std::pair<TgxTreeListNode*, TgxDBTreeListColumn*>> asked;
    g.grid->OnGetEditColor = [&](TCustomgxDBTreeListControl*, TgxTreeListNode* node,
                                 ui::Color& color, TgxDBTreeListColumn* column) {
        asked.emplace_back(node, column);
        color = ui::clAqua;
    };
    for (int column : {0, 1}) {
        asked.clear();
        auto* editor = g.Open<TgxInplaceEdit>(2, column);
        ASSERT_NE(editor, nullptr) << column;
        auto* check = dynamic_cast<TgxInplaceCheckEdit*>(editor);
        EXPECT_EQ(check != nullptr ? check->GetCheckColor() : editor->GetColor(), ui::clAqua);
        ASSERT_FALSE(asked.empty()) << column;
        EXPECT_EQ(asked.back().first, g.grid->GetFocusedNode());
        EXPECT_EQ(asked.back().second, g.grid->GetColumn(column));
        g.Close();
    }
}

TEST(CheckEditor, ReadOnlyIgnoresSpaceAndReleaseOutsideDoesNotToggle) {
    EditorGrid g;
    auto* col = g.Add<TgxDBGridCheckColumn>("SendRights");
    g.Bind();
    int toggles = 0;
    col->OnToggleClick = [&](TgxDBTreeListColumn*, const std::string&, TgxCheckBoxState s) {
        ++toggles;
        EXPECT_EQ(s, cbsUnchecked);
    };
    auto* editor = g.Open<TgxInplaceCheckEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->resize(40, 18);
    // Pressed inside, released outside: nothing.
    QTest::mousePress(editor, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QMouseEvent move(QEvent::MouseMove, QPointF(80, 40), QPointF(80, 40), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(editor, &move);
    EXPECT_FALSE(editor->Pressed());
    QTest::mouseRelease(editor, Qt::LeftButton, Qt::NoModifier, QPoint(80, 40));
    EXPECT_EQ(editor->Text(), "True");
    Click(editor, QPoint(5, 5));
    EXPECT_EQ(editor->Text(), "False");
    EXPECT_EQ(toggles, 1);
    g.grid->CloseEditor(true);
    g.db.Table().Cancel();
    col->SetReadOnly(true);
    editor = g.Open<TgxInplaceCheckEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyPress(editor, Qt::Key_Space);
    QTest::keyRelease(editor, Qt::Key_Space);
    Click(editor, QPoint(5, 5));
    EXPECT_EQ(editor->Text(), "True");
    EXPECT_EQ(toggles, 1);
}

TEST(CheckColumn, DisplayTextsReplaceTheStoredText) {
    EditorGrid g;
    auto* col = g.Add<TgxDBGridCheckColumn>("SendRights");
    col->SetDisplayChecked("Yes");
    g.Bind();
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(1)), 0), "Yes");
    EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(2)), 0), "False");
    EXPECT_EQ(g.db.ReadBack(1, "SendRights"), "True");
}

struct SpinGrid : EditorGrid {
    ui::ManualUiClock* clock;
    std::unique_ptr<ui::UiClock> previous;
    TgxDBGridSpinColumn* bounces;
    TgxDBGridSpinColumn* amount;
    SpinGrid() {
        auto c = std::make_unique<ui::ManualUiClock>();
        clock = c.get();
        previous = ui::SetClock(std::move(c));
        bounces = Add<TgxDBGridSpinColumn>("Bounces");
        amount = Add<TgxDBGridSpinColumn>("Amount");
        Bind();
    }
    ~SpinGrid() { ui::SetClock(std::move(previous)); }
    QPoint UpButton(TgxInplaceSpinEdit* e) {
        ui::Rect r;
        e->GetButtonRect(r);
        return QPoint(r.left + 2, r.top + 1);
    }
    QPoint DownButton(TgxInplaceSpinEdit* e) {
        ui::Rect r;
        e->GetButtonRect(r);
        return QPoint(r.left + 2, r.bottom - 2);
    }
};

TEST(SpinEditor, StepsClampsAndPosts) {
    SpinGrid g;
    g.bounces->SetMinValue(0);
    g.bounces->SetMaxValue(6);
    auto* editor = g.Open<TgxInplaceSpinEdit>(5, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->CurrentText(), "5");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Up);
    EXPECT_EQ(editor->CurrentText(), "6");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Up);
    EXPECT_EQ(editor->CurrentText(), "6");
    // A typed value beyond the limit is clamped when it leaves the cell.
    editor->SetCurrentText("-3");
    g.Close();
    EXPECT_EQ(g.db.ReadBack(5, "Bounces"), "0");

    // Unlimited (min = max): a huge value is kept in range of the integer text.
    g.bounces->SetMaxValue(0);
    g.bounces->SetMinValue(0);
    editor = g.Open<TgxInplaceSpinEdit>(5, 0);
    editor->SetCurrentText("-7");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Down);
    EXPECT_EQ(editor->CurrentText(), "-8");
    editor->SetValue(1e30);
    EXPECT_EQ(editor->CurrentText(), "9200000000000000000");

    int beeps = ui::BeepCount();
    editor->SetCurrentText("");
    QTest::keyClicks(EditorGrid::Keys(editor), "1x.");
    EXPECT_EQ(editor->CurrentText(), "1");
    EXPECT_EQ(ui::BeepCount(), beeps + 2);
}

TEST(SpinEditor, FloatColumnStepsInFifteenDigits) {
    SpinGrid g;
    g.amount->SetIncrement(0.1);
    auto* editor = g.Open<TgxInplaceSpinEdit>(1, 1);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->ValueType(), 1);
    editor->SetCurrentText("0.2");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Up);
    EXPECT_EQ(editor->CurrentText(), "0.3");
    QTest::keyClicks(EditorGrid::Keys(editor), "");
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Amount"), "0.3");
}

TEST(SpinEditor, HeldButtonRepeatsAfter400ThenEvery100Milliseconds) {
    SpinGrid g;
    auto* editor = g.Open<TgxInplaceSpinEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->SetCurrentText("0");
    QTest::mousePress(editor, Qt::LeftButton, Qt::NoModifier, g.UpButton(editor));
    EXPECT_EQ(editor->CurrentText(), "1");
    g.clock->Advance(399);
    EXPECT_EQ(editor->CurrentText(), "1");
    g.clock->Advance(1);
    EXPECT_EQ(editor->CurrentText(), "2");
    g.clock->Advance(600);  // one second in all
    EXPECT_EQ(editor->CurrentText(), "8");
    // Dragging onto the down button does not press it.
    QMouseEvent move(QEvent::MouseMove, QPointF(g.DownButton(editor)),
                     QPointF(editor->mapToGlobal(g.DownButton(editor))), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(editor, &move);
    EXPECT_FALSE(editor->DownPressed());
    EXPECT_FALSE(editor->UpPressed());
    g.clock->Advance(300);
    EXPECT_EQ(editor->CurrentText(), "8");  // off its button the held half makes no steps
    QMouseEvent back(QEvent::MouseMove, QPointF(g.UpButton(editor)),
                     QPointF(editor->mapToGlobal(g.UpButton(editor))), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(editor, &back);
    EXPECT_TRUE(editor->UpPressed());
    g.clock->Advance(300);
    EXPECT_EQ(editor->CurrentText(), "11");
    QTest::mouseRelease(editor, Qt::LeftButton, Qt::NoModifier, g.DownButton(editor));
    g.clock->Advance(1000);
    EXPECT_EQ(editor->CurrentText(), "11");
    EXPECT_EQ(g.clock->RunningTimers(), 0);
}

TEST(SpinEditor, CtrlIncrementLeavesUpToTheGrid) {
    SpinGrid g;
    g.bounces->SetUseCtrlIncrement(true);
    auto* editor = g.Open<TgxInplaceSpinEdit>(3, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(editor->CurrentText(), "4");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Up);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(3, "Bounces"), "4");
}

TEST(TimeAndCurrencyEditors, ATypedTimeWithZerosIsStoredAsTyped) {
    EditorGrid g;
    g.Add<TgxDBGridTimeColumn>("Stamp");
    g.Bind();
    auto* time = g.Open<TgxInplaceTimeEdit>(1, 0);
    ASSERT_NE(time, nullptr);
    time->LineEdit().selectAll();
    QTest::keyClicks(EditorGrid::Keys(time), "090500");
    EXPECT_EQ(time->LineEdit().text().toStdString(), "09:05:00");
    EXPECT_EQ(time->CurrentText(), "09:05:00");
    g.Close();
    EXPECT_FALSE(time->isVisible());
    const db::TDateTime stamp = db::StrToDateTime(g.db.ReadBack(1, "Stamp"), db::FormatSettings());
    EXPECT_EQ(db::FormatDateTime("hh:nn:ss", stamp, db::FormatSettings()), "09:05:00");
}

TEST(TimeAndCurrencyEditors, ATimeTypedIntoAnEmptyCellIsStoredWithTheZerosItShows) {
    EditorGrid g;
    g.Add<TgxDBGridTimeColumn>("Stamp");
    g.Bind();
    g.db.Table().Locate("Index", 1, {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Stamp")->Clear();
    g.db.Table().Post();
    g.grid->ReloadAll();
    auto* time = g.Open<TgxInplaceTimeEdit>(1, 0);
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->LineEdit().text().toStdString(), "00:00:00");
    QTest::keyClicks(EditorGrid::Keys(time), "1230");
    EXPECT_EQ(time->LineEdit().text().toStdString(), "12:30:00");
    const std::size_t asked = g.prompts->Asked().size();
    QTest::keyClick(EditorGrid::Keys(time), Qt::Key_Return);
    EXPECT_EQ(g.prompts->Asked().size(), asked);
    EXPECT_FALSE(time->isVisible());
    g.Close();
    db::TDateTime stamp;
    ASSERT_TRUE(db::TryStrToDateTime(g.db.ReadBack(1, "Stamp"), stamp, db::FormatSettings()));
    EXPECT_EQ(db::FormatDateTime("hh:nn:ss", stamp, db::FormatSettings()), "12:30:00");
}

TEST(TimeAndCurrencyEditors, ClipboardKeysChangeOnlyCellsThatMayChangeAndOnlyToNumbers) {
    struct Case {
        bool editor_enabled, read_only;
    };
    for (const Case& c : {Case{false, false}, Case{true, true}}) {
        EditorGrid g;
        auto* spin = g.Add<TgxDBGridSpinColumn>("Bounces");
        auto* money = g.Add<TgxDBGridCurrencyColumn>("Amount");
        spin->SetEditorEnabled(c.editor_enabled);
        spin->SetReadOnly(c.read_only);
        money->SetReadOnly(c.read_only);
        g.Bind();
        QGuiApplication::clipboard()->setText("77");
        auto* editor = g.Open<TgxInplaceSpinEdit>(3, 0);
        ASSERT_NE(editor, nullptr);
        for (auto [key, modifiers] : {std::pair{Qt::Key_Insert, Qt::ShiftModifier},
                                      {Qt::Key_V, Qt::ControlModifier},
                                      {Qt::Key_Delete, Qt::ShiftModifier},
                                      {Qt::Key_X, Qt::ControlModifier}}) {
            editor->LineEdit().selectAll();
            QTest::keyClick(EditorGrid::Keys(editor), key, modifiers);
            EXPECT_EQ(editor->CurrentText(), "3") << key << " " << c.read_only;
        }
        g.Close();
        EXPECT_EQ(g.db.ReadBack(3, "Bounces"), "3");
        if (!c.read_only)
            continue;
        auto* currency = g.Open<TgxInplaceCurrencyEdit>(3, 1);
        ASSERT_NE(currency, nullptr);
        for (auto [key, modifiers] :
             {std::pair{Qt::Key_Insert, Qt::ShiftModifier}, {Qt::Key_V, Qt::ControlModifier}}) {
            currency->LineEdit().selectAll();
            QTest::keyClick(EditorGrid::Keys(currency), key, modifiers);
            EXPECT_EQ(currency->LineEdit().text().toStdString(), "4.5") << key;
        }
        g.Close();
    }
    // Shift+Insert, as Ctrl+V, takes no text that is no number.
    EditorGrid g;
    g.Add<TgxDBGridCurrencyColumn>("Amount");
    g.Bind();
    auto* currency = g.Open<TgxInplaceCurrencyEdit>(3, 0);
    ASSERT_NE(currency, nullptr);
    QGuiApplication::clipboard()->setText("abc");
    currency->LineEdit().selectAll();
    QTest::keyClick(EditorGrid::Keys(currency), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(currency->LineEdit().text().toStdString(), "4.5");
    QGuiApplication::clipboard()->setText("12.25");
    currency->LineEdit().selectAll();
    QTest::keyClick(EditorGrid::Keys(currency), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(currency->LineEdit().text().toStdString(), "12.25");
    g.Close();
    EXPECT_EQ(g.db.ReadBack(3, "Amount"), "12.25");
}

TEST(TimeAndCurrencyEditors, RefuseCharactersOutOfRange) {
    EditorGrid g;
    g.Add<TgxDBGridTimeColumn>("Stamp");
    auto* money = g.Add<TgxDBGridCurrencyColumn>("Amount");
    g.Bind();
    auto* time = g.Open<TgxInplaceTimeEdit>(1, 0);
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->LineEdit().text().toStdString(), "10:30:00");
    time->LineEdit().setCursorPosition(0);
    EXPECT_FALSE(time->IsValidChar(U'3'));
    EXPECT_TRUE(time->IsValidChar(U'2'));
    time->LineEdit().setText("20:00:00");
    time->LineEdit().setCursorPosition(1);
    EXPECT_FALSE(time->IsValidChar(U'4'));
    time->LineEdit().setCursorPosition(3);
    EXPECT_FALSE(time->IsValidChar(U'6'));
    // Up steps the section at the caret.
    time->LineEdit().setText("10:30:00");
    time->LineEdit().setCursorPosition(3);
    QTest::keyClick(EditorGrid::Keys(time), Qt::Key_Up);
    EXPECT_EQ(time->LineEdit().text().toStdString(), "10:31:00");
    g.Close();
    const db::TDateTime stamp = db::StrToDateTime(g.db.ReadBack(1, "Stamp"), db::FormatSettings());
    EXPECT_EQ(db::FormatDateTime("yyyy-mm-dd hh:nn", stamp, db::FormatSettings()),
              "2001-03-01 10:31");

    money->SetMaxValue(100);
    auto* currency = g.Open<TgxInplaceCurrencyEdit>(2, 1);
    ASSERT_NE(currency, nullptr);
    currency->LineEdit().clear();
    QTest::keyClicks(EditorGrid::Keys(currency), "12,345");
    EXPECT_EQ(currency->LineEdit().text().toStdString(), "12.34");
    currency->LineEdit().setText("250");
    currency->LineEdit().setModified(true);
    emit currency->LineEdit().textEdited("250");
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Amount"), "100");
}

struct DateGrid : EditorGrid {
    TgxDBGridDateColumn* joined;
    TgxDBGridDateColumn* stamp;
    db::TFormatSettings saved = db::FormatSettings();
    int saved_first = CalendarFirstWeekDay();
    DateGrid() {
        db::FormatSettings().ShortDateFormat = "d/M/yy";
        db::FormatSettings().DateSeparator = '/';
        CalendarFirstWeekDay() = 1;
        joined = Add<TgxDBGridDateColumn>("Joined");
        stamp = Add<TgxDBGridDateColumn>("Stamp");
        Bind();
    }
    ~DateGrid() {
        db::FormatSettings() = saved;
        CalendarFirstWeekDay() = saved_first;
    }
};

TEST(DateEditor, MaskShowsPaddedDateAndPicksWriteTheMaskText) {
    DateGrid g;
    g.joined->SetUseEditMask(true);
    auto* editor = g.Open<TgxInplaceDateEdit>(5, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->GetEditMask(), "!99/99/99;1; ");
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "05/03/01");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_F4);
    ASSERT_NE(editor->DatePopup(), nullptr);
    EXPECT_TRUE(editor->PopupShown());
    TgxGridDatePopup* popup = editor->DatePopup();
    EXPECT_EQ(popup->GetSelStart(), db::EncodeDate(2001, 3, 5));
    EXPECT_TRUE(popup->ShowClear);
    // Keys reach the calendar while the focus stays in the editor.
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_PageDown);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Right);
    EXPECT_EQ(popup->GetSelStart(), db::EncodeDate(2001, 4, 6));
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return);
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "06/04/01");
    g.Close();
    EXPECT_EQ(db::FormatDateTime(
                  "yyyy-mm-dd", db::StrToDateTime(g.db.ReadBack(5, "Joined"), db::FormatSettings()),
                  db::FormatSettings()),
              "2001-04-06");
}

TEST(DateEditor, SaveTimeKeepsTheTimeOfDay) {
    for (bool save_time : {true, false}) {
        DateGrid g;
        g.stamp->SetSaveTime(save_time);
        auto* editor = g.Open<TgxInplaceDateEdit>(2, 1);
        ASSERT_NE(editor, nullptr);
        EXPECT_EQ(editor->LineEdit().text().toStdString(), "02/03/01 10:30:00");
        editor->DropDown();
        editor->DatePopup()->SetSelStart(db::EncodeDate(2001, 7, 9));
        editor->CloseUp(true);
        g.Close();
        const db::TDateTime stored =
            db::StrToDateTime(g.db.ReadBack(2, "Stamp"), db::FormatSettings());
        EXPECT_EQ(db::FormatDateTime("yyyy-mm-dd hh:nn", stored, db::FormatSettings()),
                  save_time ? "2001-07-09 10:30" : "2001-07-09 00:00");
    }
}

TEST(DateEditor, InvalidDateKeepsTheEditorOpenOrFallsBack) {
    struct Case {
        bool validation;
        TgxDateOnError on_error;
        bool refused;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {false, deNull, false, ""},
        {true, deNull, true, "2001-03-03"},
    };
    for (const Case& c : cases) {
        DateGrid g;
        g.joined->SetDateValidation(c.validation);
        g.joined->SetDateOnError(c.on_error);
        auto* editor = g.Open<TgxInplaceDateEdit>(3, 0);
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().selectAll();
        QTest::keyClicks(EditorGrid::Keys(editor), "31/02/01");
        const std::size_t asked = g.prompts->Asked().size();
        const bool passed = editor->ValidateEdit();
        EXPECT_EQ(passed, !c.refused);
        if (c.refused) {
            ASSERT_EQ(g.prompts->Asked().size(), asked + 1);
            EXPECT_EQ(g.prompts->Asked().back().text, "Invalid Date");
            // Escape restores the cell's text and nothing is written.
            QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Escape);
            g.grid->CancelEditor();
            g.db.Table().Cancel();
        } else {
            EXPECT_EQ(editor->LineEdit().text().toStdString(), "");
            g.Close();
        }
        const std::string stored = g.db.ReadBack(3, "Joined");
        EXPECT_EQ(
            stored.empty()
                ? std::string()
                : db::FormatDateTime("yyyy-mm-dd", db::StrToDateTime(stored, db::FormatSettings()),
                                     db::FormatSettings()),
            c.stored);
    }
}

TEST(DateEditor, RequiredFieldHasNoClearButtonAndPopupStaysOnScreen) {
    DateGrid g;
    g.db.Table().FieldByName("Joined")->SetRequired(true);
    auto* editor = g.Open<TgxInplaceDateEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->DropDown();
    TgxGridDatePopup* popup = editor->DatePopup();
    EXPECT_FALSE(popup->ShowClear);
    EXPECT_TRUE(popup->ShowToday);
    const QRect area = popup->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(popup->frameGeometry()));
    QImage shot = popup->grab().toImage();
    shot.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/date_popup.png");
    editor->CloseUp(false);
}

TEST(DatePopup, ArrowRepeatsEvery170MillisecondsAndMonthListScrolls) {
    auto clock_owner = std::make_unique<ui::ManualUiClock>();
    ui::ManualUiClock* clock = clock_owner.get();
    auto previous = ui::SetClock(std::move(clock_owner));
    {
        TgxGridDatePopup popup;
        popup.SetFirstDate(db::EncodeDate(2026, 3, 1));
        popup.SetSelStart(db::EncodeDate(2026, 3, 10));
        popup.show();
        const QPoint left = popup.LeftArrowRect().center() + QPoint(1, 1);
        QTest::mousePress(&popup, Qt::LeftButton, Qt::NoModifier, left);
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2026, 2, 1));
        clock->Advance(170 * 3);
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2025, 11, 1));
        QTest::mouseRelease(&popup, Qt::LeftButton, Qt::NoModifier, left);
        clock->Advance(1000);
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2025, 11, 1));

        // The month list: 30 pixels above scrolls every 100 ms; a release off the rows
        // keeps the shown month.
        const QPoint title = popup.TitleRect().center() + QPoint(1, 1);
        QTest::mousePress(&popup, Qt::LeftButton, Qt::NoModifier, title);
        ASSERT_NE(popup.MonthList(), nullptr);
        TAMonthListBox* list = popup.MonthList();
        EXPECT_EQ(list->TopDate, db::EncodeDate(2025, 8, 1));
        list->Track(QPoint(5, -30));
        EXPECT_EQ(list->ScrollInterval(), 100);
        clock->Advance(300);
        EXPECT_EQ(list->TopDate, db::EncodeDate(2025, 5, 1));
        list->Track(QPoint(5, -2));
        EXPECT_EQ(list->ScrollInterval(), 500);
        list->Track(QPoint(5, -60));
        EXPECT_EQ(list->ScrollInterval(), 50);
        list->Track(QPoint(5, list->height() + 15));
        EXPECT_EQ(list->ScrollInterval(), 250);
        QTest::mouseRelease(&popup, Qt::LeftButton, Qt::NoModifier, QPoint(-50, -50));
        EXPECT_EQ(popup.MonthList(), nullptr);
        EXPECT_EQ(popup.FirstDate(), db::EncodeDate(2025, 11, 1));
    }
    ui::SetClock(std::move(previous));
}

TEST(DatePopup, TodayAndClearButtons) {
    TgxGridDatePopup popup;
    popup.ShowClear = true;
    popup.UpdateSize();
    popup.SetSelStart(db::EncodeDate(2020, 1, 1));
    popup.show();
    std::vector<double> picked;
    popup.OnDateSelected = [&](TgxGridDatePopup* p) { picked.push_back(p->GetSelStart().Value); };
    // Clear pressed, moved off and released outside selects nothing.
    const QPoint clear = popup.ClearButtonRect().center() + QPoint(1, 1);
    QTest::mousePress(&popup, Qt::LeftButton, Qt::NoModifier, clear);
    QMouseEvent move(QEvent::MouseMove, QPointF(-20, -20), QPointF(-20, -20), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&popup, &move);
    QTest::mouseRelease(&popup, Qt::LeftButton, Qt::NoModifier, QPoint(-20, -20));
    EXPECT_TRUE(picked.empty());
    EXPECT_EQ(popup.GetSelStart(), db::EncodeDate(2020, 1, 1));
    const QPoint today = popup.TodayButtonRect().center() + QPoint(1, 1);
    Click(&popup, today);
    ASSERT_EQ(picked.size(), 1u);
    EXPECT_EQ(picked[0], db::Date().Value);
    EXPECT_FALSE(popup.isVisible());
}

TEST(DateEditor, TheCalendarsLastDayStepsShowsItsMonthAndPostsWithoutAnError) {
    EditorGrid g;
    g.Add<TgxDBGridDateColumn>("Joined");
    g.Bind();
    g.db.Table().Locate("Index", 1, {});
    g.db.Table().Edit();
    g.db.Table().FieldByName("Joined")->SetAsDateTime(db::EncodeDate(9999, 12, 31));
    g.db.Table().Post();
    g.grid->ReloadAll();
    const std::string stored = g.db.ReadBack(1, "Joined");
    auto* editor = g.Open<TgxInplaceDateEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_F4);
    TgxGridDatePopup* popup = editor->DatePopup();
    ASSERT_NE(popup, nullptr);
    ASSERT_TRUE(popup->isVisible());
    const std::size_t asked = g.prompts->Asked().size();
    // The calendar takes the editor's keys while it is open.
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Left);
    EXPECT_EQ(popup->GetSelStart(), db::EncodeDate(9999, 12, 30));
    for (auto key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_Down, Qt::Key_PageDown, Qt::Key_End})
        QTest::keyClick(EditorGrid::Keys(editor), key);
    EXPECT_EQ(popup->GetSelStart(), db::EncodeDate(9999, 12, 31));
    // The right arrow and the month list stop at the last month; its cells beyond the
    // calendar stay empty.
    QTest::mouseClick(popup, Qt::LeftButton, Qt::NoModifier,
                      popup->RightArrowRect().center() + QPoint(1, 1));
    EXPECT_EQ(popup->FirstDate(), db::EncodeDate(9999, 12, 1));
    QTest::mousePress(popup, Qt::LeftButton, Qt::NoModifier,
                      popup->TitleRect().center() + QPoint(1, 1));
    ASSERT_NE(popup->MonthList(), nullptr);
    EXPECT_EQ(popup->MonthList()->TopDate, db::EncodeDate(9999, 6, 1));
    popup->MonthList()->Track(QPoint(5, popup->MonthList()->height() + 30));
    QTest::qWait(300);
    EXPECT_EQ(popup->MonthList()->TopDate, db::EncodeDate(9999, 6, 1));
    popup->MonthList()->grab();
    QTest::mouseRelease(popup, Qt::LeftButton, Qt::NoModifier, QPoint(-50, -50));
    popup->grab().toImage().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/date_popup_9999.png");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return);
    EXPECT_FALSE(popup->isVisible());
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Joined"), stored);
    EXPECT_EQ(g.prompts->Asked().size(), asked);

    // At the first day the left arrow and the keys stop likewise.
    TgxGridDatePopup first;
    first.SetSelStart(db::EncodeDate(1, 1, 3));
    EXPECT_EQ(first.FirstDate(), db::EncodeDate(1, 1, 1));
    first.show();
    for (std::uint16_t key :
         {ui::VK_LEFT, ui::VK_LEFT, ui::VK_LEFT, ui::VK_UP, ui::VK_PRIOR, ui::VK_HOME})
        first.PopupKeyDown(key, 0);
    EXPECT_EQ(first.GetSelStart(), db::EncodeDate(1, 1, 1));
    QTest::mouseClick(&first, Qt::LeftButton, Qt::NoModifier,
                      first.LeftArrowRect().center() + QPoint(1, 1));
    EXPECT_EQ(first.FirstDate(), db::EncodeDate(1, 1, 1));
    EXPECT_EQ(g.prompts->Asked().size(), asked);
}

TEST(MemoEditor, EnterStartsALineAndTheCellShowsTheFirstCharacters) {
    EditorGrid g;
    auto* notes = g.Add<TgxDBGridMemoColumn>("Notes");
    g.Bind();
    auto* editor = g.Open<TgxInplaceMemoEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    editor->Memo().moveCursor(QTextCursor::End);
    QTest::keyClick(&editor->Memo(), Qt::Key_Return);
    QTest::keyClicks(&editor->Memo(), "second");
    EXPECT_TRUE(g.grid->IsEditing());
    EXPECT_EQ(editor->Memo().toPlainText().toStdString(), "note 1\nsecond");
    // Ctrl+Enter goes to the grid, which ends editing and posts.
    QTest::keyClick(&editor->Memo(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(g.grid->IsEditing());
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Notes"), "note 1\nsecond");
    // Escape restores the cell's text.
    editor = g.Open<TgxInplaceMemoEdit>(3, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(&editor->Memo(), "junk");
    QTest::keyClick(&editor->Memo(), Qt::Key_Escape);
    EXPECT_EQ(editor->Memo().toPlainText().toStdString(), "note 3");

    struct Case {
        int max;
        std::size_t shown;
    };
    for (const Case& c : {Case{255, 255}, Case{0, 0}, Case{-1, 1000}}) {
        notes->SetMaxDisplayLength(c.max);
        g.grid->ReloadAll();
        EXPECT_EQ(g.grid->GetCellText(g.grid->FindNodeByKeyValue(db::Variant(2)), 0).size(),
                  c.shown)
            << c.max;
    }
    EXPECT_EQ(FirstCharacters("äöü", 2), "äö");
}

TEST(MaskColumn, ColumnMaskWinsOverTheFieldMask) {
    EditorGrid g;
    auto* item = g.Add<TgxDBGridMaskColumn>("Bounces");
    g.db.Table().FieldByName("Bounces")->SetEditMask("99;0;_");
    g.Bind();
    auto* editor = g.Open<TgxInplaceMaskEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->GetEditMask(), "99;0;_");
    g.grid->CancelEditor();
    item->SetEditMask("999;0;_");
    editor = g.Open<TgxInplaceMaskEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->GetEditMask(), "999;0;_");
    editor->LineEdit().selectAll();
    QTest::keyClicks(EditorGrid::Keys(editor), "12a3");
    g.Close();
    EXPECT_EQ(g.db.ReadBack(1, "Bounces"), "123");
}

TEST(MaskColumn, ShiftInsertAndShiftDeletePasteAndCutThroughTheMask) {
    EditorGrid g;
    auto* phone = g.Add<TgxDBGridMaskColumn>("Item");
    phone->SetEditMask("(999) 000-0000;0;_");
    g.Add<TgxDBGridTimeColumn>("Stamp");
    g.Bind();
    auto* editor = g.Open<TgxInplaceMaskEdit>(2, 0);
    ASSERT_NE(editor, nullptr);
    QGuiApplication::clipboard()->setText("5551234567");
    editor->LineEdit().selectAll();
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "(555) 123-4567");
    // A cut or a word deletion keeps the literals.
    editor->LineEdit().setSelection(6, 3);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Delete, Qt::ShiftModifier);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "(555) ___-4567");
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "123");
    editor->LineEdit().setCursorPosition(10);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "(555) ___-_567");
    EXPECT_FALSE(editor->LineEdit().acceptDrops());
    QGuiApplication::clipboard()->setText("1239");
    editor->LineEdit().setSelection(6, 5);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "(555) 123-9567");
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return);
    g.Close();
    EXPECT_EQ(g.db.ReadBack(2, "Item"), "5551239567");

    // Letters pasted into a time keep it a time.
    auto* time = g.Open<TgxInplaceTimeEdit>(2, 1);
    ASSERT_NE(time, nullptr);
    QGuiApplication::clipboard()->setText("abc");
    time->LineEdit().selectAll();
    QTest::keyClick(EditorGrid::Keys(time), Qt::Key_Insert, Qt::ShiftModifier);
    EXPECT_EQ(time->LineEdit().text().size(), 8);
    EXPECT_EQ(time->LineEdit().text().mid(2, 1).toStdString(), ":");
    g.grid->CancelEditor();
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(ButtonEditor, ClickKeyFiresTheColumnEventOnceAndButtonOnlyMovesTheFocus) {
    EditorGrid g;
    auto* item = g.Add<TgxDBGridButtonColumn>("Item");
    g.Add<TgxDBGridColumn>("Bounces");
    int clicks = 0;
    item->OnEditButtonClick = [&](TgxDBTreeListColumn* sender) {
        EXPECT_EQ(sender, item);
        ++clicks;
    };
    g.Bind();
    auto* editor = g.Open<TgxInplaceButtonEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(EditorGrid::Keys(editor), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "user1@example.org");
    // A press and release on the button clicks; a release off it does not.
    ui::Rect b;
    editor->GetButtonRect(b);
    const QPoint on(b.left + 2, b.top + 2);
    QTest::mousePress(editor, Qt::LeftButton, Qt::NoModifier, on);
    QTest::mouseRelease(editor, Qt::LeftButton, Qt::NoModifier, on);
    EXPECT_EQ(clicks, 2);
    QTest::mousePress(editor, Qt::LeftButton, Qt::NoModifier, on);
    QMouseEvent off(QEvent::MouseMove, QPointF(2, 2), QPointF(2, 2), Qt::NoButton, Qt::LeftButton,
                    Qt::NoModifier);
    QCoreApplication::sendEvent(editor, &off);
    QTest::mouseRelease(editor, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    EXPECT_EQ(clicks, 2);
    g.grid->CancelEditor();

    item->SetButtonOnly(true);
    editor = g.Open<TgxInplaceButtonEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_TRUE(editor->ButtonOnly());
    QTest::keyClick(editor, Qt::Key_Right);
    EXPECT_EQ(g.grid->GetFocusedColumn(), 1);

    item->SetEditButtonStyle(ebsSimple);
    editor = g.Open<TgxInplaceButtonEdit>(1, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_FALSE(editor->ButtonOnly());  // a simple button-only column edits text
    EXPECT_TRUE(editor->IsTextEdit());
}

TEST(DropDownEditor, F4AndAltDownToggleAndEscapeClosesWithoutTakingTheValue) {
    DateGrid g;
    auto* editor = g.Open<TgxInplaceDateEdit>(4, 0);
    ASSERT_NE(editor, nullptr);
    QWidget* keys = EditorGrid::Keys(editor);
    QTest::keyClick(keys, Qt::Key_Down, Qt::AltModifier);
    EXPECT_TRUE(editor->PopupShown());
    QTest::keyClick(keys, Qt::Key_Right);
    QTest::keyClick(keys, Qt::Key_Escape);
    EXPECT_FALSE(editor->PopupShown());
    EXPECT_EQ(editor->LineEdit().text().toStdString(), "04/03/01");
    EXPECT_TRUE(g.grid->IsEditing());
    QTest::keyClick(keys, Qt::Key_F4);
    EXPECT_TRUE(editor->PopupShown());
    QTest::keyClick(keys, Qt::Key_F4);
    EXPECT_FALSE(editor->PopupShown());
}

}  // namespace
}  // namespace grid::testing
