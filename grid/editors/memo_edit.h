#pragma once

// Long text edited in the cell: a multi-line editor where Enter starts a new line and
// Ctrl+Enter ends editing; the column shows the first MaxDisplayLength characters. Also the
// mask column's editor, which prefers the column's own mask to the field's.

#include <QPlainTextEdit>

#include "grid/core/inplace_mask_edit.h"
#include "grid/core/inplace_text_edit.h"
#include "grid/core/tree_list.h"
#include "grid/data/db_column.h"

namespace grid {

// The first count characters (code points) of a UTF-8 text; all of it when count < 0.
std::string FirstCharacters(const std::string& text, int count);

// The text a memo window holds as the field keeps it: non-breaking spaces stay (the plain
// text would turn them into blanks) and line breaks are "\r\n" when crlf.
std::string MemoTextOf(const QPlainTextEdit& memo, bool crlf);

class TgxInplaceMemoEdit : public TgxInplaceTextEdit {
  public:
    explicit TgxInplaceMemoEdit(QWidget* parent = nullptr);

    virtual TScrollStyle GetScrollBars() { return TScrollStyle::ssNone; }
    virtual bool GetWordWrap() { return true; }

    void SetReadOnly(bool value) override { memo_->setReadOnly(value); }
    void MoveCaretToEnd() override { memo_->moveCursor(QTextCursor::End); }
    void SelectAll() override { memo_->selectAll(); }
    void GetEditingText(std::string& text) override;
    void SetEditingText(const std::string& text) override;
    void InitEditValue() override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    bool UseEditWindow() const override { return true; }
    QPlainTextEdit& Memo() { return *memo_; }

  protected:
    void resizeEvent(QResizeEvent* e) override;

  private:
    QPlainTextEdit* memo_;  // child widget, owned by Qt parentage
    bool crlf_ = false;
};

class TgxDBTreeListMemoColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    int MaxDisplayLength() const { return max_display_length_; }
    void SetMaxDisplayLength(int value);
    TScrollStyle ScrollBars() const { return scroll_bars_; }
    void SetScrollBars(TScrollStyle value) { scroll_bars_ = value; }
    bool WordWrap() const { return word_wrap_; }
    void SetWordWrap(bool value) { word_wrap_ = value; }
    int HeaderMaxLineCount() const { return header_max_line_count_; }
    void SetHeaderMaxLineCount(int value) { header_max_line_count_ = value; }

    TgxInplaceEditClass GetEditorClass() const override;
    bool IsMultiLine() const override { return true; }
    bool CanEditBlob() const override { return true; }
    std::string GetFieldDisplayText() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    int max_display_length_ = 255;
    TScrollStyle scroll_bars_ = TScrollStyle::ssNone;
    bool word_wrap_ = true;
    int header_max_line_count_ = 0;
};
using TgxDBGridMemoColumn = TgxDBTreeListMemoColumn;

class TgxInplaceDBTreeListMemoEdit : public TgxInplaceMemoEdit {
  public:
    using TgxInplaceMemoEdit::TgxInplaceMemoEdit;
    TScrollStyle GetScrollBars() override;
    bool GetWordWrap() override;
    bool GetReadOnly() override;
};

class TgxInplaceDBTreeListMaskEdit : public TgxInplaceMaskEdit {
  public:
    using TgxInplaceMaskEdit::TgxInplaceMaskEdit;
    // The column's own mask, when it has one, wins over the field's.
    std::string GetEditMask() override;
    void InitEditValue() override;
    void GetEditingText(std::string& text) override;

  private:
    // What the mask made of the field's text when the editor opened.
    QString shown_at_start_;
};

}  // namespace grid
