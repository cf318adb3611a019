#include <gtest/gtest.h>

#include <QLocale>

#include <map>

#include "grid/core/exceptions.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct GroupedGrid : GridHarness {
    MemList list;
    TgxDBTreeListColumn* index;
    TgxDBTreeListColumn* item;
    TgxDBTreeListColumn* category;
    TgxDBTreeListColumn* bounces;
    explicit GroupedGrid(int rows, bool partial = true) : list(rows) {
        index = Column("Index");
        item = Column("Item");
        category = Column("Category");
        bounces = Column("Bounces");
        grid->SetKeyField("Index");
        grid->SetPartialLoad(partial);
        grid->SetShowGroupPanel(true);
        grid->SetDataSource(list.source.get());
    }
    std::map<std::string, int> GroupSizes() {
        std::map<std::string, int> sizes;
        for (int i = 0; i < grid->Count(); ++i) {
            auto* g = static_cast<TgxDBGridNode*>(grid->Items(i));
            sizes[g->GroupValue().AsString()] = g->Count();
        }
        return sizes;
    }
};

TEST(DBGridGrouping, GroupingAPartialGridLoadsEverythingAndUngroupingReturns) {
    GroupedGrid g(100);
    ASSERT_TRUE(g.grid->IsPartialLoadMode());
    g.category->SetGroupIndex(0);
    EXPECT_TRUE(g.grid->IsLoadAllMode());
    EXPECT_EQ(g.grid->GetGroupColumnCount(), 1);
    std::map<std::string, int> expected{
        {"music", 20}, {"news", 20}, {"sport", 20}, {"tech", 20}, {"travel", 20}};
    EXPECT_EQ(g.GroupSizes(), expected);
    // Group rows stand in ascending order of their values and start collapsed.
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(0))->GroupValue().AsString(), "music");
    EXPECT_FALSE(g.grid->Items(0)->Expanded() && g.grid->Items(1)->Expanded());
    g.category->SetGroupIndex(-1);
    EXPECT_TRUE(g.grid->IsPartialLoadMode());
    EXPECT_FALSE(static_cast<TgxDBGridNode*>(g.grid->GetFirstNode())->IsGroup);
}

// Grouping set up while the data source is off (as a window applies its stored layout
// before reading the list once) shows every record grouped once the source is back, with
// and without the smart reload that places loaded rows again.
TEST(DBGridGrouping, GroupingSetWhileTheSourceIsOffShowsEveryRecordWhenItIsBack) {
    for (bool smart : {false, true}) {
        SCOPED_TRACE(smart ? "smart reload" : "plain reload");
        GroupedGrid g(100, false);
        g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords |
                           (smart ? egoSmartReload : TgxDBGridOptions{}));
        g.list.source->SetEnabled(false);
        g.grid->BeginGrouping();
        g.category->SetGroupIndex(0);
        g.grid->EndGrouping();
        EXPECT_EQ(g.grid->Count(), 0);
        const std::int64_t read = g.grid->RecordsRead();
        g.list.source->SetEnabled(true);
        EXPECT_EQ(g.grid->RecordsRead() - read, 100);
        std::map<std::string, int> expected{
            {"music", 20}, {"news", 20}, {"sport", 20}, {"tech", 20}, {"travel", 20}};
        EXPECT_EQ(g.GroupSizes(), expected);
    }
}

TEST(DBGridGrouping, SortMarkAndVisibilityFollowGrouping) {
    GroupedGrid g(10);
    ASSERT_EQ(g.category->Sorted(), csNone);
    g.category->SetGroupIndex(0);
    EXPECT_EQ(g.category->Sorted(), csUp);
    EXPECT_FALSE(g.category->Visible());
    g.category->SetGroupIndex(-1);
    EXPECT_EQ(g.category->Sorted(), csNone);
    EXPECT_TRUE(g.category->Visible());
    g.grid->SetOptionsEx(g.grid->OptionsEx() | egoNotHideColumn);
    g.category->SetGroupIndex(0);
    EXPECT_TRUE(g.category->Visible());
}

TEST(DBGridGrouping, DescendingMarkOrdersGroupsDownwards) {
    GroupedGrid g(10);
    g.category->SetGroupIndex(0);
    g.category->SetSorted(csDown);
    g.grid->ReloadAll();
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(0))->GroupValue().AsString(), "travel");
}

TEST(DBGridGrouping, RefusedColumns) {
    GroupedGrid g(10);
    auto second = g.Column("Category");
    g.category->SetGroupIndex(0);
    // A second column over the grouped field.
    second->SetGroupIndex(1);
    EXPECT_EQ(second->GroupIndex(), -1);
    // A column that may not group.
    g.bounces->SetDisableGrouping(true);
    g.bounces->SetGroupIndex(0);
    EXPECT_EQ(g.bounces->GroupIndex(), -1);
    // The handler's veto.
    g.grid->OnAddGroupColumn = [](TCustomgxDBGrid*, TgxDBTreeListColumn*, bool& allow) {
        allow = false;
    };
    g.item->SetGroupIndex(1);
    EXPECT_EQ(g.item->GroupIndex(), -1);
}

TEST(DBGridGrouping, TheOnlyVisibleColumnCannotBeGrouped) {
    GridHarness h;
    MemList list(5);
    TgxDBTreeListColumn* only = h.Column("Category");
    h.grid->SetKeyField("Index");
    h.grid->SetDataSource(list.source.get());
    only->SetGroupIndex(0);
    EXPECT_EQ(only->GroupIndex(), -1);
}

TEST(DBGridGrouping, StreamedIndexesAreRenumberedInOrder) {
    GroupedGrid g(10);
    g.grid->SetLoading(true);
    g.bounces->SetGroupIndex(7);
    g.category->SetGroupIndex(3);
    g.grid->Loaded();
    EXPECT_EQ(g.category->GroupIndex(), 0);
    EXPECT_EQ(g.bounces->GroupIndex(), 1);
    EXPECT_EQ(g.grid->GetGroupColumn(0), g.category);
    EXPECT_EQ(g.grid->Items(0)->Level(), 0);
    EXPECT_GT(g.grid->Items(0)->GetFirstChild()->Count(), 0);
}

TEST(DBGridGrouping, ChangingOnlyTheOrderInsideOneLockReloads) {
    GroupedGrid g(20);
    g.category->SetGroupIndex(0);
    g.bounces->SetGroupIndex(1);
    std::int64_t read = g.grid->RecordsRead();
    g.grid->BeginGrouping();
    g.grid->ChangeColumnGroupIndex(g.bounces, 0);
    g.grid->EndGrouping();
    EXPECT_EQ(g.grid->GetGroupColumn(0), g.bounces);
    EXPECT_GT(g.grid->RecordsRead(), read);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(0))->GroupValue().AsInteger(), 0);
}

TEST(DBGridGrouping, ReloadKeepsFocusOnTheSameRecord) {
    GroupedGrid g(50);
    g.category->SetGroupIndex(0);
    ASSERT_TRUE(g.list.ds->Locate("Index", 17, {}));
    auto* focused = static_cast<TgxDBGridNode*>(g.grid->GetFocusedNode());
    ASSERT_NE(focused, nullptr);
    EXPECT_EQ(focused->Key.AsInteger(), 17);
    g.grid->ReloadAll();
    focused = static_cast<TgxDBGridNode*>(g.grid->GetFocusedNode());
    EXPECT_EQ(focused->Key.AsInteger(), 17);
    EXPECT_TRUE(focused->IsVisible());
}

TEST(DBGridGroupPanel, HeightFollowsGroupColumns) {
    GroupedGrid g(10);
    const int h = g.grid->HeaderRowHeight();
    EXPECT_EQ(g.grid->GetGroupPanelHeight(), h - h / 2 + 16);
    g.category->SetGroupIndex(0);
    g.bounces->SetGroupIndex(1);
    EXPECT_EQ(g.grid->GetGroupPanelHeight(), h / 2 + h + 16);
    g.grid->SetShowGroupPanel(false);
    EXPECT_EQ(g.grid->GetGroupPanelHeight(), 0);
    EXPECT_EQ(g.grid->GetGroupIndentWidth(), 2 * g.grid->IndentDesc());
}

TEST(DBGridGroupPanel, ButtonsFormAStaircaseAndTakeDrops) {
    GroupedGrid g(10);
    const int h = g.grid->HeaderRowHeight();
    g.category->SetGroupIndex(0);
    g.bounces->SetGroupIndex(1);
    ui::Rect second = g.grid->GetGroupButtonRect(1);
    EXPECT_EQ(second.left, 112);
    EXPECT_EQ(second.top, 8 + h / 2);
    EXPECT_EQ(g.grid->GetGroupColumnAt(second.left + 5, second.top + 2), g.bounces);
    EXPECT_EQ(g.grid->GetGroupColumnAt(2, 2), nullptr);
    // A header dropped left of the first button's middle goes first.
    EXPECT_EQ(g.grid->GetGroupTargetPosition(20), 0);
    EXPECT_EQ(g.grid->GetGroupTargetPosition(300), 2);
    EXPECT_TRUE(g.grid->DropColumnOnGroupPanel(g.item, 20));
    EXPECT_EQ(g.grid->GetGroupColumn(0), g.item);
    g.grid->DropGroupButtonOutside(g.item);
    EXPECT_EQ(g.item->GroupIndex(), -1);
    EXPECT_TRUE(g.item->Visible());
}

TEST(DBGridGroupPanel, GridLineColourDependsOnGrouping) {
    GroupedGrid g(5);
    g.grid->SetColor(ui::clWindow);
    EXPECT_EQ(g.grid->GetGridLineColorValue().Value(), ui::clBtnFace.Value());
    g.grid->SetColor(ui::clBtnFace);
    EXPECT_EQ(g.grid->GetGridLineColorValue().Value(), ui::clBtnShadow.Value());
    g.category->SetGroupIndex(0);
    EXPECT_EQ(g.grid->GetGridLineColorValue().Value(),
              g.grid->TCustomgxDBTreeListControl::GetGridLineColorValue().Value());
}

TEST(DBGridSummaries, GroupCountTextAndFooterSums) {
    GroupedGrid g(25);
    g.category->SetSummaryType(cstCount);
    g.bounces->SetSummaryFooterType(cstSum);
    g.bounces->SetSummaryFooterField("Bounces");
    g.bounces->SetSummaryFooterFormat("0");
    g.index->SetSummaryFooterType(cstCount);
    g.grid->SetShowSummaryFooter(true);
    g.category->SetGroupIndex(0);
    auto* news = static_cast<TgxDBGridNode*>(g.grid->Items(1));
    ASSERT_EQ(news->GroupValue().AsString(), "news");
    EXPECT_EQ(g.grid->GetCellText(news, 0), "news (COUNT=5)");
    int bounce_sum = 0;
    for (int i = 1; i <= 25; ++i)
        bounce_sum += i % 3;
    EXPECT_EQ(g.grid->GetFooterText(g.bounces->GetIndex()), std::to_string(bounce_sum));
    EXPECT_EQ(g.grid->GetFooterText(g.index->GetIndex()), "25");
    EXPECT_TRUE(g.grid->IsExistFooterCell(g.bounces->GetIndex()));
    EXPECT_FALSE(g.grid->IsExistFooterCell(g.item->GetIndex()));
}

TEST(DBGridSummaries, GroupSumMinMaxAvgAndCustomFormats) {
    struct Case {
        TgxSummaryType kind;
        std::string format;
        std::string text;
    } cases[] = {
        // Category "news" holds records 5, 10, 15, 20: bounces 2, 1, 0, 2.
        {cstSum, "", "news (SUM=5.00)"}, {cstMin, "", "news (MIN=0.00)"},
        {cstMax, "", "news (MAX=2.00)"}, {cstAvg, "", "news (AVG=1.25)"},
        {cstSum, "0", "news 5"},         {cstCount, "", "news (COUNT=4)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        GroupedGrid g(20);
        g.category->SetSummaryType(c.kind);
        g.category->SetSummaryField("Bounces");
        g.category->SetSummaryFormat(c.format);
        g.category->SetGroupIndex(0);
        EXPECT_EQ(g.grid->GetCellText(g.grid->Items(1), 0), c.text);
    }
}

TEST(DBGridSummaries, SummaryGroupItemsAndRowFooters) {
    GroupedGrid g(20);
    TgxDBGridSummaryGroup* group = g.grid->SummaryGroups().Add();
    group->SetName("Totals");
    group->SetBeginSummaryText("[");
    group->SetEndSummaryText("]");
    TgxDBGridSummaryItem* sum = group->SummaryItems().Add();
    sum->SetSummaryType(cstSum);
    sum->SetSummaryField("Bounces");
    sum->SetSummaryFormat("0");
    TgxDBGridSummaryItem* count = group->SummaryItems().Add();
    count->SetSummaryType(cstCount);
    TgxDBGridSummaryItem* footer = group->SummaryItems().Add();
    footer->SetSummaryType(cstMax);
    footer->SetColumnName(g.bounces->Name());
    g.category->SetSummaryGroupName("totals");
    g.category->SetSummaryType(cstCount);
    g.category->SetGroupIndex(0);
    auto* news = g.grid->Items(1);
    EXPECT_EQ(g.grid->GetCellText(news, 0), "news (COUNT=4) [5, (COUNT=4), ]");
    EXPECT_TRUE(g.grid->IsExistRowFooter(0));
    EXPECT_TRUE(g.grid->IsExistRowFooterCell(news, g.bounces->GetIndex(), 0));
    EXPECT_EQ(g.grid->GetRowFooterText(news->GetFirstChild(), g.bounces->GetIndex(), 0),
              "MAX=2.00");
    // Renaming the column keeps the item pointing at it.
    g.bounces->SetName("colBounces");
    EXPECT_EQ(footer->ColumnName(), "colBounces");
}

TEST(DBGridSummaries, GroupNamesMustBeUniqueAndNotEmpty) {
    GridHarness h;
    TgxDBGridSummaryGroup* a = h.grid->SummaryGroups().Add();
    a->SetName("A");
    TgxDBGridSummaryGroup* b = h.grid->SummaryGroups().Add();
    b->SetName("B");
    try {
        b->SetName("A");
        FAIL() << "a duplicate name was taken";
    } catch (const EInvalidgxTreeListOperation& e) {
        EXPECT_STREQ(e.what(), "invalidate group name duplicate!");
    }
    EXPECT_EQ(b->Name(), "B");
    EXPECT_THROW(b->SetName(""), EInvalidgxTreeListOperation);
    b->SetDefaultGroup(true);
    a->SetDefaultGroup(true);
    EXPECT_FALSE(b->DefaultGroup());
    EXPECT_EQ(h.grid->SummaryGroups().GetDefaultGroup(), a);
}

TEST(DBGridSummaries, UnknownSummaryGroupStillShowsTheColumnsOwnCount) {
    GroupedGrid g(25);
    g.category->SetSummaryGroupName("missing");
    g.category->SetSummaryType(cstCount);
    g.category->SetGroupIndex(0);
    EXPECT_EQ(g.grid->GetCellText(g.grid->Items(1), 0), "news (COUNT=5)");
}

TEST(DBGridSummaries, SortBySummaryNeedsASummaryAndOrdersGroups) {
    GroupedGrid g(0, false);
    g.category->SetSortBySummary(true);
    EXPECT_FALSE(g.category->SortBySummary());
    // Group sizes 1, 2, 3 for c, a, b.
    int key = 1;
    for (auto [name, n] : std::vector<std::pair<std::string, int>>{{"c", 1}, {"a", 2}, {"b", 3}})
        for (int i = 0; i < n; ++i, ++key)
            g.list.Append(key, "x" + std::to_string(key), name, 0);
    g.category->SetSummaryType(cstCount);
    g.category->SetSortBySummary(true);
    EXPECT_TRUE(g.category->SortBySummary());
    g.category->SetGroupIndex(0);
    g.category->SetSorted(csDown);
    g.grid->ReloadAll();
    EXPECT_EQ(g.GroupSizes().size(), 3u);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(0))->GroupValue().AsString(), "b");
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(2))->GroupValue().AsString(), "c");
    g.category->SetSummaryType(cstNone);
    EXPECT_FALSE(g.category->SortBySummary());
}

TEST(DBGridSummaries, FooterAverageOverNothingStaysZero) {
    GroupedGrid g(0, false);
    g.bounces->SetSummaryFooterType(cstAvg);
    g.bounces->SetSummaryFooterField("Bounces");
    g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords);
    EXPECT_EQ(g.grid->GetFooterText(g.bounces->GetIndex()), "AVG=0.00");
}

TEST(DBGridSummaries, FormatTables) {
    struct Case {
        TgxSummaryType kind;
        const char* custom;
        db::TFieldType type;
        bool footer;
        long double value;
        const char* text;
    } cases[] = {
        {cstNone, "", db::ftInteger, false, 3, ""},
        {cstSum, "", db::ftInteger, false, 3.5L, "(SUM=3.50)"},
        {cstSum, "", db::ftInteger, true, 3.5L, "3.50"},
        {cstMin, "", db::ftFloat, true, 1, "MIN=1.00"},
        {cstMax, "", db::ftFloat, false, 2, "(MAX=2.00)"},
        {cstCount, "", db::ftDate, false, 7, "(COUNT=7)"},
        {cstCount, "", db::ftInteger, true, 7, "7"},
        {cstAvg, "", db::ftInteger, true, 0.5L, "AVG=0.50"},
        {cstMax, "", db::ftDate, false, 2.0L, "(MAX=01/01/1900)"},
        {cstMin, "", db::ftDate, true, 2.0L, "MIN=01/01/1900"},
        {cstSum, "", db::ftDate, true, 2.0L, "01/01/1900"},
        {cstMax, "Last: ", db::ftDate, false, 2.0L, "Last: 01/01/1900"},
    };
    db::TFormatSettings saved = db::FormatSettings();
    db::FormatSettings() = db::EnglishFormatSettings();
    db::FormatSettings().ShortDateFormat = "mm/dd/yyyy";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatSummaryText(c.kind, c.custom, c.type, c.footer, c.value), c.text);
    }
    db::FormatSettings() = saved;
}

TEST(DBGridSummaries, LongDoubleAccumulationKeepsSmallAddends) {
    GroupedGrid g(0, false);
    g.grid->SetOptions(g.grid->Options() | egoLoadAllRecords);
    g.bounces->SetSummaryFooterType(cstSum);
    g.bounces->SetSummaryFooterField("Bounces");
    g.bounces->SetSummaryFooterFormat("0");
    g.bounces->OnSummaryFooter = [](TgxDBTreeListColumn*, db::TDataSet* ds, long double& v) {
        v = ds->FieldByName("Index")->AsInteger() == 1 ? 1e17L : 1.0L;
    };
    for (int i = 1; i <= 5; ++i)
        g.list.Append(i, "x", "a", 0);
    g.grid->ReloadAll();
    // In double precision the four ones would vanish.
    EXPECT_EQ(g.bounces->FooterValue(), 1e17L + 4);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridSorting, HeaderClicksSortRecordsOrGroupLevels) {
    GridHarness h;
    MemList list(30);
    TgxDBTreeListColumn* index = h.Column("Index");
    TgxDBTreeListColumn* category = h.Column("Category");
    h.Column("Item");
    h.grid->SetKeyField("Index");
    h.grid->SetOptions(h.grid->Options() | egoLoadAllRecords);
    h.grid->SetDataSource(list.source.get());
    // Partial and buffer grids never sort; a load-all grid sorts by the clicked column.
    h.grid->DoHeaderClick(index->GetIndex());
    h.grid->DoHeaderClick(index->GetIndex());
    ASSERT_EQ(index->Sorted(), csDown);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(h.grid->Items(0))->Key.AsInteger(), 30);
    category->SetGroupIndex(0);
    // Clicking the group column reverses the order of its group rows.
    h.grid->DoHeaderClick(category->GetIndex());
    EXPECT_EQ(category->Sorted(), csDown);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(h.grid->Items(0))->GroupValue().AsString(), "travel");
    // Records inside each group follow the record-level column.
    TgxTreeListNode* group = h.grid->Items(0);
    EXPECT_GT(static_cast<TgxDBGridNode*>(group->Items(0))->Key.AsInteger(),
              static_cast<TgxDBGridNode*>(group->Items(1))->Key.AsInteger());
}

TEST(DBGridSorting, ANewMarkTakesTheOtherRecordMarksAwayButLeavesGroupLevels) {
    GridHarness h;
    MemList list(30);
    TgxDBTreeListColumn* index = h.Column("Index");
    TgxDBTreeListColumn* category = h.Column("Category");
    TgxDBTreeListColumn* item = h.Column("Item");
    h.grid->SetKeyField("Index");
    h.grid->SetOptions(h.grid->Options() | egoLoadAllRecords);
    h.grid->SetDataSource(list.source.get());
    h.grid->DoHeaderClick(index->GetIndex());
    h.grid->DoHeaderClick(item->GetIndex());
    EXPECT_EQ(index->Sorted(), csNone);
    EXPECT_EQ(h.grid->SortedColumnCount(), 1);
    category->SetGroupIndex(0);
    h.grid->DoHeaderClick(category->GetIndex());
    ASSERT_EQ(category->Sorted(), csDown);
    h.grid->DoHeaderClick(index->GetIndex());
    h.grid->DoHeaderClick(index->GetIndex());
    EXPECT_EQ(item->Sorted(), csNone);
    EXPECT_EQ(category->Sorted(), csDown);
    ASSERT_EQ(index->Sorted(), csDown);
    // Read again, the rows come back in the order the marks show.
    h.grid->ReloadNodes();
    TgxTreeListNode* group = h.grid->Items(0);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(group)->GroupValue().AsString(), "travel");
    for (int i = 1; i < group->Count(); ++i)
        EXPECT_GT(static_cast<TgxDBGridNode*>(group->Items(i - 1))->Key.AsInteger(),
                  static_cast<TgxDBGridNode*>(group->Items(i))->Key.AsInteger());
    // Marks restored together from a stored layout all stay.
    h.grid->SetAddToSortFlag(true);
    item->SetSorted(csUp);
    h.grid->SetAddToSortFlag(false);
    EXPECT_EQ(index->Sorted(), csDown);
    EXPECT_EQ(item->Sorted(), csUp);
}

// Names and categories sort as the user's language orders them: letters before case and
// accents, accented letters where the language puts them; the C locale counts as English.
TEST(DBGridSorting, TextsAndGroupsFollowTheUsersLanguage) {
    struct Case {
        QLocale locale;
        std::vector<std::string> items, groups;
    };
    const std::vector<Case> cases = {
        {QLocale::c(),
         {"altcat", "Bob", "Default", "emil", "\u00C9mile", "\u00D6sten", "zoe"},
         {"altcat", "\u00C4rger", "Default", "news"}},
        // Swedish puts its own letters after z.
        {QLocale(QLocale::Swedish, QLocale::Sweden),
         {"altcat", "Bob", "Default", "emil", "\u00C9mile", "zoe", "\u00D6sten"},
         {"altcat", "Default", "news", "\u00C4rger"}},
    };
    const QLocale saved;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale.name().toStdString());
        QLocale::setDefault(c.locale);
        GridHarness h;
        MemList list(0);
        const std::vector<std::pair<std::string, std::string>> records = {
            {"zoe", "news"},      {"Default", "Default"},       {"\u00C9mile", "altcat"},
            {"altcat", "news"},   {"\u00D6sten", "\u00C4rger"}, {"emil", "Default"},
            {"Bob", "\u00C4rger"}};
        for (std::size_t i = 0; i < records.size(); ++i)
            list.Append(static_cast<int>(i) + 1, records[i].first, records[i].second, 0);
        list.ds->First();
        TgxDBTreeListColumn* item = h.Column("Item");
        TgxDBTreeListColumn* category = h.Column("Category");
        h.grid->SetKeyField("Index");
        h.grid->SetOptions(h.grid->Options() | egoLoadAllRecords);
        h.grid->SetDataSource(list.source.get());
        h.grid->DoHeaderClick(item->GetIndex());
        ASSERT_EQ(item->Sorted(), csUp);
        EXPECT_EQ(h.Texts(item->GetIndex()), c.items);
        // Group rows are placed in that order as they are read, and a click on the group
        // column's header turns the same order round.
        category->SetGroupIndex(0);
        std::vector<std::string> groups;
        for (int i = 0; i < h.grid->Count(); ++i)
            groups.push_back(
                static_cast<TgxDBGridNode*>(h.grid->Items(i))->GroupValue().AsString());
        EXPECT_EQ(groups, c.groups);
        h.grid->DoHeaderClick(category->GetIndex());
        ASSERT_EQ(category->Sorted(), csDown);
        std::vector<std::string> reversed;
        for (int i = h.grid->Count() - 1; i >= 0; --i)
            reversed.push_back(
                static_cast<TgxDBGridNode*>(h.grid->Items(i))->GroupValue().AsString());
        EXPECT_EQ(reversed, c.groups);
    }
    QLocale::setDefault(saved);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridSmartReload, RegroupingReusesLoadedRowsWithoutReading) {
    GroupedGrid g(40);
    g.grid->SetOptions(g.grid->Options() | egoSmartReload);
    g.category->SetSummaryType(cstCount);
    // The first grouping of a partial grid reads every record.
    std::int64_t read = g.grid->RecordsRead();
    g.category->SetGroupIndex(0);
    EXPECT_GE(g.grid->RecordsRead() - read, 40);
    read = g.grid->RecordsRead();
    // A further level is built from the rows' stored values.
    g.bounces->SetGroupIndex(1);
    EXPECT_EQ(g.grid->RecordsRead(), read);
    auto* news = static_cast<TgxDBGridNode*>(g.grid->Items(1));
    ASSERT_EQ(news->GroupValue().AsString(), "news");
    EXPECT_EQ(g.grid->GetCellText(news, 0), "news (COUNT=8)");
    ASSERT_EQ(news->Count(), 3);
    int records = 0;
    for (int i = 0; i < news->Count(); ++i)
        records += news->Items(i)->Count();
    EXPECT_EQ(records, 8);
    g.bounces->SetGroupIndex(-1);
    EXPECT_EQ(g.grid->RecordsRead(), read);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(g.grid->Items(1))->Count(), 8);
}

}  // namespace
}  // namespace grid::testing

namespace grid::testing {
namespace {

TEST(DBGridSmartRefresh, APostedEditMovesOnlyThatRowAndRecountsGroups) {
    GroupedGrid g(25, false);
    g.grid->SetOptions(g.grid->Options() | egoSmartRefresh | egoLoadAllRecords);
    g.category->SetSummaryType(cstCount);
    g.category->SetGroupIndex(0);
    ASSERT_TRUE(g.list.ds->Locate("Index", 5, {}));
    ASSERT_EQ(g.grid->GetCellText(g.grid->Items(1), 0), "news (COUNT=5)");
    const std::int64_t read = g.grid->RecordsRead();
    g.list.ds->Edit();
    g.list.ds->FieldByName("Category")->SetAsString("sport");
    g.list.ds->Post();
    // The edited row is read as it changes and once more when posted, never the table.
    EXPECT_LE(g.grid->RecordsRead() - read, 3);
    EXPECT_EQ(g.grid->GetCellText(g.grid->Items(1), 0), "news (COUNT=4)");
    EXPECT_EQ(g.grid->GetCellText(g.grid->Items(2), 0), "sport (COUNT=6)");
    auto* row = g.grid->FindNodeByKeyValue(db::Variant(5));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(static_cast<TgxDBGridNode*>(row->Parent())->GroupValue().AsString(), "sport");
}

}  // namespace
}  // namespace grid::testing
