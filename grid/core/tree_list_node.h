#pragma once

// One row of the grid. Nodes form a forest: the tree list owns the top-level nodes and
// every node owns its children. Values and texts are asked from the owner, so plain text
// nodes and record nodes share this class.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "grid/core/value.h"

namespace grid {

class TCustomgxTreeList;
class TgxTreeListNode;

using NodeList = std::vector<std::unique_ptr<TgxTreeListNode>>;

enum class TNodeAttachMode { natlAdd, natlAddFirst, natlAddChild, natlAddChildFirst, natlInsert };
using enum TNodeAttachMode;

class TgxTreeListNode {
  public:
    // Requires: a non-null owner (else EInvalidgxTreeListOperation). Create nodes through
    // the owner's CreateNode so that its node class is used.
    explicit TgxTreeListNode(TCustomgxTreeList* owner);
    virtual ~TgxTreeListNode();
    TgxTreeListNode(const TgxTreeListNode&) = delete;
    TgxTreeListNode& operator=(const TgxTreeListNode&) = delete;

    TgxTreeListNode* AddChild() { return InsertChild(nullptr); }
    TgxTreeListNode* InsertChild(TgxTreeListNode* before);
    void MoveTo(TgxTreeListNode* destination, TNodeAttachMode mode);
    void MoveFromRootTo(TgxTreeListNode* new_parent, int index);
    void ReleaseChildren();
    void DeleteChildren();
    // Frees the node (and its subtree) with the owner's deletion bookkeeping.
    void Delete();
    void Expand(bool recurse);
    void Collapse(bool recurse);
    void AppendChildrenTo(std::vector<TgxTreeListNode*>& list) const;

    TgxTreeListNode* GetFirstChild() const { return Items(0); }
    TgxTreeListNode* GetLastChild() const;
    TgxTreeListNode* GetNextSibling() const;
    TgxTreeListNode* GetPrevSibling() const;
    TgxTreeListNode* GetNext() const;
    TgxTreeListNode* GetPrev() const;
    TgxTreeListNode* GetNextVisible() const;
    TgxTreeListNode* GetPriorVisible() const;
    TgxTreeListNode* GetPrevSiblingOrParent() const;
    bool HasAsParent(const TgxTreeListNode* node) const;
    int IndexOf(const TgxTreeListNode* child) const;

    int Count() const { return children_ ? static_cast<int>(children_->size()) : 0; }
    TgxTreeListNode* Items(int index) const;
    int Index() const;
    int Level() const;
    bool IsLast() const;
    bool IsVisible() const;
    int AbsoluteIndex() const;
    bool Focused() const;
    void SetFocused(bool value);
    bool Selected() const;
    void SetSelected(bool value);
    bool Expanded() const { return expanded_; }
    void SetExpanded(bool value);
    bool HasChildren() const { return has_children_; }
    void SetHasChildren(bool value);
    bool Deleting() const { return deleting_; }
    TCustomgxTreeList* Owner() const { return owner_; }
    TgxTreeListNode* Parent() const { return parent_; }

    Value Values(int column) const;
    std::string Strings(int column) const;
    void SetStrings(int column, std::string_view text);
    int ImageIndex() const;
    int SelectedIndex() const;
    int StateIndex() const;
    void MakeVisible();

  private:
    friend class TCustomgxTreeList;
    NodeList& SiblingList() const;
    std::unique_ptr<TgxTreeListNode> Detach();
    void ChildListEmptied();

    // Where the node stood among its siblings when last looked up: rows added or removed
    // before it move it by a few places, so that it is found near there (see Index).
    mutable std::size_t index_hint_ = 0;
    // The node's place in its owner's display order, valid while display_generation_
    // matches the owner's: a list of a million rows needs no table beside it for this.
    mutable int display_position_ = -1;
    mutable std::uint32_t display_generation_ = 0;
    // The row's height as last measured, valid while measure_generation_ matches the
    // owner's: dropping every measure of a long list is one count, not a walk over its rows.
    std::int32_t measure_cache_ = 0;
    std::uint32_t measure_generation_ = 0;
    bool deleting_ = false;
    bool expanded_ = false;
    bool has_children_ = false;
    std::unique_ptr<NodeList> children_;  // null while the node has no children
    TCustomgxTreeList* owner_;
    TgxTreeListNode* parent_ = nullptr;
};

// Tree order of two nodes: negative when a comes first, 0 only for the same node.
int CompareNodePositions(const TgxTreeListNode* a, const TgxTreeListNode* b);

}  // namespace grid
