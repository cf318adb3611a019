#include "app/list/import_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <exception>
#include <functional>

#include "app/list/delimited_text.h"
#include "app/list/entry_processing.h"
#include "app/list/entry_text.h"
#include "app/list/list_database.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "engine/storage/engine_error.h"
#include "platform/db/whole_file.h"
#include "platform/nls/text.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

std::int32_t BouncesValue(std::string_view text) {
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return 0;
    return value;
}

// Hides the progress display also when an import ends early by an exception, so
// that no window is left standing over the list. Hiding twice is harmless.
class ProgressGuard {
  public:
    explicit ProgressGuard(const ProgressReport& progress) : progress_(progress) {}
    ~ProgressGuard() {
        if (progress_)
            progress_(0, "", 0);
    }
    ProgressGuard(const ProgressGuard&) = delete;
    ProgressGuard& operator=(const ProgressGuard&) = delete;

  private:
    const ProgressReport& progress_;
};

bool AllEmpty(const std::vector<std::string>& values) {
    for (const std::string& v : values)
        if (!v.empty())
            return false;
    return true;
}

struct EntryValues {
    std::string_view address;
    std::string_view category;
    std::string_view full_name;
    std::string_view first_name;
    std::string_view comments;
    std::int32_t bounces = 0;
};

// Sends the requests of one import through the entry routine, counts what each did and
// leaves a trace of every refusal: a line in the errors list with its reason, and the
// request's line in the log where the entry routine wrote none.
class ImportRun {
  public:
    ImportRun(EntryProcessor& entries, ImportTally& tally)
        : entries_(entries), tally_(tally), saved_(std::move(entries.OnNameChanged)) {
        entries_.OnNameChanged = [this](std::string_view typed, std::string_view stored) {
            if (saved_)
                saved_(typed, stored);
            std::string line =
                "\"" + std::string(typed) + "\" was stored as \"" + std::string(stored) + "\"";
            // A first name guessed from the full name changes the same way: told once.
            if (tally_.changed_names.empty() || tally_.changed_names.back() != line)
                tally_.changed_names.push_back(std::move(line));
        };
    }
    ~ImportRun() { entries_.OnNameChanged = std::move(saved_); }
    ImportRun(const ImportRun&) = delete;
    ImportRun& operator=(const ImportRun&) = delete;

    // Requires: comments outlives the run unchanged. Every entry of an import carries the
    // same comment: it is looked through once here rather than once per entry.
    void ShareComments(const std::string& comments) {
        if (!ContainsControlCharacterInComment(comments))
            clean_comments_ = comments;
    }

    void Request(bool is_add, const EntryValues& v) {
        if (const char* field = ControlCharacterField(v, clean_comments_)) {
            Refuse(is_add, v,
                   std::string("Not Added: the ") + field +
                       " holds a line break or another control character!");
            return;
        }
        ErrorsList& errors = entries_.errors();
        const std::size_t errors_before = errors.Lines().size();
        const std::string result =
            entries_.insertentry(is_add, v.address, v.category, v.full_name, v.first_name,
                                 v.comments, v.bounces, false, false);
        const EntryOutcome outcome = entries_.OutcomeOf(result);
        if (outcome != EntryOutcome::Refused) {
            Count(outcome);
            return;
        }
        if (result.empty()) {
            // The entry routine turns away a line without "@" before it logs anything.
            int code = 0;
            entries_.validemailaddress(v.address, false, code);
            Refuse(is_add, v,
                   "Not Added: Invalid E-mail Address (Error: " +
                       EntryProcessor::GetEmailErrorCode(code) + ")!");
            return;
        }
        ++tally_.refused;
        if (errors.Lines().size() == errors_before)
            errors.AddToErrorsList(is_add ? kErrorAdd : kErrorRemove, v.address, v.category,
                                   result);
    }

    void Bounce(std::string_view address) {
        Count(entries_.OutcomeOf(entries_.processbounce(address)));
    }

  private:
    // clean_comments: the import's own comment when it holds no control character; entries
    // that carry that very text are not looked through again.
    static const char* ControlCharacterField(const EntryValues& v,
                                             std::string_view clean_comments) {
        if (ContainsControlCharacter(v.category))
            return "category";
        if (ContainsControlCharacter(v.full_name))
            return "full name";
        if (ContainsControlCharacter(v.first_name))
            return "first name";
        const bool known_clean = v.comments.data() == clean_comments.data() &&
                                 v.comments.size() == clean_comments.size();
        if (!known_clean && ContainsControlCharacterInComment(v.comments))
            return "comment";
        return nullptr;
    }

    void Refuse(bool is_add, const EntryValues& v, const std::string& reason) {
        ++tally_.refused;
        entries_.errors().AddToErrorsList(is_add ? kErrorAdd : kErrorRemove, v.address, v.category,
                                          reason);
        entries_.AddToLog(std::string(is_add ? "ADD " : "REMOVE ") + std::string(v.address) + " " +
                          std::string(v.category) + " [" + std::string(v.comments) + "] -> " +
                          reason);
    }

    void Count(EntryOutcome outcome) {
        switch (outcome) {
            case EntryOutcome::Added:
                ++tally_.added;
                break;
            case EntryOutcome::Updated:
                ++tally_.updated;
                break;
            case EntryOutcome::Removed:
                ++tally_.removed;
                break;
            case EntryOutcome::Unchanged:
                ++tally_.unchanged;
                break;
            case EntryOutcome::Refused:
                ++tally_.refused;
                break;
        }
    }

    EntryProcessor& entries_;
    ImportTally& tally_;
    std::string_view clean_comments_;
    std::function<void(std::string_view, std::string_view)> saved_;
};

constexpr std::size_t kNamesShown = 10;

// Saves an import's rows as it goes, so that a program ended part of the way keeps every row
// up to the last save, and stops at the first write the system refuses (a full disk) rather
// than trying every further line: nothing is told done that is not on disk.
class ImportSaves {
  public:
    ImportSaves(EntryProcessor& entries, std::int64_t lines, ImportTally& tally)
        : entries_(entries), lines_(lines), tally_(tally), last_save_(Clock::now()) {
        // A failure of an earlier request is not this import's.
        entries_.TakeWriteFailure();
        entries_.database().BeginImport();
    }

    // After each processed line; false when the import stops (its box has been shown).
    bool AfterLine(std::int64_t processed) {
        if (std::exception_ptr failure = entries_.TakeWriteFailure())
            return Stopped(failure);
        if (processed - saved_ < kSaveRows && Clock::now() - last_save_ < kSaveInterval)
            return true;
        return SaveNow(processed);
    }

    // Before the closing box: false when the last rows could not be saved.
    bool Finish(std::int64_t processed) {
        if (!SaveNow(processed))
            return false;
        entries_.database().EndImport();
        return true;
    }

    std::int64_t Saved() const { return saved_; }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::int64_t kSaveRows = 5000;
    static constexpr auto kSaveInterval = std::chrono::seconds(1);

    bool SaveNow(std::int64_t processed) {
        try {
            entries_.database().SaveDatabase();
        } catch (const std::exception&) {
            return Stopped(std::current_exception());
        }
        saved_ = processed;
        last_save_ = Clock::now();
        return true;
    }

    bool Stopped(std::exception_ptr failure) {
        tally_.stopped = true;
        std::string reason;
        try {
            std::rethrow_exception(failure);
        } catch (const strata::EStrataEngineError& e) {
            reason = e.what();
            if (e.OsError() == ENOSPC)
                reason += "\r\n\r\nThe disk that holds the list is full.";
        } catch (const std::exception& e) {
            reason = e.what();
        }
        ui::MessageDlg("The import stopped: the list could not be written.\r\n\r\n" + reason +
                           "\r\n\r\n" + std::to_string(saved_) + " of the file's " +
                           std::to_string(lines_) +
                           " lines are applied and saved in the list; the rest are not. Import "
                           "the file again once the cause is mended: entries the list holds "
                           "already are not added twice.",
                       ui::mtError, {ui::mbOK});
        return false;
    }

    EntryProcessor& entries_;
    std::int64_t lines_;
    ImportTally& tally_;
    std::int64_t saved_ = 0;
    Clock::time_point last_save_;
};

}  // namespace

std::string ImportTally::Summary() const {
    std::string text = "\r\n\r\nAdded: " + std::to_string(added) +
                       ", updated: " + std::to_string(updated) +
                       ", refused: " + std::to_string(refused);
    if (removed > 0)
        text += ", removed: " + std::to_string(removed);
    if (unchanged > 0)
        text += ", unchanged: " + std::to_string(unchanged);
    text += ".";
    if (refused > 0)
        text += " Each refused line stands in the errors list with its reason.";
    if (added + updated + removed + unchanged == 0)
        text += "\r\n\r\nThere was no usable line.";
    if (!changed_names.empty()) {
        text += "\r\n\r\nNames the list cannot hold as given were changed:";
        for (std::size_t i = 0; i < changed_names.size() && i < kNamesShown; ++i)
            text += "\r\n" + changed_names[i];
        if (changed_names.size() > kNamesShown)
            text += "\r\n... and " + std::to_string(changed_names.size() - kNamesShown) + " more.";
    }
    return text;
}

std::int64_t Importfile(EntryProcessor& entries, const std::vector<std::string>& lines,
                        const ImportRequest& request, const ProgressReport& progress,
                        ImportTally* tally) {
    constexpr std::int64_t kLinesAhead = 4;
    ui::THourglass hourglass;
    const std::string separator = request.separator.empty() ? "," : request.separator;
    const auto count = static_cast<std::int64_t>(lines.size());
    std::int64_t processed = 0;
    ImportTally own_tally;
    ImportTally& counts = tally ? *tally : own_tally;
    ImportRun run(entries, counts);
    // Every entry of one import carries the same comment, the moment the import began.
    const std::string comments = request.caption + " " + EntryProcessor::getdatetimestring();
    const std::string given_category = Trim(request.category);
    run.ShareComments(comments);
    const ProgressGuard guard(progress);
    ImportSaves saves(entries, count, counts);
    for (std::int64_t i = 0; i < count; ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i)];
        // The lines were split long before and their text has left the processor's caches,
        // while each entry's own work hides a read started a few entries ahead.
        if (i + kLinesAhead < count)
            __builtin_prefetch(lines[static_cast<std::size_t>(i + kLinesAhead)].data());
        if (line.empty())
            continue;
        if (progress)
            progress(i, "Processing: " + line, count - 1);
        // Split lines own their values; a whole line is its own address, read in place.
        std::string split_address;
        std::string split_category;
        std::string_view address;
        std::string_view category;
        if (request.split_columns) {
            auto records = SplitDelimitedRecords(line, separator);
            if (records.empty() || records.front().empty())
                continue;
            const auto& parts = records.front();
            split_address = Trim(parts[0]);
            split_category = parts.size() > 1 ? Trim(parts[1]) : request.category;
            address = split_address;
            category = split_category;
        } else {
            address = platform::nls::Trim(line);
            category = given_category;
        }
        if (request.as_bounces)
            run.Bounce(address);
        else
            run.Request(request.is_add, {address, category, "", "", comments, 0});
        ++processed;
        if (!saves.AfterLine(processed))
            return saves.Saved();
    }
    if (!saves.Finish(processed))
        return saves.Saved();
    if (progress)
        progress(0, "", 0);
    if (request.show_done)
        ui::MessageDlg("Processing of " + std::to_string(processed) +
                           " entries has been completed" + counts.Summary(),
                       ui::mtInformation, {ui::mbOK});
    return processed;
}

std::array<std::string, kMappingRows> DefaultImportMapping() {
    return {"E-mail",     "Category",   "Full Name",  "First Name", "Comments",  "Bounces",
            kIgnoreField, kIgnoreField, kIgnoreField, kIgnoreField, kIgnoreField};
}

std::string GetMappedField(const std::vector<std::string>& parts,
                           const std::array<std::string, kMappingRows>& mapping,
                           std::string_view field) {
    for (std::size_t i = 0; i < mapping.size(); ++i)
        if (mapping[i] == field)
            return i < parts.size() ? Trim(parts[i]) : std::string();
    return {};
}

std::int64_t ImportMultiColumnFile(EntryProcessor& entries, const MultiColumnImport& import,
                                   const ProgressReport& progress, ImportTally* tally) {
    ui::THourglass hourglass;
    const std::string separator = import.separator.empty() ? "," : import.separator;
    auto records = SplitDelimitedRecords(import.text, separator);
    std::int64_t processed = 0;
    const auto total = static_cast<std::int64_t>(records.size());
    ImportTally own_tally;
    ImportTally& counts = tally ? *tally : own_tally;
    ImportRun run(entries, counts);
    const std::string default_comments = import.caption + " " + EntryProcessor::getdatetimestring();
    run.ShareComments(default_comments);
    const ProgressGuard guard(progress);
    ImportSaves saves(entries, total, counts);
    for (std::int64_t line = import.header_row ? 1 : 0; line < total; ++line) {
        const auto& parts = records[static_cast<std::size_t>(line)];
        if (parts.empty() || AllEmpty(parts))
            continue;
        if (progress)
            progress(line, "Processing Line " + std::to_string(line), total - 1);
        auto field = [&](std::string_view name) {
            return GetMappedField(parts, import.mapping, name);
        };
        const std::string comments = field("Comments");
        const std::string address = field("E-mail");
        const std::string category = field("Category");
        const std::string full_name = field("Full Name");
        const std::string first_name = field("First Name");
        run.Request(true, {address, category, full_name, first_name,
                           comments.empty() ? std::string_view(default_comments) : comments,
                           BouncesValue(field("Bounces"))});
        ++processed;
        if (!saves.AfterLine(processed))
            return saves.Saved();
    }
    if (!saves.Finish(processed))
        return saves.Saved();
    if (progress)
        progress(0, "", 0);
    ui::MessageDlg(std::to_string(processed) + " entries have been processed!" + counts.Summary(),
                   ui::mtInformation, {ui::mbOK});
    return processed;
}

std::string ReadImportFile(std::string_view path) {
    return DecodeImportText(db::ReadWholeFile(path));
}

std::vector<std::string> ImportLines(std::string_view text) {
    std::vector<std::string> lines;
    // An import file has one address a line: room for them all at once, not grown by copies.
    lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    std::size_t start = 0;
    while (start < text.size()) {
        // A plain scan for either break: the library's search for one of a set of characters
        // costs a call per character of the file.
        std::size_t end = start;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r')
            ++end;
        if (end == text.size()) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
    return lines;
}

std::string ImportCaption(std::string_view file_name) {
    // A file name may hold a line break, which no comment may.
    return "Import of entries from file \"" +
           platform::nls::OneLineText(ExtractFileName(file_name)) + "\" at ";
}

}  // namespace app
