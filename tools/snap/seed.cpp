// corvane_seed <program folder> [--entries N] [--categories a,b,...] [--startup-check]
//              [--smtp-port P] [--request FILE]...
// Prepares a program folder for a run of the real program: a list database with N
// entries, settings (database in the program folder, optionally the start-up check and
// acknowledgements through an SMTP server on 127.0.0.1:P), and request mails in the list
// folder of the embedded mail store. The registry is the one $XDG_CONFIG_HOME names.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/acknowledgement.h"
#include "app/routines/file_routines.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/date_time.h"
#include "platform/db/whole_file.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/mail_store.h"
#include "platform/ui/prompt.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: corvane_seed <program folder> [options]\n");
        return 1;
    }
    const std::string home = app::AppendPathDelimiter(argv[1]);
    int entries = 0;
    int smtp_port = 0;
    bool startup_check = false;
    std::vector<std::string> requests;
    std::vector<std::string> categories = {"news", "newsletter", "events", "sport", "members"};
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--entries" && i + 1 < argc)
            entries = std::atoi(argv[++i]);
        else if (arg == "--smtp-port" && i + 1 < argc)
            smtp_port = std::atoi(argv[++i]);
        else if (arg == "--categories" && i + 1 < argc) {
            categories.clear();
            std::string list = argv[++i];
            for (std::size_t start = 0; start <= list.size();) {
                const std::size_t comma = std::min(list.find(',', start), list.size());
                categories.push_back(list.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (arg == "--startup-check")
            startup_check = true;
        else if (arg == "--request" && i + 1 < argc)
            requests.emplace_back(argv[++i]);
        else {
            std::fprintf(stderr, "corvane_seed: unknown argument %s\n", arg.c_str());
            return 1;
        }
    }
    try {
        auto prompts = std::make_unique<ui::ScriptedPromptService>();
        prompts->Answer(ui::mrYes);
        ui::ScopedPromptService scope(std::move(prompts));
        app::Settings settings;
        app::Loadentries(settings, home);
        {
            app::ListDatabase database(settings, home);
            if (!database.OpenDatabase(home))
                throw std::runtime_error("the database could not be created");
            strata::TStrataTable& table = database.tblCV();
            for (int i = 0; i < entries; ++i) {
                table.Append();
                table.FieldByName("Item")->SetAsString("member" + std::to_string(i) +
                                                       "@example.org");
                table.FieldByName("Category")->SetAsString(categories[i % categories.size()]);
                table.FieldByName("Name")->SetAsString("Member " + std::to_string(i));
                table.FieldByName("Salutation")->SetAsString("Zoë" + std::to_string(i));
                table.FieldByName("Bounces")->SetAsInteger(i % 3);
                table.Post();
            }
            // Two weeks of daily counts for the statistics, when there is a list at all.
            for (int day = 1; entries > 0 && day <= 14; ++day) {
                const db::TDateTime date = db::EncodeDate(2026, 3, day);
                for (int n = 0; n < (day * 7) % 5 + 1; ++n)
                    database.AddStatRecord(app::kStatSubscribe, date);
                for (int n = 0; n < day % 3; ++n)
                    database.AddStatRecord(app::kStatUnsubscribe, date);
                if (day % 4 == 0)
                    database.AddStatRecord(app::kStatBounce, date);
            }
            database.SaveDatabase();
            database.SaveRecentList();
        }
        settings.AutoScanStartUp = startup_check;
        if (smtp_port != 0) {
            settings.SendAcknowledgement = true;
            settings.EmailMethod = app::kMethodSmtp;
            settings.SMTPHost = "127.0.0.1";
            settings.SMTPPort = smtp_port;
            settings.SMTPEmail = "list@example.org";
        }
        app::SaveEntries(settings, home);
        if (!requests.empty()) {
            auto store = mail::MailStore::OpenMaildir(mail::MailSettings{}, home + "Mail",
                                                      settings.ListFolder());
            mail::Folder& folder = store->Root(1).SubFolder(settings.ListFolder());
            for (const std::string& file : requests)
                folder.AppendMessage(db::ReadWholeFile(file), false);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane_seed: %s\n", e.what());
        return 1;
    }
    return 0;
}
