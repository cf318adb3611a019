#pragma once

// TFileList: the process-wide registry of file objects. It owns them, finds
// them by name and kind, decides whether a further open is allowed, deletes
// temporary files at their last close, and copies files.
//
// Names match with blanks trimmed, either separator, and without regard to
// ASCII case (as Windows file names do). Every operation runs under the
// registry's critical section; a file object's own operations then take the
// object's section (lock order: registry, then file object).

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/file_objects.h"

namespace strata {

class TFileList {
  public:
    TFileList() = default;
    ~TFileList();
    TFileList(const TFileList&) = delete;
    TFileList& operator=(const TFileList&) = delete;

    // Each returns a handle id (1 or more), 0, or a negative engine code.
    std::int32_t CreateFile(std::string_view name, bool in_memory, bool temporary,
                            std::shared_ptr<TAbstractFile>& file);
    std::int32_t OpenFile(std::string_view name, bool in_memory, bool sequential,
                          bool write_through, bool temporary, bool exclusive,
                          bool& read_only_attribute, std::shared_ptr<TAbstractFile>& file);
    // -11010 unless `file` is registered with that kind and has open handles.
    std::int32_t CloseFile(const TAbstractFile* file, bool in_memory, std::int32_t id);
    std::int32_t RenameFile(std::string_view name, bool in_memory, std::string_view new_name);
    std::int32_t DeleteFile(std::string_view name, bool in_memory);
    // Copies the whole source into a new (or emptied) target file; a target
    // left incomplete by a failure is deleted.
    std::int32_t CopyToNewFile(TAbstractFile& source, std::int32_t source_id,
                               std::string_view target_name, bool target_in_memory);
    // Copies the named file into `target` at the target handle's position.
    std::int32_t CopyFromNamedFile(TAbstractFile& target, std::int32_t target_id,
                                   std::string_view source_name, bool source_in_memory);
    bool FileExists(std::string_view name, bool in_memory);

    std::size_t Count();

    void Lock() { lock_.lock(); }
    void Unlock() { lock_.unlock(); }

    // The comparable form of a file name: trimmed, '/' separators, lower case.
    static std::string MatchKey(std::string_view name);

  private:
    std::int64_t Find(std::string_view name, bool in_memory) const;
    void Unregister(std::int64_t index);
    std::int32_t CopyData(TAbstractFile& source, std::int32_t source_id, TAbstractFile& target,
                          std::int32_t target_id);

    // Lock order: this lock first, then a file object's (TAbstractFile::Lock). A thread that
    // holds a file object's lock never calls in here: two threads taking them the other way
    // round would each wait for the other. Two file objects are held at once
    // only by the copies, under this lock.
    std::recursive_mutex lock_;
    std::vector<std::shared_ptr<TAbstractFile>> files_;
    // Temporary files removed at their last close, so that a later explicit
    // delete of one succeeds as it did before it vanished.
    std::set<std::string> vanished_temporaries_;
};

}  // namespace strata
