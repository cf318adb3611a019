#include "app/mail/mail_out_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/mail/mail_error.h"
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

// Writes all of `bytes` (one write for a short line, which O_APPEND keeps whole).
bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void SyncNowAndThen(int fd, std::int64_t& last, bool force) {
    const std::int64_t now = NowMs();
    if (force || now - last >= kSyncEveryMs) {
        ::fdatasync(fd);
        last = now;
    }
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
    ::unlink(PathIn(program_dir, kJournalFile).c_str());
}

JournalWriter::~JournalWriter() {
    Close();
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
    Close();
    const std::string path = PathIn(program_dir, kJournalFile);
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0)
        throw mail::EMailError("The mail-out journal " + path +
                               " cannot be opened: " + std::strerror(errno));
    last_sync_ms_ = NowMs();
}

void JournalWriter::Done(const std::vector<std::string>& addresses) {
    if (fd_ < 0 || addresses.empty())
        return;
    std::string lines;
    for (const std::string& a : addresses)
        lines += "done " + Escape(a) + "\n";
    WriteAll(fd_, lines);
    SyncNowAndThen(fd_, last_sync_ms_, false);
}

void JournalWriter::Close() {
    if (fd_ < 0)
        return;
    ::fdatasync(fd_);
    ::close(fd_);
    fd_ = -1;
}

LiveLog::~LiveLog() {
    Close();
}

bool LiveLog::Open(const std::string& path, bool truncate) {
    Close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0),
                 0644);
    last_sync_ms_ = NowMs();
    return fd_ >= 0;
}

void LiveLog::Line(std::string_view line) {
    if (fd_ < 0)
        return;
    std::string text(line);
    text += "\r\n";
    WriteAll(fd_, text);
    SyncNowAndThen(fd_, last_sync_ms_, false);
}

void LiveLog::Close() {
    if (fd_ < 0)
        return;
    ::fdatasync(fd_);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace app
