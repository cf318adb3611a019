#include "app/forms/list_change_dialogs.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QListWidgetItem>
#include <QShortcut>

#include <vector>

#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/mail/address_gathering.h"
#include "app/routines/text_routines.h"
#include "platform/ui/cursor.h"

namespace app {
namespace {

QHBoxLayout* ButtonRow(std::initializer_list<QWidget*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QWidget* button : buttons)
        row->addWidget(button);
    return row;
}

ui::TButton* ModalButton(QWidget* parent, std::string_view caption, ui::TModalResult result) {
    auto* button = new ui::TButton(parent, caption);
    button->SetModalResult(result);
    button->SetDefault(result == ui::mrOk || result == ui::mrYes);
    button->SetCancel(result == ui::mrCancel || result == ui::mrNo);
    return button;
}

}  // namespace

TdlgChangeAddress::TdlgChangeAddress(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Update E-mail Address");
    SetPosition(ui::poMainFormCenter);
    Label1 = new ui::TLabel(Client(), "Change all instances of the address:");
    edtOldAddress = new ui::TEdit(Client());
    edtNewAddress = new ui::TEdit(Client());
    chkIgnoreRules = new ui::TCheckBox(Client(), "Ignore All Rules");
    btnOK = ModalButton(Client(), "OK", ui::mrOk);
    btnCancel = ModalButton(Client(), "Cancel", ui::mrCancel);
    ClientLayout()->addWidget(Label1);
    ClientLayout()->addWidget(edtOldAddress);
    ClientLayout()->addWidget(new ui::TLabel(Client(), "to:"));
    ClientLayout()->addWidget(edtNewAddress);
    ClientLayout()->addWidget(chkIgnoreRules);
    ClientLayout()->addLayout(ButtonRow({btnOK, btnCancel}));
    resize(ScaleToScreen(360), sizeHint().height());
}

bool PromptToModifyAddress(QWidget* owner, EntryProcessor& entries, std::string_view old_address,
                           std::string_view new_address, bool show_ignore_rules) {
    TdlgChangeAddress dialog(owner);
    dialog.edtOldAddress->SetText(old_address);
    dialog.edtNewAddress->SetText(new_address);
    dialog.chkIgnoreRules->SetVisible(show_ignore_rules);
    if (dialog.ShowModal() != ui::mrOk)
        return false;
    // The box's state is the exception-list check, handed over unchanged.
    entries.ChangeEmailAddress(Trim(dialog.edtOldAddress->Text()),
                               Trim(dialog.edtNewAddress->Text()), dialog.chkIgnoreRules->Checked(),
                               true);
    return true;
}

TdlgSenderMethod::TdlgSenderMethod(QWidget* owner, std::string_view message, bool always_show)
    : ui::TForm(owner) {
    SetCaption("Sender Address Retrieval");
    SetPosition(ui::poMainFormCenter);
    lblMessage = new ui::TLabel(Client(), message);
    lblMessage->setWordWrap(true);
    chkAlwaysShow = new ui::TCheckBox(Client(), "Always show this message");
    chkAlwaysShow->SetChecked(always_show);
    btnYes = ModalButton(Client(), "Yes", ui::mrYes);
    btnNo = ModalButton(Client(), "No", ui::mrNo);
    ClientLayout()->addWidget(lblMessage);
    ClientLayout()->addWidget(chkAlwaysShow);
    ClientLayout()->addLayout(ButtonRow({btnYes, btnNo}));
    resize(ScaleToScreen(440), sizeHint().height());
}

bool PromptSenderMethodChange(QWidget* owner, std::string_view message, bool& always_show) {
    TdlgSenderMethod dialog(owner, message, always_show);
    const bool yes = dialog.ShowModal() == ui::mrYes;
    always_show = dialog.chkAlwaysShow->Checked();
    return yes;
}

Tdlgreprocess::Tdlgreprocess(QWidget* owner, EntryProcessor& entries)
    : ui::TForm(owner), entries_(entries) {
    SetCaption("Reprocess Entry");
    SetPosition(ui::poMainFormCenter);
    rdbadd = new ui::TRadioButton(Client(), "Add E-mail Address");
    rdbremove = new ui::TRadioButton(Client(), "Remove E-mail Address");
    rdbadd->SetChecked(true);
    edtemail = new ui::TEdit(Client());
    edtcategory = new ui::TComboBox(Client());
    chkIgnoreRules = new ui::TCheckBox(Client(), "Ignore All Rules");
    auto* reason = new ui::TGroupBox(Client(), "Why E-mail Address is Invalid");
    memReason = new ui::TMemo(reason);
    memReason->setReadOnly(true);
    memReason->setMaximumHeight(ScaleToScreen(60));
    reason->Layout()->addWidget(memReason);
    btnOK = ModalButton(Client(), "OK", ui::mrOk);
    btnCancel = ModalButton(Client(), "Cancel", ui::mrCancel);
    ClientLayout()->addWidget(rdbadd);
    ClientLayout()->addWidget(rdbremove);
    ClientLayout()->addWidget(new ui::TLabel(Client(), "E-mail Address:"));
    ClientLayout()->addWidget(edtemail);
    ClientLayout()->addWidget(new ui::TLabel(Client(), "Category:"));
    ClientLayout()->addWidget(edtcategory);
    ClientLayout()->addWidget(chkIgnoreRules);
    ClientLayout()->addWidget(reason);
    ClientLayout()->addLayout(ButtonRow({btnOK, btnCancel}));
    edtemail->OnChange = [this] { edtemailChange(); };
    OnShow = [this] { FormShow(); };
    resize(ScaleToScreen(360), sizeHint().height());
}

void Tdlgreprocess::FormShow() {
    memReason->Lines().Clear();
    if (!edtemail->Text().empty())
        memReason->SetText(RefusalReason(entries_, edtemail->Text()));
    edtemailChange();
}

void Tdlgreprocess::edtemailChange() {
    btnOK->SetEnabled(!edtemail->Text().empty());
}

Tdlgerrors::Tdlgerrors(QWidget* owner, EntryProcessor& entries, ErrorsList& errors)
    : ui::TForm(owner), entries_(entries), errors_(errors) {
    SetCaption("Errors");
    SetPosition(ui::poMainFormCenter);
    lbxerrors = new ui::TListBox(Client());
    lbxerrors->SetMultiSelect(true);
    btnreprocess = new ui::TButton(Client(), "Reprocess Entry..");
    btndeleteentry = new ui::TButton(Client(), "Delete Entry");
    btnClose = ModalButton(Client(), "Close", ui::mrOk);
    // Escape closes it as it closes the log and the statistics.
    btnClose->SetCancel(true);
    auto* reason = new ui::TGroupBox(Client(), "Why the request was refused");
    memReason = new ui::TMemo(reason);
    memReason->setReadOnly(true);
    memReason->setMaximumHeight(ScaleToScreen(60));
    reason->Layout()->addWidget(memReason);
    ClientLayout()->addWidget(lbxerrors, 1);
    ClientLayout()->addWidget(reason);
    ClientLayout()->addLayout(ButtonRow({btnreprocess, btndeleteentry, btnClose}));
    lbxerrors->OnClick = [this] { lbxerrorsClick(); };
    // Lines chosen with the keyboard enable the buttons as a click does.
    QObject::connect(lbxerrors, &QListWidget::itemSelectionChanged, lbxerrors,
                     [this] { lbxerrorsClick(); });
    lbxerrors->OnDblClick = [this] {
        if (lbxerrors->SelCount() > 0)
            btnreprocessClick();
    };
    // The Delete key deletes the selected lines.
    auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), lbxerrors, nullptr, nullptr,
                              Qt::WidgetShortcut);
    QObject::connect(del, &QShortcut::activated, lbxerrors, [this] {
        if (lbxerrors->SelCount() > 0)
            btndeleteentryClick();
    });
    btnreprocess->OnClick = [this] { btnreprocessClick(); };
    btndeleteentry->OnClick = [this] { btndeleteentryClick(); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { StoreLines(); };
    resize(ScaleToScreen(460), ScaleToScreen(320));
}

std::string Tdlgerrors::LineReason(const std::string& line) {
    std::string reason = errors_.Reason(line);
    if (!reason.empty())
        return reason;
    // A line kept from an earlier run has no recorded reason: the validator's verdict on
    // its address is what can still be told.
    const ReprocessRequest request = ParseErrorLine(line);
    if (request.modify)
        return RefusalReason(entries_, request.new_address);
    return RefusalReason(entries_, request.email);
}

void Tdlgerrors::LoadLines() {
    lbxerrors->Items().Clear();
    for (const std::string& line : errors_.Lines()) {
        lbxerrors->Items().Add(line);
        lbxerrors->item(lbxerrors->count() - 1)
            ->setToolTip(QString::fromStdString(LineReason(line)));
    }
    lbxerrorsClick();
}

void Tdlgerrors::StoreLines() {
    std::vector<std::string> lines;
    for (std::int64_t i = 0; i < lbxerrors->Items().Count(); ++i)
        lines.push_back(lbxerrors->Items().Get(i));
    errors_.SetLines(std::move(lines));
}

void Tdlgerrors::FormShow() {
    ui::THourglass hourglass;
    errors_.SortUnique();
    LoadLines();
}

void Tdlgerrors::lbxerrorsClick() {
    const int current = lbxerrors->ItemIndex();
    memReason->SetText(current >= 0 && current < lbxerrors->Items().Count()
                           ? LineReason(lbxerrors->Items().Get(current))
                           : std::string());
    const bool selected = lbxerrors->SelCount() > 0;
    btnreprocess->SetEnabled(selected);
    btndeleteentry->SetEnabled(selected);
}

void Tdlgerrors::btndeleteentryClick() {
    std::vector<std::int64_t> selected;
    for (int i = 0; i < lbxerrors->Items().Count(); ++i) {
        if (lbxerrors->Selected(i))
            selected.push_back(i);
    }
    if (selected.empty())
        return;
    StoreLines();
    const std::int64_t next = errors_.DeleteLines(selected);
    LoadLines();
    if (next >= 0) {
        lbxerrors->SetItemIndex(static_cast<int>(next));
        lbxerrors->SetSelected(static_cast<int>(next), true);
    }
    lbxerrorsClick();
    lbxerrors->setFocus();
}

void Tdlgerrors::btnreprocessClick() {
    const int current = lbxerrors->ItemIndex();
    if (current < 0)
        return;
    StoreLines();
    const ReprocessRequest request = ParseErrorLine(lbxerrors->Items().Get(current));
    bool removed = false;
    if (request.modify) {
        if (PromptToModifyAddress(this, entries_, request.email, request.new_address, true)) {
            errors_.DeleteCurrentLine(current);
            removed = true;
        }
    } else {
        Tdlgreprocess dialog(this, entries_);
        for (const std::string& category : entries_.settings().lbxcategories)
            dialog.edtcategory->Items().Add(category);
        dialog.rdbadd->SetChecked(request.add);
        dialog.rdbremove->SetChecked(!request.add);
        dialog.edtemail->SetText(request.email);
        dialog.edtcategory->SetText(request.category);
        if (dialog.ShowModal() == ui::mrOk) {
            errors_.DeleteCurrentLine(current);
            removed = true;
            entries_.Reprocess(dialog.rdbadd->Checked(), Trim(dialog.edtemail->Text()),
                               Trim(dialog.edtcategory->Text()), dialog.chkIgnoreRules->Checked());
        }
    }
    LoadLines();
    if (removed && lbxerrors->Items().Count() > 0) {
        const int select = std::min<int>(current, static_cast<int>(lbxerrors->Items().Count()) - 1);
        lbxerrors->SetItemIndex(select);
        lbxerrors->SetSelected(select, true);
        lbxerrorsClick();
        lbxerrors->setFocus();
    }
}

}  // namespace app
