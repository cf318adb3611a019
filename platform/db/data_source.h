#pragma once

#include <functional>
#include <vector>

#include "platform/db/component.h"
#include "platform/db/dataset.h"

namespace db {

class TDataLink;

using TDataChangeEvent = std::function<void(TObject* sender, TField* field)>;

// The connector between one dataset and the data links of controls. It follows the dataset's
// state (Inactive while disabled or without a dataset) and passes the dataset's data events
// on to its links.
class TDataSource : public TComponent {
  public:
    explicit TDataSource(TComponent* owner);
    ~TDataSource() override;

    TDataSet* DataSet() const { return dataset_; }
    // Refused with "Circular datalinks are not allowed" when the dataset follows this source.
    void SetDataSet(TDataSet* dataset);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    bool AutoEdit() const { return auto_edit_; }
    void SetAutoEdit(bool auto_edit) { auto_edit_ = auto_edit; }
    TDataSetState State() const { return state_; }
    // Puts a browsing dataset into edit mode when AutoEdit is on.
    void Edit();
    // Whether this source's dataset is `dataset` or follows it through master sources.
    bool IsLinkedTo(const TDataSet* dataset) const;
    std::int64_t DataLinkCount() const { return static_cast<std::int64_t>(links_.size()); }

    TDataChangeEvent OnDataChange;
    TNotifyEvent OnStateChange;
    TNotifyEvent OnUpdateData;

  private:
    friend class TDataSet;
    friend class TDataLink;

    void AddDataLink(TDataLink& link);
    void RemoveDataLink(TDataLink& link);
    void DataEvent(TDataEvent event, const TDataEventInfo& info);
    void NotifyDataLinks(TDataEvent event, const TDataEventInfo& info);
    void UpdateState();
    void DetachDataSet() {
        dataset_ = nullptr;
        UpdateState();
    }

    TDataSet* dataset_ = nullptr;
    bool enabled_ = true;
    bool auto_edit_ = true;
    TDataSetState state_ = dsInactive;
    std::vector<TDataLink*> links_;
};

}  // namespace db
