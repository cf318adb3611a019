#include "app/list/entry_processing.h"

#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "app/list/entry_text.h"
#include "app/list/name_routines.h"
#include "app/routines/address_syntax.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "engine/storage/engine_error.h"
#include "platform/db/code_page_text.h"
#include "platform/db/conversions.h"
#include "platform/db/date_time.h"
#include "platform/db/format_settings.h"
#include "platform/db/variant.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"
#include "platform/os/whole_file.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

// The number of characters of UTF-8 text (what a field's size counts once
// the text is in the table's single-byte code page).
std::int64_t CharacterCount(std::string_view text) {
    std::int64_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    }
    return count;
}

// The first max characters of UTF-8 text, never splitting one.
std::string_view CutToCharacters(std::string_view text, std::int64_t max) {
    // Text no longer than max bytes has no more than max characters: most values.
    if (static_cast<std::int64_t>(text.size()) <= max)
        return text;
    std::int64_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == max)
                return text.substr(0, i);
            ++count;
        }
    }
    return text;
}

// Equal to the lower-case form of text (what LowerCase would give), without making it.
bool IsLowerCaseOf(std::string_view lower, std::string_view text) {
    if (lower.size() != text.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower[i] != platform::nls::AsciiLower(text[i]))
            return false;
    }
    return true;
}

// Equal as the list table's case-insensitive indexes see them: both texts in
// the table's code page, compared with its case folding ("É" matches "é").
bool SameTableText(const strata::TStrataTable& table, std::string_view a, std::string_view b) {
    const platform::nls::CodePage code_page = table.TextCodePage();
    return platform::nls::SameTextAnsi(db::Utf8ToCodePage(code_page, a, "a list entry"),
                                       db::Utf8ToCodePage(code_page, b, "a list entry"));
}

std::string ErrorMessage(const std::exception& e) {
    return e.what();
}

}  // namespace

EntryProcessor::EntryProcessor(ListDatabase& database, Settings& settings, ErrorsList& errors)
    : database_(database), settings_(settings), errors_(errors) {}

std::string EntryProcessor::getdatetimestring() {
    return db::DateTimeToStr(db::Now(), db::FormatSettings());
}

bool EntryProcessor::validemailaddress(std::string_view address, bool check_exceptions,
                                       int& code) const {
    int position = 0;
    if (!CheckEmailAddressSyntax(address, code, position))
        return false;
    if (check_exceptions) {
        for (const std::string& text : settings_.lbxexceptions) {
            if (!text.empty() && address.find(text) != std::string_view::npos) {
                code = kExceptionTextCode;
                return false;
            }
        }
    }
    return true;
}

EntryOutcome EntryProcessor::OutcomeOf(std::string_view result) const {
    if (result == "Entered Successfully")
        return EntryOutcome::Added;
    if (result == "Entry already exists!")
        return settings_.UpdateCommentsWhenEntryExists ? EntryOutcome::Updated
                                                       : EntryOutcome::Unchanged;
    if (result == "Entry successfully deleted!")
        return EntryOutcome::Removed;
    if (result == "Bounce count incremented!")
        return EntryOutcome::Updated;
    if (result == "E-mail address not found!")
        return EntryOutcome::Unchanged;
    return EntryOutcome::Refused;
}

void EntryProcessor::CheckStoredName(std::string_view typed, std::int64_t size) {
    if (typed.empty() || !OnNameChanged)
        return;
    const std::string_view cut = CutToCharacters(typed, size);
    bool ascii = cut.size() == typed.size();
    for (std::size_t i = 0; ascii && i < cut.size(); ++i)
        ascii = static_cast<unsigned char>(cut[i]) < 0x80;
    // Plain ASCII that fits is stored as it is, which spares the conversion on the
    // import's common road.
    if (ascii)
        return;
    const std::string stored = StoredEntryText(database_.tblCV().TextCodePage(), cut);
    if (stored != typed)
        OnNameChanged(typed, stored);
}

std::string EntryProcessor::GetEmailErrorCode(int code) {
    if (code == kExceptionTextCode)
        return "E-mail address contains Exception text as set in Options";
    return EmailErrorText(code);
}

void EntryProcessor::AddToLog(std::string_view line) {
    if (!settings_.MaintainLog)
        return;
    if (OnLogLine) {
        OnLogLine(platform::nls::OneLineText(line));
        return;
    }
    try {
        // One line of the file and of its viewer, so no text from a mail can forge another.
        SaveTextFile(database_.ProgramDir() + std::string(kLogFile),
                     platform::nls::OneLineText(line), false);
    } catch (const std::exception&) {
        // The log is a record of what happened, never a reason for a request
        // to fail; the list change itself stands.
    }
}

void EntryProcessor::WriteLogLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += platform::nls::OneLineText(line) + "\n";
    if (text.empty())
        return;
    if (const std::error_code e = platform::os::AppendToFile(LogPath(), text))
        throw std::system_error(e, "The activity log cannot be written to " + LogPath());
}

void EntryProcessor::AddToUnsubscribersList(std::string_view address) {
    if (!settings_.AddUnsubscribers)
        return;
    const std::string lower = LowerCase(address);
    for (const std::string& line : settings_.lbxneversubscribe) {
        if (line == lower)
            return;
    }
    settings_.lbxneversubscribe.push_back(lower);
    if (OnNeverSubscribeAdded)
        OnNeverSubscribeAdded(lower);
}

db::TField* EntryProcessor::FindListField(ListField which) {
    static constexpr std::array<std::string_view, 7> kNames = {
        "Item", "Category", "Bounces", "Comments", "Name", "Salutation", "SendRights"};
    const strata::TStrataTable& table = database_.tblCV();
    const auto at = static_cast<std::size_t>(which);
    if (list_fields_version_ != table.Fields().Version()) {
        for (std::size_t i = 0; i < kNames.size(); ++i)
            list_fields_[i] = table.FindField(kNames[i]);
        list_fields_version_ = table.Fields().Version();
    }
    // A field the table lacks fails as the lookup by name does.
    return list_fields_[at] != nullptr ? list_fields_[at] : table.FieldByName(kNames[at]);
}

bool EntryProcessor::LocateEmailAddress(std::string_view address) {
    return database_.tblCV().LocateText("Item", address, {db::loCaseInsensitive});
}

bool EntryProcessor::LocateEntry(std::string_view address, std::string_view category) {
    strata::TStrataTable& table = database_.tblCV();
    // No index holds both fields, and the two-field search walks every row.
    // In the list's own order by address the rows of one address lie
    // together: the index finds the first and the category is compared along
    // them.
    if (table.Filtered() || !SameText(table.IndexFieldNames(), "Item")) {
        return table.Locate("Item;Category",
                            db::Variant::FromArray({db::Variant(address), db::Variant(category)}),
                            {db::loCaseInsensitive});
    }
    if (!LocateFirstRowByItem(address))
        return false;
    db::TField* item = Field(ListField::Item);
    db::TField* group = Field(ListField::Category);
    for (; !table.Eof() && SameTableText(table, item->AsString(), address); table.Next()) {
        if (SameTableText(table, group->AsString(), category))
            return true;
    }
    return false;
}

bool EntryProcessor::LocateFirstRowByItem(std::string_view address) {
    strata::TStrataTable& table = database_.tblCV();
    if (!LocateEmailAddress(address))
        return false;
    db::TField* item = Field(ListField::Item);
    // The index search may land on any row of the address: back to its first.
    for (;;) {
        table.Prior();
        if (table.Bof())
            break;
        if (!SameTableText(table, item->AsString(), address)) {
            table.Next();
            break;
        }
    }
    return true;
}

std::vector<std::int32_t> EntryProcessor::RowsOfAddress(std::string_view address) {
    strata::TStrataTable& table = database_.tblCV();
    // Only in the order by address do the rows of one address lie together; the
    // user may have sorted the list by another column, which is given back after.
    const std::string order = table.IndexFieldNames();
    const bool by_item = SameText(order, "Item");
    struct OrderRestored {
        strata::TStrataTable& table;
        const std::string& order;
        bool restore;
        ~OrderRestored() {
            try {
                if (restore)
                    table.SetIndexFieldNames(order);
            } catch (const std::exception&) {
                // The list stays in the order by address; the change itself stands.
            }
        }
    } restored{table, order, !by_item};
    if (!by_item)
        table.SetIndexFieldNames("Item");
    std::vector<std::int32_t> rows;
    if (!LocateFirstRowByItem(address))
        return rows;
    db::TField* item = table.FieldByName("Item");
    db::TField* index = table.FieldByName("Index");
    while (!table.Eof() && rows.size() < static_cast<std::size_t>(kMaxRowsPerRequest) &&
           SameTableText(table, item->AsString(), address)) {
        rows.push_back(index->AsInteger());
        table.Next();
    }
    return rows;
}

std::string EntryProcessor::GetGroupOfUser(std::string_view address) {
    if (!LocateEmailAddress(address))
        return {};
    return database_.tblCV().FieldByName("Category")->AsString();
}

bool EntryProcessor::UserCanSend(std::string_view address, std::string_view category) {
    const bool found = settings_.MustBelongToGroup && !category.empty()
                           ? LocateEntry(address, category)
                           : LocateEmailAddress(address);
    if (!found)
        return false;
    db::TField* rights = database_.tblCV().FieldByName("SendRights");
    return !rights->IsNull() && rights->AsBoolean();
}

void EntryProcessor::SendAck(bool send_ack, std::string_view address, std::string_view sentence) {
    if (send_ack && OnSendAcknowledgement)
        OnSendAcknowledgement(address, sentence);
}

std::string EntryProcessor::insertentry(bool is_add, std::string_view email_in,
                                        std::string_view category_in, std::string_view full_name_in,
                                        std::string_view first_name_in, std::string_view comments,
                                        std::int32_t bounces, bool ignore_rules, bool send_ack) {
    if (email_in.empty() || email_in.find('@') == std::string_view::npos)
        return {};
    // A plain address with no name, as an import brings, is used as given: the texts are
    // copied only where they are cleaned or changed.
    std::string email_text;
    std::string full_name_text;
    std::string_view email = email_in;
    std::string_view full_name = full_name_in;
    if (!full_name_in.empty() || email_in.find('<') != std::string_view::npos) {
        email_text = email_in;
        full_name_text = full_name_in;
        SMTPAddressToEmailName(email_text, full_name_text);
        email = email_text;
        full_name = full_name_text;
    }
    std::string guessed_first_name;
    std::string_view first_name = first_name_in;
    if (settings_.GuessSalutation && first_name.empty() && !full_name.empty()) {
        guessed_first_name = SalutationFromName(full_name);
        first_name = guessed_first_name;
    }
    const std::string_view action = is_add ? "ADD" : "REMOVE";
    std::string category_text;
    std::string_view category = category_in;
    if (!is_add && (UpperCase(category) == "ALL" || UpperCase(category) == "ME"))
        category = {};

    std::string result;
    const std::size_t first_error = errors_.Lines().size();
    auto finish = [&]() -> std::string {
        errors_.SetReasons(first_error, result);
        // The line is not even built when no log is kept: an import makes one per entry.
        if (settings_.MaintainLog)
            AddToLog(std::string(action) + " " + std::string(email) + " " + std::string(category) +
                     " [" + std::string(comments) + "] -> " + result);
        // The request's last step: the text is handed on, not copied.
        return std::move(result);
    };

    if (category.empty()) {
        if (is_add) {
            category_text = settings_.defaultcategory;
            category = category_text;
        }
    } else if (settings_.RestrictCategories) {
        const std::string lower = LowerCase(category);
        bool allowed = lower == LowerCase(settings_.defaultcategory);
        for (const std::string& listed : settings_.lbxcategories)
            allowed = allowed || LowerCase(listed) == lower;
        if (!allowed) {
            if (!settings_.WrongCategoryIsError) {
                category_text = settings_.AlternativeCategory;
                category = category_text;
            } else {
                result = "Not Added: Invalid Category Address!";
                errors_.AddToErrorsList(is_add ? kErrorAdd : kErrorRemove, email, category);
                return finish();
            }
        }
    }

    // A request never raises to its caller: one entry the table refuses (a NUL in the
    // text, a damaged table) must not end the import or the check that brought it.
    try {
        SharedTableLock lock(database_.tblCV());
        result = is_add ? AddEntry(email, category, full_name, first_name, comments, bounces,
                                   ignore_rules, send_ack)
                        : RemoveEntries(email, category, send_ack);
    } catch (const std::exception& e) {
        NoteWriteFailure(e);
        strata::TStrataTable& t = database_.tblCV();
        if (t.Active() && t.State() != db::dsBrowse)
            t.Cancel();
        result = is_add ? "Error inserting into database: " + std::string(e.what())
                        : std::string("Entry could not be deleted!");
        errors_.AddToErrorsList(is_add ? kErrorAdd : kErrorRemove, email, category);
    }
    return finish();
}

void EntryProcessor::NoteWriteFailure(const std::exception& e) {
    const auto* engine = dynamic_cast<const strata::EStrataEngineError*>(&e);
    if (engine != nullptr && engine->OsError() != 0 && !write_failure_)
        write_failure_ = std::make_exception_ptr(*engine);
}

std::string EntryProcessor::RemoveEntries(std::string_view email, std::string_view category,
                                          bool send_ack) {
    AddToUnsubscribersList(email);
    const bool with_category = settings_.MultipleCategorySupport && !category.empty();
    std::string result;
    int deleted = 0;
    for (int round = 0; round < kMaxRowsPerRequest; ++round) {
        const bool found = with_category ? LocateEntry(email, category) : LocateEmailAddress(email);
        if (!found)
            break;
        try {
            database_.tblCV().Delete();
        } catch (const std::exception& e) {
            NoteWriteFailure(e);
            result = "Entry could not be deleted!";
            errors_.AddToErrorsList(kErrorRemove, email, category);
            break;
        }
        ++deleted;
        result = "Entry successfully deleted!";
        SendAck(send_ack, email,
                with_category ? "The e-mail address, " + std::string(email) +
                                    ", was successfully removed from the Mailing list, " +
                                    std::string(category) + "."
                              : "The e-mail address, " + std::string(email) +
                                    ", was successfully removed from our Mailing list.");
    }
    if (deleted == 0 && result.empty()) {
        result = "E-mail address not found!";
        SendAck(send_ack, email,
                with_category ? "There is no record of the e-mail address, " + std::string(email) +
                                    ", in the Mailing list, " + std::string(category) + "."
                              : "There is no record of the e-mail address, " + std::string(email) +
                                    ", in our Mailing list!");
    }
    return result;
}

std::string EntryProcessor::AddEntry(std::string_view email, std::string_view category,
                                     std::string_view full_name, std::string_view first_name,
                                     std::string_view comments, std::int32_t bounces,
                                     bool ignore_rules, bool send_ack) {
    strata::TStrataTable& t = database_.tblCV();
    const bool with_category = settings_.MultipleCategorySupport && !category.empty();
    const bool found = settings_.MultipleCategorySupport ? LocateEntry(email, category)
                                                         : LocateEmailAddress(email);
    if (found) {
        if (settings_.UpdateCommentsWhenEntryExists) {
            try {
                t.Edit();
                Field(ListField::Comments)->SetAsString(CutToCharacters(comments, kCommentsSize));
                t.Post();
            } catch (const std::exception&) {
                if (t.State() != db::dsBrowse)
                    t.Cancel();
            }
        }
        SendAck(send_ack, email,
                with_category ? "The e-mail address, " + std::string(email) +
                                    ", is already contained in the Mailing list, " +
                                    std::string(category) + "."
                              : "The e-mail address, " + std::string(email) +
                                    ", is already contained in our Mailing list");
        return "Entry already exists!";
    }
    if (!ignore_rules) {
        int code = 0;
        if (!validemailaddress(email, true, code)) {
            errors_.AddToErrorsList(kErrorAdd, email, category);
            return "Not Added: Invalid E-mail Address (Error: " + GetEmailErrorCode(code) + ")!";
        }
        for (const std::string& blocked : settings_.lbxneversubscribe) {
            if (IsLowerCaseOf(blocked, email))
                return "Not Added: E-mail Address is blocked by rule!";
        }
    }
    // A value longer than its field would be stored cut short and reported
    // as entered; it is refused instead and kept in the errors list.
    if (CharacterCount(email) > kItemSize || CharacterCount(category) > kCategorySize) {
        errors_.AddToErrorsList(kErrorAdd, email, category);
        return "Error inserting into database: " +
               std::string(CharacterCount(email) > kItemSize ? "the e-mail address"
                                                             : "the category") +
               " is longer than 80 characters";
    }
    try {
        t.Append();
        Field(ListField::Item)->SetAsString(email);
        Field(ListField::Category)->SetAsString(category);
        Field(ListField::Bounces)->SetAsInteger(bounces);
        Field(ListField::Comments)->SetAsString(CutToCharacters(comments, kCommentsSize));
        Field(ListField::Name)->SetAsString(CutToCharacters(full_name, kNameSize));
        Field(ListField::Salutation)->SetAsString(CutToCharacters(first_name, kSalutationSize));
        Field(ListField::SendRights)->SetAsBoolean(!settings_.DefaultNoUserSend);
        t.Post();
    } catch (const std::exception& e) {
        NoteWriteFailure(e);
        if (t.State() != db::dsBrowse)
            t.Cancel();
        errors_.AddToErrorsList(kErrorAdd, email, category);
        return "Error inserting into database: " + ErrorMessage(e);
    }
    CheckStoredName(full_name, kNameSize);
    CheckStoredName(first_name, kSalutationSize);
    // The sentence is not even built when no acknowledgement goes: an import adds thousands.
    if (send_ack)
        SendAck(send_ack, email,
                with_category ? "The e-mail address, " + std::string(email) +
                                    ", was sucessfully added to the Mailing list, " +
                                    std::string(category) + "."
                              : "The e-mail address, " + std::string(email) +
                                    ", was successfully added to our Mailing list.");
    return "Entered Successfully";
}

bool EntryProcessor::ChangeEmailAddress(std::string_view old_address, std::string_view new_address,
                                        bool check_exceptions, bool show_messages) {
    const std::string old_text(old_address);
    const std::string new_text(new_address);
    const std::string head = "Changed Email Address " + old_text + " to " + new_text;
    int code = 0;
    if (!validemailaddress(new_address, check_exceptions, code)) {
        if (show_messages)
            ui::MessageDlg("The e-mail address, " + new_text + ", does not appear to be valid.",
                           ui::mtInformation, {ui::mbOK});
        AddToLog(head + " -> Address not valid: " + new_text + "!");
        errors_.AddToErrorsList(kErrorModify, old_address, new_address);
        return false;
    }
    strata::TStrataTable& t = database_.tblCV();
    SharedTableLock lock(t);
    // An address on many rows changes row by row over the whole list.
    const ui::THourglass hourglass;
    t.DisableControls();
    int changed = 0;
    try {
        // The rows are collected first: a new address that differs only in
        // letter case is still found under the old one, and each row is to
        // change once.
        const std::vector<std::int32_t> rows = RowsOfAddress(old_address);
        for (std::int32_t index : rows) {
            if (!t.Locate("Index", db::Variant(index), {}))
                continue;
            const std::string category = t.FieldByName("Category")->AsString();
            // When the new address already stands in the row's category, a
            // second row of it would mail it twice: the old row goes instead.
            const bool duplicate =
                LocateEntry(new_address, category) && t.FieldByName("Index")->AsInteger() != index;
            if (!t.Locate("Index", db::Variant(index), {}))
                continue;
            if (duplicate) {
                t.Delete();
            } else {
                t.Edit();
                Field(ListField::Item)->SetAsString(new_address);
                t.Post();
            }
            ++changed;
            AddToLog(head);
        }
        if (changed == 0) {
            if (show_messages)
                ui::MessageDlg("The address, " + old_text + ", could not be found!",
                               ui::mtInformation, {ui::mbOK});
            AddToLog(head + " -> Address not found!");
            errors_.AddToErrorsList(kErrorModify, old_address, new_address);
        }
    } catch (const std::exception& e) {
        if (t.State() != db::dsBrowse)
            t.Cancel();
        if (show_messages)
            ui::MessageDlg("An error was encountered:\r\n\r\n" + ErrorMessage(e), ui::mtInformation,
                           {ui::mbOK});
        AddToLog("Change Email Address " + old_text + " -> " + new_text +
                 ", ERROR: " + ErrorMessage(e));
        errors_.AddToErrorsList(kErrorModify, old_address, new_address);
    }
    t.EnableControls();
    return changed > 0;
}

std::string EntryProcessor::processbounce(std::string_view address_in) {
    // A gathered line "Name <address>" counts for its address.
    std::string address(address_in);
    std::string name;
    SMTPAddressToEmailName(address, name);
    std::string result;
    strata::TStrataTable& t = database_.tblCV();
    try {
        SharedTableLock lock(t);
        if (!LocateEmailAddress(address)) {
            result = "E-mail address not found!";
        } else {
            db::TField* field = t.FieldByName("Bounces");
            const std::int64_t n = (field->IsNull() ? 0 : field->AsInteger()) + 1;
            if (settings_.chkbouncemax && settings_.spnbouncemax >= 1 &&
                n >= settings_.spnbouncemax) {
                try {
                    t.Delete();
                    result = "Entry successfully deleted!";
                } catch (const std::exception&) {
                    result = "Entry could not be deleted!";
                    errors_.AddToErrorsList(kErrorRemove, address, "", result);
                }
            } else {
                try {
                    t.Edit();
                    field->SetAsInteger(
                        static_cast<std::int32_t>(std::min<std::int64_t>(n, INT32_MAX)));
                    t.Post();
                    result = "Bounce count incremented!";
                } catch (const std::exception&) {
                    if (t.State() != db::dsBrowse)
                        t.Cancel();
                    result = "Bounce count could not be incremented!";
                }
            }
        }
    } catch (const std::exception&) {
        // An address the table cannot even look for has no row to count.
        result = "E-mail address not found!";
    }
    AddToLog("Update Undeliverable " + address + " -> " + result);
    return result;
}

std::string EntryProcessor::Reprocess(bool add, std::string_view email, std::string_view category,
                                      bool ignore_rules) {
    return insertentry(add, email, category, "", "",
                       "Reprocessing of entry at " + getdatetimestring(), 0, ignore_rules, false);
}

}  // namespace app
