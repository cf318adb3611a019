#pragma once

// The application's fixed texts, word for word as the user sees them.

#include <string_view>

namespace app::msg {

// Address syntax check results, by result code.
inline constexpr std::string_view kEmailErrorTexts[] = {
    "Unknown error occured!",
    "Address does not contain an @ symbol",
    "Data too small",
    "User name part is too long!",
    "Domain name part is too long",
    "Address contains an invalid character",
    "Address does not contain a user name part",
    "Address does not contain a domain name part",
    "The domain TLD part is missing (.com, .net, etc)",
    "Address has an invalid general domain",
    "Address contains too many @ symbols",
};
inline constexpr std::string_view kInvalidErrorCode = "Invalid error code!";

// File routines; the folder name follows each text.
inline constexpr std::string_view kFolderDoesNotExist = "The folder, ";
inline constexpr std::string_view kFolderCreateQuestion =
    " does not exist.  Would you like to create it?";
inline constexpr std::string_view kFolderCreateFailed =
    "An error was encountered while creating the folder, ";
inline constexpr std::string_view kCannotChangeDirectory = "Unable to change to the directory, ";
inline constexpr std::string_view kNoUniqueFileName = "No unused file name could be found for ";

}  // namespace app::msg
