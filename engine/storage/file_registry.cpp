#include "engine/storage/file_registry.h"

#include <algorithm>
#include <vector>

#include "engine/storage/engine_error_codes.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"

namespace strata {
namespace {

std::int32_t Negative(int code) {
    SetLastFileOsError(0);
    return -static_cast<std::int32_t>(code);
}

std::string VanishedKey(std::string_view name, bool in_memory) {
    return (in_memory ? "m:" : "p:") + TFileList::MatchKey(name);
}

// The file part of a name without its extension, trimmed.
std::string_view BareName(std::string_view name) {
    const std::size_t separator = name.find_last_of("\\/:");
    std::string_view file = separator == std::string_view::npos ? name : name.substr(separator + 1);
    const std::size_t dot = file.rfind('.');
    if (dot != std::string_view::npos) {
        file = file.substr(0, dot);
    }
    return platform::nls::Trim(file);
}

std::shared_ptr<TAbstractFile> MakeFile(std::string_view name, bool in_memory) {
    return WithEngineMemory([&]() -> std::shared_ptr<TAbstractFile> {
        if (in_memory) {
            return std::make_shared<TMemoryFile>(platform::nls::Trim(name));
        }
        return std::make_shared<TPhysicalFile>(platform::nls::Trim(name));
    });
}

class FileObjectGuard {
  public:
    explicit FileObjectGuard(TAbstractFile& file) : file_(file) { file_.Lock(); }
    ~FileObjectGuard() { file_.Unlock(); }
    FileObjectGuard(const FileObjectGuard&) = delete;
    FileObjectGuard& operator=(const FileObjectGuard&) = delete;

  private:
    TAbstractFile& file_;
};

}  // namespace

std::string TFileList::MatchKey(std::string_view name) {
    std::string key(platform::nls::Trim(name));
    for (char& c : key) {
        c = c == '\\' ? '/' : platform::nls::AsciiLower(c);
    }
    return key;
}

TFileList::~TFileList() = default;

std::int64_t TFileList::Find(std::string_view name, bool in_memory) const {
    const std::string key = MatchKey(name);
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (files_[i]->IsMemoryFile() == in_memory && MatchKey(files_[i]->Name()) == key) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

void TFileList::Unregister(std::int64_t index) {
    files_.erase(files_.begin() + index);
}

std::size_t TFileList::Count() {
    std::lock_guard guard(lock_);
    return files_.size();
}

std::int32_t TFileList::CreateFile(std::string_view name, bool in_memory, bool temporary,
                                   std::shared_ptr<TAbstractFile>& file) {
    std::lock_guard guard(lock_);
    file.reset();
    if (BareName(name).empty()) {
        return Negative(kErrInvalidPath);
    }
    std::shared_ptr<TAbstractFile> object;
    const std::int64_t index = Find(name, in_memory);
    if (index >= 0) {
        object = files_[static_cast<std::size_t>(index)];
        if (object->OpenCount() > 0) {
            return Negative(kErrAccessDenied);
        }
    } else {
        object = MakeFile(name, in_memory);
        WithEngineMemory([&] { files_.push_back(object); });
    }
    vanished_temporaries_.erase(VanishedKey(name, in_memory));
    object->SetExclusive(true);
    object->SetTemporary(temporary);
    const std::int32_t id = object->CreateFile();
    if (id > 0) {
        file = std::move(object);
    }
    return id;
}

std::int32_t TFileList::OpenFile(std::string_view name, bool in_memory, bool sequential,
                                 bool write_through, bool temporary, bool exclusive,
                                 bool& read_only_attribute, std::shared_ptr<TAbstractFile>& file) {
    std::lock_guard guard(lock_);
    file.reset();
    read_only_attribute = false;
    std::shared_ptr<TAbstractFile> object;
    const std::int64_t index = Find(name, in_memory);
    if (index >= 0) {
        object = files_[static_cast<std::size_t>(index)];
        if (object->OpenCount() > 0) {
            if (object->Exclusive() || exclusive) {
                return Negative(kErrAccessDenied);
            }
        } else {
            object->SetExclusive(exclusive);
            object->SetTemporary(temporary);
            object->SetWriteThrough(write_through);
            object->SetSequential(sequential);
        }
    } else {
        if (in_memory) {
            return Negative(kErrInvalidPath);
        }
        object = MakeFile(name, false);
        object->SetExclusive(exclusive);
        object->SetTemporary(temporary);
        object->SetWriteThrough(write_through);
        object->SetSequential(sequential);
        WithEngineMemory([&] { files_.push_back(object); });
    }
    const std::int32_t id = object->OpenFile();
    read_only_attribute = object->ReadOnlyAttribute();
    if (id > 0) {
        vanished_temporaries_.erase(VanishedKey(name, in_memory));
        file = std::move(object);
    }
    return id;
}

std::int32_t TFileList::CloseFile(const TAbstractFile* file, bool in_memory, std::int32_t id) {
    std::lock_guard guard(lock_);
    const auto it = std::find_if(files_.begin(), files_.end(),
                                 [&](const auto& registered) { return registered.get() == file; });
    if (file == nullptr || it == files_.end() || (*it)->IsMemoryFile() != in_memory ||
        (*it)->OpenCount() < 1) {
        return Negative(kErrInvalidPath);
    }
    std::shared_ptr<TAbstractFile> object = *it;
    object->CloseHandle(id);
    if (object->OpenCount() == 0 && object->Temporary()) {
        // A physical temporary file was opened or created to be deleted as
        // its descriptor closes; a memory one is dropped with its object.
        WithEngineMemory(
            [&] { vanished_temporaries_.insert(VanishedKey(object->Name(), in_memory)); });
        files_.erase(it);
    }
    return 0;
}

std::int32_t TFileList::RenameFile(std::string_view name, bool in_memory,
                                   std::string_view new_name) {
    std::lock_guard guard(lock_);
    const std::int64_t index = Find(name, in_memory);
    const std::int64_t target = Find(new_name, in_memory);
    if (target >= 0 && target != index) {
        if (files_[static_cast<std::size_t>(target)]->OpenCount() > 0) {
            return Negative(kErrAccessDenied);
        }
        if (in_memory) {
            return Negative(kErrUnknownOs);  // as a move onto an existing file
        }
    }
    if (index >= 0) {
        std::shared_ptr<TAbstractFile> object = files_[static_cast<std::size_t>(index)];
        if (object->OpenCount() > 0) {
            return Negative(kErrAccessDenied);
        }
        const std::int32_t result = object->Rename(platform::nls::Trim(new_name));
        if (result == 0 && target >= 0 && target != index) {
            // A closed object of the old target name would now stand for the
            // renamed file's path a second time.
            Unregister(target);
        }
        return result;
    }
    if (in_memory) {
        return Negative(kErrInvalidPath);
    }
    TPhysicalFile transient(platform::nls::Trim(name));
    const std::int32_t result = transient.Rename(platform::nls::Trim(new_name));
    if (result == 0 && target >= 0) {
        Unregister(target);
    }
    return result;
}

std::int32_t TFileList::DeleteFile(std::string_view name, bool in_memory) {
    std::lock_guard guard(lock_);
    const std::int64_t index = Find(name, in_memory);
    if (index >= 0) {
        std::shared_ptr<TAbstractFile> object = files_[static_cast<std::size_t>(index)];
        if (object->OpenCount() > 0) {
            return Negative(kErrAccessDenied);
        }
        const std::int32_t result = object->Delete();
        Unregister(index);
        return result;
    }
    const std::string vanished = VanishedKey(name, in_memory);
    if (in_memory) {
        return vanished_temporaries_.erase(vanished) > 0 ? 0 : Negative(kErrInvalidPath);
    }
    TPhysicalFile transient(platform::nls::Trim(name));
    const std::int32_t result = transient.Delete();
    if (result == Negative(kErrInvalidPath) && vanished_temporaries_.count(vanished) > 0) {
        vanished_temporaries_.erase(vanished);
        return 0;
    }
    return result;
}

bool TFileList::FileExists(std::string_view name, bool in_memory) {
    std::lock_guard guard(lock_);
    const std::int64_t index = Find(name, in_memory);
    if (in_memory) {
        return index >= 0;
    }
    // A file held open here stays where it is; a closed one may have been
    // moved or deleted by another program since, so the system is asked.
    if (index >= 0 && files_[static_cast<std::size_t>(index)]->OpenCount() > 0) {
        return true;
    }
    return platform::os::FileExists(platform::nls::Trim(name));
}

std::int32_t TFileList::CopyData(TAbstractFile& source, std::int32_t source_id,
                                 TAbstractFile& target, std::int32_t target_id) {
    std::vector<std::byte> buffer;
    WithEngineMemory([&] { buffer.resize(static_cast<std::size_t>(kFileBlockSize)); });
    for (;;) {
        const std::int64_t count = source.Read(source_id, buffer);
        if (count < 0) {
            return static_cast<std::int32_t>(count);
        }
        if (count > 0) {
            const std::int64_t written = target.Write(
                target_id,
                std::span<const std::byte>(buffer.data(), static_cast<std::size_t>(count)));
            if (written != count) {
                return written < 0 ? static_cast<std::int32_t>(written) : Negative(kErrWrite);
            }
        }
        if (count < kFileBlockSize) {
            return 0;
        }
    }
}

std::int32_t TFileList::CopyToNewFile(TAbstractFile& source, std::int32_t source_id,
                                      std::string_view target_name, bool target_in_memory) {
    std::lock_guard guard(lock_);
    std::shared_ptr<TAbstractFile> target;
    const std::int32_t target_id = CreateFile(target_name, target_in_memory, false, target);
    if (target_id < 0) {
        return target_id;
    }
    std::int32_t result = 0;
    {
        FileObjectGuard source_guard(source);
        source.Seek(source_id, 0, SeekOrigin::kBegin);
        result = CopyData(source, source_id, *target, target_id);
    }
    const int os_error = LastFileOsError();
    CloseFile(target.get(), target_in_memory, target_id);
    if (result < 0) {
        DeleteFile(target_name, target_in_memory);
        SetLastFileOsError(os_error);
    }
    return result;
}

std::int32_t TFileList::CopyFromNamedFile(TAbstractFile& target, std::int32_t target_id,
                                          std::string_view source_name, bool source_in_memory) {
    std::lock_guard guard(lock_);
    std::shared_ptr<TAbstractFile> source;
    bool read_only_attribute = false;
    const std::int32_t source_id = OpenFile(source_name, source_in_memory, true, false, false, true,
                                            read_only_attribute, source);
    if (source_id < 0) {
        return source_id;
    }
    std::int32_t result = 0;
    {
        FileObjectGuard target_guard(target);
        source->Seek(source_id, 0, SeekOrigin::kBegin);
        result = CopyData(*source, source_id, target, target_id);
    }
    const int os_error = LastFileOsError();
    CloseFile(source.get(), source_in_memory, source_id);
    SetLastFileOsError(os_error);
    return result;
}

}  // namespace strata
