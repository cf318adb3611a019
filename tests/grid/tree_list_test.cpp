#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>

#include <algorithm>
#include <climits>
#include <map>

#include "grid/core/tree_list_control.h"
#include "platform/ui/clipboard.h"

namespace grid {
namespace {

TEST(TreeListLocks, EndAndCancelNeverDriveTheCountBelowZero) {
    TCustomgxTreeList tree;
    tree.EndUpdate();
    tree.CancelUpdate();
    EXPECT_EQ(tree.UpdateLockCount(), 0);
    tree.BeginUpdate();
    tree.BeginUpdate();
    tree.CancelUpdate();
    tree.EndUpdate();
    tree.EndUpdate();
    EXPECT_EQ(tree.UpdateLockCount(), 0);
    // The control still lays out and fires after the unpaired calls.
    int changes = 0;
    tree.OnChangeNode = [&](TCustomgxTreeList*, TgxTreeListNode*, TgxTreeListNode*) { ++changes; };
    tree.Add();
    TgxTreeListNode* second = tree.Add();
    tree.SetFocusedNode(second);
    EXPECT_EQ(changes, 1);
}

TEST(TreeListLocks, SelectionCountChangeFiresOnceAtTheEndOfTheLock) {
    struct Counting : TCustomgxTreeList {
        int selected = 0;
        int GetSelectedCount() const override { return selected; }
    } tree;
    int fired = 0;
    tree.OnSelectedCountChange = [&](TCustomgxTreeList*) { ++fired; };
    tree.BeginSelection();
    tree.selected = 3;
    tree.DoSelectedCountChange();  // inside the lock: silent
    EXPECT_EQ(fired, 0);
    tree.EndSelection();
    EXPECT_EQ(fired, 1);
    tree.EndSelection();  // unpaired: nothing
    EXPECT_EQ(fired, 1);
}

TEST(TreeListOptions, DefaultsAndQueries) {
    TCustomgxTreeList tree;
    EXPECT_EQ(tree.Options(), 55);
    EXPECT_EQ(tree.OptionsEx(), 12350u);
    EXPECT_TRUE(tree.IsEditingOption());
    EXPECT_TRUE(tree.IsRowSelect());
    EXPECT_TRUE(tree.IsDragScroll());
    EXPECT_FALSE(tree.IsEnterThrough());
    tree.SetOptionsEx(tree.OptionsEx() | tlxEnterThrough);
    EXPECT_FALSE(tree.IsEnterThrough());  // needs EnterShowEditor too
    tree.SetOptionsEx(tree.OptionsEx() | tlxEnterShowEditor);
    EXPECT_TRUE(tree.IsEnterThrough());
    tree.SetOptionsEx(tree.OptionsEx() | tlxRowAutoHeight);
    EXPECT_TRUE(tree.IsRowAutoHeight());
    tree.SetMaxRowLineCount(0);
    EXPECT_FALSE(tree.IsRowAutoHeight());
    tree.SetOptions(tree.Options() | tloPreview);
    EXPECT_TRUE(tree.IsShowPreview());
    tree.SetPreviewLines(0);
    EXPECT_FALSE(tree.IsShowPreview());
}

TEST(TreeListOptions, RowSelectAndInvertSelectExcludeEachOther) {
    TCustomgxTreeList tree;
    tree.SetOptions(tree.Options() & ~tloRowSelect);
    tree.SetOptionsEx(tree.OptionsEx() | tlxInvertSelect);
    EXPECT_TRUE(tree.IsInvertSelect());
    tree.SetOptions(tree.Options() | tloRowSelect);
    EXPECT_FALSE(tree.IsInvertSelect());
    tree.SetOptionsEx(tree.OptionsEx() | tlxInvertSelect);
    EXPECT_FALSE(tree.IsRowSelect());
    EXPECT_TRUE(tree.IsInvertSelect());
}

TEST(TreeListOptions, TabsAreOffWhileCtrlIsHeld) {
    TCustomgxTreeList tree;
    tree.SetOptions(tree.Options() | tloTabs);
    EXPECT_TRUE(tree.IsTabs());
    tree.SetCtrlHeld(true);
    EXPECT_FALSE(tree.IsTabs());
}

TEST(TreeListOptions, UnassignedEventsLeaveAllowTrue) {
    TCustomgxTreeList tree;
    TgxTreeListNode* node = tree.Add();
    bool allow = true;
    tree.DoEditing(node, allow);
    tree.DoExpanding(node, allow);
    tree.DoCollapsing(node, allow);
    EXPECT_TRUE(allow);
}

struct Rows {
    TCustomgxTreeList tree;
    std::vector<TgxTreeListNode*> nodes;
    explicit Rows(int n, int height = 100) {
        tree.resize(200, height);
        for (int i = 0; i < n; ++i)
            nodes.push_back(tree.Add());
        tree.LayoutChanged();
    }
};

TEST(TreeListFocus, FocusingNilChangesNothingAndLockedFocusFiresNothing) {
    Rows r(3);
    int node_changes = 0;
    int column_changes = 0;
    r.tree.OnChangeNode = [&](TCustomgxTreeList*, TgxTreeListNode*, TgxTreeListNode*) {
        ++node_changes;
    };
    r.tree.OnChangeColumn = [&](TCustomgxTreeList*, TgxTreeListNode*, int) { ++column_changes; };
    r.tree.SetFocusedNodeColumn(nullptr, 0, true);
    EXPECT_EQ(r.tree.GetFocusedNode(), r.nodes[0]);
    r.tree.BeginUpdate();
    r.tree.SetFocusedNodeColumn(r.nodes[2], 0, true);
    r.tree.EndUpdate();
    EXPECT_EQ(r.tree.GetFocusedNode(), r.nodes[2]);
    EXPECT_EQ(node_changes, 0);
    EXPECT_EQ(column_changes, 0);
    r.tree.SetFocusedNode(r.nodes[1]);
    EXPECT_EQ(node_changes, 1);
}

TEST(TreeListFocus, DeletingRowsRepairsFocusTopAndAnchor) {
    Rows r(3);
    r.tree.SetFocusedNode(r.nodes[2]);
    r.tree.SetSelectionAnchor(r.nodes[2]);
    r.nodes[2]->Delete();
    EXPECT_EQ(r.tree.GetFocusedNode(), r.nodes[1]);
    EXPECT_EQ(r.tree.GetSelectionAnchor(), r.nodes[1]);
    r.nodes[0]->Delete();  // top row: nothing before it, the next takes over
    EXPECT_EQ(r.tree.TopVisibleNode(), r.nodes[1]);
    r.nodes[1]->Delete();
    EXPECT_EQ(r.tree.GetFocusedNode(), nullptr);
    EXPECT_EQ(r.tree.TopVisibleNode(), nullptr);
    EXPECT_EQ(r.tree.GetSelectionAnchor(), nullptr);
}

TEST(TreeListFocus, SetTopIndexAlwaysClampsToTheRowsThatExist) {
    {
        Rows one(1);
        one.tree.SetTopIndex(5);
        EXPECT_EQ(one.tree.GetTopIndex(), 0);
        EXPECT_EQ(one.tree.TopVisibleNode(), one.nodes[0]);
    }
    Rows r(50, 100);
    int page = r.tree.GetVisibleRowCount();
    ASSERT_GT(page, 1);
    r.tree.SetTopIndex(1000);
    EXPECT_EQ(r.tree.GetTopIndex(), 50 - page);
    r.tree.SetTopIndex(-5);
    EXPECT_EQ(r.tree.GetTopIndex(), 0);
}

TEST(TreeListFocus, WheelScrollsOneRowPer120AndIgnoresOtherDirections) {
    Rows r(50, 100);
    r.tree.WheelScroll(0);  // a horizontal wheel reports no vertical delta
    EXPECT_EQ(r.tree.GetTopIndex(), 0);
    r.tree.WheelScroll(-60);
    EXPECT_EQ(r.tree.GetTopIndex(), 0);
    r.tree.WheelScroll(-60);
    EXPECT_EQ(r.tree.GetTopIndex(), 1);
    r.tree.WheelScroll(-240);
    EXPECT_EQ(r.tree.GetTopIndex(), 3);
    r.tree.WheelScroll(120);
    EXPECT_EQ(r.tree.GetTopIndex(), 2);
}

TEST(TreeListFocus, WheelDeltasOfAnySizeStopAtTheEnds) {
    // A sent event or an odd device may report any delta; two in a row once overflowed the
    // count of what was still to scroll.
    Rows r(50, 100);
    const int last_top = 50 - r.tree.GetVisibleRowCount();
    for (const int delta : {INT_MIN + 1, INT_MAX - 1}) {
        SCOPED_TRACE(delta);
        r.tree.WheelScroll(delta);
        r.tree.WheelScroll(delta);
        EXPECT_EQ(r.tree.GetTopIndex(), delta < 0 ? last_top : 0);
    }
    // Counting goes on normally afterwards.
    r.tree.WheelScroll(-120);
    EXPECT_EQ(r.tree.GetTopIndex(), 1);
}

TEST(TreeListSelection, RangeIsTheSameInEitherDirection) {
    struct Selecting : TCustomgxTreeList {
        std::vector<TgxTreeListNode*> selected;
        int GetSelectedCount() const override { return static_cast<int>(selected.size()); }
        TgxTreeListNode* GetSelectedItem(int i) const override {
            return selected[static_cast<std::size_t>(i)];
        }
        bool IsNodeRecordSelected(const TgxTreeListNode* n) const override {
            return std::find(selected.begin(), selected.end(), n) != selected.end();
        }
        void SelectNode(TgxTreeListNode* n, bool value) override {
            if (value && !IsNodeRecordSelected(n))
                selected.push_back(n);
            TCustomgxTreeList::SelectNode(n, value);
        }
    };
    for (bool reversed : {false, true}) {
        Selecting tree;
        std::vector<TgxTreeListNode*> nodes;
        for (int i = 0; i < 6; ++i)
            nodes.push_back(tree.Add());
        tree.SetOptions(tree.Options() | tloMultiSelect);
        tree.selected.clear();
        if (reversed)
            tree.SelectRange(nodes[4], nodes[1]);
        else
            tree.SelectRange(nodes[1], nodes[4]);
        std::vector<TgxTreeListNode*> expected(nodes.begin() + 1, nodes.begin() + 5);
        EXPECT_EQ(tree.selected, expected);
    }
}

TEST(TreeListSelection, WithoutExtMultiSelectOnlySiblingsOfTheAnchorJoin) {
    TCustomgxTreeList tree;
    TgxTreeListNode* p = tree.Add();
    TgxTreeListNode* c = p->AddChild();
    TgxTreeListNode* other = tree.Add();
    tree.SetSelectionAnchor(other);
    tree.OnCanNodeSelected = [](TCustomgxTreeList*, TgxTreeListNode*, bool& allow) {
        allow = true;
    };
    EXPECT_FALSE(tree.DoCanNodeSelected(c));
    EXPECT_TRUE(tree.DoCanNodeSelected(p));
    tree.SetOptions(tree.Options() | tloExtMultiSelect);
    EXPECT_TRUE(tree.DoCanNodeSelected(c));
}

TEST(TreeListCopy, CopiedTextUsesCrLfBetweenLines) {
    TCustomgxTreeListControl grid;
    TgxTreeListColumn* name = grid.CreateColumn();
    name->SetCaption("Name");
    TgxTreeListColumn* mail = grid.CreateColumn();
    mail->SetCaption("Mail");
    TgxTreeListNode* n = grid.Add();
    n->SetStrings(0, "Ann");
    n->SetStrings(1, "ann@example.com");
    grid.SetFocusedNode(n);
    grid.CopySelectedToClipboard();
    EXPECT_EQ(ui::ClipboardText(), "Name\tMail\t\r\nAnn\tann@example.com\t\r\n");
    std::vector<std::string> lines;
    grid.SaveAllToStrings(lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find('\r'), std::string::npos);
}

TEST(TreeListCopy, WithoutFocusOnlyTheHeaderLine) {
    TCustomgxTreeListControl grid;
    grid.CreateColumn()->SetCaption("A");
    std::vector<std::string> lines;
    grid.SaveSelectedToStrings(lines);
    EXPECT_EQ(lines, std::vector<std::string>{"A\t"});
}

TEST(TreeListSort, ThreeWayWithStableTieBreakAndOneOrderForMixedValues) {
    struct Valued : TCustomgxTreeList {
        std::map<const TgxTreeListNode*, std::pair<Value, Value>> values;
        std::vector<std::pair<int, bool>> keys;
        Value GetNodeCompareValue(const TgxTreeListNode* n, int column) const override {
            const auto& v = values.at(n);
            return column == 0 ? v.first : v.second;
        }
        std::vector<std::pair<int, bool>> SortColumns() const override { return keys; }
    } tree;
    std::vector<TgxTreeListNode*> n;
    const std::pair<Value, Value> data[] = {
        {Value("b"), Value(2)},  {Value(), Value(1)},    {Value(3), Value(0)},
        {Value("a"), Value(5)},  {Value(2.5), Value(1)}, {Value("b"), Value(1)},
        {Value(true), Value(0)}, {Value("b"), Value(2)},
    };
    for (const auto& d : data) {
        n.push_back(tree.Add());
        tree.values[n.back()] = d;
    }
    tree.SortNodes(-1, 0, false);
    // null, boolean, numbers by value, texts; the two equal "b",2 rows keep their order.
    std::vector<TgxTreeListNode*> expected = {n[1], n[6], n[4], n[2], n[3], n[0], n[5], n[7]};
    for (int i = 0; i < tree.Count(); ++i)
        EXPECT_EQ(tree.Items(i), expected[static_cast<std::size_t>(i)]) << i;

    // Two sorted columns with multi-sort: equal first values are ordered by the second.
    tree.SetOptionsEx(tree.OptionsEx() | tlxMultiSort);
    tree.keys = {{0, false}, {1, true}};
    tree.SortNodes(-1, 0, false);
    EXPECT_EQ(tree.Items(5), n[0]);  // "b",2 before "b",1 (second column descending)
    EXPECT_EQ(tree.Items(6), n[7]);
    EXPECT_EQ(tree.Items(7), n[5]);
}

TEST(TreeListSort, OnCompareDecidesAndDescendingNegates) {
    TCustomgxTreeList tree;
    std::vector<TgxTreeListNode*> n;
    for (int i = 0; i < 4; ++i)
        n.push_back(tree.Add());
    std::map<const TgxTreeListNode*, int> key{{n[0], 3}, {n[1], 1}, {n[2], 4}, {n[3], 2}};
    tree.OnCompare = [&](TCustomgxTreeList*, TgxTreeListNode* a, TgxTreeListNode* b, int& c) {
        c = key[a] < key[b] ? -1 : (key[a] > key[b] ? 1 : 0);
    };
    tree.SortNodes(-1, 0, true);
    EXPECT_EQ(tree.Items(0), n[2]);
    EXPECT_EQ(tree.Items(3), n[1]);
}

}  // namespace
}  // namespace grid

#include <QTest>

namespace grid {
namespace {

TEST(TreeListKeys, KeysReachTheGridsHandlersAndTabStaysWithTabs) {
    TCustomgxTreeList tree;
    tree.resize(200, 100);
    tree.show();
    QApplication::setActiveWindow(&tree);
    tree.setFocus();
    std::vector<std::uint16_t> downs;
    std::vector<char32_t> chars;
    tree.OnKeyDown = [&](TCustomgxContainer*, std::uint16_t& key, ui::TShiftState) {
        downs.push_back(key);
    };
    tree.OnKeyPress = [&](TCustomgxContainer*, char32_t& ch) { chars.push_back(ch); };
    QTest::keyClick(&tree, Qt::Key_Down);
    QTest::keyClick(&tree, Qt::Key_A);
    EXPECT_EQ(downs, (std::vector<std::uint16_t>{ui::VK_DOWN, 'A'}));
    EXPECT_EQ(chars, std::vector<char32_t>{U'a'});
    tree.SetOptions(tree.Options() | tloTabs);
    EXPECT_FALSE(tree.focusNextPrevChild(true));  // the grid keeps Tab
    tree.SetCtrlHeld(true);
    EXPECT_FALSE(tree.IsTabs());
}

}  // namespace
}  // namespace grid
