// Corvane: the program's start. In this order: the application object, the main window,
// the list database (asking for a folder when none opens), then the message loop with the
// main window shown; after it the main window's last shut-down step.

#include <QApplication>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/forms/mail_check.h"
#include "app/forms/mail_out_resume.h"
#include "app/forms/main_window.h"
#include "app/forms/options_dialog.h"
#include "app/forms/send_mail_dialog.h"
#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/mail_store.h"
#include "platform/os/file_system.h"
#include "platform/ui/application.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"
#include "support/one_instance.h"

#if defined(__SANITIZE_ADDRESS__)
// Chromium, inside Qt WebEngine and built without the address checks, frees some of its
// objects through a type of another size; the checker would stop the program at the first
// page its HTML preview shows.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}
#endif

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

    // A second copy on the same program folder hands its parameters to the first and ends
    // without a window; copies on other folders run side by side.
    support::TOneInstance OneInstance1(nullptr);
    OneInstance1.SetScope(*program_dir);
    OneInstance1.Loaded();
    if (OneInstance1.HandedOver()) {
        std::cerr << "Corvane is already running on " << *program_dir
                  << "; its window has been brought to the front.\n";
        return 0;
    }

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);

    app::Settings settings;
    app::ErrorsList errors;
    app::ListDatabase database(settings, *program_dir);
    app::EntryProcessor entries(database, settings, errors);
    app::ListServices services{settings, database, errors, entries};

    app::Tfrmmain frmmain(*program_dir, args, services);
    OneInstance1.OnInstanceStarted = [&frmmain](db::TObject*, db::TStringList&) {
        frmmain.showNormal();
        frmmain.raise();
        frmmain.activateWindow();
    };
    app::MailCheck check(frmmain, services);
    frmmain.OnProcessFolder = [&](bool for_requests, bool for_members) {
        check.Run(for_requests, for_members);
    };
    frmmain.OnMailStore = [&check]() -> mail::MailStore& { return check.Store(); };

    // Passwords kept in the settings file while no keyring ran go to the one that runs now.
    try {
        mail::MovePasswordsToKeyring();
    } catch (const std::exception&) {
        // They stay in the file, to be moved at a later start.
    }
    app::MailContext send_context;
    std::unique_ptr<mail::MailStore> send_store;
    const auto prepare_send = [&] {
        send_context.mail_settings = app::MailSettingsFrom(settings, mail::LoadMailSettings());
        try {
            if (send_store &&
                !app::SameDelivery(send_store->Settings(), send_context.mail_settings))
                send_store.reset();
            if (!send_store)
                send_store = mail::MailStore::Open(send_context.mail_settings,
                                                   *program_dir + "Mail", settings.ListFolder());
        } catch (const std::exception&) {
            // Without a store only the store method fails, with its own message.
        }
        send_context.store = send_store.get();
    };
    frmmain.OnSendEmail = [&] {
        prepare_send();
        app::SendEmailToList(frmmain, services, send_context);
    };
    frmmain.Options().OnListFolders = [&] { return check.FolderNames(); };

    // The database reads its folder and sharing settings itself; every other setting is
    // loaded (and a damaged registry reported, once) when the window is shown.
    frmmain.HoldGridUntilShown();
    if (!database.dmCVCreate())
        frmmain.PromptToLoadDB();
    frmmain.Show();

    // The embedded store and its list folder exist from the first start, so that mail can
    // be put into them before the first check; a store on a server waits for that check.
    // The list folder's name is among the settings the window has just loaded.
    try {
        if (mail::LoadMailSettings().store_url.empty())
            check.Store();
    } catch (const std::exception&) {
        // The check reports what keeps the store closed.
    }
    // A mail-out the last session was killed in is offered to be finished.
    try {
        prepare_send();
        app::OfferUnfinishedMailOut(frmmain, services, send_context);
    } catch (const std::exception& e) {
        ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
    }
    int result = QApplication::exec();
    frmmain.FormDestroy();
    return result;
}
