#pragma once

// A data link that writes down every notification it receives, for tests of the data events.

#include <string>
#include <vector>

#include "platform/db/data_link.h"
#include "platform/db/field.h"

namespace db::testing {

class RecordingLink : public TDataLink {
  public:
    std::vector<std::string> log;

    std::vector<std::string> Take() {
        std::vector<std::string> taken;
        taken.swap(log);
        return taken;
    }

  protected:
    void ActiveChanged() override { log.push_back("ActiveChanged"); }
    void CheckBrowseMode() override { log.push_back("CheckBrowseMode"); }
    void DataSetChanged() override { log.push_back("DataSetChanged"); }
    void DataSetScrolled(std::int64_t distance) override {
        log.push_back("DataSetScrolled(" + std::to_string(distance) + ")");
    }
    void EditingChanged() override { log.push_back("EditingChanged"); }
    void FocusControl(TField** field) override {
        log.push_back("FocusControl(" + (*field)->FieldName() + ")");
    }
    void LayoutChanged() override { log.push_back("LayoutChanged"); }
    void RecordChanged(TField* field) override {
        log.push_back("RecordChanged(" + (field != nullptr ? field->FieldName() : "-") + ")");
    }
    void UpdateData() override { log.push_back("UpdateData"); }
};

}  // namespace db::testing
