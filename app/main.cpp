// Corvane: the program's start. The application object first, then the main window,
// which stays until the user closes it.

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/forms/main_window.h"
#include "platform/os/file_system.h"
#include "platform/ui/application.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"

namespace {

// The installed help pages beside the program (<prefix>/share/corvane/help), else
// those of the source tree the program was built from.
std::string FindHelpFolder() {
    std::filesystem::path exe(QCoreApplication::applicationDirPath().toStdString());
    std::filesystem::path installed = exe.parent_path() / "share" / "corvane" / "help";
    std::error_code error;
    if (std::filesystem::exists(installed / "index.html", error))
        return installed.string();
    return CORVANE_SOURCE_HELP_DIR;
}

}  // namespace

int main(int argc, char** argv) {
    ui::TApplication application(argc, argv);
    ui::SetApplicationTitle("Corvane for Microsoft Outlook");
    QApplication::setDesktopFileName("corvane");

    auto program_dir = platform::os::ProgramDirectory();
    if (!program_dir) {
        ui::MessageDlg("Corvane cannot create its program folder (error " +
                           std::to_string(program_dir.code()) + ").",
                       ui::mtError, {ui::mbOK});
        return 1;
    }
    ui::SetHelpFolder(FindHelpFolder());

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);

    app::Tfrmmain frmmain(*program_dir, args);
    frmmain.Show();
    return QApplication::exec();
}
