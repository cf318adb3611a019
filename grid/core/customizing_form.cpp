#include "grid/core/customizing_form.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "grid/core/draw_utils.h"
#include "grid/core/grid_resources.h"
#include "grid/core/value.h"
#include "platform/ui/application.h"

namespace grid {
namespace {

// A drag out of a list starts once the pointer left this square around the press.
constexpr int kListDragThreshold = 3;
constexpr int kListWidthInZeros = 28;

// Items drawn as header buttons in the grid's look; the current item gets a focus frame
// (standard look) or is inverted (flat look).
class HeaderItemDelegate : public QStyledItemDelegate {
  public:
    explicit HeaderItemDelegate(TgxCustomizingListBox& list)
        : QStyledItemDelegate(&list), list_(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        ui::Guarded([&] {
            ui::TCanvas canvas(*painter);
            QRect q = option.rect;
            ui::Rect r{q.left(), q.top(), q.right() + 1, q.bottom() + 1};
            TCustomgxTreeList* tree = list_.TreeList();
            TgxLookAndFeel look = tree != nullptr ? tree->LookAndFeel() : lfStandard;
            canvas.Font.Assign(tree != nullptr ? tree->GetHeaderFont() : ui::TFont());
            std::string text = index.data(Qt::DisplayRole).toString().toStdString();
            THeaderButton b{
                r,    text,  taLeftJustify, tree != nullptr ? tree->HeaderColor : ui::clBtnFace,
                look, csNone};
            DrawHeaderButton(canvas, b);
            if (option.state & QStyle::State_Selected) {
                if (look == lfFlat)
                    canvas.InvertRect(r);
                else
                    canvas.DrawFocusRect(r.Inflated(-2, -2));
            }
        });
    }

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return {list_.viewport()->width(), list_.ItemHeight()};
    }

  private:
    TgxCustomizingListBox& list_;
};

}  // namespace

TgxCustomizingListBox::TgxCustomizingListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new HeaderItemDelegate(*this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

TgxCustomizingListBox::~TgxCustomizingListBox() = default;

void TgxCustomizingListBox::SetFlat(bool flat) {
    if (flat_ == flat)
        return;
    flat_ = flat;
    setFrameStyle(flat ? (QFrame::Box | QFrame::Plain) : (QFrame::StyledPanel | QFrame::Sunken));
    setLineWidth(1);
}

void TgxCustomizingListBox::SetTreeList(TCustomgxTreeList* tree) {
    tree_ = tree;
    Refresh();
}

int TgxCustomizingListBox::ItemHeight() const {
    if (tree_ == nullptr)
        return 18;
    bool standard = tree_->LookAndFeel() == lfStandard;
    return tree_->Metrics().TextHeight(tree_->GetHeaderFont()) + 5 + (standard ? 1 : 0);
}

int TgxCustomizingListBox::ItemObject(int row) const {
    QListWidgetItem* it = item(row);
    return it != nullptr ? it->data(Qt::UserRole).toInt() : -1;
}

void TgxCustomizingListBox::AddItem(const std::string& caption, int object) {
    auto* it = new QListWidgetItem(QString::fromStdString(caption));
    it->setData(Qt::UserRole, object);
    addItem(it);
}

void TgxCustomizingListBox::Refresh() {
    int top = count() > 0 ? indexAt(QPoint(1, 1)).row() : -1;
    int current = currentRow();
    // A pressed item keeps its press across the refill by what it stands for, not by its
    // row, which may now hold another band or column.
    const int pressed_object = drag_pending_ ? ItemObject(drag_item_) : -1;
    setUpdatesEnabled(false);
    blockSignals(true);
    clear();
    Fill();
    SortByCaption();
    blockSignals(false);
    setUpdatesEnabled(true);
    if (drag_pending_) {
        drag_item_ = -1;
        for (int row = 0; row < count() && pressed_object >= 0; ++row)
            if (ItemObject(row) == pressed_object)
                drag_item_ = row;
        drag_pending_ = drag_item_ >= 0;
    }
    if (count() > 0) {
        if (current >= 0)
            setCurrentRow(std::min(current, count() - 1));
        if (top >= 0)
            scrollToItem(item(std::min(top, count() - 1)), QAbstractItemView::PositionAtTop);
    }
}

void TgxCustomizingListBox::SortByCaption() {
    // In the user's alphabetical order, as the grid sorts its texts: the list's own sort
    // orders by character codes, which puts "city" and "Émile" after "Zip".
    std::vector<std::unique_ptr<QListWidgetItem>> items;
    while (count() > 0)
        items.emplace_back(takeItem(0));
    std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
        const std::string x = a->text().toStdString();
        const std::string y = b->text().toStdString();
        const int folded = CompareText(x, y, true);
        return (folded != 0 ? folded : CompareText(x, y)) < 0;
    });
    for (auto& it : items)
        addItem(it.release());
}

void TgxCustomizingListBox::CancelDrag() {
    if (tree_ != nullptr)
        EndDrag(false);
    drag_pending_ = false;
    drag_item_ = -1;
}

ui::Point TgxCustomizingListBox::TreePoint(QPoint global) const {
    if (tree_ == nullptr)
        return {};
    QPoint p = tree_->viewport()->mapFromGlobal(global);
    return {p.x(), p.y()};
}

void TgxCustomizingListBox::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) {
        ui::Guarded([this] { CancelDrag(); });
        QListWidget::mousePressEvent(e);
        return;
    }
    int row = indexAt(e->position().toPoint()).row();
    if (row >= 0 && row == currentRow() && count() > 0 && tree_ != nullptr && tree_->isVisible()) {
        press_ = e->position().toPoint();
        drag_pending_ = true;
        drag_item_ = row;
    }
    QListWidget::mousePressEvent(e);
}

void TgxCustomizingListBox::mouseMoveEvent(QMouseEvent* e) {
    QPoint p = e->position().toPoint();
    QPoint global = e->globalPosition().toPoint();
    ui::Guarded([&] {
        if (drag_pending_ && (std::abs(p.x() - press_.x()) > kListDragThreshold ||
                              std::abs(p.y() - press_.y()) > kListDragThreshold)) {
            drag_pending_ = false;
            StartDrag(drag_item_);
        }
        if (tree_ != nullptr &&
            (tree_->State() == tsColumnDragging || tree_->State() == tsBandDragging))
            DragMove(global);
    });
    // The list keeps its selection while an item is pressed or dragged.
    if (!(e->buttons() & Qt::LeftButton))
        QListWidget::mouseMoveEvent(e);
}

void TgxCustomizingListBox::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) {
        ui::Guarded([this] { EndDrag(true); });
        drag_pending_ = false;
        drag_item_ = -1;
    }
    QListWidget::mouseReleaseEvent(e);
}

void TgxCustomizingListBox::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape)
        ui::Guarded([this] { CancelDrag(); });
    QListWidget::keyPressEvent(e);
}

bool TgxCustomizingListBox::event(QEvent* e) {
    if (e->type() == QEvent::UngrabMouse)
        ui::Guarded([this] { CancelDrag(); });
    return QListWidget::event(e);
}

void TgxBandsListBox::Fill() {
    TCustomgxTreeList* tree = TreeList();
    if (tree == nullptr)
        return;
    for (int b = 0, n = tree->GetAllBandCount(); b < n; ++b)
        if (tree->IsBandHidden(b))
            AddItem(tree->GetAbsoluteBandText(b), b);
}

void TgxBandsListBox::StartDrag(int item) {
    TCustomgxTreeList* tree = TreeList();
    if (tree == nullptr || !tree->ShowBands() || item < 0)
        return;
    tree->StartBandDragging(ItemObject(item), true);
}

void TgxBandsListBox::DragMove(QPoint global) {
    if (TreeList() != nullptr && TreeList()->State() == tsBandDragging)
        TreeList()->TrackBandDrag(TreePoint(global));
}

void TgxBandsListBox::EndDrag(bool dropped) {
    TCustomgxTreeList* tree = TreeList();
    if (tree != nullptr && tree->State() == tsBandDragging)
        tree->EndBandDrag(dropped);
}

void TgxHeadersListBox::Fill() {
    TCustomgxTreeList* tree = TreeList();
    if (tree == nullptr)
        return;
    for (int c = 0, n = tree->GetColumnCount(); c < n; ++c)
        if (tree->IsColumnCustomizingListed(c))
            AddItem(tree->GetHeaderText(c), c);
}

void TgxHeadersListBox::StartDrag(int item) {
    TCustomgxTreeList* tree = TreeList();
    if (tree == nullptr || !tree->ShowHeader() || item < 0)
        return;
    tree->StartHeaderDragging(ItemObject(item), true);
}

void TgxHeadersListBox::DragMove(QPoint global) {
    if (TreeList() != nullptr && TreeList()->State() == tsColumnDragging)
        TreeList()->TrackHeaderDrag(TreePoint(global));
}

void TgxHeadersListBox::EndDrag(bool dropped) {
    TCustomgxTreeList* tree = TreeList();
    if (tree != nullptr && tree->State() == tsColumnDragging)
        tree->EndHeaderDrag(dropped);
}

void TCustomgxTreeList::ShowColumnsCustomizing() {
    CloseColumnsCustomizing();
    if (!ShowBands() && !ShowHeader())
        return;
    if (GetColumnCount() == 0 && GetBandCount() == 0)
        return;
    int bands_total = GetAllBandCount();
    bool simple = SimpleCustomizeBox || (bands_total == 1 && !ShowBands());
    auto form = std::make_unique<QWidget>(
        nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                     Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    form->setWindowTitle(QString::fromStdString(CustomizeCaption()));
    form->setFont(Font().ToQFont());
    QPalette palette = form->palette();
    palette.setColor(QPalette::Window, ui::clBtnFace.ToQColor());
    palette.setColor(QPalette::Base, ui::clBtnFace.ToQColor());
    form->setPalette(palette);
    auto* layout = new QVBoxLayout(form.get());
    layout->setContentsMargins(0, 0, 0, 0);
    TgxBandsListBox* bands = nullptr;
    TgxHeadersListBox* headers = nullptr;
    auto setup = [&](TgxCustomizingListBox* list) {
        // Set on each list too: under an application style sheet a palette set on the form
        // no longer reaches its children, and the lists came out white.
        list->setPalette(palette);
        list->setFont(Font().ToQFont());
        list->SetFlat(look_and_feel_ == lfFlat);
        list->SetTreeList(this);
        int row = list->ItemHeight();
        int frame = list->frameWidth() * 2;
        list->setFixedSize(zero_width_ * kListWidthInZeros + frame,
                           row * CustomizingRowCount() + frame);
    };
    if (simple) {
        headers = new TgxHeadersListBox(form.get());
        setup(headers);
        layout->addWidget(headers);
    } else {
        auto* pages = new QTabWidget(form.get());
        pages->setObjectName("PageControl");
        pages->tabBar()->setMouseTracking(true);
        auto* bands_page = new QWidget;
        bands_page->setObjectName("tsBands");
        auto* bands_layout = new QVBoxLayout(bands_page);
        bands_layout->setContentsMargins(0, 0, 0, 0);
        bands = new TgxBandsListBox(bands_page);
        setup(bands);
        bands_layout->addWidget(bands);
        auto* headers_page = new QWidget;
        headers_page->setObjectName("tsHeaders");
        auto* headers_layout = new QVBoxLayout(headers_page);
        headers_layout->setContentsMargins(0, 0, 0, 0);
        headers = new TgxHeadersListBox(headers_page);
        setup(headers);
        headers_layout->addWidget(headers);
        pages->addTab(bands_page, QString::fromStdString(BandsPageCaption()));
        pages->addTab(headers_page, QString::fromStdString(HeadersPageCaption()));
        layout->addWidget(pages);
    }
    form->adjustSize();
    // A tool window of a fixed size: no sizing, no minimising or maximising.
    form->setFixedSize(form->size());
    if (customizing_pos_.x == -1000 && customizing_pos_.y == -1000) {
        // Corner to corner, frames included: a window is moved by its frame, and a form
        // placed by its client size alone hangs its frame's height below the owner, off
        // the screen under a maximised owner. The form's frame is not known before it is
        // shown; the owner's stands in for it.
        QWidget* owner = window();
        const QRect owner_frame = owner->frameGeometry();
        const QSize margins = owner_frame.size() - owner->size();
        const QSize outer = form->size() + margins;
        form->move(std::max(0, owner_frame.x() + owner_frame.width() - outer.width()),
                   std::max(0, owner_frame.y() + owner_frame.height() - outer.height()));
    } else {
        form->move(customizing_pos_.x, customizing_pos_.y);
    }
    if (bands != nullptr && customizing_bands_index_ >= 0 &&
        customizing_bands_index_ < bands->count())
        bands->setCurrentRow(customizing_bands_index_);
    if (headers != nullptr && customizing_headers_index_ >= 0 &&
        customizing_headers_index_ < headers->count())
        headers->setCurrentRow(customizing_headers_index_);
    QWidget* shown = form.get();
    SetCustomizingForm(std::move(form), bands, headers);
    shown->show();
}

void TCustomgxTreeList::CloseColumnsCustomizing() {
    if (customizing_form_)
        customizing_form_->close();
}

bool TCustomgxTreeList::PointInCustomizingArea(ui::Point screen) const {
    if (!customizing_form_ || !customizing_form_->isVisible())
        return false;
    QPoint local = customizing_form_->mapFromGlobal(QPoint(screen.x, screen.y));
    return customizing_form_->rect().contains(local);
}

void TCustomgxTreeList::RefreshCustomizingLists() {
    for (QListWidget* list : {static_cast<QListWidget*>(customizing_bands_list_),
                              static_cast<QListWidget*>(customizing_headers_list_)})
        if (auto* box = dynamic_cast<TgxCustomizingListBox*>(list))
            box->Refresh();
}

}  // namespace grid
