#pragma once

// Cells whose value is chosen from a list: the pick column offers fixed strings, the
// lookup column a lookup field's dataset.

#include <functional>
#include <string>
#include <vector>

#include "grid/editors/button_edit.h"
#include "platform/db/variant.h"

namespace grid {

using TgxPickColumnCloseUp =
    std::function<void(TgxDBTreeListColumn* sender, db::Variant& value, bool& accept)>;

// The index in items of the first item, in sorted order, that starts with text (case
// aside); -1 when none or when items or text are empty.
int FindPickItem(const std::vector<std::string>& items, const std::string& text);

class TgxDBTreeListPickColumn : public TgxDBTreeListDropDownColumn {
  public:
    explicit TgxDBTreeListPickColumn(db::TComponent* owner = nullptr);
    std::vector<std::string>& Items() { return items_; }
    const std::vector<std::string>& Items() const { return items_; }
    void SetItems(const std::vector<std::string>& items) { items_ = items; }
    bool DropDownListStyle() const { return drop_down_list_style_; }
    void SetDropDownListStyle(bool value) { drop_down_list_style_ = value; }
    TgxPickColumnCloseUp OnCloseUp;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    std::vector<std::string> items_;
    bool drop_down_list_style_ = false;
};
using TgxDBGridPickColumn = TgxDBTreeListPickColumn;

class TgxDBTreeListLookupColumn : public TgxDBTreeListDropDownColumn {
  public:
    using TgxDBTreeListDropDownColumn::TgxDBTreeListDropDownColumn;
    std::uint16_t ClearKey() const { return clear_key_; }
    void SetClearKey(std::uint16_t value) { clear_key_ = value; }
    const std::string& ListFieldName() const { return list_field_name_; }
    void SetListFieldName(std::string_view value) { list_field_name_ = value; }
    int ListFieldIndex() const { return list_field_index_; }
    void SetListFieldIndex(int value) { list_field_index_ = value; }
    int ListWidth() const { return list_width_; }
    void SetListWidth(int value) { list_width_ = value; }
    TgxPickColumnCloseUp OnCloseUp;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    std::uint16_t clear_key_ = 0;
    std::string list_field_name_;
    int list_field_index_ = 0;
    int list_width_ = 0;
};
using TgxDBGridLookupColumn = TgxDBTreeListLookupColumn;

}  // namespace grid
