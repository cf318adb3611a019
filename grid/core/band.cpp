#include "grid/core/band.h"

#include <algorithm>

#include "grid/core/tree_list_control.h"

namespace grid {

TgxTreeListBands* TgxTreeListBand::Bands() const {
    return static_cast<TgxTreeListBands*>(Collection());
}

TCustomgxTreeListControl* TgxTreeListBand::Control() const {
    return Bands() != nullptr ? Bands()->Control() : nullptr;
}

void TgxTreeListBand::SetAlignment(TAlignment v) {
    if (alignment_ == v)
        return;
    alignment_ = v;
    Changed(false);
}

void TgxTreeListBand::SetCaption(std::string_view v) {
    if (caption_ == v)
        return;
    caption_ = v;
    Changed(false);
}

void TgxTreeListBand::SetDisableCustomizing(bool v) {
    if (disable_customizing_ == v)
        return;
    disable_customizing_ = v;
    Changed(false);
}

void TgxTreeListBand::SetSizing(bool v) {
    if (sizing_ == v)
        return;
    sizing_ = v;
    Changed(false);
}

void TgxTreeListBand::SetVisible(bool v) {
    if (visible_ == v)
        return;
    if (TCustomgxTreeListControl* control = Control()) {
        // A band press, sizing or drag names its band by visible position, which now names
        // another band.
        control->CancelHeaderMouseOperation();
        control->EndEditBeforeColumnChange(nullptr, false);
    }
    visible_ = v;
    if (!v)
        fixed_ = bfNone;
    Changed(true);
}

void TgxTreeListBand::SetWidth(int v) {
    v = std::clamp(v, min_width_, kMaxBandColumnWidth);
    TCustomgxTreeListControl* control = Control();
    bool header_width_mode = control != nullptr && control->IsBandHeaderWidth();
    if (v == width_ && !header_width_mode)
        return;
    width_ = v;
    Changed(true);
}

void TgxTreeListBand::SetMinWidth(int v) {
    min_width_ = std::clamp(v, 0, kMaxBandColumnWidth);
    SetWidth(width_);
}

void TgxTreeListBand::SetFixed(TgxGridBandFixed v) {
    if (fixed_ == v)
        return;
    fixed_ = bfNone;
    TgxTreeListBands* bands = Bands();
    if (v != bfNone && bands != nullptr) {
        for (int i = 0; i < bands->Count(); ++i) {
            TgxTreeListBand* other = bands->Items(i);
            if (other != this && other->fixed_ == v)
                other->fixed_ = bfNone;
        }
        std::int64_t target = v == bfLeft ? 0 : bands->Count() - 1;
        if (Index() != target)
            SetIndex(target);
    }
    // A hidden band stays unfixed.
    if (visible_)
        fixed_ = v;
    Changed(false);
}

void TgxTreeListBand::SetIndex(std::int64_t index) {
    TgxTreeListBands* bands = Bands();
    if (bands == nullptr)
        return;
    index = std::clamp<std::int64_t>(index, 0, bands->Count() - 1);
    if (fixed_ != bfNone)
        return;
    std::int64_t old = Index();
    if (index == old)
        return;
    if (TCustomgxTreeListControl* control = Control()) {
        control->CancelHeaderMouseOperation();
        control->EndEditBeforeColumnChange(nullptr, false);
        // Columns follow their band: park the moving band's columns, shift the bands in
        // between by one towards the old place, then land the parked ones.
        auto& columns = control->columns_;
        int from = static_cast<int>(old);
        int to = static_cast<int>(index);
        for (auto& c : columns)
            if (c->band_index_ == from)
                c->band_index_ = -2;
        for (auto& c : columns) {
            int b = c->band_index_;
            if (from < to && b > from && b <= to)
                c->band_index_ = b - 1;
            else if (from > to && b >= to && b < from)
                c->band_index_ = b + 1;
        }
        for (auto& c : columns)
            if (c->band_index_ == -2)
                c->band_index_ = to;
    }
    db::TCollectionItem::SetIndex(index);
}

void TgxTreeListBand::RestoreDefaults() {
    alignment_ = taCenter;
    fixed_ = bfNone;
    min_width_ = 30;
    only_own_columns_ = false;
    sizing_ = true;
    width_ = 250;
}

void TgxTreeListBand::Assign(const db::TPersistent& source) {
    const auto* band = dynamic_cast<const TgxTreeListBand*>(&source);
    if (band == nullptr) {
        db::TCollectionItem::Assign(source);
        return;
    }
    TgxTreeListBands* bands = Bands();
    if (bands != nullptr)
        bands->BeginUpdate();
    RestoreDefaults();
    SetAlignment(band->alignment_);
    SetCaption(band->caption_);
    SetFixed(band->fixed_);
    SetMinWidth(band->min_width_);
    only_own_columns_ = band->only_own_columns_;
    SetSizing(band->sizing_);
    SetVisible(band->visible_);
    SetWidth(band->width_);
    if (bands != nullptr)
        bands->EndUpdate();
}

TgxTreeListBands::TgxTreeListBands(TCustomgxTreeListControl* control)
    : db::TCollection(db::TCollection::ItemClass<TgxTreeListBand>()), control_(control) {}

db::TPersistent* TgxTreeListBands::GetOwner() const {
    return nullptr;
}

void TgxTreeListBands::NormalizeFixed() {
    int first_visible = -1;
    int last_visible = -1;
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->Visible()) {
            if (first_visible < 0)
                first_visible = i;
            last_visible = i;
        }
    TgxTreeListBand* left = nullptr;
    TgxTreeListBand* right = nullptr;
    bool valid = true;
    for (int i = 0; i < Count(); ++i) {
        TgxTreeListBand* b = Items(i);
        if (b->fixed_ == bfLeft) {
            if (left != nullptr || i != first_visible)
                valid = false;
            if (left == nullptr)
                left = b;
        } else if (b->fixed_ == bfRight) {
            if (right != nullptr || i != last_visible)
                valid = false;
            if (right == nullptr)
                right = b;
        }
    }
    if (valid)
        return;
    normalizing_ = true;
    BeginUpdate();
    for (int i = 0; i < Count(); ++i)
        Items(i)->fixed_ = bfNone;
    if (left != nullptr)
        left->SetFixed(bfLeft);
    if (right != nullptr)
        right->SetFixed(bfRight);
    EndUpdate();
    normalizing_ = false;
}

void TgxTreeListBands::Update(db::TCollectionItem*) {
    if (control_ == nullptr || normalizing_)
        return;
    if (Count() != 1)
        control_->default_layout_ = false;
    if (control_->IsLoading())
        return;
    control_->ClearCaches();
    control_->cache_valid_ = false;
    NormalizeFixed();
    control_->BandsChanged();
}

void TgxTreeListBands::Notify(db::TCollectionItem& item, db::TCollectionNotification action) {
    if (control_ == nullptr || action != db::cnDeleting)
        return;
    // Renumbered even inside an update lock, so no column is left pointing past the end.
    if (!control_->IsDestroying()) {
        control_->CancelHeaderMouseOperation();
        control_->EndEditBeforeColumnChange(nullptr, false);
        control_->RenumberAfterBandDeletion(static_cast<int>(item.Index()));
    }
}

}  // namespace grid
