#include "platform/db/def_collection.h"

#include "platform/db/exception.h"
#include "platform/db/names.h"

namespace db {

void TNamedItem::SetName(std::string_view name) {
    if (name == name_) {
        return;
    }
    if (!name.empty()) {
        if (const auto* list = dynamic_cast<const TDefCollection*>(Collection())) {
            const std::int64_t existing = list->IndexOf(name);
            if (existing >= 0 && existing != Index()) {
                throw EDatabaseError("Duplicate name '" + std::string(name) + "' in " +
                                     list->ClassName());
            }
        }
    }
    name_ = name;
    Changed(false);
}

TDefCollection::TDefCollection(ItemFactory make_item, TPersistent* dataset)
    : TOwnedCollection(dataset, std::move(make_item)) {}

void TDefCollection::Update() {
    if (updated_ || !updater_) {
        updated_ = true;
        return;
    }
    reloading_ = true;
    try {
        updater_();
    } catch (...) {
        reloading_ = false;
        throw;
    }
    reloading_ = false;
    updated_ = true;
}

std::int64_t TDefCollection::IndexOf(std::string_view name) const {
    for (std::int64_t i = 0; i < Count(); ++i) {
        const auto* item = static_cast<const TNamedItem*>(Items(i));
        if (SameName(item->Name(), name)) {
            return i;
        }
    }
    return -1;
}

TNamedItem* TDefCollection::Find(std::string_view name) const {
    const std::int64_t index = IndexOf(name);
    return index < 0 ? nullptr : static_cast<TNamedItem*>(Items(index));
}

void TDefCollection::Update(TCollectionItem* /*item*/) {
    if (!reloading_ && OnUpdate) {
        OnUpdate(this);
    }
}

}  // namespace db
