// Footer and group sums after the user edits a value in place and moves on, in a grid that
// loads every record and refreshes nothing by itself.

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

#include "grid/core/inplace_text_edit.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

// The statistics dialog's kind of grid over a real table, whose post on the way to another
// row comes while the grid moves the table.
struct SummedGrid : GridHarness {
    StrataList db{6};
    TgxDBTreeListColumn* category;
    TgxDBTreeListColumn* bounces;

    SummedGrid() {
        Column("Index");
        category = Column("Category");
        bounces = Column("Bounces");
        bounces->SetSummaryFooterType(cstSum);
        bounces->SetSummaryFooterField("Bounces");
        bounces->SetSummaryFooterFormat("0");
        grid->SetShowSummaryFooter(true);
        grid->SetKeyField("Index");
        grid->SetOptions(egoColumnSizing | egoEditing | egoTabThrough | egoCanNavigation |
                         egoCanInsert | egoLoadAllRecords | egoImmediateEditor);
        grid->SetDataSource(db.source.get());
        grid->setFocus();
    }

    // Types a new value into a record's cell and ends the edit by the key given.
    void Edit(int key, TgxDBTreeListColumn* column, const char* text, Qt::Key leave) {
        grid->SetFocusedNode(grid->FindNodeByKeyValue(db::Variant(key)));
        grid->SetFocusedColumn(column->GetIndex());
        QTest::keyClick(grid.get(), Qt::Key_F2);
        auto* editor = dynamic_cast<TgxInplaceTextEdit*>(grid->InplaceEditor());
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().selectAll();
        QTest::keyClicks(&editor->LineEdit(), text);
        QTest::keyClick(&editor->LineEdit(), leave);
    }

    int StoredSum() {
        strata::TStrataTable& t = db.Table();
        int sum = 0;
        t.DisableControls();
        const db::TBookmark back = t.Bookmark();
        for (t.First(); !t.Eof(); t.Next())
            sum += t.FieldByName("Bounces")->AsInteger();
        t.GotoBookmark(back);
        t.EnableControls();
        return sum;
    }
    void Focus(int key) { grid->SetFocusedNode(grid->FindNodeByKeyValue(db::Variant(key))); }
};

TEST(DBGridEditSummaries, SumsFollowAValueEditedInPlaceWhicheverWayTheRowIsLeft) {
    struct Case {
        const char* name;
        Qt::Key key;  // ends the edit
        std::function<void(SummedGrid&)> leave;
    };
    const std::vector<Case> cases = {
        {"down", Qt::Key_Down, [](SummedGrid&) {}},
        {"up", Qt::Key_Up, [](SummedGrid&) {}},
        {"enter, then a click on another row", Qt::Key_Return, [](SummedGrid& g) { g.Focus(5); }},
        {"enter, then ctrl+end", Qt::Key_Return,
         [](SummedGrid& g) { QTest::keyClick(g.grid.get(), Qt::Key_End, Qt::ControlModifier); }},
        {"enter, then the program posts", Qt::Key_Return,
         [](SummedGrid& g) { g.db.Table().Post(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SummedGrid g;
        ASSERT_EQ(g.grid->GetFooterText(g.bounces->GetIndex()), "6");
        g.Edit(3, g.bounces, "40", c.key);
        c.leave(g);
        ASSERT_EQ(g.db.Table().State(), db::dsBrowse);
        // Read before the table is walked for the check, which makes the grid read it again.
        const std::string footer = g.grid->GetFooterText(g.bounces->GetIndex());
        EXPECT_EQ(g.StoredSum(), 1 + 2 + 40 + 1 + 2 + 0);
        EXPECT_EQ(footer, std::to_string(g.StoredSum()));
    }
}

TEST(DBGridEditSummaries, GroupRowsFollowAValueEditedInPlace) {
    SummedGrid g;
    g.grid->SetOptionsEx(g.grid->OptionsEx() | egoNotHideColumn);
    g.category->SetSummaryType(cstCount);
    g.category->SetGroupIndex(0);
    for (int i = 0; i < g.grid->Count(); ++i)
        g.grid->Items(i)->Expand(true);
    // Record 2 is the only "music" entry; it moves to "news", and the user clicks record 6.
    g.Edit(2, g.category, "news", Qt::Key_Return);
    g.Focus(6);
    ASSERT_EQ(g.db.Table().State(), db::dsBrowse);
    std::vector<std::string> groups;
    for (int i = 0; i < g.grid->Count(); ++i)
        groups.push_back(g.grid->GetCellText(g.grid->Items(i), g.category->GetIndex()));
    EXPECT_EQ(groups, (std::vector<std::string>{"news (COUNT=2)", "sport (COUNT=2)",
                                                "tech (COUNT=1)", "travel (COUNT=1)"}));
    TgxDBGridNode* row = g.grid->FindNodeByKeyValue(db::Variant(2));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(row->Parent())->GroupValue().AsString(), "news");
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->GetFocusedNode())->Key.AsInteger(), 6);
    EXPECT_EQ(g.grid->GetFooterText(g.bounces->GetIndex()), std::to_string(g.StoredSum()));
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

// Sums over Bounces in a grid that shows no Bounces column: the footer under Index and the
// group sum of Category read a field that only the summaries know.
struct HiddenFieldSums : GridHarness {
    StrataList db{6};
    TgxDBTreeListColumn* index;
    TgxDBTreeListColumn* item;
    TgxDBTreeListColumn* category;

    explicit HiddenFieldSums(TgxDBGridOptions extra) {
        index = Column("Index");
        item = Column("Item");
        category = Column("Category");
        index->SetSummaryFooterType(cstSum);
        index->SetSummaryFooterField("Bounces");
        index->SetSummaryFooterFormat("0");
        category->SetSummaryType(cstSum);
        category->SetSummaryField("Bounces");
        grid->SetShowSummaryFooter(true);
        grid->SetKeyField("Index");
        grid->SetOptions(egoColumnSizing | egoEditing | egoTabThrough | egoCanNavigation |
                         egoCanInsert | egoLoadAllRecords | egoImmediateEditor | extra);
        grid->SetOptionsEx(grid->OptionsEx() | egoNotHideColumn);
        grid->SetDataSource(db.source.get());
        grid->setFocus();
    }

    std::string Footer() { return grid->GetFooterText(index->GetIndex()); }
    std::vector<std::string> Groups() {
        std::vector<std::string> out;
        for (int i = 0; i < grid->Count(); ++i)
            out.push_back(grid->GetCellText(grid->Items(i), category->GetIndex()));
        return out;
    }
};

TEST(DBGridEditSummaries, SumsOverAFieldNoColumnShowsSurviveAnEditOfAnotherField) {
    struct Case {
        const char* name;
        TgxDBGridOptions options;
        bool grouped;
    };
    // Bounces of records 1..6 are 1 2 0 1 2 0; categories sport music travel tech news sport.
    for (const Case& c : {Case{"load all", 0, false}, Case{"load all, grouped", 0, true},
                          Case{"smart refresh", egoSmartRefresh, false},
                          Case{"smart refresh, grouped", egoSmartRefresh, true}}) {
        SCOPED_TRACE(c.name);
        HiddenFieldSums g(c.options);
        if (c.grouped)
            g.category->SetGroupIndex(0);
        ASSERT_EQ(g.Footer(), "6");
        const std::vector<std::string> groups = g.Groups();
        if (c.grouped) {
            ASSERT_EQ(groups, (std::vector<std::string>{"music (SUM=2.00)", "news (SUM=2.00)",
                                                        "sport (SUM=1.00)", "tech (SUM=1.00)",
                                                        "travel (SUM=0.00)"}));
        }
        // The user changes record 1's address in place and moves down to the next record,
        // which posts the change on the way.
        if (c.grouped)
            g.grid->FindNodeByKeyValue(db::Variant(1))->Parent()->Expand(false);
        g.grid->SetFocusedNode(g.grid->FindNodeByKeyValue(db::Variant(1)));
        g.grid->SetFocusedColumn(g.item->GetIndex());
        QTest::keyClick(g.grid.get(), Qt::Key_F2);
        auto* editor = dynamic_cast<TgxInplaceTextEdit*>(g.grid->InplaceEditor());
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().selectAll();
        QTest::keyClicks(&editor->LineEdit(), "moved@example.org");
        QTest::keyClick(&editor->LineEdit(), Qt::Key_Down);
        strata::TStrataTable& t = g.db.Table();
        ASSERT_EQ(t.State(), db::dsBrowse);
        ASSERT_EQ(t.FieldByName("Index")->AsInteger(), c.grouped ? 6 : 2);
        EXPECT_EQ(g.Footer(), "6");
        EXPECT_EQ(g.Groups(), groups);
        // The program then changes Bounces of the record reached: the sums take it.
        const int before = t.FieldByName("Bounces")->AsInteger();
        t.Edit();
        t.FieldByName("Bounces")->SetAsInteger(12);
        t.Post();
        EXPECT_EQ(g.Footer(), std::to_string(6 - before + 12));
        if (c.grouped) {
            EXPECT_EQ(g.Groups()[2], "sport (SUM=13.00)");
        }
        if (c.grouped && c.options == 0) {
            g.item->SetWidth(180);
            g.category->SetWidth(160);
            g.grid->SetLeftCoord(0);
            QImage image(g.grid->size(), QImage::Format_ARGB32);
            g.grid->render(&image);
            image.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/dbgrid_sums_of_a_field_not_shown.png");
        }
    }
}

}  // namespace
}  // namespace grid::testing
