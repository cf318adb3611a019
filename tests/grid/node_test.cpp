#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "grid/core/exceptions.h"
#include "grid/core/node_texts.h"
#include "grid/core/tree_list.h"

namespace grid {
namespace {

// root0 (a, b (b1, b2)), root1
struct Forest {
    TCustomgxTreeList tree;
    TgxTreeListNode* root0;
    TgxTreeListNode* a;
    TgxTreeListNode* b;
    TgxTreeListNode* b1;
    TgxTreeListNode* b2;
    TgxTreeListNode* root1;
    Forest() {
        root0 = tree.Add();
        a = root0->AddChild();
        b = root0->AddChild();
        b1 = b->AddChild();
        b2 = b->AddChild();
        root1 = tree.Add();
    }
};

TEST(TreeListNode, CreationNeedsAnOwner) {
    try {
        TgxTreeListNode node(nullptr);
        FAIL();
    } catch (const EInvalidgxTreeListOperation& e) {
        EXPECT_STREQ(e.what(), "Invalid Owner TgxTreeListNode");
    }
}

TEST(TreeListNode, StructureAndNavigation) {
    Forest f;
    EXPECT_EQ(f.root0->Count(), 2);
    EXPECT_TRUE(f.root0->HasChildren());
    EXPECT_EQ(f.b->Items(1), f.b2);
    EXPECT_EQ(f.b->Items(2), nullptr);
    EXPECT_EQ(f.b->Items(-1), nullptr);
    EXPECT_EQ(f.b2->Level(), 2);
    EXPECT_EQ(f.b2->Index(), 1);
    EXPECT_TRUE(f.b2->IsLast());
    EXPECT_TRUE(f.root1->IsLast());
    EXPECT_EQ(f.a->GetNext(), f.b);
    EXPECT_EQ(f.b2->GetNext(), f.root1);
    EXPECT_EQ(f.root1->GetPrev(), f.b2);  // deepest last descendant, expanded or not
    EXPECT_EQ(f.a->GetPrev(), f.root0);   // a first child's prev is its parent
    EXPECT_EQ(f.root0->GetPrev(), nullptr);
    EXPECT_TRUE(f.b1->HasAsParent(f.root0));
    EXPECT_FALSE(f.root0->HasAsParent(f.root0));
    EXPECT_EQ(f.root0->IndexOf(f.root1), -1);
    EXPECT_FALSE(f.b1->IsVisible());
    f.root0->Expand(true);
    EXPECT_TRUE(f.b1->IsVisible());
    EXPECT_EQ(f.tree.GetAbsoluteCount(), 6);
    EXPECT_EQ(f.b1->AbsoluteIndex(), 3);
    EXPECT_EQ(f.tree.GetAbsoluteNode(5), f.root1);
    EXPECT_EQ(f.b->GetPriorVisible(), f.a);
    EXPECT_EQ(f.tree.GetLastNode(), f.root1);
}

TEST(TreeListNode, CompareNodePositionsIsTreeOrder) {
    Forest f;
    const TgxTreeListNode* order[] = {f.root0, f.a, f.b, f.b1, f.b2, f.root1};
    for (std::size_t i = 0; i < std::size(order); ++i)
        for (std::size_t j = 0; j < std::size(order); ++j) {
            int c = CompareNodePositions(order[i], order[j]);
            EXPECT_EQ(c < 0, i < j) << i << "," << j;
            EXPECT_EQ(c == 0, i == j) << i << "," << j;
        }
}

TEST(TreeListNode, DeletingTheOnlyChildCollapsesTheParent) {
    TCustomgxTreeList tree;
    TgxTreeListNode* parent = tree.Add();
    TgxTreeListNode* child = parent->AddChild();
    parent->SetExpanded(true);
    ASSERT_TRUE(parent->Expanded());
    child->Delete();
    EXPECT_EQ(parent->Count(), 0);
    EXPECT_FALSE(parent->Expanded());
    EXPECT_FALSE(parent->HasChildren());
}

TEST(TreeListNode, CollapsingMovesFocusOutOfTheSubtreeOrStays) {
    Forest f;
    f.root0->Expand(true);
    f.tree.SetFocusedNode(f.b1);
    ASSERT_EQ(f.tree.GetFocusedNode(), f.b1);
    f.b->SetExpanded(false);
    EXPECT_EQ(f.tree.GetFocusedNode(), f.b);
    EXPECT_FALSE(f.b->Expanded());

    // A refused focus move keeps the node expanded.
    struct Refusing : TCustomgxTreeList {
        bool DoFocusNode(TgxTreeListNode*) override { return false; }
    } tree;
    TgxTreeListNode* p = tree.Add();
    TgxTreeListNode* c = p->AddChild();
    p->SetExpanded(true);
    tree.SetFocusedNode(c);
    p->SetExpanded(false);
    EXPECT_TRUE(p->Expanded());
    EXPECT_EQ(tree.GetFocusedNode(), c);
}

TEST(TreeListNode, CollapseCanBeRefusedByTheEvent) {
    Forest f;
    f.root0->SetExpanded(true);
    f.tree.OnCollapsing = [](TCustomgxTreeList*, TgxTreeListNode*, bool& allow) { allow = false; };
    int collapsed = 0;
    f.tree.OnCollapsed = [&](TCustomgxTreeList*, TgxTreeListNode*) { ++collapsed; };
    f.root0->SetExpanded(false);
    EXPECT_TRUE(f.root0->Expanded());
    EXPECT_EQ(collapsed, 0);
}

TEST(TreeListNode, MoveToOntoItselfOrIntoItsSubtreeIsANoOp) {
    for (TNodeAttachMode mode :
         {natlAdd, natlAddFirst, natlAddChild, natlAddChildFirst, natlInsert}) {
        Forest f;
        f.b->MoveTo(f.b, mode);
        EXPECT_EQ(f.b->Parent(), f.root0);
        EXPECT_EQ(f.b->Index(), 1);
        EXPECT_EQ(f.b->Count(), 2);
        f.b->MoveTo(f.b1, mode);
        EXPECT_EQ(f.b->Parent(), f.root0);
        EXPECT_EQ(f.b1->Parent(), f.b);
        f.b->MoveTo(nullptr, mode);
        EXPECT_EQ(f.b->Parent(), f.root0);
    }
}

TEST(TreeListNode, EveryMoveModeLandsWhereAskedAndMarksTheParent) {
    struct Case {
        TNodeAttachMode mode;
        bool into_root1;  // the destination's parent (root0) or root1 receives the node
        int index;
    };
    const Case cases[] = {
        {natlAdd, false, 2},  // after b (a, b, moved) -- b1 is moved out of b first
        {natlAddFirst, false, 0}, {natlInsert, false, 0},  // directly before a
        {natlAddChild, true, 0},  {natlAddChildFirst, true, 0},
    };
    for (const Case& c : cases) {
        Forest f;
        TgxTreeListNode* destination = c.into_root1 ? f.root1 : f.a;
        f.b1->MoveTo(destination, c.mode);
        TgxTreeListNode* parent = c.into_root1 ? f.root1 : f.root0;
        EXPECT_EQ(f.b1->Parent(), parent);
        EXPECT_EQ(f.b1->Index(), c.index) << static_cast<int>(c.mode);
        EXPECT_TRUE(parent->HasChildren());
        EXPECT_EQ(f.tree.GetFocusedNode(), f.b1);
        EXPECT_TRUE(f.b1->IsVisible());
    }
    // The old parent keeps its remaining child; a parent emptied by a move is collapsed.
    Forest f;
    f.a->MoveTo(f.root1, natlAddChild);
    f.b1->MoveTo(f.root1, natlAddChild);
    f.b2->MoveTo(f.root1, natlAddChild);
    EXPECT_FALSE(f.b->HasChildren());
    EXPECT_FALSE(f.b->Expanded());
    EXPECT_EQ(f.root1->Count(), 3);
}

TEST(TreeListNode, MoveFromRootAndReleaseChildren) {
    TCustomgxTreeList tree;
    TgxTreeListNode* group = tree.Add();
    TgxTreeListNode* row = tree.Add();
    row->MoveFromRootTo(group, 1);
    EXPECT_EQ(tree.Count(), 1);
    EXPECT_EQ(row->Parent(), group);
    EXPECT_TRUE(group->HasChildren());
    row->MoveFromRootTo(group, 5);  // out of range: nothing
    EXPECT_EQ(row->Parent(), group);
    group->ReleaseChildren();
    EXPECT_EQ(tree.Count(), 2);
    EXPECT_EQ(row->Parent(), nullptr);
    EXPECT_FALSE(group->HasChildren());
    EXPECT_EQ(tree.GetFocusedNode(), group);
}

TEST(TreeListNode, RegroupingKeepsTheDisplayedRowsRight) {
    TCustomgxTreeList tree;
    TgxTreeListNode* group = tree.Add();
    TgxTreeListNode* row = tree.Add();
    TgxTreeListNode* other = tree.Add();
    tree.RebuildVisibleNodeCache();
    ASSERT_EQ(tree.GetAbsoluteCount(), 3);
    // Into a collapsed group: one row fewer on show.
    row->MoveFromRootTo(group, 1);
    EXPECT_EQ(tree.GetAbsoluteCount(), 2);
    EXPECT_EQ(tree.GetNextVisibleNode(group), other);
    EXPECT_EQ(tree.GetAbsoluteIndex(row), -1);
    tree.RebuildVisibleNodeCache();
    // Released again: every former child is a shown top-level row.
    group->ReleaseChildren();
    EXPECT_EQ(tree.GetAbsoluteCount(), 3);
    EXPECT_EQ(tree.GetAbsoluteIndex(row), 2);
    EXPECT_EQ(tree.GetNextVisibleNode(other), row);
    EXPECT_EQ(tree.GetAbsoluteNode(2), row);
}

// Without the display cache a row's place is counted up its parents and the row at a place
// is found down through them: both must agree with stepping from the first row, for rows under
// expanded and collapsed groups at any depth.
TEST(TreeListNode, AbsoluteIndexWithoutTheCacheIsTheDisplayedPlace) {
    TCustomgxTreeList tree;
    std::vector<TgxTreeListNode*> all;
    for (int g = 0; g < 4; ++g) {
        TgxTreeListNode* group = tree.Add();
        all.push_back(group);
        for (int s = 0; s < 3; ++s) {
            TgxTreeListNode* sub = group->AddChild();
            all.push_back(sub);
            for (int r = 0; r < 2 + s; ++r)
                all.push_back(sub->AddChild());
            if ((g + s) % 2 == 0)
                sub->Expand(false);
        }
        if (g != 2)
            group->Expand(false);
        all.push_back(tree.Add());  // a plain row between the groups
    }
    std::vector<TgxTreeListNode*> shown;
    tree.RebuildVisibleNodeCache();
    for (TgxTreeListNode* n = tree.GetFirstNode(); n != nullptr; n = tree.GetNextVisibleNode(n))
        shown.push_back(n);
    ASSERT_GT(shown.size(), 10u);
    ASSERT_LT(shown.size(), all.size());
    tree.ClearCaches();
    for (TgxTreeListNode* node : all) {
        const auto at = std::find(shown.begin(), shown.end(), node);
        const int expected = at == shown.end() ? -1 : static_cast<int>(at - shown.begin());
        EXPECT_EQ(tree.GetAbsoluteIndex(node), expected);
    }
    for (std::size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(tree.GetAbsoluteNode(static_cast<int>(i)), shown[i]) << i;
    EXPECT_EQ(tree.GetAbsoluteNode(static_cast<int>(shown.size())), nullptr);
    EXPECT_EQ(tree.GetAbsoluteNode(-1), nullptr);
}

// Every row in tree order, read through the child lists alone.
void TreeOrder(const TCustomgxTreeList& tree, std::vector<TgxTreeListNode*>& out) {
    std::vector<TgxTreeListNode*> stack;
    for (int i = tree.Count() - 1; i >= 0; --i)
        stack.push_back(tree.Items(i));
    while (!stack.empty()) {
        TgxTreeListNode* n = stack.back();
        stack.pop_back();
        out.push_back(n);
        for (int i = n->Count() - 1; i >= 0; --i)
            stack.push_back(n->Items(i));
    }
}

// A row's place among its siblings, and the walks built on it, stay right through inserts in
// front, deletions, moves and sorts of long sibling lists, in any order.
TEST(TreeListNode, SiblingPlacesAndWalksHoldThroughEveryChange) {
    std::mt19937 random(4242);
    TCustomgxTreeList tree;
    std::map<const TgxTreeListNode*, int> weight;
    tree.OnCompare = [&](TCustomgxTreeList*, TgxTreeListNode* a, TgxTreeListNode* b, int& c) {
        c = weight[a] - weight[b];
    };
    std::vector<TgxTreeListNode*> order;
    const auto any = [&]() -> TgxTreeListNode* {
        order.clear();
        TreeOrder(tree, order);
        return order.empty() ? nullptr : order[random() % order.size()];
    };
    for (int i = 0; i < 300; ++i)
        weight[tree.Add()] = static_cast<int>(random() % 50);
    for (int step = 0; step < 400; ++step) {
        SCOPED_TRACE(step);
        TgxTreeListNode* n = any();
        switch (random() % 7) {
            case 0:
                weight[tree.Insert(n != nullptr && n->Parent() == nullptr ? n : nullptr)] =
                    static_cast<int>(random() % 50);
                break;
            case 1:
                if (n != nullptr) {
                    for (int k = static_cast<int>(random() % 20); k >= 0; --k)
                        weight[n->InsertChild(n->GetFirstChild())] =
                            static_cast<int>(random() % 50);
                }
                break;
            case 2:
                if (n != nullptr && order.size() > 50) {
                    weight.erase(n);
                    n->Delete();
                }
                break;
            case 3: {
                TgxTreeListNode* to = any();
                if (n != nullptr && to != nullptr)
                    n->MoveTo(to, static_cast<TNodeAttachMode>(random() % 5));
                break;
            }
            case 4:
                tree.SortNodes(-1, 0, random() % 2 == 0);
                break;
            case 5:
                if (n != nullptr)
                    n->Expand(true);
                break;
            default:
                // Rows deleted from the front, as a cleared group loses them.
                if (n != nullptr && n->Count() > 3) {
                    for (int k = 0; k < 3; ++k) {
                        weight.erase(n->GetFirstChild());
                        n->GetFirstChild()->Delete();
                    }
                }
                break;
        }
        if (step % 20 != 19)
            continue;
        order.clear();
        TreeOrder(tree, order);
        tree.ClearCaches();
        TgxTreeListNode* walked = order.empty() ? nullptr : order.front();
        for (std::size_t i = 0; i < order.size(); ++i) {
            TgxTreeListNode* node = order[i];
            ASSERT_EQ(walked, node) << i;
            walked = walked->GetNext();
            const TgxTreeListNode* parent = node->Parent();
            const int count = parent != nullptr ? parent->Count() : tree.Count();
            const int index = node->Index();
            ASSERT_EQ(parent != nullptr ? parent->Items(index) : tree.Items(index), node);
            EXPECT_EQ(node->GetNextSibling(),
                      index + 1 < count
                          ? (parent != nullptr ? parent->Items(index + 1) : tree.Items(index + 1))
                          : nullptr);
            EXPECT_EQ(node->GetPrev(), i == 0 ? nullptr : order[i - 1]);
            if (parent != nullptr) {
                EXPECT_EQ(parent->IndexOf(node), index);
            }
        }
        EXPECT_EQ(walked, nullptr);
    }
}

TEST(TreeListNode, DeletionHookSeesNeighboursExceptWhileClearing) {
    Forest f;
    f.root0->Expand(true);
    struct Seen {
        TgxTreeListNode* node;
        TgxTreeListNode* previous;
        TgxTreeListNode* next;
        bool last;
    };
    std::vector<Seen> seen;
    struct Recording : TCustomgxTreeList {
        std::vector<Seen>* out = nullptr;
        void DoDeletion(TgxTreeListNode* n, TgxTreeListNode* p, bool r, bool l,
                        TgxTreeListNode* x) override {
            if (out)
                out->push_back({n, p, x, l});
            TCustomgxTreeList::DoDeletion(n, p, r, l, x);
        }
    } tree;
    tree.out = &seen;
    TgxTreeListNode* r0 = tree.Add();
    TgxTreeListNode* c0 = r0->AddChild();
    TgxTreeListNode* c1 = r0->AddChild();
    TgxTreeListNode* r1 = tree.Add();
    r0->SetExpanded(true);
    c1->Delete();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].previous, c0);
    EXPECT_EQ(seen[0].next, r1);
    EXPECT_TRUE(seen[0].last);
    seen.clear();
    tree.ClearNodes();
    ASSERT_EQ(seen.size(), 3u);  // r0, its child c0, r1: each told, none with neighbours
    for (const Seen& s : seen) {
        EXPECT_EQ(s.previous, nullptr);
        EXPECT_EQ(s.next, nullptr);
        EXPECT_FALSE(s.last);
    }
    EXPECT_EQ(tree.Count(), 0);
    EXPECT_EQ(tree.GetFocusedNode(), nullptr);
}

TEST(TreeListNode, HasChildrenCannotBeClearedWhileChildrenExist) {
    Forest f;
    f.b->SetHasChildren(false);
    EXPECT_TRUE(f.b->HasChildren());
    f.root1->SetHasChildren(true);  // children loaded on demand
    EXPECT_TRUE(f.root1->HasChildren());
    EXPECT_EQ(f.root1->Count(), 0);
}

// A row's packed texts behave as a vector of strings under every change a grid makes.
TEST(NodeTexts, PackedTextsFollowAVectorOfStrings) {
    std::mt19937 random(7);
    NodeTexts texts;
    std::vector<std::string> model;
    auto some_text = [&] {
        return std::string(random() % 40, static_cast<char>('a' + random() % 26));
    };
    for (int step = 0; step < 2000; ++step) {
        const std::size_t i = random() % 10;
        const std::size_t j = random() % 10;
        switch (random() % 6) {
            case 0: {
                const std::string text = some_text();
                texts.Set(i, text);
                model.resize(std::max(model.size(), i + 1));
                model[i] = text;
                break;
            }
            case 1:
                texts.resize(i);
                model.resize(i);
                break;
            case 2:
                texts.erase(i);
                if (i < model.size())
                    model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            case 3: {
                texts.Move(i, j);
                model.resize(std::max({model.size(), i + 1, j + 1}));
                std::string moved = model[i];
                model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
                model.insert(model.begin() + static_cast<std::ptrdiff_t>(j), moved);
                break;
            }
            case 4:
                model.assign(i, some_text());
                texts.Assign(model);
                break;
            default: {
                // A text of the row itself, set into another of its cells.
                const bool own = i < texts.size() && j < texts.size();
                const std::string expected = own ? model[j] : "x";
                texts.Set(i, own ? texts[j] : std::string_view("x"));
                model.resize(std::max(model.size(), i + 1));
                model[i] = expected;
                break;
            }
        }
        const NodeTexts copy = texts;
        ASSERT_EQ(copy.size(), model.size()) << step;
        for (std::size_t k = 0; k < model.size(); ++k)
            ASSERT_EQ(copy[k], model[k]) << step;
    }
}

}  // namespace
}  // namespace grid
