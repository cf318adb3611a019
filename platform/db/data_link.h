#pragma once

#include <cstdint>

#include "platform/db/dataset.h"

namespace db {

class TDataSource;

// A control's view of a data source: a window of BufferCount records inside the dataset's
// buffer ring, and the notifications a control reacts to. Derived links override the
// notifications; the base ones do nothing.
class TDataLink : public TPersistent {
  public:
    TDataLink() = default;
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;
    ~TDataLink() override;

    TDataSource* DataSource() const { return data_source_; }
    // Refused while `DataSourceFixed` is set.
    void SetDataSource(TDataSource* source);
    TDataSet* DataSet() const;
    bool Active() const { return active_; }
    bool Editing() const { return editing_; }
    bool ReadOnly() const { return read_only_; }
    void SetReadOnly(bool read_only);
    bool VisualControl() const { return visual_control_; }
    void SetVisualControl(bool visual) { visual_control_ = visual; }
    bool DataSourceFixed() const { return data_source_fixed_; }
    void SetDataSourceFixed(bool fixed) { data_source_fixed_ = fixed; }

    // The link's current row, from 0 within its window. Setting it switches the dataset's
    // active record for reading other rows; callers switch back.
    std::int64_t ActiveRecord() const;
    void SetActiveRecord(std::int64_t value);
    std::int64_t BufferCount() const { return buffer_count_; }
    // Values below 1 become 1; an open dataset grows or shrinks its ring to match.
    void SetBufferCount(std::int64_t value);
    // Records in the window.
    std::int64_t RecordCount() const;

    // Puts the dataset into edit mode through the source (AutoEdit); answers `Editing`.
    bool Edit();
    // Writes this control's pending value into the record (UpdateData), once.
    void UpdateRecord();

  protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(std::int64_t /*distance*/) { DataSetChanged(); }
    virtual void EditingChanged() {}
    // The control that shows `field` takes the focus and clears `field`.
    virtual void FocusControl(TField** /*field*/) {}
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField* /*field*/) {}
    virtual void UpdateData() {}

  private:
    friend class TDataSource;
    friend class TDataSet;

    void DataEvent(TDataEvent event, const TDataEventInfo& info);
    void UpdateState();
    // Keeps the window on the active record after the ring moved by `shift`; answers how far
    // the window moved over the records.
    std::int64_t UpdateRange(std::int64_t shift = 0);

    TDataSource* data_source_ = nullptr;
    std::int64_t first_record_ = 0;
    std::int64_t buffer_count_ = 1;
    bool active_ = false;
    bool editing_ = false;
    bool read_only_ = false;
    bool visual_control_ = false;
    bool data_source_fixed_ = false;
    bool updating_ = false;
};

}  // namespace db
