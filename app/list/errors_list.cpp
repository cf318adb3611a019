#include "app/list/errors_list.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/list/word_split.h"
#include "app/routines/text_routines.h"
#include "platform/db/string_list.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

namespace app {

void ErrorsList::AddToErrorsList(int kind, std::string_view address, std::string_view category) {
    if (address.empty())
        return;
    std::string line;
    switch (kind) {
        case kErrorAdd:
            line = "ADD ";
            break;
        case kErrorRemove:
            line = "REMOVE ";
            break;
        case kErrorModify:
            line = "MODIFY ";
            break;
        default:
            break;
    }
    line += address;
    if (!category.empty()) {
        line += " ";
        line += category;
    }
    // One line of the list and of its file, whatever the request's text held.
    lines_.push_back(platform::nls::OneLineText(line));
}

void ErrorsList::AddToErrorsList(int kind, std::string_view address, std::string_view category,
                                 std::string_view reason) {
    const std::size_t first = lines_.size();
    AddToErrorsList(kind, address, category);
    SetReasons(first, reason);
}

void ErrorsList::SetReasons(std::size_t first, std::string_view reason) {
    if (reason.empty())
        return;
    for (std::size_t i = first; i < lines_.size(); ++i)
        reasons_.try_emplace(lines_[i], platform::nls::OneLineText(reason));
}

std::string ErrorsList::Reason(std::string_view line) const {
    const auto it = reasons_.find(line);
    return it == reasons_.end() ? std::string() : it->second;
}

void ErrorsList::LoadFromFile(std::string_view file_name) {
    if (!platform::os::FileExists(platform::os::ResolvePath(file_name)))
        return;
    db::TStringList list;
    try {
        list.LoadFromFile(file_name);
    } catch (...) {
        unreadable_file_ = file_name;
        throw;
    }
    if (unreadable_file_ == file_name)
        unreadable_file_.clear();
    lines_ = list.ToVector();
}

void ErrorsList::SaveToFile(std::string_view file_name) const {
    if (!unreadable_file_.empty() && unreadable_file_ == file_name)
        return;
    db::TStringList list;
    for (const std::string& line : lines_)
        list.Add(line);
    list.SaveToFile(file_name);
}

void ErrorsList::AppendToFile(std::string_view file_name, std::size_t first) const {
    if (first >= lines_.size() || (!unreadable_file_.empty() && unreadable_file_ == file_name))
        return;
    const std::string path = platform::os::ResolvePath(file_name);
    std::string text;
    std::string existing;
    // A file whose last line has no line break (written by hand) keeps that line whole.
    if (!platform::os::ReadFileContents(path, existing) && !existing.empty() &&
        existing.back() != '\n')
        text = "\r\n";
    for (std::size_t i = first; i < lines_.size(); ++i)
        text += lines_[i] + "\r\n";
    if (const std::error_code e = platform::os::AppendToFile(path, text))
        throw std::system_error(e, "The errors list cannot be saved to " + path);
}

void ErrorsList::SortUnique() {
    db::TStringList sorted;
    sorted.SetSorted(true);
    sorted.SetDuplicates(db::dupIgnore);
    for (const std::string& line : lines_)
        sorted.Add(line);
    lines_ = sorted.ToVector();
}

std::int64_t ErrorsList::DeleteLines(std::vector<std::int64_t> selected) {
    const auto count = static_cast<std::int64_t>(lines_.size());
    std::erase_if(selected, [&](std::int64_t i) { return i < 0 || i >= count; });
    if (selected.empty())
        return lines_.empty() ? -1 : 0;
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    // From the bottom up, so each index still names the line it was chosen for.
    for (auto it = selected.rbegin(); it != selected.rend(); ++it)
        lines_.erase(lines_.begin() + *it);
    if (lines_.empty())
        return -1;
    const std::int64_t last_deleted =
        selected.back() - static_cast<std::int64_t>(selected.size()) + 1;
    return std::min<std::int64_t>(last_deleted, static_cast<std::int64_t>(lines_.size()) - 1);
}

std::int64_t ErrorsList::DeleteCurrentLine(std::int64_t current) {
    if (current < 0 || current >= static_cast<std::int64_t>(lines_.size()))
        return lines_.empty() ? -1 : 0;
    lines_.erase(lines_.begin() + current);
    if (lines_.empty())
        return -1;
    return std::min<std::int64_t>(current, static_cast<std::int64_t>(lines_.size()) - 1);
}

ReprocessRequest ParseErrorLine(std::string_view line) {
    const std::vector<std::string> words = OLCStrToStringlist(line, " ", true, false, true);
    ReprocessRequest request;
    const std::string first = words.empty() ? std::string() : UpperCase(words[0]);
    if (first == "MODIFY") {
        request.modify = true;
        if (words.size() > 1)
            request.email = words[1];
        if (words.size() > 2)
            request.new_address = words[2];
        return request;
    }
    request.add = first == "ADD";
    if (words.size() > 1)
        request.email = words[1];
    if (words.size() > 2)
        request.category = words[2];
    return request;
}

}  // namespace app
