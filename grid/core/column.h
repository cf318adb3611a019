#pragma once

// One column of the banded tree list. Visual properties default to the column kind or to
// the owning control, and the column remembers which were set explicitly, so a column bound
// to a field shows the field's label, alignment and width until the user overrides them.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>

#include <QImage>

#include "grid/core/node_texts.h"
#include "grid/core/tree_list.h"
#include "platform/db/component.h"

namespace grid {

// No band or column is wider than this: the layout adds widths up in 32 bits, and no
// screen comes near it.
inline constexpr int kMaxBandColumnWidth = 100000;

class TCustomgxTreeListControl;
class TgxTreeListColumn;

// Explicit-value bits.
inline constexpr std::uint8_t cvAlignment = 1, cvCaption = 2, cvReadOnly = 4, cvWidth = 8,
                              cvColor = 16, cvFont = 32;

// An editor kind: its identity (FindEditor compares it exactly) and how to make one.
struct TgxInplaceEditClass {
    std::type_index type;
    std::function<std::unique_ptr<TgxInplaceEdit>(QWidget* parent)> create;
};

using TgxTLCustomDrawCell =
    std::function<void(TCustomgxTreeListControl* sender, ui::TCanvas& canvas, const ui::Rect& rect,
                       const TgxTreeListNode* node, TgxTreeListColumn* column, bool selected,
                       bool focused, bool new_item_row, std::string& text, ui::Color& color,
                       ui::TFont& font, TAlignment& alignment, bool& done)>;
using TgxTLCustomDrawHeader = std::function<void(
    TCustomgxTreeListControl* sender, TgxTreeListColumn* column, ui::TCanvas& canvas,
    const ui::Rect& rect, std::string& text, ui::Color& color, ui::TFont& font,
    TAlignment& alignment, TgxTreeListColumnSort& sorted, bool& done)>;

class TgxTreeListColumn : public db::TComponent {
  public:
    explicit TgxTreeListColumn(db::TComponent* owner = nullptr);
    ~TgxTreeListColumn() override;

    TCustomgxTreeListControl* ATreeList() const { return control_; }

    TAlignment Alignment() const;
    void SetAlignment(TAlignment v);
    std::string Caption() const;
    void SetCaption(std::string_view v);
    ui::Color GetColor() const;
    void SetColor(ui::Color v);
    bool ReadOnly() const;
    void SetReadOnly(bool v);
    bool DisableCaption() const { return disable_caption_; }
    void SetDisableCaption(bool v);
    bool DisableCustomizing() const { return disable_customizing_; }
    void SetDisableCustomizing(bool v);
    bool DisableEditor() const { return disable_editor_; }
    void SetDisableEditor(bool v) { disable_editor_ = v; }
    bool DisableDragging() const { return disable_dragging_; }
    void SetDisableDragging(bool v) { disable_dragging_ = v; }
    const ui::TFont& Font() const;
    void SetFont(const ui::TFont& font);
    // Changing the returned font makes it explicit.
    ui::TFont& MutableFont();
    TAlignment HeaderAlignment() const { return header_alignment_; }
    void SetHeaderAlignment(TAlignment v);
    // The picture at the left of the header; null when there is none.
    const QImage* HeaderGlyph() const { return header_glyph_.get(); }
    // A copy of glyph becomes the header picture; null removes it.
    void SetHeaderGlyph(const QImage* glyph);
    int HeaderMaxLineCount() const { return header_max_line_count_; }
    void SetHeaderMaxLineCount(int v);
    int MinWidth() const { return min_width_; }
    void SetMinWidth(int v);
    bool Sizing() const { return sizing_; }
    void SetSizing(bool v);
    bool TabStop() const { return tab_stop_; }
    void SetTabStop(bool v) { tab_stop_ = v; }
    bool Visible() const { return visible_; }
    void SetVisible(bool v);
    int Width() const;
    void SetWidth(int v);
    int BandIndex() const { return band_index_; }
    void SetBandIndex(int v);
    int RowIndex() const;
    void SetRowIndex(int v);
    int ColIndex() const;
    void SetColIndex(int v);
    TgxTreeListColumnSort Sorted() const { return sorted_; }
    void SetSorted(TgxTreeListColumnSort v);
    std::uint8_t AssignedValues() const { return assigned_; }
    int StoredSortOrder() const { return stored_sort_order_; }
    void SetStoredSortOrder(int v) { stored_sort_order_ = v; }
    int StoredRowIndex() const { return stored_row_index_; }
    // Stores the row kept for the column without re-laying the grid out; a layout being
    // loaded normalises once at its end.
    void SetStoredRowIndex(int v) { stored_row_index_ = v < 0 ? 0 : v; }

    virtual bool HasCustomDrawCell() const { return static_cast<bool>(OnCustomDrawCell); }
    virtual void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                  const TgxTreeListNode* node, bool selected, bool focused,
                                  bool new_item_row, std::string& text, ui::Color& color,
                                  ui::TFont& font, TAlignment& alignment, bool& done);
    virtual TgxInplaceEditClass GetEditorClass() const;
    virtual bool CanShowEditor() const { return !disable_editor_; }
    virtual int GetIndex() const;
    virtual int GetMinCellHeight() const { return 0; }
    virtual bool IsMultiLine() const { return false; }
    virtual bool IsEditButtonAt(ui::Point) const { return false; }
    virtual void SetIndex(int index);
    virtual TAlignment GetDefaultAlignment() const { return taLeftJustify; }
    virtual std::string GetDefaultCaption() const { return {}; }
    virtual bool GetDefaultReadOnly() const { return false; }
    virtual int GetDefaultWidth() const { return 100; }
    virtual int CalcTextWidth(const ui::TextMetrics& metrics, const ui::TFont& font,
                              std::string_view text) const;
    virtual void GetDisplayText(const Value&, std::string&) const {}
    virtual void RestoreDefaults();

    void Changed(bool all);
    void Assign(const db::TPersistent& source) override;
    int GetSortIndex() const;
    void SetName(std::string_view name) override;
    // Whether Width would be streamed (it is explicit).
    bool IsWidthStored() const { return (assigned_ & cvWidth) != 0; }

    std::function<void(TgxTreeListColumn*, std::string_view)> OnNameChange;
    TgxTLCustomDrawCell OnCustomDrawCell;
    TgxTLCustomDrawHeader OnCustomDrawColumnHeader;

  private:
    friend class TCustomgxTreeListControl;
    friend class TgxTreeListBand;
    void RefreshFont() const;

    TCustomgxTreeListControl* control_ = nullptr;
    TAlignment alignment_ = taLeftJustify;
    std::string caption_;
    ui::Color color_ = ui::clWindow;
    bool read_only_ = false;
    bool disable_caption_ = false;
    bool disable_customizing_ = false;
    bool disable_editor_ = false;
    bool disable_dragging_ = false;
    mutable std::unique_ptr<ui::TFont> font_;
    std::unique_ptr<QImage> header_glyph_;
    TAlignment header_alignment_ = taLeftJustify;
    int min_width_ = 20;
    int stored_sort_order_ = -1;
    bool sizing_ = true;
    bool tab_stop_ = true;
    bool visible_ = true;
    int width_ = 100;
    std::uint8_t assigned_ = 0;
    int band_index_ = -1;
    int row_index_ = 0;
    int stored_row_index_ = 0;
    int header_max_line_count_ = 1;
    TgxTreeListColumnSort sorted_ = csNone;
};

// A node holding one text per column.
class TgxTreeListTextNode : public TgxTreeListNode {
  public:
    explicit TgxTreeListTextNode(TCustomgxTreeList* owner) : TgxTreeListNode(owner) {}
    NodeTexts Texts;
    int ImageIndexValue = -1;
    int SelectedIndexValue = -1;
    int StateIndexValue = -1;
};

}  // namespace grid
