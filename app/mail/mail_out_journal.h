#pragma once

// The journal of a running mail-out, "SendJournal.txt" beside the send log in
// the program directory. It is written whole before the first message (the
// message and every member) and then gains one line per member done, so a
// mail-out that was killed can be finished for the members it had not reached,
// and none of the others gets a second copy.
//
// Layout, one record a line, LF-ended, values escaped (\\ \n \r \t):
//   "Corvane mail-out journal 1"
//   "subject <text>", "text <text>", "html 0|1", "personalise 0|1",
//   "sendcount <n>", "method <n>", then "attachment <path>", "to <address>",
//   "cc <address>" as many as there are, then
//   "member <address>\t<full name>\t<first name>" for every member, then
//   "begun"; afterwards one "done <address>" per member sent to (or given up).
// A last line without its LF was cut by a kill or a full disk: it is ignored,
// and a run that goes on with the journal writes over it.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/file.h"

namespace app {

struct JournalMember {
    std::string email, name, salutation;
};

struct MailOutJournal {
    std::string subject, text;
    bool html = false, personalise = false;
    std::int32_t send_count = 1;
    int method = 0;
    std::vector<std::string> attachments, to, cc;
    std::vector<JournalMember> members;
    std::set<std::string> done;

    // The members the run had not reached, in their order.
    std::vector<JournalMember> Remaining() const;
    std::int64_t DoneCount() const;
};

inline constexpr std::string_view kJournalFile = "SendJournal.txt";

// The journal in the program directory; nothing when there is none or it is
// not one (a damaged journal is left for the user to look at).
std::optional<MailOutJournal> ReadMailOutJournal(std::string_view program_dir);
void DropMailOutJournal(std::string_view program_dir);

// A file that lines are appended to as a run goes. Each line goes to the file
// at once, so a killed program loses none; it is synced now and then and when
// closed. The first write that fails is kept with the system's reason and
// nothing more is written: the run stops on it rather than go on unrecorded.
class LiveLog {
  public:
    LiveLog() = default;
    ~LiveLog();
    LiveLog(const LiveLog&) = delete;
    LiveLog& operator=(const LiveLog&) = delete;

    // truncate: a new log; otherwise it goes on after the last whole line of
    // what is there (a line cut by a kill or a full disk is dropped). False,
    // with the reason kept, when the file cannot be opened.
    bool Open(const std::string& path, bool truncate);
    // The line and a CR LF.
    void Line(std::string_view line) { Append(std::string(line) + "\r\n"); }
    void Append(std::string_view bytes);
    void Close();
    bool IsOpen() const { return file_.IsOpen(); }
    const std::string& Path() const { return path_; }
    // Empty while everything went to the file; else why a write failed.
    const std::string& Failure() const { return failure_; }

  private:
    void Fail(const platform::os::Status& status);
    void Sync(bool force);

    platform::os::File file_;
    std::string path_;
    std::string failure_;
    std::uint64_t end_ = 0;
    std::int64_t last_sync_ms_ = 0;
};

// The open journal of a running mail-out, which gains a line per message done.
class JournalWriter {
  public:
    // Starts a new journal with the run's message and members. Throws
    // EMailError when it cannot be written.
    void Begin(std::string_view program_dir, const MailOutJournal& run);
    // Goes on with the journal a resumed run continues.
    void Continue(std::string_view program_dir);
    void Done(const std::vector<std::string>& addresses);
    void Close() { file_.Close(); }
    bool IsOpen() const { return file_.IsOpen(); }
    const LiveLog& File() const { return file_; }

  private:
    LiveLog file_;
};

}  // namespace app
