#include "app/list/name_routines.h"

#include "app/routines/text_routines.h"

namespace app {

std::string CleanSenderName(std::string_view text) {
    std::string name = Trim(text);
    if (name.find('@') != std::string::npos)
        return {};
    if (!name.empty() && name.front() == '"')
        name.erase(0, 1);
    if (!name.empty() && name.back() == '"')
        name.pop_back();
    return name;
}

std::string RemoveCommaFromName(std::string_view name) {
    const std::size_t comma = name.find(',');
    if (comma == std::string_view::npos || comma == 0)
        return std::string(name);
    const std::string surname = Trim(name.substr(0, comma));
    const std::string given = Trim(name.substr(comma + 1));
    // "Smith," has nothing after the comma: the surname alone, with no blank
    // in front of it.
    if (given.empty())
        return surname;
    return given + " " + surname;
}

std::string SalutationFromName(std::string_view full_name) {
    // A name kept as "Doe, John" greets John, never "Doe,".
    const std::string name = Trim(RemoveCommaFromName(Trim(full_name)));
    if (name.empty())
        return {};
    const std::size_t blank = name.find(' ');
    std::string first = blank == std::string::npos ? name : Trim(name.substr(0, blank));
    if (!first.empty())
        first[0] = UpperCase(name.substr(0, 1))[0];
    return first;
}

void SMTPAddressToEmailName(std::string& address, std::string& name) {
    name = CleanSenderName(name);
    const std::size_t open = address.find('<');
    if (open == std::string::npos)
        return;
    const std::string candidate = Trim(std::string_view(address).substr(0, open));
    std::string rest = address.substr(open + 1);
    std::erase(rest, '>');
    address = Trim(rest);
    if (name.empty())
        name = CleanSenderName(candidate);
    name = RemoveCommaFromName(name);
}

}  // namespace app
