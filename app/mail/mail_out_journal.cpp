#include "app/mail/mail_out_journal.h"

#include <array>
#include <chrono>
#include <span>

#include "platform/mail/mail_error.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

namespace app {
namespace {

constexpr std::string_view kMagic = "Corvane mail-out journal 1";
// Synced at most this often, so that a fast run does not wait on the disk for
// every message; a killed program loses nothing either way.
constexpr std::int64_t kSyncEveryMs = 50;

std::string PathIn(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    return path;
}

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return out;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::vector<JournalMember> MailOutJournal::Remaining() const {
    std::vector<JournalMember> out;
    for (const JournalMember& m : members)
        if (!done.contains(m.email))
            out.push_back(m);
    return out;
}

std::int64_t MailOutJournal::DoneCount() const {
    return static_cast<std::int64_t>(members.size() - Remaining().size());
}

std::optional<MailOutJournal> ReadMailOutJournal(std::string_view program_dir) {
    std::string contents;
    if (platform::os::ReadFileContents(PathIn(program_dir, kJournalFile), contents))
        return std::nullopt;
    MailOutJournal j;
    bool begun = false;
    std::size_t start = 0;
    bool first = true;
    while (start < contents.size()) {
        const std::size_t end = contents.find('\n', start);
        if (end == std::string::npos)
            break;  // cut by the kill
        const std::string_view line(contents.data() + start, end - start);
        start = end + 1;
        if (first) {
            if (line != kMagic)
                return std::nullopt;
            first = false;
            continue;
        }
        const std::size_t blank = line.find(' ');
        const std::string_view key = line.substr(0, blank);
        const std::string value =
            blank == std::string_view::npos ? std::string() : Unescape(line.substr(blank + 1));
        if (key == "begun") {
            begun = true;
        } else if (key == "done") {
            j.done.insert(value);
        } else if (key == "member") {
            const std::string_view raw = line.substr(blank + 1);
            const std::size_t t1 = raw.find('\t');
            const std::size_t t2 = t1 == std::string_view::npos ? t1 : raw.find('\t', t1 + 1);
            if (t2 == std::string_view::npos)
                return std::nullopt;
            j.members.push_back({Unescape(raw.substr(0, t1)),
                                 Unescape(raw.substr(t1 + 1, t2 - t1 - 1)),
                                 Unescape(raw.substr(t2 + 1))});
        } else if (key == "subject") {
            j.subject = value;
        } else if (key == "text") {
            j.text = value;
        } else if (key == "html") {
            j.html = value == "1";
        } else if (key == "personalise") {
            j.personalise = value == "1";
        } else if (key == "sendcount" || key == "method") {
            char* stop = nullptr;
            const long n = std::strtol(value.c_str(), &stop, 10);
            if (value.empty() || *stop != '\0' || n < 0 || n > 1000000)
                return std::nullopt;
            (key == "method" ? j.method : j.send_count) = static_cast<std::int32_t>(n);
        } else if (key == "attachment") {
            j.attachments.push_back(value);
        } else if (key == "to") {
            j.to.push_back(value);
        } else if (key == "cc") {
            j.cc.push_back(value);
        }
    }
    if (!begun)
        return std::nullopt;
    return j;
}

void DropMailOutJournal(std::string_view program_dir) {
    (void)platform::os::DeleteFile(PathIn(program_dir, kJournalFile));
}

void JournalWriter::Begin(std::string_view program_dir, const MailOutJournal& run) {
    Close();
    std::string text(kMagic);
    text += '\n';
    const auto add = [&](std::string_view key, std::string_view value) {
        text += key;
        text += ' ';
        text += Escape(value);
        text += '\n';
    };
    add("subject", run.subject);
    add("text", run.text);
    add("html", run.html ? "1" : "0");
    add("personalise", run.personalise ? "1" : "0");
    add("sendcount", std::to_string(run.send_count));
    add("method", std::to_string(run.method));
    for (const std::string& a : run.attachments)
        add("attachment", a);
    for (const std::string& a : run.to)
        add("to", a);
    for (const std::string& a : run.cc)
        add("cc", a);
    for (const JournalMember& m : run.members)
        text += "member " + Escape(m.email) + "\t" + Escape(m.name) + "\t" + Escape(m.salutation) +
                "\n";
    text += "begun\n";
    const std::string path = PathIn(program_dir, kJournalFile);
    if (const std::error_code ec = platform::os::ReplaceFileContents(path, text))
        throw mail::EMailError("The mail-out journal " + path +
                               " cannot be written: " + ec.message());
    Continue(program_dir);
}

void JournalWriter::Continue(std::string_view program_dir) {
    const std::string path = PathIn(program_dir, kJournalFile);
    if (!file_.Open(path, false))
        throw mail::EMailError("The mail-out journal " + path +
                               " cannot be opened: " + file_.Failure());
}

void JournalWriter::Done(const std::vector<std::string>& addresses) {
    std::string lines;
    for (const std::string& a : addresses)
        lines += "done " + Escape(a) + "\n";
    file_.Append(lines);
}

LiveLog::~LiveLog() {
    Close();
}

bool LiveLog::Open(const std::string& path, bool truncate) {
    Close();
    path_ = path;
    failure_.clear();
    const auto give_up = [this](const platform::os::Status& status) {
        Fail(status);
        file_ = platform::os::File();
        return false;
    };
    auto opened = truncate || !platform::os::FileExists(path) ? platform::os::File::Create(path)
                                                              : platform::os::File::Open(path);
    if (!opened.ok())
        return give_up(opened.status());
    file_ = std::move(*opened);
    const auto size = file_.Size();
    if (!size.ok())
        return give_up(size.status());
    // Goes on after the last line end, read back from the end a block at a time.
    std::array<std::byte, 4096> block;
    std::uint64_t whole = 0;
    for (std::uint64_t at = *size; at > 0 && whole == 0;) {
        const std::uint64_t from = at > block.size() ? at - block.size() : 0;
        const auto read = file_.ReadAt(from, std::span(block).first(at - from));
        if (!read.ok())
            return give_up(read.status());
        for (std::uint64_t i = *read; i > 0 && whole == 0; --i)
            if (block[i - 1] == std::byte{'\n'})
                whole = from + i;
        at = from;
    }
    end_ = whole;
    if (end_ != *size) {
        if (const platform::os::Status cut = file_.Truncate(end_); !cut.ok())
            return give_up(cut);
    }
    last_sync_ms_ = NowMs();
    return true;
}

void LiveLog::Fail(const platform::os::Status& status) {
    if (failure_.empty())
        failure_ = platform::os::FailureReason(status);
}

void LiveLog::Append(std::string_view bytes) {
    if (!file_.IsOpen() || !failure_.empty() || bytes.empty())
        return;
    const auto written = file_.WriteAt(end_, std::as_bytes(std::span(bytes.data(), bytes.size())));
    if (!written.ok()) {
        Fail(written.status());
        return;
    }
    end_ += *written;
    Sync(false);
}

void LiveLog::Sync(bool force) {
    const std::int64_t now = NowMs();
    if (!force && now - last_sync_ms_ < kSyncEveryMs)
        return;
    last_sync_ms_ = now;
    if (const platform::os::Status synced = file_.Flush(platform::os::FlushKind::kDataOnly);
        !synced.ok())
        Fail(synced);
}

void LiveLog::Close() {
    if (!file_.IsOpen())
        return;
    Sync(true);
    file_ = platform::os::File();
}

}  // namespace app
