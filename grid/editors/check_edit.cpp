#include "grid/editors/check_edit.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

#include "grid/data/db_tree_list_control.h"
#include "grid/editors/button_edit.h"
#include "platform/nls/nls.h"
#include "platform/ui/application.h"
#include "platform/ui/canvas.h"

namespace grid {

std::string& DefaultValueChecked() {
    static std::string value = "True";
    return value;
}

std::string& DefaultValueUnchecked() {
    static std::string value = "False";
    return value;
}

void DrawCheckBox(QPainter& p, const QRect& area, TgxCheckBoxState state,
                  TgxShowNullFieldStyle null_style, bool border_3d, bool pressed) {
    QRect r = area.adjusted(1, 1, -1, -1);
    const int side = std::min({r.height(), r.width(), 13});
    QRect box(r.left() + (r.width() - side) / 2, r.top() + (r.height() - side) / 2, side, side);
    const QPalette pal = QApplication::palette();
    p.save();
    bool inactive = state == cbsGrayed && null_style == nsInactive;
    bool mark = state == cbsChecked || (state == cbsGrayed && null_style == nsGrayedChecked);
    p.fillRect(box, pressed || inactive ? pal.color(QPalette::Button) : pal.color(QPalette::Base));
    if (border_3d) {
        p.setPen(pal.color(QPalette::Dark));
        p.drawLine(box.topLeft(), box.topRight());
        p.drawLine(box.topLeft(), box.bottomLeft());
        p.setPen(pal.color(QPalette::Light));
        p.drawLine(box.bottomLeft(), box.bottomRight());
        p.drawLine(box.topRight(), box.bottomRight());
    } else {
        p.setPen(pal.color(QPalette::Dark));
        p.drawRect(box.adjusted(0, 0, -1, -1));
    }
    if (mark) {
        // A grayed box shows its mark in gray.
        QColor ink = state == cbsGrayed ? pal.color(QPalette::Dark) : QColor(Qt::black);
        QPen pen(ink, std::max(1, side / 7));
        p.setPen(pen);
        const int l = box.left() + side / 4, t = box.top() + side / 4;
        const int s = side / 2;
        p.drawPolyline(
            QPolygon({QPoint(l, t + s / 2), QPoint(l + s / 3, t + s), QPoint(l + s, t)}));
    }
    p.restore();
}

TgxInplaceCheckEdit::TgxInplaceCheckEdit(QWidget* parent) : TgxInplaceEdit(parent) {
    setFocusPolicy(Qt::StrongFocus);
    RouteInputOf(this);
}

void TgxInplaceCheckEdit::SetBorderStyle(TBorderStyle style) {
    border_style_ = style;
    update();
}

void TgxInplaceCheckEdit::InitEditValue() {
    TgxInplaceEdit::InitEditValue();
    text_ = GetContainerEditText();
    update();
}

void TgxInplaceCheckEdit::SetEditingText(const std::string& text) {
    if (CanModify())
        SetText(text);
}

void TgxInplaceCheckEdit::SetText(const std::string& text) {
    text_ = text;
    update();
}

void TgxInplaceCheckEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_SPACE) {
        pressed_ = true;
        update();
        key = 0;
        return;
    }
    if (key == ui::VK_LEFT || key == ui::VK_RIGHT)
        MoveFocusedColumn(key == ui::VK_LEFT);
    TgxInplaceEdit::EditorKeyDown(key, shift);
}

void TgxInplaceCheckEdit::EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) {
    if (key == ui::VK_SPACE && pressed_) {
        pressed_ = false;
        update();
        if (!GetReadOnly())
            Toggle();
        return;
    }
    TgxInplaceEdit::EditorKeyUp(key, shift);
}

void TgxInplaceCheckEdit::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), GetCheckColor().ToQColor());
    DrawCheckBox(p, rect(), GetCheckState(text_), GetShowNullFieldStyle(), GetBorder3D(), pressed_);
    if (border_style_ == bsSingle) {
        p.setPen(QApplication::palette().color(QPalette::WindowText));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void TgxInplaceCheckEdit::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return;
    tracking_ = true;
    pressed_ = rect().contains(e->position().toPoint());
    grabMouse();
    update();
}

void TgxInplaceCheckEdit::mouseMoveEvent(QMouseEvent* e) {
    if (!tracking_)
        return;
    bool inside = rect().contains(e->position().toPoint());
    if (inside != pressed_) {
        pressed_ = inside;
        update();
    }
}

void TgxInplaceCheckEdit::mouseReleaseEvent(QMouseEvent* e) {
    if (!tracking_)
        return;
    tracking_ = false;
    releaseMouse();
    bool toggle = e->button() == Qt::LeftButton && pressed_;
    pressed_ = false;
    update();
    if (toggle && !GetReadOnly())
        ui::Guarded([this] { Toggle(); });
}

TgxDBTreeListCheckColumn::TgxDBTreeListCheckColumn(db::TComponent* owner)
    : TgxDBGridColumn(owner),
      value_checked_(DefaultValueChecked()),
      value_unchecked_(DefaultValueUnchecked()) {
    SetMinWidth(16);
}

void TgxDBTreeListCheckColumn::SetBorder3D(bool value) {
    if (value != border_3d_) {
        border_3d_ = value;
        Changed(false);
    }
}

void TgxDBTreeListCheckColumn::SetShowNullFieldStyle(TgxShowNullFieldStyle value) {
    if (value != show_null_field_style_) {
        show_null_field_style_ = value;
        Changed(false);
    }
}

void TgxDBTreeListCheckColumn::SetValueChecked(std::string_view value) {
    if (value != value_checked_) {
        value_checked_ = value;
        Changed(false);
    }
}

void TgxDBTreeListCheckColumn::SetValueUnchecked(std::string_view value) {
    if (value != value_unchecked_) {
        value_unchecked_ = value;
        Changed(false);
    }
}

TgxCheckBoxState TgxDBTreeListCheckColumn::GetCheckBoxState(const std::string& text) const {
    if (platform::nls::SameTextAnsi(text, value_checked_))
        return cbsChecked;
    if (platform::nls::SameTextAnsi(text, value_unchecked_))
        return cbsUnchecked;
    return cbsGrayed;
}

std::string TgxDBTreeListCheckColumn::GetDisplayValue(TgxCheckBoxState state) const {
    switch (state) {
        case cbsChecked:
            return value_checked_;
        case cbsUnchecked:
            return value_unchecked_;
        default:
            return {};
    }
}

TgxInplaceEditClass TgxDBTreeListCheckColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListCheckEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListCheckEdit>(parent);
            }};
}

void TgxDBTreeListCheckColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                const TgxTreeListNode* node, bool selected,
                                                bool focused, bool new_item_row, std::string& text,
                                                ui::Color& color, ui::TFont& font,
                                                TAlignment& alignment, bool& done) {
    TgxDBGridColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                      color, font, alignment, done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    // The cell shows the stored value's state, whatever display text replaced it.
    std::string value = text;
    if (const auto* g = dynamic_cast<const TgxDBGridCheckColumn*>(this)) {
        if (!g->DisplayChecked().empty() && text == g->DisplayChecked())
            value = ValueChecked();
        else if (!g->DisplayUnChecked().empty() && text == g->DisplayUnChecked())
            value = ValueUnchecked();
        else if (!g->DisplayNull().empty() && text == g->DisplayNull())
            value.clear();
    }
    DrawCheckBox(canvas.Painter(), QRect(rect.left, rect.top, rect.Width(), rect.Height()),
                 GetCheckBoxState(value), show_null_field_style_, border_3d_, false);
    done = true;
}

void TgxDBTreeListCheckColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    SetMinWidth(16);
    value_checked_ = DefaultValueChecked();
    value_unchecked_ = DefaultValueUnchecked();
    show_null_field_style_ = nsUnchecked;
    border_3d_ = false;
}

void TgxDBTreeListCheckColumn::Assign(const db::TPersistent& source) {
    TgxDBGridColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListCheckColumn*>(&source)) {
        value_checked_ = c->value_checked_;
        value_unchecked_ = c->value_unchecked_;
        show_null_field_style_ = c->show_null_field_style_;
        border_3d_ = c->border_3d_;
    }
}

void TgxDBGridCheckColumn::SetDisplayChecked(std::string_view value) {
    if (value != display_checked_) {
        display_checked_ = value;
        Changed(false);
    }
}

void TgxDBGridCheckColumn::SetDisplayUnChecked(std::string_view value) {
    if (value != display_unchecked_) {
        display_unchecked_ = value;
        Changed(false);
    }
}

void TgxDBGridCheckColumn::SetDisplayNull(std::string_view value) {
    if (value != display_null_) {
        display_null_ = value;
        Changed(false);
    }
}

std::string TgxDBGridCheckColumn::GetFieldDisplayText() const {
    std::string text = TgxDBTreeListCheckColumn::GetFieldDisplayText();
    const std::string* shown = nullptr;
    switch (GetCheckBoxState(text)) {
        case cbsChecked:
            shown = &display_checked_;
            break;
        case cbsUnchecked:
            shown = &display_unchecked_;
            break;
        default:
            shown = &display_null_;
            break;
    }
    return shown->empty() ? text : *shown;
}

void TgxDBGridCheckColumn::RestoreDefaults() {
    TgxDBTreeListCheckColumn::RestoreDefaults();
    display_checked_.clear();
    display_unchecked_.clear();
    display_null_.clear();
}

void TgxDBGridCheckColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListCheckColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBGridCheckColumn*>(&source)) {
        display_checked_ = c->display_checked_;
        display_unchecked_ = c->display_unchecked_;
        display_null_ = c->display_null_;
    }
}

TgxDBTreeListCheckColumn* TgxInplaceDBTreeListCheckEdit::Column() const {
    return dynamic_cast<TgxDBTreeListCheckColumn*>(EditorColumn(*this));
}

ui::Color TgxInplaceDBTreeListCheckEdit::GetCheckColor() {
    ui::Color color = ui::clBtnFace;
    auto* grid = dynamic_cast<TCustomgxDBTreeListControl*>(Container);
    if (grid != nullptr && grid->OnGetEditColor)
        grid->OnGetEditColor(grid, grid->GetFocusedNode(), color, Column());
    return color;
}

TgxCheckBoxState TgxInplaceDBTreeListCheckEdit::GetCheckState(const std::string& text) {
    auto* c = Column();
    return c != nullptr ? c->GetCheckBoxState(text) : cbsGrayed;
}

bool TgxInplaceDBTreeListCheckEdit::GetBorder3D() {
    return ColumnSetting(Column(), &TgxDBTreeListCheckColumn::Border3D, false);
}

TgxShowNullFieldStyle TgxInplaceDBTreeListCheckEdit::GetShowNullFieldStyle() {
    return ColumnSetting(Column(), &TgxDBTreeListCheckColumn::ShowNullFieldStyle, nsGrayedChecked);
}

bool TgxInplaceDBTreeListCheckEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceCheckEdit::GetReadOnly(), Column());
}

void TgxInplaceDBTreeListCheckEdit::MoveFocusedColumn(bool to_left) {
    MoveGridFocusedColumn(*this, to_left);
}

void TgxInplaceDBTreeListCheckEdit::Toggle() {
    auto* c = Column();
    if (c == nullptr || c->Field() == nullptr || Container == nullptr ||
        !Container->CanEditModify())
        return;
    // The toggle goes by the text's state, so "TRUE" unchecks like "True" does.
    const std::string text =
        c->GetCheckBoxState(Text()) == cbsChecked ? c->ValueUnchecked() : c->ValueChecked();
    SetText(text);
    if (c->OnToggleClick)
        c->OnToggleClick(c, text, c->GetCheckBoxState(text));
}

}  // namespace grid
