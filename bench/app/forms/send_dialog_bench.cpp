// What the main window pays when the send dialog is opened over a large list and a
// category of one entry in a thousand is chosen: the dialog reaches the category's rows
// through the index, and the window's grid waits meanwhile instead of reading the list at
// each change.

#include <benchmark/benchmark.h>

#include <QApplication>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/forms/main_window.h"
#include "app/forms/send_mail_dialog.h"
#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/mail_context.h"
#include "bench/app/list/list_bench_folder.h"
#include "engine/dataset/strata_table.h"
#include "grid/data/db_grid.h"
#include "platform/ui/form.h"

namespace {

void BM_OpenTheSendDialogAndChooseACategory(benchmark::State& state) {
    const std::filesystem::path dir = bench_support::MakeListFolder();
    const std::string home = dir.string() + "/";
    {
        auto yes = bench_support::AnswerYes();
        app::Settings settings;
        app::ListDatabase database(settings, home);
        database.OpenDatabase(home);
        strata::TStrataTable& t = database.tblCV();
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            t.Append();
            t.FieldByName("Item")->SetAsString("m" + std::to_string(i) + "@example.org");
            t.FieldByName("Category")
                ->SetAsString(i % 1000 == 0 ? "news" : "group" + std::to_string(i % 20));
            t.FieldByName("Salutation")->SetAsString("Ann");
            t.Post();
        }
        app::ErrorsList errors;
        app::EntryProcessor entries(database, settings, errors);
        app::Tfrmmain window(home, {}, app::ListServices{settings, database, errors, entries});
        window.Show();
        window.tmrGetEntries.Stop();
        settings.EmailMethod = app::kMethodSmtp;
        app::MailContext context;
        window.OnSendEmail = [&] {
            app::SendEmailToList(window, app::ListServices{settings, database, errors, entries},
                                 context);
        };
        ui::ScopedModalHandler handler([](ui::TForm& form) {
            if (auto* dialog = dynamic_cast<app::TdlgSendMail*>(&form)) {
                dialog->edtfilter->SetText("news");
                dialog->btnrecalcClick();
            }
            form.SetModalResult(ui::mrCancel);
        });
        const std::int64_t read_before = window.gxDBGrid1->RecordsRead();
        for (auto _ : state)
            window.SendEmailtoMailingList1Click();
        state.counters["grid rows read"] =
            benchmark::Counter(static_cast<double>(window.gxDBGrid1->RecordsRead() - read_before),
                               benchmark::Counter::kAvgIterations);
        database.CloseTables();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
BENCHMARK(BM_OpenTheSendDialogAndChooseACategory)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
