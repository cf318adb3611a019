#pragma once

// Date cells: a drop-down editor whose popup is a month calendar. The calendar shows six
// weeks of a month with the locale's first weekday, steps months with its arrows (repeating
// every 170 ms while held), opens a list of seven months over its title, and offers Today
// and Clear buttons.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "grid/editors/button_edit.h"
#include "grid/editors/date_rules.h"
#include "platform/ui/timer.h"

namespace grid {

inline constexpr int kArrowRepeat = 170;

// The first weekday (Sunday = 0) in the territory of one of the program's languages.
int FirstWeekDayOfLanguage(std::uint16_t language);
// The first column's weekday of every calendar (Sunday = 0), from the user's language at
// start-up (the C locale is English (USA)).
int& CalendarFirstWeekDay();
// A date as the date editor shows it: with a mask the padded date only; without one the
// padded date, and the time when the value has one. The null date is the blank mask text
// (with a mask) or empty.
std::string DateToText(db::TDateTime value, bool use_mask, const std::string& blank_mask_text);

class TgxGridDatePopup;

// The list of seven months that drops over the calendar's title.
class TAMonthListBox : public QWidget {
  public:
    explicit TAMonthListBox(TgxGridDatePopup* popup);
    ~TAMonthListBox() override;

    db::TDateTime TopDate = db::TDateTime(kNullDate);
    int ItemHeight = 13;
    int ItemIndex = -1;
    // The month under the mouse, or the null date.
    db::TDateTime ChosenDate() const;
    // Follows the pointer (list coordinates): picks a row inside, scrolls outside.
    void Track(QPoint p);
    // The scroll interval running now (0: none) and its direction (-1 up, 1 down).
    int ScrollInterval() const { return timer_->Running() ? timer_->Interval() : 0; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    void Scroll();
    std::unique_ptr<ui::TTimer> timer_;
    int direction_ = 0;
    int step_ = 0;
};

class TgxGridDatePopup : public TgxEditorPopup {
  public:
    explicit TgxGridDatePopup(QWidget* parent = nullptr);
    ~TgxGridDatePopup() override;

    bool Flat() const { return flat_; }
    void SetFlat(bool value);
    db::TDateTime FirstDate() const { return first_date_; }
    void SetFirstDate(db::TDateTime date);
    db::TDateTime GetSelStart() const { return sel_start_; }
    void SetSelStart(db::TDateTime date);
    db::TDateTime GetFirstVisibleDate() const;
    db::TDateTime GetLastVisibleDate() const;
    db::TDateTime GetLastDate() const;
    // The date under a client point, or the null date.
    db::TDateTime GetDateAtPos(QPoint p) const;
    bool ShowToday = true;
    bool ShowClear = false;
    std::function<void(TgxGridDatePopup* sender)> OnDateSelected;

    // Months shown side by side and one under the other; the first block shows FirstDate's
    // month, the next ones the months after it.
    int MonthColCount() const { return month_col_count_; }
    int MonthRowCount() const { return month_row_count_; }
    void SetMonthCounts(int cols, int rows);
    int MonthListIndex() const { return month_list_index_; }

    void UpdateSize();
    void ClosePopup() override;
    void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) override;

    // Geometry (client coordinates). The left arrow is in the first block, the right arrow
    // in the last one.
    QRect BlockRect(int block) const;
    QRect HeaderRect(int block) const;
    QRect LeftArrowRect() const;
    QRect RightArrowRect() const;
    QRect TitleRect(int block = 0) const;
    QRect DayCellRect(int row, int col, int block = 0) const;
    QRect TodayButtonRect() const;
    QRect ClearButtonRect() const;
    TAMonthListBox* MonthList() const { return month_list_.get(); }
    bool ArrowRepeating() const { return arrow_timer_->Running(); }

  protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void changeEvent(QEvent* e) override;

  private:
    friend class TAMonthListBox;
    void ComputeMetrics();
    void StepMonth(int delta);
    void CheckSelection();
    void Select(db::TDateTime date);
    void FireDateSelected();
    bool AnyButton() const { return ShowToday || ShowClear; }
    int Blocks() const { return month_col_count_ * month_row_count_; }
    void PaintBlock(QPainter& p, int block);
    bool flat_ = true;
    int month_col_count_ = 1, month_row_count_ = 1;
    int month_list_index_ = 0;
    db::TDateTime first_date_;
    db::TDateTime sel_start_;
    int col_width_ = 21, margin_width_ = 14, row_height_ = 15, header_height_ = 18,
        day_name_height_ = 16, today_width_ = 50, clear_width_ = 50, button_margin_ = 4,
        date_button_height_ = 20, button_area_height_ = 30;
    std::unique_ptr<TAMonthListBox> month_list_;
    std::unique_ptr<ui::TTimer> arrow_timer_;
    int arrow_direction_ = 0;
    bool today_pressed_ = false, today_hot_ = false, clear_pressed_ = false, clear_hot_ = false;
    db::TDateTime remembered_;
    bool mouse_down_ = false;
};

enum class TgxDateOnError : std::uint8_t { deToday, deNull };
using enum TgxDateOnError;
inline constexpr unsigned btnToday = 1, btnClear = 2;

using TgxDateValidateInput =
    std::function<void(TgxDBTreeListColumn* sender, const std::string& text, db::TDateTime& date,
                       std::string& message, bool& error)>;

class TgxInplaceDateEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplaceDateEdit(QWidget* parent = nullptr);
    ~TgxInplaceDateEdit() override;

    virtual void DoDateSelected(TgxGridDatePopup*) {}
    virtual void DoValidateInput(const std::string&, db::TDateTime&, std::string&, bool&) {}
    virtual TgxDateOnError GetDateOnError() { return deToday; }
    virtual bool GetDateValidation() { return false; }
    virtual bool GetShowTodayButton() { return true; }
    virtual bool GetShowClearButton() { return true; }
    virtual bool GetUseEditMask() { return false; }

    std::string GetEditMask() override;
    bool ValidateEdit() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;

    TgxGridDatePopup* DatePopup() const { return popup_.get(); }
    // The editor's text as a date for the popup: "." read as a blank, today when no date.
    db::TDateTime TextDate() const;

  protected:
    std::unique_ptr<TgxGridDatePopup> popup_;
};

class TgxDBTreeListDateColumn : public TgxDBTreeListDropDownColumn {
  public:
    using TgxDBTreeListDropDownColumn::TgxDBTreeListDropDownColumn;
    unsigned DateButtons() const { return date_buttons_; }
    void SetDateButtons(unsigned value) { date_buttons_ = value; }
    TgxDateOnError DateOnError() const { return date_on_error_; }
    void SetDateOnError(TgxDateOnError value) { date_on_error_ = value; }
    bool DateValidation() const { return date_validation_; }
    void SetDateValidation(bool value) { date_validation_ = value; }
    bool SaveTime() const { return save_time_; }
    void SetSaveTime(bool value) { save_time_ = value; }
    bool UseEditMask() const { return use_edit_mask_; }
    void SetUseEditMask(bool value) { use_edit_mask_ = value; }
    TgxDateValidateInput OnDateValidateInput;

    TgxInplaceEditClass GetEditorClass() const override;
    std::string GetFieldText(db::TField* field) const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    unsigned date_buttons_ = btnToday | btnClear;
    TgxDateOnError date_on_error_ = deToday;
    bool date_validation_ = false;
    bool save_time_ = true;
    bool use_edit_mask_ = false;
};
using TgxDBGridDateColumn = TgxDBTreeListDateColumn;

class TgxInplaceDBTreeListDateEdit : public TgxInplaceDateEdit {
  public:
    using TgxInplaceDateEdit::TgxInplaceDateEdit;
    void DoDateSelected(TgxGridDatePopup* sender) override;
    void DoValidateInput(const std::string& text, db::TDateTime& date, std::string& message,
                         bool& error) override;
    TgxDateOnError GetDateOnError() override;
    bool GetDateValidation() override;
    bool GetShowTodayButton() override;
    bool GetShowClearButton() override;
    bool GetUseEditMask() override;
    bool GetReadOnly() override;
    TgxPopupBorder GetPopupBorder() override;
    void DoBeforeDropDown() override;

  private:
    TgxDBTreeListDateColumn* Column() const;
};

}  // namespace grid
