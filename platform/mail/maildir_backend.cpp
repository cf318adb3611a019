// Maildir++ store.
//
//   <root>/cur, new, tmp          the Inbox
//   <root>/.<A>/cur, new, tmp     top-level folder A (plus an empty "maildirfolder")
//   <root>/.<A>.<B>/...           folder B inside A; Inbox's children are .INBOX.<B>
//   <folder>/vcards/*.vcf         present in a contacts folder: one or more vCards a file
//
// A message file is "<seconds>.M<microseconds>P<pid>Q<counter>.<host>", in new/
// until it has been seen, then in cur/ with ":2,<flags>" appended (S = seen).
// Its id is the name before ':'. Files are written in tmp/, synced and renamed
// into place, so no reader ever sees half a message.
//
// The store is our own rather than vmime's Maildir provider because the
// application walks folders by item and deletes as it goes: vmime numbers the
// messages of a folder and renumbers them after a delete, while an id taken
// from the file name stays the same for as long as the message exists.
//
// A folder's files are listed once (its first snapshot or lookup) into an index
// from id to file that the store's own renames keep current, so finding one
// message costs one lookup however full the folder is. A file another program
// moved is found by listing the folder again.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "platform/mail/mail_error.h"
#include "platform/mail/store_backend.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

namespace mail {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kInbox = "Inbox";

void CheckName(std::string_view name) {
    if (name.empty() || name.size() > 200)
        throw EMailError("A folder name must not be empty");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '.' || c == '/' || c == '\\') {
            throw EMailError("The folder name \"" + std::string(name) +
                             "\" holds a character the mail store cannot keep (. / \\)");
        }
    }
}

std::string IdOf(const std::string& file_name) {
    return file_name.substr(0, file_name.find(':'));
}

std::string FlagsOf(const std::string& file_name) {
    const auto info = file_name.find(":2,");
    return info == std::string::npos ? std::string() : file_name.substr(info + 3);
}

// The second a message was delivered: delivery agents start the file name with
// it. A name that does not (or holds no plausible time) has the file's
// modification time, which they set at delivery as well.
long long DeliverySecond(const fs::path& file) {
    const std::string name = file.filename().string();
    const std::size_t digits = name.find_first_not_of("0123456789");
    if (digits != 0 && digits != std::string::npos && digits <= 18 && name[digits] == '.')
        return std::stoll(name.substr(0, digits));
    std::error_code error;
    const auto modified = fs::last_write_time(file, error);
    if (error)
        return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(modified).time_since_epoch())
        .count();
}

// Names of one second, in the order they were made: runs of digits (microseconds,
// process, counter) compare by value, since not every delivery agent pads them.
bool NamedBefore(std::string_view a, std::string_view b) {
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (!is_digit(a[i]) || !is_digit(b[j])) {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i, ++j;
            continue;
        }
        const std::size_t a_end = std::min(a.find_first_not_of("0123456789", i), a.size());
        const std::size_t b_end = std::min(b.find_first_not_of("0123456789", j), b.size());
        std::string_view a_run = a.substr(i, a_end - i), b_run = b.substr(j, b_end - j);
        a_run.remove_prefix(std::min(a_run.find_first_not_of('0'), a_run.size()));
        b_run.remove_prefix(std::min(b_run.find_first_not_of('0'), b_run.size()));
        if (a_run.size() != b_run.size())
            return a_run.size() < b_run.size();
        if (a_run != b_run)
            return a_run < b_run;
        i = a_end, j = b_end;
    }
    // Equal by value ("M07" and "M7"): the plain text decides, so no two names tie.
    return a.size() - i != b.size() - j ? a.size() - i < b.size() - j : a < b;
}

class MaildirBackend : public StoreBackend {
  public:
    MaildirBackend(fs::path root, std::string display_name)
        : root_(std::move(root)), display_name_(std::move(display_name)) {
        MakeMaildir(root_);
    }

    std::string DisplayName() const override { return display_name_; }
    std::string StoreId() const override { return "maildir:" + root_.string(); }

    std::vector<std::string> ListFolders(const FolderPath& parent) override {
        std::vector<std::string> names;
        std::string prefix = ".";
        if (parent.empty()) {
            names.emplace_back(kInbox);
        } else {
            prefix = "." + Joined(parent) + ".";
        }
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(root_, error)) {
            const std::string name = entry.path().filename().string();
            if (!entry.is_directory() || name.size() <= prefix.size() ||
                name.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            std::string rest = name.substr(prefix.size());
            if (rest.find('.') != std::string::npos) {
                rest = rest.substr(0, rest.find('.'));  // a parent implied by a deeper folder
            }
            if (parent.empty() && SameFolderName(rest, "INBOX"))
                continue;
            if (std::none_of(names.begin(), names.end(),
                             [&](const std::string& n) { return n == rest; })) {
                names.push_back(rest);
            }
        }
        std::sort(names.begin() + (parent.empty() ? 1 : 0), names.end(),
                  [](const std::string& a, const std::string& b) {
                      const std::string la = platform::nls::AsciiLower(a);
                      const std::string lb = platform::nls::AsciiLower(b);
                      return la != lb ? la < lb : a < b;
                  });
        return names;
    }

    void CreateFolder(const FolderPath& path) override {
        for (const auto& name : path)
            CheckName(name);
        for (std::size_t depth = 1; depth <= path.size(); ++depth) {
            const FolderPath partial(path.begin(), path.begin() + static_cast<long>(depth));
            const fs::path dir = DirOf(partial);
            if (!fs::exists(dir / "cur")) {
                MakeMaildir(dir);
                std::ofstream(dir / "maildirfolder").close();
            }
        }
    }

    bool IsContactsFolder(const FolderPath& path) override {
        return !path.empty() && fs::is_directory(DirOf(path) / "vcards");
    }

    std::vector<MessageEntry> Snapshot(const FolderPath& path) override {
        auto files = Files(path);
        auto& index = indexes_[DirOf(path)];
        index.clear();
        for (const auto& [id, file] : files)
            index.emplace(id, file);
        // Maildir keeps no order of its own: by delivery time, then by name.
        struct Arrival {
            long long second;
            const std::string* id;
            const fs::path* file;
        };
        std::vector<Arrival> arrivals;
        for (const auto& [id, file] : files)
            arrivals.push_back({DeliverySecond(file), &id, &file});
        std::sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) {
            return a.second != b.second ? a.second < b.second : NamedBefore(*a.id, *b.id);
        });
        std::vector<MessageEntry> entries;
        for (const Arrival& arrival : arrivals) {
            const std::string name = arrival.file->filename().string();
            const bool in_cur = arrival.file->parent_path().filename() == "cur";
            entries.push_back(
                {*arrival.id, in_cur && FlagsOf(name).find('S') != std::string::npos});
        }
        return entries;
    }

    std::size_t UnreadCount(const FolderPath& path) override {
        std::size_t count = 0;
        for (const auto& entry : Snapshot(path))
            count += entry.seen ? 0 : 1;
        return count;
    }

    std::string Fetch(const FolderPath& path, const std::string& id) override {
        const fs::path file = Locate(path, id);
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw EMailError("The message can no longer be read");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    void SetSeen(const FolderPath& path, const std::string& id, bool seen) override {
        const fs::path file = Locate(path, id);
        std::string flags = FlagsOf(file.filename().string());
        flags.erase(std::remove(flags.begin(), flags.end(), 'S'), flags.end());
        if (seen)
            flags += 'S';
        std::sort(flags.begin(), flags.end());
        const fs::path target = DirOf(path) / "cur" / (id + ":2," + flags);
        if (target != file)
            Rename(file, target);
    }

    void Move(const FolderPath& from, const std::string& id, const FolderPath& to) override {
        const fs::path file = Locate(from, id);
        CreateFolder(to);
        Rename(file, DirOf(to) / file.parent_path().filename() / file.filename());
    }

    void DeferSyncs(bool deferred) override {
        if (!deferred)
            SyncChanges();
        defer_syncs_ = deferred;
    }

    void SyncChanges() override {
        // Every folder is synced even when one fails; the first failure is reported.
        std::string failed;
        for (const fs::path& dir : unsynced_dirs_) {
            if (!platform::os::SyncDirectory(dir.string()) && failed.empty())
                failed = dir.string();
        }
        unsynced_dirs_.clear();
        if (!failed.empty())
            throw EMailError("The changes to the mail folder \"" + failed +
                             "\" cannot be made durable");
    }

    void Append(const FolderPath& path, std::string_view raw, bool seen) override {
        const fs::path dir = DirOf(path);
        if (!fs::exists(dir / "cur"))
            throw EMailError("The mail folder does not exist");
        const std::string id = NewId();
        const fs::path temp = dir / "tmp" / id;
        if (platform::os::WriteNewFile(temp.string(), raw, 0600))
            throw EMailError("The message cannot be stored in the mail folder");
        Rename(temp, seen ? dir / "cur" / (id + ":2,S") : dir / "new" / id);
    }

    std::vector<std::string> ContactCards(const FolderPath& path) override {
        std::vector<fs::path> files;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(DirOf(path) / "vcards", error)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        std::vector<std::string> cards;
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            cards.emplace_back((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        }
        return cards;
    }

  private:
    static std::string Joined(const FolderPath& path) {
        std::string joined;
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (i)
                joined += '.';
            joined += i == 0 && SameFolderName(path[0], kInbox) ? std::string("INBOX") : path[i];
        }
        return joined;
    }

    fs::path DirOf(const FolderPath& path) const {
        if (path.empty() || (path.size() == 1 && SameFolderName(path[0], kInbox)))
            return root_;
        return root_ / ("." + Joined(path));
    }

    static void MakeMaildir(const fs::path& dir) {
        std::error_code error;
        for (const char* sub : {"cur", "new", "tmp"}) {
            fs::create_directories(dir / sub, error);
            if (error) {
                throw EMailError("The mail folder \"" + dir.string() +
                                 "\" cannot be created: " + error.message());
            }
        }
    }

    std::map<std::string, fs::path> Files(const FolderPath& path) const {
        std::map<std::string, fs::path> files;
        const fs::path dir = DirOf(path);
        if (!fs::exists(dir / "cur"))
            throw EMailError("The mail folder does not exist");
        for (const char* sub : {"new", "cur"}) {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(dir / sub, error)) {
                const std::string name = entry.path().filename().string();
                if (name.empty() || name[0] == '.' || !entry.is_regular_file())
                    continue;
                files[IdOf(name)] = entry.path();
            }
        }
        return files;
    }

    fs::path Locate(const FolderPath& path, const std::string& id) {
        const fs::path dir = DirOf(path);
        auto found_index = indexes_.find(dir);
        if (found_index != indexes_.end()) {
            const auto hit = found_index->second.find(id);
            std::error_code error;
            if (hit != found_index->second.end() && fs::is_regular_file(hit->second, error))
                return hit->second;
        }
        // Not indexed yet, or changed by another program: the folder is listed afresh.
        auto& index = indexes_[dir];
        index.clear();
        for (auto& [file_id, file] : Files(path))
            index.emplace(file_id, std::move(file));
        const auto hit = index.find(id);
        if (hit == index.end())
            throw EMailError("The message is no longer in the folder");
        return hit->second;
    }

    // The folder (root or ".A.B") holding a cur/ or new/ file.
    static fs::path FolderOfFile(const fs::path& file) { return file.parent_path().parent_path(); }

    void Rename(const fs::path& from, const fs::path& to) {
        std::error_code error;
        fs::rename(from, to, error);
        if (error)
            throw EMailError("The message cannot be moved: " + error.message());
        const std::string id = IdOf(to.filename().string());
        if (auto old_index = indexes_.find(FolderOfFile(from)); old_index != indexes_.end())
            old_index->second.erase(IdOf(from.filename().string()));
        if (auto new_index = indexes_.find(FolderOfFile(to)); new_index != indexes_.end())
            new_index->second[id] = to;
        unsynced_dirs_.insert(to.parent_path());
        if (from.parent_path() != to.parent_path())
            unsynced_dirs_.insert(from.parent_path());
        if (!defer_syncs_) {
            try {
                SyncChanges();
            } catch (const EMailError&) {
                // A single move stays as durable as the system makes it.
            }
        }
    }

    static std::string NewId() {
        static std::atomic<unsigned> counter{0};
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
        const auto micro =
            std::chrono::duration_cast<std::chrono::microseconds>(now).count() % 1000000;
        char host[256] = "localhost";
        ::gethostname(host, sizeof host - 1);
        std::string host_name = host;
        for (auto& c : host_name) {
            if (c == '/' || c == ':')
                c = '_';
        }
        char micro_text[8];
        std::snprintf(micro_text, sizeof micro_text, "%06lld", static_cast<long long>(micro));
        return std::to_string(seconds) + ".M" + micro_text + "P" + std::to_string(::getpid()) +
               "Q" + std::to_string(++counter) + "." + host_name;
    }

    fs::path root_;
    std::string display_name_;
    // Per folder directory: message id to its file.
    std::map<fs::path, std::unordered_map<std::string, fs::path>> indexes_;
    bool defer_syncs_ = false;
    std::set<fs::path> unsynced_dirs_;
};

}  // namespace

std::unique_ptr<StoreBackend> OpenMaildirBackend(const fs::path& root, std::string display_name) {
    return std::make_unique<MaildirBackend>(root, std::move(display_name));
}

}  // namespace mail
