// The tree list's keyboard: focus movement, Shift ranges, expand and collapse, the editor
// keys, copying rows, and the incremental search over the search column.

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QString>

#include <algorithm>

#include "grid/core/tree_list.h"

namespace grid {
namespace {

using ui::TShiftState;

bool IsMouseOperation(std::uint8_t s) {
    return s == tsColumnSizing || s == tsColumnDragging || s == tsColumnDown || s == tsBandSizing ||
           s == tsBandDragging || s == tsBandDown || s == tsBandPanelSizing ||
           s == tsHeaderPanelSizing || s == tsRowSizing || s == tsBandButtonDown ||
           s == tsHeaderButtonDown;
}

// Keeps the selection lock for the length of one key.
class SelectionScope {
  public:
    explicit SelectionScope(TCustomgxTreeList& tree) : tree_(tree) { tree_.BeginSelection(); }
    ~SelectionScope() { tree_.EndSelection(); }
    SelectionScope(const SelectionScope&) = delete;
    SelectionScope& operator=(const SelectionScope&) = delete;

  private:
    TCustomgxTreeList& tree_;
};

// The text without its last character; a character outside the basic plane is two UTF-16
// units, and cutting one of them would leave half a character that matches nothing.
std::string WithoutLastCharacter(const std::string& text) {
    QString q = QString::fromStdString(text);
    if (q.isEmpty())
        return {};
    const qsizetype n = q.size();
    q.chop(n >= 2 && q.at(n - 1).isLowSurrogate() && q.at(n - 2).isHighSurrogate() ? 2 : 1);
    return q.toStdString();
}

// The last node in tree order, collapsed children included.
TgxTreeListNode* LastInTree(const TCustomgxTreeList& tree) {
    TgxTreeListNode* node = tree.Items(tree.Count() - 1);
    while (node != nullptr && node->Count() > 0)
        node = node->GetLastChild();
    return node;
}

}  // namespace

void TCustomgxTreeList::ContainerKeyDown(std::uint16_t& key, TShiftState shift) {
    TCustomgxContainer::ContainerKeyDown(key, shift);
    if (key != 0)
        KeyDown(key, shift);
}

void TCustomgxTreeList::ContainerKeyPress(char32_t& key) {
    TCustomgxContainer::ContainerKeyPress(key);
    if (key != 0)
        KeyPress(key);
}

int TCustomgxTreeList::NextFocusableColumn(int from, bool forward) const {
    int count = GetVisibleColumnCount();
    for (int next = from + (forward ? 1 : -1); next >= 0 && next < count; next += forward ? 1 : -1)
        if (IsColumnTabStop(GetVisibleColumnIndex(next)))
            return next;
    return -1;
}

int TCustomgxTreeList::EdgeFocusableColumn(bool first) const {
    const int edge = NextFocusableColumn(first ? -1 : GetVisibleColumnCount(), first);
    // Where no column takes the focus by keys, the focus keeps its column.
    return edge >= 0 ? edge : GetFocusedColumn();
}

void TCustomgxTreeList::MoveFocus(TgxTreeListNode* node, int column, TShiftState shift,
                                  bool range_keys) {
    if (node == nullptr)
        return;
    bool range = range_keys && (shift & ui::ssShift) != 0 && HasAllNodes();
    if (!range) {
        SetFocusedNodeColumn(node, column, true);
        ClearSelection();
        SetSelectionAnchor(node);
        return;
    }
    TgxTreeListNode* anchor = RangeAnchor();
    if (anchor == nullptr)
        anchor = focused_node_;
    SetFocusedNodeColumn(node, column, true);
    ClearSelection();
    SetSelectionAnchor(anchor);
    SelectRange(anchor, node);
}

// The display index a page move from the focused row lands on.
static int PageTarget(const TCustomgxTreeList& tree, bool down) {
    int count = tree.GetAbsoluteCount();
    int index = tree.GetFocusedAbsoluteIndex();
    int top = std::max(0, tree.GetTopIndex());
    int rows = tree.GetVisibleRowCount();
    int target;
    if (rows < 2) {
        target = index + (down ? 1 : -1);
    } else {
        int last_visible = std::min(count - 1, top + rows - 1);
        if (index > top && index < last_visible)
            target = down ? last_visible : top;
        else
            target = index + (down ? 1 : -1) * std::max(1, rows - 1);
    }
    return std::clamp(target, 0, std::max(0, count - 1));
}

void TCustomgxTreeList::MovePage(bool down) {
    if (GetAbsoluteCount() == 0)
        return;
    SetFocusedNodeColumn(GetAbsoluteNode(PageTarget(*this, down)), focused_column_, true);
}

void TCustomgxTreeList::KeyDown(std::uint16_t& key, TShiftState shift) {
    SelectionScope lock(*this);
    if (!IsKeyAllowed(key)) {
        key = 0;
        return;
    }
    if (IsMouseOperation(state_)) {
        if (key == ui::VK_ESCAPE)
            CancelMode();
        return;
    }
    if (state_ == tsNodeDragging) {
        NodeDragKey(key);
        return;
    }
    if (Count() == 0)
        return;
    if (state_ == tsEditing && !CloseEditorForKey(key))
        return;
    if (IsNewItemRowActive() && (key == ui::VK_NEXT || key == ui::VK_DOWN)) {
        LeaveNewItemRowByKey(shift);
        return;
    }
    if (searching_ && SearchKey(key, shift))
        return;
    const bool ctrl = (shift & ui::ssCtrl) != 0;
    const bool nav_range_exception =
        ctrl && (shift & ui::ssShift) != 0 && HasAllNodes() &&
        (key == ui::VK_PRIOR || key == ui::VK_NEXT || key == ui::VK_END || key == ui::VK_HOME ||
         key == ui::VK_UP || key == ui::VK_DOWN);
    const bool handled = ctrl && !nav_range_exception && CtrlKey(key);
    if (!handled && !PlainKey(key, shift))
        return;
    if (GetSelectedCount() == 0 && focused_node_ != nullptr && IsMultiSelect())
        focused_node_->SetSelected(true);
}

void TCustomgxTreeList::NodeDragKey(std::uint16_t key) {
    // Escape ends a node drag; the keypad's plus and minus open and close the node under the
    // pointer.
    if (key == ui::VK_ESCAPE) {
        drag_image_.reset();
        EndDragNode();
    } else if (key == ui::VK_ADD || key == ui::VK_SUBTRACT) {
        QPoint p = viewport()->mapFromGlobal(QCursor::pos());
        if (TgxTreeListNode* node = GetNodeAt(p.x(), p.y()); node != nullptr) {
            if (key == ui::VK_ADD && node->HasChildren() && !node->Expanded())
                node->SetExpanded(true);
            else if (key == ui::VK_SUBTRACT && node->Expanded())
                node->SetExpanded(false);
        }
    }
}

bool TCustomgxTreeList::CloseEditorForKey(std::uint16_t key) {
    switch (key) {
        case ui::VK_TAB:
        case ui::VK_RETURN:
        case ui::VK_ESCAPE:
        case ui::VK_PRIOR:
        case ui::VK_NEXT:
        case ui::VK_UP:
        case ui::VK_DOWN:
            HideEditorAndFocus();
            // A refused text keeps the editor, and the key does nothing more.
            return state_ != tsEditing && key != ui::VK_ESCAPE;
        default:
            return true;
    }
}

void TCustomgxTreeList::LeaveNewItemRowByKey(TShiftState shift) {
    SetNewItemRowActive(false);
    TgxTreeListNode* top = top_node_ != nullptr ? top_node_ : GetFirstNode();
    SetFocusedNodeColumn(top, focused_column_, true);
    if ((shift & (ui::ssCtrl | ui::ssShift)) == 0 && top != nullptr) {
        ClearSelection();
        SetSelectionAnchor(top);
        top->SetSelected(true);
    }
}

bool TCustomgxTreeList::SearchKey(std::uint16_t key, TShiftState shift) {
    std::string text = search_text_;
    int direction = 0;
    if (key == ui::VK_BACK) {
        text = WithoutLastCharacter(text);
    } else if (key == ui::VK_DELETE) {
        text.clear();
    } else if (key == ui::VK_ESCAPE) {
        EndSearch();
        return true;
    } else if (key == ui::VK_RETURN && (shift & ui::ssCtrl) != 0) {
        direction = 2;
    } else if (key == ui::VK_RETURN && (shift & ui::ssShift) != 0) {
        direction = 1;
    } else {
        return false;
    }
    SearchStep(text, direction, false);
    if (direction == 0)
        search_text_ = text;
    return true;
}

bool TCustomgxTreeList::CtrlKey(std::uint16_t key) {
    const int index = GetFocusedAbsoluteIndex();
    switch (key) {
        case ui::VK_SPACE:
            if ((IsRowSelect() || !IsEditingOption()) && focused_node_ != nullptr) {
                focused_node_->SetSelected(!focused_node_->Selected());
                SetSelectionAnchor(focused_node_);
            }
            return true;
        case ui::VK_PRIOR:
        case ui::VK_NEXT:
            MovePage(key == ui::VK_NEXT);
            return true;
        case ui::VK_HOME:
            SetFocusedAbsoluteIndex(0);
            return true;
        case ui::VK_END:
            SetFocusedAbsoluteIndex(GetAbsoluteCount() - 1);
            return true;
        case ui::VK_LEFT:
            SetFocusedColumn(0);
            return true;
        case ui::VK_RIGHT:
            SetFocusedColumn(GetVisibleColumnCount() - 1);
            return true;
        case ui::VK_UP:
            if (index == 0 && IsNewItemRowVisible())
                SetNewItemRowActive(true);
            else
                SetFocusedAbsoluteIndex(index - 1);
            return true;
        case ui::VK_DOWN:
            SetFocusedAbsoluteIndex(index + 1);
            return true;
        case ui::VK_INSERT:
            CopySelectedToClipboard();
            return true;
        default:
            return false;
    }
}

bool TCustomgxTreeList::PlainKey(std::uint16_t key, TShiftState shift) {
    const int count = GetAbsoluteCount();
    const int index = GetFocusedAbsoluteIndex();
    const int column = GetFocusedColumn();
    const bool cell_mode = !IsRowSelect();
    switch (key) {
        case ui::VK_TAB:
            if ((shift & ui::ssAlt) == 0)
                TabKey((shift & ui::ssShift) == 0);
            break;
        case ui::VK_RETURN:
            if (IsEnterThrough()) {
                int next = NextFocusableColumn(column, true);
                if (next >= 0)
                    SetFocusedColumn(next);
                else if (index + 1 < count)
                    MoveFocus(GetAbsoluteNode(index + 1), EdgeFocusableColumn(true), 0, false);
                ShowEditor();
            }
            break;
        case ui::VK_ESCAPE:
            if (state_ != tsEditing) {
                ClearSelection();
                edit_node_ = nullptr;
                edit_column_ = -1;
                CloseEditor(false);
            }
            break;
        case ui::VK_HOME:
        case ui::VK_END:
            if (cell_mode && (shift & ui::ssShift) == 0)
                SetFocusedColumn(key == ui::VK_HOME ? 0 : GetVisibleColumnCount() - 1);
            else
                MoveFocus(GetAbsoluteNode(key == ui::VK_HOME ? 0 : count - 1), column, shift, true);
            break;
        case ui::VK_PRIOR:
        case ui::VK_NEXT:
            if (key == ui::VK_PRIOR && index == 0 && IsNewItemRowVisible())
                SetNewItemRowActive(true);
            else
                MoveFocus(GetAbsoluteNode(PageTarget(*this, key == ui::VK_NEXT)), column, shift,
                          true);
            break;
        case ui::VK_LEFT:
        case ui::VK_RIGHT:
            if (cell_mode)
                CellLeftRightKey(key == ui::VK_RIGHT);
            else
                RowLeftRightKey(key == ui::VK_RIGHT);
            break;
        case ui::VK_UP:
        case ui::VK_DOWN:
            return UpDownKey(key == ui::VK_DOWN, shift);
        case ui::VK_F2:
            ShowEditor();
            break;
        default:
            break;
    }
    return true;
}

void TCustomgxTreeList::TabKey(bool forward) {
    const int count = GetAbsoluteCount();
    const int index = GetFocusedAbsoluteIndex();
    if (IsRowSelect()) {
        int row = std::clamp(index + (forward ? 1 : -1), 0, count - 1);
        MoveFocus(GetAbsoluteNode(row), GetFocusedColumn(), 0, false);
        return;
    }
    int next = NextFocusableColumn(GetFocusedColumn(), forward);
    if (next >= 0) {
        SetFocusedColumn(next);
    } else if (IsTabThrough()) {
        int row = index + (forward ? 1 : -1);
        if (row >= 0 && row < count)
            MoveFocus(GetAbsoluteNode(row), EdgeFocusableColumn(forward), 0, false);
    }
}

void TCustomgxTreeList::CellLeftRightKey(bool right) {
    int next = NextFocusableColumn(GetFocusedColumn(), right);
    if (next >= 0) {
        SetFocusedColumn(next);
    } else if (IsHorzThrough()) {
        int row = GetFocusedAbsoluteIndex() + (right ? 1 : -1);
        if (row >= 0 && row < GetAbsoluteCount())
            MoveFocus(GetAbsoluteNode(row), EdgeFocusableColumn(right), 0, false);
    }
}

void TCustomgxTreeList::RowLeftRightKey(bool right) {
    TgxTreeListNode* node = focused_node_;
    if (node == nullptr || IsNewItemRowActive())
        return;
    const int index = GetFocusedAbsoluteIndex();
    TgxTreeListNode* target = nullptr;
    if (right) {
        if (node->HasChildren() && !node->Expanded())
            node->SetExpanded(true);
        else if (node->HasChildren())
            target = node->GetFirstChild();
        else
            target = GetNextVisibleNode(node);
    } else {
        if (node->HasChildren() && node->Expanded())
            node->SetExpanded(false);
        else if (node->Parent() != nullptr && node->Index() == 0)
            target = node->Parent();
        else if (index > 0)
            target = GetAbsoluteNode(index - 1);
    }
    if (target != nullptr)
        MoveFocus(target, GetFocusedColumn(), 0, false);
}

TCustomgxTreeList::BandRowStep TCustomgxTreeList::StepBandRow(bool down, int& target_column) {
    const int count = GetAbsoluteCount();
    const int index = GetFocusedAbsoluteIndex();
    const int abs_column = GetVisibleColumnIndex(GetFocusedColumn());
    BandRowStep result = BandRowStep::kNone;
    for (int b = 0, bands = GetBandCount(); b < bands; ++b) {
        const int rows = GetHeaderRowCount(b);
        if (rows < 2)
            continue;
        for (int r = 0; r < rows; ++r)
            for (int p = 0, n = GetHeaderColCount(b, r); p < n; ++p) {
                if (GetHeaderAbsoluteIndex(b, r, p) != abs_column)
                    continue;
                int new_row = r + (down ? 1 : -1);
                const bool wraps = new_row < 0 || new_row >= rows;
                if (wraps)
                    new_row = down ? 0 : rows - 1;
                const int cols = GetHeaderColCount(b, new_row);
                const int c = GetHeaderAbsoluteIndex(b, new_row, std::min(p, cols - 1));
                const int visible = GetColumnVisibleIndex(c);
                if (!wraps) {
                    SetFocusedColumn(visible);
                    return BandRowStep::kDone;
                }
                if (down ? index >= count - 1 : index <= 0)
                    return BandRowStep::kDone;
                target_column = visible;
                result = BandRowStep::kWrapped;
            }
    }
    return result;
}

bool TCustomgxTreeList::UpDownKey(bool down, TShiftState shift) {
    const int index = GetFocusedAbsoluteIndex();
    int target_column = GetFocusedColumn();
    if (IsVertThrough() && !IsRowSelect() && focused_node_ != nullptr &&
        StepBandRow(down, target_column) == BandRowStep::kDone)
        return false;
    if (!down && index == 0 && IsNewItemRowVisible()) {
        SetNewItemRowActive(true);
        return true;
    }
    int row = std::clamp(index + (down ? 1 : -1), 0, GetAbsoluteCount() - 1);
    MoveFocus(GetAbsoluteNode(row), target_column, shift, true);
    return true;
}

void TCustomgxTreeList::KeyPress(char32_t& key) {
    if (state_ == tsNormal && !searching_ && IsAutoSearch() && key != 13 && key != 27 && key >= 32)
        StartSearch(-1, std::string());
    if (!searching_ && IsEnterShowEditor() && state_ != tsEditing) {
        if (key == 13) {
            ShowEditor();
            return;
        }
        if (key == 8 || key == 22 || key == 24 || (key >= 32 && key != 127)) {
            ShowEditor();
            if (state_ == tsEditing && editor_) {
                // The character that opened the editor is typed into it.
                QWidget* target = editor_->focusProxy() ? editor_->focusProxy() : editor_.get();
                Qt::Key code = key == 8    ? Qt::Key_Backspace
                               : key == 22 ? Qt::Key_V
                               : key == 24 ? Qt::Key_X
                                           : Qt::Key_unknown;
                Qt::KeyboardModifiers mods =
                    (key == 22 || key == 24) ? Qt::ControlModifier : Qt::NoModifier;
                QString text = key >= 32 ? QString::fromUcs4(&key, 1) : QString();
                QKeyEvent press(QEvent::KeyPress, code, mods, text);
                QCoreApplication::sendEvent(target, &press);
                key = 0;
                return;
            }
        }
    }
    // The expand keys work during a search too, and then go on into the search text.
    if (state_ != tsEditing && focused_node_ != nullptr) {
        switch (key) {
            case 3:
                CopySelectedToClipboard();
                return;
            case U'*':
                if (focused_node_->HasChildren())
                    focused_node_->Expand(true);
                break;
            case U'+':
                focused_node_->MakeVisible();
                focused_node_->SetExpanded(true);
                break;
            case U'-':
                focused_node_->MakeVisible();
                focused_node_->SetExpanded(false);
                break;
            default:
                break;
        }
        if (!searching_ && (key == U'*' || key == U'+' || key == U'-'))
            return;
    }
    if (searching_ && key >= 32) {
        if (!IsRowSelect() && GetFocusedColumn() != search_column_) {
            search_column_ = GetFocusedColumn();
            search_text_.clear();
        }
        std::string text = search_text_ + QString::fromUcs4(&key, 1).toStdString();
        SearchStep(text, 0, false);
        key = 0;
    }
}

std::string TCustomgxTreeList::GetSearchText(const TgxTreeListNode* node,
                                             int visible_column) const {
    return GetCellText(node, GetVisibleColumnIndex(visible_column));
}

bool TCustomgxTreeList::StartSearch(int column, const std::string& text) {
    HideEditor();
    if (state_ == tsEditing)
        return false;
    SetNewItemRowActive(false);
    search_column_ = column >= 0 ? column : GetFocusedColumn();
    ++search_lock_;
    SetFocusedColumn(search_column_);
    --search_lock_;
    searching_ = true;
    search_text_ = text;
    SearchStep(text, 0, false);
    return !text.empty();
}

bool TCustomgxTreeList::SearchStep(const std::string& text, int direction, bool clear_on_failure) {
    if (search_column_ < 0 || Count() == 0)
        return false;
    const QString wanted = QString::fromStdString(text);
    const bool all = AutoExpandOnSearch;
    auto next = [&](TgxTreeListNode* n) -> TgxTreeListNode* {
        TgxTreeListNode* r = all ? n->GetNext() : GetNextVisibleNode(n);
        return r != nullptr ? r : GetFirstNode();
    };
    auto prev = [&](TgxTreeListNode* n) -> TgxTreeListNode* {
        TgxTreeListNode* r = all ? n->GetPrev() : n->GetPriorVisible();
        if (r != nullptr)
            return r;
        return all ? LastInTree(*this) : GetLastNode();
    };
    // Without a focused node the walk starts, and stops, at the first node.
    TgxTreeListNode* start = focused_node_ != nullptr ? focused_node_ : GetFirstNode();
    TgxTreeListNode* found = nullptr;
    const bool searched_outside =
        !wanted.isEmpty() && SearchOutsideNodes(search_column_, text, direction, found);
    if (!wanted.isEmpty() && !searched_outside) {
        TgxTreeListNode* n = start;
        if (direction == 1)
            n = prev(n);
        else if (direction == 2)
            n = next(n);
        for (;;) {
            if (StartsWithText(GetSearchText(n, search_column_), text)) {
                found = n;
                break;
            }
            n = direction == 1 ? prev(n) : next(n);
            if (n == start) {
                // The start itself is a candidate only for a step from the focused node.
                if (direction != 0 && StartsWithText(GetSearchText(n, search_column_), text))
                    found = n;
                break;
            }
        }
    }
    ++search_lock_;
    try {
        if (found != nullptr) {
            search_text_ = text;
            SetFocusedNodeColumn(found, search_column_, true);
        } else if (direction == 0) {
            if (clear_on_failure) {
                search_text_.clear();
            } else {
                search_text_ = WithoutLastCharacter(text);
            }
        }
        if (focused_node_ != nullptr) {
            if (IsMultiSelect()) {
                ClearSelection();
                focused_node_->SetSelected(true);
                SetSelectionAnchor(focused_node_);
            }
            MakeNodeVisible(focused_node_);
            InvalidateRow(focused_node_);
        }
    } catch (...) {
        --search_lock_;
        throw;
    }
    --search_lock_;
    return found != nullptr;
}

void TCustomgxTreeList::EndSearch() {
    searching_ = false;
    if (update_lock_ == 0)
        InvalidateRow(focused_node_);
}

}  // namespace grid
