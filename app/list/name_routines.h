#pragma once

// Names and addresses as requests give them: a display name followed by an
// address in angle brackets, names written surname first, and the salutation
// guessed from a full name.

#include <string>
#include <string_view>

namespace app {

// Trimmed; a text holding "@" becomes empty; one leading and one trailing
// double quote come off.
std::string CleanSenderName(std::string_view text);

// "Smith, John" gives "John Smith"; a name without a comma after its first
// character stays as it is.
std::string RemoveCommaFromName(std::string_view name);

// The first word of the full name with its first character in upper case;
// empty for an empty name.
std::string SalutationFromName(std::string_view full_name);

// Splits "Name <address>" into the bare address and, when name is empty, the
// display name; name is cleaned and turned given name first.
void SMTPAddressToEmailName(std::string& address, std::string& name);

}  // namespace app
