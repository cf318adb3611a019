#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/persistent.h"

namespace db {

class TCollection;

// One item of a collection. The collection owns its items; an item changes collections only
// through `SetCollection`.
class TCollectionItem : public TPersistent {
  public:
    TCollectionItem() = default;
    TCollectionItem(const TCollectionItem&) = delete;
    TCollectionItem& operator=(const TCollectionItem&) = delete;
    ~TCollectionItem() override = default;

    TCollection* Collection() const { return collection_; }
    // Moves the item (and its ownership) to another collection. An item outside any
    // collection raises EListError: `TCollection::AddItem` takes it in.
    virtual void SetCollection(TCollection& collection);
    // Position in the collection; -1 outside one.
    std::int64_t Index() const;
    // Moves the item within its collection; an index outside the collection raises EListError.
    virtual void SetIndex(std::int64_t index);
    // A number unique within the collection for the collection's lifetime.
    std::int64_t ID() const { return id_; }
    // The class name unless overridden.
    virtual std::string DisplayName() const { return ClassName(); }
    TPersistent* GetOwner() const override;

  protected:
    // Tells the collection that this item (or, with `all_items`, the whole collection)
    // changed; nothing while the collection is being updated.
    void Changed(bool all_items);

  private:
    friend class TCollection;
    TCollection* collection_ = nullptr;
    std::int64_t id_ = 0;
};

enum TCollectionNotification : std::uint8_t { cnAdded, cnExtracting, cnDeleting };

// An owned, ordered list of items of one kind, with nested update brackets: changes made
// inside a bracket are reported once, as a change of the whole collection, when the outermost
// bracket ends.
class TCollection : public TPersistent {
  public:
    using ItemFactory = std::function<std::unique_ptr<TCollectionItem>()>;

    // `make_item` makes the items that `Add` and `Insert` create.
    explicit TCollection(ItemFactory make_item);
    TCollection(const TCollection&) = delete;
    TCollection& operator=(const TCollection&) = delete;
    ~TCollection() override;

    // A factory for items of class T (default-constructible).
    template <class T>
    static ItemFactory ItemClass() {
        return [] { return std::make_unique<T>(); };
    }

    std::int64_t Count() const { return static_cast<std::int64_t>(items_.size()); }
    // Raises EListError for an index outside 0..Count()-1.
    TCollectionItem* Items(std::int64_t index) const;
    // Assigns `source` to the item at `index`.
    void SetItems(std::int64_t index, const TPersistent& source);

    TCollectionItem* Add();
    TCollectionItem* Insert(std::int64_t index);
    // Takes an item made elsewhere; it goes to the end.
    TCollectionItem* AddItem(std::unique_ptr<TCollectionItem> item);
    void Delete(std::int64_t index);
    // Takes the item out and hands it to the caller.
    std::unique_ptr<TCollectionItem> Extract(TCollectionItem& item);
    void Clear();
    TCollectionItem* FindItemID(std::int64_t id) const;

    void BeginUpdate();
    void EndUpdate();
    std::int64_t UpdateCount() const { return update_count_; }

    // Copies the items of another collection (each new item assigned from the source's item).
    void Assign(const TPersistent& source) override;

  protected:
    // Reports a change of one item, or of the whole collection when `item` is nullptr.
    virtual void Update(TCollectionItem* /*item*/) {}
    // Told when an item was added, is about to leave (extracting) or is about to be deleted.
    virtual void Notify(TCollectionItem& /*item*/, TCollectionNotification /*action*/) {}
    // Reports a change of the whole collection unless updating.
    void Changed();

  private:
    friend class TCollectionItem;

    void InsertItem(std::int64_t index, std::unique_ptr<TCollectionItem> item);
    std::unique_ptr<TCollectionItem> RemoveItem(TCollectionItem& item);
    void CheckIndex(std::int64_t index) const;

    ItemFactory make_item_;
    std::vector<std::unique_ptr<TCollectionItem>> items_;
    std::int64_t next_id_ = 0;
    std::int64_t update_count_ = 0;
};

// A collection that names its owner (a component or another persistent object).
class TOwnedCollection : public TCollection {
  public:
    TOwnedCollection(TPersistent* owner, ItemFactory make_item)
        : TCollection(std::move(make_item)), owner_(owner) {}

    TPersistent* GetOwner() const override { return owner_; }

  private:
    TPersistent* owner_;
};

}  // namespace db
