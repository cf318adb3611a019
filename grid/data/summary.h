#pragma once

// Named summary groups of the data-aware grid: each group holds items that summarise a
// field per group row, shown after the group value or in the row footer under a column.

#include <string>
#include <string_view>

#include "grid/data/db_column.h"
#include "platform/db/collection.h"

namespace grid {

class TCustomgxDBGrid;
class TgxDBGridSummaryGroups;

class TgxDBGridSummaryItem : public db::TCollectionItem {
  public:
    const std::string& ColumnName() const { return column_name_; }
    void SetColumnName(std::string_view value);
    TgxSummaryType SummaryType() const { return summary_type_; }
    void SetSummaryType(TgxSummaryType value);
    const std::string& SummaryField() const { return summary_field_; }
    void SetSummaryField(std::string_view value);
    const std::string& SummaryFormat() const { return summary_format_; }
    void SetSummaryFormat(std::string_view value);
    TgxSummaryEvent OnSummary;
    void Assign(const db::TPersistent& source) override;

    db::TField* FieldObject() const { return field_; }
    void BindField(db::TField* field) { field_ = field; }

  private:
    std::string column_name_;
    TgxSummaryType summary_type_ = cstNone;
    std::string summary_field_;
    std::string summary_format_;
    db::TField* field_ = nullptr;
};

class TgxDBGridSummaryItems : public db::TCollection {
  public:
    explicit TgxDBGridSummaryItems(TgxDBGridSummaryGroups* groups);
    TgxDBGridSummaryItem* Items(std::int64_t index) const {
        return static_cast<TgxDBGridSummaryItem*>(db::TCollection::Items(index));
    }
    TgxDBGridSummaryItem* Add() {
        return static_cast<TgxDBGridSummaryItem*>(db::TCollection::Add());
    }

  protected:
    void Update(db::TCollectionItem* item) override;

  private:
    TgxDBGridSummaryGroups* groups_;
};

class TgxDBGridSummaryGroup : public db::TCollectionItem {
  public:
    TgxDBGridSummaryGroup();
    const std::string& BeginSummaryText() const { return begin_text_; }
    void SetBeginSummaryText(std::string_view value);
    const std::string& EndSummaryText() const { return end_text_; }
    void SetEndSummaryText(std::string_view value);
    bool DefaultGroup() const { return default_group_; }
    void SetDefaultGroup(bool value);
    TgxDBGridSummaryItems& SummaryItems() { return *items_; }
    const TgxDBGridSummaryItems& SummaryItems() const { return *items_; }
    const std::string& Name() const { return name_; }
    // Raises EInvalidgxTreeListOperation for an empty name or one another group has.
    void SetName(std::string_view value);
    void Assign(const db::TPersistent& source) override;

  private:
    friend class TgxDBGridSummaryGroups;
    std::string begin_text_;
    std::string end_text_;
    bool default_group_ = false;
    std::unique_ptr<TgxDBGridSummaryItems> items_;
    std::string name_;
};

class TgxDBGridSummaryGroups : public db::TCollection {
  public:
    explicit TgxDBGridSummaryGroups(TCustomgxDBGrid* grid);
    TCustomgxDBGrid* Grid() const { return grid_; }
    TgxDBGridSummaryGroup* Items(std::int64_t index) const {
        return static_cast<TgxDBGridSummaryGroup*>(db::TCollection::Items(index));
    }
    TgxDBGridSummaryGroup* Add() {
        return static_cast<TgxDBGridSummaryGroup*>(db::TCollection::Add());
    }
    TgxDBGridSummaryGroup* GetDefaultGroup() const;
    // The group of that name, compared without regard to case; none when missing.
    TgxDBGridSummaryGroup* FindByName(std::string_view name) const;
    // The collection of items changed: the owning grid re-lays out.
    void ItemsChanged();

  protected:
    void Update(db::TCollectionItem* item) override;

  private:
    TCustomgxDBGrid* grid_;
};

// The summary text of one value: the custom format or the kind's default, dates and times
// through the date conversions; empty for cstNone.
std::string FormatSummaryText(TgxSummaryType kind, std::string_view custom_format,
                              db::TFieldType date_kind, bool is_footer, long double value);

}  // namespace grid
