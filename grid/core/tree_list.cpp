#include "grid/core/tree_list.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>

#include <algorithm>

#include "grid/core/inplace_text_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/cursor.h"

namespace grid {

TCustomgxTreeList::TCustomgxTreeList(QWidget* parent)
    : TCustomgxContainer(parent), metrics_(&ui::DefaultTextMetrics()) {
    resize(250, 150);
    setFocusPolicy(Qt::StrongFocus);
    UpdateFrame();
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setMouseTracking(true);
    preview_font_.SetColor(ui::clBlue);
    auto relayout = [this] { LayoutChanged(); };
    auto own_font_changed = [this] {
        if (!following_parent_font_)
            parent_font_ = false;
        LayoutChanged();
    };
    band_font_.OnChange = own_font_changed;
    header_font_.OnChange = own_font_changed;
    preview_font_.OnChange = own_font_changed;
    Font().OnChange = relayout;
    images_link_.OnChange = relayout;
    state_images_link_.OnChange = relayout;
    QObject::connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
                     [this](int action) { ui::Guarded([&] { VerticalScrollAction(action); }); });
    // Focus leaving the control and its editor for another control of the same window
    // closes the edit. Another window (a message box, a popup) leaves it open, so an error
    // shown while validating cannot close the edit again.
    QObject::connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        auto inside = [this](QWidget* w) { return w != nullptr && (w == this || isAncestorOf(w)); };
        if (now != nullptr && now->window() == window() && inside(old) && !inside(now))
            ui::Guarded([this] { HideEditor(); });
    });
    QObject::connect(horizontalScrollBar(), &QScrollBar::actionTriggered, this, [this](int) {
        ui::Guarded([this] { SetLeftCoord(horizontalScrollBar()->sliderPosition()); });
    });
}

TCustomgxTreeList::~TCustomgxTreeList() {
    destroying_ = true;
    focused_node_ = top_node_ = anchor_ = hot_node_ = drag_node_ = nullptr;
    edit_node_ = nullptr;
    pressed_node_ = sizing_node_ = nullptr;
    editor_.reset();
    ClearCaches();
    ClearNodes();
}

std::unique_ptr<TgxTreeListNode> TCustomgxTreeList::CreateNode() {
    return std::make_unique<TgxTreeListNode>(this);
}

TgxTreeListNode* TCustomgxTreeList::Add() {
    return Insert(nullptr);
}

TgxTreeListNode* TCustomgxTreeList::Insert(TgxTreeListNode* before) {
    std::unique_ptr<TgxTreeListNode> node = CreateNode();
    TgxTreeListNode* raw = node.get();
    auto it = nodes_.end();
    if (before != nullptr && before->Parent() == nullptr)
        it = std::find_if(nodes_.begin(), nodes_.end(),
                          [before](const auto& p) { return p.get() == before; });
    nodes_.insert(it, std::move(node));
    NodeAdded(raw);
    return raw;
}

namespace {
// Fires the deletion hook for a whole subtree while everything is being cleared.
void FreeClearing(TCustomgxTreeList& owner, TgxTreeListNode& node,
                  const std::function<void(TgxTreeListNode*)>& hook) {
    for (int i = 0; i < node.Count(); ++i)
        FreeClearing(owner, *node.Items(i), hook);
    hook(&node);
}
}  // namespace

void TCustomgxTreeList::ClearNodes() {
    bool locked = !destroying_;
    if (locked)
        BeginUpdate();
    ClearCaches();
    clearing_ = true;
    if (!destroying_)
        ClearSelection();
    focused_node_ = top_node_ = anchor_ = hot_node_ = drag_node_ = nullptr;
    edit_node_ = nullptr;
    pressed_node_ = sizing_node_ = nullptr;
    drag_expand_node_ = nullptr;
    drag_expand_timer_.Stop();
    click_edit_node_ = nullptr;
    click_edit_timer_.Stop();
    NodeList doomed = std::move(nodes_);
    nodes_.clear();
    for (auto& node : doomed)
        FreeClearing(*this, *node,
                     [this](TgxTreeListNode* n) { DoDeletion(n, nullptr, false, false, nullptr); });
    doomed.clear();
    clearing_ = false;
    if (locked)
        EndUpdate();
}

NodeList TCustomgxTreeList::ReleaseAllNodes() {
    ClearCaches();
    focused_node_ = top_node_ = anchor_ = hot_node_ = drag_node_ = nullptr;
    edit_node_ = nullptr;
    pressed_node_ = sizing_node_ = nullptr;
    drag_expand_node_ = nullptr;
    drag_expand_timer_.Stop();
    click_edit_node_ = nullptr;
    click_edit_timer_.Stop();
    NodeList all = std::move(nodes_);
    nodes_.clear();
    return all;
}

NodeList TCustomgxTreeList::TakeChildren(TgxTreeListNode* node) {
    NodeList children;
    if (node->children_)
        children = std::move(*node->children_);
    node->children_.reset();
    node->has_children_ = false;
    node->expanded_ = false;
    for (auto& child : children)
        child->parent_ = nullptr;
    return children;
}

void TCustomgxTreeList::AttachNode(std::unique_ptr<TgxTreeListNode> node, TgxTreeListNode* parent,
                                   int index) {
    TgxTreeListNode* raw = node.get();
    NodeList* list = &nodes_;
    if (parent != nullptr) {
        if (!parent->children_)
            parent->children_ = std::make_unique<NodeList>();
        list = parent->children_.get();
        parent->has_children_ = true;
    }
    raw->parent_ = parent;
    if (index < 0 || index >= static_cast<int>(list->size())) {
        raw->index_hint_ = list->size();
        list->push_back(std::move(node));
    } else {
        raw->index_hint_ = static_cast<std::size_t>(index);
        list->insert(list->begin() + index, std::move(node));
    }
    NodeAdded(raw);
}

TgxTreeListNode* TCustomgxTreeList::Items(int index) const {
    if (index < 0 || index >= Count())
        return nullptr;
    return nodes_[static_cast<std::size_t>(index)].get();
}

TgxTreeListNode* TCustomgxTreeList::GetLastNode() const {
    if (nodes_.empty())
        return nullptr;
    TgxTreeListNode* node = nodes_.back().get();
    while (node->Expanded() && node->GetLastChild() != nullptr)
        node = node->GetLastChild();
    return node;
}

TgxTreeListNode* TCustomgxTreeList::GetNextVisibleNode(const TgxTreeListNode* node) const {
    if (node == nullptr)
        return nullptr;
    if (cache_valid_) {
        if (const int at = CachedDisplayIndex(node); at >= 0) {
            std::size_t next = static_cast<std::size_t>(at) + 1;
            return next < display_order_.size() ? display_order_[next] : nullptr;
        }
    }
    if (node->Expanded() && node->GetFirstChild() != nullptr)
        return node->GetFirstChild();
    for (const TgxTreeListNode* n = node; n != nullptr; n = n->Parent())
        if (TgxTreeListNode* sibling = n->GetNextSibling())
            return sibling;
    return nullptr;
}

int TCustomgxTreeList::CachedDisplayIndex(const TgxTreeListNode* node) const {
    if (node->display_generation_ != display_generation_)
        return -1;
    const int at = node->display_position_;
    // A node freed and another made at its address carries no stamp of this cache, yet
    // the check of the slot keeps a stale one from ever answering.
    if (at < 0 || static_cast<std::size_t>(at) >= display_order_.size() ||
        display_order_[static_cast<std::size_t>(at)] != node)
        return -1;
    return at;
}

int TCustomgxTreeList::CountDisplayed(const NodeList& list) const {
    int count = 0;
    for (const auto& node : list) {
        ++count;
        if (node->Expanded() && node->children_)
            count += CountDisplayed(*node->children_);
    }
    return count;
}

int TCustomgxTreeList::GetAbsoluteCount() const {
    if (cache_valid_)
        return static_cast<int>(display_order_.size());
    return CountDisplayed(nodes_);
}

int TCustomgxTreeList::GetAbsoluteIndex(const TgxTreeListNode* node) const {
    if (node == nullptr || nodes_.empty())
        return -1;
    if (cache_valid_)
        return CachedDisplayIndex(node);
    // Counted up the parents, never by stepping from the first row: each step looks its
    // row up among its siblings, so a row deep in a list of 100,000 took seconds to place.
    int index = 0;
    for (const TgxTreeListNode* n = node; n != nullptr; n = n->Parent()) {
        const NodeList& list = n->SiblingList();
        std::size_t i = 0;
        for (; i < list.size() && list[i].get() != n; ++i) {
            ++index;
            if (list[i]->Expanded() && list[i]->children_)
                index += CountDisplayed(*list[i]->children_);
        }
        if (i == list.size())
            return -1;
        if (n->Parent() != nullptr) {
            // A row under a collapsed parent is not displayed.
            if (!n->Parent()->Expanded())
                return -1;
            ++index;
        }
    }
    return index;
}

TgxTreeListNode* TCustomgxTreeList::GetAbsoluteNode(int index) const {
    if (index < 0)
        return nullptr;
    if (cache_valid_)
        return index < static_cast<int>(display_order_.size())
                   ? display_order_[static_cast<std::size_t>(index)]
                   : nullptr;
    // Found by going down through the displayed subtrees, as the index is counted above.
    const NodeList* list = &nodes_;
    int remaining = index;
    while (list != nullptr) {
        const NodeList* inner = nullptr;
        for (const auto& node : *list) {
            if (remaining == 0)
                return node.get();
            --remaining;
            if (node->Expanded() && node->children_) {
                const int shown = CountDisplayed(*node->children_);
                if (remaining < shown) {
                    inner = node->children_.get();
                    break;
                }
                remaining -= shown;
            }
        }
        list = inner;
    }
    return nullptr;
}

bool TCustomgxTreeList::IsFirstNode(const TgxTreeListNode* node) const {
    return node != nullptr && node == GetFirstNode();
}

bool TCustomgxTreeList::IsLastNode(const TgxTreeListNode* node) const {
    int count = GetAbsoluteCount();
    return node != nullptr && count > 0 && GetAbsoluteNode(count - 1) == node;
}

void TCustomgxTreeList::MakeNodeVisible(TgxTreeListNode* node) {
    if (node == nullptr)
        return;
    bool expanded = false;
    if (!node->IsVisible()) {
        BeginUpdate();
        expanded = true;
        std::vector<TgxTreeListNode*> ancestors;
        for (TgxTreeListNode* p = node->Parent(); p != nullptr; p = p->Parent())
            ancestors.push_back(p);
        for (TgxTreeListNode* p : ancestors)
            if (!p->Expanded())
                p->SetExpanded(true);
        RebuildVisibleNodeCache();
    }
    int index = GetAbsoluteIndex(node);
    int top = GetTopIndex();
    if (index >= 0 && top >= 0) {
        if (index < top)
            SetTopIndex(index);
        else if (index >= top + rows_in_view_)
            SetTopIndex(index - rows_in_view_ + 1);
    }
    if (expanded)
        EndUpdate();
}

void TCustomgxTreeList::NodeAdded(TgxTreeListNode* node) {
    hot_node_ = nullptr;
    if (top_node_ == nullptr)
        top_node_ = node;
    if (focused_node_ == nullptr)
        focused_node_ = top_node_;
    if (update_lock_ == 0) {
        if (!loading_ && !destroying_)
            RebuildVisibleNodeCache();
        TgxTreeListNode* from = node->GetPrevSibling();
        RepaintFrom(from != nullptr ? from : node);
    }
}

bool TCustomgxTreeList::GetNodeHasChildren(const TgxTreeListNode* node) const {
    return node->Count() > 0;
}

void TCustomgxTreeList::NodeChanged(TgxTreeListNode* node, bool layout_changed) {
    if (update_lock_ != 0)
        return;
    if (layout_changed) {
        UpdateScrollBars();
        RepaintFrom(node);
    } else {
        InvalidateRow(node);
    }
}

void TCustomgxTreeList::DoDeletion(TgxTreeListNode* node, TgxTreeListNode* previous, bool repaint,
                                   bool, TgxTreeListNode* next) {
    if (OnDeletion)
        OnDeletion(this, node);
    if (!destroying_) {
        if (IsMultiSelect() && IsNodeRecordSelected(node))
            SelectNode(node, false);
        if (!clearing_)
            ClearCaches();
    }
    if (drag_expand_node_ == node) {
        drag_expand_node_ = nullptr;
        drag_expand_timer_.Stop();
    }
    if (click_edit_node_ == node) {
        click_edit_node_ = nullptr;
        click_edit_timer_.Stop();
    }
    // A press or a row sizing under way outlives the row it started on: it must not read it.
    if (pressed_node_ == node)
        pressed_node_ = nullptr;
    if (sizing_node_ == node)
        sizing_node_ = nullptr;
    if (edit_node_ == node) {
        // The cell being edited is gone: nothing left to post into.
        edit_node_ = nullptr;
        edit_column_ = -1;
        if (editor_)
            editor_->Hide();
        if (state_ == tsEditing)
            state_ = tsNormal;
    }
    if (!nodes_.empty()) {
        TgxTreeListNode* replacement = previous != nullptr ? previous : next;
        if (top_node_ == node)
            top_node_ = replacement;
        if (focused_node_ == node)
            focused_node_ = replacement;
        if (hot_node_ == node)
            hot_node_ = nullptr;
        if (drag_node_ == node)
            drag_node_ = nullptr;
        if (anchor_ == node)
            anchor_ = replacement;
        if (repaint && update_lock_ == 0 && !destroying_) {
            RebuildVisibleNodeCache();
            TgxTreeListNode* from = top_node_       ? top_node_
                                    : focused_node_ ? focused_node_
                                                    : replacement;
            RepaintFrom(from);
        }
    } else {
        top_node_ = focused_node_ = anchor_ = hot_node_ = drag_node_ = nullptr;
        anchor_set_ = false;
        if (update_lock_ == 0 && !destroying_) {
            UpdateScrollBars();
            Repaint();
        }
    }
}

void TCustomgxTreeList::DeleteColumnValue(TgxTreeListNode* node, int index) {
    if (node == nullptr)
        return;
    for (int i = 0; i < node->Count(); ++i)
        DeleteColumnValue(node->Items(i), index);
}

void TCustomgxTreeList::ClearNodeMeasures() {
    if (destroying_)
        return;
    if (++measure_generation_ != 0)
        return;
    // Once in four billion clears the count starts again: no old stamp may then match.
    std::function<void(NodeList&)> walk = [&](NodeList& list) {
        for (auto& node : list) {
            node->measure_generation_ = 0;
            if (node->children_)
                walk(*node->children_);
        }
    };
    walk(nodes_);
    measure_generation_ = 1;
}

void TCustomgxTreeList::ClearCaches() {
    if (clearing_)
        return;
    cache_valid_ = false;
    ClearNodeMeasures();
    // Rows only being added at the end leave the order made so far standing, to be extended.
    if (appending_rows_)
        return;
    display_order_.clear();
    ++display_generation_;
}

bool TCustomgxTreeList::ExtendVisibleNodeCache() {
    const std::size_t kept = display_order_.size();
    if (kept > nodes_.size() || (kept > 0 && (display_order_.front() != nodes_.front().get() ||
                                              display_order_.back() != nodes_[kept - 1].get())))
        return false;
    for (std::size_t i = kept; i < nodes_.size(); ++i) {
        TgxTreeListNode* node = nodes_[i].get();
        if (node->Expanded() && node->children_ && !node->children_->empty())
            return false;
        node->display_position_ = static_cast<int>(i);
        node->display_generation_ = display_generation_;
        display_order_.push_back(node);
    }
    return true;
}

void TCustomgxTreeList::RebuildVisibleNodeCache() {
    if (appending_rows_ && ExtendVisibleNodeCache()) {
        cache_valid_ = true;
        if (!clearing_)
            ClearNodeMeasures();
        return;
    }
    display_order_.clear();
    ++display_generation_;
    std::function<void(const NodeList&)> walk = [&](const NodeList& list) {
        for (const auto& node : list) {
            node->display_position_ = static_cast<int>(display_order_.size());
            node->display_generation_ = display_generation_;
            display_order_.push_back(node.get());
            if (node->Expanded() && node->children_)
                walk(*node->children_);
        }
    };
    walk(nodes_);
    cache_valid_ = true;
    if (!clearing_)
        ClearNodeMeasures();
}

Value TCustomgxTreeList::GetNodeValue(const TgxTreeListNode*, int) const {
    return Value();
}
std::string TCustomgxTreeList::GetNodeString(const TgxTreeListNode*, int) const {
    return {};
}
void TCustomgxTreeList::SetNodeString(TgxTreeListNode*, int, std::string_view) {}
std::string TCustomgxTreeList::GetCellText(const TgxTreeListNode* node, int column) const {
    return GetNodeString(node, column);
}

void TCustomgxTreeList::BeginUpdate() {
    ++update_lock_;
    edit_node_ = nullptr;
    edit_column_ = -1;
    if (state_ == tsEditing)
        state_ = tsNormal;
    CloseEditor(false);
    ClearCaches();
    BeginSelection();
}

void TCustomgxTreeList::EndUpdate() {
    // An unpaired call must not drive the count negative and lock the control for good.
    if (update_lock_ <= 0)
        return;
    --update_lock_;
    if (update_lock_ == 0)
        LayoutChanged();
    EndSelection();
}

void TCustomgxTreeList::CancelUpdate() {
    if (update_lock_ <= 0)
        return;
    --update_lock_;
    EndSelection();
}

void TCustomgxTreeList::BeginSelection() {
    if (selection_lock_ == 0)
        selected_count_at_lock_ = GetSelectedCount();
    ++selection_lock_;
}

void TCustomgxTreeList::EndSelection() {
    if (selection_lock_ <= 0)
        return;
    --selection_lock_;
    if (selection_lock_ == 0 && GetSelectedCount() != selected_count_at_lock_)
        DoSelectedCountChange();
}

void TCustomgxTreeList::SetState(std::uint8_t state) {
    state_ = state;
    if (state == tsEditing && searching_)
        EndSearch();
    if (state == tsEditing && editor_)
        editor_->MoveCaretToEnd();
}

void TCustomgxTreeList::VerticalScrollAction(int) {
    SetTopIndex(verticalScrollBar()->sliderPosition());
}

bool TCustomgxTreeList::IsMouseScroll() const {
    if (!IsRowSelect() && IsEditingOption())
        return false;
    return (options_ex_ & tlxMouseScroll) != 0;
}

void TCustomgxTreeList::SetOptions(TLOptions value) {
    if (value == options_)
        return;
    HideEditor();
    BeginUpdate();
    if (value & tloRowSelect)
        options_ex_ &= ~tlxInvertSelect;
    if ((value & tloAutoSort) && !(options_ & tloAutoSort))
        ClearSorting();
    bool auto_width_off = (options_ & tloAutoWidth) && !(value & tloAutoWidth);
    if (auto_width_off && (options_ex_ & tlxKeepColumnWidth))
        FreezeDisplayedWidths();
    options_ = value;
    if (!loading_) {
        ClearSelection();
        if (focused_node_ != nullptr)
            SelectNode(focused_node_, true);
    }
    EndUpdate();
}

void TCustomgxTreeList::SetOptionsEx(TLOptionsEx value) {
    if (value == options_ex_)
        return;
    HideEditor();
    BeginUpdate();
    if (value & tlxInvertSelect)
        SetOptions(static_cast<TLOptions>(options_ & ~tloRowSelect));
    bool multi_sort_off = (options_ex_ & tlxMultiSort) && !(value & tlxMultiSort);
    bool ansi_changed = ((options_ex_ ^ value) & tlxAnsiSort) != 0;
    if (multi_sort_off || ansi_changed)
        ClearSorting();
    bool auto_header_on =
        (value & tlxAutoHeaderPanelHeight) && !(options_ex_ & tlxAutoHeaderPanelHeight);
    options_ex_ = value;
    if (auto_header_on)
        HeaderPanelAutoRows();
    if (!(value & tlxAutoSearch) && searching_)
        EndSearch();
    EndUpdate();
}

void TCustomgxTreeList::FreezeDisplayedWidths() {
    int bands = GetBandCount();
    if (IsBandHeaderWidth() && GetVisibleColumnCount() > 0 && bands == 1) {
        int column = GetVisibleColumnIndex(0);
        SetColumnWidthFromSizing(column, GetHeaderWidth(column));
    } else if (bands > 0) {
        SetVisibleBandWidth(0, GetBandDisplayWidth(0) + GetGroupIndentWidth());
    }
}

ui::Color TCustomgxTreeList::GetEditColor() {
    ui::Color color = GetColor();
    int column = GetFocusedColumn();
    if (column >= 0 && column < GetVisibleColumnCount())
        color = GetColumnColor(GetVisibleColumnIndex(column));
    if (OnGetEditorColor)
        OnGetEditorColor(this, color);
    return color;
}

const ui::TFont& TCustomgxTreeList::GetEditFont() {
    int visible = GetFocusedColumn();
    if (visible >= 0 && visible < GetVisibleColumnCount()) {
        int column = GetVisibleColumnIndex(visible);
        if (IsColumnFontExplicit(column))
            return GetColumnFont(column);
    }
    return Font();
}

bool TCustomgxTreeList::IsEditColumnChanged() {
    return edit_node_ != nullptr && GetFocusedColumn() != edit_column_at_bind_;
}

bool TCustomgxTreeList::IsEditing() const {
    return state_ == tsEditing && update_lock_ == 0;
}

std::unique_ptr<TgxInplaceEdit> TCustomgxTreeList::CreateEditor() {
    return std::make_unique<TgxInplaceTextEdit>(viewport());
}

void TCustomgxTreeList::ShowEditor() {
    if (!IsEditingOption() || IsRowSelect() || focused_node_ == nullptr)
        return;
    bool allow = true;
    if (IsNewItemRowActive())
        BeginInsertRow(allow);
    else
        DoEditing(focused_node_, allow);
    if (!allow)
        return;
    if (state_ != tsNormal)
        return;
    int column = GetFocusedColumn();
    if (column < 0 || GetVisibleColumnCount() == 0)
        return;
    // A cell outside the view has no rectangle, and an editor without one binds nothing.
    MakeColumnVisible(column);
    MakeNodeVisible(focused_node_);
    SetState(tsEditing);
    UpdateEditor(false);
}

void TCustomgxTreeList::UpdateEditor(bool keep_hidden) {
    if (!IsEditing())
        return;
    TgxInplaceEdit* editor = FindEditor();
    int column = std::max(0, GetFocusedColumn());
    bool rebind = false;
    if (editor != nullptr) {
        if (edit_node_ != nullptr && (edit_node_ != focused_node_ || edit_column_ != column)) {
            CloseEditor(false);
            SetState(tsEditing);
        }
        rebind = edit_node_ != focused_node_ || edit_column_ != column;
    } else {
        editor_ = CreateEditor();
        editor_->Container = this;
        editor = editor_.get();
        rebind = true;
    }
    if (rebind) {
        edit_column_ = column;
        edit_node_ = focused_node_;
        edit_column_at_bind_ = column;
        editor->Container = this;
        if (editor->parentWidget() != viewport())
            editor->setParent(viewport());
        if (edit_node_ != nullptr)
            editor->InitEditValue();
    }
    ui::Rect r = GetCellRect(focused_node_, column);
    // An empty rectangle only hides the editor: the cell keeps its binding and its text.
    if (IsEditing()) {
        if (keep_hidden)
            ++editor->ShowLock;
        editor->ShowInRect(r);
        if (keep_hidden)
            --editor->ShowLock;
    } else {
        edit_column_ = -1;
        edit_node_ = nullptr;
    }
}

void TCustomgxTreeList::HideEditor() {
    if (state_ != tsEditing)
        return;
    if (!destroying_ && editor_ && !editor_->ValidateEdit())
        return;
    SetState(tsNormal);
    CloseEditor(false);
}

void TCustomgxTreeList::HideEditorAndFocus() {
    if (state_ == tsEditing) {
        if (!destroying_ && editor_ && !editor_->ValidateEdit())
            return;
        SetState(tsNormal);
        CloseEditor(true);
    }
    if (isVisible())
        setFocus();
}

void TCustomgxTreeList::CloseEditor(bool refocus) {
    if (!editor_)
        return;
    editor_->Closing = true;
    bool had_focus = editor_->IsEditFocused();
    if (!destroying_) {
        try {
            PostEditorValue();
        } catch (...) {
            // The text was refused (the field cannot take it): the edit stays open with
            // what was typed, so that the user can mend it or abandon it with Escape.
            editor_->Closing = false;
            if (edit_node_ != nullptr)
                state_ = tsEditing;
            throw;
        }
    }
    edit_node_ = nullptr;
    edit_column_ = -1;
    editor_->Hide();
    if ((refocus || had_focus) && isVisible())
        setFocus();
}

void TCustomgxTreeList::PostEditorValue() {
    if (!editor_ || edit_node_ == nullptr || edit_column_ < 0)
        return;
    std::string text;
    editor_->GetEditingText(text);
    DoEditedText(edit_node_, edit_column_, text);
}

void TCustomgxTreeList::CancelEditor() {
    edit_node_ = nullptr;
    edit_column_ = -1;
    if (destroying_)
        return;
    if (state_ == tsEditing)
        SetState(tsNormal);
    if (editor_)
        editor_->Hide();
    if (isVisible())
        setFocus();
}

void TCustomgxTreeList::DoEditedText(TgxTreeListNode* node, int, const std::string&) {
    DoEdited(node);
}

std::string TCustomgxTreeList::EditingText() {
    std::string text;
    if (IsEditing() && editor_)
        editor_->GetEditingText(text);
    return text;
}

void TCustomgxTreeList::SetEditingText(const std::string& text) {
    if (IsEditing() && editor_)
        editor_->SetEditingText(text);
}

void TCustomgxTreeList::DoCollapsed(TgxTreeListNode* node) {
    if (OnCollapsed)
        OnCollapsed(this, node);
}
void TCustomgxTreeList::DoEdited(TgxTreeListNode* node) {
    if (OnEdited)
        OnEdited(this, node);
}
void TCustomgxTreeList::DoExpanded(TgxTreeListNode* node) {
    if (OnExpanded)
        OnExpanded(this, node);
}
void TCustomgxTreeList::DoCollapsing(TgxTreeListNode* node, bool& allow) {
    if (OnCollapsing)
        OnCollapsing(this, node, allow);
}
void TCustomgxTreeList::DoEditing(TgxTreeListNode* node, bool& allow) {
    if (OnEditing)
        OnEditing(this, node, allow);
}
void TCustomgxTreeList::DoExpanding(TgxTreeListNode* node, bool& allow) {
    if (OnExpanding)
        OnExpanding(this, node, allow);
}
void TCustomgxTreeList::DoChangeColumn(TgxTreeListNode* node, int column) {
    if (OnChangeColumn)
        OnChangeColumn(this, node, column);
}
void TCustomgxTreeList::DoChangeLeftCoord() {
    if (OnChangeLeftCoord)
        OnChangeLeftCoord(this);
}
void TCustomgxTreeList::DoChangeNode(TgxTreeListNode* old_node, TgxTreeListNode* node) {
    if (OnChangeNode)
        OnChangeNode(this, old_node, node);
}
bool TCustomgxTreeList::DoFocusNode(TgxTreeListNode* node) {
    node->SetFocused(true);
    // An editor that refuses its text keeps the focus where it is.
    return node->Focused();
}

std::string TCustomgxTreeList::GetHeaderLineText() {
    std::string line;
    for (int i = 0, n = GetVisibleColumnCount(); i < n; ++i) {
        line += GetHeaderText(GetVisibleColumnIndex(i));
        line += '\t';
    }
    return line;
}

std::string TCustomgxTreeList::GetNodeLineText(const TgxTreeListNode* node) {
    if (GetNodeHasChildrenQuery(node))
        return GetCellText(node, 0);
    std::string line;
    for (int i = 0, n = GetVisibleColumnCount(); i < n; ++i) {
        line += GetCellText(node, GetVisibleColumnIndex(i));
        line += '\t';
    }
    return line;
}

void TCustomgxTreeList::SaveAllToStrings(std::vector<std::string>& lines) {
    lines.push_back(GetHeaderLineText());
    for (TgxTreeListNode* n = GetFirstNode(); n != nullptr; n = GetNextVisibleNode(n))
        lines.push_back(GetNodeLineText(n));
}

void TCustomgxTreeList::SaveSelectedToStrings(std::vector<std::string>& lines) {
    lines.push_back(GetHeaderLineText());
    if (IsMultiSelect()) {
        std::vector<TgxTreeListNode*> selected;
        for (int i = 0, n = GetSelectedCount(); i < n; ++i)
            if (TgxTreeListNode* node = GetSelectedItem(i))
                selected.push_back(node);
        std::sort(selected.begin(), selected.end(),
                  [](auto* a, auto* b) { return CompareNodePositions(a, b) < 0; });
        for (TgxTreeListNode* node : selected)
            lines.push_back(GetNodeLineText(node));
    } else if (focused_node_ != nullptr) {
        lines.push_back(GetNodeLineText(focused_node_));
    }
}

void TCustomgxTreeList::CopySelectedToClipboard() {
    std::vector<std::string> lines;
    SaveSelectedToStrings(lines);
    // Every line, the header included, ends with CR LF.
    ui::SetClipboardText(ui::JoinLinesCrLf(lines));
}

int TCustomgxTreeList::CompareNodes(const TgxTreeListNode* a, const TgxTreeListNode* b) const {
    return CompareNodePositions(a, b);
}

namespace {
struct SortRecord {
    TgxTreeListNode* node;
    std::size_t position;  // in the list before the sort
    std::vector<Value> values;
};

int CompareValues(const Value& a, const Value& b, bool ansi, bool case_insensitive) {
    if (ansi && a.IsString() && b.IsString())
        return CompareText(a.AsString(), b.AsString());
    return Value::Compare(a, b, case_insensitive);
}
}  // namespace

void TCustomgxTreeList::SortNodes(int level, int column, bool descending) {
    std::unique_ptr<ui::THourglass> hourglass;
    if (IsShowHourGlass())
        hourglass = std::make_unique<ui::THourglass>();
    std::vector<std::pair<int, bool>> keys = SortColumns();
    if (keys.size() <= 1 || !IsColumnMultiSort())
        keys = {{column, descending}};
    bool ansi = IsAnsiSort();
    bool ci = IsCaseInsensitive();
    // The view stays where the user looks: a focused row in view keeps its place on the
    // screen, otherwise the top row index stays; the top row is never pinned to a node that
    // the sort moves elsewhere.
    const ViewPlace view = RememberView();
    auto sort_list = [&](NodeList& list) {
        if (list.size() < 2)
            return;
        std::vector<SortRecord> records;
        records.reserve(list.size());
        for (auto& node : list) {
            SortRecord r{node.get(), records.size(), {}};
            for (const auto& key : keys)
                r.values.push_back(GetNodeCompareValue(node.get(), key.first));
            records.push_back(std::move(r));
        }
        auto less = [&](const SortRecord& a, const SortRecord& b) {
            int c = 0;
            if (OnCompare) {
                OnCompare(this, a.node, b.node, c);
                if (descending)
                    c = -c;
            } else {
                for (std::size_t i = 0; i < keys.size() && c == 0; ++i) {
                    c = CompareValues(a.values[i], b.values[i], ansi, ci);
                    if (keys[i].second)
                        c = -c;
                }
            }
            // Equal rows keep their order before the sort: a strict weak order throughout.
            if (c == 0)
                c = CompareNodes(a.node, b.node);
            return c < 0;
        };
        std::stable_sort(records.begin(), records.end(), less);
        NodeList sorted;
        sorted.reserve(list.size());
        for (const SortRecord& r : records)
            sorted.push_back(std::move(list[r.position]));
        list = std::move(sorted);
    };
    std::function<void(NodeList&, int)> walk = [&](NodeList& list, int depth) {
        if (level < 0 || level == depth)
            sort_list(list);
        if (level >= 0 && depth >= level)
            return;
        for (auto& node : list)
            if (node->children_)
                walk(*node->children_, depth + 1);
    };
    walk(nodes_, 0);
    ClearCaches();
    if (update_lock_ == 0)
        RebuildVisibleNodeCache();
    RestoreView(view);
    if (update_lock_ == 0) {
        UpdateScrollBars();
        Repaint();
    }
}

ViewPlace TCustomgxTreeList::RememberView() const {
    ViewPlace view;
    view.top = GetTopIndex();
    view.focused = focused_node_;
    const int focused = GetAbsoluteIndex(focused_node_);
    if (view.top >= 0 && focused >= view.top && focused < view.top + std::max(rows_in_view_, 1))
        view.focused_offset = focused - view.top;
    return view;
}

void TCustomgxTreeList::RestoreView(const ViewPlace& view) {
    const int count = GetAbsoluteCount();
    if (count == 0 || view.top < 0)
        return;
    int top = view.top;
    if (view.focused_offset >= 0 && view.focused == focused_node_) {
        const int focused = GetAbsoluteIndex(focused_node_);
        if (focused >= 0)
            top = focused - view.focused_offset;
    }
    top = std::clamp(top, 0, std::max(0, count - rows_in_view_));
    SetTopVisibleNode(GetAbsoluteNode(top));
}

void TCustomgxTreeList::SetHideSelection(bool v) {
    if (hide_selection_ != v) {
        hide_selection_ = v;
        Repaint();
    }
}
void TCustomgxTreeList::SetHideFocusRect(bool v) {
    if (hide_focus_rect_ != v) {
        hide_focus_rect_ = v;
        Repaint();
    }
}
#define CORVANE_LAYOUT_SETTER(Name, field) \
    void TCustomgxTreeList::Name(bool v) { \
        if (field == v)                    \
            return;                        \
        field = v;                         \
        LayoutChanged();                   \
    }
CORVANE_LAYOUT_SETTER(SetShowBands, show_bands_)
CORVANE_LAYOUT_SETTER(SetShowGrid, show_grid_)
CORVANE_LAYOUT_SETTER(SetShowHeader, show_header_)
CORVANE_LAYOUT_SETTER(SetShowPreviewGrid, show_preview_grid_)
CORVANE_LAYOUT_SETTER(SetShowRowFooter, show_row_footer_)
CORVANE_LAYOUT_SETTER(SetShowFooter, show_footer_)
CORVANE_LAYOUT_SETTER(SetShowIndicator, show_indicator_)
CORVANE_LAYOUT_SETTER(SetGridMode, grid_mode_)
CORVANE_LAYOUT_SETTER(SetShowRoot, show_root_)
#undef CORVANE_LAYOUT_SETTER

void TCustomgxTreeList::SetShowNewItemRow(bool v) {
    if (show_new_item_row_ == v)
        return;
    if (!v && new_item_row_active_)
        SetNewItemRowActive(false);
    show_new_item_row_ = v;
    LayoutChanged();
}

void TCustomgxTreeList::SetNewItemRowActive(bool active) {
    if (!IsNewItemRowVisible() || active == new_item_row_active_)
        return;
    new_item_row_active_ = active;
    InvalidateRow(focused_node_);
    Repaint();
}

void TCustomgxTreeList::SetDefaultRowHeight(int v) {
    default_row_height_ = v;
    default_row_height_explicit_ = true;
    LayoutChanged();
}
void TCustomgxTreeList::SetIndentDesc(int v) {
    indent_desc_ = std::max(0, v);
    Repaint();
}
void TCustomgxTreeList::SetPreviewLines(int v) {
    preview_lines_ = std::max(-1, v);
    LayoutChanged();
}
void TCustomgxTreeList::SetFixedBandLineWidth(int v) {
    fixed_band_line_width_ = std::max(1, v);
    LayoutChanged();
}
void TCustomgxTreeList::SetRowSeparatorLineWidth(int v) {
    row_separator_line_width_ = std::max(1, v);
    LayoutChanged();
}
void TCustomgxTreeList::SetMaxRowLineCount(int v) {
    max_row_line_count_ = std::max(-1, v);
    LayoutChanged();
}
void TCustomgxTreeList::SetLookAndFeel(TgxLookAndFeel v) {
    if (look_and_feel_ == v)
        return;
    look_and_feel_ = v;
    hot_node_ = nullptr;
    UpdateFrame();
    LayoutChanged();
}
void TCustomgxTreeList::SetBorderStyle(TBorderStyle v) {
    if (border_style_ == v)
        return;
    border_style_ = v;
    UpdateFrame();
    LayoutChanged();
}

// A single border is the sunken client edge (two pixels) under the standard look and one
// sunken pixel under the flat look; the frame is drawn by the control in either case.
void TCustomgxTreeList::UpdateFrame() {
    if (border_style_ == bsNone) {
        setFrameStyle(QFrame::NoFrame);
        return;
    }
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(look_and_feel_ == lfFlat ? 1 : 2);
}

bool TCustomgxTreeList::event(QEvent* e) {
    if (e->type() == QEvent::WindowBlocked) {
        // A modal window took the input: the button's release will not come here, so a
        // sizing or drag under way ends now instead of hanging on with its image and timers.
        ui::Guarded([this] {
            CancelMode();
            if (state_ == tsNodeDragging) {
                drag_image_.reset();
                EndDragNode();
            } else if (state_ == tsNodeDown) {
                SetState(tsNormal);
            }
        });
    }
    bool result = TCustomgxContainer::event(e);
    if (e->type() == QEvent::Paint && border_style_ == bsSingle) {
        ui::Guarded([this] {
            QPainter painter(this);
            ui::TCanvas canvas(painter);
            ui::Rect r{0, 0, width(), height()};
            if (look_and_feel_ == lfFlat) {
                canvas.DrawEdge(r, ui::BDR_SUNKENOUTER, ui::BF_RECT);
                QScrollBar* v = verticalScrollBar();
                QScrollBar* h = horizontalScrollBar();
                if (v->isVisible() && h->isVisible()) {
                    QPoint vp = v->mapTo(this, QPoint(0, 0));
                    QPoint hp = h->mapTo(this, QPoint(0, 0));
                    canvas.Brush = {ui::clBtnFace, ui::bsSolid, {}};
                    canvas.FillRect(ui::Bounds(vp.x(), hp.y(), v->width(), h->height()));
                }
            } else {
                canvas.DrawEdge(r, ui::EDGE_SUNKEN, ui::BF_RECT);
            }
        });
    }
    return result;
}

void TCustomgxTreeList::SetScrollBars(TScrollStyle v) {
    if (scroll_bars_ == v)
        return;
    scroll_bars_ = v;
    UpdateScrollBars();
}
void TCustomgxTreeList::SetImages(ui::TCustomImageList* list) {
    BeginUpdate();
    if (images_ != nullptr)
        images_->UnRegisterChanges(images_link_);
    images_ = list;
    if (images_ != nullptr)
        images_->RegisterChanges(images_link_);
    EndUpdate();
}
void TCustomgxTreeList::SetStateImages(ui::TCustomImageList* list) {
    BeginUpdate();
    if (state_images_ != nullptr)
        state_images_->UnRegisterChanges(state_images_link_);
    state_images_ = list;
    if (state_images_ != nullptr)
        state_images_->RegisterChanges(state_images_link_);
    EndUpdate();
}

void TCustomgxTreeList::SetTextMetrics(const ui::TextMetrics* metrics) {
    metrics_ = metrics != nullptr ? metrics : &ui::DefaultTextMetrics();
    LayoutChanged();
}

void TCustomgxTreeList::Repaint() {
    ++invalidations_;
    viewport()->update();
}

void TCustomgxTreeList::InvalidateRect(const ui::Rect& r) {
    if (r.IsEmpty())
        return;
    ++invalidations_;
    viewport()->update(QRect(r.left, r.top, r.Width(), r.Height()));
}

void TCustomgxTreeList::InvalidateRow(const TgxTreeListNode* node) {
    if (node == nullptr || update_lock_ != 0)
        return;
    InvalidateRect(GetRowRect(node));
}

void TCustomgxTreeList::RepaintFrom(const TgxTreeListNode* node) {
    if (node == nullptr || update_lock_ != 0)
        return;
    ui::Rect row = GetRowRect(node);
    ui::Rect nodes = GetNodesRect();
    if (row.IsEmpty()) {
        Repaint();
        return;
    }
    InvalidateRect({nodes.left, row.top, nodes.right, nodes.bottom});
}

void TCustomgxTreeList::focusInEvent(QFocusEvent* e) {
    TCustomgxContainer::focusInEvent(e);
    ui::Guarded([this] {
        if (focused_node_ == nullptr && top_node_ != nullptr)
            focused_node_ = top_node_;
        InvalidateRow(focused_node_);
        if (IsMultiSelect() && GetSelectedCount() > 0)
            InvalidateSelection();
    });
}

void TCustomgxTreeList::focusOutEvent(QFocusEvent* e) {
    TCustomgxContainer::focusOutEvent(e);
    ui::Guarded([this] {
        QWidget* to = QApplication::focusWidget();
        bool to_editor =
            editor_ && to != nullptr && (to == editor_.get() || editor_->isAncestorOf(to));
        if (to_editor)
            return;
        InvalidateRow(focused_node_);
        if (IsMultiSelect() && GetSelectedCount() > 0)
            InvalidateSelection();
        if (state_ == tsNodeDown)
            state_ = tsNormal;
    });
}

void TCustomgxTreeList::keyPressEvent(QKeyEvent* e) {
    ui::Guarded([&] {
        SetCtrlHeld((e->modifiers() & Qt::ControlModifier) != 0);
        std::uint16_t key = ui::VirtualKey(*e);
        if (key != 0)
            ContainerKeyDown(key, ui::ShiftState(*e));
        if (key == 0 && ui::VirtualKey(*e) != 0)
            return;
        char32_t ch = ui::KeyChar(*e);
        // With Alt held only an editing grid or a running search takes characters.
        bool alt = (e->modifiers() & Qt::AltModifier) != 0;
        if (alt && !IsEditingOption() && !IsSearching())
            ch = 0;
        if (ch != 0)
            ContainerKeyPress(ch);
    });
    e->accept();
}

void TCustomgxTreeList::keyReleaseEvent(QKeyEvent* e) {
    ui::Guarded([&] {
        SetCtrlHeld((e->modifiers() & Qt::ControlModifier) != 0);
        std::uint16_t key = ui::VirtualKey(*e);
        ContainerKeyUp(key, ui::ShiftState(*e));
    });
    e->accept();
}

bool TCustomgxTreeList::focusNextPrevChild(bool next) {
    if (IsTabs())
        return false;
    return TCustomgxContainer::focusNextPrevChild(next);
}

void TCustomgxTreeList::ParentFontChanged(const ui::TFont& font) {
    if (!parent_font_)
        return;
    // Each copy re-lays out through the fonts' change handlers; the flag keeps them from
    // taking the copy for a change of the control's own.
    following_parent_font_ = true;
    try {
        Font().Assign(font);
        band_font_.Assign(Font());
        header_font_.Assign(Font());
        preview_font_.SetName(Font().Name());
        preview_font_.SetSize(Font().Size());
        preview_font_.SetStyle(Font().Style());
        preview_font_.SetColor(ui::clBlue);
    } catch (...) {
        following_parent_font_ = false;
        throw;
    }
    following_parent_font_ = false;
}

void TCustomgxTreeList::changeEvent(QEvent* e) {
    TCustomgxContainer::changeEvent(e);
    if (e->type() == QEvent::FontChange && parent_font_ && parentWidget() != nullptr) {
        // The parent's font reached this window: the control's fonts follow it.
        QFont q = font();
        ui::TFont parent;
        parent.Assign(Font());
        parent.SetName(q.family().toStdString());
        if (q.pointSize() > 0)
            parent.SetSize(q.pointSize());
        ui::TFontStyles style = 0;
        if (q.bold())
            style |= static_cast<unsigned>(ui::fsBold);
        if (q.italic())
            style |= static_cast<unsigned>(ui::fsItalic);
        if (q.underline())
            style |= static_cast<unsigned>(ui::fsUnderline);
        if (q.strikeOut())
            style |= static_cast<unsigned>(ui::fsStrikeOut);
        parent.SetStyle(style);
        ui::Guarded([&] { ParentFontChanged(parent); });
        return;
    }
    if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange)
        ui::Guarded([this] { LayoutChanged(); });
}

void TCustomgxTreeList::resizeEvent(QResizeEvent* e) {
    TCustomgxContainer::resizeEvent(e);
    ui::Guarded([this] {
        ClearCaches();
        RebuildVisibleNodeCache();
        CalcRowsInView();
        UpdateScrollBars();
        SetTopIndex(GetTopIndex());
        SetLeftCoord(left_coord_);
    });
}

}  // namespace grid
