#include "engine/storage/engine_error.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <system_error>

#include "engine/storage/byte_order.h"

namespace strata {
namespace {

// fills: one letter per "%s", in order: T table, F field, I index, X extra.
struct MessageTemplate {
    EngineErrorCode code;
    std::string_view text;
    std::string_view fills;
};

constexpr MessageTemplate kMessages[] = {
    {8705, "Beginning of file encountered in table '%s'", "T"},
    {8706, "End of file encountered in table '%s'", "T"},
    {8708,
     "Record has been changed or deleted by another user, session, or table cursor in table '%s'",
     "T"},
    {8709, "No current record in table '%s'", "T"},
    {8710, "Record not found in table '%s'", "T"},
    {8711, "End of blob data in table '%s' reached prematurely", "T"},
    {8961, "Header information corrupt in table '%s'", "T"},
    {8962, "Data record buffers corrupt in table '%s'", "T"},
    {8963, "BLOB block buffers corrupt in table '%s'", "T"},
    {8965, "Index page buffers corrupt in table '%s'", "T"},
    {8966, "No whole record is left to save in table '%s'", "T"},
    {8967, "Table '%s' still has faults after its repair", "T"},
    {9217, "Error reading from table '%s'", "T"},
    {9218, "Error writing to table '%s'", "T"},
    {9220, "Cannot delete table '%s'", "T"},
    {9221, "Error accessing header information for table '%s'", "T"},
    {9477, "Maximum record size exceeded in table '%s'", "T"},
    {9479, "The table '%s' is full and cannot contain any more data", "T"},
    {9482, "Too many filters defined for table '%s'", "T"},
    {9487,
     "Maximum or minimum limits on number of indexes or fields in an index exceeded in table '%s'",
     "T"},
    {9492,
     "Maximum or minimum limits on number of fields, auto-increment field value, or field size "
     "exceeded in table '%s'",
     "T"},
    {9494, "Too many blobs opened in table '%s'", "T"},
    {9498, "Too many blob fields or invalid blob block size specified for table '%s'", "T"},
    {9729, "Duplicate key found in index '%s' of table '%s'", "IT"},
    {9730, "The value for the field '%s' in table '%s' is below the minimum allowable value", "FT"},
    {9731, "The value for the field '%s' in table '%s' is above the maximum allowable value", "FT"},
    {9732, "A value must be provided for the field '%s' in table '%s'", "FT"},
    {9985, "Invalid field number or name '%s' specified for table '%s'", "FT"},
    {9993, "A primary index is already defined for table '%s' and cannot be added again", "T"},
    {9998, "Invalid blob offset into table '%s' specified", "T"},
    {10000, "Invalid field definition specified for the field '%s' in table '%s'", "FT"},
    {10006,
     "Invalid default, min or max validity check, or expression specified for '%s' in table '%s'",
     "FT"},
    {10010, "The secondary index name is missing or not specified for table '%s'", "T"},
    {10015, "Password provided for table '%s' is invalid", "T"},
    {10022, "Invalid secondary index name '%s' specified for table '%s'", "IT"},
    {10023, "Invalid field number '%s' specified in index '%s' for table '%s'", "FIT"},
    {10026, "Invalid key size specified in index '%s' for table '%s'", "IT"},
    {10027, "The secondary index '%s' already exists for table '%s'", "IT"},
    {10029, "Invalid blob length in table '%s'", "T"},
    {10030, "Invalid blob handle for table '%s' specified", "T"},
    {10031, "table '%s' is already in use", "T"},
    {10038, "Invalid or duplicate field name '%s' specified for table '%s'", "FT"},
    {10050, "Invalid filter handle specified for table '%s'", "T"},
    {10051, "Filter error for table '%s' - %s", "TX"},
    {10055, "The primary index cannot be removed from table '%s'", "T"},
    {10241, "The table '%s' is already locked by another user", "T"},
    {10242, "Cannot unlock table or record in table '%s'", "T"},
    {10249, "General lock failure with table '%s'", "T"},
    {10253, "table '%s' must be opened exclusively", "T"},
    {10258, "Record in table '%s' is in use by another user", "T"},
    {10498, "Insufficient rights to table '%s', a password is required", "T"},
    {10753, "Invalid blob field '%s' specified for table '%s'", "FT"},
    {10758, "Engine not initialized", ""},
    {11010, "Invalid path or file name for table '%s'", "T"},
    {11012, "Too many files open while attempting to open table '%s'", "T"},
    {11013, "Access denied to table '%s'", "T"},
    {11014, "Invalid file handle for table '%s'", "T"},
    {11016, "There is insufficient operating system memory available for the current operation",
     ""},
    {11017, "Invalid length for in-memory table '%s'", "T"},
    {11023, "Access denied to logical operating system device for table '%s'", "T"},
    {11025, "table '%s' has been moved", "T"},
    {11047, "An unknown operating system error occurred with table '%s'", "T"},
    {11949, "SQL error - %s", "X"},
    {12035, "table '%s' is not the correct version", "T"},
    {12292, "Invalid field type specified for index '%s' in table '%s'", "IT"},
    {13060, "The table '%s' already exists", "T"},
    {15878, "The language driver for table '%s' is not available or installed", "T"},
};

constexpr std::string_view kUnknownMessage = "Unknown error occurred with table '%s'";

std::string_view Cut(std::string_view text, std::size_t limit) {
    return text.substr(0, std::min(text.size(), limit));
}

const MessageTemplate* FindTemplate(EngineErrorCode code) {
    const auto* it = std::find_if(std::begin(kMessages), std::end(kMessages),
                                  [code](const MessageTemplate& m) { return m.code == code; });
    return it == std::end(kMessages) ? nullptr : it;
}

std::string_view FillText(char which, const EngineErrorTexts& texts) {
    switch (which) {
        case 'T':
            return texts.table_name;
        case 'F':
            return texts.field_name;
        case 'I':
            return texts.index_name;
        default:
            return texts.extra;
    }
}

struct LastEngineError {
    std::mutex lock;
    EngineErrorCode code = kErrNone;
    EngineErrorTexts texts;
};

LastEngineError& LastError() {
    static LastEngineError last;
    return last;
}

EngineErrorTexts MakeTexts(std::string_view table_name, std::string_view field_name,
                           std::string_view index_name, std::string_view extra) {
    return {std::string(Cut(table_name, kMaxEngineTextLength)),
            std::string(Cut(field_name, kMaxEngineTextLength)),
            std::string(Cut(index_name, kMaxEngineTextLength)),
            std::string(Cut(extra, kMaxEngineTextLength))};
}

std::string FillTemplate(EngineErrorCode code, const EngineErrorTexts& texts) {
    const MessageTemplate* found = FindTemplate(code);
    const std::string_view text = found ? found->text : kUnknownMessage;
    const std::string_view fills = found ? found->fills : std::string_view("T");
    // Placeholders are replaced by hand so that a "%" inside a name stays text.
    std::string message;
    std::size_t fill = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's' && fill < fills.size()) {
            message += FillText(fills[fill++], texts);
            ++i;
        } else {
            message += text[i];
        }
    }
    return message;
}

}  // namespace

std::string FormatEngineErrorMessage(EngineErrorCode code, const EngineErrorTexts& texts) {
    std::string message = FillTemplate(code, texts);
    const std::string reason =
        texts.os_error != 0 ? ": " + std::generic_category().message(texts.os_error) : "";
    const std::size_t room = kMaxEngineMessageLength - std::min(reason.size(), std::size_t{64});
    if (message.size() > room) {
        constexpr std::string_view kElided = "...";
        const std::size_t excess = message.size() - room;
        if (!reason.empty() && texts.table_name.size() > excess + kElided.size()) {
            // The path's end names the file; its front is what the message can best do without.
            EngineErrorTexts shorter = texts;
            shorter.table_name = std::string(kElided);
            shorter.table_name +=
                std::string_view(texts.table_name).substr(excess + kElided.size());
            message = FillTemplate(code, shorter);
        }
        message.resize(std::min(message.size(), room));
    }
    message += std::string_view(reason).substr(0, kMaxEngineMessageLength - message.size());
    return message;
}

EStrataEngineError::EStrataEngineError(EngineErrorCode code, const EngineErrorTexts& texts)
    : EStrataEngineError(code, BuiltText{FormatEngineErrorMessage(code, texts)}, texts.os_error) {}

EStrataEngineError::EStrataEngineError(EngineErrorCode code, BuiltText text, int os_error)
    : db::EDatabaseError("Strata Engine Error # " + std::to_string(code) + " " + text.text),
      os_error_(os_error) {
    errors_.emplace_back(code, std::move(text.text));
}

namespace {
[[noreturn]] void RecordAndRaise(EngineErrorCode code, const EngineErrorTexts& texts) {
    {
        LastEngineError& last = LastError();
        std::lock_guard guard(last.lock);
        last.code = code;
        last.texts = texts;
    }
    throw EStrataEngineError(code, texts);
}
}  // namespace

void RaiseEngineError(EngineErrorCode code, std::string_view table_name,
                      std::string_view field_name, std::string_view index_name,
                      std::string_view extra) {
    RecordAndRaise(code, MakeTexts(table_name, field_name, index_name, extra));
}

void RaiseEngineFileError(EngineErrorCode code, std::string_view file_name, int os_error) {
    EngineErrorTexts texts = MakeTexts(file_name, {}, {}, {});
    texts.os_error = os_error;
    RecordAndRaise(code, texts);
}

void RaiseFieldTooWide() {
    RaiseEngineError(kErrHeaderCorrupt);
}

void RaiseEngineException(EngineErrorCode code) {
    throw EStrataEngineError(code);
}

void CheckEngineResult(EngineErrorCode code) {
    if (code != kErrNone) {
        RaiseEngineException(code);
    }
}

void SetLastEngineError(EngineErrorCode code, std::string_view table_name,
                        std::string_view field_name, std::string_view index_name,
                        std::string_view extra) {
    EngineErrorTexts texts = MakeTexts(table_name, field_name, index_name, extra);
    LastEngineError& last = LastError();
    std::lock_guard guard(last.lock);
    last.code = code;
    last.texts = std::move(texts);
}

void ClearLastEngineError() {
    SetLastEngineError(kErrNone, {}, {}, {}, {});
}

EngineErrorCode GetLastEngineErrorCode() {
    LastEngineError& last = LastError();
    std::lock_guard guard(last.lock);
    return last.code;
}

std::string GetLastEngineErrorText(int which) {
    LastEngineError& last = LastError();
    std::lock_guard guard(last.lock);
    switch (which) {
        case 0:
            return last.texts.field_name;
        case 1:
            return last.texts.table_name;
        case 2:
            return last.texts.index_name;
        default:
            return {};
    }
}

std::string GetEngineErrorMessage(EngineErrorCode code) {
    LastEngineError& last = LastError();
    std::lock_guard guard(last.lock);
    return FormatEngineErrorMessage(code, last.texts);
}

}  // namespace strata
