#include "platform/db/persistent.h"

#include "platform/db/exception.h"

namespace db {

void TPersistent::Assign(const TPersistent& source) {
    source.AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& dest) const {
    dest.AssignError(*this);
}

void TPersistent::AssignError(const TPersistent& source) const {
    throw EConvertError("Cannot assign a " + source.ClassName() + " to a " + ClassName());
}

}  // namespace db
