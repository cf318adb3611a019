#include "platform/db/data_source.h"

#include <algorithm>

#include "platform/db/data_link.h"
#include "platform/db/exception.h"

namespace db {

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
    for (TDataLink* link : std::vector<TDataLink*>(links_)) {
        link->data_source_ = nullptr;
        link->UpdateState();
    }
    links_.clear();
    if (dataset_ != nullptr) {
        dataset_->RemoveDataSource(*this);
        dataset_ = nullptr;
    }
}

void TDataSource::SetDataSet(TDataSet* dataset) {
    if (dataset == dataset_) {
        return;
    }
    if (dataset != nullptr && dataset->IsLinkedTo(this)) {
        throw EDatabaseError("Circular datalinks are not allowed");
    }
    if (dataset_ != nullptr) {
        dataset_->RemoveDataSource(*this);
    }
    dataset_ = dataset;
    if (dataset_ != nullptr) {
        dataset_->AddDataSource(*this);
    }
    UpdateState();
}

void TDataSource::SetEnabled(bool enabled) {
    enabled_ = enabled;
    UpdateState();
}

void TDataSource::Edit() {
    if (auto_edit_ && state_ == dsBrowse && dataset_ != nullptr) {
        dataset_->Edit();
    }
}

bool TDataSource::IsLinkedTo(const TDataSet* dataset) const {
    std::int64_t guard = 0;
    for (const TDataSource* source = this; source != nullptr && guard < 1024; ++guard) {
        const TDataSet* own = source->DataSet();
        if (own == nullptr) {
            return false;
        }
        if (own == dataset) {
            return true;
        }
        source = own->GetDataSource();
    }
    return false;
}

void TDataSource::AddDataLink(TDataLink& link) {
    links_.push_back(&link);
    if (dataset_ != nullptr) {
        dataset_->UpdateBufferCount();
    }
}

void TDataSource::RemoveDataLink(TDataLink& link) {
    std::erase(links_, &link);
    if (dataset_ != nullptr) {
        dataset_->UpdateBufferCount();
    }
}

void TDataSource::UpdateState() {
    const TDataSetState state = enabled_ && dataset_ != nullptr ? dataset_->State() : dsInactive;
    if (state == state_) {
        return;
    }
    state_ = state;
    for (TDataLink* link : std::vector<TDataLink*>(links_)) {
        link->UpdateState();
    }
    if (OnStateChange) {
        OnStateChange(this);
    }
}

void TDataSource::NotifyDataLinks(TDataEvent event, const TDataEventInfo& info) {
    for (TDataLink* link : std::vector<TDataLink*>(links_)) {
        link->DataEvent(event, info);
    }
}

void TDataSource::DataEvent(TDataEvent event, const TDataEventInfo& info) {
    if (event == deUpdateState) {
        UpdateState();
        return;
    }
    if (state_ == dsInactive) {
        return;
    }
    NotifyDataLinks(event, info);
    switch (event) {
        case deFieldChange:
        case deRecordChange:
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange:
            if (OnDataChange) {
                OnDataChange(this, event == deFieldChange ? info.field : nullptr);
            }
            break;
        case deUpdateRecord:
            if (OnUpdateData) {
                OnUpdateData(this);
            }
            break;
        default:
            break;
    }
}

}  // namespace db
