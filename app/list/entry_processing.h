#pragma once

// The one road of every change to the list: a request to add or remove one
// address (insertentry), a change of address, a bounce, with the lookups,
// the validation and the activity log ("log.txt") they share.

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"

namespace app {

inline constexpr int kExceptionTextCode = 101;
inline constexpr int kMaxRowsPerRequest = 1000;
inline constexpr std::string_view kLogFile = "log.txt";

// What a request's result text says happened to the list.
enum class EntryOutcome { Added, Updated, Removed, Unchanged, Refused };

class EntryProcessor {
  public:
    EntryProcessor(ListDatabase& database, Settings& settings, ErrorsList& errors);

    // Sends the acknowledgement sentence to the address (unset: none is sent).
    std::function<void(std::string_view address, std::string_view sentence)> OnSendAcknowledgement;
    // Called when the unsubscribers option adds an address to the
    // never-subscribe list, so the options can be saved or shown.
    std::function<void(std::string_view address)> OnNeverSubscribeAdded;
    // Called when an added row stores a name otherwise than it was given (a character
    // its code page lacks, or a name longer than its field): typed, then stored.
    std::function<void(std::string_view typed, std::string_view stored)> OnNameChanged;

    // Applies one ADD or REMOVE request; answers its result text. Never raises.
    std::string insertentry(bool is_add, std::string_view email, std::string_view category,
                            std::string_view full_name, std::string_view first_name,
                            std::string_view comments, std::int32_t bounces, bool ignore_rules,
                            bool send_ack);

    // Changes every row of old_address to new_address (only Item changes).
    // Answers whether a row was changed.
    bool ChangeEmailAddress(std::string_view old_address, std::string_view new_address,
                            bool check_exceptions, bool show_messages);

    // Applies a line of the errors list again as the user corrected it.
    std::string Reprocess(bool add, std::string_view email, std::string_view category,
                          bool ignore_rules);

    // Counts a bounce of the first row of the address; answers the result text.
    std::string processbounce(std::string_view address);

    bool LocateEmailAddress(std::string_view address);
    std::string GetGroupOfUser(std::string_view address);
    // The sending right of the address in the category (or of its first row).
    bool UserCanSend(std::string_view address, std::string_view category);

    bool validemailaddress(std::string_view address, bool check_exceptions, int& code) const;
    static std::string GetEmailErrorCode(int code);
    // The outcome of a result text of insertentry or processbounce ("" is a request
    // without an address, refused).
    EntryOutcome OutcomeOf(std::string_view result) const;

    void AddToLog(std::string_view line);
    // While set, log lines go here instead of the file: a check writes a batch's
    // lines once the changes they tell of are saved.
    std::function<void(std::string_view line)> OnLogLine;
    // Appends the lines to the log in one write; a failure is raised.
    void WriteLogLines(const std::vector<std::string>& lines);
    std::string LogPath() const { return database_.ProgramDir() + std::string(kLogFile); }
    void AddToUnsubscribersList(std::string_view address);

    // The current date and time as the comments of requests show it.
    static std::string getdatetimestring();

    Settings& settings() { return settings_; }
    ListDatabase& database() { return database_; }
    ErrorsList& errors() { return errors_; }

    // The first write of the list the system refused since the last call (a full disk): a
    // request answers it as a refusal, and a caller running many stops at it with this.
    std::exception_ptr TakeWriteFailure() { return std::exchange(write_failure_, nullptr); }

  private:
    void NoteWriteFailure(const std::exception& e);

    // The list table's fields an entry is written and found by.
    enum class ListField { Item, Category, Bounces, Comments, Name, Salutation, SendRights };
    // The field of the list table by its name, looked up again only when the table's field
    // list has changed since: an import sets seven fields per entry.
    db::TField* Field(ListField which) {
        db::TField* field = list_fields_[static_cast<std::size_t>(which)];
        return field != nullptr && list_fields_version_ == database_.tblCV().Fields().Version()
                   ? field
                   : FindListField(which);
    }
    db::TField* FindListField(ListField which);

    bool LocateEntry(std::string_view address, std::string_view category);
    // In the order by address: the first row of the address, made current.
    bool LocateFirstRowByItem(std::string_view address);
    // The `Index` of every row of the address (at most the request limit), in any
    // order the list is sorted by.
    std::vector<std::int32_t> RowsOfAddress(std::string_view address);
    // Reports a name the table stores otherwise than given.
    void CheckStoredName(std::string_view typed, std::int64_t size);
    void SendAck(bool send_ack, std::string_view address, std::string_view sentence);
    std::string RemoveEntries(std::string_view email, std::string_view category, bool send_ack);
    std::string AddEntry(std::string_view email, std::string_view category,
                         std::string_view full_name, std::string_view first_name,
                         std::string_view comments, std::int32_t bounces, bool ignore_rules,
                         bool send_ack);

    ListDatabase& database_;
    Settings& settings_;
    ErrorsList& errors_;
    std::array<db::TField*, 7> list_fields_{};
    // The field list the ones above were found in; field lists never share a version.
    std::uint64_t list_fields_version_ = 0;
    std::exception_ptr write_failure_;
};

}  // namespace app
