#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/db/collection.h"
#include "platform/db/object.h"

namespace db {

// An item with a name that is unique (case aside) within its definition list; the empty
// name is not checked.
class TNamedItem : public TCollectionItem {
  public:
    const std::string& Name() const { return name_; }
    // Raises EDatabaseError "Duplicate name 'x' in <list class>" when another item has it.
    void SetName(std::string_view name);
    std::string DisplayName() const override { return name_; }

  private:
    std::string name_;
};

// The base of the field and index definition lists of a dataset. The list knows whether it
// matches the dataset's current structure (`Updated`); `Update` asks the dataset to reload it
// when it does not. Changes made by anyone but that reload are reported through `OnUpdate`.
class TDefCollection : public TOwnedCollection {
  public:
    TDefCollection(ItemFactory make_item, TPersistent* dataset);

    TPersistent* DataSet() const { return GetOwner(); }

    bool Updated() const { return updated_; }
    void SetUpdated(bool updated) { updated_ = updated; }
    // Installed by the dataset: refills the list from the dataset's current structure.
    void SetUpdater(std::function<void()> updater) { updater_ = std::move(updater); }
    // Reloads through the updater unless up to date; a failed reload leaves it stale.
    void Update();

    // The position of the item of that name (case aside), -1 when none.
    std::int64_t IndexOf(std::string_view name) const;
    TNamedItem* Find(std::string_view name) const;

    TNotifyEvent OnUpdate;

  protected:
    void Update(TCollectionItem* item) override;

  private:
    std::function<void()> updater_;
    bool updated_ = false;
    bool reloading_ = false;
};

}  // namespace db
