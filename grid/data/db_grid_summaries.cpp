// Group and footer summaries, accumulated in extended precision as rows are read or
// recomputed from the rows' stored values.

#include <algorithm>

#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/db/exception.h"
#include "platform/db/names.h"

namespace grid {

namespace {
void Combine(TgxSummaryType kind, long double value, long double& into, bool& has_value) {
    if (!has_value) {
        into = value;
        has_value = true;
        return;
    }
    switch (kind) {
        case cstSum:
        case cstAvg:
            into += value;
            break;
        case cstMin:
            if (value < into)
                into = value;
            break;
        case cstMax:
            if (value > into)
                into = value;
            break;
        default:
            break;
    }
}
}  // namespace

void TCustomgxDBGrid::SetSummaryGroups(const TgxDBGridSummaryGroups& groups) {
    summary_groups_->Assign(groups);
}

void TCustomgxDBGrid::SetSummarySeparator(std::string_view value) {
    if (summary_separator_ == value)
        return;
    summary_separator_ = value;
    Repaint();
}

void TCustomgxDBGrid::BindSummaryFields() {
    db::TDataSet* dataset = link_->Active() ? DataSet() : nullptr;
    auto find = [&](const std::string& name) -> db::TField* {
        return dataset != nullptr && !name.empty() ? dataset->FindField(name) : nullptr;
    };
    for (TgxDBTreeListColumn* c : group_columns_) {
        TgxDBGridSummaryGroup* group = nullptr;
        if (c->SummaryGroupName().empty() && c->SummaryType() == cstNone)
            group = summary_groups_->GetDefaultGroup();
        else if (!c->SummaryGroupName().empty())
            group = summary_groups_->FindByName(c->SummaryGroupName());
        c->BindSummary(find(c->SummaryField()), group);
    }
    for (std::int64_t g = 0; g < summary_groups_->Count(); ++g) {
        TgxDBGridSummaryItems& items = summary_groups_->Items(g)->SummaryItems();
        for (std::int64_t i = 0; i < items.Count(); ++i) {
            TgxDBGridSummaryItem* item = items.Items(i);
            db::TField* field = find(item->SummaryField());
            if (item->SummaryField().empty() && !item->ColumnName().empty())
                if (TgxDBTreeListColumn* column = ColumnByName(item->ColumnName()))
                    field = find(column->FieldName());
            item->BindField(field);
        }
    }
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i))
            c->BindFooter(find(c->SummaryFooterField()));
    summary_input_fields_.clear();
    auto note = [&](db::TField* field) {
        if (field != nullptr &&
            std::find(summary_input_fields_.begin(), summary_input_fields_.end(), field) ==
                summary_input_fields_.end())
            summary_input_fields_.push_back(field);
    };
    for (TgxDBTreeListColumn* c : group_columns_)
        note(c->SummaryFieldObject());
    for (std::int64_t g = 0; g < summary_groups_->Count(); ++g) {
        TgxDBGridSummaryItems& items = summary_groups_->Items(g)->SummaryItems();
        for (std::int64_t i = 0; i < items.Count(); ++i)
            note(items.Items(i)->FieldObject());
    }
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i))
            note(c->FooterFieldObject());
    summary_record_count_ = 0;
}

double TCustomgxDBGrid::GetSummaryValue(const TgxTreeListNode* node) const {
    if (node == nullptr)
        return 0;
    return db::Variant(
               static_cast<double>(static_cast<const TgxDBGridNode*>(node)->Extra().Summary))
        .AsDouble();
}

void TCustomgxDBGrid::RenameSummaryColumn(std::string_view old_name, std::string_view new_name) {
    for (std::int64_t g = 0; g < summary_groups_->Count(); ++g) {
        TgxDBGridSummaryItems& items = summary_groups_->Items(g)->SummaryItems();
        for (std::int64_t i = 0; i < items.Count(); ++i)
            if (db::SameName(items.Items(i)->ColumnName(), old_name))
                items.Items(i)->SetColumnName(new_name);
    }
}

long double TCustomgxDBGrid::SummaryInput(db::TField* field, TgxSummaryType kind,
                                          const TgxDBGridNode* record, bool from_dataset) const {
    if (kind == cstCount || kind == cstNone || field == nullptr)
        return 0;
    if (from_dataset)
        return field->IsNull() ? 0 : static_cast<long double>(field->AsFloat());
    db::Variant v;
    auto kept =
        std::find_if(record->Extra().SummaryInputs.begin(), record->Extra().SummaryInputs.end(),
                     [&](const auto& input) { return input.first == field; });
    if (kept != record->Extra().SummaryInputs.end()) {
        v = kept->second;
    } else {
        // A row filled before this summary was set up: the value a column keeps of it.
        TgxDBTreeListColumn* column = ColumnByFieldName(field->FieldName());
        if (column == nullptr)
            return 0;
        v = GetNodeVariant(record, column->GetIndex());
    }
    if (v.IsClear())
        return 0;
    try {
        return static_cast<long double>(v.AsDouble());
    } catch (const db::Exception&) {
        return 0;
    }
}

void TCustomgxDBGrid::ResetSummaries() {
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i))
            c->ResetFooter();
    summary_record_count_ = 0;
}

void TCustomgxDBGrid::AccumulateRecord(TgxDBGridNode* record, bool from_dataset) {
    db::TDataSet* dataset = DataSet();
    for (TgxTreeListNode* n = record->Parent(); n != nullptr; n = n->Parent()) {
        auto* group = static_cast<TgxDBGridNode*>(n);
        int level = n->Level();
        if (level >= GetGroupColumnCount())
            continue;
        TgxDBTreeListColumn* c = group_columns_[static_cast<std::size_t>(level)];
        if (c->SummaryType() != cstNone || OnSummary) {
            long double value =
                SummaryInput(c->SummaryFieldObject(), c->SummaryType(), record, from_dataset);
            if (c->OnSummary)
                c->OnSummary(c, dataset, value);
            if (OnSummary)
                OnSummary(this, group, dataset, value);
            if (c->SummaryType() != cstCount)
                Combine(c->SummaryType(), value, group->Extra().Summary, group->Extra().HasSummary);
            else
                group->Extra().HasSummary = true;
        }
        if (TgxDBGridSummaryGroup* sg = c->SummaryGroup()) {
            TgxDBGridSummaryItems& items = sg->SummaryItems();
            if (group->Extra().SummaryItems.size() < static_cast<std::size_t>(items.Count()))
                group->Extra().SummaryItems.resize(static_cast<std::size_t>(items.Count()));
            for (std::int64_t i = 0; i < items.Count(); ++i) {
                TgxDBGridSummaryItem* item = items.Items(i);
                long double value =
                    SummaryInput(item->FieldObject(), item->SummaryType(), record, from_dataset);
                if (item->OnSummary)
                    item->OnSummary(c, dataset, value);
                auto& entry = group->Extra().SummaryItems[static_cast<std::size_t>(i)];
                if (item->SummaryType() != cstCount)
                    Combine(item->SummaryType(), value, entry.value, entry.has_value);
                else
                    entry.has_value = true;
            }
        }
    }
    for (int i = 0; i < ColumnCount(); ++i) {
        TgxDBTreeListColumn* c = GetColumn(i);
        if (c == nullptr || c->SummaryFooterType() == cstNone)
            continue;
        long double value =
            SummaryInput(c->FooterFieldObject(), c->SummaryFooterType(), record, from_dataset);
        if (c->OnSummaryFooter)
            c->OnSummaryFooter(c, dataset, value);
        if (c->SummaryFooterType() != cstCount)
            c->AccumulateFooter(value);
    }
}

void TCustomgxDBGrid::FinishSummaries() {
    std::function<std::int64_t(TgxTreeListNode*)> finish = [&](TgxTreeListNode* n) {
        auto* row = static_cast<TgxDBGridNode*>(n);
        if (!row->IsGroup)
            return std::int64_t{1};
        std::int64_t records = 0;
        for (int i = 0; i < n->Count(); ++i)
            records += finish(n->Items(i));
        row->Extra().RecordCount = records;
        int level = n->Level();
        if (level < GetGroupColumnCount()) {
            TgxDBTreeListColumn* c = group_columns_[static_cast<std::size_t>(level)];
            if (c->SummaryType() == cstCount) {
                row->Extra().Summary = static_cast<long double>(records);
                row->Extra().HasSummary = true;
            } else if (c->SummaryType() == cstAvg && records > 0) {
                row->Extra().Summary /= static_cast<long double>(records);
            }
            if (TgxDBGridSummaryGroup* sg = c->SummaryGroup()) {
                TgxDBGridSummaryItems& items = sg->SummaryItems();
                row->Extra().SummaryItems.resize(static_cast<std::size_t>(items.Count()));
                for (std::int64_t i = 0; i < items.Count(); ++i) {
                    auto& entry = row->Extra().SummaryItems[static_cast<std::size_t>(i)];
                    if (items.Items(i)->SummaryType() == cstCount) {
                        entry.value = static_cast<long double>(records);
                        entry.has_value = true;
                    } else if (items.Items(i)->SummaryType() == cstAvg && records > 0) {
                        entry.value /= static_cast<long double>(records);
                    }
                }
            }
        }
        return records;
    };
    for (int i = 0; i < Count(); ++i)
        finish(Items(i));
    for (int i = 0; i < ColumnCount(); ++i) {
        TgxDBTreeListColumn* c = GetColumn(i);
        if (c == nullptr)
            continue;
        if (c->SummaryFooterType() == cstCount)
            c->SetFooterValue(static_cast<long double>(summary_record_count_));
        else if (c->SummaryFooterType() == cstAvg && summary_record_count_ >= 1)
            c->SetFooterValue(c->FooterValue() / static_cast<long double>(summary_record_count_));
    }
    if (OnSummariesChanged)
        OnSummariesChanged(this);
}

void TCustomgxDBGrid::SortGroupsBySummary() {
    for (std::size_t level = 0; level < group_columns_.size(); ++level) {
        TgxDBTreeListColumn* c = group_columns_[level];
        if (c->SortBySummary() && c->Sorted() != csNone)
            SortNodes(static_cast<int>(level), c->GetIndex(), c->Sorted() == csDown);
    }
}

void TCustomgxDBGrid::RecalcSummaries(TgxDBGridNode* changed) {
    BeginUpdate();
    try {
        if (group_columns_.empty()) {
            ResetSummaries();
            BindSummaryFields();
            std::int64_t count = 0;
            for (int i = 0; i < Count(); ++i) {
                auto* row = static_cast<TgxDBGridNode*>(Items(i));
                if (!row->IsGroup) {
                    AccumulateRecord(row, false);
                    ++count;
                }
            }
            summary_record_count_ = count;
            FinishSummaries();
        } else {
            if (changed != nullptr && !changed->IsGroup) {
                TgxTreeListNode* old_parent = changed->Parent();
                std::vector<db::Variant> values = GroupValuesOfNode(changed);
                TgxDBGridNode* target = FindOrCreateGroupPath(values);
                if (target != old_parent) {
                    // Taken out of its old group and placed under the new one.
                    std::unique_ptr<TgxTreeListNode> owned;
                    if (old_parent != nullptr) {
                        NodeList siblings = TakeChildren(old_parent);
                        for (auto& s : siblings) {
                            if (s.get() == changed)
                                owned = std::move(s);
                            else if (s)
                                AttachNode(std::move(s), old_parent, -1);
                        }
                    }
                    if (owned)
                        AttachNode(std::move(owned), target, -1);
                    if (old_parent != nullptr && old_parent->Count() == 0)
                        RemoveEmptyGroupChain(old_parent);
                }
            }
            ResetSummaries();
            BindSummaryFields();
            std::int64_t count = 0;
            std::function<void(TgxTreeListNode*)> reset = [&](TgxTreeListNode* n) {
                auto* row = static_cast<TgxDBGridNode*>(n);
                if (!row->IsGroup)
                    return;
                row->Extra().Summary = 0;
                row->Extra().HasSummary = false;
                row->Extra().SummaryItems.clear();
                for (int i = 0; i < n->Count(); ++i)
                    reset(n->Items(i));
            };
            for (int i = 0; i < Count(); ++i)
                reset(Items(i));
            std::function<void(TgxTreeListNode*)> walk = [&](TgxTreeListNode* n) {
                auto* row = static_cast<TgxDBGridNode*>(n);
                if (!row->IsGroup) {
                    AccumulateRecord(row, false);
                    ++count;
                    return;
                }
                for (int i = 0; i < n->Count(); ++i)
                    walk(n->Items(i));
            };
            for (int i = 0; i < Count(); ++i)
                walk(Items(i));
            summary_record_count_ = count;
            FinishSummaries();
            SortGroupsBySummary();
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

std::string TCustomgxDBGrid::GetGroupSummaryText(const TgxDBGridNode* node) const {
    int level = node->Level();
    if (level < 0 || level >= GetGroupColumnCount())
        return {};
    TgxDBTreeListColumn* c = group_columns_[static_cast<std::size_t>(level)];
    std::string text;
    if (c->SummaryType() != cstNone) {
        db::TFieldType type = c->SummaryFieldObject() != nullptr
                                  ? c->SummaryFieldObject()->DataType()
                                  : db::ftUnknown;
        text = FormatSummaryText(c->SummaryType(), c->SummaryFormat(), type, false,
                                 node->Extra().Summary);
    }
    TgxDBGridSummaryGroup* group = c->SummaryGroup();
    if (group == nullptr || group->SummaryItems().Count() == 0)
        return text;
    std::string items = group->BeginSummaryText();
    const TgxDBGridSummaryItems& list = group->SummaryItems();
    for (std::int64_t i = 0; i < list.Count(); ++i) {
        const TgxDBGridSummaryItem* item = list.Items(i);
        if (!item->ColumnName().empty())
            continue;
        long double value = static_cast<std::size_t>(i) < node->Extra().SummaryItems.size()
                                ? node->Extra().SummaryItems[static_cast<std::size_t>(i)].value
                                : 0;
        db::TFieldType type =
            item->FieldObject() != nullptr ? item->FieldObject()->DataType() : db::ftUnknown;
        items += FormatSummaryText(item->SummaryType(), item->SummaryFormat(), type, false, value);
        if (i + 1 < list.Count())
            items += summary_separator_;
    }
    items += group->EndSummaryText();
    if (items.empty())
        return text;
    return text.empty() ? items : text + " " + items;
}

namespace {
const TgxDBGridSummaryItem* ItemForColumn(const TgxDBGridSummaryGroup* group,
                                          const std::string& column_name, std::int64_t& index) {
    if (group == nullptr)
        return nullptr;
    const TgxDBGridSummaryItems& list = group->SummaryItems();
    for (std::int64_t i = 0; i < list.Count(); ++i)
        if (!list.Items(i)->ColumnName().empty() &&
            db::SameName(list.Items(i)->ColumnName(), column_name)) {
            index = i;
            return list.Items(i);
        }
    return nullptr;
}
}  // namespace

bool TCustomgxDBGrid::IsExistRowFooter(int level) const {
    if (level < 0 || level >= GetGroupColumnCount())
        return false;
    TgxDBGridSummaryGroup* group = group_columns_[static_cast<std::size_t>(level)]->SummaryGroup();
    return group != nullptr && group->SummaryItems().Count() > 0;
}

bool TCustomgxDBGrid::IsExistRowFooterCell(const TgxTreeListNode*, int column, int level) const {
    if (level < 0 || level >= GetGroupColumnCount())
        return false;
    TgxDBTreeListColumn* c = GetColumn(column);
    std::int64_t index = -1;
    return c != nullptr &&
           ItemForColumn(group_columns_[static_cast<std::size_t>(level)]->SummaryGroup(), c->Name(),
                         index) != nullptr;
}

std::string TCustomgxDBGrid::GetRowFooterText(const TgxTreeListNode* node, int column,
                                              int level) const {
    if (node == nullptr || level < 0 || level >= GetGroupColumnCount())
        return {};
    TgxDBTreeListColumn* c = GetColumn(column);
    if (c == nullptr)
        return {};
    // The footer under a record row belongs to its ancestor at that level.
    const TgxTreeListNode* group = node;
    while (group != nullptr && group->Level() > level)
        group = group->Parent();
    if (group == nullptr)
        return {};
    std::int64_t index = -1;
    const TgxDBGridSummaryItem* item = ItemForColumn(
        group_columns_[static_cast<std::size_t>(level)]->SummaryGroup(), c->Name(), index);
    if (item == nullptr)
        return {};
    const auto* row = static_cast<const TgxDBGridNode*>(group);
    long double value = static_cast<std::size_t>(index) < row->Extra().SummaryItems.size()
                            ? row->Extra().SummaryItems[static_cast<std::size_t>(index)].value
                            : 0;
    db::TFieldType type =
        item->FieldObject() != nullptr ? item->FieldObject()->DataType() : db::ftUnknown;
    return FormatSummaryText(item->SummaryType(), item->SummaryFormat(), type, true, value);
}

bool TCustomgxDBGrid::IsExistFooterCell(int column) const {
    TgxDBTreeListColumn* c = GetColumn(column);
    if (c != nullptr && c->SummaryFooterType() != cstNone)
        return true;
    return TCustomgxDBTreeListControl::IsExistFooterCell(column);
}

std::string TCustomgxDBGrid::GetFooterText(int column) const {
    TgxDBTreeListColumn* c = GetColumn(column);
    return c != nullptr ? c->GetSummaryFooterText() : std::string();
}

}  // namespace grid
