#include "platform/ui/image_list.h"

#include <QPainter>

#include <algorithm>

#include "platform/ui/canvas.h"

namespace ui {

TChangeLink::~TChangeLink() {
    if (sender_ != nullptr)
        sender_->UnRegisterChanges(*this);
}

TCustomImageList::TCustomImageList(int width, int height) : width_(width), height_(height) {}

TCustomImageList::~TCustomImageList() {
    for (TChangeLink* link : links_)
        link->sender_ = nullptr;
}

int TCustomImageList::Add(const QImage& image) {
    QImage scaled = image.size() == QSize(width_, height_)
                        ? image
                        : image.scaled(width_, height_, Qt::IgnoreAspectRatio);
    images_.push_back(scaled.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    Change();
    return Count() - 1;
}

int TCustomImageList::AddMasked(const QImage& image, Color mask_color) {
    QImage copy = image.convertToFormat(QImage::Format_ARGB32);
    QImage mask = copy.createMaskFromColor(mask_color.ToQColor().rgb(), Qt::MaskOutColor);
    copy.setAlphaChannel(mask);
    return Add(copy);
}

void TCustomImageList::Delete(int index) {
    if (index < 0 || index >= Count())
        return;
    images_.erase(images_.begin() + index);
    Change();
}

void TCustomImageList::Clear() {
    images_.clear();
    Change();
}

void TCustomImageList::Draw(TCanvas& canvas, int x, int y, int index, bool enabled) const {
    if (index < 0 || index >= Count())
        return;
    QPainter& painter = canvas.Painter();
    painter.save();
    if (!enabled)
        painter.setOpacity(0.5);
    painter.drawImage(x, y, images_[static_cast<std::size_t>(index)]);
    painter.restore();
}

void TCustomImageList::RegisterChanges(TChangeLink& link) {
    if (link.sender_ == this)
        return;
    if (link.sender_ != nullptr)
        link.sender_->UnRegisterChanges(link);
    link.sender_ = this;
    links_.push_back(&link);
}

void TCustomImageList::UnRegisterChanges(TChangeLink& link) {
    links_.erase(std::remove(links_.begin(), links_.end(), &link), links_.end());
    if (link.sender_ == this)
        link.sender_ = nullptr;
}

void TCustomImageList::Change() {
    // A handler may unregister links; walk a copy.
    std::vector<TChangeLink*> links = links_;
    for (TChangeLink* link : links)
        if (link->OnChange)
            link->OnChange();
}

}  // namespace ui
