#include "grid/editors/pick_edit.h"

#include <algorithm>
#include <numeric>

#include "platform/nls/nls.h"

namespace grid {

int FindPickItem(const std::vector<std::string>& items, const std::string& text) {
    if (items.empty() || text.empty())
        return -1;
    std::vector<int> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return platform::nls::CompareTextAnsi(items[static_cast<std::size_t>(a)],
                                              items[static_cast<std::size_t>(b)]) < 0;
    });
    for (int index : order) {
        const std::string& item = items[static_cast<std::size_t>(index)];
        if (item.size() >= text.size() &&
            platform::nls::SameTextAnsi(std::string_view(item).substr(0, text.size()), text))
            return index;
    }
    return -1;
}

TgxDBTreeListPickColumn::TgxDBTreeListPickColumn(db::TComponent* owner)
    : TgxDBTreeListDropDownColumn(owner) {
    SetImmediateDropDown(true);
}

void TgxDBTreeListPickColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    drop_down_list_style_ = false;
}

void TgxDBTreeListPickColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListPickColumn*>(&source)) {
        items_ = c->items_;
        drop_down_list_style_ = c->drop_down_list_style_;
    }
}

void TgxDBTreeListLookupColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    list_field_name_.clear();
    list_field_index_ = 0;
    list_width_ = 0;
    clear_key_ = 0;
}

void TgxDBTreeListLookupColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListLookupColumn*>(&source)) {
        clear_key_ = c->clear_key_;
        list_field_name_ = c->list_field_name_;
        list_field_index_ = c->list_field_index_;
        list_width_ = c->list_width_;
    }
}

}  // namespace grid
