#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app {

// Splits a command line into words at separator. With drop_filler_words the
// words "ME", "RE:" and "TO" (any case) are dropped; with strip_quotes one
// leading and one trailing double quote come off each word. With join_words
// and a blank separator, once two words stand in the list a word is joined to
// the last one with a blank unless either holds "@" after its first character,
// so "ADD a@b.com Big News" gives "ADD", "a@b.com", "Big News".
std::vector<std::string> OLCStrToStringlist(std::string_view text, std::string_view separator,
                                            bool drop_filler_words, bool strip_quotes,
                                            bool join_words);

}  // namespace app
