#pragma once

// The journal of the batch of mails a check is applying ("handled.txt" in the
// program directory). A check applies its mails in batches: each batch's list
// changes and statistics are flushed in one step, and only then do its mails
// leave the folder and its acknowledgements go out. The journal says how far
// the last batch got, so that a check killed at any moment is finished by the
// next one without applying, counting or acknowledging anything twice.
//
// One record per line, fields separated by tabs (tab, CR, LF and backslash
// inside a field written as \t, \r, \n and \\):
//   M <key> [f]                     a mail of the batch (f: a member's post it
//                                   forwarded, which changes no table)
//   S <day> <before x3> <after x3>  the statistics row of a day (days since
//                                   1899-12-30) before and after the batch; the
//                                   counts are subscribes, unsubscribes and
//                                   bounces, -1 for a row that did not exist
//   B <index> <bounces> <fields x6> a list row as it was before a bounce
//                                   changed or deleted it: Item, Category,
//                                   Comments, Name, Salutation, SendRights
//   A <n> <address> <sentence>      an acknowledgement the batch sends
//   L <line>                        an activity-log line of the batch
//   E <line>                        an errors-list line of the batch
//   X <address>                     an address the batch counts a bounce of
//   Z <key>                         a mail the batch sets aside (it stays in
//                                   the folder, remembered as unusable)
//   P                               every record above is written: the batch
//                                   now changes its statistics and flushes
//   C                               the batch's tables are flushed
//   D <n>                           acknowledgement n has been sent
//   W <log size> <errors size>      the log and errors-list lines are being
//                                   appended to files of these sizes
//   F                               they have been appended
// Without "P" the batch is undone (bounced rows set back, its mails read
// again as new). With "P" but without "C" it is applied again to the same
// effect: bounced rows set back and counted again, its mails' changes made
// again (they lead to the same rows), the statistics set to their "after"
// counts, its acknowledgements and lines the ones recorded. With "C" it is
// finished: its mails let go, the acknowledgements without "D" sent, the lines
// written. A finished batch's journal is emptied.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::os {
class File;
}

namespace app {

struct DayCounts {
    std::int32_t subscribes = 0;
    std::int32_t unsubscribes = 0;
    std::int32_t bounces = 0;
    friend bool operator==(const DayCounts&, const DayCounts&) = default;
};

struct JournalStat {
    std::int64_t day = 0;
    std::optional<DayCounts> before;
    DayCounts after;
};

struct JournalRow {
    std::int32_t index = 0;
    std::int32_t bounces = 0;
    std::string item, category, comments, name, salutation;
    bool send_rights = false;
};

struct JournalAck {
    std::int64_t number = 0;
    std::string address;
    std::string sentence;
    bool sent = false;
};

class RequestJournal {
  public:
    // Reads what a previous check left; a missing file is an empty journal.
    explicit RequestJournal(std::string path);
    ~RequestJournal();
    RequestJournal(const RequestJournal&) = delete;
    RequestJournal& operator=(const RequestJournal&) = delete;

    bool Empty() const {
        return keys_.empty() && stats_.empty() && rows_.empty() && aside_keys_.empty() &&
               !prepared_;
    }
    bool Committed() const { return committed_; }
    bool Contains(const std::string& key) const { return keys_.count(key) != 0; }
    bool Forwarded(const std::string& key) const { return forwarded_.count(key) != 0; }
    // In the order they were added.
    const std::vector<std::string>& Keys() const { return key_order_; }
    const std::vector<std::string>& BounceAddresses() const { return bounce_addresses_; }
    const std::vector<std::string>& AsideKeys() const { return aside_keys_; }
    bool Prepared() const { return prepared_; }
    const std::vector<JournalStat>& Stats() const { return stats_; }
    const std::vector<JournalRow>& Rows() const { return rows_; }
    const std::vector<JournalAck>& Acks() const { return acks_; }
    const std::vector<std::string>& LogLines() const { return log_lines_; }
    const std::vector<std::string>& ErrorLines() const { return error_lines_; }
    bool LinesWritten() const { return lines_written_; }
    // The file sizes of a "W" record without its "F", else empty.
    std::optional<std::pair<std::int64_t, std::int64_t>> LinesStarted() const;

    // Each record reaches the file before the call returns (a killed program
    // keeps it); Sync makes the records so far durable.
    void AddMail(const std::string& key, bool forwarded = false);
    void AddStat(const JournalStat& stat);
    void AddRow(const JournalRow& row);
    bool HasRow(std::int32_t index) const;
    // Answers the acknowledgement's number.
    std::int64_t AddAck(std::string_view address, std::string_view sentence);
    void AddBounceAddress(std::string_view address);
    void AddAside(std::string_view key);
    void AddLogLine(std::string_view line);
    void AddErrorLine(std::string_view line);
    // Syncs every record so far, then marks the batch prepared.
    void Prepare();
    void Commit();
    void AckSent(std::int64_t number);
    void LinesStarting(std::int64_t log_size, std::int64_t errors_size);
    void LinesDone();
    void Sync();
    // The batch is over: the file goes and the journal is empty.
    void Finish();

  private:
    void Append(std::string_view record);
    void Apply(const std::vector<std::string>& fields);
    void Reset();

    std::string path_;
    // Kept open, and so locked against another check sharing the program directory.
    std::unique_ptr<platform::os::File> file_;
    std::uint64_t size_ = 0;
    std::set<std::string> keys_;
    std::vector<std::string> key_order_;
    std::set<std::string> forwarded_;
    std::vector<std::string> bounce_addresses_;
    std::vector<std::string> aside_keys_;
    bool prepared_ = false;
    std::vector<JournalStat> stats_;
    std::vector<JournalRow> rows_;
    std::vector<JournalAck> acks_;
    std::vector<std::string> log_lines_;
    std::vector<std::string> error_lines_;
    bool committed_ = false;
    bool lines_written_ = false;
    std::optional<std::pair<std::int64_t, std::int64_t>> lines_started_;
};

}  // namespace app
