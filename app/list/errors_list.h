#pragma once

// The errors list: one line per failed request ("ADD a@b.com news",
// "REMOVE a@b.com", "MODIFY old@x.com new@x.com"), kept in "errors.txt" of
// the program directory between runs, from which the user reprocesses lines.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr int kErrorAdd = 1;
inline constexpr int kErrorRemove = -1;
inline constexpr int kErrorModify = 2;
inline constexpr std::string_view kErrorsFile = "errors.txt";

class ErrorsList {
  public:
    // kind 1 ADD, -1 REMOVE, 2 MODIFY (category is then the new address). An
    // empty address adds nothing.
    void AddToErrorsList(int kind, std::string_view address, std::string_view category);
    // The same, remembering why the request was refused for the dialog to show.
    void AddToErrorsList(int kind, std::string_view address, std::string_view category,
                         std::string_view reason);
    // Gives the lines from index `first` on the reason, where they have none yet.
    void SetReasons(std::size_t first, std::string_view reason);
    // Why the line was refused, as recorded this run ("" when unknown, as for the lines
    // read from the file).
    std::string Reason(std::string_view line) const;

    const std::vector<std::string>& Lines() const { return lines_; }
    void SetLines(std::vector<std::string> lines) { lines_ = std::move(lines); }

    // Reads the file when it exists (a missing file leaves the list empty). A file that
    // cannot be read raises, and saving then leaves that file as it is.
    void LoadFromFile(std::string_view file_name);
    void SaveToFile(std::string_view file_name) const;
    // Adds the lines from index `first` on to the end of the file (created when
    // missing), so that they outlive a program that is killed before it saves the list
    // on close. A file that could not be read is left as it is.
    void AppendToFile(std::string_view file_name, std::size_t first) const;

    // Sorted, duplicates dropped (as the dialog shows the list).
    void SortUnique();

    // Deletes the lines at the selected indexes (any order, duplicates and
    // out-of-range indexes ignored) and answers the index to select next: the
    // index of the last deleted line, or the last line when that is past the
    // end; -1 when the list is empty or nothing was selected.
    std::int64_t DeleteLines(std::vector<std::int64_t> selected);

    // Deletes the current line; answers the line to select next (-1 none).
    std::int64_t DeleteCurrentLine(std::int64_t current);

  private:
    std::vector<std::string> lines_;
    std::map<std::string, std::string, std::less<>> reasons_;
    std::string unreadable_file_;
};

// What a line of the errors list asks for when it is reprocessed.
struct ReprocessRequest {
    bool modify = false;  // a change of address: email is the old, new_address the new
    bool add = false;     // else remove
    std::string email;
    std::string category;
    std::string new_address;
};

ReprocessRequest ParseErrorLine(std::string_view line);

}  // namespace app
