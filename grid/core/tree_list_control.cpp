#include "grid/core/tree_list_control.h"

#include <algorithm>
#include <typeinfo>

#include "grid/core/exceptions.h"

namespace grid {

TCustomgxTreeListControl::TCustomgxTreeListControl(QWidget* parent)
    : TCustomgxTreeList(parent), bands_(std::make_unique<TgxTreeListBands>(this)) {
    // The default layout: one band holding every column.
    bands_->Add();
    default_layout_ = true;
}

TCustomgxTreeListControl::~TCustomgxTreeListControl() {
    // Nodes reach back into the column list while they go, so they go first.
    SetDestroying();
    editor_.reset();
    editors_.clear();
    ClearNodes();
    for (auto& c : columns_)
        c->control_ = nullptr;
    columns_.clear();
    bands_.reset();
}

void TCustomgxTreeListControl::SetBandMaxRowCount(int v) {
    band_max_row_count_ = std::max(1, v);
    SetBandRowCount(band_row_count_);
}

void TCustomgxTreeListControl::SetBandRowCount(int v) {
    v = std::clamp(v, 1, band_max_row_count_);
    if (v == band_row_count_)
        return;
    band_row_count_ = v;
    BandsChanged();
}

void TCustomgxTreeListControl::SetHeaderMinRowCount(int v) {
    v = std::max(1, v);
    if (v == header_min_row_count_)
        return;
    header_min_row_count_ = v;
    LayoutChanged();
}

void TCustomgxTreeListControl::SetHeaderPanelMaxRowCount(int v) {
    header_panel_max_row_count_ = std::max(1, v);
    SetHeaderPanelRowCount(header_panel_row_count_);
}

void TCustomgxTreeListControl::SetHeaderPanelRowCount(int v) {
    v = std::clamp(v, 1, header_panel_max_row_count_);
    if (v == header_panel_row_count_)
        return;
    if (!auto_sizing_header_)
        ClearAutoHeaderPanelHeight();
    header_panel_row_count_ = v;
    if (v > 1)
        default_layout_ = false;
    NormalizeLayout();
    LayoutChanged();
}

void TCustomgxTreeListControl::ClearAutoHeaderPanelHeight() {
    if (IsAutoHeaderPanelHeight())
        SetOptionsEx(OptionsEx() & ~tlxAutoHeaderPanelHeight);
}

void TCustomgxTreeListControl::SetDefaultLayout(bool v) {
    if (v == default_layout_)
        return;
    default_layout_ = v;
    if (!v)
        return;
    BeginUpdate();
    SetShowBands(false);
    header_panel_row_count_ = 1;
    while (bands_->Count() > 1)
        bands_->Delete(bands_->Count() - 1);
    if (bands_->Count() == 0)
        bands_->Add();
    bands_->Items(0)->SetVisible(true);
    for (auto& c : columns_)
        c->band_index_ = 0;
    default_layout_ = true;
    EndUpdate();
}

TgxTreeListColumn* TCustomgxTreeListControl::Columns(int index) const {
    if (index < 0 || index >= ColumnCount())
        return nullptr;
    return columns_[static_cast<std::size_t>(index)].get();
}

TgxTreeListColumn* TCustomgxTreeListControl::GetColumnByVisibleIndex(int index) const {
    int k = 0;
    for (const auto& c : columns_)
        if (c->Visible()) {
            if (k == index)
                return c.get();
            ++k;
        }
    return nullptr;
}

TgxTreeListColumn* TCustomgxTreeListControl::FindColumnByName(std::string_view name) const {
    auto lower = [](std::string_view s) {
        std::string out(s);
        for (char& ch : out)
            if (ch >= 'A' && ch <= 'Z')
                ch = static_cast<char>(ch + 32);
        return out;
    };
    std::string wanted = lower(name);
    for (const auto& c : columns_)
        if (!c->Name().empty() && lower(c->Name()) == wanted)
            return c.get();
    return nullptr;
}

TgxTreeListColumn* TCustomgxTreeListControl::CreateColumn() {
    auto column = std::make_unique<TgxTreeListColumn>();
    NameNewColumn(*column, objectName().isEmpty() ? "gxTreeList" : objectName().toStdString());
    TgxTreeListColumn* raw = column.get();
    AddColumn(std::move(column));
    return raw;
}

void TCustomgxTreeListControl::NameNewColumn(TgxTreeListColumn& column,
                                             std::string_view base) const {
    for (int n = ColumnCount() + 1;; ++n) {
        std::string name = std::string(base) + "Column" + std::to_string(n);
        if (FindColumnByName(name) != nullptr)
            continue;
        try {
            column.SetName(name);
            return;
        } catch (const db::Exception&) {
            // Only a clash with a sibling of the owner is worth the next number; any other
            // refusal (a grid name that is no identifier) would refuse every number.
            const db::TComponent* owner = column.Owner();
            if (owner == nullptr || owner->FindComponent(name) == nullptr)
                return;
        }
    }
}

void TCustomgxTreeListControl::AddColumn(std::unique_ptr<TgxTreeListColumn> column) {
    column->control_ = this;
    if (default_layout_ && column->band_index_ == -1 && bands_->Count() > 0)
        column->band_index_ = 0;
    columns_.push_back(std::move(column));
    ColumnChanged(nullptr);
}

std::unique_ptr<TgxTreeListColumn> TCustomgxTreeListControl::RemoveColumn(
    TgxTreeListColumn* column) {
    auto it = std::find_if(columns_.begin(), columns_.end(),
                           [column](const auto& p) { return p.get() == column; });
    if (it == columns_.end())
        return nullptr;
    int index = static_cast<int>(it - columns_.begin());
    if (!IsDestroying()) {
        CancelHeaderMouseOperation();
        EndEditBeforeColumnChange(column, true);
    }
    if (!IsDestroying()) {
        // The column's texts leave every node, so later columns keep theirs.
        for (int i = 0; i < Count(); ++i)
            DeleteColumnValue(Items(i), index);
    }
    std::unique_ptr<TgxTreeListColumn> owned = std::move(*it);
    columns_.erase(it);
    owned->control_ = nullptr;
    RemoveSortedColumn(owned.get());
    if (!IsDestroying())
        ColumnChanged(nullptr);
    return owned;
}

void TCustomgxTreeListControl::EndEditBeforeColumnChange(const TgxTreeListColumn* column,
                                                         bool removed) {
    if (State() != tsEditing || EditNode() == nullptr)
        return;
    int bound = GetVisibleColumnIndex(EditColumn());
    if (removed && bound >= 0 && Columns(bound) == column) {
        CancelEditor();
        return;
    }
    HideEditor();
    // A text the editor refuses cannot be kept bound to a position that is about to name
    // another column.
    if (State() == tsEditing)
        CancelEditor();
}

void TCustomgxTreeListControl::CancelHeaderMouseOperation() {
    // The operation names its column or band by index, which now names another one: a
    // release must not size or move that one.
    switch (State()) {
        case tsColumnDown:
        case tsColumnSizing:
        case tsColumnDragging:
        case tsBandDown:
        case tsBandSizing:
        case tsBandDragging:
            CancelMode();
            break;
        default:
            break;
    }
}

void TCustomgxTreeListControl::DestroyColumns() {
    BeginUpdate();
    while (!columns_.empty())
        RemoveColumn(columns_.back().get());
    EndUpdate();
}

void TCustomgxTreeListControl::RefreshColumnsDefaults() {
    ColumnChanged(nullptr);
}

void TCustomgxTreeListControl::ColumnChanged(TgxTreeListColumn*) {
    if (IsLoading())
        return;
    cache_valid_ = false;
    if (!normalizing_)
        NormalizeLayout();
    ColumnsLayoutChanged();
    LayoutChanged();
    if (IsCustomizing())
        RefreshCustomizingLists();
}

void TCustomgxTreeListControl::ForEachNode(const std::function<void(TgxTreeListNode*)>& fn) {
    std::function<void(TgxTreeListNode*)> walk = [&](TgxTreeListNode* n) {
        fn(n);
        for (int i = 0; i < n->Count(); ++i)
            walk(n->Items(i));
    };
    for (int i = 0; i < Count(); ++i)
        walk(Items(i));
}

void TCustomgxTreeListControl::ColumnMoved(int from, int to) {
    ForEachNode([from, to](TgxTreeListNode* n) {
        auto* text_node = dynamic_cast<TgxTreeListTextNode*>(n);
        if (text_node == nullptr)
            return;
        text_node->Texts.Move(static_cast<std::size_t>(from), static_cast<std::size_t>(to));
    });
    if (OnColumnMoved)
        OnColumnMoved(this, from, to);
}

void TCustomgxTreeListControl::BandsChanged() {
    cache_valid_ = false;
    if (IsCustomizing())
        RefreshCustomizingLists();
    if (IsAutoHeaderPanelHeight()) {
        BeginUpdate();
        NormalizeLayout();
        EndUpdate();
    } else {
        ColumnsLayoutChanged();
        LayoutChanged();
    }
}

void TCustomgxTreeListControl::RenumberAfterBandDeletion(int deleted) {
    for (auto& c : columns_) {
        if (c->band_index_ == deleted)
            c->band_index_ = -1;
        else if (c->band_index_ > deleted)
            --c->band_index_;
    }
    cache_valid_ = false;
}

void TCustomgxTreeListControl::NormalizeLayout() {
    if (normalizing_)
        return;
    normalizing_ = true;
    ClearCaches();
    cache_valid_ = false;
    for (auto& c : columns_)
        c->stored_row_index_ = std::clamp(c->stored_row_index_, 0, header_panel_row_count_ - 1);
    for (int b = 0; b < bands_->Count(); ++b) {
        if (!bands_->Items(b)->Visible())
            continue;
        auto in_band = [&](const TgxTreeListColumn& c) { return c.visible_ && c.band_index_ == b; };
        int last_used = -1;
        for (auto& c : columns_)
            if (in_band(*c))
                last_used = std::max(last_used, c->stored_row_index_);
        for (int r = last_used; r >= 0; --r) {
            bool used = std::any_of(columns_.begin(), columns_.end(), [&](const auto& c) {
                return in_band(*c) && c->stored_row_index_ == r;
            });
            if (used)
                continue;
            for (auto& c : columns_)
                if (in_band(*c) && c->stored_row_index_ > r)
                    --c->stored_row_index_;
        }
    }
    if (IsAutoHeaderPanelHeight() && !auto_sizing_header_) {
        int largest = 0;
        for (auto& c : columns_)
            if (IsColumnVisible(c->GetIndex()))
                largest = std::max(largest, c->stored_row_index_);
        auto_sizing_header_ = true;
        header_panel_row_count_ = std::clamp(largest + 1, 1, header_panel_max_row_count_);
        auto_sizing_header_ = false;
    }
    normalizing_ = false;
    if (UpdateLockCount() == 0) {
        RebuildVisibleNodeCache();
        RebuildLayoutCache();
    }
}

void TCustomgxTreeListControl::RebuildLayoutCache() {
    visible_bands_.clear();
    band_visible_index_.assign(static_cast<std::size_t>(bands_->Count()), -1);
    for (int b = 0; b < bands_->Count(); ++b)
        if (bands_->Items(b)->Visible()) {
            band_visible_index_[static_cast<std::size_t>(b)] =
                static_cast<int>(visible_bands_.size());
            visible_bands_.push_back(b);
        }
    band_rows_.assign(visible_bands_.size(), {});
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const TgxTreeListColumn& c = *columns_[i];
        if (c.band_index_ < 0 || c.band_index_ >= bands_->Count() || !c.visible_)
            continue;
        int vb = band_visible_index_[static_cast<std::size_t>(c.band_index_)];
        if (vb < 0)
            continue;
        auto& rows = band_rows_[static_cast<std::size_t>(vb)];
        std::size_t r = static_cast<std::size_t>(c.RowIndex());
        if (rows.size() <= r)
            rows.resize(r + 1);
        rows[r].push_back(static_cast<int>(i));
    }
    // Rows no visible column uses are dropped, so row numbers stay dense.
    for (auto& rows : band_rows_)
        rows.erase(
            std::remove_if(rows.begin(), rows.end(), [](const auto& r) { return r.empty(); }),
            rows.end());
    cache_valid_ = true;
}

void TCustomgxTreeListControl::EnsureCache() const {
    if (!cache_valid_)
        const_cast<TCustomgxTreeListControl*>(this)->RebuildLayoutCache();
}

std::vector<int> TCustomgxTreeListControl::BandRowColumns(int band, int row) const {
    EnsureCache();
    if (band < 0 || band >= static_cast<int>(band_visible_index_.size()))
        return {};
    int vb = band_visible_index_[static_cast<std::size_t>(band)];
    if (vb < 0)
        return {};
    const auto& rows = band_rows_[static_cast<std::size_t>(vb)];
    if (row < 0 || row >= static_cast<int>(rows.size()))
        return {};
    return rows[static_cast<std::size_t>(row)];
}

void TCustomgxTreeListControl::ColumnsLayoutChanged() {
    RebuildLayoutCache();
}

int TCustomgxTreeListControl::GetBandCount() const {
    EnsureCache();
    return static_cast<int>(visible_bands_.size());
}

int TCustomgxTreeListControl::VisibleBandAbsoluteIndex(int visible) const {
    EnsureCache();
    if (visible < 0 || visible >= static_cast<int>(visible_bands_.size()))
        return -1;
    return visible_bands_[static_cast<std::size_t>(visible)];
}

int TCustomgxTreeListControl::BandVisibleIndex(int band) const {
    EnsureCache();
    if (band < 0 || band >= static_cast<int>(band_visible_index_.size()))
        return -1;
    return band_visible_index_[static_cast<std::size_t>(band)];
}

namespace {
template <class F, class R>
R WithBand(const TCustomgxTreeListControl& c, int vb, R fallback, F f) {
    int b = c.VisibleBandAbsoluteIndex(vb);
    if (b < 0)
        return fallback;
    return f(*c.Bands().Items(b));
}
}  // namespace

int TCustomgxTreeListControl::GetBandWidth(int vb) const {
    return WithBand(*this, vb, 0, [](const TgxTreeListBand& b) { return b.Width(); });
}
int TCustomgxTreeListControl::GetBandMinWidth(int vb) const {
    return WithBand(*this, vb, 0, [](const TgxTreeListBand& b) { return b.MinWidth(); });
}
std::string TCustomgxTreeListControl::GetBandText(int vb) const {
    return WithBand(*this, vb, std::string(), [](const TgxTreeListBand& b) { return b.Caption(); });
}
TAlignment TCustomgxTreeListControl::GetBandAlignment(int vb) const {
    return WithBand(*this, vb, taCenter, [](const TgxTreeListBand& b) { return b.Alignment(); });
}
int TCustomgxTreeListControl::GetFixedLeftBand() const {
    return WithBand(*this, 0, -1,
                    [](const TgxTreeListBand& b) { return b.Fixed() == bfLeft ? 0 : -1; });
}
int TCustomgxTreeListControl::GetFixedRightBand() const {
    int last = GetBandCount() - 1;
    if (last < 0)
        return -1;
    return WithBand(*this, last, -1,
                    [last](const TgxTreeListBand& b) { return b.Fixed() == bfRight ? last : -1; });
}
bool TCustomgxTreeListControl::IsBandSizing(int vb) const {
    return WithBand(*this, vb, false, [](const TgxTreeListBand& b) { return b.Sizing(); });
}
bool TCustomgxTreeListControl::IsBandHeaderWidth() const {
    // In the default layout the one band is as wide as its columns.
    return default_layout_ || TCustomgxTreeList::IsBandHeaderWidth();
}

int TCustomgxTreeListControl::GetHeaderAbsoluteIndex(int vb, int row, int pos) const {
    std::vector<int> cols = BandRowColumns(VisibleBandAbsoluteIndex(vb), row);
    if (pos < 0 || pos >= static_cast<int>(cols.size()))
        return -1;
    return cols[static_cast<std::size_t>(pos)];
}
int TCustomgxTreeListControl::GetHeaderColCount(int vb, int row) const {
    return static_cast<int>(BandRowColumns(VisibleBandAbsoluteIndex(vb), row).size());
}
int TCustomgxTreeListControl::GetHeaderRowCount(int vb) const {
    EnsureCache();
    if (vb < 0 || vb >= static_cast<int>(band_rows_.size()))
        return 0;
    return std::min(static_cast<int>(band_rows_[static_cast<std::size_t>(vb)].size()),
                    header_panel_row_count_);
}

int TCustomgxTreeListControl::GetColumnWidth(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->Width() : 0;
}
int TCustomgxTreeListControl::GetColumnMinWidth(int c) const {
    TgxTreeListColumn* column = Columns(c);
    if (column == nullptr)
        return 0;
    return column->Sizing() ? column->MinWidth() : column->Width();
}
int TCustomgxTreeListControl::GetHeaderMaxLineCount(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->HeaderMaxLineCount() : 1;
}
bool TCustomgxTreeListControl::IsColumnMultiLine(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr && column->IsMultiLine();
}
std::string TCustomgxTreeListControl::GetHeaderText(int c) const {
    TgxTreeListColumn* column = Columns(c);
    if (column == nullptr || column->DisableCaption())
        return {};
    return column->Caption();
}
TAlignment TCustomgxTreeListControl::GetHeaderAlignment(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->HeaderAlignment() : taLeftJustify;
}
const QImage* TCustomgxTreeListControl::GetHeaderGlyph(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->HeaderGlyph() : nullptr;
}
TgxTreeListColumnSort TCustomgxTreeListControl::GetColumnSorted(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->Sorted() : csNone;
}
TAlignment TCustomgxTreeListControl::GetCellAlignment(const TgxTreeListNode*, int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->Alignment() : taLeftJustify;
}
ui::Color TCustomgxTreeListControl::GetColumnColor(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->GetColor() : GetColor();
}
const ui::TFont& TCustomgxTreeListControl::GetColumnFont(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr ? column->Font() : Font();
}
bool TCustomgxTreeListControl::IsColumnFontExplicit(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr && (column->AssignedValues() & cvFont) != 0;
}
bool TCustomgxTreeListControl::IsColumnVisible(int c) const {
    TgxTreeListColumn* column = Columns(c);
    if (column == nullptr || !column->Visible() || column->BandIndex() < 0)
        return false;
    if (column->BandIndex() >= bands_->Count())
        return false;
    return bands_->Items(column->BandIndex())->Visible();
}
bool TCustomgxTreeListControl::IsColumnSizing(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return column != nullptr && column->Sizing();
}
int TCustomgxTreeListControl::GetMinColumnCellHeight(int c) const {
    TgxTreeListColumn* column = Columns(c);
    int base = 0;
    if (IsColumnFontExplicit(c))
        base = GetRowLineHeight(Metrics().TextHeight(GetColumnFont(c)));
    return std::max(base, column != nullptr ? column->GetMinCellHeight() : 0);
}
bool TCustomgxTreeListControl::IsColumnListedInCustomizing(int c) const {
    TgxTreeListColumn* column = Columns(c);
    if (column == nullptr || column->DisableCustomizing())
        return false;
    if (!column->Visible() || column->BandIndex() < 0)
        return true;
    bool band_hidden =
        column->BandIndex() < bands_->Count() && !bands_->Items(column->BandIndex())->Visible();
    return band_hidden && ShowHiddenInCustomizeBox;
}

std::unique_ptr<TgxTreeListNode> TCustomgxTreeListControl::CreateNode() {
    return std::make_unique<TgxTreeListTextNode>(this);
}

std::string TCustomgxTreeListControl::GetNodeString(const TgxTreeListNode* node, int column) const {
    const auto* text_node = dynamic_cast<const TgxTreeListTextNode*>(node);
    if (text_node == nullptr)
        return {};
    const auto& texts = text_node->Texts;
    if (column < 0 || column >= static_cast<int>(texts.size()))
        return {};
    return std::string(texts[static_cast<std::size_t>(column)]);
}

Value TCustomgxTreeListControl::GetNodeValue(const TgxTreeListNode* node, int column) const {
    return Value(GetNodeString(node, column));
}

void TCustomgxTreeListControl::SetNodeString(TgxTreeListNode* node, int column,
                                             std::string_view text) {
    auto* text_node = dynamic_cast<TgxTreeListTextNode*>(node);
    if (column < 0 || text_node == nullptr)
        return;
    text_node->Texts.Set(static_cast<std::size_t>(column), text);
    if (UpdateLockCount() == 0)
        InvalidateRow(node);
}

void TCustomgxTreeListControl::DeleteColumnValue(TgxTreeListNode* node, int index) {
    auto* text = dynamic_cast<TgxTreeListTextNode*>(node);
    if (text != nullptr && index >= 0 && static_cast<int>(text->Texts.size()) > index)
        text->Texts.erase(static_cast<std::size_t>(index));
    TCustomgxTreeList::DeleteColumnValue(node, index);
}

int TCustomgxTreeListControl::GetNodeImageIndex(const TgxTreeListNode* node) const {
    const auto* t = dynamic_cast<const TgxTreeListTextNode*>(node);
    return t != nullptr ? t->ImageIndexValue : -1;
}
int TCustomgxTreeListControl::GetNodeSelectedIndex(const TgxTreeListNode* node) const {
    const auto* t = dynamic_cast<const TgxTreeListTextNode*>(node);
    return t != nullptr ? t->SelectedIndexValue : -1;
}
int TCustomgxTreeListControl::GetNodeStateIndex(const TgxTreeListNode* node) const {
    const auto* t = dynamic_cast<const TgxTreeListTextNode*>(node);
    return t != nullptr ? t->StateIndexValue : -1;
}
void TCustomgxTreeListControl::SetNodeImageIndexes(TgxTreeListNode* node, int image, int selected,
                                                   int state) {
    auto* t = dynamic_cast<TgxTreeListTextNode*>(node);
    if (t == nullptr)
        return;
    bool changed = t->ImageIndexValue != image || t->SelectedIndexValue != selected ||
                   t->StateIndexValue != state;
    t->ImageIndexValue = image;
    t->SelectedIndexValue = selected;
    t->StateIndexValue = state;
    if (changed)
        InvalidateRow(node);
}

Value TCustomgxTreeListControl::GetNodeCompareValue(const TgxTreeListNode* node, int column) const {
    return GetNodeValue(node, column);
}

std::unique_ptr<TgxInplaceEdit> TCustomgxTreeListControl::CreateEditor() {
    TgxTreeListColumn* column = Columns(GetVisibleColumnIndex(GetFocusedColumn()));
    TgxInplaceEditClass kind =
        column != nullptr ? column->GetEditorClass() : TgxTreeListColumn().GetEditorClass();
    return kind.create(viewport());
}

TgxInplaceEdit* TCustomgxTreeListControl::FindEditor() {
    TgxTreeListColumn* column = Columns(GetVisibleColumnIndex(GetFocusedColumn()));
    if (!editor_ || column == nullptr)
        return editor_.get();
    TgxInplaceEditClass kind = column->GetEditorClass();
    const TgxInplaceEdit& current = *editor_;
    if (std::type_index(typeid(current)) == kind.type)
        return editor_.get();
    // Another kind is needed: park the current one for its own kind and look for a match.
    CloseEditor(false);
    editors_.push_back(std::move(editor_));
    for (auto it = editors_.begin(); it != editors_.end(); ++it) {
        const TgxInplaceEdit& parked = **it;
        if (std::type_index(typeid(parked)) == kind.type) {
            editor_ = std::move(*it);
            editors_.erase(it);
            return editor_.get();
        }
    }
    return nullptr;
}

void TCustomgxTreeListControl::DoEditing(TgxTreeListNode* node, bool& allow) {
    TCustomgxTreeList::DoEditing(node, allow);
    if (!allow)
        return;
    TgxTreeListColumn* column = Columns(GetVisibleColumnIndex(GetFocusedColumn()));
    if (column != nullptr)
        allow = column->CanShowEditor();
}

bool TCustomgxTreeListControl::CanEditModify() {
    TgxTreeListColumn* column = Columns(GetVisibleColumnIndex(GetFocusedColumn()));
    return column != nullptr && !column->ReadOnly();
}

void TCustomgxTreeListControl::ApplyBestFit(TgxTreeListColumn* column) {
    if (column == nullptr) {
        BeginUpdate();
        for (auto& c : columns_)
            ApplyBestFit(c.get());
        EndUpdate();
        return;
    }
    if (!column->Sizing())
        return;
    const ui::TextMetrics& m = Metrics();
    int zero = m.TextWidth(Font(), "0");
    int widest = column->CalcTextWidth(m, Font(), column->Caption());
    int index = column->GetIndex();
    bool indent_column = GetVisibleColumnIndex(0) == index;
    ForEachNode([&](TgxTreeListNode* n) {
        int w = column->CalcTextWidth(m, column->Font(), GetCellText(n, index));
        if (indent_column) {
            int image_left = 0, text_left = 0;
            GetNodeIndent(n, image_left, text_left);
            w += text_left;
        }
        widest = std::max(widest, w);
    });
    column->SetWidth(widest + 2 * zero);
}

void TCustomgxTreeListControl::SetColumnWidthFromSizing(int c, int width) {
    TgxTreeListColumn* column = Columns(c);
    if (column == nullptr || !column->Sizing())
        return;
    column->width_ = std::max(width, column->MinWidth());
    column->assigned_ |= cvWidth;
}

void TCustomgxTreeListControl::SetVisibleBandWidth(int vb, int width) {
    int b = VisibleBandAbsoluteIndex(vb);
    if (b >= 0)
        bands_->Items(b)->SetWidth(width);
}

TgxTreeListColumn* TCustomgxTreeListControl::GetColumnAt(int x, int y) const {
    TDrawInfo info;
    CalcDrawInfo(info);
    if (info.header_panel.IsEmpty())
        return nullptr;
    for (const THeaderCellInfo& hc : info.header_cells)
        if (hc.clip.Contains({x, y}))
            return Columns(hc.column);
    return nullptr;
}

void TCustomgxTreeListControl::EndSorting() {
    if (sort_lock_ <= 0)
        return;
    if (--sort_lock_ == 0)
        UpdateSortedColumns();
}

void TCustomgxTreeListControl::ClearSorting() {
    // The marks go with the list, so no header shows a sort that no longer exists.
    for (TgxTreeListColumn* c : sorted_columns_)
        c->sorted_ = csNone;
    sorted_columns_.clear();
}

TgxTreeListColumn* TCustomgxTreeListControl::GetSortedColumn(int index) const {
    if (index < 0 || index >= SortedColumnCount())
        return nullptr;
    return sorted_columns_[static_cast<std::size_t>(index)];
}

bool TCustomgxTreeListControl::SortedColumnDesc(int index) const {
    TgxTreeListColumn* c = GetSortedColumn(index);
    return c != nullptr && c->Sorted() == csDown;
}

int TCustomgxTreeListControl::SortedColumnIndex(int index) const {
    TgxTreeListColumn* c = GetSortedColumn(index);
    return c != nullptr ? c->GetIndex() : -1;
}

void TCustomgxTreeListControl::AddSortedColumn(TgxTreeListColumn* column) {
    if (std::find(sorted_columns_.begin(), sorted_columns_.end(), column) == sorted_columns_.end())
        sorted_columns_.push_back(column);
}

void TCustomgxTreeListControl::RemoveSortedColumn(TgxTreeListColumn* column) {
    sorted_columns_.erase(std::remove(sorted_columns_.begin(), sorted_columns_.end(), column),
                          sorted_columns_.end());
}

bool TCustomgxTreeListControl::DoColumnSorting(TgxTreeListColumn* column) {
    bool allow = true;
    if (OnColumnSorting)
        OnColumnSorting(this, column, allow);
    return allow;
}

void TCustomgxTreeListControl::RebuildSortedColumns() {
    sorted_columns_.clear();
    for (auto& c : columns_)
        if (c->Sorted() != csNone)
            sorted_columns_.push_back(c.get());
    std::stable_sort(sorted_columns_.begin(), sorted_columns_.end(),
                     [](const TgxTreeListColumn* a, const TgxTreeListColumn* b) {
                         return a->StoredSortOrder() < b->StoredSortOrder();
                     });
}

void TCustomgxTreeListControl::DoHeaderClick(int index) {
    TgxTreeListColumn* column = Columns(index);
    if (column == nullptr)
        return;
    if (OnHeaderClick)
        OnHeaderClick(this, column);
    if (!IsAutoSort() || !DoColumnSorting(column))
        return;
    // Shift adds the column to the sort, Ctrl takes it out; both only for this click.
    bool saved_add = add_to_sort_;
    add_to_sort_ = add_to_sort_ || HeaderClickShift();
    try {
        if (clear_sort_ || HeaderClickCtrl())
            column->SetSorted(csNone);
        else
            column->SetSorted(column->Sorted() == csUp ? csDown : csUp);
    } catch (...) {
        add_to_sort_ = saved_add;
        throw;
    }
    add_to_sort_ = saved_add;
}

std::vector<std::pair<int, bool>> TCustomgxTreeListControl::SortColumns() const {
    std::vector<std::pair<int, bool>> keys;
    for (const TgxTreeListColumn* c : sorted_columns_)
        keys.emplace_back(c->GetIndex(), c->Sorted() == csDown);
    return keys;
}

void TCustomgxTreeListControl::Loaded() {
    SetLoading(false);
    LayoutChanged();
    NormalizeLayout();
    RebuildSortedColumns();
}

bool TCustomgxTreeListControl::HasCustomDrawCell(int c) const {
    TgxTreeListColumn* column = Columns(c);
    return static_cast<bool>(OnCustomDrawCell) ||
           (column != nullptr && column->HasCustomDrawCell());
}

void TCustomgxTreeListControl::DoCustomDrawCell(ui::TCanvas& canvas, const ui::Rect& r,
                                                const TgxTreeListNode* node, int c, bool selected,
                                                bool focused, bool new_item, std::string& text,
                                                ui::Color& color, ui::TFont& font,
                                                TAlignment& alignment, bool& done) {
    TgxTreeListColumn* column = Columns(c);
    if (OnCustomDrawCell)
        OnCustomDrawCell(this, canvas, r, node, column, selected, focused, new_item, text, color,
                         font, alignment, done);
    bool group = node != nullptr && GetNodeHasChildrenQuery(node);
    if (!done && column != nullptr && !group && (!new_item || QueryInsertState()))
        column->DoCustomDrawCell(canvas, r, node, selected, focused, new_item, text, color, font,
                                 alignment, done);
}

bool TCustomgxTreeListControl::HasCustomDrawHeader() const {
    if (OnCustomDrawColumnHeader)
        return true;
    return std::any_of(columns_.begin(), columns_.end(), [](const auto& c) {
        return static_cast<bool>(c->OnCustomDrawColumnHeader);
    });
}

void TCustomgxTreeListControl::DoCustomDrawHeader(int c, ui::TCanvas& canvas, const ui::Rect& r,
                                                  std::string& text, ui::Color& color,
                                                  ui::TFont& font, TAlignment& alignment,
                                                  TgxTreeListColumnSort& sorted, bool& done) {
    TgxTreeListColumn* column = Columns(c);
    if (OnCustomDrawColumnHeader)
        OnCustomDrawColumnHeader(this, column, canvas, r, text, color, font, alignment, sorted,
                                 done);
    if (!done && column != nullptr && column->OnCustomDrawColumnHeader)
        column->OnCustomDrawColumnHeader(this, column, canvas, r, text, color, font, alignment,
                                         sorted, done);
}

void TCustomgxTreeListControl::DoCustomDrawBand(int vb, ui::TCanvas& canvas, const ui::Rect& r,
                                                std::string& text, ui::Color& color,
                                                ui::TFont& font, TAlignment& alignment,
                                                bool& done) {
    if (OnCustomDrawBand)
        OnCustomDrawBand(this, VisibleBandAbsoluteIndex(vb), canvas, r, text, color, font,
                         alignment, done);
}

void TCustomgxTreeListControl::DoCustomDrawFooter(ui::TCanvas& canvas, const ui::Rect& r,
                                                  const TgxTreeListNode* node, int c, int level,
                                                  int footer_index, std::string& text,
                                                  ui::Color& color, ui::TFont& font,
                                                  TAlignment& alignment, bool& done) {
    TgxTreeListColumn* column = Columns(c);
    if (level == -1) {
        if (OnCustomDrawFooter)
            OnCustomDrawFooter(this, canvas, r, node, column, text, color, font, alignment, done);
    } else if (OnCustomDrawFooterNode) {
        OnCustomDrawFooterNode(this, canvas, r, node, column, footer_index, text, color, font,
                               alignment, done);
    }
}

void TCustomgxTreeListControl::DoCustomDrawPreview(ui::TCanvas& canvas, const ui::Rect& r,
                                                   const TgxTreeListNode* node, bool selected,
                                                   std::string& text, ui::Color& color,
                                                   ui::Color& text_color, ui::TFont& font,
                                                   bool& done) {
    if (OnCustomDrawPreview)
        OnCustomDrawPreview(this, canvas, r, node, selected, text, done);
    if (!done && OnCustomDrawPreviewCell)
        OnCustomDrawPreviewCell(this, canvas, r, node, selected, text, color, text_color, font,
                                done);
}

bool TCustomgxTreeListControl::IsExistFooterCell(int c) const {
    bool exist = TCustomgxTreeList::IsExistFooterCell(c);
    if (OnIsExistFooterCell)
        OnIsExistFooterCell(const_cast<TCustomgxTreeListControl*>(this), c, exist);
    return exist;
}

void TCustomgxTreeListControl::HideColumn(TgxTreeListColumn* column) {
    if (column == nullptr)
        return;
    column->SetVisible(false);
    if (OnHideHeader)
        OnHideHeader(this, column);
    RefreshCustomizingLists();
}

void TCustomgxTreeListControl::ShowColumnAt(TgxTreeListColumn* column, int vb, int row,
                                            int position) {
    if (column == nullptr)
        return;
    BeginUpdate();
    column->SetBandIndex(VisibleBandAbsoluteIndex(vb));
    column->SetVisible(true);
    column->SetRowIndex(row);
    column->SetColIndex(position);
    EndUpdate();
    if (OnShowHeader)
        OnShowHeader(this, column, position, row, vb);
    RefreshCustomizingLists();
}

}  // namespace grid
