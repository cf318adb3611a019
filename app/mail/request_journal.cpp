#include "app/mail/request_journal.h"

#include <chrono>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <thread>

#include "platform/os/error_codes.h"
#include "platform/os/file.h"

namespace app {
namespace {

using platform::os::File;

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::vector<std::string> SplitRecord(std::string_view line) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            fields.back() += next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::int64_t Number(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        throw std::runtime_error("The journal of handled mails holds a damaged record");
    }
}

std::string Counts(const std::optional<DayCounts>& counts) {
    if (!counts)
        return "-1\t-1\t-1";
    return std::to_string(counts->subscribes) + "\t" + std::to_string(counts->unsubscribes) + "\t" +
           std::to_string(counts->bounces);
}

std::optional<DayCounts> ReadCounts(const std::vector<std::string>& f, std::size_t at) {
    if (Number(f[at]) < 0)
        return std::nullopt;
    return DayCounts{static_cast<std::int32_t>(Number(f[at])),
                     static_cast<std::int32_t>(Number(f[at + 1])),
                     static_cast<std::int32_t>(Number(f[at + 2]))};
}

}  // namespace

RequestJournal::RequestJournal(std::string path) : path_(std::move(path)) {
    // Another check sharing this program directory holds the journal until it ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (;;) {
        auto opened = File::Open(path_);
        if (!opened && opened.code() == platform::os::kInvalidPath)
            opened = File::Create(path_);
        if (opened) {
            file_ = std::make_unique<File>(std::move(*opened));
            break;
        }
        if (opened.code() != platform::os::kAccessDenied ||
            std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("The journal of handled mails " + path_ + " cannot be opened");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto size = file_->Size();
    if (!size)
        throw std::runtime_error("The journal of handled mails " + path_ + " cannot be read");
    std::string text(static_cast<std::size_t>(*size), '\0');
    const auto read = file_->ReadAt(0, std::as_writable_bytes(std::span(text.data(), text.size())));
    if (!read)
        throw std::runtime_error("The journal of handled mails " + path_ + " cannot be read");
    text.resize(static_cast<std::size_t>(*read));
    size_ = *read;
    // A record cut short by a kill has no line end and is not part of the journal.
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        const std::string_view line(text.data() + start, end - start);
        if (!line.empty())
            Apply(SplitRecord(line));
    }
}

RequestJournal::~RequestJournal() {
    // An empty journal leaves no file behind; it goes while still held.
    if (size_ == 0) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

void RequestJournal::Apply(const std::vector<std::string>& f) {
    const std::string& kind = f[0];
    const auto need = [&](std::size_t count) {
        if (f.size() < count)
            throw std::runtime_error("The journal of handled mails holds a damaged record");
    };
    if (kind == "M") {
        need(2);
        if (keys_.insert(f[1]).second)
            key_order_.push_back(f[1]);
        if (f.size() > 2 && f[2] == "f")
            forwarded_.insert(f[1]);
    } else if (kind == "X") {
        need(2);
        bounce_addresses_.push_back(f[1]);
    } else if (kind == "Z") {
        need(2);
        aside_keys_.push_back(f[1]);
    } else if (kind == "P") {
        prepared_ = true;
    } else if (kind == "S") {
        need(8);
        stats_.push_back({Number(f[1]), ReadCounts(f, 2), *ReadCounts(f, 5)});
    } else if (kind == "B") {
        need(9);
        rows_.push_back({static_cast<std::int32_t>(Number(f[1])),
                         static_cast<std::int32_t>(Number(f[2])), f[3], f[4], f[5], f[6], f[7],
                         f[8] == "1"});
    } else if (kind == "A") {
        need(4);
        acks_.push_back({Number(f[1]), f[2], f[3], false});
    } else if (kind == "L") {
        need(2);
        log_lines_.push_back(f[1]);
    } else if (kind == "E") {
        need(2);
        error_lines_.push_back(f[1]);
    } else if (kind == "C") {
        committed_ = true;
    } else if (kind == "D") {
        need(2);
        const std::int64_t n = Number(f[1]);
        for (JournalAck& ack : acks_)
            ack.sent = ack.sent || ack.number == n;
    } else if (kind == "W") {
        need(3);
        lines_started_ = std::make_pair(Number(f[1]), Number(f[2]));
    } else if (kind == "F") {
        lines_written_ = true;
        lines_started_.reset();
    } else if (f.size() == 1) {
        // An earlier version's line: the key of a mail whose change was saved.
        if (keys_.insert(f[0]).second)
            key_order_.push_back(f[0]);
        prepared_ = committed_ = true;
    }
}

std::optional<std::pair<std::int64_t, std::int64_t>> RequestJournal::LinesStarted() const {
    return lines_started_;
}

void RequestJournal::Append(std::string_view record) {
    std::string line(record);
    line += '\n';
    const auto written = file_->WriteAt(size_, std::as_bytes(std::span(line.data(), line.size())));
    if (!written)
        throw std::runtime_error("The journal of handled mails " + path_ + " cannot be written");
    size_ += line.size();
    Apply(SplitRecord(record));
}

void RequestJournal::AddMail(const std::string& key, bool forwarded) {
    if (!Contains(key))
        Append("M\t" + Escape(key) + (forwarded ? "\tf" : ""));
}

void RequestJournal::AddStat(const JournalStat& stat) {
    Append("S\t" + std::to_string(stat.day) + "\t" + Counts(stat.before) + "\t" +
           Counts(stat.after));
}

void RequestJournal::AddRow(const JournalRow& row) {
    Append("B\t" + std::to_string(row.index) + "\t" + std::to_string(row.bounces) + "\t" +
           Escape(row.item) + "\t" + Escape(row.category) + "\t" + Escape(row.comments) + "\t" +
           Escape(row.name) + "\t" + Escape(row.salutation) + "\t" + (row.send_rights ? "1" : "0"));
}

bool RequestJournal::HasRow(std::int32_t index) const {
    for (const JournalRow& row : rows_) {
        if (row.index == index)
            return true;
    }
    return false;
}

std::int64_t RequestJournal::AddAck(std::string_view address, std::string_view sentence) {
    const std::int64_t number = static_cast<std::int64_t>(acks_.size()) + 1;
    Append("A\t" + std::to_string(number) + "\t" + Escape(address) + "\t" + Escape(sentence));
    return number;
}

void RequestJournal::AddBounceAddress(std::string_view address) {
    Append("X\t" + Escape(address));
}

void RequestJournal::AddAside(std::string_view key) {
    Append("Z\t" + Escape(key));
}

void RequestJournal::Prepare() {
    Sync();
    Append("P");
    Sync();
}

void RequestJournal::AddLogLine(std::string_view line) {
    Append("L\t" + Escape(line));
}

void RequestJournal::AddErrorLine(std::string_view line) {
    Append("E\t" + Escape(line));
}

void RequestJournal::Commit() {
    Append("C");
    Sync();
}

void RequestJournal::AckSent(std::int64_t number) {
    Append("D\t" + std::to_string(number));
    Sync();
}

void RequestJournal::LinesStarting(std::int64_t log_size, std::int64_t errors_size) {
    Append("W\t" + std::to_string(log_size) + "\t" + std::to_string(errors_size));
}

void RequestJournal::LinesDone() {
    Append("F");
}

void RequestJournal::Sync() {
    if (!file_->Flush(platform::os::FlushKind::kDataOnly))
        throw std::runtime_error("The journal of handled mails " + path_ +
                                 " cannot be made durable");
}

void RequestJournal::Finish() {
    if (size_ != 0) {
        if (!file_->Truncate(0))
            throw std::runtime_error("The journal of handled mails " + path_ +
                                     " cannot be emptied");
        size_ = 0;
        Sync();
    }
    Reset();
}

void RequestJournal::Reset() {
    keys_.clear();
    key_order_.clear();
    forwarded_.clear();
    bounce_addresses_.clear();
    aside_keys_.clear();
    prepared_ = false;
    stats_.clear();
    rows_.clear();
    acks_.clear();
    log_lines_.clear();
    error_lines_.clear();
    committed_ = false;
    lines_written_ = false;
    lines_started_.reset();
}

}  // namespace app
