#include "grid/editors/pick_edit.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>
#include <numeric>

#include "platform/db/dataset.h"
#include "platform/ui/application.h"
#include "platform/ui/clock.h"
#include "platform/ui/keys.h"

namespace grid {

int FindPickItem(const std::vector<std::string>& items, const std::string& text) {
    if (items.empty() || text.empty())
        return -1;
    std::vector<int> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    // The items are UTF-8: ordered as the user's language orders them, case aside, and
    // matched by whole characters, so "é" finds "Élodie".
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return CompareText(items[static_cast<std::size_t>(a)], items[static_cast<std::size_t>(b)],
                           true) < 0;
    });
    for (int index : order)
        if (StartsWithText(items[static_cast<std::size_t>(index)], text))
            return index;
    return -1;
}

TgxDBTreeListPickColumn::TgxDBTreeListPickColumn(db::TComponent* owner)
    : TgxDBTreeListDropDownColumn(owner) {
    SetImmediateDropDown(true);
}

void TgxDBTreeListPickColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    drop_down_list_style_ = false;
}

void TgxDBTreeListPickColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListPickColumn*>(&source)) {
        items_ = c->items_;
        drop_down_list_style_ = c->drop_down_list_style_;
    }
}

void TgxDBTreeListLookupColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    list_field_name_.clear();
    list_field_index_ = 0;
    list_width_ = 0;
    clear_key_ = 0;
}

void TgxDBTreeListLookupColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListLookupColumn*>(&source)) {
        clear_key_ = c->clear_key_;
        list_field_name_ = c->list_field_name_;
        list_field_index_ = c->list_field_index_;
        list_width_ = c->list_width_;
    }
}

}  // namespace grid

namespace grid {

namespace {
constexpr std::size_t kMaxSearch = 32;
constexpr std::uint32_t kSearchPause = 2000;

}  // namespace

TPopupListbox::TPopupListbox(QWidget* parent)
    : TgxPopupList(parent), bar_(new QScrollBar(Qt::Vertical, this)) {
    bar_->hide();
    bar_->setFocusPolicy(Qt::NoFocus);
    QObject::connect(bar_, &QScrollBar::valueChanged, this, [this](int top) {
        if (top != TopIndex) {
            TopIndex = top;
            update();
        }
    });
}

int TPopupListbox::ScrollBarWidth() {
    return QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

int TPopupListbox::RowsWidth() const {
    return bar_->isVisibleTo(this) ? width() - bar_->width() - 1 : width();
}

void TPopupListbox::UpdateScrollBar() {
    // Without the bar a mouse could not reach the items below the last row.
    const int hidden = static_cast<int>(Items.size()) - Rows;
    const QSignalBlocker block(bar_);
    bar_->setRange(0, std::max(0, hidden));
    bar_->setPageStep(std::max(1, Rows));
    bar_->setValue(TopIndex);
    bar_->setGeometry(width() - 1 - ScrollBarWidth(), 1, ScrollBarWidth(), height() - 2);
    bar_->setVisible(hidden > 0);
    update();
}

void TPopupListbox::resizeEvent(QResizeEvent* e) {
    TgxPopupList::resizeEvent(e);
    UpdateScrollBar();
}

void TPopupListbox::wheelEvent(QWheelEvent* e) {
    const int hidden = static_cast<int>(Items.size()) - Rows;
    const int notches = e->angleDelta().y() / 120;
    if (hidden <= 0 || notches == 0)
        return;
    TopIndex = std::clamp(TopIndex - notches, 0, hidden);
    UpdateScrollBar();
}

int TPopupListbox::RowAt(QPoint p) const {
    if (!rect().adjusted(1, 1, -1, -1).contains(p) || p.x() >= RowsWidth() - 1)
        return -1;
    const int index = TopIndex + (p.y() - 1) / std::max(1, ItemHeight);
    return index < static_cast<int>(Items.size()) ? index : -1;
}

void TPopupListbox::MakeVisible(int index) {
    if (index < 0)
        return;
    if (index < TopIndex)
        TopIndex = index;
    else if (index >= TopIndex + Rows)
        TopIndex = index - Rows + 1;
}

void TPopupListbox::TypeChar(char32_t ch) {
    const std::uint32_t now = ui::Clock().TickCount();
    if (now - last_key_ > kSearchPause)
        search_.clear();
    last_key_ = now;
    // Letters, not bytes: an accented or non-Latin letter takes several.
    const auto letters = std::count_if(search_.begin(), search_.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    });
    if (static_cast<std::size_t>(letters) < kMaxSearch)
        search_ += QString::fromStdU32String(std::u32string(1, ch)).toStdString();
    for (std::size_t i = 0; i < Items.size(); ++i)
        if (StartsWithText(Items[i], search_)) {
            ItemIndex = static_cast<int>(i);
            MakeVisible(ItemIndex);
            break;
        }
    UpdateScrollBar();
}

void TPopupListbox::PopupKeyDown(std::uint16_t& key, ui::TShiftState) {
    const int count = static_cast<int>(Items.size());
    int index = ItemIndex;
    switch (key) {
        case ui::VK_UP:
        case ui::VK_LEFT:
            index = std::max(0, index - 1);
            break;
        case ui::VK_DOWN:
        case ui::VK_RIGHT:
            index = std::min(count - 1, index + 1);
            break;
        case ui::VK_PRIOR:
            index = std::max(0, index - Rows + 1);
            break;
        case ui::VK_NEXT:
            index = std::min(count - 1, index + Rows - 1);
            break;
        case ui::VK_HOME:
            index = 0;
            break;
        case ui::VK_END:
            index = count - 1;
            break;
        case ui::VK_BACK:
        case ui::VK_ESCAPE:
            search_.clear();
            break;
        default:
            return;
    }
    ItemIndex = count == 0 ? -1 : index;
    MakeVisible(ItemIndex);
    UpdateScrollBar();
    key = 0;
}

void TPopupListbox::PopupKeyPress(char32_t& key) {
    if (key >= 32 && key != 127)
        TypeChar(key);
    key = 0;
}

void TPopupListbox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = QApplication::palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    p.setPen(pal.color(QPalette::WindowText));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    for (int row = 0; row < Rows; ++row) {
        const int index = TopIndex + row;
        if (index >= static_cast<int>(Items.size()))
            break;
        const QRect r(1, 1 + row * ItemHeight, RowsWidth() - 2, ItemHeight);
        const bool selected = index == ItemIndex;
        p.fillRect(r, selected ? pal.color(QPalette::Highlight) : pal.color(QPalette::Base));
        p.setPen(selected ? pal.color(QPalette::HighlightedText) : pal.color(QPalette::Text));
        p.drawText(r.adjusted(2, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter,
                   QString::fromStdString(Items[static_cast<std::size_t>(index)]));
        if (selected) {
            p.setPen(QPen(pal.color(QPalette::HighlightedText), 1, Qt::DotLine));
            p.drawRect(r.adjusted(0, 0, -1, -1));
        }
    }
}

void TPopupListbox::SelectRow(int row) {
    if (row != ItemIndex) {
        ItemIndex = row;
        update();
    }
}

TgxInplacePickEdit::TgxInplacePickEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {
    popup_takes_typing_ = true;
}

TgxInplacePickEdit::~TgxInplacePickEdit() = default;

void TgxInplacePickEdit::InitEditValue() {
    TgxInplaceDropDownEdit::InitEditValue();
    search_active_ = false;
    typed_.clear();
    if (GetDropDownListStyle())
        LineEdit().setReadOnly(true);
}

bool TgxInplacePickEdit::Complete() {
    const std::vector<std::string> items = GetItems();
    const int index = FindPickItem(items, typed_);
    if (index < 0)
        return false;
    if (!Fits(items[static_cast<std::size_t>(index)])) {
        ui::MessageBeep(0);  // the key is typed as it is, the item never cut
        return false;
    }
    if (CanModify()) {
        SetPickedValue(db::Variant(items[static_cast<std::size_t>(index)]));
        std::string text;
        GetCellText(text);
        if (text.empty())
            text = items[static_cast<std::size_t>(index)];
        LineEdit().setText(QString::fromStdString(text));
        emit LineEdit().textEdited(LineEdit().text());
        const int typed_length = QString::fromStdString(typed_).size();
        LineEdit().setSelection(LineEdit().text().size(), typed_length - LineEdit().text().size());
    }
    return true;
}

bool TgxInplacePickEdit::Fits(const std::string& item) const {
    return MaxLength() <= 0 || QString::fromStdString(item).size() <= MaxLength();
}

void TgxInplacePickEdit::CycleValue() {
    const std::vector<std::string> items = GetItems();
    if (items.size() < 2 || !CanModify() || GetReadOnly())
        return;
    const auto found = std::find(items.begin(), items.end(), LineEdit().text().toStdString());
    std::size_t next = found == items.end()
                           ? 0
                           : (static_cast<std::size_t>(found - items.begin()) + 1) % items.size();
    // Items the field cannot hold are passed over with a beep; with none left, nothing moves.
    for (std::size_t step = 0; !Fits(items[next]); ++step) {
        if (step == 0)
            ui::MessageBeep(0);
        if (step + 1 == items.size())
            return;
        next = (next + 1) % items.size();
    }
    if (found != items.end() && items.begin() + static_cast<std::ptrdiff_t>(next) == found)
        return;
    search_active_ = false;
    typed_.clear();
    LineEdit().setText(QString::fromStdString(items[next]));
    emit LineEdit().textEdited(LineEdit().text());
    SetPickedValue(db::Variant(items[next]));
    DoTextChanged(items[next]);
}

bool TgxInplacePickEdit::eventFilter(QObject* watched, QEvent* e) {
    if (watched == &LineEdit() && e->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton && GetCycleOnDblClick())
        ui::Guarded([this] { CycleValue(); });
    return TgxInplaceDropDownEdit::eventFilter(watched, e);
}

void TgxInplacePickEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_ESCAPE) {
        search_active_ = false;
        typed_.clear();
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

void TgxInplacePickEdit::EditorKeyPress(char32_t& key) {
    if (GetReadOnly() || GetDropDownListStyle()) {
        if (key >= 32 || key == 8)
            key = 0;
        return;
    }
    if (key == 8 && search_active_) {
        if (!typed_.empty()) {
            QString t = QString::fromStdString(typed_);
            t.chop(1);
            typed_ = t.toStdString();
        }
        LineEdit().setSelection(QString::fromStdString(typed_).size(), 1000);
        if (Complete())
            key = 0;
        return;
    }
    if (key < 32 || key == 127) {
        TgxInplaceDropDownEdit::EditorKeyPress(key);
        return;
    }
    const std::string ch = QString::fromStdU32String(std::u32string(1, key)).toStdString();
    // The length limit counts characters, as the line edit does.
    if (search_active_ && QString::fromStdString(typed_).size() <
                              std::max(1, GetMaxLength() > 0 ? GetMaxLength() : 32767)) {
        typed_ += ch;
    } else {
        QString t = LineEdit().text();
        if (LineEdit().hasSelectedText())
            t.remove(LineEdit().selectionStart(), LineEdit().selectedText().size());
        typed_ = t.toStdString() + ch;
        search_active_ = true;
    }
    if (Complete())
        key = 0;
    else
        TgxInplaceDropDownEdit::EditorKeyPress(key);
    if (GetDropDownOnTyping() && !PopupShown())
        DropDown();
    DoTextChanged(LineEdit().text().toStdString());
}

void TgxInplacePickEdit::DropDown() {
    if (GetReadOnly())
        return;
    DoBeforeDropDown();
    const std::vector<std::string> items = GetItems();
    if (items.empty())
        return;
    if (list_ == nullptr) {
        list_ = std::make_unique<TPopupListbox>(window());
        list_->OnListMouseUp = [this](bool inside) { ListMouseUp(inside); };
    }
    TPopupListbox& list = *list_;
    AttachPopup(list);
    list.setFont(Font().ToQFont());
    list.Items = items;
    const QFontMetrics fm(list.font());
    list.ItemHeight = fm.height() + 2;
    list.Rows = std::min(static_cast<int>(items.size()), std::max(1, GetDropDownRows()));
    const int bar = static_cast<int>(items.size()) > list.Rows ? list.ScrollBarWidth() + 1 : 0;
    int widest = width();
    for (const std::string& item : items)
        widest = std::max(widest, fm.horizontalAdvance(QString::fromStdString(item)) + 8 + bar);
    list.resize(widest, list.Rows * list.ItemHeight + 2);
    std::string text;
    GetCellText(text);
    const auto found = std::find(items.begin(), items.end(), text);
    list.ItemIndex = found == items.end() ? -1 : static_cast<int>(found - items.begin());
    list.TopIndex = 0;
    list.MakeVisible(list.ItemIndex);
    list.UpdateScrollBar();
    ShowPopupBelow(list);
}

void TgxInplacePickEdit::CloseUp(bool accept) {
    if (!PopupShown() || list_ == nullptr)
        return;
    search_active_ = false;
    typed_.clear();
    if (QWidget::mouseGrabber() != nullptr)
        QWidget::mouseGrabber()->releaseMouse();
    list_->ClosePopup();
    SetPopupShown(false);
    db::Variant value(list_->ItemIndex >= 0
                          ? list_->Items[static_cast<std::size_t>(list_->ItemIndex)]
                          : LineEdit().text().toStdString());
    DoCloseUp(value, accept);
    if (accept && CanModify() && !Fits(value.AsString())) {
        ui::MessageBeep(0);
        return;
    }
    if (accept && CanModify()) {
        LineEdit().setText(QString::fromStdString(value.AsString()));
        emit LineEdit().textEdited(LineEdit().text());
        SetPickedValue(value);
    }
}

void TgxInplacePickEdit::DoTextChanged(const std::string& text) {
    if (list_ == nullptr)
        return;
    const auto found = std::find(list_->Items.begin(), list_->Items.end(), text);
    if (found != list_->Items.end()) {
        list_->ItemIndex = static_cast<int>(found - list_->Items.begin());
        list_->MakeVisible(list_->ItemIndex);
        list_->UpdateScrollBar();
    }
}

TgxDBTreeListPickColumn* TgxInplaceDBTreeListPickEdit::Column() const {
    return dynamic_cast<TgxDBTreeListPickColumn*>(EditorColumn(*this));
}

void TgxInplaceDBTreeListPickEdit::DoCloseUp(db::Variant& value, bool& accept) {
    auto* c = Column();
    if (c != nullptr && c->OnCloseUp)
        c->OnCloseUp(c, value, accept);
}

void TgxInplaceDBTreeListPickEdit::GetCellText(std::string& text) {
    auto* c = Column();
    text = c != nullptr && c->Field() != nullptr ? c->Field()->Text() : std::string();
}

bool TgxInplaceDBTreeListPickEdit::GetDropDownOnTyping() {
    return ColumnSetting(Column(), &TgxDBTreeListPickColumn::ImmediateDropDown, false);
}

std::vector<std::string> TgxInplaceDBTreeListPickEdit::GetItems() {
    auto* c = Column();
    return c != nullptr ? c->Items() : std::vector<std::string>();
}

int TgxInplaceDBTreeListPickEdit::GetDropDownRows() {
    return static_cast<int>(ColumnSetting(Column(), &TgxDBTreeListPickColumn::DropDownRows, 7u));
}

void TgxInplaceDBTreeListPickEdit::SetPickedValue(const db::Variant& value) {
    auto* c = Column();
    if (c != nullptr && c->Field() != nullptr && Container != nullptr && Container->CanEditModify())
        c->Field()->SetText(value.AsString());
}

bool TgxInplaceDBTreeListPickEdit::GetDropDownListStyle() {
    return ColumnSetting(Column(), &TgxDBTreeListPickColumn::DropDownListStyle, false);
}

bool TgxInplaceDBTreeListPickEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplacePickEdit::GetReadOnly(), Column());
}

TgxPopupBorder TgxInplaceDBTreeListPickEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListPickColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListPickEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

TgxInplaceEditClass TgxDBTreeListPickColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListPickEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListPickEdit>(parent); }};
}

}  // namespace grid

namespace grid {

TgxInplaceLookupEdit::TgxInplaceLookupEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {}

TgxInplaceLookupEdit::~TgxInplaceLookupEdit() = default;

std::string TgxInplaceLookupEdit::FieldText() {
    db::TField* f = GetLookupField();
    return f != nullptr ? f->Text() : std::string();
}

void TgxInplaceLookupEdit::InitEditValue() {
    TgxInplaceDropDownEdit::InitEditValue();
    popup_takes_typing_ = GetImmediateDropDown();
    search_active_ = false;
    typed_.clear();
}

void TgxInplaceLookupEdit::SetLookupValue(const db::Variant& value) {
    db::TField* lookup = GetLookupField();
    if (lookup == nullptr || lookup->DataSet() == nullptr)
        return;
    db::TField* key = lookup->DataSet()->FindField(lookup->KeyFields());
    if (key == nullptr || !key->CanModify())
        return;
    lookup->DataSet()->Edit();
    if (value.IsNull() || value.IsClear())
        key->Clear();
    else
        key->SetValue(value);
}

void TgxInplaceLookupEdit::ClearLookupValue() {
    SetLookupValue(db::Variant::Null());
    LineEdit().setText(QString::fromStdString(FieldText()));
    search_active_ = false;
    typed_.clear();
}

void TgxInplaceLookupEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_ESCAPE) {
        search_active_ = false;
        typed_.clear();
    }
    if (key != 0 && GetClearKey() != 0 && ShortCutOf(key, shift) == GetClearKey()) {
        if (!GetReadOnly())
            ClearLookupValue();
        key = 0;
        return;
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

void TgxInplaceLookupEdit::EditorKeyPress(char32_t& key) {
    if (key < 32 && key != 8) {
        TgxInplaceDropDownEdit::EditorKeyPress(key);
        return;
    }
    const char32_t typed_key = key;
    key = 0;
    // The lookup field itself never changes: its key field is written.
    if (GetReadOnly())
        return;
    db::TField* lookup = GetLookupField();
    if (lookup == nullptr)
        return;
    db::TDataSet* lookup_ds = lookup->LookupDataSet();
    if (typed_key == 8) {
        if (search_active_ && !typed_.empty()) {
            QString t = QString::fromStdString(typed_);
            t.chop(1);
            typed_ = t.toStdString();
            LineEdit().setSelection(t.size(), 1000);
        }
        return;
    }
    if (lookup_ds == nullptr || lookup_ds->FindField(lookup->LookupResultField()) == nullptr)
        return;
    const std::string ch = QString::fromStdU32String(std::u32string(1, typed_key)).toStdString();
    typed_ = search_active_ ? typed_ + ch : ch;
    search_active_ = true;
    LineEdit().setText(QString::fromStdString(typed_));
    db::TLocateOptions options;
    options.Include(db::loCaseInsensitive);
    options.Include(db::loPartialKey);
    if (lookup_ds->Locate(lookup->LookupResultField(), db::Variant(typed_), options)) {
        db::TField* key_field = lookup_ds->FindField(lookup->LookupKeyFields());
        if (key_field != nullptr)
            SetLookupValue(key_field->Value());
        const QString found =
            QString::fromStdString(lookup_ds->FieldByName(lookup->LookupResultField())->Text());
        LineEdit().setText(found);
        const int typed_length = QString::fromStdString(typed_).size();
        LineEdit().setSelection(found.size(), typed_length - found.size());
    } else if (GetImmediateDropDown() && QString::fromStdString(typed_).size() > 1) {
        // The last character starts a search of its own.
        search_active_ = false;
        typed_.clear();
        LineEdit().setText(QString::fromStdString(FieldText()));
        char32_t again = typed_key;
        EditorKeyPress(again);
        return;
    } else {
        search_active_ = false;
        typed_.clear();
        LineEdit().setText(QString::fromStdString(FieldText()));
        DropDown();
    }
    if (GetImmediateDropDown() && !PopupShown()) {
        DropDown();
        DoTextChanged(LineEdit().text().toStdString());
    }
}

void TgxInplaceLookupEdit::DropDown() {
    db::TField* lookup = GetLookupField();
    if (PopupShown() || GetReadOnly() || lookup == nullptr || !lookup->Lookup())
        return;
    db::TDataSet* lookup_ds = lookup->LookupDataSet();
    if (lookup_ds == nullptr || !lookup_ds->Active())
        return;
    DoBeforeDropDown();
    if (list_ == nullptr) {
        list_ = std::make_unique<TPopupDBLookupListBox>(window());
        list_->OnListMouseUp = [this](bool inside) { ListMouseUp(inside); };
    }
    if (source_ == nullptr)
        source_ = db::MakeComponent<db::TDataSource>(nullptr);
    TPopupDBLookupListBox& list = *list_;
    AttachPopup(list);
    list.Flat = IsFlatStyle();
    list.setFont(Font().ToQFont());
    const QFontMetrics fm(list.font());
    list.ItemHeight = fm.height() + 2;
    list.SetRowCount(GetDropDownRows());
    std::string list_field;
    GetListFieldName(list_field);
    // An unknown field name is reported here, before the list shows anything.
    list.ListFields =
        lookup_ds->GetFieldList(list_field.empty() ? lookup->LookupResultField() : list_field);
    list.ListFieldIndex = list_field.empty() ? 0 : GetListFieldIndex();
    list.KeyField = lookup->LookupKeyFields();
    source_->SetDataSet(lookup_ds);
    list.SetListSource(source_.get());
    DoTextChanged(LineEdit().text().toStdString());
    // As many rows as the dataset has, up to the drop-down rows.
    const int rows = std::max(1, static_cast<int>(list.RowTexts().size()));
    list.resize(GetListWidth() != 0 ? GetListWidth() : width(), rows * list.ItemHeight + 2);
    ShowPopupBelow(list);
}

void TgxInplaceLookupEdit::DoTextChanged(const std::string&) {
    db::TField* lookup = GetLookupField();
    if (list_ == nullptr || lookup == nullptr || lookup->DataSet() == nullptr)
        return;
    db::TField* key = lookup->DataSet()->FindField(lookup->KeyFields());
    list_->SetKeyValue(key != nullptr ? key->Value() : db::Variant::Null());
}

void TgxInplaceLookupEdit::CloseUp(bool accept) {
    if (!PopupShown() || list_ == nullptr)
        return;
    search_active_ = false;
    typed_.clear();
    if (QWidget::mouseGrabber() != nullptr)
        QWidget::mouseGrabber()->releaseMouse();
    list_->ClosePopup();
    SetPopupShown(false);
    db::Variant value = list_->KeyValue();
    list_->SetListSource(nullptr);
    if (source_ != nullptr)
        source_->SetDataSet(nullptr);
    if (value.IsNull() || value.IsClear())
        return;
    DoCloseUp(value, accept);
    if (accept) {
        SetLookupValue(value);
        const std::string text = FieldText();
        if (LineEdit().text().toStdString() != text)
            LineEdit().setText(QString::fromStdString(text));
    }
}

TgxDBTreeListLookupColumn* TgxInplaceDBTreeListLookupEdit::Column() const {
    return dynamic_cast<TgxDBTreeListLookupColumn*>(EditorColumn(*this));
}

void TgxInplaceDBTreeListLookupEdit::DoCloseUp(db::Variant& value, bool& accept) {
    auto* c = Column();
    if (c != nullptr && c->OnCloseUp)
        c->OnCloseUp(c, value, accept);
}

std::uint16_t TgxInplaceDBTreeListLookupEdit::GetClearKey() {
    return ColumnSetting(Column(), &TgxDBTreeListLookupColumn::ClearKey, 0);
}

db::TField* TgxInplaceDBTreeListLookupEdit::GetLookupField() {
    return ColumnSetting(Column(), &TgxDBTreeListLookupColumn::Field, nullptr);
}

bool TgxInplaceDBTreeListLookupEdit::GetImmediateDropDown() {
    return ColumnSetting(Column(), &TgxDBTreeListLookupColumn::ImmediateDropDown, false);
}

int TgxInplaceDBTreeListLookupEdit::GetDropDownRows() {
    return static_cast<int>(ColumnSetting(Column(), &TgxDBTreeListLookupColumn::DropDownRows, 7u));
}

int TgxInplaceDBTreeListLookupEdit::GetListWidth() {
    return ColumnSetting(Column(), &TgxDBTreeListLookupColumn::ListWidth, 0);
}

void TgxInplaceDBTreeListLookupEdit::GetListFieldName(std::string& name) {
    auto* c = Column();
    name = c != nullptr ? c->ListFieldName() : std::string();
}

int TgxInplaceDBTreeListLookupEdit::GetListFieldIndex() {
    return ColumnSetting(Column(), &TgxDBTreeListLookupColumn::ListFieldIndex, 0);
}

TgxPopupBorder TgxInplaceDBTreeListLookupEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListLookupColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListLookupEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

bool TgxInplaceDBTreeListLookupEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceLookupEdit::GetReadOnly(), Column());
}

TgxInplaceEditClass TgxDBTreeListLookupColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListLookupEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListLookupEdit>(parent);
            }};
}

}  // namespace grid
