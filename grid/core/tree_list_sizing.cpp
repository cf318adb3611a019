// What a sizing drag applies (band and column widths with the AutoWidth sharing), the
// bracket that hides the drag visuals, and the middle-button pan scrolling.

#include <QApplication>
#include <QBitmap>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>

#include <algorithm>
#include <cstdlib>

#include "grid/core/grid_resources.h"
#include "grid/core/tree_list.h"
#include "platform/ui/application.h"
#include "platform/ui/timer.h"

namespace grid {
namespace {

constexpr int kPanInterval = 20;
constexpr int kPanMarkSize = 28;
constexpr int kPanMaxSpeed = 12;

// Shares delta out of the absorbing widths in proportion to them; the last takes the
// remainder of the integer divisions.
void Absorb(std::vector<int>& widths, const std::vector<std::size_t>& absorbers, int delta) {
    if (absorbers.empty())
        return;
    int sum = 0;
    for (std::size_t j : absorbers)
        sum += widths[j];
    int taken = 0;
    for (std::size_t k = 0; k + 1 < absorbers.size(); ++k) {
        int share = sum == 0 ? 0 : ui::MulDiv(delta, widths[absorbers[k]], sum);
        widths[absorbers[k]] -= share;
        taken += share;
    }
    widths[absorbers.back()] -= delta - taken;
}

// Where a column sits in the band layout: its band row and position.
bool FindColumn(const TCustomgxTreeList& tree, int band, int column, int& row, int& pos) {
    for (int r = 0, rows = tree.GetHeaderRowCount(band); r < rows; ++r)
        for (int p = 0, n = tree.GetHeaderColCount(band, r); p < n; ++p)
            if (tree.GetHeaderAbsoluteIndex(band, r, p) == column) {
                row = r;
                pos = p;
                return true;
            }
    return false;
}

// Holds an update lock unless one is held already.
class UpdateScope {
  public:
    explicit UpdateScope(TCustomgxTreeList& tree) : tree_(tree), own_(tree.UpdateLockCount() == 0) {
        if (own_)
            tree_.BeginUpdate();
    }
    ~UpdateScope() {
        if (own_)
            tree_.EndUpdate();
    }
    UpdateScope(const UpdateScope&) = delete;
    UpdateScope& operator=(const UpdateScope&) = delete;

  private:
    TCustomgxTreeList& tree_;
    bool own_;
};

}  // namespace

void TCustomgxTreeList::ApplyBandSizing(int width, int band) {
    int n = GetBandCount();
    if (band < 0 || band >= n)
        return;
    if (!IsAutoWidth() || n == 1) {
        if (IsBandHeaderWidth())
            FitBandColumns(width, band);
        else
            SetVisibleBandWidth(band, width);
        return;
    }
    std::vector<int> widths(static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j)
        widths[static_cast<std::size_t>(j)] = GetBandDisplayWidth(j);
    std::vector<int> old = widths;
    std::vector<std::size_t> absorbers;
    if (band < n - 1)
        for (int j = band + 1; j < n; ++j)
            absorbers.push_back(static_cast<std::size_t>(j));
    else
        for (int j = 0; j < n - 1; ++j)
            absorbers.push_back(static_cast<std::size_t>(j));
    Absorb(widths, absorbers, width - widths[static_cast<std::size_t>(band)]);
    widths[static_cast<std::size_t>(band)] = width;
    UpdateScope lock(*this);
    for (int j = 0; j < n; ++j) {
        int w = std::max(0, widths[static_cast<std::size_t>(j)]);
        if (IsBandHeaderWidth())
            FitBandColumns(w, j);
        else
            SetVisibleBandWidth(j, w);
    }
}

void TCustomgxTreeList::FitBandColumns(int width, int band) {
    UpdateScope lock(*this);
    int old_width = GetBandDisplayWidth(band);
    if (old_width <= 0)
        return;
    int indent = band == 0 ? GetGroupIndentWidth() : 0;
    std::vector<std::pair<int, int>> displayed;
    for (int r = 0, rows = GetHeaderRowCount(band); r < rows; ++r)
        for (int p = 0, n = GetHeaderColCount(band, r); p < n; ++p) {
            int c = GetHeaderAbsoluteIndex(band, r, p);
            int w = GetHeaderWidth(c) - (p == 0 ? indent : 0);
            displayed.emplace_back(c, w);
        }
    for (auto [c, w] : displayed)
        SetColumnWidthFromSizing(c, ui::MulDiv(w, width, old_width));
    ScaleHiddenColumns(band, width, old_width);
    SetVisibleBandWidth(band, width);
}

void TCustomgxTreeList::ApplyColumnSizing(int width, int band, int column) {
    int row = 0, pos = 0;
    if (!FindColumn(*this, band, column, row, pos))
        return;
    int indent = band == 0 ? GetGroupIndentWidth() : 0;
    int band_width = GetBandDisplayWidth(band) + indent;
    std::vector<int> widths = RowCellWidths(band, row, band_width);
    const std::size_t n = widths.size();
    const std::size_t i = static_cast<std::size_t>(pos);
    if (!widths.empty())
        widths[0] -= indent;
    if (pos == 0)
        width -= indent;
    std::vector<std::size_t> absorbers;
    if (i + 1 < n)
        for (std::size_t j = i + 1; j < n; ++j)
            absorbers.push_back(j);
    else
        for (std::size_t j = 0; j < i; ++j)
            absorbers.push_back(j);
    const int old_total = [&] {
        int t = 0;
        for (int w : widths)
            t += w;
        return t;
    }();
    Absorb(widths, absorbers, width - widths[i]);
    widths[i] = width;
    UpdateScope lock(*this);
    for (std::size_t p = 0; p < n; ++p)
        SetColumnWidthFromSizing(GetHeaderAbsoluteIndex(band, row, static_cast<int>(p)),
                                 std::max(0, widths[p]));
    if (IsBandHeaderWidth()) {
        int new_total = 0;
        for (int w : widths)
            new_total += w;
        for (int r = 0, rows = GetHeaderRowCount(band); r < rows; ++r) {
            if (r == row || old_total <= 0)
                continue;
            std::vector<int> other = RowCellWidths(band, r, band_width);
            if (!other.empty())
                other[0] -= indent;
            for (std::size_t p = 0; p < other.size(); ++p)
                SetColumnWidthFromSizing(GetHeaderAbsoluteIndex(band, r, static_cast<int>(p)),
                                         ui::MulDiv(other[p], new_total, old_total));
        }
    }
}

void TCustomgxTreeList::ApplyColumnSizingNoAutoWidth(int width, int band, int column) {
    int row = 0, pos = 0;
    if (!FindColumn(*this, band, column, row, pos))
        return;
    int indent = band == 0 ? GetGroupIndentWidth() : 0;
    int old_band = GetBandDisplayWidth(band);
    std::vector<int> own = RowCellWidths(band, row, old_band + indent);
    const std::size_t i = static_cast<std::size_t>(pos);
    int new_band = std::max(0, old_band + (width - own[i]));
    if (!own.empty())
        own[0] -= indent;
    own[i] = width - (pos == 0 ? indent : 0);
    int used = 0;
    for (std::size_t p = 0; p + 1 < own.size(); ++p)
        used += own[p];
    own.back() = new_band - used;
    UpdateScope lock(*this);
    for (std::size_t p = 0; p < own.size(); ++p)
        SetColumnWidthFromSizing(GetHeaderAbsoluteIndex(band, row, static_cast<int>(p)),
                                 std::max(0, own[p]));
    for (int r = 0, rows = GetHeaderRowCount(band); r < rows; ++r) {
        if (r == row || old_band <= 0)
            continue;
        std::vector<int> other = RowCellWidths(band, r, old_band + indent);
        if (!other.empty())
            other[0] -= indent;
        int sum = 0;
        for (std::size_t p = 0; p < other.size(); ++p) {
            int w =
                p + 1 < other.size() ? ui::MulDiv(other[p], new_band, old_band) : new_band - sum;
            sum += w;
            SetColumnWidthFromSizing(GetHeaderAbsoluteIndex(band, r, static_cast<int>(p)),
                                     std::max(0, w));
        }
    }
    SetVisibleBandWidth(band, new_band);
}

void TCustomgxTreeList::HideDragImages() {
    if (drag_images_hidden_++ != 0)
        return;
    if (sizing_line_shown_)
        InvalidateRect(SizingLineRect());
    if (drag_image_)
        drag_image_->hide();
    if (drag_arrows_)
        drag_arrows_->hide();
}

void TCustomgxTreeList::ShowDragImages() {
    if (drag_images_hidden_ <= 0 || --drag_images_hidden_ != 0)
        return;
    if (sizing_line_shown_)
        InvalidateRect(SizingLineRect());
    bool dragging = state_ == tsColumnDragging || state_ == tsBandDragging;
    if (drag_image_ && dragging)
        drag_image_->show();
    if (drag_arrows_ && dragging && drag_arrows_->property("placed").toBool())
        drag_arrows_->show();
}

void TCustomgxTreeList::PanDirection(int dx, int dy, int mark, bool horz, bool vert, int& direction,
                                     int& speed) {
    bool inside_x = !horz || std::abs(dx) <= mark / 2;
    bool inside_y = !vert || std::abs(dy) <= mark / 2;
    if (inside_x && inside_y) {
        direction = 0;
        speed = 0;
        return;
    }
    int distance;
    if (horz && (!vert || std::abs(dx) > std::abs(dy))) {
        direction = dx >= 0 ? 3 : 1;
        distance = std::abs(dx);
    } else {
        direction = dy >= 0 ? 4 : 2;
        distance = std::abs(dy);
    }
    speed = std::min(kPanMaxSpeed, (distance - mark / 2) / 5 + 1);
}

// The pan mode: a floating mark at the start point, a 20 ms timer that scrolls one line
// every (13 - speed) ticks, and an application-wide filter that takes the mouse and keys
// until a key, another button or the middle button's release (after a move) ends it.
class TCustomgxTreeList::PanScroller : public QObject {
  public:
    PanScroller(TCustomgxTreeList& tree, QPoint start)
        : tree_(tree),
          start_(start),
          horz_(tree.horizontalScrollBar()->isVisible()),
          vert_(tree.verticalScrollBar()->isVisible()) {
        // A grid without visible bars still scrolls the way its styles allow.
        if (!horz_ && !vert_) {
            horz_ = tree.IsHorzScrollBar();
            vert_ = tree.IsVertScrollBar();
        }
        MakeMark();
        SetCursor();
        timer_.OnTimer = [this] { Tick(); };
        timer_.Start(kPanInterval);
        tree_.viewport()->grabMouse();
        qApp->installEventFilter(this);
    }

    ~PanScroller() override { Finish(); }

    bool Finished() const { return finished_; }
    int Direction() const { return direction_; }
    int Speed() const { return speed_; }

    void Finish() {
        if (finished_)
            return;
        finished_ = true;
        qApp->removeEventFilter(this);
        timer_.Stop();
        if (QWidget::mouseGrabber() == tree_.viewport())
            tree_.viewport()->releaseMouse();
        tree_.viewport()->unsetCursor();
        mark_.reset();
    }

    bool eventFilter(QObject* watched, QEvent* e) override {
        if (finished_)
            return QObject::eventFilter(watched, e);
        switch (e->type()) {
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
                if (e->type() == QEvent::KeyPress &&
                    static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
                    Stop();
                return true;
            case QEvent::MouseMove: {
                QPoint p = static_cast<QMouseEvent*>(e)->globalPosition().toPoint();
                ui::Guarded([&] { Moved(p); });
                return true;
            }
            case QEvent::MouseButtonRelease:
                if (static_cast<QMouseEvent*>(e)->button() == Qt::MiddleButton && !left_zone_)
                    return true;
                Stop();
                return true;
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
                Stop();
                return true;
            default:
                return QObject::eventFilter(watched, e);
        }
    }

    void Moved(QPoint p) {
        int direction = 0, speed = 0;
        PanDirection(p.x() - start_.x(), p.y() - start_.y(), kPanMarkSize, horz_, vert_, direction,
                     speed);
        if (direction != 0)
            left_zone_ = true;
        direction_ = direction;
        speed_ = direction == 0 ? 1 : speed;
        SetCursor();
    }

  private:
    void Stop() {
        Finish();
        // The scroller goes once the event that ended it has been handled.
        QMetaObject::invokeMethod(
            &tree_, [tree = &tree_] { tree->StopPanScroll(); }, Qt::QueuedConnection);
    }

    void Tick() {
        ++ticks_;
        if (direction_ == 0 || ticks_ % (13 - speed_) != 0)
            return;
        switch (direction_) {
            case 1:
                tree_.SetLeftCoord(tree_.LeftCoord() - std::max(1, tree_.ZeroWidth()));
                break;
            // A line of the vertical scroll bar, as its arrow gives: a grid whose rows are a
            // window on its dataset moves the dataset instead of its rows.
            case 2:
                tree_.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
                break;
            case 3:
                tree_.SetLeftCoord(tree_.LeftCoord() + std::max(1, tree_.ZeroWidth()));
                break;
            case 4:
                tree_.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
                break;
            default:
                break;
        }
    }

    void SetCursor() {
        static constexpr int by_direction[] = {0, crLeftScroll, crUpScroll, crRightScroll,
                                               crDownScroll};
        int id = direction_ != 0  ? by_direction[direction_]
                 : horz_ && vert_ ? crFullScroll
                 : horz_          ? crHorScroll
                                  : crVerScroll;
        tree_.viewport()->setCursor(GridCursor(id));
    }

    void MakeMark() {
        QPixmap pixmap(kPanMarkSize, kPanMarkSize);
        pixmap.fill(QColor(255, 255, 255));
        {
            QPainter p(&pixmap);
            p.setPen(Qt::black);
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(0, 0, kPanMarkSize - 1, kPanMarkSize - 1);
            p.setBrush(Qt::black);
            const int c = kPanMarkSize / 2;
            auto head = [&](int dx, int dy) {
                QPolygon poly;
                int x = c + dx * 8, y = c + dy * 8;
                if (dx != 0)
                    poly << QPoint(x + dx * 3, y) << QPoint(x, y - 3) << QPoint(x, y + 3);
                else
                    poly << QPoint(x, y + dy * 3) << QPoint(x - 3, y) << QPoint(x + 3, y);
                p.drawPolygon(poly);
            };
            if (horz_) {
                head(-1, 0);
                head(1, 0);
            }
            if (vert_ || !horz_) {
                head(0, -1);
                head(0, 1);
            }
            p.drawEllipse(QPoint(c, c), 1, 1);
        }
        auto mark = std::make_unique<QLabel>(
            nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
        mark->setAttribute(Qt::WA_ShowWithoutActivating);
        mark->setAttribute(Qt::WA_TransparentForMouseEvents);
        mark->setPixmap(pixmap);
        mark->setFixedSize(kPanMarkSize, kPanMarkSize);
        mark->setMask(QRegion(0, 0, kPanMarkSize + 1, kPanMarkSize + 1, QRegion::Ellipse));
        mark->move(start_.x() - kPanMarkSize / 2, start_.y() - kPanMarkSize / 2);
        mark->show();
        mark_ = std::move(mark);
    }

    TCustomgxTreeList& tree_;
    QPoint start_;
    bool horz_;
    bool vert_;
    std::unique_ptr<QWidget> mark_;
    ui::TTimer timer_;
    int direction_ = 0;
    int speed_ = 1;
    int ticks_ = 0;
    bool left_zone_ = false;
    bool finished_ = false;
};

void TCustomgxTreeList::PanDeleter::operator()(PanScroller* pan) const {
    delete pan;
}

void TCustomgxTreeList::StartPanScroll(ui::Point screen) {
    pan_.reset();
    pan_.reset(new PanScroller(*this, QPoint(screen.x, screen.y)));
}

bool TCustomgxTreeList::IsPanScrolling() const {
    return pan_ && !pan_->Finished();
}

void TCustomgxTreeList::StopPanScroll() {
    pan_.reset();
}

}  // namespace grid
