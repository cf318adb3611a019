#include "platform/db/data_link.h"

#include <algorithm>

#include "platform/db/data_source.h"
#include "platform/db/exception.h"

namespace db {

TDataLink::~TDataLink() {
    if (data_source_ != nullptr) {
        data_source_->RemoveDataLink(*this);
        data_source_ = nullptr;
    }
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == data_source_) {
        return;
    }
    if (data_source_fixed_) {
        throw EDatabaseError("The data source of this link cannot be changed");
    }
    if (data_source_ != nullptr) {
        data_source_->RemoveDataLink(*this);
    }
    data_source_ = source;
    if (data_source_ != nullptr) {
        data_source_->AddDataLink(*this);
    }
    UpdateState();
}

TDataSet* TDataLink::DataSet() const {
    return data_source_ != nullptr ? data_source_->DataSet() : nullptr;
}

void TDataLink::SetReadOnly(bool read_only) {
    if (read_only != read_only_) {
        read_only_ = read_only;
        UpdateState();
    }
}

void TDataLink::UpdateState() {
    const TDataSetState state = data_source_ != nullptr ? data_source_->State() : dsInactive;
    const bool active = state != dsInactive;
    if (active != active_) {
        active_ = active;
        first_record_ = 0;
        if (active_) {
            UpdateRange();
        }
        ActiveChanged();
    }
    const bool editing =
        active_ && !read_only_ && (state == dsEdit || state == dsInsert || state == dsSetKey);
    if (editing != editing_) {
        editing_ = editing;
        EditingChanged();
    }
}

std::int64_t TDataLink::UpdateRange(std::int64_t shift) {
    const TDataSet* dataset = DataSet();
    if (dataset == nullptr || !active_) {
        return 0;
    }
    const std::int64_t before = first_record_ - shift;
    const std::int64_t active = dataset->ActiveRecord();
    const std::int64_t count = dataset->BufferedRecordCount();
    const std::int64_t low = std::max<std::int64_t>(0, active - buffer_count_ + 1);
    const std::int64_t high = std::max(low, std::min(active, count - buffer_count_));
    first_record_ = std::clamp(before, low, high);
    return first_record_ - before;
}

std::int64_t TDataLink::ActiveRecord() const {
    const TDataSet* dataset = DataSet();
    if (dataset == nullptr || !active_) {
        return 0;
    }
    return dataset->ActiveRecord() - first_record_;
}

void TDataLink::SetActiveRecord(std::int64_t value) {
    TDataSet* dataset = DataSet();
    if (dataset != nullptr && active_) {
        dataset->SetActiveRecord(value + first_record_);
    }
}

void TDataLink::SetBufferCount(std::int64_t value) {
    value = std::max<std::int64_t>(value, 1);
    if (value == buffer_count_) {
        return;
    }
    buffer_count_ = value;
    if (TDataSet* dataset = DataSet(); dataset != nullptr) {
        dataset->UpdateBufferCount();
    }
    UpdateRange();
}

std::int64_t TDataLink::RecordCount() const {
    const TDataSet* dataset = DataSet();
    if (dataset == nullptr || !active_) {
        return 0;
    }
    return std::clamp<std::int64_t>(dataset->BufferedRecordCount() - first_record_, 0,
                                    buffer_count_);
}

bool TDataLink::Edit() {
    if (data_source_ != nullptr && !read_only_) {
        data_source_->Edit();
    }
    return editing_;
}

void TDataLink::UpdateRecord() {
    if (updating_) {
        return;
    }
    updating_ = true;
    try {
        UpdateData();
    } catch (...) {
        updating_ = false;
        throw;
    }
    updating_ = false;
}

void TDataLink::DataEvent(TDataEvent event, const TDataEventInfo& info) {
    if (!active_) {
        return;
    }
    switch (event) {
        case deFieldChange:
        case deRecordChange:
            if (!updating_) {
                RecordChanged(event == deFieldChange ? info.field : nullptr);
            }
            break;
        case deDataSetChange:
            UpdateRange();
            DataSetChanged();
            break;
        case deLayoutChange:
            UpdateRange();
            LayoutChanged();
            break;
        case deDataSetScroll:
            DataSetScrolled(UpdateRange(info.distance));
            break;
        case deUpdateRecord:
            UpdateRecord();
            break;
        case deCheckBrowseMode:
            CheckBrowseMode();
            break;
        case deFocusControl:
            FocusControl(info.focus);
            break;
        default:
            break;
    }
}

}  // namespace db
