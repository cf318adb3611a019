#pragma once

// The class library's standard controls over Qt widgets. Each control is the Qt widget
// itself (its parent owns it, as a form owns its components) with the class library's
// properties and events on top. Events are std::function members and run inside the
// exception boundary.
//
// When events fire follows the class library: a check box's or radio button's OnClick and
// an edit's, memo's or spin edit's OnChange also fire when code changes the value; a combo
// box's OnChange, a list box's OnClick and a page control's OnChange fire only for the
// user's own choice.

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStatusBar>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/string_list.h"
#include "platform/ui/prompt.h"

class QButtonGroup;
class QVBoxLayout;

namespace ui {

using TNotify = std::function<void()>;

// Properties every control shares.
template <class Widget>
class TControlOf : public Widget {
  public:
    using Widget::Widget;

    std::string Name() const { return this->objectName().toStdString(); }
    void SetName(std::string_view name) {
        this->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
    // The control's own switch, whatever its parent's state.
    bool Enabled() const { return !this->testAttribute(Qt::WA_ForceDisabled); }
    void SetEnabled(bool enabled) { this->setEnabled(enabled); }
    bool Visible() const { return !this->isHidden(); }
    void SetVisible(bool visible) { this->setVisible(visible); }
    std::string Hint() const { return this->toolTip().toStdString(); }
    void SetHint(std::string_view hint) {
        this->setToolTip(QString::fromUtf8(hint.data(), static_cast<qsizetype>(hint.size())));
    }
};

class TLabel : public TControlOf<QLabel> {
  public:
    explicit TLabel(QWidget* parent, std::string_view caption = {});
    std::string Caption() const;
    void SetCaption(std::string_view caption);
};

class TEdit : public TControlOf<QLineEdit> {
  public:
    explicit TEdit(QWidget* parent);
    std::string Text() const;
    void SetText(std::string_view text);
    TNotify OnChange;
    TNotify OnExit;

  protected:
    void focusOutEvent(QFocusEvent* event) override;
};

class TMemo;

// The lines of a memo as a string list; changing them changes the memo.
class TMemoLines final : public db::TStrings {
  public:
    explicit TMemoLines(TMemo& memo) : memo_(memo) {}
    std::int64_t Count() const override;
    std::string Get(std::int64_t index) const override;
    void Put(std::int64_t index, std::string_view text) override;
    void Insert(std::int64_t index, std::string_view text) override;
    void Delete(std::int64_t index) override;
    void Clear() override;

  protected:
    void ReplaceAll(std::vector<Line> lines) override;

  private:
    std::vector<std::string> Lines() const;
    void SetLines(const std::vector<std::string>& lines);
    TMemo& memo_;
};

// A multi-line plain-text editor (also the stand-in for the plain-text rich edit).
class TMemo : public TControlOf<QPlainTextEdit> {
  public:
    explicit TMemo(QWidget* parent);
    std::string Text() const;
    void SetText(std::string_view text);
    db::TStrings& Lines() { return lines_; }
    const db::TStrings& Lines() const { return lines_; }
    bool WordWrap() const { return lineWrapMode() != NoWrap; }
    void SetWordWrap(bool wrap) { setLineWrapMode(wrap ? WidgetWidth : NoWrap); }
    // Inserts the clipboard's text at the caret.
    void PasteFromClipboard() { paste(); }
    TNotify OnChange;

  private:
    TMemoLines lines_;
};
using TRichEdit = TMemo;

class TButton : public TControlOf<QPushButton> {
  public:
    explicit TButton(QWidget* parent, std::string_view caption = {});
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    // A button with a modal result sets it on its form before OnClick runs, so OnClick
    // may set the form's result back to mrNone to keep it open.
    TModalResult ModalResult() const { return modal_result_; }
    void SetModalResult(TModalResult result) { modal_result_ = result; }
    // Enter (Default) or Escape (Cancel) anywhere on the form clicks the button.
    void SetDefault(bool value);
    void SetCancel(bool value);
    // Clicks the button as the user would (nothing happens while it is disabled).
    void Click();
    TNotify OnClick;

  private:
    void Clicked();
    TModalResult modal_result_ = mrNone;
};
using TBitBtn = TButton;

class TCheckBox : public TControlOf<QCheckBox> {
  public:
    explicit TCheckBox(QWidget* parent, std::string_view caption = {});
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    bool Checked() const { return isChecked(); }
    // Fires OnClick when the state changes.
    void SetChecked(bool checked) { setChecked(checked); }
    TNotify OnClick;
};

// Radio buttons with one parent form one group.
class TRadioButton : public TControlOf<QRadioButton> {
  public:
    explicit TRadioButton(QWidget* parent, std::string_view caption = {});
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    bool Checked() const { return isChecked(); }
    // Checking fires OnClick; unchecking (which leaves the group without a choice) does not.
    void SetChecked(bool checked);
    TNotify OnClick;
};

class TGroupBox : public TControlOf<QGroupBox> {
  public:
    explicit TGroupBox(QWidget* parent, std::string_view caption = {});
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    // The box's vertical layout for the controls it holds.
    QVBoxLayout* Layout() const;
};

class TPanel : public TControlOf<QFrame> {
  public:
    explicit TPanel(QWidget* parent);
};

class TRadioGroup;
class TComboBox;
class TListBox;

// The items of a list control as a string list; changing them changes the control.
template <class Control>
class TItemStrings final : public db::TStrings {
  public:
    explicit TItemStrings(Control& control) : control_(control) {}
    std::int64_t Count() const override;
    std::string Get(std::int64_t index) const override;
    void Put(std::int64_t index, std::string_view text) override;
    db::TObject* GetObject(std::int64_t index) const override;
    void PutObject(std::int64_t index, db::TObject* object) override;
    std::int64_t Add(std::string_view text) override;
    void Insert(std::int64_t index, std::string_view text) override;
    void Delete(std::int64_t index) override;
    void Clear() override;

  private:
    Control& control_;
    std::vector<db::TObject*> objects_;
};

class TRadioGroup : public TControlOf<QGroupBox> {
  public:
    explicit TRadioGroup(QWidget* parent, std::string_view caption = {});
    std::string Caption() const;
    void SetCaption(std::string_view caption);
    db::TStrings& Items() { return items_; }
    int ItemIndex() const;
    void SetItemIndex(int index);
    TNotify OnClick;

  private:
    friend class TItemStrings<TRadioGroup>;
    void InsertButton(int index, std::string_view text);
    void RemoveButton(int index);
    std::vector<QRadioButton*> buttons_;
    QButtonGroup* group_;
    TItemStrings<TRadioGroup> items_;
};

enum class TComboBoxStyle { csDropDown, csDropDownList };
using enum TComboBoxStyle;

class TComboBox : public TControlOf<QComboBox> {
  public:
    explicit TComboBox(QWidget* parent, TComboBoxStyle style = csDropDown);
    db::TStrings& Items() { return items_; }
    const db::TStrings& Items() const { return items_; }
    int ItemIndex() const { return currentIndex(); }
    void SetItemIndex(int index) { setCurrentIndex(index); }
    std::string Text() const;
    void SetText(std::string_view text);
    TNotify OnChange;

  private:
    TItemStrings<TComboBox> items_;
};

class TListBox : public TControlOf<QListWidget> {
  public:
    explicit TListBox(QWidget* parent);
    db::TStrings& Items() { return items_; }
    const db::TStrings& Items() const { return items_; }
    // The focused item (-1: none).
    int ItemIndex() const { return currentRow(); }
    void SetItemIndex(int index);
    bool MultiSelect() const { return selectionMode() == ExtendedSelection; }
    void SetMultiSelect(bool multi);
    bool Selected(int index) const;
    void SetSelected(int index, bool selected);
    int SelCount() const;
    void ClearSelection() { clearSelection(); }
    // Adding keeps the items in order, ignoring letter case.
    bool Sorted() const { return sorted_; }
    void SetSorted(bool sorted);
    TNotify OnClick;
    TNotify OnDblClick;

  private:
    friend class TItemStrings<TListBox>;
    bool sorted_ = false;
    TItemStrings<TListBox> items_;
};

// A list box whose items carry check marks.
class TCheckListBox : public TListBox {
  public:
    explicit TCheckListBox(QWidget* parent);
    bool Checked(int index) const;
    void SetChecked(int index, bool checked);
};

class TSpinEdit : public TControlOf<QSpinBox> {
  public:
    explicit TSpinEdit(QWidget* parent);
    int Value() const { return value(); }
    void SetValue(int v) { setValue(v); }
    int MinValue() const { return minimum(); }
    int MaxValue() const { return maximum(); }
    void SetRange(int min_value, int max_value) { setRange(min_value, max_value); }
    void SetIncrement(int step) { setSingleStep(step); }
    TNotify OnChange;
};

class TProgressBar : public TControlOf<QProgressBar> {
  public:
    explicit TProgressBar(QWidget* parent);
    int Position() const { return value(); }
    void SetPosition(int position) { setValue(position); }
    int Max() const { return maximum(); }
    void SetMax(int max_value) { setMaximum(max_value); }
};

class TStatusBar : public TControlOf<QStatusBar> {
  public:
    explicit TStatusBar(QWidget* parent);
    std::string SimpleText() const;
    void SetSimpleText(std::string_view text);

  private:
    QLabel* text_;
};

}  // namespace ui
