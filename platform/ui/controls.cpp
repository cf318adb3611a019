#include "platform/ui/controls.h"

#include <QButtonGroup>
#include <QKeySequence>
#include <QShortcut>
#include <QTextBlock>
#include <QVBoxLayout>

#include <type_traits>

#include "platform/ui/application.h"
#include "platform/ui/form.h"
#include "platform/ui/qt_text.h"

namespace ui {
namespace {

void Fire(const TNotify& event) {
    if (event)
        Guarded(event);
}

TForm* FormOf(QWidget* widget) {
    for (QWidget* w = widget; w != nullptr; w = w->parentWidget())
        if (auto* form = dynamic_cast<TForm*>(w))
            return form;
    return nullptr;
}

}  // namespace

TLabel::TLabel(QWidget* parent, std::string_view caption) : TControlOf<QLabel>(parent) {
    SetCaption(caption);
}

std::string TLabel::Caption() const {
    return FromQ(text());
}

void TLabel::SetCaption(std::string_view caption) {
    setText(ToQ(caption));
}

TEdit::TEdit(QWidget* parent) : TControlOf<QLineEdit>(parent) {
    connect(this, &QLineEdit::textChanged, [this] { Fire(OnChange); });
}

std::string TEdit::Text() const {
    return FromQ(text());
}

void TEdit::SetText(std::string_view text) {
    setText(ToQ(text));
}

void TEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    Fire(OnExit);
}

std::vector<std::string> TMemoLines::Lines() const {
    std::vector<std::string> lines;
    const QTextDocument* document = memo_.document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        lines.push_back(FromQ(block.text()));
    // A trailing line break does not start a line of its own.
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

void TMemoLines::SetLines(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += lines[i];
    }
    memo_.setPlainText(ToQ(text));
}

std::int64_t TMemoLines::Count() const {
    int blocks = memo_.document()->blockCount();
    if (blocks == 0)
        return 0;
    QTextBlock last = memo_.document()->lastBlock();
    return last.text().isEmpty() ? blocks - 1 : blocks;
}

std::string TMemoLines::Get(std::int64_t index) const {
    CheckIndex(index, Count());
    return FromQ(memo_.document()->findBlockByNumber(static_cast<int>(index)).text());
}

void TMemoLines::Put(std::int64_t index, std::string_view text) {
    auto lines = Lines();
    CheckIndex(index, static_cast<std::int64_t>(lines.size()));
    lines[static_cast<std::size_t>(index)] = std::string(text);
    SetLines(lines);
}

void TMemoLines::Insert(std::int64_t index, std::string_view text) {
    // Appending reads none of the lines: a memo filled line by line would otherwise copy
    // all its lines again for every line added.
    const std::int64_t count = Count();
    if (index < 0 || index > count)
        ListIndexError(index);
    if (index == count) {
        // Appending keeps the caret and scroll position where the user left them.
        memo_.appendPlainText(ToQ(text));
        return;
    }
    auto lines = Lines();
    lines.insert(lines.begin() + index, std::string(text));
    SetLines(lines);
}

void TMemoLines::Delete(std::int64_t index) {
    auto lines = Lines();
    CheckIndex(index, static_cast<std::int64_t>(lines.size()));
    lines.erase(lines.begin() + index);
    SetLines(lines);
}

void TMemoLines::Clear() {
    memo_.clear();
}

void TMemoLines::ReplaceAll(std::vector<Line> lines) {
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    for (auto& line : lines)
        texts.push_back(std::move(line.first));
    SetLines(texts);
}

TMemo::TMemo(QWidget* parent) : TControlOf<QPlainTextEdit>(parent), lines_(*this) {
    connect(this, &QPlainTextEdit::textChanged, [this] { Fire(OnChange); });
}

std::string TMemo::Text() const {
    return FromQ(toPlainText());
}

void TMemo::SetText(std::string_view text) {
    setPlainText(ToQ(text));
}

TButton::TButton(QWidget* parent, std::string_view caption) : TControlOf<QPushButton>(parent) {
    SetCaption(caption);
    setAutoDefault(false);
    connect(this, &QPushButton::clicked, [this] { Clicked(); });
}

std::string TButton::Caption() const {
    return FromQ(text());
}

void TButton::SetCaption(std::string_view caption) {
    setText(ToQ(caption));
}

void TButton::Clicked() {
    if (modal_result_ != mrNone)
        if (TForm* form = FormOf(this))
            form->SetModalResult(modal_result_);
    Fire(OnClick);
}

void TButton::Click() {
    if (isEnabled())
        click();
}

void TButton::SetDefault(bool value) {
    setDefault(value);
    if (!value)
        return;
    QWidget* window = this->window();
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), window);
        connect(shortcut, &QShortcut::activated, [this] {
            QWidget* focus = QApplication::focusWidget();
            // A multi-line editor keeps Enter for its own line breaks.
            if (dynamic_cast<QPlainTextEdit*>(focus) != nullptr)
                return;
            // Enter on a focused button presses that one, as the class library's buttons
            // do: a click on any other button must never leave the next Enter to run the
            // form's default command.
            if (auto* focused = qobject_cast<QPushButton*>(focus);
                focused != nullptr && focused != this && focused->window() == this->window()) {
                if (focused->isEnabled())
                    focused->click();
                return;
            }
            if (isVisible())
                Click();
        });
    }
}

void TButton::SetCancel(bool value) {
    if (!value)
        return;
    auto* shortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this->window());
    connect(shortcut, &QShortcut::activated, [this] {
        if (isVisible())
            Click();
    });
}

TCheckBox::TCheckBox(QWidget* parent, std::string_view caption) : TControlOf<QCheckBox>(parent) {
    SetCaption(caption);
    connect(this, &QCheckBox::toggled, [this] { Fire(OnClick); });
}

std::string TCheckBox::Caption() const {
    return FromQ(text());
}

void TCheckBox::SetCaption(std::string_view caption) {
    setText(ToQ(caption));
}

TRadioButton::TRadioButton(QWidget* parent, std::string_view caption)
    : TControlOf<QRadioButton>(parent) {
    SetCaption(caption);
    connect(this, &QRadioButton::toggled, [this](bool on) {
        if (on)
            Fire(OnClick);
    });
}

std::string TRadioButton::Caption() const {
    return FromQ(text());
}

void TRadioButton::SetCaption(std::string_view caption) {
    setText(ToQ(caption));
}

void TRadioButton::SetChecked(bool checked) {
    if (checked || !isChecked()) {
        setChecked(checked);
        return;
    }
    // Qt never unchecks the chosen button of an exclusive group by itself.
    setAutoExclusive(false);
    setChecked(false);
    setAutoExclusive(true);
}

TGroupBox::TGroupBox(QWidget* parent, std::string_view caption) : TControlOf<QGroupBox>(parent) {
    SetCaption(caption);
    new QVBoxLayout(this);
}

std::string TGroupBox::Caption() const {
    return FromQ(title());
}

void TGroupBox::SetCaption(std::string_view caption) {
    setTitle(ToQ(caption));
}

QVBoxLayout* TGroupBox::Layout() const {
    return static_cast<QVBoxLayout*>(layout());
}

TPanel::TPanel(QWidget* parent) : TControlOf<QFrame>(parent) {}

template <class Control>
std::int64_t TItemStrings<Control>::Count() const {
    if constexpr (std::is_same_v<Control, TRadioGroup>)
        return static_cast<std::int64_t>(control_.buttons_.size());
    else
        return control_.count();
}

template <class Control>
std::string TItemStrings<Control>::Get(std::int64_t index) const {
    CheckIndex(index, Count());
    int i = static_cast<int>(index);
    if constexpr (std::is_same_v<Control, TRadioGroup>)
        return FromQ(control_.buttons_[static_cast<std::size_t>(i)]->text());
    else if constexpr (std::is_same_v<Control, TComboBox>)
        return FromQ(control_.itemText(i));
    else
        return FromQ(control_.item(i)->text());
}

template <class Control>
void TItemStrings<Control>::Put(std::int64_t index, std::string_view text) {
    CheckIndex(index, Count());
    int i = static_cast<int>(index);
    if constexpr (std::is_same_v<Control, TRadioGroup>)
        control_.buttons_[static_cast<std::size_t>(i)]->setText(ToQ(text));
    else if constexpr (std::is_same_v<Control, TComboBox>)
        control_.setItemText(i, ToQ(text));
    else
        control_.item(i)->setText(ToQ(text));
}

template <class Control>
db::TObject* TItemStrings<Control>::GetObject(std::int64_t index) const {
    CheckIndex(index, Count());
    return objects_[static_cast<std::size_t>(index)];
}

template <class Control>
void TItemStrings<Control>::PutObject(std::int64_t index, db::TObject* object) {
    CheckIndex(index, Count());
    objects_[static_cast<std::size_t>(index)] = object;
}

template <class Control>
std::int64_t TItemStrings<Control>::Add(std::string_view text) {
    std::int64_t index = Count();
    if constexpr (std::is_same_v<Control, TListBox>) {
        if (control_.sorted_) {
            index = 0;
            while (index < Count() && CompareStrings(Get(index), text) <= 0)
                ++index;
        }
    }
    Insert(index, text);
    return index;
}

template <class Control>
void TItemStrings<Control>::Insert(std::int64_t index, std::string_view text) {
    if (index < 0 || index > Count())
        ListIndexError(index);
    int i = static_cast<int>(index);
    if constexpr (std::is_same_v<Control, TRadioGroup>)
        control_.InsertButton(i, text);
    else
        control_.insertItem(i, ToQ(text));
    objects_.insert(objects_.begin() + index, nullptr);
}

template <class Control>
void TItemStrings<Control>::Delete(std::int64_t index) {
    CheckIndex(index, Count());
    int i = static_cast<int>(index);
    if constexpr (std::is_same_v<Control, TRadioGroup>)
        control_.RemoveButton(i);
    else if constexpr (std::is_same_v<Control, TComboBox>)
        control_.removeItem(i);
    else
        delete control_.takeItem(i);
    objects_.erase(objects_.begin() + index);
}

template <class Control>
void TItemStrings<Control>::Clear() {
    if constexpr (std::is_same_v<Control, TRadioGroup>) {
        while (!control_.buttons_.empty())
            control_.RemoveButton(static_cast<int>(control_.buttons_.size()) - 1);
    } else if constexpr (std::is_same_v<Control, TComboBox>) {
        // Clearing the items keeps the text typed into an editable box.
        QString text = control_.currentText();
        control_.clear();
        if (control_.isEditable())
            control_.setEditText(text);
    } else {
        control_.clear();
    }
    objects_.clear();
}

template class TItemStrings<TRadioGroup>;
template class TItemStrings<TComboBox>;
template class TItemStrings<TListBox>;

TRadioGroup::TRadioGroup(QWidget* parent, std::string_view caption)
    : TControlOf<QGroupBox>(parent), group_(new QButtonGroup(this)), items_(*this) {
    SetCaption(caption);
    new QVBoxLayout(this);
    connect(group_, &QButtonGroup::buttonClicked, [this] { Fire(OnClick); });
}

std::string TRadioGroup::Caption() const {
    return FromQ(title());
}

void TRadioGroup::SetCaption(std::string_view caption) {
    setTitle(ToQ(caption));
}

int TRadioGroup::ItemIndex() const {
    for (std::size_t i = 0; i < buttons_.size(); ++i)
        if (buttons_[i]->isChecked())
            return static_cast<int>(i);
    return -1;
}

void TRadioGroup::SetItemIndex(int index) {
    if (index >= 0 && index < static_cast<int>(buttons_.size())) {
        buttons_[static_cast<std::size_t>(index)]->setChecked(true);
        return;
    }
    group_->setExclusive(false);
    for (QRadioButton* button : buttons_)
        button->setChecked(false);
    group_->setExclusive(true);
}

void TRadioGroup::InsertButton(int index, std::string_view text) {
    auto* button = new QRadioButton(ToQ(text), this);
    group_->addButton(button);
    static_cast<QVBoxLayout*>(layout())->insertWidget(index, button);
    buttons_.insert(buttons_.begin() + index, button);
}

void TRadioGroup::RemoveButton(int index) {
    QRadioButton* button = buttons_[static_cast<std::size_t>(index)];
    buttons_.erase(buttons_.begin() + index);
    group_->removeButton(button);
    delete button;
}

TComboBox::TComboBox(QWidget* parent, TComboBoxStyle style)
    : TControlOf<QComboBox>(parent), items_(*this) {
    setEditable(style == csDropDown);
    setInsertPolicy(NoInsert);
    connect(this, &QComboBox::activated, [this] { Fire(OnChange); });
    if (lineEdit() != nullptr)
        connect(lineEdit(), &QLineEdit::textEdited, [this] { Fire(OnChange); });
}

std::string TComboBox::Text() const {
    return FromQ(currentText());
}

void TComboBox::SetText(std::string_view text) {
    QString q = ToQ(text);
    if (isEditable()) {
        setEditText(q);
        return;
    }
    setCurrentIndex(findText(q, Qt::MatchFixedString));
}

TListBox::TListBox(QWidget* parent) : TControlOf<QListWidget>(parent), items_(*this) {
    connect(this, &QListWidget::itemClicked, [this] { Fire(OnClick); });
    connect(this, &QListWidget::itemDoubleClicked, [this] { Fire(OnDblClick); });
}

void TListBox::SetItemIndex(int index) {
    if (index < 0 || index >= count()) {
        setCurrentRow(-1);
        clearSelection();
        return;
    }
    setCurrentRow(
        index, MultiSelect() ? QItemSelectionModel::Current : QItemSelectionModel::ClearAndSelect);
}

void TListBox::SetMultiSelect(bool multi) {
    setSelectionMode(multi ? ExtendedSelection : SingleSelection);
}

bool TListBox::Selected(int index) const {
    items_.Get(index);  // raises on a bad index, as the class library does
    return item(index)->isSelected();
}

void TListBox::SetSelected(int index, bool selected) {
    items_.Get(index);
    if (!MultiSelect() && selected)
        clearSelection();
    item(index)->setSelected(selected);
}

int TListBox::SelCount() const {
    return static_cast<int>(selectedItems().size());
}

void TListBox::SetSorted(bool sorted) {
    sorted_ = sorted;
    if (sorted)
        sortItems();
}

TCheckListBox::TCheckListBox(QWidget* parent) : TListBox(parent) {
    connect(model(), &QAbstractItemModel::rowsInserted,
            [this](const QModelIndex&, int first, int last) {
                for (int i = first; i <= last; ++i) {
                    item(i)->setFlags(item(i)->flags() | Qt::ItemIsUserCheckable);
                    item(i)->setCheckState(Qt::Unchecked);
                }
            });
}

bool TCheckListBox::Checked(int index) const {
    Items().Get(index);
    return item(index)->checkState() == Qt::Checked;
}

void TCheckListBox::SetChecked(int index, bool checked) {
    Items().Get(index);
    item(index)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

TSpinEdit::TSpinEdit(QWidget* parent) : TControlOf<QSpinBox>(parent) {
    connect(this, &QSpinBox::valueChanged, [this] { Fire(OnChange); });
}

TProgressBar::TProgressBar(QWidget* parent) : TControlOf<QProgressBar>(parent) {
    setRange(0, 100);
    setValue(0);
}

TStatusBar::TStatusBar(QWidget* parent) : TControlOf<QStatusBar>(parent), text_(new QLabel(this)) {
    addWidget(text_, 1);
}

std::string TStatusBar::SimpleText() const {
    return FromQ(text_->text());
}

void TStatusBar::SetSimpleText(std::string_view text) {
    text_->setText(ToQ(text));
}

}  // namespace ui
