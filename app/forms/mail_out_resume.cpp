#include "app/forms/mail_out_resume.h"

#include <QCoreApplication>

#include "app/forms/send_dialogs.h"
#include "app/list/list_database.h"
#include "app/mail/mail_out.h"
#include "app/mail/mail_out_journal.h"
#include "platform/ui/prompt.h"

namespace app {

void OfferUnfinishedMailOut(Tfrmmain& main, ListServices services, MailContext& context) {
    const std::string dir = services.database.ProgramDir();
    const std::optional<MailOutJournal> journal = ReadMailOutJournal(dir);
    if (!journal)
        return;
    const auto remaining = static_cast<std::int64_t>(journal->Remaining().size());
    if (remaining == 0) {
        DropMailOutJournal(dir);
        return;
    }
    const std::string question =
        "The mail-out \"" + journal->subject + "\" was interrupted after " +
        std::to_string(journal->DoneCount()) + " of " + std::to_string(journal->members.size()) +
        " recipients.  Do you want to send it to the remaining " + std::to_string(remaining) +
        " recipients now?\r\n\r\nNo drops the mail-out.";
    if (ui::MessageDlg(question, ui::mtConfirmation, ui::mbYesNo) != ui::mrYes) {
        DropMailOutJournal(dir);
        return;
    }
    services.database.CreateTemporaryTables();
    struct Tables {
        ListDatabase& database;
        ~Tables() { database.DestroyTemporaryTables(); }
    } tables{services.database};
    MailOut run(services.settings, services.database, context, &services.entries);
    run.OnProgress = [&main](std::string_view caption, std::int64_t position,
                             std::int64_t maximum) {
        main.showprogress(true, position, true, caption, maximum);
    };
    run.OnSendError = [&main, &run](std::string_view text) {
        run.hide_send_errors = ShowSendError(&main, text, run.hide_send_errors);
    };
    run.idle = [] { QCoreApplication::processEvents(); };
    run.Resume(*journal);
    try {
        run.Button2Click();
    } catch (const std::exception& e) {
        ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
    }
    main.hideprogress();
}

}  // namespace app
