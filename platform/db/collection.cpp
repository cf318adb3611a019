#include "platform/db/collection.h"

#include <algorithm>
#include <cassert>

#include "platform/db/exception.h"

namespace db {

void TCollectionItem::SetCollection(TCollection& collection) {
    if (&collection == collection_) {
        return;
    }
    if (collection_ == nullptr) {
        throw EListError("Item is not in a collection");
    }
    std::unique_ptr<TCollectionItem> self = collection_->RemoveItem(*this);
    collection.InsertItem(collection.Count(), std::move(self));
}

std::int64_t TCollectionItem::Index() const {
    if (collection_ == nullptr) {
        return -1;
    }
    const auto& items = collection_->items_;
    const auto found = std::find_if(items.begin(), items.end(),
                                    [&](const auto& item) { return item.get() == this; });
    return found == items.end() ? -1 : found - items.begin();
}

void TCollectionItem::SetIndex(std::int64_t index) {
    const std::int64_t current = Index();
    if (current < 0 || current == index) {
        return;
    }
    collection_->CheckIndex(index);
    auto& items = collection_->items_;
    const auto from = items.begin() + current;
    const auto to = items.begin() + index;
    if (current < index) {
        std::rotate(from, from + 1, to + 1);
    } else {
        std::rotate(to, from, from + 1);
    }
    Changed(true);
}

TPersistent* TCollectionItem::GetOwner() const {
    return collection_;
}

void TCollectionItem::Changed(bool all_items) {
    if (collection_ != nullptr && collection_->update_count_ == 0) {
        collection_->Update(all_items ? nullptr : this);
    }
}

TCollection::TCollection(ItemFactory make_item) : make_item_(std::move(make_item)) {}

// Items go without notifications: a derived collection's handlers are already gone.
TCollection::~TCollection() = default;

void TCollection::CheckIndex(std::int64_t index) const {
    if (index < 0 || index >= Count()) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
}

TCollectionItem* TCollection::Items(std::int64_t index) const {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].get();
}

void TCollection::SetItems(std::int64_t index, const TPersistent& source) {
    Items(index)->Assign(source);
}

TCollectionItem* TCollection::Add() {
    return Insert(Count());
}

TCollectionItem* TCollection::Insert(std::int64_t index) {
    if (index < 0 || index > Count()) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    std::unique_ptr<TCollectionItem> item = make_item_();
    TCollectionItem* result = item.get();
    InsertItem(index, std::move(item));
    return result;
}

TCollectionItem* TCollection::AddItem(std::unique_ptr<TCollectionItem> item) {
    if (item->collection_ != nullptr) {
        throw EListError("Item is already in a collection");
    }
    TCollectionItem* result = item.get();
    InsertItem(Count(), std::move(item));
    return result;
}

void TCollection::InsertItem(std::int64_t index, std::unique_ptr<TCollectionItem> item) {
    TCollectionItem& added = *item;
    items_.insert(items_.begin() + index, std::move(item));
    added.collection_ = this;
    added.id_ = next_id_++;
    Notify(added, cnAdded);
    Changed();
}

std::unique_ptr<TCollectionItem> TCollection::RemoveItem(TCollectionItem& item) {
    Notify(item, cnExtracting);
    const auto found = std::find_if(items_.begin(), items_.end(),
                                    [&](const auto& held) { return held.get() == &item; });
    assert(found != items_.end());
    std::unique_ptr<TCollectionItem> removed = std::move(*found);
    items_.erase(found);
    removed->collection_ = nullptr;
    Changed();
    return removed;
}

void TCollection::Delete(std::int64_t index) {
    TCollectionItem& item = *Items(index);
    Notify(item, cnDeleting);
    std::unique_ptr<TCollectionItem> removed = RemoveItem(item);
}

std::unique_ptr<TCollectionItem> TCollection::Extract(TCollectionItem& item) {
    if (item.collection_ != this) {
        throw EListError("Item is not in this collection");
    }
    return RemoveItem(item);
}

void TCollection::Clear() {
    if (items_.empty()) {
        return;
    }
    BeginUpdate();
    try {
        while (!items_.empty()) {
            Delete(Count() - 1);
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

TCollectionItem* TCollection::FindItemID(std::int64_t id) const {
    for (const auto& item : items_) {
        if (item->id_ == id) {
            return item.get();
        }
    }
    return nullptr;
}

void TCollection::BeginUpdate() {
    ++update_count_;
}

void TCollection::EndUpdate() {
    if (update_count_ == 0) {
        return;
    }
    --update_count_;
    Changed();
}

void TCollection::Changed() {
    if (update_count_ == 0) {
        Update(nullptr);
    }
}

void TCollection::Assign(const TPersistent& source) {
    const auto* collection = dynamic_cast<const TCollection*>(&source);
    if (collection == nullptr) {
        TPersistent::Assign(source);
        return;
    }
    if (collection == this) {
        return;
    }
    BeginUpdate();
    try {
        Clear();
        for (const auto& item : collection->items_) {
            Add()->Assign(*item);
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

}  // namespace db
