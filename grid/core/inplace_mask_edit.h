#pragma once

// The in-place editor with an edit mask: typing, deleting, caret movement and the
// clipboard all go through the mask, and the text may not leave the cell while a required
// position is empty.

#include <functional>
#include <string>

#include "grid/core/inplace_text_edit.h"
#include "grid/core/mask_engine.h"

namespace grid {

class TgxInplaceMaskEdit : public TgxInplaceTextEdit {
  public:
    explicit TgxInplaceMaskEdit(QWidget* parent = nullptr);

    std::string EditMask;
    char32_t MaskBlank = kDefaultMaskBlank;
    bool RawEditText = false;
    // The text at entry, put back by Escape.
    std::u32string OldValue;

    int MaxChars() const { return mask_.MaxChars(); }
    bool MaskSave() const { return mask_.SaveLiterals(); }
    bool Reentering() const { return reentering_; }
    bool Modified() const { return modified_; }
    const TEditMask& Mask() const { return mask_; }
    int CaretPos() const;
    void GetSel(int& start, int& end) const;
    // The display text, literals and blanks included.
    std::u32string DisplayText() const;
    // Which positions of the display text hold input rather than the blank.
    TMaskFill Filled() const;

    bool NeedsValidation() override { return Masked && modified_; }
    bool ValidateEdit() override;
    void GetEditingText(std::string& text) override;
    void InitEditValue() override;
    void RestoreText() override;
    virtual std::string GetEditMask() { return GetContainerEditMask(); }
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    void EditorKeyPress(char32_t& key) override;
    void EditorKeyUp(std::uint16_t& key, ui::TShiftState shift) override;

    // Reads a value into the mask (SetText) and back (GetText).
    void SetText(const std::string& value);
    std::string GetText() const;
    void CutToClipboard();
    void PasteFromClipboard();
    void ClearText();

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void SetDisplay(const std::u32string& display, int caret, TMaskFill filled);
    void RememberOldValue();
    void PlaceCaret(int pos, bool extend = false);
    void DeleteSelection(bool backspace);
    TEditMask mask_;
    // The fill of the display text filled_for_, and of OldValue as old_filled_for_; a text
    // set from elsewhere has no record and falls back to the blanks it shows.
    TMaskFill filled_;
    std::u32string filled_for_;
    TMaskFill old_filled_;
    std::u32string old_filled_for_;
    bool reentering_ = false;
    bool modified_ = false;
};

}  // namespace grid
