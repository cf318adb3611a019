#include "app/forms/choose_category_dialog.h"

#include <QHBoxLayout>

#include "app/routines/text_routines.h"

namespace app {

TdlgChooseCategory::TdlgChooseCategory(QWidget* owner, std::string_view prompt,
                                       const std::vector<std::string>& categories,
                                       std::string_view initial)
    : ui::TForm(owner) {
    SetCaption("List Category");
    SetPosition(ui::poMainFormCenter);
    lblPrompt = new ui::TLabel(Client(), prompt);
    cmbCategory = new ui::TComboBox(Client(), ui::csDropDown);
    for (const std::string& category : categories)
        cmbCategory->Items().Add(category);
    cmbCategory->SetText(initial);
    btnOK = new ui::TButton(Client(), "OK");
    btnOK->SetModalResult(ui::mrOk);
    btnOK->SetDefault(true);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    ClientLayout()->addWidget(lblPrompt);
    ClientLayout()->addWidget(cmbCategory);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(btnOK);
    row->addWidget(btnCancel);
    ClientLayout()->addLayout(row);
    resize(ScaleToScreen(340), sizeHint().height());
}

std::string getcategory(QWidget* owner, std::string_view prompt,
                        const std::vector<std::string>& categories, std::string_view initial) {
    TdlgChooseCategory dialog(owner, prompt, categories, initial);
    if (dialog.ShowModal() != ui::mrOk)
        return {};
    return Trim(dialog.cmbCategory->Text());
}

}  // namespace app
