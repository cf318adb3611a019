#pragma once

// Date arithmetic of the calendar popup and the date editor's text rules: month steps,
// the visible six weeks of a month, the popup's keys, and the mask and texts derived from
// the short date format. No window is involved, so all of it tests without a display.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/date_time.h"
#include "platform/ui/keys.h"

namespace grid {

// The absence of a date.
inline constexpr double kNullDate = -700000.0;
inline bool IsNullDate(db::TDateTime d) {
    return d.Value == kNullDate;
}

void DecMonth(int& year, int& month);
void IncMonth(int& year, int& month);
void ChangeMonth(int& year, int& month, int delta);
int DaysPerMonth(int year, int month);
int CheckDay(int year, int month, int day);
// The date's column (0-6) with first_week_day (Sunday = 0) in the first column.
int GetDayOfWeekOffset(db::TDateTime date, int first_week_day);
// A date-time to the nearest whole day, halves away from zero.
db::TDateTime WholeDay(db::TDateTime value);
db::TDateTime FirstOfMonth(db::TDateTime date);
// The calendar's dates run from 1 January 0001 to 31 December 9999.
bool InCalendar(db::TDateTime date);
// The first day of the month delta months after (year, month); the null date beyond the
// calendar.
db::TDateTime MonthStart(int year, int month, int delta = 0);
// The month delta months after date's month, held inside the calendar.
db::TDateTime ClampedMonth(db::TDateTime date, int delta);

// The six weeks a month block shows: a month starting on the first weekday shows the whole
// previous week first.
db::TDateTime FirstVisibleDate(db::TDateTime first_date, int first_week_day);
// The last date of the last of `blocks` month blocks shown from first_date's month.
db::TDateTime LastVisibleDate(db::TDateTime first_date, int first_week_day, int blocks = 1);
// The date in day cell (row, col) of month block `block` of `blocks`, counted from
// first_date's month; days of a neighbouring month count only before the first block's
// month and after the last block's, elsewhere the cell is empty (the null date).
db::TDateTime BlockCellDate(db::TDateTime first_date, int block, int blocks, int row, int col,
                            int first_week_day);
// The shown month (its first day) that keeps sel in view, stepping back a month first.
db::TDateTime KeepInView(db::TDateTime first_date, db::TDateTime sel, int first_week_day,
                         int blocks = 1);
// The date a popup key moves to; unchanged for keys the calendar does not move on and at
// the calendar's ends.
db::TDateTime CalendarKeyDate(std::uint16_t key, ui::TShiftState shift, db::TDateTime date,
                              int first_week_day);

// The first weekday from the locale's setting (0 = Monday .. 6 = Sunday): Sunday = 0.
inline int FirstWeekDayFromLocale(int locale_first_day) {
    return (locale_first_day + 1) % 7;
}

// "!" then the format with each run of d, M or y replaced ("99", "lll" or "9999"), then
// ";1; ".
std::string DateEditMask(std::string_view short_date_format);
// Single d and M doubled.
std::string PaddedDateFormat(std::string_view short_date_format);

}  // namespace grid
