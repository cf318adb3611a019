#include "grid/editors/default_columns.h"

#include "grid/editors/blob_edit.h"
#include "grid/editors/check_edit.h"
#include "grid/editors/date_edit.h"
#include "grid/editors/graphic_edit.h"
#include "grid/editors/memo_edit.h"
#include "grid/editors/pick_edit.h"
#include "grid/editors/spin_edit.h"

namespace grid {

namespace {
constexpr int kTypedEntries = 22;

TgxColumnClassEntry EntryFor(int type) {
    auto field_type = static_cast<db::TFieldType>(type);
    TgxDBColumnClass current = DefaultColumnClassFor(field_type);
    if (!current && type != 0)
        current = ColumnClassOf<TgxDBGridColumn>();
    return {current, DefaultColumnClassPriority(field_type)};
}
}  // namespace

void RegisterDefaultColumnClasses(const TgxColumnClassProc& proc) {
    for (int i = 0; i < kTypedEntries; ++i) {
        TgxColumnClassEntry entry = EntryFor(i);
        const int held = entry.priority;
        proc(i, 0, entry);
        if (entry.priority > held)
            RegisterDefaultColumnClass(static_cast<db::TFieldType>(i), entry.column_class,
                                       entry.priority);
    }
    TgxColumnClassEntry lookup{LookupColumnClass(), LookupColumnClassPriority()};
    if (!lookup.column_class)
        lookup.column_class = ColumnClassOf<TgxDBGridColumn>();
    const int held = lookup.priority;
    proc(0, 2, lookup);
    if (lookup.priority > held)
        RegisterLookupColumnClass(lookup.column_class, lookup.priority);
}

void DefaultGridColumnClassProc(int type, int kind, TgxColumnClassEntry& entry) {
    entry.priority = 1;
    if (kind == 2) {
        entry.column_class = ColumnClassOf<TgxDBGridLookupColumn>();
        return;
    }
    switch (static_cast<db::TFieldType>(type)) {
        case db::ftBoolean:
            entry.column_class = ColumnClassOf<TgxDBGridCheckColumn>();
            break;
        case db::ftCurrency:
            entry.column_class = ColumnClassOf<TgxDBGridCurrencyColumn>();
            break;
        case db::ftDate:
        case db::ftDateTime:
            entry.column_class = ColumnClassOf<TgxDBGridDateColumn>();
            break;
        case db::ftTime:
            entry.column_class = ColumnClassOf<TgxDBGridTimeColumn>();
            break;
        case db::ftMemo:
            entry.column_class = ColumnClassOf<TgxDBGridMemoColumn>();
            break;
        case db::ftGraphic:
            entry.column_class = ColumnClassOf<TgxDBGridGraphicColumn>();
            break;
        case db::ftBytes:
        case db::ftVarBytes:
        case db::ftBlob:
        case db::ftFmtMemo:
        case db::ftParadoxOle:
        case db::ftDBaseOle:
        case db::ftTypedBinary:
            entry.column_class = ColumnClassOf<TgxDBGridBlobColumn>();
            break;
        default:
            entry.column_class = ColumnClassOf<TgxDBGridMaskColumn>();
            break;
    }
}

void RegisterTypedColumns() {
    static const bool done = [] {
        DefaultValueChecked() = "True";
        DefaultValueUnchecked() = "False";
        RegisterDefaultColumnClasses(DefaultGridColumnClassProc);
        return true;
    }();
    (void)done;
}

}  // namespace grid
