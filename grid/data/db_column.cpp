#include "grid/data/db_column.h"

#include <algorithm>

#include "grid/data/db_grid.h"
#include "platform/db/conversions.h"
#include "platform/db/dataset.h"
#include "platform/db/format_settings.h"

namespace grid {

TgxDBTreeListColumn::TgxDBTreeListColumn(db::TComponent* owner) : TgxTreeListColumn(owner) {}

TgxDBTreeListColumn::~TgxDBTreeListColumn() {
    TCustomgxDBTreeListControl* control = DBTreeList();
    if (control != nullptr && !control->IsDestroying()) {
        if (group_index_ >= 0)
            control->ChangeColumnGroupIndex(this, -1);
        if (!Name().empty())
            control->RenameSummaryColumn(Name(), "");
    }
}

TCustomgxDBTreeListControl* TgxDBTreeListColumn::DBTreeList() const {
    return dynamic_cast<TCustomgxDBTreeListControl*>(ATreeList());
}

TCustomgxDBGrid* TgxDBTreeListColumn::DBGrid() const {
    return dynamic_cast<TCustomgxDBGrid*>(ATreeList());
}

void TgxDBTreeListColumn::BindField() {
    field_ = nullptr;
    TCustomgxDBTreeListControl* control = DBTreeList();
    if (control == nullptr || field_name_.empty())
        return;
    db::TDataSource* source = control->GetDataSource();
    db::TDataSet* dataset = source != nullptr ? source->DataSet() : nullptr;
    if (dataset == nullptr)
        return;
    // A closed dataset still answers for its persistent fields.
    if (dataset->Active() || (!dataset->DefaultFields() && dataset->FieldCount() > 0))
        field_ = dataset->FindField(field_name_);
}

void TgxDBTreeListColumn::SetFieldName(std::string_view value) {
    TCustomgxDBTreeListControl* control = DBTreeList();
    const bool grid_loading = control != nullptr && control->IsGridLoading();
    if (group_index_ >= 0 && control != nullptr && !grid_loading) {
        TgxGridDataLink* link = control->GetDataLink();
        if (link != nullptr && link->Active() && link->DataSet()->FindField(value) == nullptr)
            control->ChangeColumnGroupIndex(this, -1);
    }
    const bool changed = field_name_ != value;
    field_name_ = value;
    if (!grid_loading && !field_name_.empty())
        BindField();
    else if (field_name_.empty())
        field_ = nullptr;
    if (control != nullptr && !control->InLayoutChange())
        Changed(false);
    if (control != nullptr && !grid_loading && changed)
        control->ColumnGroupChanged(this);
}

void TgxDBTreeListColumn::SetDisableGrouping(bool value) {
    disable_grouping_ = value;
    if (value && group_index_ >= 0)
        SetGroupIndex(-1);
}

void TgxDBTreeListColumn::SetGroupIndex(int value) {
    if (value < -1)
        return;
    TCustomgxDBTreeListControl* control = DBTreeList();
    if (control == nullptr || control->IsLoading()) {
        group_index_ = value;
        return;
    }
    control->ChangeColumnGroupIndex(this, value);
}

void TgxDBTreeListColumn::SetSummaryType(TgxSummaryType value) {
    summary_type_ = value;
    if (value == cstNone)
        sort_by_summary_ = false;
    Changed(false);
}
void TgxDBTreeListColumn::SetSummaryField(std::string_view value) {
    summary_field_ = value;
    Changed(false);
}
void TgxDBTreeListColumn::SetSummaryFormat(std::string_view value) {
    summary_format_ = value;
    Changed(false);
}
void TgxDBTreeListColumn::SetSortBySummary(bool value) {
    // Sorting by a summary that is not computed would sort by nothing.
    if (value && summary_type_ == cstNone)
        return;
    sort_by_summary_ = value;
}
void TgxDBTreeListColumn::SetSummaryGroupName(std::string_view value) {
    summary_group_name_ = value;
    Changed(false);
}
void TgxDBTreeListColumn::SetSummaryFooterType(TgxSummaryType value) {
    summary_footer_type_ = value;
    Changed(false);
}
void TgxDBTreeListColumn::SetSummaryFooterField(std::string_view value) {
    summary_footer_field_ = value;
    Changed(false);
}
void TgxDBTreeListColumn::SetSummaryFooterFormat(std::string_view value) {
    summary_footer_format_ = value;
    Changed(false);
}

void TgxDBTreeListColumn::AccumulateFooter(long double value) {
    if (!footer_has_value_) {
        footer_value_ = value;
        footer_has_value_ = true;
        return;
    }
    switch (summary_footer_type_) {
        case cstSum:
        case cstAvg:
            footer_value_ += value;
            break;
        case cstMin:
            footer_value_ = std::min(footer_value_, value);
            break;
        case cstMax:
            footer_value_ = std::max(footer_value_, value);
            break;
        default:
            break;
    }
}

bool TgxDBTreeListColumn::HasCustomDrawCell() const {
    return TgxTreeListColumn::HasCustomDrawCell() || static_cast<bool>(OnCustomDraw);
}

void TgxDBTreeListColumn::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& rect,
                                           const TgxTreeListNode* node, bool selected, bool focused,
                                           bool new_item_row, std::string& text, ui::Color& color,
                                           ui::TFont& font, TAlignment& alignment, bool& done) {
    if (OnCustomDraw) {
        OnCustomDraw(this, canvas, rect, node, selected, focused, text, color, font, alignment,
                     done);
        if (done)
            return;
    }
    TgxTreeListColumn::DoCustomDrawCell(canvas, rect, node, selected, focused, new_item_row, text,
                                        color, font, alignment, done);
}

void TgxDBTreeListColumn::SetIndex(int value) {
    TCustomgxDBGrid* grid = DBGrid();
    if (grid != nullptr && grid->DefaultFields() && grid->GetDataLink()->Active()) {
        TgxGridDataLink* link = grid->GetDataLink();
        db::TField* target = link->GetMappedField(value);
        if (field_ != nullptr) {
            std::int64_t index = target != nullptr ? target->Index() : link->MappingCount() - 1;
            field_->SetIndex(index);
        }
    }
    TgxTreeListColumn::SetIndex(value);
}

TAlignment TgxDBTreeListColumn::GetDefaultAlignment() const {
    if (field_ == nullptr)
        return taLeftJustify;
    switch (field_->Alignment()) {
        case db::taRightJustify:
            return taRightJustify;
        case db::taCenter:
            return taCenter;
        default:
            return taLeftJustify;
    }
}

std::string TgxDBTreeListColumn::GetDefaultCaption() const {
    return field_ != nullptr ? field_->DisplayLabel() : field_name_;
}

bool TgxDBTreeListColumn::GetDefaultReadOnly() const {
    return field_ != nullptr && field_->ReadOnly();
}

int TgxDBTreeListColumn::GetDefaultWidth() const {
    int width = 64;
    TCustomgxTreeListControl* control = ATreeList();
    if (control == nullptr)
        return width;
    const ui::TextMetrics& m = control->Metrics();
    std::string caption = Caption();
    if (!caption.empty())
        width = std::max(width, m.TextWidth(control->GetHeaderFont(), caption) + 6);
    if (field_ != nullptr) {
        const ui::TFont& font = (AssignedValues() & cvFont) ? Font() : control->Font();
        int zero = m.TextWidth(font, "0");
        // Fixed metrics have no overhang; the width of "0" is the digit cell.
        width = std::max(width, zero * field_->DisplayWidth() + 4);
    }
    return width;
}

void TgxDBTreeListColumn::RestoreDefaults() {
    TgxTreeListColumn::RestoreDefaults();
    disable_grouping_ = false;
    summary_group_name_.clear();
}

void TgxDBTreeListColumn::Assign(const db::TPersistent& source) {
    TCustomgxTreeListControl* control = ATreeList();
    if (control != nullptr)
        control->BeginUpdate();
    try {
        TgxTreeListColumn::Assign(source);
        if (const auto* other = dynamic_cast<const TgxDBTreeListColumn*>(&source)) {
            disable_grouping_ = other->disable_grouping_;
            summary_group_name_ = other->summary_group_name_;
            SetFieldName(other->field_name_);
        }
    } catch (...) {
        if (control != nullptr)
            control->EndUpdate();
        throw;
    }
    if (control != nullptr)
        control->EndUpdate();
}

void TgxDBTreeListColumn::SetName(std::string_view name) {
    std::string old = Name();
    TgxTreeListColumn::SetName(name);
    TCustomgxDBTreeListControl* control = DBTreeList();
    if (control != nullptr && !control->IsLoading() && !old.empty() && old != name)
        control->RenameSummaryColumn(old, name);
}

bool TgxDBTreeListColumn::KeepsFieldValue() const {
    if (NeedsFieldValue())
        return true;
    if (field_ == nullptr)
        return false;
    switch (field_->DataType()) {
        case db::ftSmallint:
        case db::ftInteger:
        case db::ftWord:
        case db::ftAutoInc:
        case db::ftFloat:
        case db::ftCurrency:
        case db::ftBCD:
        case db::ftLargeint:
        case db::ftDate:
        case db::ftTime:
        case db::ftDateTime:
        case db::ftBoolean:
            return true;
        case db::ftString:
        case db::ftFixedChar:
        case db::ftWideString:
            return static_cast<bool>(field_->OnGetText) || !field_->EditMask().empty();
        default:
            return false;
    }
}

std::string TgxDBTreeListColumn::GetFieldDisplayText() const {
    return field_ != nullptr ? field_->DisplayText() : std::string();
}

std::string TgxDBTreeListColumn::GetFieldText(db::TField* field) const {
    return field != nullptr ? field->Text() : std::string();
}

std::string TgxDBTreeListColumn::GetSummaryFooterText() const {
    db::TFieldType type =
        footer_field_object_ != nullptr ? footer_field_object_->DataType() : db::ftUnknown;
    return FormatSummaryText(summary_footer_type_, summary_footer_format_, type, true,
                             footer_value_);
}

void TgxDBTreeListColumn::VariantToText(const db::Variant& value, std::string& result) const {
    result = db::VarToStr(value);
}

db::TVarType TgxDBTreeListColumn::GetValueVariantType() const {
    if (field_ == nullptr)
        return db::varUnknown;
    switch (field_->DataType()) {
        case db::ftSmallint:
            return db::varSmallint;
        case db::ftInteger:
        case db::ftWord:
        case db::ftAutoInc:
            return db::varInteger;
        case db::ftFloat:
            return db::varDouble;
        case db::ftCurrency:
        case db::ftBCD:
            return db::varCurrency;
        case db::ftDate:
        case db::ftTime:
        case db::ftDateTime:
            return db::varDate;
        default:
            return db::varString;
    }
}

void TgxDBTreeListColumn::SetFieldText(db::TField* field, std::string_view text) const {
    if (field == nullptr)
        return;
    switch (field->DataType()) {
        case db::ftDate:
        case db::ftTime:
        case db::ftDateTime:
            if (text.empty()) {
                field->Clear();
            } else if (field->DataType() == db::ftTime) {
                field->SetAsDateTime(db::StrToTime(text, db::FormatSettings()));
            } else {
                field->SetAsDateTime(db::StrToDateTime(text, db::FormatSettings()));
            }
            break;
        default:
            field->SetText(text);
            break;
    }
}

}  // namespace grid
