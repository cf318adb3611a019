#include "platform/ui/shell.h"

#include <QDesktopServices>
#include <QUrl>

#include <filesystem>

#include "platform/ui/qt_text.h"

namespace ui {
namespace {

std::function<bool(const std::string&)>& Opener() {
    static std::function<bool(const std::string&)> opener;
    return opener;
}

std::string& Folder() {
    static std::string folder;
    return folder;
}

}  // namespace

bool ShellOpen(std::string_view target) {
    std::string url(target);
    bool is_address = url.starts_with("http://") || url.starts_with("https://") ||
                      url.starts_with("mailto:") || url.starts_with("file:");
    if (!is_address)
        url = FromQ(QUrl::fromLocalFile(ToQ(target)).toString());
    if (Opener())
        return Opener()(url);
    return QDesktopServices::openUrl(QUrl(ToQ(url)));
}

void SetShellOpener(std::function<bool(const std::string&)> opener) {
    Opener() = std::move(opener);
}

void SetHelpFolder(std::string_view folder) {
    Folder() = folder;
}

std::string HelpFolder() {
    return Folder();
}

std::string HelpPage(int context) {
    std::filesystem::path folder(Folder());
    if (context != 0) {
        auto page = folder / ("context-" + std::to_string(context) + ".html");
        std::error_code error;
        if (std::filesystem::exists(page, error))
            return page.string();
    }
    return (folder / "index.html").string();
}

bool OpenHelp(int context) {
    return ShellOpen(HelpPage(context));
}

}  // namespace ui
