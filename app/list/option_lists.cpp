#include "app/list/option_lists.h"

#include <algorithm>

#include "app/routines/text_routines.h"
#include "platform/db/string_list.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

// Replaces every forbidden character after the user agreed; false when the line is
// to be dropped.
bool Replace(std::string& line, char forbidden, std::string_view question) {
    if (line.find(forbidden) == std::string::npos)
        return true;
    if (ui::MessageDlg(question, ui::mtInformation, ui::mbOKCancel) != ui::mrOk)
        return false;
    std::replace(line.begin(), line.end(), forbidden, '_');
    return true;
}

}  // namespace

std::vector<std::string> CleanOptionList(const std::vector<std::string>& lines,
                                         const OptionListRules& rules) {
    db::TStringList cleaned;
    cleaned.SetSorted(true);
    cleaned.SetDuplicates(db::dupIgnore);
    for (std::string line : lines) {
        if (line.empty())
            continue;
        if (rules.no_commas &&
            !Replace(line, ',',
                     "An entry contains a comma.  The comma character is not supported and will "
                     "be converted to an underscore character (_)"))
            continue;
        if (rules.no_blanks &&
            !Replace(line, ' ',
                     "An entry contains a space.  The space character is not supported and will "
                     "be converted to an underscore character (_)"))
            continue;
        if (rules.lower_case)
            line = LowerCase(line);
        else if (rules.upper_case)
            line = UpperCase(line);
        cleaned.Add(line);
    }
    return cleaned.ToVector();
}

}  // namespace app
