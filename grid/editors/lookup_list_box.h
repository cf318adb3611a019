#pragma once

// The lookup editor's drop-down list: a data-aware list over the lookup dataset. It shows
// RowCount records of its data source around the current one; the key field's value of the
// record it selects is its key value, and moving the selection moves the dataset.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "grid/editors/button_edit.h"
#include "platform/db/data_link.h"
#include "platform/db/variant.h"

namespace db {
class TDataSource;
}

namespace grid {

class TPopupDBLookupListBox : public TgxPopupList {
  public:
    explicit TPopupDBLookupListBox(QWidget* parent = nullptr);
    ~TPopupDBLookupListBox() override;

    db::TDataSource* ListSource() const;
    // Attaches the list to a source (null detaches it).
    void SetListSource(db::TDataSource* source);
    // The key field's name and the shown fields of the source's dataset (kept while the
    // list is attached); ListFieldIndex picks the field of the typed search.
    std::string KeyField;
    std::vector<db::TField*> ListFields;
    int ListFieldIndex = 0;
    int RowCount() const { return row_count_; }
    void SetRowCount(int value);
    int ItemHeight = 13;
    bool Flat = true;

    const db::Variant& KeyValue() const { return key_value_; }
    // Selects the record with this key (none when no record has it) and moves the dataset
    // there.
    void SetKeyValue(const db::Variant& value);

    // The texts of the rows shown now (the shown fields joined by a blank), top to bottom.
    std::vector<std::string> RowTexts();
    // The shown row of the record with the key value, or -1.
    int SelectedRow();
    int RowAt(QPoint p) const override;

    void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) override;

  protected:
    void paintEvent(QPaintEvent* e) override;
    // Each notch moves the selection a row, as Up and Down do, so the mouse reaches every row.
    void wheelEvent(QWheelEvent* e) override;
    // Moves the dataset to the row and selects its key.
    void SelectRow(int row) override;

  private:
    class Link;
    // Takes the current record's key as the key value.
    void SelectCurrent();
    std::unique_ptr<Link> link_;
    int row_count_ = 7;
    db::Variant key_value_;
};

}  // namespace grid
