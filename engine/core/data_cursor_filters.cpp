#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "engine/core/cursor_operation.h"
#include "engine/core/data_cursor.h"
#include "engine/core/filter.h"
#include "engine/core/index_tree.h"
#include "engine/core/mapped_records.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_parser.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/scramble.h"
#include "engine/storage/text_compare.h"

namespace strata {

namespace {

// Placing a record by its key costs a record read and two descents: some tens of index
// entries stepped over.
constexpr std::int64_t kEntriesPerKey = 64;

bool IsComparison(std::uint8_t code) {
    return code >= kOpEqual && code <= kOpLessEqual;
}

std::uint8_t Mirrored(std::uint8_t code) {
    switch (code) {
        case kOpGreater:
            return kOpLess;
        case kOpLess:
            return kOpGreater;
        case kOpGreaterEqual:
            return kOpLessEqual;
        case kOpLessEqual:
            return kOpGreaterEqual;
        default:
            return code;
    }
}

// Records checked straight from the data file are read this many bytes at a time.
constexpr std::size_t kScanReadBytes = 256 * 1024;

bool IsColumn(const TExpToken* node) {
    return node != nullptr && node->Kind == kTokenColumn && node->FieldNumber > 0;
}

bool IsValueConstant(const TExpToken* node) {
    return node != nullptr && node->Kind == kTokenConstant && !node->IsParameter;
}

// A pooled bitmap for one scope, sized and cleared.
class PooledBitmap {
  public:
    explicit PooledBitmap(std::int64_t records) : bitmap_(AcquireRecordsBitmap()) {
        bitmap_->SetRecordCount(records);
        bitmap_->ClearAll();
    }
    ~PooledBitmap() { ReleaseRecordsBitmap(bitmap_); }
    PooledBitmap(const PooledBitmap&) = delete;
    PooledBitmap& operator=(const PooledBitmap&) = delete;
    TRecordsBitmap& operator*() const { return *bitmap_; }
    TRecordsBitmap* operator->() const { return bitmap_.get(); }
    TRecordsBitmap* get() const { return bitmap_.get(); }

  private:
    std::unique_ptr<TRecordsBitmap> bitmap_;
};

// Swaps "constant op column" into "column op constant" with the operator
// mirrored, so classification and scans see one shape.
void Normalise(TExpToken& node) {
    if ((node.Kind == kTokenBinary || node.Kind == kTokenStringCompare) &&
        IsComparison(node.Code) && node.First && node.Second && node.First->Kind != kTokenColumn &&
        node.Second->Kind == kTokenColumn) {
        std::swap(node.First, node.Second);
        node.Code = Mirrored(node.Code);
    }
    if (node.First)
        Normalise(*node.First);
    if (node.Second && node.Kind != kTokenUnary)
        Normalise(*node.Second);
}

// The bits of `from` that are set, cleared in `into` (sizes already equal);
// whole words at a time through the complement.
void AndNot(TRecordsBitmap& into, const TRecordsBitmap& from) {
    PooledBitmap complement(from.RecordCount());
    complement->Assign(from);
    complement->Invert();
    into.AndWith(*complement);
}

}  // namespace

TFilter* TDataCursor::FindFilter(TFilter* filter) const {
    for (const auto& f : filters_) {
        if (f.get() == filter)
            return f.get();
    }
    return nullptr;
}

void TDataCursor::ReadColumn(const std::byte* record, TExpToken& column) {
    std::memset(column.Value(), 0, column.ValueCapacity());
    column.IsNull = true;
    if (column.FieldNumber == 0 || column.FieldNumber > fields_.size())
        return;
    const FieldDescriptor& field = fields_[column.FieldNumber - 1];
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(record),
                                              record_size_);
    if (FieldIsAutoInc(field)) {
        column.IsNull = false;
        std::memcpy(column.Value(), bytes.data() + 5, 4);
        return;
    }
    const std::size_t at = FieldOffset(field);
    if (bytes[at] == 0)
        return;
    if (FieldType(field) == kTypeBlob) {
        std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
        const auto n = static_cast<std::uint32_t>(FieldNumber(field));
        std::uint32_t size = 0;
        EngineErrorCode code = OpenBlob(n, copy, kBlobOpenRead);
        if (code == kErrNone)
            code = GetBlobSize(n, copy, size);
        if (code == kErrNone) {
            column.SetDataSize(size);
            std::uint32_t got = 0;
            code = ReadBlob(n, copy, got, size, reinterpret_cast<std::uint8_t*>(column.Value()), 0);
        }
        CloseBlob(n, copy);
        if (code != kErrNone)
            Raise(code, FieldName(field));
        column.IsNull = size == 0;
        return;
    }
    column.IsNull = false;
    const std::size_t size = FieldDataSize(field);
    if (column.ValueCapacity() < size)
        column.SetDataSize(static_cast<std::uint32_t>(size));
    std::memcpy(column.Value(), bytes.data() + at + 1, size);
}

TFilter* TDataCursor::InstallFilter(std::unique_ptr<TFilter> filter) {
    db::TFormatSettings format;
    LoadLocaleFormats(language_, sort_, format);
    filter->SetFormats(std::move(format));
    if (filter->Expression() != nullptr) {
        NodePlan plan = PlanNode(*filter->Expression(), false);
        filter->SetLevel(plan.level);
    }
    filters_.push_back(std::move(filter));
    return filters_.back().get();
}

TFilter* TDataCursor::AddFilter(std::string_view text, const FilterOptions& options,
                                FilterCallback callback) {
    CheckOpen();
    if (filters_.size() >= kMaxFilters)
        Raise(kErrTooManyFilters);
    if (text.empty()) {
        if (!callback)
            return nullptr;
        auto filter = std::make_unique<TFilter>(*this, ExpTokenPtr(), std::move(callback), options);
        filter->SetLevel(2);
        return InstallFilter(std::move(filter));
    }
    db::TFormatSettings format;
    LoadLocaleFormats(language_, sort_, format);
    TExpressionParser parser;
    parser.SetErrorCode(kErrFilter);
    parser.SetObjectName(BaseName());
    parser.SetContext("filter expression");
    parser.SetFormats(format);
    ExpTokenPtr tree = parser.ParseFilter(text, kParsePredicates);
    if (!tree)
        Raise(kErrFilter, {}, {}, "filter expression is empty");
    const ExpressionErrorInfo errors{kErrFilter, BaseName(), "filter expression"};
    CheckExpressionTypes(
        errors, true,
        [this](TExpToken& column) {
            for (std::size_t i = 0; i < fields_.size(); ++i) {
                const FieldDescriptor& f = fields_[i];
                if (UpperCaseLang(0, 0, FieldName(f)) != UpperCaseLang(0, 0, column.ColumnName))
                    continue;
                column.FieldNumber = static_cast<std::uint16_t>(i + 1);
                column.DataType = FieldType(f);
                column.SubType = FieldSubtype(f);
                column.DataSize = 0;
                column.SetDataSize(FieldType(f) == kTypeBlob ? 4 : FieldDataSize(f));
                column.Scale = FieldDecimals(f);
                column.TableName.clear();
                return true;
            }
            return false;
        },
        nullptr, *tree, format);
    if (tree->DataType != kTypeBoolean)
        Raise(kErrFilter, {}, {}, "filter expression must be a boolean expression");
    Normalise(*tree);
    ExpTokenPtr prepared = PrepareFilterTree(
        *tree, [this](const std::byte* record, TExpToken& column) { ReadColumn(record, column); },
        options.no_partial_compare, options.case_insensitive, sort_, language_, &format);
    Normalise(*prepared);
    return InstallFilter(
        std::make_unique<TFilter>(*this, std::move(prepared), std::move(callback), options));
}

TFilter* TDataCursor::AddFilter(ExpTokenPtr tree, const FilterOptions& options) {
    CheckOpen();
    if (filters_.size() >= kMaxFilters)
        Raise(kErrTooManyFilters);
    if (!tree)
        return nullptr;
    Normalise(*tree);
    return InstallFilter(
        std::make_unique<TFilter>(*this, std::move(tree), FilterCallback{}, options));
}

void TDataCursor::DropFilter(TFilter* filter) {
    CheckOpen();
    if (filter == nullptr) {
        filters_.clear();
    } else {
        const auto it = std::find_if(filters_.begin(), filters_.end(),
                                     [&](const auto& f) { return f.get() == filter; });
        if (it == filters_.end())
            Raise(kErrInvalidFilterHandle);
        filters_.erase(it);
    }
    ShowFilteredView();
}

void TDataCursor::ShowFilteredView() {
    CursorOperation::Run(*this, [&] {
        UpdateBitmapsInUse();
        Resync();
        Reposition();
    });
}

std::vector<TFilter*> TDataCursor::SetFiltersActive(TFilter* filter) {
    std::vector<TFilter*> activated;
    for (const auto& f : filters_) {
        if ((filter == nullptr || f.get() == filter) && !f->Active()) {
            f->SetActive(true);
            activated.push_back(f.get());
        }
    }
    return activated;
}

void TDataCursor::UndoActivation(const std::vector<TFilter*>& activated) noexcept {
    // A filter whose evaluation failed (a callback that threw, a blob that could not be read)
    // would show a view built part way: the cursor goes back to the filters it had.
    for (TFilter* f : activated)
        f->SetActive(false);
    try {
        ShowFilteredView();
    } catch (...) {
    }
}

void TDataCursor::ActivateFilter(TFilter* filter) {
    CheckOpen();
    if (filter != nullptr && FindFilter(filter) == nullptr)
        Raise(kErrInvalidFilterHandle);
    const std::vector<TFilter*> activated = SetFiltersActive(filter);
    try {
        ShowFilteredView();
    } catch (...) {
        UndoActivation(activated);
        throw;
    }
}

EngineErrorCode TDataCursor::ActivateAndReadFirst(TFilter* filter, RecordBuffer buffer) {
    CheckOpen();
    if (filter == nullptr || FindFilter(filter) == nullptr)
        Raise(kErrInvalidFilterHandle);
    const std::vector<TFilter*> activated = SetFiltersActive(filter);
    try {
        return CursorOperation::Run(*this, [&]() -> EngineErrorCode {
            UpdateBitmapsInUse();
            Resync();
            if (!StepToFirstVisible()) {
                SetNoRecord();
                ClearRecordBuffer(buffer);
                return kErrEndOfFile;
            }
            return ReadCurrentInto(buffer);
        });
    } catch (...) {
        UndoActivation(activated);
        throw;
    }
}

bool TDataCursor::StepToFirstVisible() {
    ForgetVanishedPlace();
    bof_ = true;
    eof_ = false;
    if (physical_ || !bitmaps_in_use_)
        return StepOnce(true);
    const int slot = CurrentSlot();
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    RangeBounds(low, high);
    // The count was taken as the view was combined; an empty view has nothing to walk to.
    if (view_count_ <= 0)
        return false;
    // A view denser than a key's cost finds its first record soon enough by the walk.
    if (view_count_ * kEntriesPerKey >= static_cast<std::int64_t>(high - low))
        return StepOnce(true);
    // No visible record's entry lies before the lowest ordinal of their keys; the walk
    // from there passes only the entries that share that key.
    std::vector<std::uint8_t> bytes;
    std::uint64_t start = high;
    std::int64_t r = 0;
    std::int64_t position = 0;
    while (view_.FindNext(r, 1, position)) {
        const std::optional<std::uint64_t> ordinal =
            OrdinalOfRecord(slot, static_cast<std::uint32_t>(r), bytes);
        // A record not where its key puts it: the walk from the start decides.
        if (!ordinal)
            return StepOnce(true);
        start = std::min(start, *ordinal);
    }
    start = std::max(start, low);
    std::vector<std::uint8_t> key;
    std::uint32_t found = 0;
    const bool stopped =
        start < high &&
        WalkEntries(slot, start, true, [&](std::uint64_t at, auto k, std::uint32_t n) {
            if (at >= high)
                return true;
            if (!Visible(n))
                return false;
            key.assign(k.begin(), k.end());
            found = n;
            return true;
        });
    if (!stopped || key.empty()) {
        bof_ = true;
        eof_ = false;
        return StepOnce(true);
    }
    PositionOnEntry(key, found);
    return true;
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
    CheckOpen();
    if (filter != nullptr && FindFilter(filter) == nullptr)
        Raise(kErrInvalidFilterHandle);
    for (const auto& f : filters_) {
        if (filter == nullptr || f.get() == filter)
            f->SetActive(false);
    }
    ShowFilteredView();
}

void TDataCursor::SetFilterExpression(ExpTokenPtr tree, TFilter* filter) {
    CheckOpen();
    if (!tree)
        return;
    TFilter* found = FindFilter(filter);
    if (found == nullptr || !found->Active())
        Raise(kErrInvalidFilterHandle);
    Normalise(*tree);
    const std::uint8_t old_level = found->Level();
    ExpTokenPtr old = found->SetExpression(std::move(tree));
    try {
        found->SetLevel(PlanNode(*found->Expression(), false).level);
        CursorOperation::Run(*this, [&] {
            Resync();
            Reposition();
        });
    } catch (...) {
        // The view goes back to the expression that could be evaluated.
        found->SetExpression(std::move(old));
        found->SetLevel(old_level);
        try {
            CursorOperation::Run(*this, [&] {
                Resync();
                Reposition();
            });
        } catch (...) {
        }
        throw;
    }
}

void TDataCursor::UpdateBitmapsInUse() {
    ++view_edits_;
    bitmaps_in_use_ = physical_ || std::any_of(filters_.begin(), filters_.end(),
                                               [](const auto& f) { return f->Active(); });
    if (!bitmaps_in_use_) {
        for (TRecordsBitmap* bitmap : {&view_, &range_bitmap_, &live_})
            bitmap->SetRecordCount(0);
        view_count_ = 0;
    }
}

int TDataCursor::IndexForColumn(std::uint16_t field, int case_rule) const {
    if (field == 0 || field > fields_.size() || table_ == nullptr)
        return -1;
    // Under a layout installed over the table a field's number is its position; the indexes
    // name the table's own fields, found by where the field lies in the record.
    const FieldDescriptor& f = fields_[field - 1];
    const TDataFile& data = table_->DataFile();
    std::uint16_t number = FieldNumber(f);
    if (number == 0 || number > data.GetFieldCount() ||
        !SameStoredField(data.GetFieldDescriptor(number), f)) {
        number = 0;
        for (std::uint32_t n = 1; n <= data.GetFieldCount() && number == 0; ++n) {
            if (SameStoredField(data.GetFieldDescriptor(n), f))
                number = static_cast<std::uint16_t>(n);
        }
        if (number == 0)
            return -1;
    }
    TIndexFile& file = table_->IndexFile();
    for (int slot = 0; slot <= file.GetIndexCount(); ++slot) {
        if (slot == 0 && HasNoPrimaryIndex())
            continue;
        const IndexDescriptor d = file.GetIndexDescriptor(slot);
        if (IndexFieldCount(d) == 0 || IndexFieldNumber(d, 0) != number)
            continue;
        const bool ci = d[ixd::kCaseInsensitive] != 0;
        if (case_rule == 0 || (case_rule == 1) == ci)
            return slot;
    }
    return -1;
}

bool TDataCursor::ConstantFits(const TExpToken& column, const TExpToken& constant) const {
    if (!IsValueConstant(&constant) || constant.IsNull || constant.DataType != column.DataType)
        return false;
    const FieldDescriptor& field = fields_[column.FieldNumber - 1];
    if (FieldType(field) == kTypeBlob)
        return false;
    if (FieldType(field) == kTypeString)
        return constant.ValueText().size() + 1 <= FieldDataSize(field);
    return true;
}

TDataCursor::NodePlan TDataCursor::PlanNode(TExpToken& node, bool estimate) {
    NodePlan plan;
    if (computed_fields_ && !physical_order_option_)
        return plan;
    const auto column_plan = [&](const TExpToken* column, int case_rule) {
        NodePlan p;
        if (!IsColumn(column) || column->FieldNumber > fields_.size())
            return p;
        const FieldDescriptor& field = fields_[column->FieldNumber - 1];
        // Under a language, string keys collate by the locale; only byte
        // order is sure to agree with the evaluator's string comparisons.
        if (FieldType(field) == kTypeString && language_ != 0 && case_rule != 0)
            return p;
        p.slot =
            IndexForColumn(column->FieldNumber, FieldType(field) == kTypeString ? case_rule : 0);
        if (p.slot >= 0)
            p.level = 0;
        return p;
    };
    const bool string_compare = node.Kind == kTokenStringCompare;
    if ((node.Kind == kTokenBinary || string_compare) && IsComparison(node.Code)) {
        const TExpToken* column = node.First.get();
        const TExpToken* constant = node.Second.get();
        if (IsColumn(column) && IsValueConstant(constant) && constant->IsNull &&
            (node.Code == kOpEqual || node.Code == kOpNotEqual) && !string_compare) {
            plan = column_plan(column, 0);
        } else if (IsColumn(column) && constant != nullptr && ConstantFits(*column, *constant)) {
            const bool no_case = string_compare && node.NoCase;
            const bool partial = string_compare && node.PartialLength > 0;
            if (partial &&
                (language_ != 0 ||
                 node.PartialLength + 1u > FieldDataSize(fields_[column->FieldNumber - 1]))) {
                return plan;
            }
            if (string_compare && !IsComparison(node.Code))
                return plan;
            plan = column_plan(column, no_case ? 1 : 2);
            // Values equal with case are equal without it, so a case-insensitive index
            // narrows the records a case-sensitive equality evaluates (under byte order
            // only, as above). The level stays: the records are still evaluated one by one.
            if (plan.slot < 0 && !no_case && node.Code == kOpEqual && language_ == 0 &&
                FieldType(fields_[column->FieldNumber - 1]) == kTypeString) {
                plan.slot = IndexForColumn(column->FieldNumber, 1);
                plan.superset = plan.slot >= 0;
            }
        }
    } else if (node.Kind == kTokenUnary && (node.Code == kOpIsNull || node.Code == kOpIsNotNull)) {
        plan = column_plan(node.First.get(), 0);
    } else if (node.Kind == kTokenUnary && node.Code == kOpNot && node.First) {
        plan.level = PlanNode(*node.First, estimate).level;
        return plan;
    } else if (node.Kind == kTokenExtended &&
               (node.Code == kOpBetween || node.Code == kOpNotBetween)) {
        const TExpToken* column = node.First.get();
        const TExpToken* lower = node.Second.get();
        const TExpToken* upper = lower != nullptr ? lower->Second.get() : nullptr;
        if (IsColumn(column) && lower != nullptr && upper != nullptr &&
            ConstantFits(*column, *lower) && ConstantFits(*column, *upper)) {
            plan = column_plan(column, 2);
        }
    } else if (node.Kind == kTokenExtended &&
               (node.Code == kOpInList || node.Code == kOpNotInList)) {
        const TExpToken* column = node.First.get();
        bool all = IsColumn(column) && node.Second;
        for (const TExpToken* e = node.Second.get(); all && e != nullptr; e = e->Second.get())
            all = ConstantFits(*column, *e);
        if (all)
            plan = column_plan(column, 2);
    } else if (node.Kind == kTokenBinary && (node.Code == kOpAnd || node.Code == kOpOr) &&
               node.First && node.Second) {
        const NodePlan first = PlanNode(*node.First, estimate);
        const NodePlan second = PlanNode(*node.Second, estimate);
        const std::uint8_t a = first.level;
        const std::uint8_t b = second.level;
        if (node.Code == kOpOr) {
            plan.level = (a == 0 && b == 0) ? 0 : 2;
        } else {
            plan.level = (a == 0 && b == 0) ? 0 : ((a == 2 && b == 2) ? 2 : 1);
            plan.superset = plan.level == 2 && (first.superset || second.superset);
            if (b < a || (plan.superset && !first.superset))
                std::swap(node.First, node.Second);
        }
        return plan;
    }
    if (plan.level == 0 && estimate && node.Parent != nullptr) {
        const std::uint64_t count = LeafCount(node, plan.slot);
        if (count * 10 > std::uint64_t{table_->IndexFile().GetRecordCount()} * 9)
            plan.level = 2;
    }
    return plan;
}

std::uint8_t TDataCursor::ClassifyFilterNode(TExpToken& node, std::uint8_t parent_operator,
                                             bool estimate) {
    CheckOpen();
    (void)parent_operator;
    return PlanNode(node, estimate).level;
}

bool TDataCursor::FilterNodeUsesIndex(TExpToken& node, bool estimate) {
    CheckOpen();
    const NodePlan plan = PlanNode(node, estimate);
    return plan.level <= 1 || plan.superset;
}

// Index scans
//
// A leaf's records come from ordinal intervals of its index: the keys whose
// first segment equals a value lie in one interval, the null keys in
// another, and the rest splits into the intervals below and above; which of
// those is "less" depends on the segment's direction. Working in ordinals
// keeps descending segments and both key encodings in one place.

void TDataCursor::ScanOrdinals(int slot, std::uint64_t first, std::uint64_t end,
                               TRecordsBitmap& bitmap) {
    if (first >= end)
        return;
    MarkRecordsUpTo(table_->IndexFile(), slot, first, end, bitmap);
}

// Sets the record of every key from ordinal `first` up to (not including)
// ordinal `end`, walking the leaves directly.
void TDataCursor::MarkRecordsUpTo(TIndexFile& file, int slot, std::uint64_t first,
                                  std::uint64_t end, TRecordsBitmap& bitmap) {
    TIndexTree::WalkRecords(file, slot, first, end,
                            [&](std::uint32_t record) { bitmap.SetBit(record); });
}

TDataCursor::KeyIntervals TDataCursor::NullIntervals(int slot) {
    KeyIntervals k;
    const FieldDescriptor& first = index_state_.fields.front();
    k.descending = (first[fd::kDescending] != 0) != index_state_.descending;
    std::vector<std::uint8_t> probe(table_->DataFile().GetRecordSize(), 0);
    std::vector<std::uint8_t> low = BuildKeyFor(slot, probe);
    std::vector<std::uint8_t> high = low;
    const std::size_t segment = FieldDataSize(first) + 1u;
    FillKeyTail(low, segment, false);
    FillKeyTail(high, segment, true);
    k.total = KeyCountOf(slot);
    if (FieldIsAutoInc(first)) {
        k.null_first = k.null_end = 0;
    } else {
        k.null_first = KeysBelow(slot, low);
        k.null_end = KeysNotAbove(slot, high);
    }
    if (k.null_first == 0) {
        k.nonnull_first = k.null_end;
        k.nonnull_end = k.total;
    } else {
        k.nonnull_first = 0;
        k.nonnull_end = k.null_first;
    }
    return k;
}

std::pair<std::uint64_t, std::uint64_t> TDataCursor::EqualInterval(int slot,
                                                                   const TExpToken& column,
                                                                   const TExpToken& constant,
                                                                   std::size_t partial) {
    const FieldDescriptor& field = fields_[column.FieldNumber - 1];
    std::vector<std::uint8_t> probe(table_->DataFile().GetRecordSize(), 0);
    const std::size_t size = FieldDataSize(field);
    if (FieldIsAutoInc(field)) {
        std::memcpy(probe.data() + 5, constant.Value(), 4);
    } else {
        const std::size_t at = FieldOffset(field);
        probe[at] = 1;
        if (FieldType(field) == kTypeString) {
            const std::string_view text = constant.ValueText();
            std::memcpy(probe.data() + at + 1, text.data(), std::min(text.size(), size - 1));
        } else {
            std::memcpy(probe.data() + at + 1, constant.Value(), size);
        }
    }
    std::vector<std::uint8_t> low = BuildKeyFor(slot, probe);
    std::vector<std::uint8_t> high = low;
    const std::size_t compared = partial > 0 ? 1 + partial : size + 1;
    FillKeyTail(low, compared, false);
    FillKeyTail(high, compared, true);
    return {KeysBelow(slot, low), KeysNotAbove(slot, high)};
}

std::uint64_t TDataCursor::LeafCount(TExpToken& node, int slot) {
    const std::int64_t records = table_->DataFile().GetRecordSlots();
    PooledBitmap yes(records);
    PooledBitmap no(records);
    PooledBitmap all(records);
    all->SetAll();
    ScanLeaf(node, slot, *all, *yes, *no);
    return static_cast<std::uint64_t>(yes->CountSet());
}

void TDataCursor::ScanLeaf(TExpToken& node, int slot, const TRecordsBitmap& candidates,
                           TRecordsBitmap& yes, TRecordsBitmap& no) {
    // Only the key helpers need the scanned index; going through SelectIndex
    // would discard the view bitmaps of a physical cursor without filters, and
    // switching back would leave it showing an empty view.
    const std::uint8_t saved = index_;
    SelectIndexState(static_cast<std::uint8_t>(slot));
    struct Restore {
        TDataCursor& cursor;
        std::uint8_t index;
        ~Restore() {
            try {
                cursor.SelectIndexState(index);
            } catch (...) {
            }
        }
    } restore{*this, saved};
    const KeyIntervals k = NullIntervals(slot);
    const TExpToken& column = *node.First;
    // [a, b) intervals of the records that answer true.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> truth;
    bool null_test = false;
    bool null_wanted = false;
    const auto less_than = [&](std::uint64_t eq_first, std::uint64_t eq_end, bool inclusive) {
        if (!k.descending)
            truth.emplace_back(k.nonnull_first, inclusive ? eq_end : eq_first);
        else
            truth.emplace_back(inclusive ? eq_first : eq_end, k.nonnull_end);
    };
    const auto greater_than = [&](std::uint64_t eq_first, std::uint64_t eq_end, bool inclusive) {
        if (!k.descending)
            truth.emplace_back(inclusive ? eq_first : eq_end, k.nonnull_end);
        else
            truth.emplace_back(k.nonnull_first, inclusive ? eq_end : eq_first);
    };
    bool negate = false;
    if (node.Kind == kTokenUnary) {
        null_test = true;
        null_wanted = node.Code == kOpIsNull;
    } else if (node.Kind == kTokenExtended &&
               (node.Code == kOpBetween || node.Code == kOpNotBetween)) {
        const auto lower = EqualInterval(slot, column, *node.Second, 0);
        const auto upper = EqualInterval(slot, column, *node.Second->Second, 0);
        if (!k.descending)
            truth.emplace_back(lower.first, upper.second);
        else
            truth.emplace_back(upper.first, lower.second);
        negate = node.Code == kOpNotBetween;
    } else if (node.Kind == kTokenExtended) {
        for (const TExpToken* e = node.Second.get(); e != nullptr; e = e->Second.get())
            truth.push_back(EqualInterval(slot, column, *e, 0));
        negate = node.Code == kOpNotInList;
    } else if (node.Second->IsNull) {
        null_test = true;
        null_wanted = node.Code == kOpEqual;
    } else {
        const std::size_t partial =
            node.Kind == kTokenStringCompare ? node.PartialLength : std::size_t{0};
        const auto eq = EqualInterval(slot, column, *node.Second, partial);
        switch (node.Code) {
            case kOpEqual:
                truth.push_back(eq);
                break;
            case kOpNotEqual:
                truth.push_back(eq);
                negate = true;
                break;
            case kOpLess:
                less_than(eq.first, eq.second, false);
                break;
            case kOpLessEqual:
                less_than(eq.first, eq.second, true);
                break;
            case kOpGreater:
                greater_than(eq.first, eq.second, false);
                break;
            case kOpGreaterEqual:
                greater_than(eq.first, eq.second, true);
                break;
            default:
                break;
        }
    }
    yes.ClearAll();
    no.ClearAll();
    // The evaluator's logic has two values: a comparison with a null is
    // false (so "<>" and the negated forms take the nulls), and NOT is the
    // complement. Ordering comparisons never take a null.
    TRecordsBitmap& matched = negate ? no : yes;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    if (null_test) {
        if (null_wanted)
            spans.emplace_back(k.null_first, k.null_end);
        else
            spans.emplace_back(k.nonnull_first, k.nonnull_end);
    } else {
        for (auto [a, b] : truth)
            spans.emplace_back(std::max(a, k.nonnull_first), std::min(b, k.nonnull_end));
    }
    std::uint64_t entries = 0;
    for (const auto& [a, b] : spans)
        entries += a < b ? b - a : 0;
    // Few candidates against a long interval (the second operand of an AND whose first found
    // few records) are placed by their keys rather than by walking every entry in it.
    const bool long_spans = entries > static_cast<std::uint64_t>(kEntriesPerKey);
    if (!long_spans ||
        static_cast<std::uint64_t>(candidates.CountSet() * kEntriesPerKey) >= entries ||
        !MarkCandidatesIn(slot, spans, candidates, matched)) {
        for (const auto& [a, b] : spans)
            ScanOrdinals(slot, a, b, matched);
    }
    // Every live record is in the index, so the candidates stand for "all".
    TRecordsBitmap& rest = negate ? yes : no;
    rest.Assign(candidates);
    AndNot(rest, matched);
}

std::optional<std::uint64_t> TDataCursor::OrdinalOfRecord(int slot, std::uint32_t record,
                                                          std::vector<std::uint8_t>& bytes) {
    TDataFile& data = table_->DataFile();
    if (record == 0 || record > data.GetRecordSlots())
        return std::nullopt;
    bytes.resize(data.GetRecordSize());
    data.CopyRecord(record, bytes);
    const std::uint64_t ordinal = KeysBelow(slot, BuildKeyFor(slot, bytes));
    if (ordinal >= KeyCountOf(slot))
        return std::nullopt;
    bool same = false;
    WalkEntries(slot, ordinal, true, [&](std::uint64_t, auto, std::uint32_t n) {
        same = n == record;
        return true;
    });
    if (!same)
        return std::nullopt;
    return ordinal;
}

bool TDataCursor::MarkCandidatesIn(
    int slot, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans,
    const TRecordsBitmap& candidates, TRecordsBitmap& bitmap) {
    std::vector<std::uint32_t> inside;
    std::vector<std::uint8_t> bytes;
    std::int64_t r = 0;
    std::int64_t position = 0;
    while (candidates.FindNext(r, 1, position)) {
        const auto record = static_cast<std::uint32_t>(r);
        const std::optional<std::uint64_t> ordinal = OrdinalOfRecord(slot, record, bytes);
        if (!ordinal)
            return false;
        for (const auto& [a, b] : spans) {
            if (*ordinal >= a && *ordinal < b) {
                inside.push_back(record);
                break;
            }
        }
    }
    for (const std::uint32_t record : inside)
        bitmap.SetBit(record);
    return true;
}

std::optional<TDataCursor::TextEquality> TDataCursor::PlainTextEquality(
    const TExpToken& node) const {
    // Without a language the evaluator compares such texts byte by byte (a prefix as its first
    // bytes), null answering neither way.
    if (language_ != 0 || has_computed_ || computed_fields_ ||
        (node.Kind != kTokenBinary && node.Kind != kTokenStringCompare) || node.Code != kOpEqual ||
        (node.Kind == kTokenStringCompare && node.NoCase) ||
        (node.Kind != kTokenStringCompare && node.PartialLength != 0) ||
        !IsColumn(node.First.get()) || !IsValueConstant(node.Second.get()) || node.Second->IsNull ||
        node.Second->DataType != kTypeString || node.First->FieldNumber > fields_.size()) {
        return std::nullopt;
    }
    const FieldDescriptor& field = fields_[node.First->FieldNumber - 1];
    if (FieldType(field) != kTypeString || FieldIsAutoInc(field) ||
        static_cast<std::size_t>(FieldOffset(field)) + 1 + FieldDataSize(field) > record_size_) {
        return std::nullopt;
    }
    TextEquality test{&field, node.Second->ValueText(), node.PartialLength};
    test.text = test.text.substr(0, test.text.find('\0'));
    if (test.partial > 0)
        test.text = test.text.substr(0, test.partial);
    return test;
}

std::optional<bool> TDataCursor::TextEqualityHolds(const TextEquality& test,
                                                   ConstRecordBuffer record) {
    const std::size_t at = FieldOffset(*test.field);
    const std::size_t size = FieldDataSize(*test.field);
    if (at + 1 + size > record.size() || record[at] == 0)
        return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(record.data() + at + 1);
    std::string_view value(text, strnlen(text, size));
    if (test.partial > 0)
        value = value.substr(0, test.partial);
    return value == test.text;
}

namespace {

// Whether, without a language, UPPER and LOWER change case as a case-insensitive key and a
// comparison without regard to case do: every character's upper case is its own upper case and
// that of its lower case. Then UPPER(c) or LOWER(c) equal to a text means c equals it without
// regard to case.
bool CaseFunctionsAgreeWithKeys() {
    static const bool agree = [] {
        for (int c = 1; c < 256; ++c) {
            const std::string one(1, static_cast<char>(c));
            const std::string upper = UpperCaseLang(0, 0, one);
            std::array<std::uint8_t, 1> key{static_cast<std::uint8_t>(c)};
            UpperCaseLangInPlace(0, 0, key);
            if (upper.size() != 1 || UpperCaseLang(0, 0, upper) != upper ||
                UpperCaseLang(0, 0, LowerCaseLang(0, 0, one)) != upper ||
                key[0] != static_cast<std::uint8_t>(upper[0]) ||
                CompareStrings(0, 0, one, true, 0, upper) != 0) {
                return false;
            }
        }
        return true;
    }();
    return agree;
}

// The column under UPPER or LOWER on the left of an equality (or prefix comparison) with case.
const TExpToken* CaseFunctionColumn(const TExpToken& tree) {
    const TExpToken* function = tree.First.get();
    if ((tree.Kind != kTokenBinary && tree.Kind != kTokenStringCompare) || tree.NoCase ||
        tree.Code != kOpEqual || function == nullptr || function->Kind != kTokenFunction ||
        (function->Code != kOpUpper && function->Code != kOpLower) ||
        !IsColumn(function->First.get()) || !CaseFunctionsAgreeWithKeys()) {
        return nullptr;
    }
    return function->First.get();
}

}  // namespace

ExpTokenPtr TDataCursor::CaseInsensitiveSuperset(const TExpToken& tree) {
    CheckOpen();
    const TExpToken* cased = language_ == 0 ? CaseFunctionColumn(tree) : nullptr;
    ExpTokenPtr exact = CopyTokenTree(&tree);
    if (cased != nullptr) {
        exact->First = CopyTokenTree(cased);
        exact->First->Parent = exact.get();
    }
    if (!PlainTextEquality(*exact))
        return nullptr;
    // Under UPPER or LOWER no index answers the comparison with case: any that ignores case
    // narrows it.
    if (cased == nullptr && !PlanNode(*exact, false).superset)
        return nullptr;
    ExpTokenPtr wider = std::move(exact);
    wider->Kind = kTokenStringCompare;
    wider->NoCase = true;
    if (PlanNode(*wider, true).level != 0)
        return nullptr;
    return wider;
}

std::function<bool(ConstRecordBuffer)> TDataCursor::RecordMatcher(
    const TExpToken& tree, const db::TFormatSettings& format) {
    if (const std::optional<TextEquality> test = PlainTextEquality(tree)) {
        return [test = *test](ConstRecordBuffer record) {
            return TextEqualityHolds(test, record).value_or(false);
        };
    }
    return [this, &tree, &format](ConstRecordBuffer record) {
        return EvaluateNode(tree, record, format).value_or(false);
    };
}

std::optional<bool> TDataCursor::EvaluateNode(const TExpToken& node, ConstRecordBuffer record,
                                              const db::TFormatSettings& format) {
    ExpTokenPtr value = EvaluateExpression(
        node, reinterpret_cast<const std::byte*>(record.data()), sort_, language_,
        [this](const std::byte* r, TExpToken& column) { ReadColumn(r, column); }, &format);
    if (!value || value->IsNull)
        return std::nullopt;
    return LoadUInt16(value->Value()) != 0;
}

bool TDataCursor::RecordPasses(TFilter& filter, ConstRecordBuffer record, std::uint32_t number) {
    if (filter.IsCallback())
        return filter.Callback() && filter.Callback()(record, number);
    return EvaluateNode(*filter.Expression(), record, filter.Formats()).value_or(false);
}

void TDataCursor::EvaluateRecords(const TExpToken* node, const TFilter* callback_filter,
                                  const db::TFormatSettings& format,
                                  const TRecordsBitmap& candidates, TRecordsBitmap& yes,
                                  TRecordsBitmap* no) {
    std::vector<std::uint8_t> record;
    const std::optional<TextEquality> text_test =
        node != nullptr && callback_filter == nullptr ? PlainTextEquality(*node) : std::nullopt;
    const auto check = [&](std::int64_t r) {
        const auto number = static_cast<std::uint32_t>(r);
        record.resize(std::max<std::size_t>(record.size(), record_size_));
        // Conditions on computed fields see the values a read would give.
        EvaluateComputedFields(record);
        std::optional<bool> result;
        if (text_test)
            result = TextEqualityHolds(*text_test, record);
        else if (callback_filter != nullptr)
            result = callback_filter->Callback() && callback_filter->Callback()(record, number);
        else
            result = EvaluateNode(*node, record, format);
        if (result.has_value() && *result)
            yes.SetBit(r);
        else if (no != nullptr && result.has_value())
            no->SetBit(r);
    };
    TDataFile& data = table_->DataFile();
    std::int64_t r = 0;
    std::int64_t position = 0;
    const bool dense = candidates.CountSet() * 32 >= candidates.RecordCount();
    if (dense && !table_->InUpdateBatch()) {
        data.FlushRecords();
        // Candidates close together are checked straight from the file in large reads: the
        // record cache would take every neighbour in for nothing. With the changed records
        // written first the file holds what the cache would give (outside a batch only, where
        // a flush may write).
        const std::size_t size = data.GetRecordSize();
        const std::uint32_t slots = data.GetRecordSlots();
        const std::uint32_t per_read =
            std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kScanReadBytes / size));
        const bool encrypted = data.GetEncrypted();
        // Where the file maps, only the candidates' bytes are touched, not every byte between.
        MappedRecords mapped(data);
        std::optional<KeptWorkBuffer> chunk;
        bool more = candidates.FindNext(r, 1, position);
        while (more && r <= std::int64_t{slots}) {
            const auto first = static_cast<std::uint32_t>(r);
            const std::uint32_t count = std::min(per_read, slots - first + 1);
            // Read past the caches: a miss for each record in it.
            if (RecheckTableChanged())
                throw TableChangedUnder();
            const std::uint8_t* images = nullptr;
            {
                const TFileHandler::FileObjectLock lock(data);
                images = mapped.Find(first, first + count - 1);
                if (images == nullptr) {
                    if (!chunk)
                        chunk.emplace(std::size_t{per_read} * size);
                    data.SeekFile(data.RecordOffset(first), SeekOrigin::kBegin);
                    data.Read(chunk->data(), std::size_t{count} * size);
                    images = chunk->data();
                }
            }
            const std::int64_t end = std::int64_t{first} + count;
            for (; more && r < end; more = candidates.FindNext(r, 1, position)) {
                const std::size_t at = static_cast<std::size_t>(r - first) * size;
                if (chunk && images == chunk->data() && encrypted)
                    UnscrambleBuffer(std::span(chunk->data() + at, size), kTableDataKeyLow,
                                     kTableDataKeyHigh);
                const std::span<const std::uint8_t> image(images + at, size);
                if (image[0] != 0)
                    continue;
                record.assign(image.begin(), image.end());
                // The active number a cached copy carries.
                if (size >= kRecordHeaderSize)
                    PutU32(record, 1, static_cast<std::uint32_t>(r));
                check(r);
            }
        }
        return;
    }
    // Candidates close together share the file's read buffers: one read brings the
    // neighbours, where a read per record would cost a call to the system each.
    const auto read = [&](std::uint32_t number) {
        if (number == 0 || number > data.GetRecordSlots())
            return false;
        TRecord* stored = nullptr;
        if (!data.GetRecord(this, number, true, false, dense, stored))
            throw TableChangedUnder();
        if (stored == nullptr)
            return false;
        const auto bytes = stored->Buffer();
        record.assign(bytes.begin(), bytes.end());
        data.ReleaseRecord(stored);
        return true;
    };
    while (candidates.FindNext(r, 1, position)) {
        const auto number = static_cast<std::uint32_t>(r);
        if (!read(number) || record[0] != 0)
            continue;
        check(r);
    }
}

void TDataCursor::BuildSets(TExpToken& node, const db::TFormatSettings& format,
                            const TRecordsBitmap& candidates, TRecordsBitmap& yes,
                            TRecordsBitmap* no) {
    const std::int64_t records = candidates.RecordCount();
    yes.SetRecordCount(records);
    yes.ClearAll();
    if (no != nullptr) {
        no->SetRecordCount(records);
        no->ClearAll();
    }
    if (records == 0)
        return;
    const NodePlan plan = PlanNode(node, false);
    if (plan.level == 2 && !plan.superset) {
        EvaluateRecords(&node, nullptr, format, candidates, yes, no);
        return;
    }
    if (node.Kind == kTokenUnary && node.Code == kOpNot) {
        PooledBitmap other(records);
        BuildSets(*node.First, format, candidates, *other, &yes);
        if (no != nullptr)
            no->Assign(*other);
        return;
    }
    if (node.Kind == kTokenBinary && (node.Code == kOpAnd || node.Code == kOpOr)) {
        PooledBitmap first_yes(records);
        PooledBitmap first_no(records);
        const bool need_no = no != nullptr || node.Code == kOpOr;
        BuildSets(*node.First, format, candidates, *first_yes, need_no ? first_no.get() : nullptr);
        PooledBitmap second_candidates(records);
        second_candidates->Assign(candidates);
        if (node.Code == kOpAnd && no == nullptr) {
            // Only the records that passed the first operand are visited.
            second_candidates->AndWith(*first_yes);
        } else if (node.Code == kOpOr && no == nullptr) {
            AndNot(*second_candidates, *first_yes);
        }
        PooledBitmap second_no(records);
        BuildSets(*node.Second, format, *second_candidates, yes,
                  need_no ? second_no.get() : nullptr);
        if (node.Code == kOpAnd) {
            yes.AndWith(*first_yes);
            if (no != nullptr) {
                no->Assign(*first_no);
                no->OrWith(*second_no);
            }
        } else {
            yes.OrWith(*first_yes);
            if (no != nullptr) {
                no->Assign(*first_no);
                no->AndWith(*second_no);
            }
        }
        return;
    }
    PooledBitmap scan_no(records);
    if (plan.superset) {
        PooledBitmap wider(records);
        ScanLeaf(node, plan.slot, candidates, *wider, *scan_no);
        wider->AndWith(candidates);
        PooledBitmap checked_no(records);
        EvaluateRecords(&node, nullptr, format, *wider, yes,
                        no != nullptr ? checked_no.get() : nullptr);
        if (no != nullptr) {
            // Outside the wider set nothing is equal, nulls included.
            no->Assign(candidates);
            AndNot(*no, *wider);
            no->OrWith(*checked_no);
        }
        return;
    }
    ScanLeaf(node, plan.slot, candidates, yes, *scan_no);
    yes.AndWith(candidates);
    if (no != nullptr) {
        no->Assign(*scan_no);
        no->AndWith(candidates);
    }
}

void TDataCursor::EvaluateFilter(TFilter& filter, const TRecordsBitmap& candidates) {
    TRecordsBitmap& bitmap = filter.Bitmap();
    bitmap.SetRecordCount(candidates.RecordCount());
    bitmap.ClearAll();
    if (filter.IsCallback()) {
        EvaluateRecords(nullptr, &filter, filter.Formats(), candidates, bitmap, nullptr);
        return;
    }
    BuildSets(*filter.Expression(), filter.Formats(), candidates, bitmap, nullptr);
}

void TDataCursor::BuildLiveBitmap() {
    // Cursors opened one after another on an unchanged table find the same live records: the
    // table keeps the last walk of its hidden index for as long as that index stands.
    const TIndexFile& file = table_->IndexFile();
    const std::uint64_t edits = file.EditCount(kHiddenIndexSlot);
    const std::int64_t slots = live_.RecordCount();
    if (table_->KeptLiveRecords(edits, slots, live_))
        return;
    const auto low = HiddenKey(0, 0);
    std::array<std::uint8_t, 5> high{0, 0xFF, 0xFF, 0xFF, 0xFF};
    ScanRange(kHiddenIndexSlot, low, high, live_);
    // A walk that met a change (another program's, noticed on the way) is not kept.
    if (file.EditCount(kHiddenIndexSlot) == edits && live_.RecordCount() == slots)
        table_->KeepLiveRecords(edits, live_);
}

void TDataCursor::BuildRangeBitmap() {
    if (!range_active_ || physical_) {
        range_bitmap_.SetRecordCount(0);
        return;
    }
    range_bitmap_.SetRecordCount(table_->DataFile().GetRecordSlots());
    ScanRange(CurrentSlot(), range_start_, range_end_, range_bitmap_);
}

void TDataCursor::CombineFilters() {
    if (!bitmaps_in_use_)
        return;
    ++view_edits_;
    view_.SetRecordCount(live_.RecordCount());
    view_.Assign(live_);
    if (range_active_ && !physical_)
        view_.AndWith(range_bitmap_);
    for (const auto& filter : filters_) {
        if (filter->Active())
            view_.AndWith(filter->Bitmap());
    }
    view_count_ = view_.CountSet();
}

void TDataCursor::RefreshFilters() {
    if (refreshing_ || !open_ || table_ == nullptr)
        return;
    refreshing_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{refreshing_};
    UpdateBitmapsInUse();
    if (!bitmaps_in_use_)
        return;
    const std::int64_t slots = table_->DataFile().GetRecordSlots();
    for (TRecordsBitmap* bitmap : {&view_, &range_bitmap_, &live_}) {
        bitmap->SetRecordCount(slots);
        bitmap->ClearAll();
    }
    if (slots == 0) {
        for (const auto& filter : filters_) {
            filter->Bitmap().SetRecordCount(0);
        }
        view_count_ = 0;
        return;
    }
    BuildRangeBitmap();
    BuildLiveBitmap();
    PooledBitmap candidates(slots);
    candidates->Assign(live_);
    if (range_active_ && !physical_)
        candidates->AndWith(range_bitmap_);
    for (const auto& filter : filters_) {
        if (filter->Active())
            EvaluateFilter(*filter, *candidates);
    }
    CombineFilters();
}

void TDataCursor::FilterRecordChanged(std::uint32_t number, ConstRecordBuffer record) {
    if (!bitmaps_in_use_ || number == 0)
        return;
    ++view_edits_;
    const std::int64_t slots = std::max<std::int64_t>(table_->DataFile().GetRecordSlots(), number);
    const auto grow = [&](TRecordsBitmap& bitmap) {
        if (bitmap.RecordCount() < slots)
            bitmap.SetRecordCount(slots);
    };
    grow(view_);
    grow(live_);
    const bool was_visible = view_.IsSet(number);
    bool visible = true;
    live_.SetBit(number);
    if (range_active_ && !physical_) {
        grow(range_bitmap_);
        const std::vector<std::uint8_t> key = BuildKeyFor(CurrentSlot(), record);
        const bool inside =
            index_state_.comparer.Compare(range_start_.data(), key.data(), true) <= 0 &&
            index_state_.comparer.Compare(key.data(), range_end_.data(), true) <= 0;
        if (inside)
            range_bitmap_.SetBit(number);
        else
            range_bitmap_.ClearBit(number);
        visible = inside;
    }
    // Copied once, and only for a filter to read.
    std::vector<std::uint8_t> copy;
    for (const auto& filter : filters_) {
        if (!filter->Active())
            continue;
        if (copy.empty()) {
            copy.assign(record.begin(), record.end());
            copy.resize(std::max<std::size_t>(copy.size(), record_size_));
        }
        grow(filter->Bitmap());
        if (RecordPasses(*filter, copy, number)) {
            filter->Bitmap().SetBit(number);
        } else {
            filter->Bitmap().ClearBit(number);
            visible = false;
        }
    }
    if (visible)
        view_.SetBit(number);
    else
        view_.ClearBit(number);
    view_count_ += static_cast<std::int64_t>(visible) - static_cast<std::int64_t>(was_visible);
}

void TDataCursor::FilterRecordsAppended(std::uint32_t first, ConstRecordBuffer records,
                                        std::size_t record_size) {
    if (!bitmaps_in_use_ || first == 0 || record_size == 0)
        return;
    ++view_edits_;
    const std::size_t count = records.size() / record_size;
    const bool any_filter = std::any_of(filters_.begin(), filters_.end(),
                                        [](const auto& filter) { return filter->Active(); });
    if (any_filter || (range_active_ && !physical_)) {
        for (std::size_t i = 0; i < count; ++i)
            FilterRecordChanged(static_cast<std::uint32_t>(first + i),
                                records.subspan(i * record_size, record_size));
        return;
    }
    // Nothing to check: each new record is live and in the view. The bitmaps grow once.
    const std::int64_t slots =
        std::max<std::int64_t>(table_->DataFile().GetRecordSlots(),
                               std::int64_t{first} + static_cast<std::int64_t>(count) - 1);
    for (TRecordsBitmap* bitmap : {&view_, &live_}) {
        if (bitmap->RecordCount() < slots)
            bitmap->SetRecordCount(slots);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t number = std::int64_t{first} + static_cast<std::int64_t>(i);
        view_count_ += view_.IsSet(number) ? 0 : 1;
        view_.SetBit(number);
        live_.SetBit(number);
    }
}

void TDataCursor::FilterRecordDeleted(std::uint32_t number) {
    if (!bitmaps_in_use_)
        return;
    ++view_edits_;
    // The count drops only for a record that was in the view.
    if (view_.IsSet(number)) {
        view_.ClearBit(number);
        --view_count_;
    }
    range_bitmap_.ClearBit(number);
    live_.ClearBit(number);
    for (const auto& filter : filters_)
        filter->Bitmap().ClearBit(number);
}

}  // namespace strata
