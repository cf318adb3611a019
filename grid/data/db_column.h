#pragma once

// A tree-list column bound to a dataset field by name. It takes its default caption,
// width, alignment and read-only state from the field, reads and writes cell text through
// it, and carries the grouping and summary settings the data-aware grid uses.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "grid/core/column.h"
#include "platform/db/field.h"
#include "platform/db/variant.h"

namespace grid {

class TCustomgxDBTreeListControl;
class TCustomgxDBGrid;
class TgxDBGridSummaryGroup;
class TgxDBTreeListColumn;

enum class TgxSummaryType : std::uint8_t { cstNone, cstSum, cstMin, cstMax, cstCount, cstAvg };
using enum TgxSummaryType;

// Sender column, the dataset, the value to summarise (changeable).
using TgxSummaryEvent =
    std::function<void(TgxDBTreeListColumn* sender, db::TDataSet* dataset, long double& value)>;
using TgxGetTextEvent = std::function<void(TgxDBTreeListColumn* sender, const TgxTreeListNode* node,
                                           std::string& text)>;

class TgxDBTreeListColumn : public TgxTreeListColumn {
  public:
    explicit TgxDBTreeListColumn(db::TComponent* owner = nullptr);
    ~TgxDBTreeListColumn() override;

    TCustomgxDBTreeListControl* DBTreeList() const;
    TCustomgxDBGrid* DBGrid() const;

    db::TField* Field() const { return field_; }
    const std::string& FieldName() const { return field_name_; }
    void SetFieldName(std::string_view value);
    // Binds the field the name resolves to now (none while unbound).
    void BindField();
    void ClearField() { field_ = nullptr; }
    bool DisableGrouping() const { return disable_grouping_; }
    void SetDisableGrouping(bool value);
    int GroupIndex() const { return group_index_; }
    void SetGroupIndex(int value);
    // Stores the group index without regrouping (the grid renumbers its list).
    void StoreGroupIndex(int value) { group_index_ = value; }

    // Group summary (when the column is a group column).
    TgxSummaryType SummaryType() const { return summary_type_; }
    void SetSummaryType(TgxSummaryType value);
    const std::string& SummaryField() const { return summary_field_; }
    void SetSummaryField(std::string_view value);
    const std::string& SummaryFormat() const { return summary_format_; }
    void SetSummaryFormat(std::string_view value);
    bool SortBySummary() const { return sort_by_summary_ && summary_type_ != cstNone; }
    void SetSortBySummary(bool value);
    const std::string& SummaryGroupName() const { return summary_group_name_; }
    void SetSummaryGroupName(std::string_view value);
    TgxSummaryEvent OnSummary;

    // Footer summary.
    TgxSummaryType SummaryFooterType() const { return summary_footer_type_; }
    void SetSummaryFooterType(TgxSummaryType value);
    const std::string& SummaryFooterField() const { return summary_footer_field_; }
    void SetSummaryFooterField(std::string_view value);
    const std::string& SummaryFooterFormat() const { return summary_footer_format_; }
    void SetSummaryFooterFormat(std::string_view value);
    TgxSummaryEvent OnSummaryFooter;
    std::function<void(TgxDBTreeListColumn*, ui::TCanvas&, const ui::Rect&, std::string&,
                       ui::Color&, ui::TFont&, TAlignment&, bool&)>
        OnDrawSummaryFooter;

    TgxGetTextEvent OnGetText;
    std::function<void(TgxDBTreeListColumn*, ui::TCanvas&, const ui::Rect&, const TgxTreeListNode*,
                       bool selected, bool focused, std::string&, ui::Color&, ui::TFont&,
                       TAlignment&, bool&)>
        OnCustomDraw;
    std::function<void(TgxDBTreeListColumn*, ui::TCanvas&, const ui::Rect&, std::string&,
                       ui::Color&, ui::TFont&, TAlignment&, TgxTreeListColumnSort&, bool&)>
        OnCustomDrawHeader;

    // Runtime summary state.
    db::TField* SummaryFieldObject() const { return summary_field_object_; }
    db::TField* FooterFieldObject() const { return footer_field_object_; }
    TgxDBGridSummaryGroup* SummaryGroup() const { return summary_group_; }
    void BindSummary(db::TField* summary, TgxDBGridSummaryGroup* group) {
        summary_field_object_ = summary;
        summary_group_ = group;
    }
    void BindFooter(db::TField* footer) { footer_field_object_ = footer; }
    void ResetFooter() {
        footer_value_ = 0;
        footer_has_value_ = false;
    }
    void AccumulateFooter(long double value);
    long double FooterValue() const { return footer_value_; }
    void SetFooterValue(long double value) { footer_value_ = value; }
    bool FooterHasValue() const { return footer_has_value_; }

    bool HasCustomDrawCell() const override;
    void DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect, const TgxTreeListNode* node,
                          bool selected, bool focused, bool new_item_row, std::string& text,
                          ui::Color& color, ui::TFont& font, TAlignment& alignment,
                          bool& done) override;
    void SetIndex(int value) override;
    TAlignment GetDefaultAlignment() const override;
    std::string GetDefaultCaption() const override;
    bool GetDefaultReadOnly() const override;
    int GetDefaultWidth() const override;
    void RestoreDefaults() override;
    void Assign(const db::TPersistent& source) override;
    void SetName(std::string_view name) override;

    // Whether rows keep the field's value even when its text would do.
    virtual bool NeedsFieldValue() const { return false; }
    // Whether rows keep the value for this column (always for numbers, dates and times,
    // and for strings with a text handler or an edit mask).
    bool KeepsFieldValue() const;
    virtual std::string GetFieldDisplayText() const;
    virtual std::string GetFieldText(db::TField* field) const;
    virtual void AssignDisplayText(const std::string& text, std::string& result) const {
        result = text;
    }
    virtual std::string GetSummaryFooterText() const;
    virtual void VariantToText(const db::Variant& value, std::string& result) const;
    virtual db::TVarType GetValueVariantType() const;
    virtual bool CanEditBlob() const { return false; }
    // Writes edited text into the field: dates and times through the conversion routines
    // (empty text clears them), everything else through the field's Text.
    virtual void SetFieldText(db::TField* field, std::string_view text) const;

  private:
    friend class TCustomgxDBGrid;
    db::TField* field_ = nullptr;
    std::string field_name_;
    bool disable_grouping_ = false;
    int group_index_ = -1;
    TgxSummaryType summary_type_ = cstNone;
    std::string summary_field_;
    std::string summary_format_;
    bool sort_by_summary_ = false;
    std::string summary_group_name_;
    TgxSummaryType summary_footer_type_ = cstNone;
    std::string summary_footer_field_;
    std::string summary_footer_format_;
    db::TField* summary_field_object_ = nullptr;
    db::TField* footer_field_object_ = nullptr;
    TgxDBGridSummaryGroup* summary_group_ = nullptr;
    long double footer_value_ = 0;
    bool footer_has_value_ = false;
};

// The grid's default column class.
class TgxDBGridColumn : public TgxDBTreeListColumn {
  public:
    using TgxDBTreeListColumn::TgxDBTreeListColumn;
};

// A text column with an edit mask.
class TgxDBGridMaskColumn : public TgxDBGridColumn {
  public:
    using TgxDBGridColumn::TgxDBGridColumn;
    const std::string& EditMask() const { return edit_mask_; }
    void SetEditMask(std::string_view mask) { edit_mask_ = mask; }
    bool NeedsFieldValue() const override { return !edit_mask_.empty(); }
    // The mask editor that prefers the column's mask (defined with the grid's editors).
    TgxInplaceEditClass GetEditorClass() const override;

  private:
    std::string edit_mask_;
};

}  // namespace grid
