#include "grid/core/column.h"

#include <algorithm>

#include "grid/core/inplace_text_edit.h"
#include "grid/core/tree_list_control.h"

namespace grid {

TgxTreeListColumn::TgxTreeListColumn(db::TComponent* owner) : db::TComponent(owner) {}

TgxTreeListColumn::~TgxTreeListColumn() = default;

TAlignment TgxTreeListColumn::Alignment() const {
    return (assigned_ & cvAlignment) ? alignment_ : GetDefaultAlignment();
}

void TgxTreeListColumn::SetAlignment(TAlignment v) {
    if ((assigned_ & cvAlignment) && alignment_ == v)
        return;
    alignment_ = v;
    assigned_ |= cvAlignment;
    Changed(false);
}

std::string TgxTreeListColumn::Caption() const {
    return (assigned_ & cvCaption) ? caption_ : GetDefaultCaption();
}

void TgxTreeListColumn::SetCaption(std::string_view v) {
    if ((assigned_ & cvCaption) && caption_ == v)
        return;
    caption_ = v;
    assigned_ |= cvCaption;
    if (!(assigned_ & cvWidth))
        width_ = GetDefaultWidth();
    Changed(false);
}

ui::Color TgxTreeListColumn::GetColor() const {
    if (assigned_ & cvColor)
        return color_;
    return control_ != nullptr ? control_->GetColor() : ui::clWindow;
}

void TgxTreeListColumn::SetColor(ui::Color v) {
    if ((assigned_ & cvColor) && color_ == v)
        return;
    color_ = v;
    assigned_ |= cvColor;
    Changed(false);
}

bool TgxTreeListColumn::ReadOnly() const {
    bool value = (assigned_ & cvReadOnly) ? read_only_ : GetDefaultReadOnly();
    return value || (control_ != nullptr && control_->IsEditReadOnly());
}

void TgxTreeListColumn::SetReadOnly(bool v) {
    if ((assigned_ & cvReadOnly) && read_only_ == v)
        return;
    read_only_ = v;
    assigned_ |= cvReadOnly;
    Changed(false);
}

void TgxTreeListColumn::SetDisableCaption(bool v) {
    if (disable_caption_ == v)
        return;
    disable_caption_ = v;
    Changed(true);
}

void TgxTreeListColumn::SetDisableCustomizing(bool v) {
    if (disable_customizing_ == v)
        return;
    disable_customizing_ = v;
    Changed(true);
}

void TgxTreeListColumn::RefreshFont() const {
    if (!font_) {
        font_ = std::make_unique<ui::TFont>();
        if (control_ != nullptr)
            font_->Assign(control_->Font());
        auto* self = const_cast<TgxTreeListColumn*>(this);
        font_->OnChange = [self] {
            self->assigned_ |= cvFont;
            self->Changed(true);
        };
        return;
    }
    if (!(assigned_ & cvFont) && control_ != nullptr && !font_->SameAs(control_->Font())) {
        auto handler = std::move(font_->OnChange);
        font_->OnChange = nullptr;
        font_->Assign(control_->Font());
        font_->OnChange = std::move(handler);
    }
}

const ui::TFont& TgxTreeListColumn::Font() const {
    RefreshFont();
    return *font_;
}

ui::TFont& TgxTreeListColumn::MutableFont() {
    RefreshFont();
    return *font_;
}

void TgxTreeListColumn::SetFont(const ui::TFont& font) {
    RefreshFont();
    auto handler = std::move(font_->OnChange);
    font_->OnChange = nullptr;
    font_->Assign(font);
    font_->OnChange = std::move(handler);
    assigned_ |= cvFont;
    Changed(true);
}

void TgxTreeListColumn::SetHeaderGlyph(const QImage* glyph) {
    if (glyph == nullptr || glyph->isNull())
        header_glyph_.reset();
    else
        header_glyph_ = std::make_unique<QImage>(*glyph);
    Changed(true);
}

void TgxTreeListColumn::SetHeaderAlignment(TAlignment v) {
    if (header_alignment_ == v)
        return;
    header_alignment_ = v;
    Changed(true);
}

void TgxTreeListColumn::SetHeaderMaxLineCount(int v) {
    v = std::max(0, v);
    if (header_max_line_count_ == v)
        return;
    header_max_line_count_ = v;
    Changed(true);
}

void TgxTreeListColumn::SetMinWidth(int v) {
    min_width_ = std::clamp(v, 0, kMaxBandColumnWidth);
    SetWidth(Width());
}

void TgxTreeListColumn::SetSizing(bool v) {
    if (sizing_ == v)
        return;
    sizing_ = v;
    Changed(false);
}

void TgxTreeListColumn::SetVisible(bool v) {
    if (visible_ == v)
        return;
    if (control_ != nullptr) {
        // Headers move under a sizing or drag under way, whose line and drop no longer match
        // what the user sees.
        control_->CancelHeaderMouseOperation();
        control_->EndEditBeforeColumnChange(this, false);
    }
    visible_ = v;
    Changed(false);
}

int TgxTreeListColumn::Width() const {
    return (assigned_ & cvWidth) ? width_ : std::max(GetDefaultWidth(), min_width_);
}

void TgxTreeListColumn::SetWidth(int v) {
    v = std::clamp(v, min_width_, kMaxBandColumnWidth);
    if (!(assigned_ & cvWidth) && v == GetDefaultWidth())
        return;
    if ((assigned_ & cvWidth) && v == width_)
        return;
    width_ = v;
    assigned_ |= cvWidth;
    Changed(false);
}

void TgxTreeListColumn::SetBandIndex(int v) {
    int count = control_ != nullptr ? control_->Bands().Count() : 0;
    if (v < -1)
        v = -1;
    if (control_ != nullptr && v >= count)
        v = count - 1;
    if (band_index_ == v)
        return;
    if (control_ != nullptr) {
        control_->CancelHeaderMouseOperation();
        control_->EndEditBeforeColumnChange(this, false);
    }
    band_index_ = v;
    Changed(false);
}

int TgxTreeListColumn::RowIndex() const {
    if (control_ == nullptr)
        return row_index_;
    return std::min(stored_row_index_, control_->HeaderPanelRowCount() - 1);
}

void TgxTreeListColumn::SetRowIndex(int v) {
    v = std::max(0, v);
    if (control_ != nullptr)
        v = std::min(v, control_->HeaderPanelRowCount() - 1);
    bool changed = v != RowIndex();
    row_index_ = v;
    stored_row_index_ = v;
    if (changed)
        Changed(false);
}

int TgxTreeListColumn::ColIndex() const {
    if (control_ == nullptr)
        return -1;
    int position = 0;
    for (int i = 0; i < control_->ColumnCount(); ++i) {
        TgxTreeListColumn* c = control_->Columns(i);
        if (c == this)
            return position;
        if (c->visible_ && c->band_index_ == band_index_ && c->RowIndex() == RowIndex())
            ++position;
    }
    return -1;
}

void TgxTreeListColumn::SetColIndex(int v) {
    if (control_ == nullptr || band_index_ == -1 || v == ColIndex())
        return;
    std::vector<TgxTreeListColumn*> row;
    for (int i = 0; i < control_->ColumnCount(); ++i) {
        TgxTreeListColumn* c = control_->Columns(i);
        if (c->visible_ && c->band_index_ == band_index_ && c->RowIndex() == RowIndex())
            row.push_back(c);
    }
    if (row.empty())
        return;
    v = std::clamp(v, 0, static_cast<int>(row.size()) - 1);
    TgxTreeListColumn* target = row[static_cast<std::size_t>(v)];
    if (target == this)
        return;
    // Delete-then-insert lands a right move after the target and a left move before it.
    int index = target->GetIndex();
    SetIndex(std::min(index, control_->ColumnCount() - 1));
}

void TgxTreeListColumn::SetSorted(TgxTreeListColumnSort v) {
    if (sorted_ == v)
        return;
    if (control_ == nullptr || control_->IsLoading()) {
        sorted_ = v;
        Changed(false);
        return;
    }
    if (v == csNone) {
        control_->BeginSorting();
        sorted_ = v;
        control_->RemoveSortedColumn(this);
        Changed(false);
        control_->EndSorting();
        return;
    }
    control_->BeginUpdate();
    control_->ColumnSortChanged(this);
    sorted_ = v;
    control_->AddSortedColumn(this);
    control_->EndUpdate();
}

void TgxTreeListColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                         const TgxTreeListNode* node, bool selected, bool focused,
                                         bool new_item_row, std::string& text, ui::Color& color,
                                         ui::TFont& font, TAlignment& alignment, bool& done) {
    if (OnCustomDrawCell)
        OnCustomDrawCell(control_, canvas, rect, node, this, selected, focused, new_item_row, text,
                         color, font, alignment, done);
}

TgxInplaceEditClass TgxTreeListColumn::GetEditorClass() const {
    return {typeid(TgxInplaceTextEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceTextEdit>(parent); }};
}

int TgxTreeListColumn::GetIndex() const {
    if (control_ == nullptr)
        return -1;
    for (int i = 0; i < control_->ColumnCount(); ++i)
        if (control_->Columns(i) == this)
            return i;
    return -1;
}

void TgxTreeListColumn::SetIndex(int index) {
    int current = GetIndex();
    if (current < 0)
        return;
    index = std::clamp(index, 0, control_->ColumnCount() - 1);
    if (index == current)
        return;
    control_->CancelHeaderMouseOperation();
    control_->EndEditBeforeColumnChange(this, false);
    control_->ColumnMoved(current, index);
    auto& list = control_->columns_;
    std::unique_ptr<TgxTreeListColumn> self = std::move(list[static_cast<std::size_t>(current)]);
    list.erase(list.begin() + current);
    list.insert(list.begin() + index, std::move(self));
    Changed(true);
}

int TgxTreeListColumn::CalcTextWidth(const ui::TextMetrics& metrics, const ui::TFont& font,
                                     std::string_view text) const {
    return metrics.TextWidth(font, text);
}

void TgxTreeListColumn::RestoreDefaults() {
    assigned_ = 0;
    if (font_ && control_ != nullptr) {
        auto handler = std::move(font_->OnChange);
        font_->OnChange = nullptr;
        font_->Assign(control_->Font());
        font_->OnChange = std::move(handler);
    }
    width_ = GetDefaultWidth();
    disable_caption_ = disable_customizing_ = disable_editor_ = false;
    header_alignment_ = taLeftJustify;
    min_width_ = 20;
    sizing_ = true;
    sorted_ = csNone;
    tab_stop_ = true;
}

void TgxTreeListColumn::Changed(bool all) {
    if (control_ != nullptr)
        control_->ColumnChanged(all ? nullptr : this);
}

void TgxTreeListColumn::Assign(const db::TPersistent& source) {
    const auto* s = dynamic_cast<const TgxTreeListColumn*>(&source);
    if (s == nullptr) {
        db::TComponent::Assign(source);
        return;
    }
    if (control_ != nullptr)
        control_->BeginUpdate();
    RestoreDefaults();
    if (s->assigned_ & cvAlignment)
        SetAlignment(s->alignment_);
    if (s->assigned_ & cvCaption)
        SetCaption(s->caption_);
    if (s->assigned_ & cvReadOnly)
        SetReadOnly(s->read_only_);
    if (s->assigned_ & cvWidth)
        SetWidth(s->width_);
    if (s->assigned_ & cvColor)
        SetColor(s->color_);
    if (s->assigned_ & cvFont)
        SetFont(s->Font());
    SetDisableCaption(s->disable_caption_);
    SetDisableCustomizing(s->disable_customizing_);
    disable_editor_ = s->disable_editor_;
    SetHeaderAlignment(s->header_alignment_);
    if (s->header_glyph_)
        SetHeaderGlyph(s->header_glyph_.get());
    SetMinWidth(s->min_width_);
    SetSizing(s->sizing_);
    SetSorted(s->sorted_);
    SetVisible(s->visible_);
    tab_stop_ = s->tab_stop_;
    SetBandIndex(s->band_index_);
    SetRowIndex(s->RowIndex());
    SetColIndex(s->ColIndex());
    SetHeaderMaxLineCount(s->header_max_line_count_);
    if (control_ != nullptr)
        control_->EndUpdate();
}

int TgxTreeListColumn::GetSortIndex() const {
    if (control_ == nullptr)
        return -1;
    for (int i = 0; i < control_->SortedColumnCount(); ++i)
        if (control_->GetSortedColumn(i) == this)
            return i;
    return -1;
}

void TgxTreeListColumn::SetName(std::string_view name) {
    db::TComponent::SetName(name);
    if (OnNameChange)
        OnNameChange(this, name);
}

}  // namespace grid
