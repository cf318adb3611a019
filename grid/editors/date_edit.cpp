#include "grid/editors/date_edit.h"

#include <QApplication>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "platform/db/conversions.h"
#include "platform/nls/language_table.h"
#include "platform/nls/nls.h"
#include "platform/ui/application.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"

namespace grid {

namespace {
const char* const kTodayCaption = "Today";
const char* const kClearCaption = "Clear";
const char* const kInvalidDate = "Invalid Date";

QString MonthTitle(db::TDateTime date) {
    int y = 0, m = 0, d = 0;
    db::DecodeDate(date, y, m, d);
    const std::string& name = db::FormatSettings().LongMonthNames[static_cast<std::size_t>(m - 1)];
    return QString::fromStdString(name) + " " + QString::number(y);
}

bool HasTime(db::TDateTime value) {
    return value.Value != std::floor(value.Value);
}
}  // namespace

int FirstWeekDayOfLanguage(std::uint16_t language) {
    // The language's territory decides, so that the calendar agrees with the day and month
    // names the program takes from the same language; unknown ones count as English (USA).
    std::string_view name = "en_US";
    for (const auto& row : platform::nls::detail::kLanguageRows)
        if (row.id == language && !row.icu_locale.empty()) {
            name = row.icu_locale;
            break;
        }
    const QLocale locale(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    // Qt counts Monday = 1 .. Sunday = 7; the calendar counts Sunday = 0.
    return static_cast<int>(locale.firstDayOfWeek()) % 7;
}

int& CalendarFirstWeekDay() {
    static int value = FirstWeekDayOfLanguage(platform::nls::GetUserDefaultLangID());
    return value;
}

std::string DateToText(db::TDateTime value, bool use_mask, const std::string& blank_mask_text) {
    if (IsNullDate(value))
        return use_mask ? blank_mask_text : std::string();
    const db::TFormatSettings& format = db::FormatSettings();
    const std::string padded = PaddedDateFormat(format.ShortDateFormat);
    if (use_mask || !HasTime(value))
        return db::FormatDateTime(padded, value, format);
    return db::FormatDateTime(padded + " hh:nn:ss", value, format);
}

namespace {
// The month list's first row, kept so that its seven months stay inside the calendar.
db::TDateTime ListTop(db::TDateTime month, int delta) {
    return std::min(ClampedMonth(month, delta), db::EncodeDate(9999, 6, 1));
}
}  // namespace

TAMonthListBox::TAMonthListBox(TgxGridDatePopup* popup)
    : QWidget(popup, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      timer_(std::make_unique<ui::TTimer>()) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    timer_->OnTimer = [this] { Scroll(); };
}

TAMonthListBox::~TAMonthListBox() {
    timer_->OnTimer = nullptr;
}

db::TDateTime TAMonthListBox::ChosenDate() const {
    if (ItemIndex < 0 || IsNullDate(TopDate))
        return db::TDateTime(kNullDate);
    return ClampedMonth(TopDate, ItemIndex);
}

void TAMonthListBox::Track(QPoint p) {
    const int top = 1, bottom = height() - 1;
    if (p.y() >= top && p.y() < bottom) {
        int index = std::clamp((p.y() - top) / std::max(1, ItemHeight), 0, 6);
        timer_->Stop();
        direction_ = 0;
        if (index != ItemIndex) {
            ItemIndex = index;
            update();
        }
        return;
    }
    ItemIndex = -1;
    update();
    const int dir = p.y() < top ? -1 : 1;
    const int distance = dir < 0 ? top - p.y() : p.y() - bottom + 1;
    const int step = std::min(distance / 12 + 1, 4);
    static const int kIntervals[] = {500, 250, 100, 50};
    if (timer_->Running() && dir == direction_ && step == step_)
        return;
    direction_ = dir;
    step_ = step;
    timer_->Start(kIntervals[step - 1]);
}

void TAMonthListBox::Scroll() {
    TopDate = ListTop(TopDate, direction_);
    update();
}

void TAMonthListBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = QApplication::palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    p.setPen(pal.color(QPalette::WindowText));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    int y = 0, m = 0, d = 0;
    db::DecodeDate(TopDate, y, m, d);
    for (int i = 0; i < 7; ++i) {
        QRect row(1, 1 + i * ItemHeight, width() - 2, ItemHeight);
        const bool hot = i == ItemIndex;
        p.fillRect(row, hot ? pal.color(QPalette::WindowText) : pal.color(QPalette::Base));
        p.setPen(hot ? pal.color(QPalette::Base) : pal.color(QPalette::WindowText));
        p.drawText(row, Qt::AlignCenter, MonthTitle(db::EncodeDate(y, m, 1)));
        IncMonth(y, m);
    }
}

TgxGridDatePopup::TgxGridDatePopup(QWidget* parent)
    : TgxEditorPopup(parent),
      first_date_(FirstOfMonth(db::Date())),
      sel_start_(db::Date()),
      arrow_timer_(std::make_unique<ui::TTimer>()) {
    arrow_timer_->OnTimer = [this] { StepMonth(arrow_direction_); };
    setMouseTracking(true);
    resize(20, 20);
    ComputeMetrics();
}

TgxGridDatePopup::~TgxGridDatePopup() {
    arrow_timer_->OnTimer = nullptr;
}

void TgxGridDatePopup::SetFlat(bool value) {
    flat_ = value;
    ComputeMetrics();
}

void TgxGridDatePopup::ComputeMetrics() {
    const QFontMetrics fm(font());
    const int zero = fm.horizontalAdvance('0');
    const int size = std::max(1, font().pointSize());
    col_width_ = 3 * zero;
    margin_width_ = 2 * zero;
    row_height_ = fm.height() + 2;
    header_height_ = row_height_ + 2 + (flat_ ? 1 : 0);
    day_name_height_ = row_height_ + 1;
    today_width_ = fm.horizontalAdvance(kTodayCaption) + col_width_;
    clear_width_ = fm.horizontalAdvance(kClearCaption) + col_width_;
    button_margin_ = size / 2;
    date_button_height_ = size * 5 / 2;
    button_area_height_ = size * 3 / 4 + button_margin_ + date_button_height_;
    UpdateSize();
}

void TgxGridDatePopup::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange)
        ComputeMetrics();
    TgxEditorPopup::changeEvent(e);
}

void TgxGridDatePopup::SetMonthCounts(int cols, int rows) {
    month_col_count_ = std::max(1, cols);
    month_row_count_ = std::max(1, rows);
    UpdateSize();
    CheckSelection();
    update();
}

void TgxGridDatePopup::UpdateSize() {
    const int frame = 2;
    const int w = frame + month_col_count_ * (2 * margin_width_ + 7 * col_width_);
    int h = frame + month_row_count_ *
                        (header_height_ + (flat_ ? 0 : 1) + day_name_height_ + 6 * row_height_ + 1);
    if (AnyButton())
        h += button_area_height_;
    resize(w, h);
}

void TgxGridDatePopup::SetFirstDate(db::TDateTime date) {
    if (!InCalendar(date))
        return;
    // Every block's month stays inside the calendar.
    db::TDateTime first =
        std::min(FirstOfMonth(date), ClampedMonth(db::EncodeDate(9999, 12, 1), 1 - Blocks()));
    if (first != first_date_) {
        first_date_ = first;
        update();
    }
}

db::TDateTime TgxGridDatePopup::GetFirstVisibleDate() const {
    return FirstVisibleDate(first_date_, CalendarFirstWeekDay());
}

db::TDateTime TgxGridDatePopup::GetLastVisibleDate() const {
    return LastVisibleDate(first_date_, CalendarFirstWeekDay(), Blocks());
}

db::TDateTime TgxGridDatePopup::GetLastDate() const {
    int y = 0, m = 0, d = 0;
    db::DecodeDate(first_date_, y, m, d);
    return db::EncodeDate(y, m, DaysPerMonth(y, m));
}

void TgxGridDatePopup::CheckSelection() {
    SetFirstDate(KeepInView(first_date_, sel_start_, CalendarFirstWeekDay(), Blocks()));
}

void TgxGridDatePopup::SetSelStart(db::TDateTime date) {
    if (date == sel_start_)
        return;
    CheckSelection();
    sel_start_ = date;
    CheckSelection();
    update();
}

void TgxGridDatePopup::Select(db::TDateTime date) {
    SetSelStart(date);
}

void TgxGridDatePopup::StepMonth(int delta) {
    int y = 0, m = 0, d = 0;
    db::DecodeDate(first_date_, y, m, d);
    const db::TDateTime month = MonthStart(y, m, delta);
    if (!IsNullDate(month))
        SetFirstDate(month);
}

QRect TgxGridDatePopup::BlockRect(int block) const {
    const int w = (width() - 2) / month_col_count_;
    const int h = header_height_ + (flat_ ? 0 : 1) + day_name_height_ + 6 * row_height_ + 1;
    return QRect((block % month_col_count_) * w, (block / month_col_count_) * h, w, h);
}

QRect TgxGridDatePopup::HeaderRect(int block) const {
    const QRect b = BlockRect(block);
    return QRect(b.left(), b.top(), b.width(), header_height_);
}

QRect TgxGridDatePopup::LeftArrowRect() const {
    const QRect h = HeaderRect(0);
    return QRect(QPoint(h.left() + 1, h.top() + 1),
                 QPoint(h.left() + col_width_ - 2, h.top() + header_height_ - 2));
}

QRect TgxGridDatePopup::RightArrowRect() const {
    const QRect h = HeaderRect(Blocks() - 1);
    const int right = h.left() + h.width();
    return QRect(QPoint(right - col_width_, h.top() + 1),
                 QPoint(right - 2 - (flat_ ? 0 : 1), h.top() + header_height_ - 2));
}

QRect TgxGridDatePopup::TitleRect(int block) const {
    const QRect h = HeaderRect(block);
    return QRect(QPoint(h.left() + col_width_, h.top()),
                 QPoint(h.right() - col_width_, h.bottom()));
}

QRect TgxGridDatePopup::DayCellRect(int row, int col, int block) const {
    const QRect b = BlockRect(block);
    const int top = b.top() + header_height_ + (flat_ ? 0 : 1) + day_name_height_;
    return QRect(b.left() + margin_width_ + col * col_width_, top + row * row_height_, col_width_,
                 row_height_);
}

QRect TgxGridDatePopup::TodayButtonRect() const {
    const int w = width() - 2, h = height() - 2;
    const int top = h - button_area_height_ + button_margin_;
    int left = (w - today_width_) / 2;
    if (ShowClear)
        left = (w - today_width_ - clear_width_) / 3;
    return QRect(left, top, today_width_, date_button_height_);
}

QRect TgxGridDatePopup::ClearButtonRect() const {
    const int w = width() - 2, h = height() - 2;
    const int top = h - button_area_height_ + button_margin_;
    int left = (w - clear_width_) / 2;
    if (ShowToday)
        left = w - (w - today_width_ - clear_width_) / 3 - clear_width_;
    return QRect(left, top, clear_width_, date_button_height_);
}

db::TDateTime TgxGridDatePopup::GetDateAtPos(QPoint p) const {
    const db::TDateTime null(kNullDate);
    if (p.x() < 0 || p.y() < 0)
        return null;
    const QRect block0 = BlockRect(0);
    const int bc = p.x() / std::max(1, block0.width()), br = p.y() / std::max(1, block0.height());
    if (bc >= month_col_count_ || br >= month_row_count_)
        return null;
    const int block = br * month_col_count_ + bc;
    const QRect first = DayCellRect(0, 0, block);
    const int dx = p.x() - first.left(), dy = p.y() - first.top();
    if (dx < 0 || dy < 0 || dx >= 7 * col_width_ || dy >= 6 * row_height_)
        return null;
    return BlockCellDate(first_date_, block, Blocks(), dy / row_height_, dx / col_width_,
                         CalendarFirstWeekDay());
}

void TgxGridDatePopup::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = QApplication::palette();
    const QRect client(1, 1, width() - 2, height() - 2);
    p.fillRect(rect(), pal.color(QPalette::Base));
    p.setPen(pal.color(QPalette::Dark));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.translate(1, 1);
    for (int block = 0; block < Blocks(); ++block)
        PaintBlock(p, block);
    // Today and Clear.
    auto button = [&](const QRect& b, const char* caption, bool down) {
        p.fillRect(b, pal.color(QPalette::Button));
        p.setPen(down ? pal.color(QPalette::Dark) : pal.color(QPalette::Light));
        p.drawLine(b.topLeft(), b.topRight());
        p.drawLine(b.topLeft(), b.bottomLeft());
        p.setPen(down ? pal.color(QPalette::Light) : pal.color(QPalette::Dark));
        p.drawLine(b.bottomLeft(), b.bottomRight());
        p.drawLine(b.topRight(), b.bottomRight());
        p.setPen(pal.color(QPalette::ButtonText));
        p.drawText(b.translated(down ? 1 : 0, down ? 1 : 0), Qt::AlignCenter, caption);
    };
    if (AnyButton()) {
        p.fillRect(
            QRect(0, client.height() - button_area_height_, client.width(), button_area_height_),
            pal.color(QPalette::Button));
        if (ShowToday)
            button(TodayButtonRect(), kTodayCaption, today_pressed_ && today_hot_);
        if (ShowClear)
            button(ClearButtonRect(), kClearCaption, clear_pressed_ && clear_hot_);
    }
}

void TgxGridDatePopup::PaintBlock(QPainter& p, int block) {
    const QPalette pal = QApplication::palette();
    const bool first_block = block == 0, last_block = block == Blocks() - 1;
    int fy = 0, fm = 0, fd = 0;
    db::DecodeDate(first_date_, fy, fm, fd);
    ChangeMonth(fy, fm, block);
    // Header band: its left edge only on the first block, its right edge only on the last.
    const QRect header = HeaderRect(block);
    p.fillRect(header, pal.color(QPalette::Button));
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(header.topLeft(), header.topRight());
    if (first_block)
        p.drawLine(header.topLeft(), header.bottomLeft());
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(header.bottomLeft(), header.bottomRight());
    if (last_block)
        p.drawLine(header.topRight(), header.bottomRight());
    p.setPen(pal.color(QPalette::ButtonText));
    p.drawText(header, Qt::AlignCenter, MonthTitle(db::EncodeDate(fy, fm, 1)));
    p.setBrush(pal.color(QPalette::ButtonText));
    p.setPen(Qt::NoPen);
    const int ah = std::max(3, header_height_ / 4);
    if (first_block) {
        const QRect la = LeftArrowRect();
        p.drawPolygon(QPolygon({QPoint(la.center().x() - ah / 2, la.center().y()),
                                QPoint(la.center().x() + ah / 2, la.center().y() - ah),
                                QPoint(la.center().x() + ah / 2, la.center().y() + ah)}));
    }
    if (last_block) {
        const QRect ra = RightArrowRect();
        p.drawPolygon(QPolygon({QPoint(ra.center().x() + ah / 2, ra.center().y()),
                                QPoint(ra.center().x() - ah / 2, ra.center().y() - ah),
                                QPoint(ra.center().x() - ah / 2, ra.center().y() + ah)}));
    }
    p.setBrush(Qt::NoBrush);
    // Weekday initials, then a line.
    const db::TFormatSettings& format = db::FormatSettings();
    const QRect first_cell = DayCellRect(0, 0, block);
    const int names_top = first_cell.top() - day_name_height_;
    p.setPen(pal.color(QPalette::WindowText));
    for (int c = 0; c < 7; ++c) {
        const std::string& name =
            format.ShortDayNames[static_cast<std::size_t>((CalendarFirstWeekDay() + c) % 7)];
        QRect cell(first_cell.left() + c * col_width_, names_top, col_width_ - 3, day_name_height_);
        p.drawText(cell, Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(name).left(1));
    }
    p.drawLine(first_cell.left(), first_cell.top() - 1, first_cell.left() + 7 * col_width_ - 1,
               first_cell.top() - 1);
    // Six weeks of days; cells of a neighbouring month inside the grid of blocks stay empty.
    const db::TDateTime today = db::Date();
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 7; ++c) {
            const db::TDateTime d =
                BlockCellDate(first_date_, block, Blocks(), r, c, CalendarFirstWeekDay());
            const QRect cell = DayCellRect(r, c, block);
            if (IsNullDate(d)) {
                p.fillRect(cell, pal.color(QPalette::Base));
                continue;
            }
            const bool selected = d == sel_start_;
            p.fillRect(cell, selected ? (flat_ ? pal.color(QPalette::Button)
                                               : pal.color(QPalette::Highlight))
                                      : pal.color(QPalette::Base));
            if (d == today) {
                p.setPen(QColor(128, 0, 0));
                p.drawRect(cell.adjusted(0, 0, -1, -1));
            }
            int y = 0, m = 0, day = 0;
            db::DecodeDate(d, y, m, day);
            QColor ink = pal.color(QPalette::WindowText);
            if (selected && !flat_)
                ink = pal.color(QPalette::HighlightedText);
            else if (m != fm)
                ink = pal.color(QPalette::Disabled, QPalette::WindowText);
            p.setPen(ink);
            p.drawText(cell.adjusted(0, 0, -3, 0), Qt::AlignRight | Qt::AlignVCenter,
                       QString::number(day));
        }
}

void TgxGridDatePopup::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return;
    const QPoint p = e->position().toPoint() - QPoint(1, 1);
    if (ShowToday && TodayButtonRect().contains(p)) {
        today_pressed_ = today_hot_ = true;
        update();
        return;
    }
    if (ShowClear && ClearButtonRect().contains(p)) {
        clear_pressed_ = clear_hot_ = true;
        update();
        return;
    }
    if (AnyButton() && p.y() >= height() - 2 - button_area_height_)
        return;
    mouse_down_ = true;
    remembered_ = sel_start_;
    const db::TDateTime d = GetDateAtPos(p);
    if (!IsNullDate(d))
        Select(d);
    if (LeftArrowRect().contains(p) || RightArrowRect().contains(p)) {
        arrow_direction_ = LeftArrowRect().contains(p) ? -1 : 1;
        StepMonth(arrow_direction_);
        arrow_timer_->Start(kArrowRepeat);
    } else {
        int block = 0;
        while (block < Blocks() && !TitleRect(block).contains(p))
            ++block;
        if (block == Blocks())
            return;
        month_list_index_ = block;
        month_list_ = std::make_unique<TAMonthListBox>(this);
        month_list_->setFont(font());
        month_list_->ItemHeight = header_height_ - 2;
        month_list_->TopDate = ListTop(first_date_, month_list_index_ - 3);
        const int lw = 2 + 6 * col_width_, lh = 2 + 7 * month_list_->ItemHeight;
        const QPoint centre = mapToGlobal(TitleRect(block).center() + QPoint(1, 1));
        month_list_->setGeometry(centre.x() - lw / 2, centre.y() - lh / 2, lw, lh);
        month_list_->show();
    }
}

void TgxGridDatePopup::mouseMoveEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint() - QPoint(1, 1);
    if (month_list_ != nullptr) {
        month_list_->Track(month_list_->mapFromGlobal(e->globalPosition().toPoint()));
        return;
    }
    if (today_pressed_ || clear_pressed_) {
        const bool th = today_pressed_ && TodayButtonRect().contains(p);
        const bool ch = clear_pressed_ && ClearButtonRect().contains(p);
        if (th != today_hot_ || ch != clear_hot_) {
            today_hot_ = th;
            clear_hot_ = ch;
            update();
        }
        return;
    }
    if (!mouse_down_ || !(e->buttons() & Qt::LeftButton))
        return;
    if (arrow_timer_->Running()) {
        // The repeat goes on only while the pointer stays on its arrow.
        const QRect arrow = arrow_direction_ < 0 ? LeftArrowRect() : RightArrowRect();
        if (!arrow.contains(p))
            arrow_timer_->Stop();
        return;
    }
    const db::TDateTime d = GetDateAtPos(p);
    if (!IsNullDate(d))
        Select(d);
    else if (!rect().contains(e->position().toPoint()))
        Select(remembered_);
}

void TgxGridDatePopup::mouseReleaseEvent(QMouseEvent* e) {
    mouse_down_ = false;
    if (arrow_timer_->Running()) {
        arrow_timer_->Stop();
        return;
    }
    if (month_list_ != nullptr) {
        db::TDateTime chosen = month_list_->ChosenDate();
        if (!IsNullDate(chosen))
            SetFirstDate(ClampedMonth(chosen, -month_list_index_));
        month_list_.reset();
        return;
    }
    bool pick = false;
    if (today_pressed_) {
        today_pressed_ = false;
        if (today_hot_) {
            sel_start_ = db::TDateTime(kNullDate);
            Select(db::Date());
            pick = true;
        }
        today_hot_ = false;
    } else if (clear_pressed_) {
        clear_pressed_ = false;
        if (clear_hot_) {
            sel_start_ = db::TDateTime(kNullDate);
            update();
            pick = true;
        }
        clear_hot_ = false;
    } else {
        pick = true;
    }
    update();
    if (pick && rect().contains(e->position().toPoint())) {
        ClosePopup();
        FireDateSelected();
    }
}

void TgxGridDatePopup::FireDateSelected() {
    if (OnDateSelected)
        ui::Guarded([this] { OnDateSelected(this); });
}

void TgxGridDatePopup::ClosePopup() {
    if (isVisible()) {
        if (QWidget::mouseGrabber() == this)
            releaseMouse();
        arrow_timer_->Stop();
        month_list_.reset();
        today_pressed_ = clear_pressed_ = false;
    }
    TgxEditorPopup::ClosePopup();
}

void TgxGridDatePopup::PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0;
    if ((key == ui::VK_UP || key == ui::VK_DOWN) && alt) {
        ClosePopup();
    } else if (key == ui::VK_RETURN) {
        if (month_list_ == nullptr) {
            ClosePopup();
            FireDateSelected();
        }
    } else if (key == ui::VK_ESCAPE || key == 115) {
        ClosePopup();
    } else {
        db::TDateTime date = IsNullDate(sel_start_) ? db::Date() : sel_start_;
        db::TDateTime moved = CalendarKeyDate(key, shift, date, CalendarFirstWeekDay());
        if (moved != date)
            Select(moved);
    }
    key = 0;
}

TgxInplaceDateEdit::TgxInplaceDateEdit(QWidget* parent) : TgxInplaceDropDownEdit(parent) {}

TgxInplaceDateEdit::~TgxInplaceDateEdit() = default;

std::string TgxInplaceDateEdit::GetEditMask() {
    if (GetUseEditMask())
        return DateEditMask(db::FormatSettings().ShortDateFormat);
    return TgxInplaceDropDownEdit::GetEditMask();
}

namespace {
// A text that reads as a time of day alone ("4", "10:30") names no day: read as a date it
// would be the calendar's day zero, 30 December 1899.
bool IsBareTime(const std::string& text) {
    db::TDateTime time;
    return db::TryStrToTime(text, time, db::FormatSettings());
}
}  // namespace

db::TDateTime TgxInplaceDateEdit::TextDate() const {
    std::string text = LineEditConst().text().toStdString();
    if (IsBareTime(text))
        return db::Date();
    for (char& c : text)
        if (c == '.')
            c = ' ';
    db::TDateTime value;
    if (db::TryStrToDateTime(LineEditConst().text().toStdString(), value, db::FormatSettings()) ||
        db::TryStrToDateTime(text, value, db::FormatSettings()))
        return db::DateOf(value);
    return db::Date();
}

bool TgxInplaceDateEdit::ValidateEdit() {
    if (!TgxInplaceDropDownEdit::ValidateEdit())
        return false;
    db::TDateTime date(GetDateOnError() == deToday ? db::Date().Value : kNullDate);
    if (!TgxInplaceDropDownEdit::Modified() && !TgxInplaceTextEdit::Modified())
        return true;
    const bool masked = Masked;
    const std::string shown = LineEdit().text().toStdString();
    bool bad = false;
    if ((masked && Mask().AllBlank(Filled())) || (!masked && shown.empty())) {
        date = db::TDateTime(kNullDate);
    } else {
        db::TDateTime value;
        if (!IsBareTime(shown) && db::TryStrToDateTime(shown, value, db::FormatSettings()))
            date = value;
        else
            bad = true;
    }
    if (GetDateValidation() || bad) {
        if (Closing) {
            RestoreText();
            date = db::TDateTime(kNullDate);
            LineEdit().clear();
            return true;
        }
        bool error = bad && GetDateValidation();
        std::string message = kInvalidDate;
        DoValidateInput(shown, date, message, error);
        if (error) {
            if (isVisible())
                LineEdit().setFocus();
            ui::MessageBeep(0);
            ui::ShowException(message);
            return false;
        }
    }
    std::string blank_text;
    if (masked) {
        std::u32string b = Mask().BlankText();
        blank_text = QString::fromStdU32String(b).toStdString();
    }
    const std::string text = DateToText(date, masked, blank_text);
    if (masked)
        SetText(text);
    else
        LineEdit().setText(QString::fromStdString(text));
    return true;
}

void TgxInplaceDateEdit::DropDown() {
    if (PopupShown() || GetReadOnly())
        return;
    DoBeforeDropDown();
    if (popup_ == nullptr) {
        popup_ = std::make_unique<TgxGridDatePopup>(window());
        popup_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
        popup_->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    AttachPopup(*popup_);
    popup_->SetFlat(IsFlatStyle());
    popup_->setFont(Font().ToQFont());
    popup_->ShowToday = GetShowTodayButton();
    popup_->ShowClear = GetShowClearButton();
    const db::TDateTime d = TextDate();
    popup_->SetFirstDate(d);
    popup_->SetSelStart(d);
    popup_->SetFirstDate(d);
    popup_->OnDateSelected = [this](TgxGridDatePopup* sender) { DoDateSelected(sender); };
    popup_->UpdateSize();
    ShowPopupBelow(*popup_);
}

void TgxInplaceDateEdit::CloseUp(bool accept) {
    if (!PopupShown() || popup_ == nullptr)
        return;
    popup_->ClosePopup();
    SetPopupShown(false);
    if (accept)
        DoDateSelected(popup_.get());
}

void TgxInplaceDateEdit::EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) {
    const bool alt = (shift & ui::ssAlt) != 0;
    if (!PopupShown() &&
        (((key == ui::VK_UP || key == ui::VK_DOWN) && alt) || (key == 115 && !alt))) {
        DropDown();
        key = 0;
        return;
    }
    TgxInplaceDropDownEdit::EditorKeyDown(key, shift);
}

TgxInplaceEditClass TgxDBTreeListDateColumn::GetEditorClass() const {
    return {typeid(TgxInplaceDBTreeListDateEdit),
            [](QWidget* parent) { return std::make_unique<TgxInplaceDBTreeListDateEdit>(parent); }};
}

std::string TgxDBTreeListDateColumn::GetFieldText(db::TField* field) const {
    if (field != nullptr && !field->IsNull() &&
        (field->DataType() == db::ftDate || field->DataType() == db::ftDateTime))
        return DateToText(field->AsDateTime(), use_edit_mask_, {});
    return TgxDBTreeListDropDownColumn::GetFieldText(field);
}

void TgxDBTreeListDateColumn::RestoreDefaults() {
    TgxDBTreeListDropDownColumn::RestoreDefaults();
    date_buttons_ = btnToday | btnClear;
    date_on_error_ = deToday;
    date_validation_ = false;
    save_time_ = true;
    use_edit_mask_ = false;
}

void TgxDBTreeListDateColumn::Assign(const db::TPersistent& source) {
    TgxDBTreeListDropDownColumn::Assign(source);
    if (const auto* c = dynamic_cast<const TgxDBTreeListDateColumn*>(&source)) {
        date_buttons_ = c->date_buttons_;
        date_on_error_ = c->date_on_error_;
        date_validation_ = c->date_validation_;
        save_time_ = c->save_time_;
        use_edit_mask_ = c->use_edit_mask_;
    }
}

TgxDBTreeListDateColumn* TgxInplaceDBTreeListDateEdit::Column() const {
    return dynamic_cast<TgxDBTreeListDateColumn*>(EditorColumn(*this));
}

void TgxInplaceDBTreeListDateEdit::DoDateSelected(TgxGridDatePopup* sender) {
    auto* c = Column();
    if (sender != popup_.get() || c == nullptr || c->Field() == nullptr || Container == nullptr ||
        !Container->CanEditModify())
        return;
    db::TDateTime value = sender->GetSelStart();
    std::string text;
    if (!IsNullDate(value)) {
        db::TField* f = c->Field();
        if (f->DataType() == db::ftDateTime && c->SaveTime() && !f->IsNull())
            value = db::CombineDateTime(value, db::TimeOf(f->AsDateTime()));
        // Written in the editor's own date form, so the mask takes it and the time stays.
        std::string blank;
        if (Masked)
            blank = QString::fromStdU32String(Mask().BlankText()).toStdString();
        text = DateToText(value, Masked, blank);
    }
    if (Masked)
        SetText(text);
    else
        LineEdit().setText(QString::fromStdString(text));
    LineEdit().setModified(true);
    emit LineEdit().textEdited(LineEdit().text());
}

void TgxInplaceDBTreeListDateEdit::DoValidateInput(const std::string& text, db::TDateTime& date,
                                                   std::string& message, bool& error) {
    auto* c = Column();
    if (c != nullptr && c->OnDateValidateInput)
        c->OnDateValidateInput(c, text, date, message, error);
}

TgxDateOnError TgxInplaceDBTreeListDateEdit::GetDateOnError() {
    return ColumnSetting(Column(), &TgxDBTreeListDateColumn::DateOnError, deToday);
}

bool TgxInplaceDBTreeListDateEdit::GetDateValidation() {
    return ColumnSetting(Column(), &TgxDBTreeListDateColumn::DateValidation, false);
}

bool TgxInplaceDBTreeListDateEdit::GetShowTodayButton() {
    auto* c = Column();
    return c == nullptr || (c->DateButtons() & btnToday) != 0;
}

bool TgxInplaceDBTreeListDateEdit::GetShowClearButton() {
    auto* c = Column();
    if (c == nullptr)
        return true;
    return (c->DateButtons() & btnClear) != 0 && !(c->Field() != nullptr && c->Field()->Required());
}

bool TgxInplaceDBTreeListDateEdit::GetUseEditMask() {
    return ColumnSetting(Column(), &TgxDBTreeListDateColumn::UseEditMask, false);
}

bool TgxInplaceDBTreeListDateEdit::GetReadOnly() {
    return ReadOnlyWithColumn(TgxInplaceDateEdit::GetReadOnly(), Column());
}

TgxPopupBorder TgxInplaceDBTreeListDateEdit::GetPopupBorder() {
    return ColumnSetting(Column(), &TgxDBTreeListDateColumn::PopupBorder, pbDefault);
}

void TgxInplaceDBTreeListDateEdit::DoBeforeDropDown() {
    FireEditButtonClick(Column());
}

}  // namespace grid
