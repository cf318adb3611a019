#include "app/list/word_split.h"

#include "app/routines/text_routines.h"

namespace app {
namespace {

bool HoldsAtAfterFirst(std::string_view word) {
    const std::size_t at = word.find('@');
    return at != std::string_view::npos && at >= 1;
}

void AddSplitToken(std::vector<std::string>& list, std::string part, std::string_view separator,
                   bool join_words) {
    if (separator == " " && join_words && list.size() >= 2 && !HoldsAtAfterFirst(part) &&
        !HoldsAtAfterFirst(list.back())) {
        list.back() += " " + part;
    } else {
        list.push_back(std::move(part));
    }
}

}  // namespace

std::vector<std::string> OLCStrToStringlist(std::string_view text, std::string_view separator,
                                            bool drop_filler_words, bool strip_quotes,
                                            bool join_words) {
    std::vector<std::string> list;
    if (text.empty() || text == separator || separator.empty())
        return list;
    std::string rest(text);
    if (!rest.ends_with(separator))
        rest += separator;
    std::size_t from = 0;
    while (from < rest.size()) {
        const std::size_t at = rest.find(separator, from);
        if (at == std::string::npos)
            break;
        std::string part = Trim(std::string_view(rest).substr(from, at - from));
        from = at + separator.size();
        if (strip_quotes) {
            if (!part.empty() && part.front() == '"')
                part.erase(0, 1);
            if (!part.empty() && part.back() == '"')
                part.pop_back();
        }
        if (part.empty())
            continue;
        if (drop_filler_words) {
            const std::string upper = UpperCase(part);
            if (upper == "ME" || upper == "RE:" || upper == "TO")
                continue;
        }
        AddSplitToken(list, std::move(part), separator, join_words);
    }
    return list;
}

}  // namespace app
