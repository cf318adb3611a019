#pragma once

// Cells holding a web or mail address, opened on a click or the start key. Only web, mail
// and ftp links are opened, through the desktop; nothing is ever run as a command.

#include <QUrl>

#include <functional>
#include <optional>
#include <string>

#include "grid/core/inplace_text_edit.h"
#include "grid/data/db_column.h"

namespace grid {

// The link a cell text stands for: http, https, mailto and ftp addresses, "www." read as
// http; nothing for any other text, nor for a mail link that asks for more than its headers.
std::optional<QUrl> HyperLinkUrl(const std::string& text);
// Opens a link (QDesktopServices in the program; tests put their own here).
std::function<bool(const QUrl&)>& HyperLinkOpener();

class TgxInplaceHyperLinkEdit : public TgxInplaceTextEdit {
  public:
    using TgxInplaceTextEdit::TgxInplaceTextEdit;
    virtual void StartLink();
    virtual ui::Color GetEditFontColor() { return ui::clBlue; }
    virtual ui::Color GetEditBackgroundColor() { return ui::clWhite; }
    virtual bool GetSingleClick() { return false; }
    virtual std::uint16_t GetStartKey() { return 16397; }

    void InitEditValue() override;
    void SelectAll() override {}
    void DoEditorMouseUp() override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
};

class TgxDBTreeListHyperLinkColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    ui::Color EditBackgroundColor() const { return edit_background_color_; }
    void SetEditBackgroundColor(ui::Color value) { edit_background_color_ = value; }
    ui::Color EditFontColor() const { return edit_font_color_; }
    void SetEditFontColor(ui::Color value) { edit_font_color_ = value; }
    bool SingleClick() const { return single_click_; }
    void SetSingleClick(bool value) { single_click_ = value; }
    std::uint16_t StartKey() const { return start_key_; }
    void SetStartKey(std::uint16_t value) { start_key_ = value; }
    std::function<void(TgxDBTreeListColumn*)> OnStartClick;

    TgxInplaceEditClass GetEditorClass() const override;
    // Cells always show their link underlined.
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    ui::Color edit_background_color_ = ui::clWhite;
    ui::Color edit_font_color_ = ui::clBlue;
    bool single_click_ = false;
    std::uint16_t start_key_ = 16397;
};
using TgxDBGridHyperLinkColumn = TgxDBTreeListHyperLinkColumn;

class TgxInplaceDBTreeListHyperLinkEdit : public TgxInplaceHyperLinkEdit {
  public:
    using TgxInplaceHyperLinkEdit::TgxInplaceHyperLinkEdit;
    void StartLink() override;
    ui::Color GetEditFontColor() override;
    ui::Color GetEditBackgroundColor() override;
    bool GetSingleClick() override;
    std::uint16_t GetStartKey() override;

  private:
    TgxDBTreeListHyperLinkColumn* Column() const;
};

}  // namespace grid
