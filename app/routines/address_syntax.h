#pragma once

#include <string>
#include <string_view>

namespace app {

// Result codes of CheckEmailAddressSyntax (texts in EmailErrorText).
inline constexpr int kEmailUnexpectedFailure = -1;
inline constexpr int kEmailUnknown = 0;
inline constexpr int kEmailNoAt = 1;
inline constexpr int kEmailTooSmall = 2;
inline constexpr int kEmailUserTooLong = 3;
inline constexpr int kEmailDomainTooLong = 4;
inline constexpr int kEmailInvalidCharacter = 5;
inline constexpr int kEmailNoUser = 6;
inline constexpr int kEmailNoDomain = 7;
inline constexpr int kEmailNoTld = 8;
inline constexpr int kEmailInvalidDomain = 9;
inline constexpr int kEmailTooManyAt = 10;

inline constexpr std::size_t kEmailMaxUserLength = 64;
inline constexpr std::size_t kEmailMaxDomainLength = 256;

// The syntax check every address passes before it enters the list, on the
// address exactly as given. Returns true when it passes; otherwise code holds
// the reason and, for codes 5 and 10, position the 1-based byte position of the
// offending character in the whole address (0 for other codes). Only ASCII
// characters are allowed, so byte and character positions agree up to the
// first offending character.
bool CheckEmailAddressSyntax(std::string_view address, int& code, int& position);

// The text of a result code; "Invalid error code!" for a code without one.
void EmailErrorText(int code, std::string& text);
std::string EmailErrorText(int code);

}  // namespace app
