// The grid in buffer mode over a real table: edits while another cursor changes the table
// underneath, an edit cancelled half-way, and posts the table refuses.

#include <gtest/gtest.h>

#include <QScrollBar>
#include <QTest>

#include <functional>

#include "grid/core/inplace_text_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/clock.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

// A table whose Index is typed in, so that a post can break its unique key.
struct KeyedBufferGrid : GridHarness {
    StrataList db{0};
    strata::TStrataTable* table = nullptr;
    db::ComponentPtr<db::TDataSource> source;
    std::vector<std::string> errors;

    explicit KeyedBufferGrid(bool load_all) : GridHarness(500, 200) {
        table = &db.NewTable();
        table->SetTableName("keyed.dat");
        table->FieldDefs()->Add("Index", db::ftInteger, 0, true);
        table->FieldDefs()->Add("Item", db::ftString, 40);
        table->IndexDefs().Add("", "Index", db::ixPrimary | db::ixUnique);
        table->CreateTable();
        table->Open();
        for (int i = 1; i <= 20; ++i) {
            table->Append();
            table->FieldByName("Index")->SetAsInteger(i);
            table->FieldByName("Item")->SetAsString("item" + std::to_string(i));
            table->Post();
        }
        table->First();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(table);
        Column("Index");
        Column("Item");
        grid->SetKeyField("Index");
        if (load_all)
            grid->SetOptions(grid->Options() | egoLoadAllRecords);
        grid->SetDataSource(source.get());
        ui::SetExceptionHandler([this](const std::string& m) { errors.push_back(m); });
        grid->setFocus();
    }
    ~KeyedBufferGrid() {
        ui::SetExceptionHandler(nullptr);
        grid->SetDataSource(nullptr);
    }

    TgxInplaceTextEdit* Editor() {
        auto* e = dynamic_cast<TgxInplaceTextEdit*>(grid->InplaceEditor());
        return e != nullptr && e->isVisible() ? e : nullptr;
    }
    // F2 on a column of the focused row, the old text typed over.
    void Type(int column, const std::string& text) {
        grid->SetFocusedColumn(column);
        QTest::keyClick(grid.get(), Qt::Key_F2);
        TgxInplaceTextEdit* e = Editor();
        ASSERT_NE(e, nullptr);
        e->LineEdit().selectAll();
        QTest::keyClicks(&e->LineEdit(), QString::fromStdString(text));
    }
    int CurrentIndex() { return table->FieldByName("Index")->AsInteger(); }
    std::string FocusedItem() { return grid->GetCellText(grid->GetFocusedNode(), 1); }
    QPoint RowPoint(int display_row) {
        TDrawInfo info;
        grid->CalcDrawInfo(info);
        const int h = grid->DefaultRowHeight();
        return {info.node_area.left + 60, info.node_area.top + display_row * h + h / 2};
    }
};

// The table refuses the post of an edited key; whichever way the user leaves the row, the
// focus stays on the row of the record still being edited, so that what is typed next goes
// into the record the user sees it in.
TEST(DBGridBufferMode, ARefusedPostKeepsTheFocusOnTheRecordStillBeingEdited) {
    struct Case {
        const char* name;
        std::function<void(KeyedBufferGrid&)> leave;
    };
    const std::vector<Case> cases = {
        {"Down",
         [](KeyedBufferGrid& g) { QTest::keyClick(&g.Editor()->LineEdit(), Qt::Key_Down); }},
        {"Up", [](KeyedBufferGrid& g) { QTest::keyClick(&g.Editor()->LineEdit(), Qt::Key_Up); }},
        {"click",
         [](KeyedBufferGrid& g) {
             QTest::mouseClick(g.grid->viewport(), Qt::LeftButton, {}, g.RowPoint(7));
         }},
    };
    for (bool load_all : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (load_all ? ", load all" : ", buffer"));
            KeyedBufferGrid g(load_all);
            ASSERT_EQ(g.grid->IsBufferMode(), !load_all);
            ASSERT_TRUE(g.table->Locate("Index", 5, {}));
            ASSERT_EQ(g.FocusedItem(), "item5");
            g.Type(0, "7");
            c.leave(g);
            ASSERT_EQ(g.errors.size(), 1u);
            EXPECT_NE(g.errors[0].find("Duplicate key"), std::string::npos) << g.errors[0];
            ASSERT_EQ(g.table->State(), db::dsEdit);
            EXPECT_EQ(g.FocusedItem(), "item5");
            // The next edit starts from the record of the row the focus shows.
            g.grid->SetFocusedColumn(1);
            QTest::keyClick(g.grid.get(), Qt::Key_F2);
            ASSERT_NE(g.Editor(), nullptr);
            EXPECT_EQ(g.Editor()->LineEdit().text().toStdString(), "item5");
            QTest::keyClicks(&g.Editor()->LineEdit(), "typed");
            // Escape twice: the editor's text, then the record's changes.
            QTest::keyClick(&g.Editor()->LineEdit(), Qt::Key_Escape);
            QTest::keyClick(g.grid.get(), Qt::Key_Escape);
            EXPECT_EQ(g.table->State(), db::dsBrowse);
            EXPECT_EQ(g.CurrentIndex(), 5);
            EXPECT_EQ(g.FocusedItem(), "item5");
            strata::TStrataTable& reader = g.db.NewTable();
            reader.SetTableName("keyed.dat");
            reader.Open();
            ASSERT_TRUE(reader.Locate("Index", 5, {}));
            EXPECT_EQ(reader.FieldByName("Item")->AsString(), "item5");
            EXPECT_EQ(reader.RecordCount(), 20);
        }
    }
}

// Another cursor inserts, deletes and refreshes while a cell of record 10 is being edited;
// a change of record 10 itself is refused while the grid holds it. The typed text lands in
// record 10 and nowhere else.
TEST(DBGridBufferMode, AnEditLandsInItsRecordWhileAnotherCursorChangesTheTable) {
    struct Case {
        const char* name;
        std::function<void(strata::TStrataTable& table, strata::TStrataTable& other)> change;
    };
    const std::vector<Case> cases = {
        {"inserts",
         [](strata::TStrataTable&, strata::TStrataTable& other) {
             for (int i = 0; i < 3; ++i) {
                 other.Append();
                 other.FieldByName("Item")->SetAsString("new" + std::to_string(i));
                 other.Post();
             }
         }},
        {"deletes above",
         [](strata::TStrataTable&, strata::TStrataTable& other) {
             ASSERT_TRUE(other.Locate("Index", 3, {}));
             other.Delete();
         }},
        {"changes the same record",
         [](strata::TStrataTable&, strata::TStrataTable& other) {
             ASSERT_TRUE(other.Locate("Index", 10, {}));
             EXPECT_THROW(other.Delete(), db::Exception);
             EXPECT_THROW(
                 {
                     other.Edit();
                     other.FieldByName("Item")->SetAsString("other@x");
                     other.Post();
                 },
                 db::Exception);
             other.Cancel();
         }},
        {"refresh",
         [](strata::TStrataTable& table, strata::TStrataTable& other) {
             ASSERT_TRUE(other.Locate("Index", 4, {}));
             other.Delete();
             table.Refresh();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GridHarness h(500, 200);
        StrataList db(30);
        h.Column("Index");
        h.Column("Item");
        h.grid->SetKeyField("Index");
        h.grid->SetDataSource(db.source.get());
        ASSERT_TRUE(h.grid->IsBufferMode());
        std::vector<std::string> errors;
        ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
        h.grid->setFocus();
        strata::TStrataTable& table = db.Table();
        ASSERT_TRUE(table.Locate("Index", 10, {}));
        h.grid->SetFocusedColumn(1);
        QTest::keyClick(h.grid.get(), Qt::Key_F2);
        auto* editor = dynamic_cast<TgxInplaceTextEdit*>(h.grid->InplaceEditor());
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().selectAll();
        QTest::keyClicks(&editor->LineEdit(), "typed@example.org");
        strata::TStrataTable& other = db.NewTable();
        other.Open();
        c.change(table, other);
        if (h.grid->InplaceEditor() != nullptr && h.grid->InplaceEditor()->isVisible())
            QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
        else
            QTest::keyClick(h.grid.get(), Qt::Key_Down);
        ui::SetExceptionHandler(nullptr);
        EXPECT_TRUE(errors.empty()) << errors.front();
        EXPECT_EQ(table.State(), db::dsBrowse);
        other.Close();
        other.Open();
        for (other.First(); !other.Eof(); other.Next()) {
            const int key = other.FieldByName("Index")->AsInteger();
            const std::string item = other.FieldByName("Item")->AsString();
            if (key == 10) {
                EXPECT_EQ(item, "typed@example.org");
            } else if (key <= 30) {
                EXPECT_EQ(item, "user" + std::to_string(key) + "@example.org");
            }
        }
        EXPECT_EQ(h.grid->GetCellText(h.grid->GetFocusedNode(), 0),
                  table.FieldByName("Index")->AsString());
        h.grid->SetDataSource(nullptr);
    }
}

// In buffer mode the rows are the dataset's buffer and the scroll bar stands for its
// records. Pan scrolling moved the rows instead, which cannot pass the buffer, and an arrow
// of the bar scrolled the first row out of sight, the focused record's among them.
TEST(DBGridBufferMode, PanScrollingAndTheScrollArrowsMoveThroughTheRecords) {
    auto manual = std::make_unique<ui::ManualUiClock>();
    ui::ManualUiClock* clock = manual.get();
    auto previous = ui::SetClock(std::move(manual));
    {
        GridHarness h(400, 150);
        StrataList db(500);
        h.Column("Index");
        h.Column("Item");
        h.grid->SetKeyField("Index");
        h.grid->SetScrollBars(ssVertical);
        h.grid->SetOptions(h.grid->Options() | egoRowSelect);
        h.grid->SetOptionsEx(h.grid->OptionsEx() | egoMouseScroll);
        h.grid->SetDataSource(db.source.get());
        ASSERT_TRUE(h.grid->IsBufferMode());
        QWidget* vp = h.grid->viewport();
        const auto focused_key = [&] { return h.grid->GetCellText(h.grid->GetFocusedNode(), 0); };
        const auto current_key = [&] { return db.Table().FieldByName("Index")->AsString(); };
        const QPoint start(100, 70);
        const auto pan_to = [&](QPoint p) {
            QMouseEvent move(QEvent::MouseMove, p, vp->mapToGlobal(p), Qt::NoButton, Qt::NoButton,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(vp, &move);
        };
        QTest::mousePress(vp, Qt::MiddleButton, {}, start);
        ASSERT_TRUE(h.grid->IsPanScrolling());
        pan_to(start + QPoint(0, 200));
        clock->Advance(20 * 600);
        EXPECT_EQ(current_key(), "500");
        EXPECT_EQ(focused_key(), "500");
        pan_to(start - QPoint(0, 200));
        clock->Advance(20 * 600);
        EXPECT_EQ(current_key(), "1");
        EXPECT_EQ(focused_key(), "1");
        EXPECT_EQ(h.grid->GetTopIndex(), 0);
        QTest::keyClick(h.grid.get(), Qt::Key_Escape);
        EXPECT_FALSE(h.grid->IsPanScrolling());
        h.grid->grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/buffer_mode_after_pan.png");

        // The bar's arrows: a line down past the buffer and back up to the first record.
        QScrollBar* bar = h.grid->verticalScrollBar();
        const int rows = h.grid->Count();
        for (int i = 0; i < rows + 3; ++i)
            bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        EXPECT_GT(std::stoi(current_key()), rows);
        EXPECT_EQ(focused_key(), current_key());
        for (int i = 0; i < rows + 10; ++i)
            bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
        EXPECT_EQ(current_key(), "1");
        EXPECT_EQ(h.grid->GetTopIndex(), 0);
        EXPECT_EQ(h.grid->GetAbsoluteIndex(h.grid->GetFocusedNode()), 0);
        h.grid->SetDataSource(nullptr);
    }
    ui::SetClock(std::move(previous));
}

}  // namespace
}  // namespace grid::testing
