#pragma once

// The Simple-MAPI module's address book: the mail store's contacts with a
// search field, from which the user fills the To and CC lists.

#include <optional>
#include <vector>

#include "platform/mail/simple_mapi_provider.h"

namespace mail {

// Shows the address book modally; nothing when it is cancelled. Requires: a
// QApplication.
std::optional<AddressBookChoice> ShowAddressBook(const std::vector<ContactItem>& contacts,
                                                 const AddressBookChoice& preset);

}  // namespace mail
