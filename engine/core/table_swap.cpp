#include "engine/core/table_swap.h"

#include <cstddef>
#include <filesystem>
#include <system_error>
#include <vector>

#include "engine/core/data_directory.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/file_handler.h"
#include "platform/os/file.h"
#include "platform/os/file_system.h"

namespace strata {

namespace {

constexpr std::string_view kJournalTitle = "table files swap";
// A journal of moves names the table's own files as the ones to move: cut short, it had moved
// nothing and drops nothing.
constexpr std::string_view kMoveJournalTitle = "table files move";
constexpr std::string_view kJournalEnd = "end";

std::string FolderOf(std::string_view path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string NameOf(std::string_view path) {
    const auto slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

[[noreturn]] void RaiseStatus(const platform::os::Status& status, std::string_view name) {
    RaiseEngineFileError(static_cast<EngineErrorCode>(status.code()), name, status.sys_errno());
}

// Moves and deletes of table files: in memory through the file registry; on
// disk straight through the operating system, since another program may have
// made some of the moves that this one's registry does not know of.
class Files {
  public:
    explicit Files(bool memory) : memory_(memory) {}
    bool Exists(const std::string& path) const {
        if (!memory_)
            return platform::os::FileExists(path);
        TFileHandler file;
        Name(file, path);
        return file.FileExists();
    }
    void Delete(const std::string& path) const {
        if (!memory_) {
            FileStep();
            const platform::os::Status status = platform::os::DeleteFile(path);
            // Gone already is what the step wanted.
            if (!status.ok() && status.code() != kErrInvalidPath)
                RaiseStatus(status, NameOf(path));
            return;
        }
        TFileHandler file;
        Name(file, path);
        if (file.FileExists())
            file.DeleteFile();
    }
    void Move(const std::string& from, const std::string& to) const {
        if (!memory_) {
            FileStep();
            const platform::os::Status status = platform::os::MoveFile(from, to);
            if (!status.ok())
                RaiseStatus(status, NameOf(from));
            return;
        }
        TFileHandler file;
        Name(file, from);
        file.RenameFile(to);
    }

  private:
    void Name(TFileHandler& file, const std::string& path) const {
        file.SetName(path);
        file.SetInMemory(memory_);
    }
    bool memory_;
};

// Each step checks what is already done, so running the list again after a
// kill anywhere in it ends in the same place.
void RunMoves(std::span<const FileReplacement> files, bool memory) {
    const Files io(memory);
    for (const FileReplacement& f : files) {
        if (!f.staged.empty() && !io.Exists(f.staged))
            continue;
        if (io.Exists(f.target)) {
            if (f.backup.empty()) {
                io.Delete(f.target);
            } else {
                io.Delete(f.backup);
                io.Move(f.target, f.backup);
            }
        }
        if (!f.staged.empty())
            io.Move(f.staged, f.target);
    }
}

// A file in the journal's folder is named alone; one in another folder (a move of a table into
// another folder) by its whole path, which no name alone can be taken for.
std::string JournalName(const std::string& path, const std::string& folder) {
    if (path.empty() || FolderOf(path) == folder)
        return NameOf(path);
    std::error_code error;
    const std::filesystem::path whole = std::filesystem::absolute(path, error);
    if (error)
        RaiseEngineError(kErrInvalidPath, NameOf(path));
    return whole.generic_string();
}

bool NamesWholePath(std::string_view line) {
    return line.find_first_of("/\\") != std::string_view::npos;
}

std::string JournalText(std::span<const FileReplacement> files, const std::string& folder,
                        bool complete = true, std::string_view title = kJournalTitle) {
    std::string text(title);
    text += '\n';
    for (const FileReplacement& f : files) {
        for (const std::string* path : {&f.target, &f.staged, &f.backup}) {
            const std::string name = JournalName(*path, folder);
            if (name.find_first_of("\r\n") != std::string::npos)
                RaiseEngineError(kErrInvalidPath, name);
            text += name;
            text += '\n';
        }
    }
    if (complete) {
        text += kJournalEnd;
        text += '\n';
    }
    return text;
}

// A journal without its last line: it names the new files before they are moved
// in beside the table, so that the next open removes them when this program
// stops before the journal is complete. It stays open, and so held, until the
// complete journal is written over it: another program's open is refused
// meanwhile instead of taking the new files for abandoned ones.
platform::os::File WriteUnfinishedJournal(const std::string& journal_path,
                                          std::span<const FileReplacement> files) {
    const std::string text = JournalText(files, FolderOf(journal_path), false);
    FileStep();
    auto created = platform::os::File::Create(journal_path);
    if (!created.ok())
        RaiseStatus(created.status(), NameOf(journal_path));
    platform::os::File journal = std::move(created).value();
    const auto written = journal.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())));
    platform::os::Status status =
        written.ok() ? journal.Flush(platform::os::FlushKind::kDataOnly) : written.status();
    if (status.ok())
        status = platform::os::SyncDirectory(FolderOf(journal_path));
    if (!status.ok()) {
        (void)journal.Close();
        (void)platform::os::DeleteFile(journal_path);
        RaiseStatus(status, NameOf(journal_path));
    }
    return journal;
}

// ReplaceTableFiles, with the journal written into `held` when it is open.
void ReplaceWithJournal(std::string_view journal_path, std::span<const FileReplacement> files,
                        platform::os::File* held, std::string_view title = kJournalTitle);

// The replacements a journal names, or none when it was cut short.
std::vector<FileReplacement> ParseJournal(std::string_view text, const std::string& folder,
                                          bool& complete, bool& moves) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto end = text.find('\n', at);
        if (end == std::string_view::npos)
            break;  // a last line without its end of line was cut short
        lines.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    moves = !lines.empty() && lines.front() == kMoveJournalTitle;
    complete = lines.size() >= 2 && (lines.front() == kJournalTitle || moves) &&
               lines.back() == kJournalEnd && (lines.size() - 2) % 3 == 0;
    std::vector<FileReplacement> files;
    const std::size_t usable = lines.empty() ? 0 : (lines.size() - 1) / 3 * 3;
    for (std::size_t i = 1; i + 2 <= usable && i + 2 < lines.size(); i += 3) {
        const auto full = [&](const std::string& name) {
            return name.empty() || NamesWholePath(name) ? name : folder + name;
        };
        if (lines[i].empty())
            continue;
        files.push_back({full(lines[i]), full(lines[i + 1]), full(lines[i + 2])});
    }
    return files;
}

}  // namespace

void PlaceRebuiltTable(TDataDirectory& home, TDataDirectory& work, std::string_view temp_name,
                       std::string_view table_name, bool keep_backup, bool in_memory) {
    const auto base_of = [](std::string_view name) {
        const auto dot = name.find_last_of('.');
        const auto slash = name.find_last_of("/\\");
        if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
            name = name.substr(0, dot);
        return std::string(name);
    };
    const std::string staged = home.MakeTempTableName(in_memory);
    const std::string staged_base = base_of(staged);
    const std::string temp_base = base_of(temp_name);
    const std::string table_base = base_of(table_name);
    if (in_memory) {
        const int renamed = work.RenameTable(temp_name, staged_base, false, true);
        if (renamed < 0)
            RaiseEngineError(static_cast<EngineErrorCode>(-renamed), table_name);
        const int replaced = home.DeleteTable(table_name, true);
        if (replaced < 0) {
            home.DeleteTable(staged, true);
            RaiseEngineError(static_cast<EngineErrorCode>(-replaced), table_name);
        }
        const int placed = home.RenameTable(staged, table_base, false, true);
        if (placed < 0)
            RaiseEngineError(static_cast<EngineErrorCode>(-placed), table_name);
        return;
    }
    // A batch may still hold the old files open with changes not yet written: they go to the
    // old files (the backup) before these are moved.
    const int released = home.ReleaseIdleTable(table_name, false);
    if (released < 0) {
        work.DeleteTable(temp_name, false);
        RaiseEngineError(static_cast<EngineErrorCode>(-released), table_name);
    }
    constexpr const char* kExtensions[3] = {".DAT", ".IDX", ".BLB"};
    constexpr const char* kBackups[3] = {".DBK", ".IBK", ".BBK"};
    const bool rooted = table_base.find_first_of("/\\") != std::string::npos;
    const std::string target_base = rooted ? table_base : home.Path() + table_base;
    const std::string journal = SwapJournalPath(target_base);
    std::vector<std::string> moved;
    const auto undo = [&] {
        for (const std::string& name : moved)
            (void)platform::os::DeleteFile(name);
        (void)platform::os::DeleteFile(journal);
    };
    std::vector<FileReplacement> files;
    std::vector<std::string> sources;
    for (int i = 0; i < 3; ++i) {
        const std::string from = work.Path() + temp_base + kExtensions[i];
        std::string to;
        if (platform::os::FileExists(from))
            to = FolderOf(target_base) + staged_base + kExtensions[i];
        const std::string target = target_base + kExtensions[i];
        if (to.empty() && !platform::os::FileExists(target))
            continue;
        files.push_back({target, to, keep_backup ? target_base + kBackups[i] : std::string()});
        sources.push_back(to.empty() ? std::string() : from);
    }
    platform::os::File held;
    try {
        held = WriteUnfinishedJournal(journal, files);
    } catch (...) {
        work.DeleteTable(temp_name, false);
        throw;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (sources[i].empty())
            continue;
        FileStep();
        const platform::os::Status status = platform::os::MoveFile(sources[i], files[i].staged);
        if (!status.ok()) {
            (void)held.Close();
            undo();
            work.DeleteTable(temp_name, false);
            RaiseStatus(status, table_name);
        }
        moved.push_back(files[i].staged);
    }
    try {
        ReplaceWithJournal(journal, files, &held);
    } catch (...) {
        // Without a journal no move was made and the new files are only in
        // the way; with one, the next open finishes the moves.
        if (held.IsOpen()) {
            // Failed before the complete journal was written: no move was made.
            (void)held.Close();
            undo();
        } else if (!platform::os::FileExists(journal)) {
            undo();
        }
        throw;
    }
}

std::string SwapJournalPath(std::string_view base) {
    return std::string(base) + ".SWP";
}

void ReplaceTableFiles(std::string_view journal_path, std::span<const FileReplacement> files,
                       bool in_memory) {
    if (in_memory) {
        RunMoves(files, true);
        return;
    }
    ReplaceWithJournal(journal_path, files, nullptr);
}

namespace {

void ReplaceWithJournal(std::string_view journal_path, std::span<const FileReplacement> files,
                        platform::os::File* held, std::string_view title) {
    const std::string folder = FolderOf(journal_path);
    const std::string text = JournalText(files, folder, true, title);
    FileStep();
    platform::os::File journal;
    if (held != nullptr && held->IsOpen()) {
        journal = std::move(*held);
        // Longer than the unfinished one, the complete text covers it whole.
    } else {
        auto created = platform::os::File::Create(journal_path);
        if (!created.ok())
            RaiseStatus(created.status(), NameOf(journal_path));
        journal = std::move(created).value();
    }
    const auto bytes = std::as_bytes(std::span(text.data(), text.size()));
    const auto written = journal.WriteAt(0, bytes);
    // The new files' contents and the journal reach the disk before any
    // move, and the journal's name before the first move.
    platform::os::Status status =
        written.ok() ? journal.Flush(platform::os::FlushKind::kDataOnly) : written.status();
    if (status.ok())
        status = platform::os::SyncDirectory(folder);
    if (!status.ok()) {
        (void)journal.Close();
        (void)platform::os::DeleteFile(journal_path);
        RaiseStatus(status, NameOf(journal_path));
    }
    RunMoves(files, false);
    (void)journal.Close();
    FileStep();
    status = platform::os::DeleteFile(journal_path);
    if (status.ok())
        status = platform::os::SyncDirectory(folder);
    if (!status.ok() && status.code() != kErrInvalidPath)
        RaiseStatus(status, NameOf(journal_path));
}

}  // namespace

void MoveTableFiles(std::string_view journal_path, std::span<const FileReplacement> files) {
    try {
        ReplaceWithJournal(journal_path, files, nullptr, kMoveJournalTitle);
    } catch (...) {
        // The failure under way is what the caller hears of; a move back that fails too
        // leaves the journal, and the next open moves the files forward.
        const Files io(false);
        try {
            for (auto f = files.rbegin(); f != files.rend(); ++f) {
                if (!io.Exists(f->staged) && io.Exists(f->target))
                    io.Move(f->target, f->staged);
            }
            (void)platform::os::DeleteFile(journal_path);
            (void)platform::os::SyncDirectory(FolderOf(journal_path));
        } catch (...) {
        }
        throw;
    }
}

void FinishTableReplacement(std::string_view journal_path) {
    if (!platform::os::FileExists(journal_path))
        return;
    auto opened = platform::os::File::Open(journal_path);
    if (!opened.ok()) {
        // Gone in between: another program finished it.
        if (opened.code() == kErrInvalidPath)
            return;
        RaiseStatus(opened.status(), NameOf(journal_path));
    }
    platform::os::File journal = std::move(opened).value();
    std::string text;
    const auto size = journal.Size();
    if (size.ok() && *size <= 65536) {
        text.resize(static_cast<std::size_t>(*size));
        const auto read = journal.ReadAt(0, std::as_writable_bytes(std::span(text)));
        text.resize(read.ok() ? static_cast<std::size_t>(*read) : 0);
    }
    const std::string folder = FolderOf(journal_path);
    bool complete = false;
    bool moves = false;
    const std::vector<FileReplacement> files = ParseJournal(text, folder, complete, moves);
    if (complete) {
        RunMoves(files, false);
    } else if (!moves) {
        // No move had started: the new files are only temporary files.
        for (const FileReplacement& f : files) {
            if (!f.staged.empty())
                (void)platform::os::DeleteFile(f.staged);
        }
    }
    (void)journal.Close();
    const platform::os::Status status = platform::os::DeleteFile(journal_path);
    if (!status.ok() && status.code() != kErrInvalidPath)
        RaiseStatus(status, NameOf(journal_path));
    (void)platform::os::SyncDirectory(folder);
}

}  // namespace strata
