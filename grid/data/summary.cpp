#include "grid/data/summary.h"

#include "grid/core/exceptions.h"
#include "grid/data/db_grid.h"
#include "platform/db/conversions.h"
#include "platform/db/format_settings.h"
#include "platform/db/names.h"

namespace grid {

void TgxDBGridSummaryItem::SetColumnName(std::string_view value) {
    if (column_name_ == value)
        return;
    column_name_ = value;
    Changed(false);
}
void TgxDBGridSummaryItem::SetSummaryType(TgxSummaryType value) {
    if (summary_type_ == value)
        return;
    summary_type_ = value;
    Changed(false);
}
void TgxDBGridSummaryItem::SetSummaryField(std::string_view value) {
    if (summary_field_ == value)
        return;
    summary_field_ = value;
    Changed(false);
}
void TgxDBGridSummaryItem::SetSummaryFormat(std::string_view value) {
    if (summary_format_ == value)
        return;
    summary_format_ = value;
    Changed(false);
}

void TgxDBGridSummaryItem::Assign(const db::TPersistent& source) {
    const auto* other = dynamic_cast<const TgxDBGridSummaryItem*>(&source);
    if (other == nullptr) {
        db::TCollectionItem::Assign(source);
        return;
    }
    db::TCollection* owner = Collection();
    if (owner != nullptr)
        owner->BeginUpdate();
    column_name_ = other->column_name_;
    summary_type_ = other->summary_type_;
    summary_field_ = other->summary_field_;
    summary_format_ = other->summary_format_;
    if (owner != nullptr)
        owner->EndUpdate();
}

TgxDBGridSummaryItems::TgxDBGridSummaryItems(TgxDBGridSummaryGroups* groups)
    : db::TCollection(db::TCollection::ItemClass<TgxDBGridSummaryItem>()), groups_(groups) {}

void TgxDBGridSummaryItems::Update(db::TCollectionItem*) {
    if (groups_ != nullptr)
        groups_->ItemsChanged();
}

TgxDBGridSummaryGroup::TgxDBGridSummaryGroup() = default;

void TgxDBGridSummaryGroup::SetBeginSummaryText(std::string_view value) {
    begin_text_ = value;
    Changed(false);
}
void TgxDBGridSummaryGroup::SetEndSummaryText(std::string_view value) {
    end_text_ = value;
    Changed(false);
}

void TgxDBGridSummaryGroup::SetDefaultGroup(bool value) {
    if (value && Collection() != nullptr) {
        auto* groups = static_cast<TgxDBGridSummaryGroups*>(Collection());
        for (std::int64_t i = 0; i < groups->Count(); ++i)
            groups->Items(i)->default_group_ = false;
    }
    default_group_ = value;
    Changed(false);
}

void TgxDBGridSummaryGroup::SetName(std::string_view value) {
    if (value.empty())
        RaiseInvalidTreeListOperation("invalidate group name !");
    if (Collection() != nullptr) {
        auto* groups = static_cast<TgxDBGridSummaryGroups*>(Collection());
        for (std::int64_t i = 0; i < groups->Count(); ++i) {
            TgxDBGridSummaryGroup* other = groups->Items(i);
            if (other != this && other->name_ == value)
                RaiseInvalidTreeListOperation("invalidate group name duplicate!");
        }
    }
    name_ = value;
    Changed(false);
}

void TgxDBGridSummaryGroup::Assign(const db::TPersistent& source) {
    const auto* other = dynamic_cast<const TgxDBGridSummaryGroup*>(&source);
    if (other == nullptr) {
        db::TCollectionItem::Assign(source);
        return;
    }
    db::TCollection* owner = Collection();
    if (owner != nullptr)
        owner->BeginUpdate();
    begin_text_ = other->begin_text_;
    end_text_ = other->end_text_;
    default_group_ = other->default_group_;
    if (items_ && other->items_)
        items_->Assign(*other->items_);
    if (owner != nullptr)
        owner->EndUpdate();
}

TgxDBGridSummaryGroups::TgxDBGridSummaryGroups(TCustomgxDBGrid* grid)
    : db::TCollection([this] {
          auto group = std::make_unique<TgxDBGridSummaryGroup>();
          group->items_ = std::make_unique<TgxDBGridSummaryItems>(this);
          return group;
      }),
      grid_(grid) {}

TgxDBGridSummaryGroup* TgxDBGridSummaryGroups::GetDefaultGroup() const {
    for (std::int64_t i = 0; i < Count(); ++i)
        if (Items(i)->DefaultGroup())
            return Items(i);
    return nullptr;
}

TgxDBGridSummaryGroup* TgxDBGridSummaryGroups::FindByName(std::string_view name) const {
    for (std::int64_t i = 0; i < Count(); ++i)
        if (db::SameName(Items(i)->Name(), name))
            return Items(i);
    return nullptr;
}

void TgxDBGridSummaryGroups::ItemsChanged() {
    if (grid_ != nullptr && !grid_->IsGridLoading())
        grid_->LayoutChanged();
}

void TgxDBGridSummaryGroups::Update(db::TCollectionItem*) {
    if (grid_ != nullptr && !grid_->IsGridLoading())
        grid_->ReloadNodes();
}

namespace {
struct DefaultFormats {
    const char* group;
    const char* footer;
    const char* group_date_prefix;
    const char* footer_date_prefix;
};
DefaultFormats FormatsOf(TgxSummaryType kind) {
    switch (kind) {
        case cstSum:
            return {"(SUM=0.00)", "0.00", "(SUM=", ""};
        case cstMin:
            return {"(MIN=0.00)", "MIN=0.00", "(MIN=", "MIN="};
        case cstMax:
            return {"(MAX=0.00)", "MAX=0.00", "(MAX=", "MAX="};
        case cstCount:
            return {"(COUNT=0)", "0", "", ""};
        case cstAvg:
            return {"(AVG=0.00)", "AVG=0.00", "(AVG=", "AVG="};
        default:
            return {"", "", "", ""};
    }
}
}  // namespace

std::string FormatSummaryText(TgxSummaryType kind, std::string_view custom_format,
                              db::TFieldType date_kind, bool is_footer, long double value) {
    if (kind == cstNone)
        return {};
    DefaultFormats defaults = FormatsOf(kind);
    const db::TFormatSettings& settings = db::FormatSettings();
    const bool date_like =
        date_kind == db::ftDate || date_kind == db::ftTime || date_kind == db::ftDateTime;
    if (kind != cstCount && date_like) {
        std::string prefix;
        std::string suffix;
        if (custom_format.empty()) {
            prefix = is_footer ? defaults.footer_date_prefix : defaults.group_date_prefix;
            suffix = is_footer ? "" : ")";
        } else {
            prefix = custom_format;
        }
        db::TDateTime when(static_cast<double>(value));
        std::string text;
        if (date_kind == db::ftDate)
            text = db::DateToStr(when, settings);
        else if (date_kind == db::ftTime)
            text = db::TimeToStr(when, settings);
        else
            text = db::DateTimeToStr(when, settings);
        return prefix + text + suffix;
    }
    std::string_view format = !custom_format.empty()
                                  ? custom_format
                                  : std::string_view(is_footer ? defaults.footer : defaults.group);
    return db::FormatFloat(format, static_cast<double>(value), settings);
}

}  // namespace grid
