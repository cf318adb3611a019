#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/db/persistent.h"
#include "platform/db/set_of.h"

namespace db {

enum TComponentStateItem : std::uint8_t {
    csLoading,
    csReading,
    csWriting,
    csDestroying,
    csDesigning,
    csAncestor,
    csUpdating,
    csFixups,
    csFreeNotification,
    csInline,
    csDesignInstance,
};
using TComponentState = SetOf<TComponentStateItem>;

class TComponent;

// Deletes a component after announcing its end while it is still whole.
struct ComponentDeleter {
    void operator()(TComponent* component) const;
};

template <class T>
using ComponentPtr = std::unique_ptr<T, ComponentDeleter>;

enum TOperation : std::uint8_t { opInsert, opRemove };

// A named object that may own others. An owner frees the components it owns (the last made
// first) when it is destroyed, and components are told when another one they care about
// arrives or goes (`Notification`): the owner and its components hear of every component
// inserted into or removed from the owner, and components linked by `FreeNotification` hear
// of each other's destruction.
//
// Making and freeing: `MakeOwned<T>(owner, ...)` hands the new component to its owner, which
// deletes it; such a component ends early only through `Free`. `MakeComponent<T>(owner, ...)`
// answers a `ComponentPtr<T>` that the caller holds; the owner then only knows it for lookup
// and notifications. Both announce the insertion once the component is complete, and both
// free paths announce the removal while it still is, so handlers can tell what kind of
// component comes or goes. (A component constructed directly with an owner joins the owner
// without the insert notification; one destroyed without these paths is announced as a plain
// TComponent, since C++ has destroyed its derived part by then.)
//
// Destruction order: a derived destructor runs before this one, so owned components still
// exist while it runs; they are freed afterwards, and the owner's own `Notification` override
// is no longer reached then. A derived destructor that must see `csDestroying` calls
// `Destroying()` first.
class TComponent : public TPersistent {
  public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    TPersistent* GetOwner() const override { return owner_; }

    const std::string& Name() const { return name_; }
    // Refuses a name that is not an identifier (letters, digits and '_', not starting with a
    // digit; empty is allowed) with EComponentError "'x' is not a valid component name", and a
    // name another component of the same owner has (case aside) with "A component named x
    // already exists".
    virtual void SetName(std::string_view name);

    std::int64_t Tag() const { return tag_; }
    void SetTag(std::int64_t tag) { tag_ = tag; }

    TComponentState ComponentState() const { return state_; }

    std::int64_t ComponentCount() const { return static_cast<std::int64_t>(components_.size()); }
    // Raises EListError for an index outside 0..ComponentCount()-1.
    TComponent* Components(std::int64_t index) const;
    // Position in the owner's list; -1 without an owner.
    std::int64_t ComponentIndex() const;
    // The owned component of that name (case aside); nullptr when none or the name is empty.
    TComponent* FindComponent(std::string_view name) const;

    // Takes a component that has no owner into this one's list, checking its name; the
    // unique_ptr form also hands it over to be freed by this one.
    void InsertComponent(TComponent& component);
    void InsertComponent(ComponentPtr<TComponent> component);
    // Takes a component out of this one's list. When this one was to free it, the caller now
    // owns it through the answer; otherwise the answer is empty.
    [[nodiscard]] ComponentPtr<TComponent> RemoveComponent(TComponent& component);
    // Frees every component this one owns, the last first.
    void DestroyComponents();

    // Marks this component and those it owns as being destroyed.
    void Destroying();
    // Frees a component handed to its owner by `MakeOwned`. A component held any other way
    // raises EComponentError, so it can never be freed twice.
    void Free();

    // Asks to be told (`Notification` with opRemove) when `component` is destroyed, and tells
    // `component` the same about this one.
    void FreeNotification(TComponent& component);
    void RemoveFreeNotification(TComponent& component);

    // Runs once properties are set after creation: clears csLoading. Overrides call it first.
    virtual void Loaded();
    // Sets csLoading on this component (see `LoadComponent`).
    void Loading();
    // Marks this component and those it owns as designing; design-time paths are otherwise
    // no-ops in this program.
    void SetDesigning(bool designing);
    void Updating();
    void Updated();

  protected:
    // Told about a component inserted into or removed from the owner, or a component linked
    // by `FreeNotification` being destroyed. The base forwards it to every owned component.
    virtual void Notification(TComponent* component, TOperation operation);
    virtual void ValidateRename(TComponent* component, std::string_view current_name,
                                std::string_view new_name) const;
    void ChangeName(std::string_view name);

  private:
    template <class T, class... Args>
    friend T* MakeOwned(TComponent& owner, Args&&... args);
    template <class T, class... Args>
    friend ComponentPtr<T> MakeComponent(TComponent* owner, Args&&... args);
    friend struct ComponentDeleter;

    void Insert(TComponent& component);
    void Remove(TComponent& component);
    // Announces the end to linked components while this one is still whole; once only.
    void BeforeDestruction();
    void AnnounceInsertion();

    TComponent* owner_ = nullptr;
    std::string name_;
    std::int64_t tag_ = 0;
    TComponentState state_;
    std::vector<TComponent*> components_;
    // Components linked both ways by FreeNotification.
    std::vector<TComponent*> free_notifies_;
    // Set for a component made by MakeOwned: its owner deletes it.
    bool held_by_owner_ = false;
    bool ending_announced_ = false;
};

// Creates a component that `owner` owns and frees: T's constructor takes the owner first.
// Answers a pointer that does not own.
template <class T, class... Args>
T* MakeOwned(TComponent& owner, Args&&... args) {
    ComponentPtr<T> component(new T(&owner, std::forward<Args>(args)...));
    component->held_by_owner_ = true;
    T* result = component.release();
    result->AnnounceInsertion();
    return result;
}

// Creates a component held by the caller; `owner` may be nullptr.
template <class T, class... Args>
ComponentPtr<T> MakeComponent(TComponent* owner, Args&&... args) {
    ComponentPtr<T> component(new T(owner, std::forward<Args>(args)...));
    component->AnnounceInsertion();
    return component;
}

// Sets csLoading on `root` and everything it owns (recursively), for code that sets
// properties as a form stream would; `EndLoadComponent` then calls `Loaded` on each, the root
// first and then the owned components in order.
void LoadComponent(TComponent& root);
void EndLoadComponent(TComponent& root);

}  // namespace db
