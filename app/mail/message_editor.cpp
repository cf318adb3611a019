#include "app/mail/message_editor.h"

#include <random>
#include <system_error>

#include "app/routines/error.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "platform/os/file_system.h"
#include "platform/os/whole_file.h"

namespace app {
namespace {

constexpr std::uint32_t kNameRange = 20000000;
constexpr int kAttempts = 100;
constexpr std::string_view kEditorFileName = "HTMLMessage.html";

}  // namespace

bool IsHtmlFileName(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    const std::string_view ext = path.substr(dot);
    return SameText(ext, ".htm") || SameText(ext, ".html");
}

PreviewFile::PreviewFile(std::function<std::uint32_t()> random) : random_(std::move(random)) {
    if (!random_)
        random_ = [engine = std::mt19937(std::random_device{}())]() mutable {
            return static_cast<std::uint32_t>(engine());
        };
}

PreviewFile::~PreviewFile() {
    DeletePreviewFile();
}

const std::string& PreviewFile::Create(std::string_view text) {
    DeletePreviewFile();
    const std::string dir = GetTempDir();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string path =
            dir + "~message" + std::to_string(random_() % kNameRange) + ".html";
        const std::error_code ec = platform::os::WriteNewFile(path, text, 0600);
        if (!ec) {
            name_ = path;
            return name_;
        }
        if (ec != std::errc::file_exists)
            throw EError("The preview file " + path + " cannot be written: " + ec.message());
    }
    throw EError("No free name for a preview file in " + dir);
}

void PreviewFile::DeletePreviewFile() {
    if (name_.empty())
        return;
    (void)platform::os::DeleteFile(name_);
    name_.clear();
}

EditorFile::~EditorFile() {
    Delete();
}

const std::string& EditorFile::Create(std::string_view text) {
    Delete();
    const std::string dir = GetTempDir();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // Another program may take the free name first; O_EXCL then refuses
        // it and the next free one is tried.
        const std::string path = MakeUniqueFileName(dir + std::string(kEditorFileName), "");
        const std::error_code ec = platform::os::WriteNewFile(path, text, 0600);
        if (!ec) {
            name_ = path;
            return name_;
        }
        if (ec != std::errc::file_exists)
            throw EError("The message file " + path + " cannot be written: " + ec.message());
    }
    throw EError("No free name for the message file in " + dir);
}

void EditorFile::Delete() {
    if (name_.empty())
        return;
    (void)platform::os::DeleteFile(name_);
    name_.clear();
}

}  // namespace app
