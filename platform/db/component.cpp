#include "platform/db/component.h"

#include <algorithm>

#include "platform/db/exception.h"
#include "platform/db/names.h"

namespace db {
namespace {

bool IsValidIdent(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    if (!letter(name.front())) {
        return false;
    }
    return std::all_of(name.begin() + 1, name.end(),
                       [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

void Unlink(std::vector<TComponent*>& list, const TComponent* component) {
    list.erase(std::remove(list.begin(), list.end(), component), list.end());
}

void CollectTree(TComponent& root, std::vector<TComponent*>& out) {
    out.push_back(&root);
    for (std::int64_t i = 0; i < root.ComponentCount(); ++i) {
        CollectTree(*root.Components(i), out);
    }
}

}  // namespace

// The insert notification waits for MakeOwned or MakeComponent: a component under
// construction cannot yet be told apart from a plain TComponent.
TComponent::TComponent(TComponent* owner) {
    if (owner != nullptr) {
        owner->Insert(*this);
        if (owner->state_.Contains(csDesigning)) {
            SetDesigning(true);
        }
    }
}

TComponent::~TComponent() {
    BeforeDestruction();
    DestroyComponents();
    if (owner_ != nullptr) {
        // This object is going away whoever held it; the owner must not hand it out.
        held_by_owner_ = false;
        ComponentPtr<TComponent> none = owner_->RemoveComponent(*this);
    }
}

void TComponent::BeforeDestruction() {
    if (ending_announced_) {
        return;
    }
    ending_announced_ = true;
    Destroying();
    while (!free_notifies_.empty()) {
        TComponent* other = free_notifies_.back();
        free_notifies_.pop_back();
        Unlink(other->free_notifies_, this);
        other->Notification(this, opRemove);
    }
}

void TComponent::AnnounceInsertion() {
    if (owner_ != nullptr) {
        owner_->Notification(this, opInsert);
    }
}

void ComponentDeleter::operator()(TComponent* component) const {
    component->BeforeDestruction();
    if (component->owner_ != nullptr) {
        component->held_by_owner_ = false;
        ComponentPtr<TComponent> none = component->owner_->RemoveComponent(*component);
    }
    delete component;
}

void TComponent::SetName(std::string_view name) {
    if (name == name_) {
        return;
    }
    if (!name.empty() && !IsValidIdent(name)) {
        throw EComponentError("'" + std::string(name) + "' is not a valid component name");
    }
    if (owner_ != nullptr) {
        owner_->ValidateRename(this, name_, name);
    } else {
        ValidateRename(nullptr, name_, name);
    }
    ChangeName(name);
}

void TComponent::ChangeName(std::string_view name) {
    name_ = name;
}

void TComponent::ValidateRename(TComponent* component, std::string_view current_name,
                                std::string_view new_name) const {
    if (component == nullptr || new_name.empty() || SameName(current_name, new_name) ||
        component->owner_ != this) {
        return;
    }
    if (FindComponent(new_name) != nullptr) {
        throw EComponentError("A component named " + std::string(new_name) + " already exists");
    }
}

TComponent* TComponent::Components(std::int64_t index) const {
    if (index < 0 || index >= ComponentCount()) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    return components_[static_cast<std::size_t>(index)];
}

std::int64_t TComponent::ComponentIndex() const {
    if (owner_ == nullptr) {
        return -1;
    }
    const auto& list = owner_->components_;
    const auto found = std::find(list.begin(), list.end(), this);
    return found == list.end() ? -1 : found - list.begin();
}

TComponent* TComponent::FindComponent(std::string_view name) const {
    if (name.empty()) {
        return nullptr;
    }
    for (TComponent* component : components_) {
        if (SameName(component->name_, name)) {
            return component;
        }
    }
    return nullptr;
}

void TComponent::InsertComponent(TComponent& component) {
    if (component.owner_ != nullptr) {
        throw EComponentError("Component " + component.name_ + " already has an owner");
    }
    if (!component.name_.empty() && FindComponent(component.name_) != nullptr) {
        throw EComponentError("A component named " + component.name_ + " already exists");
    }
    Insert(component);
    if (state_.Contains(csDesigning)) {
        component.SetDesigning(true);
    }
    Notification(&component, opInsert);
}

void TComponent::InsertComponent(ComponentPtr<TComponent> component) {
    InsertComponent(*component);
    component.release()->held_by_owner_ = true;
}

ComponentPtr<TComponent> TComponent::RemoveComponent(TComponent& component) {
    if (component.owner_ != this) {
        return nullptr;
    }
    Notification(&component, opRemove);
    Remove(component);
    ComponentPtr<TComponent> released;
    if (component.held_by_owner_) {
        component.held_by_owner_ = false;
        released.reset(&component);
    }
    return released;
}

void TComponent::Insert(TComponent& component) {
    components_.push_back(&component);
    component.owner_ = this;
}

void TComponent::Remove(TComponent& component) {
    Unlink(components_, &component);
    component.owner_ = nullptr;
}

void TComponent::DestroyComponents() {
    while (!components_.empty()) {
        TComponent& last = *components_.back();
        last.BeforeDestruction();
        // Freed here when this component held it; otherwise only let go.
        ComponentPtr<TComponent> held = RemoveComponent(last);
    }
}

void TComponent::Destroying() {
    if (state_.Contains(csDestroying)) {
        return;
    }
    state_.Include(csDestroying);
    for (TComponent* component : components_) {
        component->Destroying();
    }
}

void TComponent::Free() {
    if (owner_ == nullptr || !held_by_owner_) {
        throw EComponentError("Component " + name_ + " is not freed through its owner");
    }
    BeforeDestruction();
    ComponentPtr<TComponent> self = owner_->RemoveComponent(*this);
}

void TComponent::FreeNotification(TComponent& component) {
    if (&component == this) {
        return;
    }
    if (std::find(free_notifies_.begin(), free_notifies_.end(), &component) ==
        free_notifies_.end()) {
        free_notifies_.push_back(&component);
        component.free_notifies_.push_back(this);
    }
    state_.Include(csFreeNotification);
    component.state_.Include(csFreeNotification);
}

void TComponent::RemoveFreeNotification(TComponent& component) {
    Unlink(free_notifies_, &component);
    Unlink(component.free_notifies_, this);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    if (operation == opRemove && component != nullptr) {
        RemoveFreeNotification(*component);
    }
    // A handler may remove components from the list; walk down and keep the index valid.
    for (auto i = static_cast<std::int64_t>(components_.size()) - 1; i >= 0; --i) {
        if (i >= static_cast<std::int64_t>(components_.size())) {
            i = static_cast<std::int64_t>(components_.size());
            continue;
        }
        components_[static_cast<std::size_t>(i)]->Notification(component, operation);
    }
}

void TComponent::Loaded() {
    state_.Exclude(csLoading);
}

void TComponent::Loading() {
    state_.Include(csLoading);
}

void TComponent::SetDesigning(bool designing) {
    if (designing) {
        state_.Include(csDesigning);
    } else {
        state_.Exclude(csDesigning);
    }
    for (TComponent* component : components_) {
        component->SetDesigning(designing);
    }
}

void TComponent::Updating() {
    state_.Include(csUpdating);
}

void TComponent::Updated() {
    state_.Exclude(csUpdating);
}

void LoadComponent(TComponent& root) {
    std::vector<TComponent*> tree;
    CollectTree(root, tree);
    for (TComponent* component : tree) {
        component->Loading();
    }
}

void EndLoadComponent(TComponent& root) {
    std::vector<TComponent*> tree;
    CollectTree(root, tree);
    for (TComponent* component : tree) {
        component->Loaded();
    }
}

}  // namespace db
