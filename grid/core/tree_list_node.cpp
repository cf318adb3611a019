#include "grid/core/tree_list_node.h"

#include <algorithm>

#include "grid/core/exceptions.h"
#include "grid/core/tree_list.h"

namespace grid {

TgxTreeListNode::TgxTreeListNode(TCustomgxTreeList* owner) : owner_(owner) {
    if (owner == nullptr)
        RaiseInvalidTreeListOperation(kInvalidOwnerNode);
}

// Plain destruction frees the subtree without bookkeeping; Delete() does the bookkeeping.
TgxTreeListNode::~TgxTreeListNode() = default;

NodeList& TgxTreeListNode::SiblingList() const {
    return parent_ != nullptr ? *parent_->children_ : owner_->TopNodes();
}

std::unique_ptr<TgxTreeListNode> TgxTreeListNode::Detach() {
    NodeList& list = SiblingList();
    auto it = list.begin() + Index();
    std::unique_ptr<TgxTreeListNode> self = std::move(*it);
    list.erase(it);
    if (parent_ != nullptr && parent_->children_->empty())
        parent_->ChildListEmptied();
    return self;
}

void TgxTreeListNode::ChildListEmptied() {
    children_.reset();
    has_children_ = owner_->GetNodeHasChildren(this);
    expanded_ = false;
}

TgxTreeListNode* TgxTreeListNode::InsertChild(TgxTreeListNode* before) {
    std::unique_ptr<TgxTreeListNode> node = owner_->CreateNode();
    TgxTreeListNode* raw = node.get();
    raw->parent_ = this;
    if (!children_)
        children_ = std::make_unique<NodeList>();
    int index = before != nullptr ? IndexOf(before) : -1;
    if (index < 0)
        children_->push_back(std::move(node));
    else
        children_->insert(children_->begin() + index, std::move(node));
    SetHasChildren(true);
    owner_->NodeAdded(raw);
    return raw;
}

void TgxTreeListNode::MoveTo(TgxTreeListNode* destination, TNodeAttachMode mode) {
    // Onto itself, into its own subtree or nowhere: nothing to do, and no cycle can form.
    if (destination == nullptr || destination == this || destination->HasAsParent(this))
        return;
    owner_->BeginUpdate();
    std::unique_ptr<TgxTreeListNode> self = Detach();
    bool sibling_mode = mode == natlAdd || mode == natlAddFirst || mode == natlInsert;
    TgxTreeListNode* new_parent = sibling_mode ? destination->parent_ : destination;
    NodeList* list = nullptr;
    if (new_parent != nullptr) {
        if (!new_parent->children_)
            new_parent->children_ = std::make_unique<NodeList>();
        list = new_parent->children_.get();
    } else {
        list = &owner_->TopNodes();
    }
    parent_ = new_parent;
    switch (mode) {
        case natlAdd:
        case natlAddChild:
            list->push_back(std::move(self));
            break;
        case natlAddFirst:
        case natlAddChildFirst:
            list->insert(list->begin(), std::move(self));
            break;
        case natlInsert: {
            auto it = std::find_if(list->begin(), list->end(),
                                   [destination](const auto& p) { return p.get() == destination; });
            list->insert(it, std::move(self));
            break;
        }
    }
    // Whatever the mode, the receiving parent now has children.
    if (new_parent != nullptr)
        new_parent->has_children_ = true;
    owner_->focused_node_ = this;
    owner_->RebuildVisibleNodeCache();
    MakeVisible();
    owner_->EndUpdate();
}

void TgxTreeListNode::MoveFromRootTo(TgxTreeListNode* new_parent, int index) {
    NodeList& top = owner_->TopNodes();
    if (new_parent == nullptr || index < 0 || index >= static_cast<int>(top.size()) ||
        top[static_cast<std::size_t>(index)].get() != this || new_parent == this ||
        new_parent->HasAsParent(this))
        return;
    std::unique_ptr<TgxTreeListNode> self = std::move(top[static_cast<std::size_t>(index)]);
    top.erase(top.begin() + index);
    if (!new_parent->children_)
        new_parent->children_ = std::make_unique<NodeList>();
    new_parent->children_->push_back(std::move(self));
    parent_ = new_parent;
    new_parent->has_children_ = true;
    // The rows shown have changed; a cached display order would miss or repeat this one.
    owner_->ClearCaches();
}

void TgxTreeListNode::ReleaseChildren() {
    if (children_) {
        NodeList& top = owner_->TopNodes();
        for (auto& child : *children_) {
            child->parent_ = nullptr;
            top.push_back(std::move(child));
        }
        children_.reset();
    }
    has_children_ = owner_->GetNodeHasChildren(this);
    expanded_ = false;
    owner_->focused_node_ = this;
    // The released children are top-level rows now; the cached display order knew none.
    owner_->ClearCaches();
    owner_->NodeChanged(this, true);
}

void TgxTreeListNode::DeleteChildren() {
    while (children_ && !children_->empty())
        children_->front()->Delete();
}

void TgxTreeListNode::Delete() {
    TCustomgxTreeList* owner = owner_;
    bool clearing = owner->IsClearing();
    deleting_ = true;
    if (!clearing) {
        while (children_ && !children_->empty())
            children_->front()->Delete();
    } else {
        children_.reset();
    }
    TgxTreeListNode* previous = nullptr;
    TgxTreeListNode* next = nullptr;
    bool last = false;
    bool visible = false;
    if (!clearing) {
        previous = GetPrevSiblingOrParent();
        next = owner->GetNextVisibleNode(this);
        last = IsLast();
        visible = IsVisible() && !(parent_ != nullptr && parent_->deleting_);
    }
    std::unique_ptr<TgxTreeListNode> self = Detach();
    owner->DoDeletion(this, previous, visible, last, next);
}

void TgxTreeListNode::Expand(bool recurse) {
    if (!has_children_)
        return;
    owner_->BeginUpdate();
    SetExpanded(true);
    if (recurse && children_)
        for (auto& child : *children_)
            child->Expand(true);
    owner_->EndUpdate();
}

void TgxTreeListNode::Collapse(bool recurse) {
    if (!has_children_)
        return;
    owner_->BeginUpdate();
    SetExpanded(false);
    if (recurse && children_)
        for (auto& child : *children_)
            child->Collapse(true);
    owner_->EndUpdate();
}

void TgxTreeListNode::AppendChildrenTo(std::vector<TgxTreeListNode*>& list) const {
    if (!children_)
        return;
    list.reserve(list.size() + children_->size());
    for (const auto& child : *children_)
        list.push_back(child.get());
}

TgxTreeListNode* TgxTreeListNode::Items(int index) const {
    if (!children_ || index < 0 || index >= static_cast<int>(children_->size()))
        return nullptr;
    return (*children_)[static_cast<std::size_t>(index)].get();
}

TgxTreeListNode* TgxTreeListNode::GetLastChild() const {
    return children_ && !children_->empty() ? children_->back().get() : nullptr;
}

int TgxTreeListNode::Index() const {
    // Every step of a walk over the rows (the next sibling, the row after, tree order) asks
    // this: a search from the front made each walk over a long list quadratic.
    const NodeList& list = SiblingList();
    const std::size_t count = list.size();
    constexpr std::size_t kNearby = 32;
    const std::size_t hint = index_hint_;
    for (std::size_t d = 0; d <= kNearby; ++d) {
        if (hint + d < count && list[hint + d].get() == this) {
            index_hint_ = hint + d;
            return static_cast<int>(index_hint_);
        }
        if (d != 0 && d <= hint && hint - d < count && list[hint - d].get() == this) {
            index_hint_ = hint - d;
            return static_cast<int>(index_hint_);
        }
    }
    // Far from where it was: every sibling learns its place, so that the walk that asked
    // finds the rest of them at once.
    int found = -1;
    for (std::size_t i = 0; i < count; ++i) {
        list[i]->index_hint_ = i;
        if (list[i].get() == this)
            found = static_cast<int>(i);
    }
    return found;
}

TgxTreeListNode* TgxTreeListNode::GetNextSibling() const {
    const NodeList& list = SiblingList();
    int i = Index();
    return i >= 0 && i + 1 < static_cast<int>(list.size())
               ? list[static_cast<std::size_t>(i) + 1].get()
               : nullptr;
}

TgxTreeListNode* TgxTreeListNode::GetPrevSibling() const {
    int i = Index();
    return i > 0 ? SiblingList()[static_cast<std::size_t>(i) - 1].get() : nullptr;
}

TgxTreeListNode* TgxTreeListNode::GetNext() const {
    if (TgxTreeListNode* child = GetFirstChild())
        return child;
    for (const TgxTreeListNode* n = this; n != nullptr; n = n->parent_)
        if (TgxTreeListNode* sibling = n->GetNextSibling())
            return sibling;
    return nullptr;
}

TgxTreeListNode* TgxTreeListNode::GetPrev() const {
    TgxTreeListNode* prev = GetPrevSibling();
    if (prev == nullptr)
        return parent_;
    while (TgxTreeListNode* last = prev->GetLastChild())
        prev = last;
    return prev;
}

TgxTreeListNode* TgxTreeListNode::GetNextVisible() const {
    return owner_->GetNextVisibleNode(this);
}

TgxTreeListNode* TgxTreeListNode::GetPriorVisible() const {
    if (owner_->VisibleNodeCacheValid()) {
        int index = owner_->GetAbsoluteIndex(this);
        return index > 0 ? owner_->GetAbsoluteNode(index - 1) : nullptr;
    }
    TgxTreeListNode* prev = GetPrevSibling();
    if (prev == nullptr)
        return parent_;
    while (prev->expanded_ && prev->GetLastChild() != nullptr)
        prev = prev->GetLastChild();
    return prev;
}

TgxTreeListNode* TgxTreeListNode::GetPrevSiblingOrParent() const {
    TgxTreeListNode* prev = GetPrevSibling();
    return prev != nullptr ? prev : parent_;
}

bool TgxTreeListNode::HasAsParent(const TgxTreeListNode* node) const {
    if (node == nullptr)
        return false;
    for (const TgxTreeListNode* p = parent_; p != nullptr; p = p->parent_)
        if (p == node)
            return true;
    return false;
}

int TgxTreeListNode::IndexOf(const TgxTreeListNode* child) const {
    if (!children_ || child == nullptr || child->parent_ != this)
        return -1;
    return child->Index();
}

int TgxTreeListNode::Level() const {
    int level = 0;
    for (const TgxTreeListNode* p = parent_; p != nullptr; p = p->parent_)
        ++level;
    return level;
}

bool TgxTreeListNode::IsLast() const {
    const NodeList& list = SiblingList();
    return !list.empty() && list.back().get() == this;
}

bool TgxTreeListNode::IsVisible() const {
    for (const TgxTreeListNode* p = parent_; p != nullptr; p = p->parent_)
        if (!p->expanded_)
            return false;
    return true;
}

int TgxTreeListNode::AbsoluteIndex() const {
    return owner_->GetAbsoluteIndex(this);
}

bool TgxTreeListNode::Focused() const {
    return owner_->GetFocusedNode() == this;
}

void TgxTreeListNode::SetFocused(bool value) {
    if (value == Focused())
        return;
    owner_->SetFocusedNodeColumn(value ? this : nullptr, owner_->GetFocusedColumn(), true);
}

bool TgxTreeListNode::Selected() const {
    if (!owner_->IsMultiSelect())
        return Focused();
    return owner_->IsNodeRecordSelected(this);
}

void TgxTreeListNode::SetSelected(bool value) {
    owner_->SelectNode(this, value);
}

void TgxTreeListNode::SetExpanded(bool value) {
    if (!has_children_ || value == expanded_)
        return;
    bool allow = true;
    if (value)
        owner_->DoExpanding(this, allow);
    else
        owner_->DoCollapsing(this, allow);
    if (!allow)
        return;
    if (!value) {
        TgxTreeListNode* top = owner_->TopVisibleNode();
        if (top != nullptr && top->HasAsParent(this))
            owner_->SetTopVisibleNode(this);
        TgxTreeListNode* focused = owner_->GetFocusedNode();
        if (focused != nullptr && focused->HasAsParent(this) && !owner_->DoFocusNode(this))
            return;
    }
    expanded_ = value;
    if (owner_->UpdateLockCount() == 0 && !owner_->IsDestroying())
        owner_->RebuildVisibleNodeCache();
    owner_->NodeChanged(this, true);
    if (value)
        owner_->DoExpanded(this);
    else
        owner_->DoCollapsed(this);
}

void TgxTreeListNode::SetHasChildren(bool value) {
    if (value == has_children_)
        return;
    has_children_ = value || Count() > 0;
    owner_->NodeChanged(this, false);
}

Value TgxTreeListNode::Values(int column) const {
    return owner_->GetNodeValue(this, column);
}
std::string TgxTreeListNode::Strings(int column) const {
    return owner_->GetNodeString(this, column);
}
void TgxTreeListNode::SetStrings(int column, std::string_view text) {
    owner_->SetNodeString(this, column, text);
}
int TgxTreeListNode::ImageIndex() const {
    return owner_->GetNodeImageIndex(this);
}
int TgxTreeListNode::SelectedIndex() const {
    return owner_->GetNodeSelectedIndex(this);
}
int TgxTreeListNode::StateIndex() const {
    return owner_->GetNodeStateIndex(this);
}
void TgxTreeListNode::MakeVisible() {
    owner_->MakeNodeVisible(this);
}

int CompareNodePositions(const TgxTreeListNode* a, const TgxTreeListNode* b) {
    if (a == b)
        return 0;
    if (a->HasAsParent(b))
        return 1;
    if (b->HasAsParent(a))
        return -1;
    int la = a->Level();
    int lb = b->Level();
    while (la > lb) {
        a = a->Parent();
        --la;
    }
    while (lb > la) {
        b = b->Parent();
        --lb;
    }
    while (a->Parent() != b->Parent()) {
        a = a->Parent();
        b = b->Parent();
    }
    int ia = a->Index();
    int ib = b->Index();
    return ia < ib ? -1 : (ia > ib ? 1 : 0);
}

}  // namespace grid
