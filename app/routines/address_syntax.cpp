#include "app/routines/address_syntax.h"

#include <array>
#include <iterator>
#include <string_view>

#include "app/routines/messages.h"

namespace app {

namespace {

// The characters an address may hold, looked up per character of every imported address.
constexpr std::array<bool, 256> kAllowed = [] {
    std::array<bool, 256> allowed{};
    for (int c = 0; c < 256; ++c) {
        allowed[static_cast<std::size_t>(c)] =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }
    for (const char c : std::string_view("$%'+-./@_")) {
        allowed[static_cast<unsigned char>(c)] = true;
    }
    return allowed;
}();

bool IsAllowed(char c) {
    return kAllowed[static_cast<unsigned char>(c)];
}

// Fails with code and position, and always gives false, so rules read as
// "return Fail(...)".
bool Fail(int& code, int& position, int new_code, std::size_t new_position = 0) {
    code = new_code;
    position = static_cast<int>(new_position);
    return false;
}

bool Check(std::string_view address, int& code, int& position) {
    if (address.empty()) {
        return Fail(code, position, kEmailTooSmall);
    }
    const std::size_t at = address.find('@');
    if (at == std::string_view::npos) {
        return Fail(code, position, kEmailNoAt);
    }
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (!IsAllowed(address[i])) {
            return Fail(code, position, kEmailInvalidCharacter, i + 1);
        }
    }
    const std::string_view user = address.substr(0, at);
    const std::string_view domain = address.substr(at + 1);
    if (user.empty()) {
        return Fail(code, position, kEmailNoUser);
    }
    if (domain.empty()) {
        return Fail(code, position, kEmailNoDomain);
    }
    if (domain.size() > kEmailMaxDomainLength) {
        return Fail(code, position, kEmailDomainTooLong);
    }
    if (user.size() > kEmailMaxUserLength) {
        return Fail(code, position, kEmailUserTooLong);
    }

    if (user.front() == '.') {
        return Fail(code, position, kEmailInvalidCharacter, 1);
    }
    if (user.back() == '.') {
        return Fail(code, position, kEmailInvalidCharacter, user.size());
    }
    if (const std::size_t pair = user.find(".."); pair != std::string_view::npos) {
        return Fail(code, position, kEmailInvalidCharacter, pair + 1);
    }

    // Positions in the domain are counted in the whole address from here on.
    const std::size_t domain_start = user.size() + 2;
    if (domain.front() == '.') {
        return Fail(code, position, kEmailInvalidCharacter, domain_start);
    }
    if (domain.back() == '.') {
        return Fail(code, position, kEmailInvalidCharacter, user.size() + 1 + domain.size());
    }
    std::size_t dots = 0;
    std::size_t label_start = 0;
    for (std::size_t i = 0; i < domain.size(); ++i) {
        if (domain[i] == '.') {
            if (i + 1 < domain.size() && domain[i + 1] == '.') {
                return Fail(code, position, kEmailInvalidCharacter, domain_start + i);
            }
            ++dots;
            const std::string_view label = domain.substr(label_start, i - label_start);
            if (label.front() == '-') {
                return Fail(code, position, kEmailInvalidCharacter, domain_start + label_start);
            }
            if (label.back() == '-') {
                return Fail(code, position, kEmailInvalidCharacter, domain_start + i - 1);
            }
            label_start = i + 1;
        } else if (domain[i] == '@') {
            return Fail(code, position, kEmailTooManyAt, domain_start + i);
        }
    }
    if (dots == 0) {
        return Fail(code, position, kEmailNoTld);
    }
    code = kEmailUnknown;
    position = 0;
    return true;
}

}  // namespace

bool CheckEmailAddressSyntax(std::string_view address, int& code, int& position) {
    try {
        return Check(address, code, position);
    } catch (...) {
        return Fail(code, position, kEmailUnexpectedFailure);
    }
}

void EmailErrorText(int code, std::string& text) {
    text = EmailErrorText(code);
}

std::string EmailErrorText(int code) {
    if (code < 0 || code >= static_cast<int>(std::size(msg::kEmailErrorTexts))) {
        return std::string(msg::kInvalidErrorCode);
    }
    return std::string(msg::kEmailErrorTexts[code]);
}

}  // namespace app
