#include "grid/editors/image_edit.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>

#include "platform/db/conversions.h"
#include "platform/ui/canvas.h"
#include "platform/ui/keys.h"

namespace grid {

TgxImageIndexes ImageIndexesOf(const std::string& text, const std::vector<std::string>& values,
                               const std::vector<std::string>& descriptions,
                               const std::vector<std::string>& image_indexes, bool default_images) {
    TgxImageIndexes out;
    const auto found = std::find(values.begin(), values.end(), text);
    if (found == values.end())
        return out;
    const auto index = static_cast<std::size_t>(found - values.begin());
    out.description = index < descriptions.size() ? static_cast<int>(index) : -1;
    out.image = static_cast<int>(index);
    if (!default_images && index < image_indexes.size()) {
        std::int32_t v = -1;
        out.image = db::TryStrToInt(image_indexes[index], v) ? v : -1;
    }
    return out;
}

TgxDBTreeListImageColumn::TgxDBTreeListImageColumn(db::TComponent* owner)
    : TgxDBTreeListDropDownColumn(owner) {
    SetMinWidth(16);
    images_link_.OnChange = [this] { Changed(false); };
    large_images_link_.OnChange = [this] { Changed(false); };
}

TgxDBTreeListImageColumn::~TgxDBTreeListImageColumn() = default;

// The links hold the lists: a list that is destroyed clears its link, so the column never
// reaches a list that is gone.
void TgxDBTreeListImageColumn::SetLargeImages(ui::TCustomImageList* images) {
    if (large_images_link_.Sender() != nullptr)
        large_images_link_.Sender()->UnRegisterChanges(large_images_link_);
    if (images != nullptr)
        images->RegisterChanges(large_images_link_);
    Changed(false);
}

void TgxDBTreeListImageColumn::SetImages(ui::TCustomImageList* images) {
    if (images_link_.Sender() != nullptr)
        images_link_.Sender()->UnRegisterChanges(images_link_);
    if (images != nullptr)
        images->RegisterChanges(images_link_);
    Changed(false);
}

void TgxDBTreeListImageColumn::SetShowDescription(bool value) {
    if (value != show_description_) {
        show_description_ = value;
        Changed(false);
    }
}

void TgxDBTreeListImageColumn::SetDefaultImages(bool value) {
    if (value != default_images_) {
        default_images_ = value;
        Changed(false);
    }
}

TgxImageIndexes TgxDBTreeListImageColumn::GetIndexes(const std::string& text) const {
    return ImageIndexesOf(text, Values, Descriptions, ImageIndexes, default_images_);
}

std::string TgxDBTreeListImageColumn::DisplayTextOf(const std::string& text) const {
    const TgxImageIndexes i = GetIndexes(text);
    return i.description >= 0 ? Descriptions[static_cast<std::size_t>(i.description)] : text;
}

std::vector<int> ListImageIndexes(std::size_t values, const std::vector<std::string>& image_indexes,
                                  bool default_images) {
    std::vector<int> out;
    for (std::size_t i = 0; i < values; ++i) {
        int image = static_cast<int>(i);
        if (!default_images) {
            std::int32_t v = -1;
            image = i < image_indexes.size() && db::TryStrToInt(image_indexes[i], v) ? v : -1;
        }
        out.push_back(image < 0 ? -2 : image);
    }
    return out;
}

std::vector<int> TgxDBTreeListImageColumn::ListImages() const {
    return ListImageIndexes(Values.size(), ImageIndexes, default_images_);
}

std::string TgxDBTreeListImageColumn::GetFieldDisplayText() const {
    return DisplayTextOf(TgxDBTreeListDropDownColumn::GetFieldDisplayText());
}

TgxInplaceEditClass TgxDBTreeListImageColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListImageEdit), [](QWidget* parent) {
                return std::make_unique<TgxInplaceDBTreeListImageEdit>(parent);
            }};
}

int TgxDBTreeListImageColumn::CalcTextWidth(const ui::TextMetrics& metrics, const ui::TFont& font,
                                            std::string_view text) const {
    const int width = TgxDBTreeListDropDownColumn::CalcTextWidth(metrics, font, text);
    return Images() != nullptr ? width + Images()->Width() : width;
}

void DrawImageValue(ui::TCanvas& canvas, const QRect& r, const ui::TCustomImageList* images,
                    int image, bool show_description, bool multi_line, const std::string& text,
                    TAlignment alignment) {
    const int w = images != nullptr ? images->Width() : r.height();
    const QRect area = show_description
                           ? QRect(r.left() + 1, r.top(), w, r.height())
                           : QRect(r.left() + (r.width() - w) / 2, r.top(), w, r.height());
    if (images != nullptr && image >= 0 && image < images->Count()) {
        const QImage& picture = images->Image(image);
        canvas.Painter().drawImage(
            QPoint(area.left(), area.top() + (area.height() - picture.height()) / 2), picture);
    }
    if (!show_description)
        return;
    ui::Rect text_rect{area.right() + 3, r.top(), r.right() + 1, r.bottom() + 1};
    unsigned flags = ui::DT_NOPREFIX | ui::DT_END_ELLIPSIS;
    if (multi_line)
        flags |= ui::DT_WORDBREAK | ui::DT_EXPANDTABS;
    else
        flags |= ui::DT_SINGLELINE | ui::DT_VCENTER |
                 (alignment == taRightJustify ? ui::DT_RIGHT
                  : alignment == taCenter     ? ui::DT_CENTER
                                              : ui::DT_LEFT);
    const ui::TBrush brush = canvas.Brush;
    canvas.Brush.style = ui::bsClear;
    canvas.DrawText(text, text_rect, flags);
    canvas.Brush = brush;
}

void TgxDBTreeListImageColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                                const TgxTreeListNode* node, bool selected,
                                                bool focused, bool new_item_row, std::string& text,
                                                ui::Color& color, ui::TFont& font,
                                                TAlignment& alignment, bool& done) {
    TgxDBTreeListDropDownColumn::DoCustomDrawCell(canvas, rect, node, selected, focused,
                                                  new_item_row, text, color, font, alignment, done);
    if (done)
        return;
    canvas.Brush = {color, ui::bsSolid, {}};
    canvas.FillRect(rect);
    // The cell text is the description; find the value it stands for.
    std::string value = text;
    for (std::size_t i = 0; i < Values.size(); ++i)
        if (DisplayTextOf(Values[i]) == text) {
            value = Values[i];
            break;
        }
    canvas.Font = font;
    DrawImageValue(canvas, QRect(rect.left + 1, rect.top + 1, rect.Width() - 2, rect.Height() - 2),
                   Images(), GetIndexes(value).image, show_description_, multi_line_text_, text,
                   alignment);
    done = true;
}

void TgxDBTreeListImageColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    SetMinWidth(16);
    list_width_ = 0;
    multi_line_text_ = false;
}

void TgxDBTreeListImageColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListImageColumn*>(&source)) {
        SetImages(c->Images());
        SetLargeImages(c->LargeImages());
        list_width_ = c->list_width_;
        Values = c->Values;
        Descriptions = c->Descriptions;
        ImageIndexes = c->ImageIndexes;
        show_description_ = c->show_description_;
        default_images_ = c->default_images_;
        multi_line_text_ = c->multi_line_text_;
    }
}

TCustomgxImageListBox::TCustomgxImageListBox(QWidget* parent) : TPopupListbox(parent) {
    images_link_.OnChange = [this] {
        UpdateItemHeight();
        update();
    };
}

void TCustomgxImageListBox::SetImageList(ui::TCustomImageList* images) {
    if (images == ImageList())
        return;
    if (ImageList() != nullptr)
        ImageList()->UnRegisterChanges(images_link_);
    if (images != nullptr)
        images->RegisterChanges(images_link_);
    UpdateItemHeight();
    update();
}

void TCustomgxImageListBox::SetMultiLine(bool value) {
    if (value != multi_line_) {
        multi_line_ = value;
        update();
    }
}

int TCustomgxImageListBox::MeasureItem() const {
    const int text = QFontMetrics(ItemFont.ToQFont()).height();
    return ImageList() != nullptr ? std::max(text, ImageList()->Height() + 2) : text;
}

void TCustomgxImageListBox::UpdateItemHeight() {
    ItemHeight = MeasureItem();
}

int TCustomgxImageListBox::ItemHeightOf(int) const {
    return std::max(1, ItemHeight);
}

int TCustomgxImageListBox::RowsHeight(int count) const {
    int h = 0;
    for (int i = 0; i < count && TopIndex + i < static_cast<int>(Items.size()); ++i)
        h += ItemHeightOf(TopIndex + i);
    return h;
}

QRect TCustomgxImageListBox::ItemRect(int index) const {
    if (index < TopIndex || index >= static_cast<int>(Items.size()))
        return {};
    int y = 1;
    for (int i = TopIndex; i < index; ++i)
        y += ItemHeightOf(i);
    if (y >= height() - 1)
        return {};
    return QRect(1, y, RowsWidth() - 2, ItemHeightOf(index));
}

int TCustomgxImageListBox::RowAt(QPoint p) const {
    if (!rect().adjusted(1, 1, -1, -1).contains(p) || p.x() >= RowsWidth() - 1)
        return -1;
    int y = 1;
    for (int i = TopIndex; i < static_cast<int>(Items.size()); ++i) {
        y += ItemHeightOf(i);
        if (p.y() < y)
            return i;
    }
    return -1;
}

void TCustomgxImageListBox::MakeVisible(int index) {
    if (index < 0 || index >= static_cast<int>(Items.size()))
        return;
    if (index < TopIndex) {
        TopIndex = index;
        return;
    }
    // Scroll down until the whole item fits above the bottom edge (a row taller than the
    // list stands at the top).
    const int room = std::max(0, height() - 2);
    auto bottom = [&] {
        int h = 0;
        for (int i = TopIndex; i <= index; ++i)
            h += ItemHeightOf(i);
        return h;
    };
    while (TopIndex < index && bottom() > room)
        ++TopIndex;
}

void TCustomgxImageListBox::DrawItem(ui::TCanvas& canvas, int index, const QRect& r,
                                     bool selected) const {
    const QPalette pal = QApplication::palette();
    QPainter& p = canvas.Painter();
    p.fillRect(r, selected ? pal.color(QPalette::Highlight) : Color.ToQColor());
    canvas.Font = ItemFont;
    canvas.Font.SetColor(ui::Color::FromQColor(selected ? pal.color(QPalette::HighlightedText)
                                                        : pal.color(QPalette::Text)));
    const int image = index < static_cast<int>(ItemImages.size())
                          ? ItemImages[static_cast<std::size_t>(index)]
                          : -2;
    const ui::TCustomImageList* images = ImageList();
    int image_width = 0;
    if (images != nullptr) {
        if (image >= 0 && image < images->Count())
            p.drawImage(QPoint(r.left() + 1, r.top() + (r.height() - images->Height()) / 2),
                        images->Image(image));
        image_width = images->Width();
    }
    const std::string& text = Items[static_cast<std::size_t>(index)];
    const ui::TBrush brush = canvas.Brush;
    canvas.Brush.style = ui::bsClear;
    if (multi_line_) {
        ui::Rect tr{r.left() + image_width + 1, r.top() + 2, r.right() - 1, r.bottom() - 1};
        canvas.DrawText(text, tr, ui::DT_WORDBREAK | ui::DT_NOPREFIX | ui::DT_END_ELLIPSIS);
    } else {
        ui::Rect tr{r.left() + image_width + 3, r.top(), r.right() + 1, r.bottom() + 1};
        canvas.DrawText(text, tr, ui::DT_SINGLELINE | ui::DT_VCENTER | ui::DT_NOPREFIX);
    }
    canvas.Brush = brush;
}

void TCustomgxImageListBox::DrawBorder(QPainter& painter) {
    painter.setPen(QApplication::palette().color(QPalette::WindowText));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TCustomgxImageListBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    ui::TCanvas canvas(p);
    p.fillRect(rect(), Color.ToQColor());
    DrawBorder(p);
    p.setClipRect(rect().adjusted(1, 1, -1, -1));
    for (int index = TopIndex; index < static_cast<int>(Items.size()); ++index) {
        const QRect r = ItemRect(index);
        if (r.isEmpty())
            break;
        DrawItem(canvas, index, r, index == ItemIndex);
    }
}

void TgxPopupImageListBox::SetFlat(bool value) {
    if (value != flat_) {
        flat_ = value;
        update();
    }
}

void TgxPopupImageListBox::DrawBorder(QPainter& painter) {
    if (flat_) {
        TCustomgxImageListBox::DrawBorder(painter);
        return;
    }
    // The sunken edge of a list that is not flat. Its bottom and right take the dark outer
    // side of the frame around it: a light side would vanish against the white cells below.
    const QPalette pal = QApplication::palette();
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.drawLine(0, 0, 0, height() - 1);
    painter.setPen(pal.color(QPalette::Shadow));
    painter.drawLine(width() - 1, 0, width() - 1, height() - 1);
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
}

TgxInplaceImageEdit::TgxInplaceImageEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {
    WholeAreaClick = true;
    setFocusPolicy(Qt::StrongFocus);
    RouteInputOf(this);
}

TgxInplaceImageEdit::~TgxInplaceImageEdit() = default;

void TgxInplaceImageEdit::InitEditValue() {
    TgxInplaceDropDownEdit::InitEditValue();
    LineEdit().hide();
}

void TgxInplaceImageEdit::paintEvent(QPaintEvent* e) {
    {
        QPainter p(this);
        p.fillRect(rect(), GetColor().ToQColor());
        ui::Rect b;
        GetButtonRect(b);
        const std::string value = LineEdit().text().toStdString();
        const TgxImageIndexes indexes = GetIndexes(value);
        const std::vector<std::string> descriptions = GetDescriptions();
        const std::string text =
            indexes.description >= 0 && indexes.description < static_cast<int>(descriptions.size())
                ? descriptions[static_cast<std::size_t>(indexes.description)]
                : value;
        ui::TCanvas canvas(p);
        canvas.Font = Font();
        DrawImageValue(canvas, QRect(0, 0, b.left, height()), GetImages(), indexes.image,
                       GetShowDescription(), GetMultiLineText(), text, taLeftJustify);
    }
    TgxInplaceDropDownEdit::paintEvent(e);
}

void TgxInplaceImageEdit::DropDown() {
    const std::vector<std::string> values = GetValues();
    if (PopupShown() || GetReadOnly() || values.empty())
        return;
    DoBeforeDropDown();
    if (list_ == nullptr) {
        list_ = std::make_unique<TgxPopupImageListBox>(window());
        list_->OnListMouseUp = [this](bool inside) { ListMouseUp(inside); };
    }
    TgxPopupImageListBox& list = *list_;
    AttachPopup(list);
    list.SetFlat(IsFlatStyle());
    list.setFont(Font().ToQFont());
    list.ItemFont = Font();
    list.Color = GetColor();
    list.SetMultiLine(GetMultiLineText());
    // The list shows the large pictures when there are any.
    list.SetImageList(GetLargeImages() != nullptr ? GetLargeImages() : GetImages());
    list.ItemImages = ListImageIndexes(values.size(), GetImageIndexes(), GetDefaultImages());
    const std::vector<std::string> descriptions = GetDescriptions();
    list.Items.clear();
    for (std::size_t i = 0; i < values.size(); ++i)
        list.Items.push_back(i < descriptions.size() ? descriptions[i] : std::string());
    const QFontMetrics fm(list.font());
    list.UpdateItemHeight();
    list.TopIndex = 0;
    list.Rows = std::min(static_cast<int>(list.Items.size()), std::max(1, GetDropDownRows()));
    int w = GetListWidth();
    if (w == 0) {
        int widest = 10;
        for (const std::string& item : list.Items)
            widest = std::max(widest, fm.horizontalAdvance(QString::fromStdString(item)));
        w = widest + (list.ImageList() != nullptr ? list.ImageList()->Width() : 16) + 4;
        if (static_cast<int>(list.Items.size()) > list.Rows)
            w += list.ScrollBarWidth() + 1;
    }
    list.resize(std::max(w + 2, width()), list.RowsHeight(list.Rows) + 2);
    const auto found = std::find(values.begin(), values.end(), LineEdit().text().toStdString());
    list.ItemIndex = found == values.end() ? -1 : static_cast<int>(found - values.begin());
    list.MakeVisible(list.ItemIndex);
    list.UpdateScrollBar();
    ShowPopupBelow(list);
}

void TgxInplaceImageEdit::CloseUp(bool accept) {
    if (!PopupShown() || list_ == nullptr)
        return;
    if (QWidget::mouseGrabber() != nullptr)
        QWidget::mouseGrabber()->releaseMouse();
    list_->ClosePopup();
    SetPopupShown(false);
    const std::vector<std::string> values = GetValues();
    if (list_->ItemIndex < 0 || list_->ItemIndex >= static_cast<int>(values.size()))
        return;
    std::string value = values[static_cast<std::size_t>(list_->ItemIndex)];
    DoCloseUp(value, accept);
    if (accept && CanModify() && !GetReadOnly()) {
        LineEdit().setText(QString::fromStdString(value));
        emit LineEdit().textEdited(LineEdit().text());
        update();
    }
}

void TgxInplaceImageEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    if (!PopupShown() && (key == ui::VK_LEFT || key == ui::VK_RIGHT)) {
        MoveFocusedColumn(key == ui::VK_LEFT);
        key = 0;
        return;
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

TgxDBTreeListImageColumn* TgxInplaceDBTreeListImageEdit::Column() const {
    return dynamic_cast<TgxDBTreeListImageColumn*>(EditorColumn(*this));
}

bool TgxInplaceDBTreeListImageEdit::GetDefaultImages() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::DefaultImages, true);
}

void TgxInplaceDBTreeListImageEdit::DoCloseUp(std::string& value, bool& accept) {
    auto* c = Column();
    if (c != nullptr && c->OnCloseUp)
        c->OnCloseUp(c, value, accept);
}

bool TgxInplaceDBTreeListImageEdit::GetShowDescription() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::ShowDescription, true);
}

ui::TCustomImageList* TgxInplaceDBTreeListImageEdit::GetImages() {
    auto* c = Column();
    return c != nullptr ? c->Images() : nullptr;
}

ui::TCustomImageList* TgxInplaceDBTreeListImageEdit::GetLargeImages() {
    auto* c = Column();
    return c != nullptr ? c->LargeImages() : nullptr;
}

int TgxInplaceDBTreeListImageEdit::GetListWidth() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::ListWidth, 0);
}

TgxImageIndexes TgxInplaceDBTreeListImageEdit::GetIndexes(const std::string& text) {
    auto* c = Column();
    return c != nullptr ? c->GetIndexes(text) : TgxImageIndexes();
}

std::vector<std::string> TgxInplaceDBTreeListImageEdit::GetImageIndexes() {
    auto* c = Column();
    return c != nullptr ? c->ImageIndexes : std::vector<std::string>();
}

std::vector<std::string> TgxInplaceDBTreeListImageEdit::GetValues() {
    auto* c = Column();
    return c != nullptr ? c->Values : std::vector<std::string>();
}

std::vector<std::string> TgxInplaceDBTreeListImageEdit::GetDescriptions() {
    auto* c = Column();
    return c != nullptr ? c->Descriptions : std::vector<std::string>();
}

int TgxInplaceDBTreeListImageEdit::GetDropDownRows() {
    return static_cast<int>(ColumnSetting(Column(), &TgxDBTreeListImageColumn::DropDownRows, 7u));
}

bool TgxInplaceDBTreeListImageEdit::GetMultiLineText() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::MultiLineText, false);
}

bool TgxInplaceDBTreeListImageEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceImageEdit::GetReadOnly(), Column());
}

TgxPopupBorder TgxInplaceDBTreeListImageEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListImageColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListImageEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

}  // namespace grid
