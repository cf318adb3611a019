#include "app/forms/stats_dialog.h"

#include <QHBoxLayout>

#include "app/forms/list_grid.h"
#include "app/routines/text_routines.h"
#include "grid/data/db_grid.h"
#include "platform/db/data_source.h"

namespace app {

TdlgStats::TdlgStats(QWidget* owner, db::TDataSet& stats) : ui::TForm(owner) {
    setObjectName("dlgStats");
    SetCaption("Mailing List Statistics");
    SetPosition(ui::poMainFormCenter);
    dscStats_ = db::MakeComponent<db::TDataSource>(nullptr);
    dscStats_->SetDataSet(&stats);
    gxDBGrid1 = new grid::TgxDBGrid(Client());
    gxDBGrid1->setObjectName("gxDBGrid1");
    gxDBGrid1->SetOptions((gxDBGrid1->Options() | grid::egoLoadAllRecords | grid::egoRowSelect) &
                          ~(grid::egoEditing | grid::egoCanDelete | grid::egoCanInsert));
    AddStatsColumns(*gxDBGrid1);
    gxDBGrid1->SetDataSource(dscStats_.get());
    ClientLayout()->addWidget(gxDBGrid1, 1);

    btnHTML = new ui::TButton(Client(), "Export to HTML...");
    btnXLS = new ui::TButton(Client(), "Export to XLS...");
    btnClose = new ui::TButton(Client(), "Close");
    btnClose->SetModalResult(ui::mrOk);
    btnClose->SetCancel(true);
    btnHTML->OnClick = [this] {
        if (OnSaveToFile)
            OnSaveToFile(false, *gxDBGrid1);
    };
    btnXLS->OnClick = [this] {
        if (OnSaveToFile)
            OnSaveToFile(true, *gxDBGrid1);
    };
    auto* row = new QHBoxLayout;
    row->addWidget(btnHTML);
    row->addWidget(btnXLS);
    row->addStretch(1);
    row->addWidget(btnClose);
    ClientLayout()->addLayout(row);
    resize(ScaleToScreen(640), ScaleToScreen(400));
}

TdlgStats::~TdlgStats() {
    // The grid goes before the data source it reads through.
    gxDBGrid1->SetDataSource(nullptr);
}

}  // namespace app
