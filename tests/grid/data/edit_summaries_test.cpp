// Footer and group sums after the user edits a value in place and moves on, in a grid that
// loads every record and refreshes nothing by itself.

#include <gtest/gtest.h>

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
    EXPECT_EQ(static_cast<TgxDBGridNode*>(row->Parent())->GroupValue.AsString(), "news");
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->GetFocusedNode())->Key.AsInteger(), 6);
    EXPECT_EQ(g.grid->GetFooterText(g.bounces->GetIndex()), std::to_string(g.StoredSum()));
}

}  // namespace
}  // namespace grid::testing
