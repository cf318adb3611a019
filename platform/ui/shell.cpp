#include "platform/ui/shell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
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

std::string AddressOf(std::string_view target) {
    std::string url(target);
    bool is_address = url.starts_with("http://") || url.starts_with("https://") ||
                      url.starts_with("mailto:") || url.starts_with("file:");
    if (!is_address)
        url = FromQ(QUrl::fromLocalFile(ToQ(target)).toString());
    return url;
}

// The desktop's opener reports only that it started: a browser that refuses to run (as root,
// say) makes it exit with a failure later. Its exit is watched, and `on_failure` runs when it
// failed; an opener still running is showing the page, or waiting on a browser that is.
bool Launch(const std::string& url, std::function<void()> on_failure) {
    const QString opener = QStandardPaths::findExecutable("xdg-open");
    if (opener.isEmpty() || QCoreApplication::instance() == nullptr)
        return QDesktopServices::openUrl(QUrl(ToQ(url)));
    auto* process = new QProcess(QCoreApplication::instance());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process,
                     [process, on_failure](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if ((code != 0 || status != QProcess::NormalExit) && on_failure)
                             on_failure();
                     });
    process->start(opener, {ToQ(url)});
    if (process->waitForStarted())
        return true;
    delete process;
    return false;
}

}  // namespace

bool ShellOpen(std::string_view target) {
    const std::string url = AddressOf(target);
    if (Opener())
        return Opener()(url);
    return Launch(url, nullptr);
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
    // Without a browser to show it the page is still there, to be opened by hand.
    auto say_where = [page] {
        MessageDlg(
            "No web browser could be started to show the help page.  You can open it "
            "yourself from:\r\n\r\n" +
                page,
            mtInformation, {mbOK});
    };
    const std::string url = AddressOf(page);
    if (Opener() ? Opener()(url) : Launch(url, say_where))
        return true;
    say_where();
    return false;
}

}  // namespace ui
