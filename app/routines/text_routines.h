#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace db {
class TStrings;
}

namespace app {

// Text routines shared by the application. They keep no state and never fail.
// Character counts are UTF-8 characters (code points); a search text is matched
// byte for byte.

// s with every occurrence of sub deleted, searching again from the start after
// each deletion (so "aabb" without "ab" is ""). An empty sub leaves s as it is.
std::string RemoveAllText(std::string_view s, std::string_view sub);

// s without its first n characters; n of 0 or less leaves s unchanged.
std::string DeleteLeftChars(std::string_view s, std::int64_t n);
// The first n characters of s (all of s when it is shorter; "" for n <= 0).
std::string KeepLeftChars(std::string_view s, std::int64_t n);

// A quick plausibility test: false when s is empty, when its first "." or its
// first "@" is missing or at position 1, when the "@" is the last character, or
// when s contains a blank.
bool IsValidEmailAddress(std::string_view s);

std::int64_t MaxOf(std::int64_t a, std::int64_t b);

// s without leading and trailing blanks and control characters.
std::string Trim(std::string_view s);
// s with ASCII letters in upper (lower) case; other bytes stay.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// a equals b ignoring ASCII letter case.
bool SameText(std::string_view a, std::string_view b);
// The 1-based byte position of the first sub in s (case-sensitive), 0 when none.
std::int64_t Pos(std::string_view sub, std::string_view s);
// Whether sub occurs in s, ignoring ASCII letter case.
bool ContainsText(std::string_view s, std::string_view sub);

// Fills list with the parts of text between separators, each trimmed of blanks
// and control characters; with strip_quotes one leading and one trailing '"'
// come off each part; empty parts are kept only with keep_empty. A trailing
// empty part is never added. Quotes do not protect separators. An empty
// separator gives the whole trimmed text as one part.
void SplitToStrings(db::TStrings& list, std::string_view text, std::string_view separator,
                    bool strip_quotes, bool keep_empty);

// "TRUE"/"FALSE" in any letter case; anything else gives default_value.
bool StrToBoolText(std::string_view s, bool default_value);
// The settings' spellings of a boolean: "true" and "False".
std::string BoolToSettingString(bool value);
// StrToBoolText under the name the settings code uses.
bool SettingStringToBool(std::string_view s, bool default_value);

// s with every occurrence of find replaced. The search goes on after each
// inserted replacement, so it ends even when the replacement holds find; with an
// empty replacement it also removes occurrences that a removal brings together.
// An empty find leaves s as it is.
std::string ReplaceAllTextEx(std::string_view s, std::string_view find,
                             std::string_view replacement);
// ReplaceAllTextEx with an empty replacement.
std::string ReplaceAllText(std::string_view s, std::string_view find);

// A design-time pixel size n scaled to pixels_per_inch: n / 96 * ppi, truncated.
int ScaleToScreen(int n, int pixels_per_inch);
// The same for the screen's logical pixels per inch (96 without a screen).
int ScaleToScreen(int n);

}  // namespace app
