// Construction, options, load modes and the reading of records into rows.

#include "grid/data/db_grid.h"

#include <QResizeEvent>
#include <QScrollBar>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include "grid/core/exceptions.h"
#include "grid/data/db_grid_internal.h"
#include "grid/editors/memo_edit.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"

namespace grid {

namespace {
std::vector<TCustomgxDBGrid*>& GridList() {
    static std::vector<TCustomgxDBGrid*> list;
    return list;
}
}  // namespace

const std::vector<TCustomgxDBGrid*>& LiveGrids() {
    return GridList();
}

TgxDBGridNode::~TgxDBGridNode() = default;

namespace {

constexpr std::size_t kBookmarkHeader = sizeof(std::uint32_t);
constexpr std::size_t kLongestZeroRun = 255;

std::uint32_t BookmarkSize(const std::uint8_t* block) {
    std::uint32_t size = 0;
    std::memcpy(&size, block, sizeof size);
    return size;
}

// The bytes after the header that hold a bookmark of `size` bytes.
std::size_t EncodedBytes(const std::uint8_t* codes, std::uint32_t size) {
    std::size_t at = 0;
    for (std::uint32_t done = 0; done < size;) {
        if (codes[at] == 0) {
            done += codes[at + 1];
            at += 2;
        } else {
            ++done;
            ++at;
        }
    }
    return at;
}

}  // namespace

CompactBookmark& CompactBookmark::operator=(const CompactBookmark& other) {
    if (this == &other)
        return *this;
    if (other.block_ == nullptr) {
        block_.reset();
        return *this;
    }
    const std::size_t bytes = kBookmarkHeader + EncodedBytes(other.block_.get() + kBookmarkHeader,
                                                             BookmarkSize(other.block_.get()));
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    std::memcpy(block.get(), other.block_.get(), bytes);
    block_ = std::move(block);
    return *this;
}

CompactBookmark& CompactBookmark::operator=(std::string_view bookmark) {
    if (bookmark.empty()) {
        block_.reset();
        return *this;
    }
    if (bookmark.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("bookmark too long");
    std::size_t encoded = 0;
    for (std::size_t i = 0; i < bookmark.size();) {
        if (bookmark[i] != '\0') {
            ++encoded;
            ++i;
            continue;
        }
        std::size_t run = 1;
        while (run < kLongestZeroRun && i + run < bookmark.size() && bookmark[i + run] == '\0')
            ++run;
        encoded += 2;
        i += run;
    }
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(kBookmarkHeader + encoded);
    const auto size = static_cast<std::uint32_t>(bookmark.size());
    std::memcpy(block.get(), &size, sizeof size);
    std::uint8_t* out = block.get() + kBookmarkHeader;
    for (std::size_t i = 0; i < bookmark.size();) {
        if (bookmark[i] != '\0') {
            *out++ = static_cast<std::uint8_t>(bookmark[i++]);
            continue;
        }
        std::size_t run = 1;
        while (run < kLongestZeroRun && i + run < bookmark.size() && bookmark[i + run] == '\0')
            ++run;
        *out++ = 0;
        *out++ = static_cast<std::uint8_t>(run);
        i += run;
    }
    block_ = std::move(block);
    return *this;
}

db::TBookmark CompactBookmark::Value() const {
    if (block_ == nullptr)
        return {};
    const std::uint32_t size = BookmarkSize(block_.get());
    db::TBookmark value(size, '\0');
    const std::uint8_t* codes = block_.get() + kBookmarkHeader;
    for (std::uint32_t done = 0; done < size;) {
        if (*codes == 0) {
            done += codes[1];
            codes += 2;
        } else {
            value[done++] = static_cast<char>(*codes++);
        }
    }
    return value;
}

bool CompactBookmark::operator==(std::string_view bookmark) const {
    return Value() == bookmark;
}

TgxDBGridNode::CellValue::CellValue(int column_index, const db::Variant& value)
    : column(column_index), type_(value.VarType()) {
    switch (type_) {
        case db::varEmpty:
        case db::varNull:
            stored_ = std::int64_t{0};
            break;
        case db::varBoolean:
            stored_ = std::int64_t{value.AsBoolean() ? 1 : 0};
            break;
        case db::varShortInt:
        case db::varByte:
        case db::varSmallint:
        case db::varWord:
        case db::varInteger:
        case db::varLongWord:
        case db::varInt64:
            stored_ = value.AsInt64();
            break;
        case db::varDouble:
            stored_ = value.AsDouble();
            break;
        case db::varDate:
            stored_ = value.AsDateTime().Value;
            break;
        default:
            stored_ = std::make_unique<db::Variant>(value);
            break;
    }
    assert(Value().VarType() == type_ && (value.IsClear() || Value() == value));
}

db::Variant TgxDBGridNode::CellValue::Value() const {
    switch (type_) {
        case db::varEmpty:
            return {};
        case db::varNull:
            return db::Variant::Null();
        case db::varBoolean:
            return db::Variant(std::get<std::int64_t>(stored_) != 0);
        case db::varInteger:
            return db::Variant(static_cast<int>(std::get<std::int64_t>(stored_)));
        case db::varInt64:
            return db::Variant(static_cast<long long>(std::get<std::int64_t>(stored_)));
        case db::varShortInt:
        case db::varByte:
        case db::varSmallint:
        case db::varWord:
        case db::varLongWord:
            return db::Variant(static_cast<long long>(std::get<std::int64_t>(stored_)))
                .AsType(type_);
        case db::varDouble:
            return db::Variant(std::get<double>(stored_));
        case db::varDate:
            return db::Variant(db::TDateTime(std::get<double>(stored_)));
        default:
            return *std::get<std::unique_ptr<db::Variant>>(stored_);
    }
}

const TgxDBGridNode::Extras& TgxDBGridNode::Extra() const {
    static const Extras none;
    return extras_ ? *extras_ : none;
}

namespace {

// Blocks of row-sized slots; a freed slot is handed to the next row. The blocks stay for
// the program's run, as the heap would mostly keep them too.
class RowPool {
  public:
    // Never destroyed: a grid that is itself static frees its rows after the end of main.
    static RowPool& Instance() {
        static RowPool& pool = *new RowPool;
        return pool;
    }

    void* Allocate() {
        const std::lock_guard lock(mutex_);
        if (free_ == nullptr)
            Grow();
        Slot* slot = free_;
        free_ = slot->next;
        return slot;
    }

    void Free(void* pointer) noexcept {
        const std::lock_guard lock(mutex_);
        auto* slot = static_cast<Slot*>(pointer);
        slot->next = free_;
        free_ = slot;
    }

  private:
    struct Slot {
        Slot* next;
    };
    static constexpr std::size_t kSlotsPerBlock = 4096;
    static constexpr std::size_t kAlignment = alignof(TgxDBGridNode);
    static constexpr std::size_t kSlotSize =
        (sizeof(TgxDBGridNode) + kAlignment - 1) / kAlignment * kAlignment;
    struct BlockDeleter {
        void operator()(std::byte* block) const {
            ::operator delete(block, std::align_val_t(kAlignment));
        }
    };

    void Grow() {
        auto* block = static_cast<std::byte*>(
            ::operator new(kSlotSize* kSlotsPerBlock, std::align_val_t(kAlignment)));
        blocks_.emplace_back(block);
        for (std::size_t i = kSlotsPerBlock; i-- > 0;) {
            auto* slot = reinterpret_cast<Slot*>(block + i * kSlotSize);
            slot->next = free_;
            free_ = slot;
        }
    }

    std::mutex mutex_;
    Slot* free_ = nullptr;
    std::vector<std::unique_ptr<std::byte, BlockDeleter>> blocks_;
};

}  // namespace

// Builds with AddressSanitizer keep every row on the heap, where it watches each one.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooledRows = false;
#else
constexpr bool kPooledRows = true;
#endif

void* TgxDBGridNode::operator new(std::size_t size) {
    if (!kPooledRows || size != sizeof(TgxDBGridNode))
        return ::operator new(size, std::align_val_t(alignof(TgxDBGridNode)));
    return RowPool::Instance().Allocate();
}

void TgxDBGridNode::operator delete(void* node, std::size_t size) noexcept {
    if (!kPooledRows || size != sizeof(TgxDBGridNode)) {
        ::operator delete(node, std::align_val_t(alignof(TgxDBGridNode)));
        return;
    }
    RowPool::Instance().Free(node);
}

TLOptions MapGridOptions(TgxDBGridOptions o) {
    TLOptions w = 0;
    auto map = [&](TgxDBGridOptions bit, TLOptions to) {
        if (o & bit)
            w |= to;
    };
    map(egoColumnSizing, tloColumnSizing);
    map(egoColumnMoving, tloColumnMoving);
    map(egoEditing, tloEditing);
    map(egoTabs, tloTabs);
    map(egoTabThrough, tloTabThrough);
    map(egoMultiSelect, tloMultiSelect);
    map(egoImmediateEditor, tloImmediateEditor);
    map(egoPreview, tloPreview);
    map(egoDrawEndEllipsis, tloDrawEndEllipsis);
    map(egoAutoWidth, tloAutoWidth);
    map(egoExtMultiSelect, tloExtMultiSelect);
    map(egoExtCustomizing, tloExtCustomizing);
    map(egoHideFocusRect, tloHideFocusRect);
    map(egoCaseInsensitive, tloCaseInsensitive);
    // Row select shows no editor.
    if (o & egoRowSelect) {
        w |= tloRowSelect;
        w &= static_cast<TLOptions>(~tloEditing);
    }
    return w;
}

TLOptionsEx MapGridOptionsEx(TgxDBGridOptionsEx o, TLOptionsEx current) {
    TLOptionsEx w = current & tlxShowHourGlass;
    if (o & egoInvertSelect)
        w |= tlxInvertSelect;
    // The ex-options 1 to 15 keep their bit numbers.
    w |= o & 0xFFFEu;
    auto map = [&](TgxDBGridOptionsEx bit, TLOptionsEx to) {
        if (o & bit)
            w |= to;
    };
    map(egoBandButtonClicking, tlxBandButtonClicking);
    map(egoBandPanelSizing, tlxBandPanelSizing);
    map(egoHeaderButtonClicking, tlxHeaderButtonClicking);
    map(egoHeaderPanelSizing, tlxHeaderPanelSizing);
    map(egoRowSizing, tlxRowSizing);
    map(egoShowButtonAlways, tlxShowButtonAlways);
    map(egoAutoHeaderPanelHeight, tlxAutoHeaderPanelHeight);
    map(egoKeepColumnWidth, tlxKeepColumnWidth);
    map(egoAnsiSort, tlxAnsiSort);
    map(egoMouseScroll, tlxMouseScroll);
    map(egoAutoSearch, tlxAutoSearch);
    return w;
}

TCustomgxDBGrid::TCustomgxDBGrid(QWidget* parent)
    : TCustomgxDBTreeListControl(parent),
      link_(std::make_unique<TgxGridDataLink>(this)),
      summary_groups_(std::make_unique<TgxDBGridSummaryGroups>(this)),
      saved_selection_(nullptr) {
    SetHideFocusRect(false);
    SetHideSelection(false);
    SetGridMode(true);
    SetShowGrid(true);
    HideSelectionColor = HighlightColor;
    HideSelectionTextColor = HighlightTextColor;
    TCustomgxTreeList::SetOptions(MapGridOptions(grid_options_));
    TCustomgxTreeList::SetOptionsEx(MapGridOptionsEx(grid_options_ex_, 0));
    GridList().push_back(this);
}

TCustomgxDBGrid::~TCustomgxDBGrid() {
    try {
        if (!registry_path_.empty() && (grid_options_ & egoStoreToRegistry))
            SaveToRegistry(registry_path_);
        if (!ini_file_name_.empty() && (grid_options_ & egoStoreToIniFile))
            SaveToIniFile(ini_file_name_);
    } catch (const std::exception&) {
        // A layout that cannot be saved must not stop the window from closing.
    }
    SetDestroying();
    background_load_.reset();
    selected_.clear();
    pending_node_ = nullptr;
    anchor_row_ = nullptr;
    link_->SetDataSource(nullptr);
    ClearNodes();
    auto& list = GridList();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void TCustomgxDBGrid::SetDataSource(db::TDataSource* source) {
    if (source == link_->DataSource())
        return;
    ClearSelection();
    link_->SetDataSource(source);
    if (IsBufferMode())
        LinkActive(link_->Active());
}

void TCustomgxDBGrid::SetKeyField(std::string_view value) {
    if (key_field_name_ == value)
        return;
    key_field_name_ = value;
    LinkActive(link_->Active());
}

void TCustomgxDBGrid::SetPartialLoad(bool value) {
    if (partial_load_ == value)
        return;
    partial_load_ = value;
    if (!IsGridMode())
        return;
    if (partial_load_ && default_fields_)
        SetDefaultFields(false);
    LinkActive(link_->Active());
}

void TCustomgxDBGrid::SetUseBookmarks(bool value) {
    use_bookmarks_ = value;
    if (value)
        ClearSelection();
}

void TCustomgxDBGrid::SetPreviewFieldName(std::string_view value) {
    if (preview_field_name_ == value)
        return;
    preview_field_name_ = value;
    LinkActive(link_->Active());
}

void TCustomgxDBGrid::SetPreviewMaxLength(int value) {
    value = std::max(0, value);
    if (value == preview_max_length_)
        return;
    preview_max_length_ = value;
    LayoutChanged();
}

void TCustomgxDBGrid::SetDefaultFields(bool value) {
    if (value == default_fields_)
        return;
    BeginUpdate();
    try {
        grid_options_ &= ~egoLoadAllRecords;
        ClearGrouping();
        default_fields_ = false;
        TCustomgxTreeListControl::DestroyColumns();
        default_fields_ = value;
        SetDefaultLayout(true);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TCustomgxDBGrid::SetOptions(TgxDBGridOptions value) {
    if (value == grid_options_)
        return;
    BeginUpdate();
    try {
        TgxDBGridOptions old = grid_options_;
        if (value & egoRowSelect)
            grid_options_ex_ &= ~egoInvertSelect;
        TLOptions word = MapGridOptions(value);
        TLOptionsEx ex = TCustomgxTreeList::OptionsEx();
        if (value & egoShowHourGlass)
            ex |= tlxShowHourGlass;
        else
            ex &= ~tlxShowHourGlass;
        if (value & egoRowSelect)
            ex &= ~tlxInvertSelect;
        SetShowIndicator((value & egoIndicator) != 0);
        TCustomgxTreeList::SetOptions(word);
        TCustomgxTreeList::SetOptionsEx(ex);
        grid_options_ = value;
        if ((value & egoLoadAllRecords) && default_fields_)
            default_fields_ = false;
        const bool load_all_changed = ((old ^ value) & egoLoadAllRecords) != 0;
        if (load_all_changed && group_columns_.empty()) {
            ClearSortMarksInGridModes();
            BeginGrouping();
            EndGrouping();
        } else if (((old ^ value) & egoCanNavigation) != 0) {
            ReloadNodes();
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TCustomgxDBGrid::SetOptionsEx(TgxDBGridOptionsEx value) {
    if (value == grid_options_ex_)
        return;
    BeginUpdate();
    try {
        TgxDBGridOptionsEx old = grid_options_ex_;
        if (value & egoInvertSelect)
            grid_options_ &= ~egoRowSelect;
        grid_options_ex_ = value;
        TCustomgxTreeList::SetOptions(MapGridOptions(grid_options_));
        TCustomgxTreeList::SetOptionsEx(MapGridOptionsEx(value, TCustomgxTreeList::OptionsEx()));
        const bool auto_sort_on = (value & egoAutoSort) && !(old & egoAutoSort);
        const bool multi_sort_off = !(value & egoMultiSort) && (old & egoMultiSort);
        if (auto_sort_on || multi_sort_off)
            ClearSorting();
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

bool TCustomgxDBGrid::IsGridMode() const {
    if (grid_options_ & egoLoadAllRecords)
        return false;
    return group_columns_.empty() || !link_->Active();
}

void TCustomgxDBGrid::LinkActive(bool active) {
    if (IsDestroying())
        return;
    if (!active)
        HideEditor();
    // Rows loaded before belong to the dataset as it was (or there are none, when the
    // grouping was set while the link was inactive): a smart reload would only place them
    // again, so a grid grouped while its source was off would stay empty.
    grouping_changed_ = false;
    ReloadAll();
}

void TCustomgxDBGrid::ReloadAll() {
    // The fields may be new objects now; the load binds the summaries again.
    summary_input_fields_.clear();
    BeginUpdate();
    try {
        HideEditor();
        const bool smart = (grid_options_ & egoSmartReload) && grouping_changed_ && !IsBufferMode();
        if (!smart) {
            selected_.clear();
            pending_node_ = nullptr;
            anchor_row_ = nullptr;
            ClearNodes();
        }
        ClearSelection();
        if (default_fields_) {
            // The columns are the dataset's fields, made anew for each dataset.
            making_default_columns_ = true;
            try {
                BeginGrouping();
                while (!group_columns_.empty())
                    RemoveGroupColumn(GetGroupColumnCount() - 1);
                grouping_lock_ = std::max(0, grouping_lock_ - 1);
                TCustomgxTreeListControl::DestroyColumns();
                if (link_->Active())
                    CreateDefaultColumns(DataSet());
            } catch (...) {
                making_default_columns_ = false;
                throw;
            }
            making_default_columns_ = false;
        }
        link_->ClearMapping();
        if (link_->Active())
            MapColumnFields();
        ++layout_change_;
        for (int i = 0; i < ColumnCount(); ++i)
            if (auto* c = GetColumn(i))
                c->SetFieldName(std::string(c->FieldName()));
        --layout_change_;
        LoadNodes();
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    if (OnReloadGroupList)
        OnReloadGroupList(this);
}

void TCustomgxDBGrid::ReloadNodes() {
    if (IsBufferMode()) {
        LayoutChanged();
        return;
    }
    force_regroup_ = true;
    try {
        RegroupColumns();
    } catch (...) {
        force_regroup_ = false;
        throw;
    }
    force_regroup_ = false;
}

void TCustomgxDBGrid::MapColumnFields() {
    if (default_fields_) {
        db::TDataSet* dataset = DataSet();
        if (dataset != nullptr)
            for (db::TField* f : dataset->Fields())
                if (f->Visible())
                    link_->AddMapping(f->FieldName());
        return;
    }
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i))
            link_->AddMapping(c->FieldName());
}

void TCustomgxDBGrid::ResolveKeyField() {
    key_field_ = nullptr;
    if (link_->Active() && !key_field_name_.empty())
        key_field_ = DataSet()->FindField(key_field_name_);
}

void TCustomgxDBGrid::ResolvePreviewField() {
    preview_field_ = nullptr;
    if (!link_->Active() || preview_field_name_.empty())
        return;
    db::TField* f = DataSet()->FindField(preview_field_name_);
    if (f == nullptr)
        return;
    if (!f->IsBlob() || f->DataType() == db::ftMemo || f->DataType() == db::ftFmtMemo)
        preview_field_ = f;
}

void TCustomgxDBGrid::ClearSortMarksInGridModes() {
    for (int i = 0; i < ColumnCount(); ++i)
        if (auto* c = GetColumn(i); c != nullptr && c->GroupIndex() < 0 && c->Sorted() != csNone)
            c->SetSorted(csNone);
}

int TCustomgxDBGrid::RowsForWindow() const {
    int row_height = std::max(1, DefaultRowHeight());
    return std::max(1, GetDataAreaRect().Height() / row_height + 1);
}

int TCustomgxDBGrid::PartialWindowSize() const {
    return std::max(5 * RowsForWindow(), partial_load_buffer_count_);
}

void TCustomgxDBGrid::FillNode(TgxDBGridNode* node, std::int32_t rec_no) {
    db::TDataSet* dataset = DataSet();
    node->RecNo = rec_no;
    node->Key = key_field_ != nullptr ? key_field_->Value() : db::Variant();
    node->Bookmark = dataset->Bookmark();
    const int count = ColumnCount();
    fill_texts_.resize(static_cast<std::size_t>(count));
    for (std::string& text : fill_texts_)
        text.clear();
    node->CellValues.clear();
    fill_columns_.clear();
    std::size_t kept = 0;
    for (int i = 0; i < count; ++i) {
        TgxDBTreeListColumn* column = GetColumn(i);
        const bool bound = column != nullptr && column->Field() != nullptr;
        // The key field's value is the row's Key already.
        const bool keeps = bound && column->Field() != key_field_ && column->KeepsFieldValue();
        fill_columns_.push_back({bound ? column : nullptr, keeps});
        kept += keeps ? 1 : 0;
    }
    // Exactly the room the row needs: a million rows would otherwise carry spare cells.
    node->CellValues.reserve(kept);
    for (int i = 0; i < count; ++i) {
        const auto [column, keeps] = fill_columns_[static_cast<std::size_t>(i)];
        if (column == nullptr)
            continue;
        column->AssignDisplayText(column->GetFieldDisplayText(),
                                  fill_texts_[static_cast<std::size_t>(i)]);
        if (keeps)
            node->CellValues.emplace_back(i, column->Field()->Value());
    }
    node->Texts.Assign(fill_texts_);
    if (summary_input_fields_.empty() && preview_field_ == nullptr) {
        node->DropExtras();
    } else {
        TgxDBGridNode::Extras& extra = node->Extra();
        extra.SummaryInputs.clear();
        for (const db::TField* field : summary_input_fields_)
            extra.SummaryInputs.emplace_back(field, field->Value());
        extra.PreviewText.clear();
        if (preview_field_ != nullptr)
            FillPreviewText(extra.PreviewText);
    }
    ++records_read_;
    if (OnRefreshNodeData)
        OnRefreshNodeData(this, node);
}

void TCustomgxDBGrid::FillPreviewText(std::string& preview) const {
    if (preview_field_->OnGetText) {
        preview_field_->OnGetText(preview_field_, preview, true);
        return;
    }
    std::string text = preview_field_->Text();
    // Counted in characters: a cut by bytes would split an accented letter.
    if (preview_max_length_ > 0) {
        std::string cut = FirstCharacters(text, preview_max_length_);
        if (cut.size() < text.size())
            text = std::move(cut) + "...";
    }
    preview = std::move(text);
}

std::vector<db::Variant> TCustomgxDBGrid::GroupValuesOfRecord() const {
    std::vector<db::Variant> values;
    values.reserve(group_columns_.size());
    for (TgxDBTreeListColumn* c : group_columns_)
        values.push_back(c->Field() != nullptr ? c->Field()->Value() : db::Variant::Null());
    return values;
}

std::vector<db::Variant> TCustomgxDBGrid::GroupValuesOfNode(const TgxDBGridNode* node) const {
    std::vector<db::Variant> values;
    for (TgxDBTreeListColumn* c : group_columns_)
        values.push_back(GetNodeVariant(node, c->GetIndex()));
    return values;
}

namespace {
// Field types whose values have no order: their groups are searched one by one.
bool Unordered(const db::TField* field) {
    return field != nullptr && (field->IsBlob() || field->DataType() == db::ftBytes ||
                                field->DataType() == db::ftVarBytes);
}

// Group rows stand in the order a header click sorts them in: texts by the user's collation.
int CompareGroupValues(const db::Variant& a, const db::Variant& b) {
    static const db::VariantStringCompare by_collation =
        [](std::string_view x, std::string_view y) { return CompareText(x, y); };
    return db::VarCompare(a, b, by_collation);
}
}  // namespace

TgxDBGridNode* TCustomgxDBGrid::FindOrCreateGroupPath(const std::vector<db::Variant>& values) {
    TgxTreeListNode* parent = nullptr;
    for (std::size_t level = 0; level < group_columns_.size(); ++level) {
        TgxDBTreeListColumn* column = group_columns_[level];
        const bool descending = column->Sorted() == csDown;
        const int count = parent != nullptr ? parent->Count() : Count();
        auto at = [&](int i) {
            return static_cast<TgxDBGridNode*>(parent != nullptr ? parent->Items(i) : Items(i));
        };
        const db::Variant& value = values[level];
        int position = count;
        TgxDBGridNode* found = nullptr;
        if (Unordered(column->Field())) {
            for (int i = 0; i < count && found == nullptr; ++i)
                if (db::VarCompare(at(i)->Extra().GroupValue, value) == 0)
                    found = at(i);
        } else {
            int lo = 0;
            int hi = count;
            while (lo < hi) {
                int mid = (lo + hi) / 2;
                int c = CompareGroupValues(at(mid)->Extra().GroupValue, value);
                if (descending)
                    c = -c;
                if (c == 0) {
                    found = at(mid);
                    break;
                }
                if (c < 0)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            position = lo;
        }
        if (found == nullptr) {
            auto node = CreateNode();
            found = static_cast<TgxDBGridNode*>(node.get());
            found->IsGroup = true;
            found->Extra().GroupValue = value;
            std::string text;
            if (column->Field() != nullptr && db::VarCompare(value, column->Field()->Value()) == 0)
                text = column->GetFieldDisplayText();
            else
                column->VariantToText(value, text);
            found->Extra().GroupText = std::move(text);
            AttachNode(std::move(node), parent, position);
        }
        parent = found;
    }
    return static_cast<TgxDBGridNode*>(parent);
}

void TCustomgxDBGrid::RemoveEmptyGroupChain(TgxTreeListNode* group) {
    TgxTreeListNode* doomed = nullptr;
    for (TgxTreeListNode* n = group; n != nullptr && n->Count() <= 1; n = n->Parent())
        doomed = n;
    if (doomed != nullptr && static_cast<TgxDBGridNode*>(doomed)->IsGroup)
        doomed->Delete();
}

void TCustomgxDBGrid::LoadNodesWith(std::vector<std::unique_ptr<TgxTreeListNode>>* reuse,
                                    const ViewPlace* view) {
    if (stream_loading_ || IsLoading())
        return;
    // A load still reading in the background belongs to the rows this one replaces.
    background_load_.reset();
    if (IsPartialLoadMode()) {
        LoadPartialNodes(0, 0, false);
        return;
    }
    db::TDataSet* dataset = DataSet();
    if (IsBufferMode()) {
        UpdateBufferRows();
        return;
    }
    RecordLoad load;
    // The rows are rebuilt in the dataset's order and sorted again afterwards: the place on
    // the screen is taken from the rows as they were, never from the first record read.
    load.before = view != nullptr ? *view : RememberView();
    loading_rows_ = true;
    ResolveKeyField();
    if ((key_field_ == nullptr && (grid_options_ & egoCanNavigation)) || dataset == nullptr ||
        !link_->Active()) {
        loading_rows_ = false;
        return;
    }
    load.own_saved_selection = saved_selection_ == nullptr;
    if (load.own_saved_selection)
        SaveSelection();
    BeginUpdate();
    DropMissingGroupColumns();
    load.smart = (grid_options_ & egoSmartReload) && grouping_changed_ && !IsBufferMode();
    PrepareRecordLoad(load);
    try {
        TakeReusableRows(load, reuse);
        bool complete = true;
        if (load.smart) {
            PlaceRowsAgain(load);
        } else {
            const bool sliced = load_in_slices_ && group_columns_.empty();
            dataset->First();
            complete = ReadRecords(load, sliced ? kFirstSliceRows : kAllRows, {});
        }
        if (complete) {
            FinishReadingRecords(load);
            FillGroupRows();
        } else {
            HandOverToBackground(load);
        }
        if (!load.smart)
            RestoreAfterRead(load);
    } catch (...) {
        background_load_.reset();
        if (!load.smart)
            dataset->EnableControls();
        CancelUpdate();
        loading_rows_ = false;
        if (load.own_saved_selection)
            DropSavedSelection();
        throw;
    }
    FinishLoad(load.focus, background_load_ == nullptr);
    if (!load.smart)
        dataset->EnableControls();
    EndUpdate();
    PlaceLoadedRows(load.focus, load.before);
    loading_rows_ = false;
    grouping_changed_ = false;
    if (load.own_saved_selection)
        DropSavedSelection();
    if (background_load_ != nullptr)
        ScheduleRecordSlice();
}

void TCustomgxDBGrid::DropMissingGroupColumns() {
    db::TDataSet* dataset = DataSet();
    BeginGrouping();
    for (int i = GetGroupColumnCount() - 1; i >= 0; --i) {
        TgxDBTreeListColumn* column = group_columns_[static_cast<std::size_t>(i)];
        if (column->Field() == nullptr && dataset->FindField(column->FieldName()) == nullptr)
            RemoveGroupColumn(i);
    }
    // Released without a reload: this load is the reload.
    grouping_lock_ = std::max(0, grouping_lock_ - 1);
}

void TCustomgxDBGrid::PrepareRecordLoad(RecordLoad& load) {
    db::TDataSet* dataset = DataSet();
    anchor_row_ = nullptr;
    anchor_bookmark_.clear();
    ResolvePreviewField();
    BindSummaryFields();
    if (!load.smart)
        for (int i = 0; i < ColumnCount(); ++i)
            if (auto* c = GetColumn(i)) {
                c->BindField();
                c->ResetFooter();
            }
    if (OnClearNodeData)
        OnClearNodeData(this);
    auto* focused = static_cast<TgxDBGridNode*>(GetFocusedNode());
    if (focused != nullptr) {
        const TgxDBGridNode* record = focused->IsGroup ? RecordRowOf(focused) : focused;
        load.focus_key = record != nullptr ? record->Key : db::Variant::Null();
        load.focus_level = focused->Level();
    } else if (key_field_ != nullptr && !dataset->IsEmpty()) {
        // No row was focused (the rows were just cleared): the current record's row is.
        load.focus_key = key_field_->Value();
        load.focus_level = std::numeric_limits<int>::max();
    }
    if (!load.smart) {
        load.bookmark = dataset->Bookmark();
        load.bof = dataset->Bof();
        load.eof = dataset->Eof();
        dataset->DisableControls();
        if (dataset->State() == db::dsEdit || dataset->State() == db::dsInsert ||
            dataset->State() == db::dsSetKey)
            dataset->Cancel();
    }
    if (grid_options_ & egoShowHourGlass)
        load.hourglass = std::make_unique<ui::THourglass>();
}

void TCustomgxDBGrid::TakeReusableRows(RecordLoad& load, NodeList* reuse) {
    // The record rows that can be used again: the ones handed in, or all of them.
    if (reuse != nullptr)
        load.pool = std::move(*reuse);
    ReleaseRecordRows(load.pool);
    for (auto& n : load.pool) {
        n->SetExpanded(false);
        auto* row = static_cast<TgxDBGridNode*>(n.get());
        if (row->HasExtras())
            row->Extra().SummaryItems.clear();
    }
    ResetSummaries();
    std::sort(
        load.pool.begin(), load.pool.end(),
        [](const std::unique_ptr<TgxTreeListNode>& a, const std::unique_ptr<TgxTreeListNode>& b) {
            return db::VarCompare(static_cast<TgxDBGridNode*>(a.get())->Key,
                                  static_cast<TgxDBGridNode*>(b.get())->Key) < 0;
        });
    // The keys stay searchable after their rows have been taken.
    load.pool_keys.reserve(load.pool.size());
    for (const auto& n : load.pool)
        load.pool_keys.push_back(static_cast<TgxDBGridNode*>(n.get())->Key);
}

std::unique_ptr<TgxTreeListNode> TCustomgxDBGrid::TakeFromPool(RecordLoad& load,
                                                               const db::Variant& key) {
    std::size_t lo = 0;
    std::size_t hi = load.pool.size();
    while (lo < hi) {
        std::size_t mid = (lo + hi) / 2;
        int c = db::VarCompare(load.pool_keys[mid], key);
        if (c == 0)
            return std::move(load.pool[mid]);
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

TgxDBGridNode* TCustomgxDBGrid::PlaceLoadedRow(RecordLoad& load,
                                               std::unique_ptr<TgxTreeListNode> owned,
                                               const std::vector<db::Variant>& group_values) {
    auto* row = static_cast<TgxDBGridNode*>(owned.get());
    TgxDBGridNode* parent = group_columns_.empty() ? nullptr : FindOrCreateGroupPath(group_values);
    AttachNode(std::move(owned), parent, -1);
    if (load.focus == nullptr && !load.focus_key.IsNull() && !key_field_->IsNull() &&
        db::VarCompare(row->Key, load.focus_key) == 0) {
        TgxTreeListNode* f = row;
        while (f->Level() > load.focus_level && f->Parent() != nullptr)
            f = f->Parent();
        load.focus = static_cast<TgxDBGridNode*>(f);
    }
    TakeFromSavedSelection(row);
    return row;
}

void TCustomgxDBGrid::PlaceRowsAgain(RecordLoad& load) {
    // The dataset is not read again: the rows are placed under new group rows.
    for (auto& owned : load.pool) {
        if (!owned)
            continue;
        auto* row = static_cast<TgxDBGridNode*>(owned.get());
        std::vector<db::Variant> g = GroupValuesOfNode(row);
        PlaceLoadedRow(load, std::move(owned), g);
        ++load.rec_no;
    }
    load.pool.clear();
    RecalcSummaries(nullptr);
}

bool TCustomgxDBGrid::ReadRecords(RecordLoad& load, std::int64_t at_least,
                                  std::chrono::steady_clock::time_point until) {
    db::TDataSet* dataset = DataSet();
    for (std::int64_t read = 0; !dataset->Eof(); ++read) {
        // The row to focus comes in the first part, wherever it stands in the list.
        if (read >= at_least && read % kRowsBetweenClockReads == 0 &&
            (load.focus != nullptr || load.focus_key.IsNull()) &&
            std::chrono::steady_clock::now() >= until)
            return false;
        db::Variant key = key_field_ != nullptr ? key_field_->Value() : db::Variant();
        std::unique_ptr<TgxTreeListNode> owned = TakeFromPool(load, key);
        if (!owned)
            owned = CreateNode();
        auto* row = static_cast<TgxDBGridNode*>(owned.get());
        FillNode(row, load.rec_no++);
        std::vector<db::Variant> g = GroupValuesOfRecord();
        PlaceLoadedRow(load, std::move(owned), g);
        AccumulateRecord(row, true);
        load.last_bookmark = row->Bookmark;
        dataset->Next();
    }
    return true;
}

void TCustomgxDBGrid::FinishReadingRecords(RecordLoad& load) {
    load.pool.clear();
    summary_record_count_ = load.rec_no;
    FinishSummaries();
    SortGroupsBySummary();
}

void TCustomgxDBGrid::FillGroupRows() {
    // Every group row stands for its first record.
    std::function<void(TgxTreeListNode*)> fill_groups = [&](TgxTreeListNode* n) {
        auto* row = static_cast<TgxDBGridNode*>(n);
        if (!row->IsGroup)
            return;
        for (int i = 0; i < n->Count(); ++i)
            fill_groups(n->Items(i));
        if (TgxDBGridNode* first = RecordRowOf(row)) {
            row->Key = first->Key;
            row->RecNo = first->RecNo;
            row->Bookmark = first->Bookmark;
        }
    };
    for (int i = 0; i < Count(); ++i)
        fill_groups(Items(i));
}

void TCustomgxDBGrid::RestoreAfterRead(const RecordLoad& load) {
    db::TDataSet* dataset = DataSet();
    RestoreDataSet(load.bookmark, load.bof, load.eof);
    if ((grid_options_ex_ & egoCollapsedReload) && !group_columns_.empty() &&
        (grid_options_ & egoCanNavigation) && key_field_ != nullptr) {
        // The dataset goes to the first record of the top group holding the record.
        TgxTreeListNode* top = FindNodeByKeyValue(key_field_->Value());
        while (top != nullptr && top->Parent() != nullptr)
            top = top->Parent();
        TgxDBGridNode* first = top != nullptr ? RecordRowOf(top) : nullptr;
        if (first != nullptr && dataset->BookmarkValid(first->Bookmark))
            dataset->GotoBookmark(first->Bookmark);
    }
}

void TCustomgxDBGrid::PlaceLoadedRows(TgxDBGridNode* focus, const ViewPlace& view) {
    if (focus != nullptr)
        ShowRow(focus);
    if (view.top < 0)
        return;
    int top = view.top;
    const int focused = focus != nullptr ? GetAbsoluteIndex(focus) : -1;
    if (focused >= 0 && view.focused_offset >= 0)
        top = focused - view.focused_offset;
    SetTopIndex(top);
    if (focus != nullptr)
        ShowRow(focus);
}

}  // namespace grid
