#include "grid/editors/date_rules.h"

#include <algorithm>
#include <cmath>

namespace grid {

void DecMonth(int& year, int& month) {
    if (--month < 1) {
        month = 12;
        --year;
    }
}

void IncMonth(int& year, int& month) {
    if (++month > 12) {
        month = 1;
        ++year;
    }
}

void ChangeMonth(int& year, int& month, int delta) {
    year += delta / 12;
    month += delta % 12;
    if (month > 12) {
        month -= 12;
        ++year;
    } else if (month < 1) {
        month += 12;
        --year;
    }
}

int DaysPerMonth(int year, int month) {
    return db::DaysInMonth(year, month);
}

int CheckDay(int year, int month, int day) {
    int last = DaysPerMonth(year, month);
    return day < 1 ? 1 : (day > last ? last : day);
}

int GetDayOfWeekOffset(db::TDateTime date, int first_week_day) {
    int weekday = db::DayOfWeek(date) - 1;
    return ((weekday - first_week_day) % 7 + 7) % 7;
}

db::TDateTime WholeDay(db::TDateTime value) {
    return db::TDateTime(std::round(value.Value));
}

db::TDateTime FirstOfMonth(db::TDateTime date) {
    int y = 0, m = 0, d = 0;
    db::DecodeDate(date, y, m, d);
    return db::EncodeDate(y, m, 1);
}

bool InCalendar(db::TDateTime date) {
    static const double first = db::EncodeDate(1, 1, 1).Value;
    static const double last = db::EncodeDate(9999, 12, 31).Value;
    return date.Value >= first && date.Value < last + 1;
}

db::TDateTime MonthStart(int year, int month, int delta) {
    ChangeMonth(year, month, delta);
    db::TDateTime result;
    if (!db::TryEncodeDate(year, month, 1, result))
        return db::TDateTime(kNullDate);
    return result;
}

db::TDateTime ClampedMonth(db::TDateTime date, int delta) {
    int y = 0, m = 0, d = 0;
    db::DecodeDate(date, y, m, d);
    const long months =
        std::clamp(static_cast<long>(y) * 12 + (m - 1) + delta, 12L, 9999L * 12 + 11);
    return db::EncodeDate(static_cast<int>(months / 12), static_cast<int>(months % 12) + 1, 1);
}

db::TDateTime FirstVisibleDate(db::TDateTime first_date, int first_week_day) {
    int offset = GetDayOfWeekOffset(first_date, first_week_day);
    return db::TDateTime(first_date.Value - (offset == 0 ? 7 : offset));
}

namespace {
db::TDateTime BlockMonth(db::TDateTime first_date, int block) {
    int y = 0, m = 0, d = 0;
    db::DecodeDate(first_date, y, m, d);
    return MonthStart(y, m, block);
}

// The first cell's date of a block: the first block shows a whole week before a month that
// starts on the first weekday, the others start with the month's own week.
db::TDateTime BlockFirstCell(db::TDateTime month, int block, int first_week_day) {
    const int offset = GetDayOfWeekOffset(month, first_week_day);
    return db::TDateTime(month.Value - offset - (block == 0 && offset == 0 ? 7 : 0));
}
}  // namespace

db::TDateTime LastVisibleDate(db::TDateTime first_date, int first_week_day, int blocks) {
    const int last = std::max(1, blocks) - 1;
    const db::TDateTime month = BlockMonth(first_date, last);
    if (IsNullDate(month))
        return db::EncodeDate(9999, 12, 31);
    return db::TDateTime(BlockFirstCell(month, last, first_week_day).Value + 41);
}

db::TDateTime BlockCellDate(db::TDateTime first_date, int block, int blocks, int row, int col,
                            int first_week_day) {
    const db::TDateTime month = BlockMonth(first_date, block);
    if (IsNullDate(month))
        return month;
    const db::TDateTime date(BlockFirstCell(month, block, first_week_day).Value + 7 * row + col);
    if (!InCalendar(date))
        return db::TDateTime(kNullDate);
    int y = 0, m = 0, d = 0;
    db::DecodeDate(month, y, m, d);
    if ((date < month && block != 0) ||
        (date > db::EncodeDate(y, m, DaysPerMonth(y, m)) && block != blocks - 1))
        return db::TDateTime(kNullDate);
    return date;
}

db::TDateTime KeepInView(db::TDateTime first_date, db::TDateTime sel, int first_week_day,
                         int blocks) {
    if (IsNullDate(sel) || !InCalendar(sel))
        return first_date;
    if (sel < FirstVisibleDate(first_date, first_week_day))
        first_date = ClampedMonth(sel, -1);
    if (sel > LastVisibleDate(first_date, first_week_day, blocks))
        first_date = FirstOfMonth(sel);
    return first_date;
}

namespace {
db::TDateTime KeyDate(std::uint16_t key, ui::TShiftState shift, db::TDateTime date,
                      int first_week_day) {
    const bool ctrl = (shift & (ui::ssShift | ui::ssAlt | ui::ssCtrl)) == ui::ssCtrl;
    int y = 0, m = 0, d = 0;
    db::DecodeDate(date, y, m, d);
    switch (key) {
        case ui::VK_LEFT:
            return db::TDateTime(date.Value - 1);
        case ui::VK_RIGHT:
            return db::TDateTime(date.Value + 1);
        case ui::VK_UP:
            return db::TDateTime(date.Value - 7);
        case ui::VK_DOWN:
            return db::TDateTime(date.Value + 7);
        case ui::VK_HOME:
            if (ctrl)
                return db::EncodeDate(y, m, 1);
            return db::TDateTime(date.Value - GetDayOfWeekOffset(date, first_week_day));
        case ui::VK_END:
            if (ctrl)
                return db::EncodeDate(y, m, DaysPerMonth(y, m));
            return db::TDateTime(date.Value + 6 - GetDayOfWeekOffset(date, first_week_day));
        case ui::VK_PRIOR:
        case ui::VK_NEXT: {
            ChangeMonth(y, m, key == ui::VK_PRIOR ? -1 : 1);
            if (IsNullDate(MonthStart(y, m)))
                return date;
            return db::EncodeDate(y, m, CheckDay(y, m, d));
        }
        default:
            return date;
    }
}
}  // namespace

db::TDateTime CalendarKeyDate(std::uint16_t key, ui::TShiftState shift, db::TDateTime date,
                              int first_week_day) {
    if (!InCalendar(date))
        return date;
    const db::TDateTime moved = KeyDate(key, shift, date, first_week_day);
    return InCalendar(moved) ? moved : date;
}

std::string DateEditMask(std::string_view format) {
    std::string mask = "!";
    for (std::size_t i = 0; i < format.size();) {
        char c = format[i];
        if (c != 'M' && c != 'd' && c != 'y') {
            mask += c;
            ++i;
            continue;
        }
        std::size_t run = 0;
        while (i + run < format.size() && format[i + run] == c)
            ++run;
        if (run < 3)
            mask += "99";
        else
            mask += c == 'y' ? "9999" : "lll";
        i += run;
    }
    return mask + ";1; ";
}

std::string PaddedDateFormat(std::string_view format) {
    std::string out;
    for (std::size_t i = 0; i < format.size();) {
        char c = format[i];
        std::size_t run = 1;
        while (i + run < format.size() && format[i + run] == c)
            ++run;
        out.append(run, c);
        if (run == 1 && (c == 'd' || c == 'M'))
            out += c;
        i += run;
    }
    return out;
}

}  // namespace grid
