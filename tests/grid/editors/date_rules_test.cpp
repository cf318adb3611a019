#include <gtest/gtest.h>

#include <vector>

#include "grid/editors/date_edit.h"
#include "grid/editors/date_rules.h"
#include "platform/nls/nls.h"

namespace grid {
namespace {

db::TDateTime D(int y, int m, int d) {
    return db::EncodeDate(y, m, d);
}
constexpr int kMonday = 1, kSunday = 0;

TEST(CalendarDates, FirstWeekDayFollowsTheProgramsLanguage) {
    using platform::nls::LanguageIdFromPosixLocale;
    // The C locale is English (USA) throughout the program: weeks start on Sunday.
    for (const char* name : {"C", "C.UTF-8", "POSIX", "", "en_US.UTF-8", "xx_YY"})
        EXPECT_EQ(FirstWeekDayOfLanguage(LanguageIdFromPosixLocale(name)), kSunday) << name;
    for (const char* name : {"de_DE.UTF-8", "en_GB", "fr_FR"})
        EXPECT_EQ(FirstWeekDayOfLanguage(LanguageIdFromPosixLocale(name)), kMonday) << name;
    EXPECT_EQ(FirstWeekDayOfLanguage(LanguageIdFromPosixLocale("ar_EG")), 6);
    // The calendars take the user's language as the day names do, not the C library's own
    // idea of the C locale.
    EXPECT_EQ(CalendarFirstWeekDay(),
              FirstWeekDayOfLanguage(platform::nls::GetUserDefaultLangID()));
}

TEST(CalendarDates, MonthSteps) {
    struct Case {
        int year, month, delta, want_year, want_month;
    };
    const std::vector<Case> cases = {
        {2026, 1, -1, 2025, 12},  {2026, 12, 1, 2027, 1}, {2026, 3, 13, 2027, 4},
        {2026, 3, -15, 2024, 12}, {2026, 5, 0, 2026, 5},  {2026, 1, -12, 2025, 1},
    };
    for (const Case& c : cases) {
        int y = c.year, m = c.month;
        ChangeMonth(y, m, c.delta);
        EXPECT_EQ(y, c.want_year) << c.year << "-" << c.month << " " << c.delta;
        EXPECT_EQ(m, c.want_month) << c.year << "-" << c.month << " " << c.delta;
    }
    EXPECT_EQ(DaysPerMonth(2024, 2), 29);
    EXPECT_EQ(DaysPerMonth(1900, 2), 28);
    EXPECT_EQ(DaysPerMonth(2000, 2), 29);
    EXPECT_EQ(CheckDay(2026, 4, 31), 30);
    EXPECT_EQ(CheckDay(2026, 4, 0), 1);
}

TEST(CalendarDates, FirstVisibleDateFollowsTheFirstWeekday) {
    struct Case {
        db::TDateTime month;
        int first_week_day;
        db::TDateTime first_visible;
    };
    const std::vector<Case> cases = {
        {D(2026, 3, 1), kMonday, D(2026, 2, 23)},  // starts on a Sunday: six days before
        {D(2026, 6, 1), kMonday, D(2026, 5, 25)},  // starts on a Monday: a whole week before
        {D(2026, 3, 1), kSunday, D(2026, 2, 22)},
        {D(2026, 2, 1), kSunday, D(2026, 1, 25)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FirstVisibleDate(c.month, c.first_week_day), c.first_visible) << c.month.Value;
    EXPECT_EQ(LastVisibleDate(D(2026, 1, 1), kMonday), D(2026, 2, 8));
    EXPECT_EQ(FirstWeekDayFromLocale(0), kMonday);
    EXPECT_EQ(FirstWeekDayFromLocale(6), kSunday);
}

TEST(CalendarDates, PopupKeys) {
    struct Case {
        std::uint16_t key;
        ui::TShiftState shift;
        db::TDateTime from, to;
    };
    const std::vector<Case> cases = {
        {ui::VK_NEXT, 0, D(2024, 1, 31), D(2024, 2, 29)},
        {ui::VK_NEXT, 0, D(2026, 1, 31), D(2026, 2, 28)},
        {ui::VK_PRIOR, 0, D(2026, 3, 3), D(2026, 2, 3)},
        {ui::VK_PRIOR, 0, D(2026, 1, 15), D(2025, 12, 15)},
        {ui::VK_END, ui::ssCtrl, D(2026, 4, 10), D(2026, 4, 30)},
        {ui::VK_END, 0, D(2026, 4, 10), D(2026, 4, 12)},  // a Friday; the week ends Sunday
        {ui::VK_HOME, 0, D(2026, 4, 10), D(2026, 4, 6)},
        {ui::VK_HOME, ui::ssCtrl, D(2026, 4, 10), D(2026, 4, 1)},
        {ui::VK_HOME, ui::ssCtrl | ui::ssShift, D(2026, 4, 10), D(2026, 4, 6)},
        {ui::VK_LEFT, 0, D(2026, 3, 1), D(2026, 2, 28)},
        {ui::VK_DOWN, 0, D(2026, 12, 28), D(2027, 1, 4)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CalendarKeyDate(c.key, c.shift, c.from, kMonday), c.to)
            << c.key << " from " << c.from.Value;
}

TEST(CalendarDates, TheCalendarsEndsAreNotSteppedOver) {
    const db::TDateTime last = D(9999, 12, 31), first = D(1, 1, 1);
    for (std::uint16_t key : {ui::VK_RIGHT, ui::VK_DOWN, ui::VK_NEXT, ui::VK_END})
        EXPECT_EQ(CalendarKeyDate(key, 0, last, kMonday), last) << key;
    for (std::uint16_t key : {ui::VK_LEFT, ui::VK_UP, ui::VK_PRIOR, ui::VK_HOME})
        EXPECT_EQ(CalendarKeyDate(key, 0, first, kMonday), first) << key;
    EXPECT_EQ(CalendarKeyDate(ui::VK_NEXT, 0, D(9999, 11, 30), kMonday), D(9999, 12, 30));
    // Cells beyond the ends stay empty; the month before the first is not sought.
    const db::TDateTime none(kNullDate);
    EXPECT_EQ(BlockCellDate(D(9999, 12, 1), 0, 1, 5, 6, kMonday), none);
    EXPECT_EQ(BlockCellDate(D(9999, 12, 1), 0, 1, 4, 4, kMonday), last);
    EXPECT_EQ(BlockCellDate(D(1, 1, 1), 0, 1, 0, 0, kMonday), none);
    EXPECT_EQ(BlockCellDate(D(9999, 12, 1), 1, 2, 2, 2, kMonday), none);
    EXPECT_EQ(KeepInView(D(2026, 3, 1), D(1, 1, 3), kMonday), D(1, 1, 1));
    EXPECT_EQ(KeepInView(D(2026, 3, 1), last, kMonday), D(9999, 12, 1));
}

TEST(CalendarDates, SelectionIsKeptInView) {
    const db::TDateTime march = D(2026, 3, 1);
    // Page Up from 3 March: January shows 3 February among its trailing days.
    EXPECT_EQ(KeepInView(march, D(2026, 2, 3), kMonday), D(2026, 1, 1));
    // Left from 23 February: January is tried first, then February is shown.
    EXPECT_EQ(KeepInView(march, D(2026, 2, 22), kMonday), D(2026, 2, 1));
    EXPECT_EQ(KeepInView(march, D(2026, 2, 23), kMonday), march);
    EXPECT_EQ(KeepInView(march, D(2026, 4, 5), kMonday), march);
    EXPECT_EQ(KeepInView(march, D(2026, 4, 6), kMonday), D(2026, 4, 1));
}

TEST(CalendarDates, MonthBlocksShowNeighbouringDaysOnlyAtTheEnds) {
    const db::TDateTime none(kNullDate);
    struct Case {
        db::TDateTime first;
        int block, blocks, row, col;
        db::TDateTime date;
    };
    const std::vector<Case> cases = {
        // January to March 2026, Monday first.
        {D(2026, 1, 1), 0, 3, 0, 0, D(2025, 12, 29)},
        {D(2026, 1, 1), 1, 3, 0, 0, none},  // 26 January belongs to the first block only
        {D(2026, 1, 1), 1, 3, 0, 6, D(2026, 2, 1)},
        {D(2026, 1, 1), 1, 3, 4, 5, D(2026, 2, 28)},
        {D(2026, 1, 1), 1, 3, 4, 6, none},  // 1 March: the last block's
        {D(2026, 1, 1), 2, 3, 0, 5, none},
        {D(2026, 1, 1), 2, 3, 5, 6, D(2026, 4, 5)},
        // June 2026 starts on a Monday: only the first block shows a whole week before it.
        {D(2026, 5, 1), 1, 2, 0, 0, D(2026, 6, 1)},
        {D(2026, 6, 1), 0, 1, 0, 0, D(2026, 5, 25)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BlockCellDate(c.first, c.block, c.blocks, c.row, c.col, kMonday), c.date)
            << c.first.Value << " block " << c.block << " cell " << c.row << "," << c.col;
    EXPECT_EQ(LastVisibleDate(D(2026, 1, 1), kMonday, 3), D(2026, 4, 5));
    EXPECT_EQ(LastVisibleDate(D(2026, 5, 1), kMonday, 2), D(2026, 7, 12));
    // A selection in any of the blocks keeps the shown months; past them the months move.
    EXPECT_EQ(KeepInView(D(2026, 1, 1), D(2026, 3, 20), kMonday, 3), D(2026, 1, 1));
    EXPECT_EQ(KeepInView(D(2026, 1, 1), D(2026, 4, 5), kMonday, 3), D(2026, 1, 1));
    EXPECT_EQ(KeepInView(D(2026, 1, 1), D(2026, 4, 6), kMonday, 3), D(2026, 4, 1));
}

TEST(DateTexts, MaskAndPaddedFormat) {
    EXPECT_EQ(DateEditMask("d/M/yyyy"), "!99/99/9999;1; ");
    EXPECT_EQ(DateEditMask("d/M/yy"), "!99/99/99;1; ");
    EXPECT_EQ(DateEditMask("dd-MMM-yyyy"), "!99-lll-9999;1; ");
    EXPECT_EQ(DateEditMask("yyyy.MM.dd"), "!9999.99.99;1; ");
    EXPECT_EQ(PaddedDateFormat("d/M/yy"), "dd/MM/yy");
    EXPECT_EQ(PaddedDateFormat("M/d/yyyy"), "MM/dd/yyyy");
    EXPECT_EQ(PaddedDateFormat("dd.MMM.yyyy"), "dd.MMM.yyyy");
}

}  // namespace
}  // namespace grid
