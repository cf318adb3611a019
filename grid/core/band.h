#pragma once

// Bands: groups of column headers under one band header. At most one band is fixed at
// the left and one at the right; fixed bands do not scroll.

#include <string>
#include <string_view>

#include "grid/core/tree_list.h"
#include "platform/db/collection.h"

namespace grid {

class TCustomgxTreeListControl;
class TgxTreeListBands;

enum class TgxGridBandFixed { bfNone, bfLeft, bfRight };
using enum TgxGridBandFixed;

class TgxTreeListBand : public db::TCollectionItem {
  public:
    TgxTreeListBand() = default;

    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment v);
    const std::string& Caption() const { return caption_; }
    void SetCaption(std::string_view v);
    bool DisableCustomizing() const { return disable_customizing_; }
    void SetDisableCustomizing(bool v);
    bool DisableDragging() const { return disable_dragging_; }
    void SetDisableDragging(bool v) { disable_dragging_ = v; }
    TgxGridBandFixed Fixed() const { return fixed_; }
    void SetFixed(TgxGridBandFixed v);
    int MinWidth() const { return min_width_; }
    void SetMinWidth(int v);
    bool OnlyOwnColumns() const { return only_own_columns_; }
    void SetOnlyOwnColumns(bool v) { only_own_columns_ = v; }
    bool Sizing() const { return sizing_; }
    void SetSizing(bool v);
    bool Visible() const { return visible_; }
    void SetVisible(bool v);
    int Width() const { return width_; }
    void SetWidth(int v);

    // Moves the band; columns follow their band. A fixed band does not move.
    void SetIndex(std::int64_t index) override;
    virtual void RestoreDefaults();
    void Assign(const db::TPersistent& source) override;
    std::string DisplayName() const override {
        return caption_.empty() ? "TgxTreeListBand" : caption_;
    }

    TgxTreeListBands* Bands() const;
    TCustomgxTreeListControl* Control() const;

  private:
    friend class TgxTreeListBands;
    TAlignment alignment_ = taCenter;
    std::string caption_;
    bool disable_customizing_ = false;
    bool disable_dragging_ = false;
    TgxGridBandFixed fixed_ = bfNone;
    int min_width_ = 30;
    bool only_own_columns_ = false;
    bool sizing_ = true;
    bool visible_ = true;
    int width_ = 250;
};

class TgxTreeListBands : public db::TCollection {
  public:
    explicit TgxTreeListBands(TCustomgxTreeListControl* control);

    TgxTreeListBand* Items(int index) const {
        return static_cast<TgxTreeListBand*>(db::TCollection::Items(index));
    }
    TgxTreeListBand* Add() { return static_cast<TgxTreeListBand*>(db::TCollection::Add()); }
    int Count() const { return static_cast<int>(db::TCollection::Count()); }
    TCustomgxTreeListControl* Control() const { return control_; }
    TPersistent* GetOwner() const override;
    // Ensures one bfLeft band at visible 0 and one bfRight band at the end at most.
    void NormalizeFixed();

  protected:
    void Update(db::TCollectionItem* item) override;
    void Notify(db::TCollectionItem& item, db::TCollectionNotification action) override;

  private:
    TCustomgxTreeListControl* control_;
    bool normalizing_ = false;
};

}  // namespace grid
