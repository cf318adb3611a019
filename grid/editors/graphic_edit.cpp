#include "grid/editors/graphic_edit.h"

#include <QPainter>

#include "grid/core/tree_list.h"
#include "grid/editors/blob_edit.h"
#include "platform/ui/canvas.h"

namespace grid {

QRect PictureTarget(const QSize& picture, const QRect& r, bool stretch) {
    if (picture.isEmpty())
        return {};
    if (stretch) {
        QSize s = picture.scaled(r.size(), Qt::KeepAspectRatio);
        return QRect(r.topLeft(), s);
    }
    const int x =
        picture.width() < r.width() ? r.left() + (r.width() - picture.width()) / 2 : r.left();
    const int y =
        picture.height() < r.height() ? r.top() + (r.height() - picture.height()) / 2 : r.top();
    return QRect(QPoint(x, y), picture);
}

TgxDBTreeListGraphicColumn::TgxDBTreeListGraphicColumn(db::TComponent* owner)
    : TgxDBGridColumn(owner) {}

void TgxDBTreeListGraphicColumn::SetStretch(bool value) {
    if (value != stretch_) {
        stretch_ = value;
        Changed(false);
    }
}

void TgxDBTreeListGraphicColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                  const TgxTreeListNode* node, bool selected,
                                                  bool focused, bool new_item_row,
                                                  std::string& text, ui::Color& color,
                                                  ui::TFont& font, TAlignment& alignment,
                                                  bool& done) {
    TgxDBGridColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                      color, font, alignment, done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    const QImage picture = node != nullptr ? LoadPictureFromBlob(text) : QImage();
    const QRect r(rect.left, rect.top, rect.Width(), rect.Height());
    if (!picture.isNull()) {
        QPainter& p = canvas.Painter();
        p.save();
        p.setClipRect(r);
        p.drawImage(PictureTarget(picture.size(), r, stretch_), picture);
        if (selected && shadow_selection_)
            p.fillRect(r, QColor(0, 0, 128, 128));
        p.restore();
    }
    done = true;
}

void TgxDBTreeListGraphicColumn::RestoreDefaults() {
    TgxDBGridColumn::RestoreDefaults();
    stretch_ = false;
    shadow_selection_ = true;
}

}  // namespace grid
