#pragma once

#include "platform/db/object.h"

namespace db {

// An object whose state can be copied from another of a compatible kind. `Assign` asks the
// source to copy itself (`AssignTo`) when the destination does not know the source's kind;
// when neither knows the other, EConvertError "Cannot assign a <source> to a <dest>" is raised.
class TPersistent : public TObject {
  public:
    virtual void Assign(const TPersistent& source);
    // The object that owns this one in the name path (a component's owner, an item's
    // collection); none by default.
    virtual TPersistent* GetOwner() const { return nullptr; }

  protected:
    virtual void AssignTo(TPersistent& dest) const;
    [[noreturn]] void AssignError(const TPersistent& source) const;
};

}  // namespace db
