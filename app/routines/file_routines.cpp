#include "app/routines/file_routines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/routines/error.h"
#include "app/routines/messages.h"
#include "platform/db/exception.h"
#include "platform/db/string_list.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"
#include "platform/ui/prompt.h"

namespace app {

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

using platform::nls::AsciiUpper;

// Offset of the name part: just after the last separator.
std::size_t NameStart(std::string_view path) {
    const std::size_t sep = path.find_last_of("/\\");
    return sep == std::string_view::npos ? 0 : sep + 1;
}

bool Exists(const std::string& path) {
    return platform::os::FileExists(path) || platform::os::DirectoryExists(path);
}

// A root has nothing to create: "/", "\\", "c:", "c:\".
bool IsRoot(std::string_view dir) {
    if (std::all_of(dir.begin(), dir.end(), IsSeparator)) {
        return true;
    }
    return dir.size() >= 2 && dir.size() <= 3 && dir[1] == ':' &&
           ((dir[0] >= 'A' && dir[0] <= 'Z') || (dir[0] >= 'a' && dir[0] <= 'z')) &&
           (dir.size() == 2 || IsSeparator(dir[2]));
}

}  // namespace

std::string GetTempDir() {
    auto dir = platform::os::TempDirectory();
    if (!dir) {
        throw EError("The temporary folder cannot be made (error " + std::to_string(dir.code()) +
                     ")");
    }
    return dir.value();
}

std::string AppendPathDelimiter(std::string_view path) {
    std::string result(platform::nls::Trim(path));
    if (!result.empty() && !IsSeparator(result.back())) {
        result += '/';
    }
    return result;
}

std::string MakeTempCopyName(std::string_view file_name) {
    return MakeUniqueFileName(AppendPathDelimiter(GetTempDir()) + ExtractFileName(file_name), "");
}

std::string MakeUniqueFileName(std::string_view file_name, std::string_view separator,
                               std::int64_t max_candidates) {
    const std::string name = platform::os::NormalizeSeparators(file_name);
    if (!Exists(name)) {
        return name;
    }
    // The name itself was the first candidate.
    const std::string sep = separator.empty() ? std::string("_") : std::string(separator);
    const std::string ext = ExtractFileExt(name);
    const std::string stem = name.substr(0, name.size() - ext.size());
    for (std::int64_t n = 2; n <= max_candidates; ++n) {
        std::string candidate = stem + sep + std::to_string(n) + ext;
        if (!Exists(candidate)) {
            return candidate;
        }
    }
    // Handing back a name in use would let the caller overwrite that file.
    throw EError(std::string(msg::kNoUniqueFileName) + name);
}

std::string ExtractFileExt(std::string_view path) {
    const std::string_view name = path.substr(NameStart(path));
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
}

std::string ExtractFileName(std::string_view path) {
    return std::string(path.substr(NameStart(path)));
}

std::string FileNameWithoutExt(std::string_view path) {
    const std::string name = ExtractFileName(path);
    return name.substr(0, name.size() - ExtractFileExt(name).size());
}

bool DirectoryExistsQuiet(std::string_view dir) {
    return !dir.empty() && platform::os::DirectoryExists(dir);
}

bool SameFileExtension(std::string_view file_name, std::string_view ext) {
    return AsciiUpper(ExtractFileExt(file_name)) == AsciiUpper(ext);
}

bool MatchesExtensionList(std::string_view file_name, std::string_view masks) {
    if (masks == "*.*" || masks == "*.*;") {
        return true;
    }
    std::string ext = AsciiUpper(ExtractFileExt(file_name));
    if (ext.empty() || ext == ".") {
        ext = ".AAA";
    }
    return (AsciiUpper(masks) + ";").find(ext + ";") != std::string::npos;
}

bool SaveTextFile(std::string_view file_name, std::string_view text, bool overwrite) {
    const std::string path = platform::os::ResolvePath(file_name);
    const auto fail = [&](int error) {
        throw db::EInOutError("Cannot write to the file " + path + ": " + std::strerror(error));
    };
    std::string line(text);
    line += '\n';
    // A replaced file is written beside the target and renamed over it, so a
    // failure never leaves it half-written; an append adds to the file in place.
    const std::error_code error = overwrite ? platform::os::ReplaceFileContents(path, line)
                                            : platform::os::AppendToFile(path, line);
    if (error)
        fail(error.value());
    return true;
}

bool EnsureFolder(std::string_view dir, bool ask, bool report) {
    const std::string_view trimmed = platform::nls::Trim(dir);
    if (trimmed.empty() || IsRoot(trimmed)) {
        return false;
    }
    if (platform::os::DirectoryExists(trimmed)) {
        return true;  // asking to create it would be wrong
    }
    const std::string shown(dir);
    if (ask) {
        const std::string question =
            std::string(msg::kFolderDoesNotExist) + shown + std::string(msg::kFolderCreateQuestion);
        if (ui::MessageDlg(question, ui::mtInformation, ui::mbOKCancel) != ui::mrOk) {
            return false;
        }
    }
    if (platform::os::CreateDirectories(trimmed)) {
        return true;
    }
    if (report) {
        ui::MessageDlg(std::string(msg::kFolderCreateFailed) + shown, ui::mtWarning, {ui::mbOK});
    }
    return false;
}

bool ScanFolderFiles(db::TStrings& list, std::string_view dir, std::string_view masks,
                     bool full_path, bool no_extension) {
    list.Clear();
    const std::string folder = platform::os::NormalizeSeparators(dir);
    std::vector<std::string> names;
    std::error_code error;
    if (folder.empty() || !platform::os::DirectoryExists(folder)) {
        error = std::make_error_code(std::errc::no_such_file_or_directory);
    } else {
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            names.push_back(it->path().filename().string());
        }
    }
    if (error) {
        ui::MessageDlg(std::string(msg::kCannotChangeDirectory) + std::string(dir) + ".",
                       ui::mtInformation, {ui::mbOK});
        return false;
    }
    std::sort(names.begin(), names.end());
    const std::string prefix = AppendPathDelimiter(folder);
    list.BeginUpdate();
    for (const std::string& name : names) {
        if (!MatchesExtensionList(name, masks)) {
            continue;
        }
        if (full_path) {
            list.Add(prefix + name);
        } else if (no_extension) {
            list.Add(FileNameWithoutExt(name));
        } else {
            list.Add(name);
        }
    }
    list.EndUpdate();
    return true;
}

}  // namespace app
