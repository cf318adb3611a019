#include "grid/editors/lookup_list_box.h"

#include <QApplication>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>

#include "platform/db/data_source.h"
#include "platform/ui/application.h"
#include "platform/ui/keys.h"

namespace grid {

namespace {
bool SameValue(const db::Variant& a, const db::Variant& b) {
    if (a.IsNull() || a.IsClear() || b.IsNull() || b.IsClear())
        return false;
    return a.AsString() == b.AsString();
}
}  // namespace

// Repaints the list whenever its dataset changes or scrolls.
class TPopupDBLookupListBox::Link : public db::TDataLink {
  public:
    explicit Link(TPopupDBLookupListBox& list) : list_(list) {}

  protected:
    void ActiveChanged() override { list_.update(); }
    void DataSetChanged() override { list_.update(); }
    void DataSetScrolled(std::int64_t) override { list_.update(); }
    void RecordChanged(db::TField*) override { list_.update(); }

  private:
    TPopupDBLookupListBox& list_;
};

TPopupDBLookupListBox::TPopupDBLookupListBox(QWidget* parent)
    : TgxPopupList(parent), link_(std::make_unique<Link>(*this)) {
    link_->SetBufferCount(row_count_);
}

TPopupDBLookupListBox::~TPopupDBLookupListBox() {
    link_->SetDataSource(nullptr);
}

db::TDataSource* TPopupDBLookupListBox::ListSource() const {
    return link_->DataSource();
}

void TPopupDBLookupListBox::SetListSource(db::TDataSource* source) {
    if (source == nullptr)
        ListFields.clear();
    link_->SetDataSource(source);
    if (source != nullptr)
        link_->SetBufferCount(row_count_);
    update();
}

void TPopupDBLookupListBox::SetRowCount(int value) {
    row_count_ = std::max(1, value);
    link_->SetBufferCount(row_count_);
    update();
}

void TPopupDBLookupListBox::SetKeyValue(const db::Variant& value) {
    key_value_ = value;
    db::TDataSet* dataset = link_->DataSet();
    if (link_->Active() && dataset != nullptr && !value.IsNull() && !value.IsClear() &&
        !KeyField.empty())
        dataset->Locate(KeyField, value, {});
    update();
}

void TPopupDBLookupListBox::SelectCurrent() {
    db::TDataSet* dataset = link_->DataSet();
    if (!link_->Active() || dataset == nullptr || dataset->IsEmpty())
        return;
    if (db::TField* key = dataset->FindField(KeyField))
        key_value_ = key->Value();
    update();
}

std::vector<std::string> TPopupDBLookupListBox::RowTexts() {
    std::vector<std::string> out;
    if (!link_->Active())
        return out;
    const std::vector<db::TField*>& fields = ListFields;
    const std::int64_t saved = link_->ActiveRecord();
    for (std::int64_t i = 0; i < link_->RecordCount(); ++i) {
        link_->SetActiveRecord(i);
        std::string text;
        for (db::TField* f : fields)
            text += (text.empty() ? "" : " ") + f->DisplayText();
        out.push_back(text);
    }
    link_->SetActiveRecord(saved);
    return out;
}

int TPopupDBLookupListBox::SelectedRow() {
    db::TDataSet* dataset = link_->DataSet();
    db::TField* key = dataset != nullptr ? dataset->FindField(KeyField) : nullptr;
    if (!link_->Active() || key == nullptr)
        return -1;
    int row = -1;
    const std::int64_t saved = link_->ActiveRecord();
    for (std::int64_t i = 0; i < link_->RecordCount() && row < 0; ++i) {
        link_->SetActiveRecord(i);
        if (SameValue(key->Value(), key_value_))
            row = static_cast<int>(i);
    }
    link_->SetActiveRecord(saved);
    return row;
}

int TPopupDBLookupListBox::RowAt(QPoint p) const {
    if (!rect().adjusted(1, 1, -1, -1).contains(p))
        return -1;
    const int row = (p.y() - 1) / std::max(1, ItemHeight);
    return link_->Active() && row < link_->RecordCount() ? row : -1;
}

void TPopupDBLookupListBox::SelectRow(int row) {
    db::TDataSet* dataset = link_->DataSet();
    if (row < 0 || dataset == nullptr)
        return;
    dataset->MoveBy(row - link_->ActiveRecord());
    SelectCurrent();
}

void TPopupDBLookupListBox::wheelEvent(QWheelEvent* e) {
    const int notches = e->angleDelta().y() / 120;
    for (int i = 0; i < std::abs(notches); ++i) {
        std::uint16_t key = notches > 0 ? ui::VK_UP : ui::VK_DOWN;
        ui::Guarded([&] { PopupKeyDown(key, 0); });
    }
}

void TPopupDBLookupListBox::PopupKeyDown(std::uint16_t& key, ui::TShiftState) {
    db::TDataSet* dataset = link_->DataSet();
    if (!link_->Active() || dataset == nullptr)
        return;
    // A list without a selection selects the current record first.
    const bool selected = SelectedRow() >= 0;
    switch (key) {
        case ui::VK_UP:
            if (selected)
                dataset->Prior();
            break;
        case ui::VK_DOWN:
            if (selected)
                dataset->Next();
            break;
        case ui::VK_PRIOR:
            dataset->MoveBy(-(row_count_ - 1));
            break;
        case ui::VK_NEXT:
            dataset->MoveBy(row_count_ - 1);
            break;
        case ui::VK_HOME:
            dataset->First();
            break;
        case ui::VK_END:
            dataset->Last();
            break;
        default:
            return;
    }
    SelectCurrent();
    key = 0;
}

void TPopupDBLookupListBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = QApplication::palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    if (Flat) {
        p.setPen(pal.color(QPalette::WindowText));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    } else {
        // The sunken client edge of a list that is not flat.
        p.setPen(pal.color(QPalette::Dark));
        p.drawLine(0, 0, width() - 1, 0);
        p.drawLine(0, 0, 0, height() - 1);
        p.setPen(pal.color(QPalette::Light));
        p.drawLine(width() - 1, 0, width() - 1, height() - 1);
        p.drawLine(0, height() - 1, width() - 1, height() - 1);
    }
    if (!link_->Active())
        return;
    const std::vector<db::TField*>& fields = ListFields;
    db::TField* key = link_->DataSet()->FindField(KeyField);
    // Each shown field gets a share of the width after its display width; the last takes
    // the rest.
    std::int64_t total = 0;
    for (db::TField* f : fields)
        total += std::max(1, f->DisplayWidth());
    const std::int64_t saved = link_->ActiveRecord();
    for (std::int64_t i = 0; i < link_->RecordCount(); ++i) {
        link_->SetActiveRecord(i);
        const QRect r(1, 1 + static_cast<int>(i) * ItemHeight, width() - 2, ItemHeight);
        const bool selected = key != nullptr && SameValue(key->Value(), key_value_);
        p.fillRect(r, selected ? pal.color(QPalette::Highlight) : pal.color(QPalette::Base));
        int left = r.left();
        for (std::size_t c = 0; c < fields.size(); ++c) {
            const int w =
                c + 1 == fields.size()
                    ? r.right() + 1 - left
                    : static_cast<int>(r.width() * std::max(1, fields[c]->DisplayWidth()) /
                                       std::max<std::int64_t>(1, total));
            const QRect cell(left, r.top(), w, r.height());
            p.setPen(selected ? pal.color(QPalette::HighlightedText) : pal.color(QPalette::Text));
            p.drawText(cell.adjusted(2, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter,
                       QString::fromStdString(fields[c]->DisplayText()));
            if (c + 1 < fields.size()) {
                p.setPen(pal.color(QPalette::Mid));
                p.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
            }
            left += w;
        }
        if (selected) {
            p.setPen(QPen(pal.color(QPalette::HighlightedText), 1, Qt::DotLine));
            p.drawRect(r.adjusted(0, 0, -1, -1));
        }
    }
    link_->SetActiveRecord(saved);
}

}  // namespace grid
