#pragma once

// Cells whose value is chosen from a list: the pick column offers fixed strings, the
// lookup column a lookup field's dataset.

#include <QScrollBar>

#include <functional>
#include <string>
#include <vector>

#include "grid/editors/button_edit.h"
#include "grid/editors/lookup_list_box.h"
#include "platform/db/data_source.h"
#include "platform/db/variant.h"

namespace grid {

using TgxPickColumnCloseUp =
    std::function<void(TgxDBTreeListColumn* sender, db::Variant& value, bool& accept)>;

// The index in items of the first item, in sorted order, that starts with text (case
// aside); -1 when none or when items or text are empty.
int FindPickItem(const std::vector<std::string>& items, const std::string& text);

class TgxDBTreeListPickColumn : public TgxDBTreeListDropDownColumn {
  public:
    explicit TgxDBTreeListPickColumn(db::TComponent* owner = nullptr);
    std::vector<std::string>& Items() { return items_; }
    const std::vector<std::string>& Items() const { return items_; }
    void SetItems(const std::vector<std::string>& items) { items_ = items; }
    bool DropDownListStyle() const { return drop_down_list_style_; }
    void SetDropDownListStyle(bool value) { drop_down_list_style_ = value; }
    TgxPickColumnCloseUp OnCloseUp;
    TgxInplaceEditClass GetEditorClass() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    std::vector<std::string> items_;
    bool drop_down_list_style_ = false;
};
using TgxDBGridPickColumn = TgxDBTreeListPickColumn;

class TgxDBTreeListLookupColumn : public TgxDBTreeListDropDownColumn {
  public:
    using TgxDBTreeListDropDownColumn::TgxDBTreeListDropDownColumn;
    std::uint16_t ClearKey() const { return clear_key_; }
    void SetClearKey(std::uint16_t value) { clear_key_ = value; }
    const std::string& ListFieldName() const { return list_field_name_; }
    void SetListFieldName(std::string_view value) { list_field_name_ = value; }
    int ListFieldIndex() const { return list_field_index_; }
    void SetListFieldIndex(int value) { list_field_index_ = value; }
    int ListWidth() const { return list_width_; }
    void SetListWidth(int value) { list_width_ = value; }
    TgxPickColumnCloseUp OnCloseUp;
    TgxInplaceEditClass GetEditorClass() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    std::uint16_t clear_key_ = 0;
    std::string list_field_name_;
    int list_field_index_ = 0;
    int list_width_ = 0;
};
using TgxDBGridLookupColumn = TgxDBTreeListLookupColumn;

}  // namespace grid

namespace grid {

// The drop-down list of the pick editor: a top-level list that draws its selection as
// focused while the editor keeps the keyboard, with a typed search that starts again
// after two seconds.
class TPopupListbox : public TgxPopupList {
  public:
    explicit TPopupListbox(QWidget* parent = nullptr);
    std::vector<std::string> Items;
    int ItemIndex = -1;
    int ItemHeight = 13;
    int TopIndex = 0;
    int Rows = 7;
    std::string SearchText() const { return search_; }
    // A typed character: the search text grows (or starts again after 2000 ms) and the
    // first item starting with it is selected.
    void TypeChar(char32_t ch);
    void PopupKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void PopupKeyPress(char32_t& key) override;
    int RowAt(QPoint p) const override;
    virtual void MakeVisible(int index);
    // Shows the scroll bar at the right while there are more items than rows, in step with
    // the top item; run after the list is sized or scrolled.
    void UpdateScrollBar();
    // The width of the sized list that its rows take, the scroll bar's excluded.
    int RowsWidth() const;
    // The scroll bar's width, for sizing a list that will show one.
    static int ScrollBarWidth();
    const QScrollBar& ScrollBar() const { return *bar_; }

  protected:
    void paintEvent(QPaintEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void SelectRow(int row) override;

  private:
    QScrollBar* bar_;  // child widget, owned by Qt parentage
    std::string search_;
    std::uint32_t last_key_ = 0;
};

class TgxInplacePickEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplacePickEdit(QWidget* parent = nullptr);
    ~TgxInplacePickEdit() override;

    using TgxInplaceDropDownEdit::DoCloseUp;
    virtual void DoCloseUp(db::Variant&, bool&) {}
    virtual void GetCellText(std::string& text) { text = LineEdit().text().toStdString(); }
    virtual bool GetDropDownOnTyping() { return true; }
    virtual std::vector<std::string> GetItems() { return {}; }
    virtual int GetDropDownRows() { return 7; }
    virtual void SetPickedValue(const db::Variant&) {}
    virtual bool GetDropDownListStyle() { return false; }
    virtual bool GetCycleOnDblClick() { return false; }

    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void DoTextChanged(const std::string& text) override;
    void EditorKeyPress(char32_t& key) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    TPopupListbox* List() const { return list_.get(); }
    // Steps to the next item, wrapping to the first, when there is more than one.
    void CycleValue();

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    bool Complete();
    // Whether an item fits the field: one that does not is refused with a beep, as typed text
    // is, rather than cut by the edit field.
    bool Fits(const std::string& item) const;
    std::unique_ptr<TPopupListbox> list_;
    bool search_active_ = false;
    std::string typed_;
};

class TgxInplaceDBTreeListPickEdit : public TgxInplacePickEdit {
  public:
    using TgxInplacePickEdit::DoCloseUp;
    using TgxInplacePickEdit::TgxInplacePickEdit;
    void DoCloseUp(db::Variant& value, bool& accept) override;
    void GetCellText(std::string& text) override;
    bool GetDropDownOnTyping() override;
    std::vector<std::string> GetItems() override;
    int GetDropDownRows() override;
    void SetPickedValue(const db::Variant& value) override;
    bool GetDropDownListStyle() override;
    bool GetReadOnly() override;
    TgxPopupBorder GetPopupBorder() override;
    void DoBeforeDropDown() override;

  private:
    TgxDBTreeListPickColumn* Column() const;
};

}  // namespace grid

namespace grid {

// The lookup field's editor: typing searches the lookup dataset's result field (partial,
// case aside) and writes the found key into the key field; the list shows the lookup
// dataset.
class TgxInplaceLookupEdit : public TgxInplaceDropDownEdit {
  public:
    explicit TgxInplaceLookupEdit(QWidget* parent = nullptr);
    ~TgxInplaceLookupEdit() override;

    virtual void SetLookupValue(const db::Variant& value);
    using TgxInplaceDropDownEdit::DoCloseUp;
    virtual void DoCloseUp(db::Variant&, bool&) {}
    virtual std::uint16_t GetClearKey() { return 0; }
    virtual db::TField* GetLookupField() { return nullptr; }
    virtual int GetListWidth() { return 0; }
    virtual int GetDropDownRows() { return 7; }
    virtual void GetListFieldName(std::string& name) { name.clear(); }
    virtual int GetListFieldIndex() { return 0; }
    virtual void ClearLookupValue();

    bool GetImmediateDropDown() override { return true; }
    void InitEditValue() override;
    void DropDown() override;
    void CloseUp(bool accept) override;
    void DoTextChanged(const std::string& text) override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyPress(char32_t& key) override;
    TPopupDBLookupListBox* List() const { return list_.get(); }

  private:
    std::string FieldText();
    std::unique_ptr<TPopupDBLookupListBox> list_;
    db::ComponentPtr<db::TDataSource> source_;
    bool search_active_ = false;
    std::string typed_;
};

class TgxInplaceDBTreeListLookupEdit : public TgxInplaceLookupEdit {
  public:
    using TgxInplaceLookupEdit::DoCloseUp;
    using TgxInplaceLookupEdit::TgxInplaceLookupEdit;
    void DoCloseUp(db::Variant& value, bool& accept) override;
    std::uint16_t GetClearKey() override;
    db::TField* GetLookupField() override;
    bool GetImmediateDropDown() override;
    int GetListWidth() override;
    int GetDropDownRows() override;
    void GetListFieldName(std::string& name) override;
    int GetListFieldIndex() override;
    bool GetReadOnly() override;
    TgxPopupBorder GetPopupBorder() override;
    void DoBeforeDropDown() override;

  private:
    TgxDBTreeListLookupColumn* Column() const;
};

}  // namespace grid
