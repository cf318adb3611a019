#pragma once

// Picture cells: the field's picture drawn into the cell, kept to its aspect ratio when
// stretched.

#include <QImage>

#include <functional>
#include <memory>

#include "grid/data/db_column.h"
#include "grid/editors/picture.h"

namespace grid {

// Where a picture of size goes in r: stretched to fit with its aspect ratio kept and
// anchored at the top-left, or at its own size centred where it is smaller.
QRect PictureTarget(const QSize& picture, const QRect& r, bool stretch);
// Draws a picture into r over the brush colour, clipped to r. Quick drawing scales without
// smoothing, the closest this platform has to drawing without realising the palette.
void DrawPicture(QPainter& painter, const QImage& picture, const QRect& r, const QColor& brush,
                 bool stretch, bool quick_draw);

// A toolbar position that was never set.
inline constexpr QPoint kNoToolbarPos{-10000, -10000};

struct TgxPopupToolBarWindow;

class TgxDBTreeListGraphicColumn : public TgxDBGridColumn {
  public:
    explicit TgxDBTreeListGraphicColumn(db::TComponent* owner = nullptr);
    bool Stretch() const { return stretch_; }
    void SetStretch(bool value);
    bool ShadowSelection() const { return shadow_selection_; }
    void SetShadowSelection(bool value) { shadow_selection_ = value; }
    bool QuickDraw() const { return quick_draw_; }
    void SetQuickDraw(bool value);
    // The cells' pictures come from a graphic class of the program's own; at design time,
    // where that class is not at hand, the cells stay empty.
    bool CustomGraphic() const { return custom_graphic_; }
    void SetCustomGraphic(bool value);
    // The user's toolbar position, kept between edits while PopupToolbarPosStored is on.
    bool PopupToolbarPosStored() const { return toolbar_pos_stored_; }
    void SetPopupToolbarPosStored(bool value);
    QPoint ToolbarPos() const { return toolbar_pos_; }
    void SetToolbarPos(QPoint pos) { toolbar_pos_ = pos; }
    struct TgxPopupToolBarWindow& PopupToolBar() {
        return *toolbar_;
    }
    const struct TgxPopupToolBarWindow& PopupToolBar() const { return *toolbar_; }
    std::function<void(TgxDBTreeListColumn*)> OnCustomClick;
    std::function<void(TgxDBTreeListColumn*, QImage&)> OnAssignPicture;
    std::function<void(TgxDBTreeListColumn* sender, const TgxTreeListNode* node,
                       TGraphicClass& graphic_class)>
        OnGetGraphicClass;
    // The class OnGetGraphicClass gives for node (none without the event).
    TGraphicClass GraphicClassOf(const TgxTreeListNode* node);
    TgxInplaceEditClass GetEditorClass() const override;
    bool CanEditBlob() const override { return true; }
    bool NeedsFieldValue() const override { return true; }
    void SetFieldText(db::TField*, std::string_view) const override {}
    bool HasCustomDrawCell() const override { return true; }
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;

  private:
    bool stretch_ = true;
    bool shadow_selection_ = true;
    bool quick_draw_ = false;
    bool custom_graphic_ = false;
    bool toolbar_pos_stored_ = true;
    QPoint toolbar_pos_ = kNoToolbarPos;
    std::shared_ptr<struct TgxPopupToolBarWindow> toolbar_;
    // The picture of the cell being drawn.
    QImage drawing_picture_;
};
using TgxDBGridGraphicColumn = TgxDBTreeListGraphicColumn;

}  // namespace grid

#include <QToolButton>

#include <array>
#include <functional>

#include "grid/core/container.h"

namespace grid {

enum class TgxPopupToolBarAlignment : std::uint8_t { ptaLeft, ptaRight, ptaTop, ptaBottom };
using enum TgxPopupToolBarAlignment;
enum TgxPopupToolBarButton : std::uint8_t {
    ptbCut,
    ptbCopy,
    ptbPaste,
    ptbDelete,
    ptbLoad,
    ptbSave,
    ptbCustom
};
inline constexpr unsigned kAllToolBarButtons = 0x3F;  // all but the custom button

// The toolbar settings a graphic column keeps.
struct TgxPopupToolBarWindow {
    TgxPopupToolBarAlignment Alignment = ptaBottom;
    unsigned Buttons = kAllToolBarButtons;  // bit per TgxPopupToolBarButton
    bool ShowCaptions = true;
    std::string CustomButtonCaption;
    QImage CustomButtonGlyph;
    bool Visible = true;
};

// The glyph of a toolbar button, drawn in code (16 by 16).
QImage ToolBarGlyph(TgxPopupToolBarButton button);

// The floating toolbar of the picture editor: cut, copy, paste, delete, load, save and a
// custom button, their states following the picture and the clipboard.
class TgxPopupToolBar : public QWidget {
  public:
    explicit TgxPopupToolBar(QWidget* parent = nullptr);
    void Apply(const TgxPopupToolBarWindow& settings);
    void LayoutButtons();
    void UpdateStates();
    // Button height: the text height of "Wg" plus 9, at least 22; width one more.
    int ButtonHeight() const;
    bool ReadOnly = false;
    bool PictureEmpty = true;
    bool ClosedByUser = false;
    std::function<void(int index)> OnButtonClick;
    QToolButton* Button(int index) const { return buttons_[static_cast<std::size_t>(index)]; }
    TgxPopupToolBarAlignment Alignment() const { return alignment_; }

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    std::array<QToolButton*, 7> buttons_{};
    unsigned shown_ = kAllToolBarButtons;
    bool show_captions_ = true;
    TgxPopupToolBarAlignment alignment_ = ptaBottom;
};

class TgxInplaceGraphicEdit : public TgxInplaceEdit {
  public:
    explicit TgxInplaceGraphicEdit(QWidget* parent = nullptr);
    ~TgxInplaceGraphicEdit() override;

    virtual bool GetStretch() { return true; }
    virtual std::string GetEditValue() { return {}; }
    virtual void MoveFocusedColumn(bool) {}
    virtual void AssignPicture(const QImage&) {}
    virtual void ClearPicture() {}
    virtual bool IsPictureEmpty() { return false; }
    virtual void DoCustomClick() {}
    virtual const TgxPopupToolBarWindow* GetPopupToolBarWindow() { return nullptr; }
    virtual TGraphicClass GetGraphicClass() { return {}; }
    virtual QPoint GetToolbarPos() { return kNoToolbarPos; }
    virtual void SetToolbarPos(QPoint) {}
    virtual bool IsToolbarPosStored() { return true; }

    TBorderStyle GetBorderStyle() override { return border_style_; }
    void SetBorderStyle(TBorderStyle style) override { border_style_ = style; }
    void InitEditValue() override;
    void DoSetFocus() override { ShowToolbar(); }
    void DoKillFocus(QWidget* new_focus) override;
    bool IsEditFocused() override;
    void Hide() override;
    void EditorKeyDown(std::uint16_t& key, ui::TShiftState shift) override;
    // A toolbar button's action (index as TgxPopupToolBarButton).
    void ToolbarClick(int index);
    void ShowToolbar();
    TgxPopupToolBar& Toolbar() { return *toolbar_; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    TBorderStyle border_style_ = bsNone;
    std::unique_ptr<TgxPopupToolBar> toolbar_;
    QPoint last_toolbar_pos_ = kNoToolbarPos;
};

class TgxInplaceDBTreeListGraphicEdit : public TgxInplaceGraphicEdit {
  public:
    using TgxInplaceGraphicEdit::TgxInplaceGraphicEdit;
    bool GetStretch() override;
    std::string GetEditValue() override;
    void MoveFocusedColumn(bool to_left) override;
    void AssignPicture(const QImage& picture) override;
    void ClearPicture() override;
    bool IsPictureEmpty() override;
    const TgxPopupToolBarWindow* GetPopupToolBarWindow() override;
    TGraphicClass GetGraphicClass() override;
    void DoCustomClick() override;
    QPoint GetToolbarPos() override;
    void SetToolbarPos(QPoint pos) override;
    bool IsToolbarPosStored() override;

  private:
    TgxDBTreeListGraphicColumn* Column() const;
};

}  // namespace grid
