// The banded control's answers to the mouse: clicks on bands and buttons, widths after
// sizing, and moving, hiding and showing bands and headers with their events.

#include <algorithm>

#include "grid/core/tree_list_control.h"

namespace grid {

void TCustomgxTreeListControl::DoColumnEdgeDblClick(int column) {
    ApplyBestFit(Columns(column));
    DoColumnsWidthChanged();
}

void TCustomgxTreeListControl::DoBandClick(int band) {
    int b = VisibleBandAbsoluteIndex(band);
    if (OnBandClick && b >= 0)
        OnBandClick(this, bands_->Items(b));
}

void TCustomgxTreeListControl::DoBandButtonClick() {
    if (OnBandButtonClick)
        OnBandButtonClick(this);
}

void TCustomgxTreeListControl::DoHeaderButtonClick() {
    if (OnHeaderButtonClick)
        OnHeaderButtonClick(this);
}

void TCustomgxTreeListControl::DoColumnsWidthChanged() {
    if (OnChangedColumnsWidth)
        OnChangedColumnsWidth(this);
}

void TCustomgxTreeListControl::SetHeaderPanelRowCountFromSizing(int rows) {
    SetHeaderPanelRowCount(rows);
}

void TCustomgxTreeListControl::ScaleHiddenColumns(int band, int numerator, int denominator) {
    int b = VisibleBandAbsoluteIndex(band);
    if (b < 0 || denominator == 0)
        return;
    // A column hidden while wider than its band would grow by the whole ratio at every
    // widening, past anything a layout stores; it grows no wider than the band.
    for (auto& c : columns_)
        if (c->band_index_ == b && !c->visible_ && c->Sizing())
            c->width_ =
                std::max(c->MinWidth(), std::min(ui::MulDiv(c->width_, numerator, denominator),
                                                 std::max(c->width_, numerator)));
}

bool TCustomgxTreeListControl::CanBandDragging(int band) const {
    int b = VisibleBandAbsoluteIndex(band);
    if (!TCustomgxTreeList::CanBandDragging(band) || b < 0)
        return false;
    TgxTreeListBand* item = bands_->Items(b);
    if (item->Fixed() != bfNone || item->DisableDragging())
        return false;
    bool allow = true;
    if (OnCanBandDragging)
        OnCanBandDragging(const_cast<TCustomgxTreeListControl*>(this), item, allow);
    return allow;
}

bool TCustomgxTreeListControl::CanHeaderDragging(int column) const {
    TgxTreeListColumn* c = Columns(column);
    if (!TCustomgxTreeList::CanHeaderDragging(column) || c == nullptr || c->DisableDragging())
        return false;
    if (State() == tsColumnDragging || State() == tsBandDragging)
        return false;
    bool allow = true;
    if (OnCanHeaderDragging)
        OnCanHeaderDragging(const_cast<TCustomgxTreeListControl*>(this), c, allow);
    return allow;
}

void TCustomgxTreeListControl::StartBandDragging(int band, bool from_list) {
    TCustomgxTreeList::StartBandDragging(band, from_list);
    int b = from_list ? band : VisibleBandAbsoluteIndex(band);
    if (OnStartBandDragging && b >= 0 && b < bands_->Count())
        OnStartBandDragging(this, bands_->Items(b));
}

void TCustomgxTreeListControl::StartHeaderDragging(int column, bool from_list) {
    TCustomgxTreeList::StartHeaderDragging(column, from_list);
    if (OnStartHeaderDragging && Columns(column) != nullptr)
        OnStartHeaderDragging(this, Columns(column));
}

bool TCustomgxTreeListControl::DoDragOverBand(int band, ui::Point p, bool accept) {
    int b = DragFromList() ? band : VisibleBandAbsoluteIndex(band);
    if (b >= bands_->Count())
        b = -1;
    if (OnDragOverBand && b >= 0)
        OnDragOverBand(this, bands_->Items(b), p, accept);
    return accept;
}

bool TCustomgxTreeListControl::DoDragOverHeader(int column, ui::Point p, bool accept) {
    if (OnDragOverHeader && Columns(column) != nullptr)
        OnDragOverHeader(this, Columns(column), p, accept);
    return accept;
}

bool TCustomgxTreeListControl::DoDragEndBand(int band, ui::Point p, int& new_index) {
    bool accept = true;
    if (!OnDragEndBand)
        return accept;
    // A band from the customizing list is hidden: it has no visible index yet.
    int absolute = DragFromList() ? band : VisibleBandAbsoluteIndex(band);
    if (absolute >= bands_->Count())
        absolute = -1;
    int visible = DragFromList() ? -1 : band;
    TgxTreeListBand* item = absolute >= 0 ? bands_->Items(absolute) : nullptr;
    OnDragEndBand(this, item, p, absolute, visible, new_index, accept);
    return accept;
}

bool TCustomgxTreeListControl::DoDragEndHeader(int column, ui::Point p, TgxHeaderPosInfo& pos) {
    bool accept = true;
    if (OnDragEndHeader && Columns(column) != nullptr)
        OnDragEndHeader(this, Columns(column), p, pos, accept);
    return accept;
}

bool TCustomgxTreeListControl::IsBandCustomizingDisabled(int band) const {
    int b = VisibleBandAbsoluteIndex(band);
    return b >= 0 && bands_->Items(b)->DisableCustomizing();
}

bool TCustomgxTreeListControl::IsHeaderCustomizingDisabled(int column) const {
    TgxTreeListColumn* c = Columns(column);
    return c != nullptr && c->DisableCustomizing();
}

bool TCustomgxTreeListControl::IsBandOnlyOwnColumns(int band) const {
    int b = VisibleBandAbsoluteIndex(band);
    return b >= 0 && bands_->Items(b)->OnlyOwnColumns();
}

int TCustomgxTreeListControl::GetColumnBandIndex(int column) const {
    TgxTreeListColumn* c = Columns(column);
    return c != nullptr ? c->BandIndex() : -1;
}

int TCustomgxTreeListControl::GetColumnRowIndex(int column) const {
    TgxTreeListColumn* c = Columns(column);
    return c != nullptr ? c->RowIndex() : -1;
}

void TCustomgxTreeListControl::MoveBand(int from, int to) {
    int a = VisibleBandAbsoluteIndex(from);
    int b = VisibleBandAbsoluteIndex(std::clamp(to, 0, std::max(0, GetBandCount() - 1)));
    if (a < 0 || b < 0 || a == b)
        return;
    bands_->Items(a)->SetIndex(b);
}

void TCustomgxTreeListControl::HideBand(int band) {
    int b = VisibleBandAbsoluteIndex(band);
    if (b < 0)
        return;
    TgxTreeListBand* item = bands_->Items(b);
    item->SetVisible(false);
    if (OnHideBand)
        OnHideBand(this, item);
    RefreshCustomizingLists();
}

void TCustomgxTreeListControl::ShowBand(int band, int visible_index) {
    if (band < 0 || band >= bands_->Count())
        return;
    TgxTreeListBand* item = bands_->Items(band);
    BeginUpdate();
    item->SetVisible(true);
    RebuildLayoutCache();
    int visible_count = GetBandCount();
    if (visible_count > 1) {
        int target = std::clamp(visible_index, 0, visible_count - 1);
        int absolute = VisibleBandAbsoluteIndex(target);
        if (absolute >= 0 && absolute != band)
            item->SetIndex(absolute);
    }
    EndUpdate();
    if (OnShowBand)
        OnShowBand(this, item, visible_index);
    RefreshCustomizingLists();
}

void TCustomgxTreeListControl::MoveHeader(int column, int band, int row, int position) {
    TgxTreeListColumn* c = Columns(column);
    if (c == nullptr)
        return;
    BeginUpdate();
    c->SetBandIndex(VisibleBandAbsoluteIndex(band));
    c->SetRowIndex(row);
    c->SetColIndex(position);
    EndUpdate();
    if (OnHeaderMoved)
        OnHeaderMoved(this, c);
}

bool TCustomgxTreeListControl::IsBandHidden(int band) const {
    return band >= 0 && band < bands_->Count() && !bands_->Items(band)->Visible();
}

std::string TCustomgxTreeListControl::GetAbsoluteBandText(int band) const {
    if (band < 0 || band >= bands_->Count())
        return {};
    return bands_->Items(band)->Caption();
}

}  // namespace grid
