#include "app/list/import_file.h"

#include <charconv>

#include "app/list/delimited_text.h"
#include "app/list/entry_processing.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "platform/db/whole_file.h"
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

}  // namespace

std::int64_t Importfile(EntryProcessor& entries, const std::vector<std::string>& lines,
                        const ImportRequest& request, const ProgressReport& progress) {
    ui::THourglass hourglass;
    const std::string separator = request.separator.empty() ? "," : request.separator;
    const auto count = static_cast<std::int64_t>(lines.size());
    std::int64_t processed = 0;
    const ProgressGuard guard(progress);
    for (std::int64_t i = 0; i < count; ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i)];
        if (line.empty())
            continue;
        if (progress)
            progress(i, "Processing: " + line, count - 1);
        std::string address;
        std::string category;
        if (request.split_columns) {
            auto records = SplitDelimitedRecords(line, separator);
            if (records.empty() || records.front().empty())
                continue;
            const auto& parts = records.front();
            address = Trim(parts[0]);
            category = parts.size() > 1 ? Trim(parts[1]) : request.category;
        } else {
            address = Trim(line);
            category = Trim(request.category);
        }
        if (request.as_bounces)
            entries.processbounce(address);
        else
            entries.insertentry(request.is_add, address, category, "", "",
                                request.caption + " " + EntryProcessor::getdatetimestring(), 0,
                                false, false);
        ++processed;
    }
    if (progress)
        progress(0, "", 0);
    if (request.show_done)
        ui::MessageDlg("Processing of " + std::to_string(processed) + " entries has been completed",
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
                                   const ProgressReport& progress) {
    ui::THourglass hourglass;
    const std::string separator = import.separator.empty() ? "," : import.separator;
    auto records = SplitDelimitedRecords(import.text, separator);
    std::int64_t processed = 0;
    const auto total = static_cast<std::int64_t>(records.size());
    const ProgressGuard guard(progress);
    for (std::int64_t line = import.header_row ? 1 : 0; line < total; ++line) {
        const auto& parts = records[static_cast<std::size_t>(line)];
        if (parts.empty() || AllEmpty(parts))
            continue;
        if (progress)
            progress(line, "Processing Line " + std::to_string(line), total - 1);
        auto field = [&](std::string_view name) {
            return GetMappedField(parts, import.mapping, name);
        };
        std::string comments = field("Comments");
        if (comments.empty())
            comments = import.caption + " " + EntryProcessor::getdatetimestring();
        entries.insertentry(true, field("E-mail"), field("Category"), field("Full Name"),
                            field("First Name"), comments, BouncesValue(field("Bounces")), false,
                            false);
        ++processed;
    }
    if (progress)
        progress(0, "", 0);
    ui::MessageDlg(std::to_string(processed) + " entries have been processed!", ui::mtInformation,
                   {ui::mbOK});
    return processed;
}

std::string ReadImportFile(std::string_view path) {
    return DecodeImportText(db::ReadWholeFile(path));
}

std::vector<std::string> ImportLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
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
    return "Import of entries from file \"" + ExtractFileName(file_name) + "\" at ";
}

}  // namespace app
