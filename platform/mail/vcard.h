#pragma once

// A small vCard reader (versions 2.1, 3.0 and 4.0): enough for a contact's
// name and e-mail addresses.

#include <string>
#include <string_view>
#include <vector>

namespace mail {

struct VCard {
    std::string full_name;            // FN, else the N parts "Given Family"
    std::vector<std::string> emails;  // in file order
};

// Every card of a text; lines outside BEGIN:VCARD ... END:VCARD are ignored,
// and a card without an END still counts. Never throws.
std::vector<VCard> ParseVCards(std::string_view text);

}  // namespace mail
