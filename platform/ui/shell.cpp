#include "platform/ui/shell.h"

#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

#include <cstdlib>
#include <filesystem>

#include "platform/ui/prompt.h"
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

bool ShellEdit(std::string_view file) {
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        const char* command = std::getenv(variable);
        if (command == nullptr || *command == '\0')
            continue;
        // The shell splits the command as the user wrote it; the file goes in
        // as a positional argument, so its name is never parsed.
        return QProcess::startDetached(
            "/bin/sh", {"-c", ToQ(std::string(command) + " \"$1\""), "sh", ToQ(file)});
    }
    return ShellOpen(file);
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
    const std::string page = HelpPage(context);
    if (ShellOpen(page))
        return true;
    // Without a browser to show it the page is still there, to be opened by hand.
    MessageDlg(
        "No web browser could be started to show the help page.  You can open it "
        "yourself from:\r\n\r\n" +
            page,
        mtInformation, {mbOK});
    return false;
}

}  // namespace ui
