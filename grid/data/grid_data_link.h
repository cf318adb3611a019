#pragma once

// The data-aware grid's link to its data source: forwards the framework's notifications to
// the grid and keeps the field map (which dataset field each mapped column reads).

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/db/data_link.h"

namespace grid {

class TCustomgxDBGrid;

class TgxGridDataLink : public db::TDataLink {
  public:
    explicit TgxGridDataLink(TCustomgxDBGrid* grid);
    ~TgxGridDataLink() override;

    TCustomgxDBGrid* Grid() const { return grid_; }

    // Appends the field's index in the dataset, or -1 when no field has that name.
    void AddMapping(std::string_view field_name);
    // The dataset field of a mapped entry; none when out of range or unmapped.
    db::TField* GetMappedField(int index) const;
    void ClearMapping();
    int MappingCount() const { return static_cast<int>(map_.size()); }
    int MappingCapacity() const { return capacity_; }
    int MappedIndex(int index) const {
        return index >= 0 && index < MappingCount() ? map_[static_cast<std::size_t>(index)] : -1;
    }

    bool IsModified() const { return modified_; }
    void Modified() { modified_ = true; }
    // The editor's text is in the field (as a write of it would leave the link).
    void ClearModified() { modified_ = false; }
    // Re-reads the record when the grid changed it, else cancels the dataset's edit.
    void Reset();

    static constexpr int kMaxMapping = 0x0FFFFFFF;

  protected:
    void ActiveChanged() override;
    void DataSetChanged() override;
    void DataSetScrolled(std::int64_t distance) override;
    void EditingChanged() override {}
    void FocusControl(db::TField** field) override;
    void LayoutChanged() override;
    void RecordChanged(db::TField* field) override;
    void UpdateData() override;

  private:
    TCustomgxDBGrid* grid_;
    std::vector<std::int32_t> map_;
    // The growth rule of the map is part of the contract (8 from empty, then doubling).
    int capacity_ = 0;
    bool modified_ = false;
};

}  // namespace grid
