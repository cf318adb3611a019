#include "engine/storage/storage_library.h"

#include <cerrno>
#include <memory>
#include <mutex>

#include "engine/storage/engine_error_codes.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/exp_token.h"
#include "engine/storage/file_registry.h"
#include "engine/storage/language_char_maps.h"
#include "engine/storage/records_bitmap.h"
#include "platform/nls/text.h"
#include "platform/os/error_codes.h"
#include "platform/os/file_system.h"
#include "platform/os/thread.h"
#include "platform/os/whole_file.h"

namespace strata {
namespace {

struct StorageGlobals {
    std::mutex lock;
    std::unique_ptr<TRecordsBitmapStack> bitmaps;
    std::unique_ptr<TFileList> files;
    std::unique_ptr<TLanguageCharMapsList> char_maps;
};

StorageGlobals& Globals() {
    static StorageGlobals globals;
    return globals;
}

template <class T>
T& Ensure(std::unique_ptr<T>& slot) {
    StorageGlobals& globals = Globals();
    std::lock_guard guard(globals.lock);
    if (!slot) {
        slot = EngineNew<T>();
    }
    return *slot;
}

std::string WithTrailingSeparator(std::string_view directory) {
    std::string result(platform::nls::Trim(directory));
    if (!result.empty() && result.back() != '/' && result.back() != '\\') {
        result += '/';
    }
    return platform::os::NormalizeSeparators(result);
}

}  // namespace

void InitializeStorageLibrary() {
    StorageGlobals& globals = Globals();
    (void)ExpTokenStack();
    Ensure(globals.bitmaps);
    Ensure(globals.files);
    Ensure(globals.char_maps);
}

void FinalizeStorageLibrary() {
    StorageGlobals& globals = Globals();
    std::unique_ptr<TLanguageCharMapsList> char_maps;
    std::unique_ptr<TFileList> files;
    std::unique_ptr<TRecordsBitmapStack> bitmaps;
    {
        std::lock_guard guard(globals.lock);
        char_maps = std::move(globals.char_maps);
        files = std::move(globals.files);
        bitmaps = std::move(globals.bitmaps);
    }
    // Freed outside the lock, in reverse order of creation.
    char_maps.reset();
    files.reset();
    bitmaps.reset();
    ExpTokenStack().Clear();
}

TFileList& GlobalFileList() {
    return Ensure(Globals().files);
}

TRecordsBitmapStack& GlobalRecordsBitmapStack() {
    return Ensure(Globals().bitmaps);
}

TLanguageCharMapsList& GlobalLanguageCharMaps() {
    return Ensure(Globals().char_maps);
}

std::string GetUniversalPath(std::string_view path) {
    if (platform::os::HasNul(path)) {
        return {};
    }
    const std::string_view trimmed = platform::nls::Trim(path);
    std::string universal = platform::os::UniversalName(trimmed);
    // A directory given with its trailing separator keeps it.
    if (!universal.empty() && universal.back() != '/' && !trimmed.empty() &&
        (trimmed.back() == '/' || trimmed.back() == '\\')) {
        universal += '/';
    }
    return universal;
}

bool EngineFileExists(std::string_view name, bool in_memory) {
    return GlobalFileList().FileExists(name, in_memory);
}

std::string MakeTempFileName(std::string_view directory, std::string_view extension,
                             bool in_memory) {
    if (platform::os::HasNul(directory) || platform::os::HasNul(extension)) {
        const std::string name = std::string(directory) + std::string(extension);
        RaiseEngineError(kErrInvalidPath, name.substr(0, name.find('\0')));
    }
    std::string folder;
    if (platform::nls::Trim(directory).empty()) {
        auto temp = platform::os::TempDirectory();
        if (!temp) {
            RaiseEngineError(static_cast<EngineErrorCode>(temp.code()));
        }
        folder = *temp;
    } else {
        folder = WithTrailingSeparator(directory);
    }
    // The whole thread id, so threads of different processes never share a stem.
    const std::string stem = folder + std::to_string(platform::os::CurrentThreadId());
    TFileList& files = GlobalFileList();
    for (std::uint64_t n = 0;; ++n) {
        std::string name = stem + std::to_string(n) + std::string(extension);
        if (in_memory) {
            if (!files.FileExists(name, true)) {
                return name;
            }
            continue;
        }
        files.Lock();
        const bool known = files.FileExists(name, false);
        // O_EXCL reserves the name, also against other programs and symbolic links.
        const std::error_code error =
            known ? std::error_code{} : platform::os::WriteNewFile(name, {}, 0600);
        files.Unlock();
        if (known) {
            continue;
        }
        if (!error) {
            return name;
        }
        if (error != std::errc::file_exists) {
            RaiseEngineError(
                static_cast<EngineErrorCode>(platform::os::EngineCodeFromErrno(error.value())),
                name);
        }
    }
}

std::string TableVersionText(int version_index) {
    switch (version_index) {
        case 0:
            return "1.00";
        case 1:
            return "1.02";
        case 2:
            return "1.04";
        case 3:
            return "1.08";
        case 4:
            return "2.00";
        default:
            return {};
    }
}

}  // namespace strata
