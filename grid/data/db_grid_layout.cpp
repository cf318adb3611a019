// Saving and loading the grid's layout in the registry or an INI file.
//
// Layout schema (Base = the registry path or INI section, without a trailing "\"; in an INI
// file every key path is a section name; every value is text, integers in decimal, booleans
// "0"/"1"):
//   Base                       ShowGroupPanel, ShowNewItemRow, ShowGrid, ShowPreviewGrid,
//                              ShowRowFooter, ShowSummaryFooter (booleans), BandRowCount,
//                              DefaultRowHeight, HeaderPanelRowCount (-1: automatic)
//   Base\Band\Band<n>          ID, Visible, Index, Width          (n = band position from 0)
//   Base\Columns\<name>        BandIndex, RowIndex, ColIndex (written only), Visible, Index,
//                              GroupIndex, Width, Sorted (0 none, 1 down, 2 up), SortedOrder
//                              (-1 when not sorted), StoredRowIndex

#include <algorithm>
#include <map>

#include "grid/data/db_grid.h"
#include "grid/data/db_grid_internal.h"
#include "platform/config/ini_file.h"
#include "platform/config/reg_ini_file.h"

namespace grid {

namespace {

// One store for both kinds of layout storage; the caller owns the storage object.
class TRegIniWrapper {
  public:
    explicit TRegIniWrapper(platform::config::TIniFile* ini) : ini_(ini) {}
    explicit TRegIniWrapper(platform::config::TRegIniFile* reg) : reg_(reg) {}

    std::int32_t ReadInteger(const std::string& section, std::string_view ident,
                             std::int32_t default_value) {
        if (ini_ != nullptr)
            return ini_->ReadInteger(section, ident, default_value);
        return reg_->ReadInteger(section, ident, default_value);
    }
    void WriteInteger(const std::string& section, std::string_view ident, std::int32_t value) {
        if (ini_ != nullptr)
            ini_->WriteInteger(section, ident, value);
        else
            reg_->WriteInteger(section, ident, value);
    }
    bool ReadBool(const std::string& section, std::string_view ident, bool default_value) {
        return ReadInteger(section, ident, default_value ? 1 : 0) != 0;
    }
    void WriteBool(const std::string& section, std::string_view ident, bool value) {
        WriteInteger(section, ident, value ? 1 : 0);
    }
    std::vector<std::string> ReadSections() {
        return ini_ != nullptr ? ini_->ReadSections() : reg_->ReadSections();
    }
    void EraseSection(const std::string& section) {
        if (ini_ != nullptr)
            ini_->EraseSection(section);
        else
            reg_->EraseSection(section);
    }

  private:
    platform::config::TIniFile* ini_ = nullptr;
    platform::config::TRegIniFile* reg_ = nullptr;
};

std::string StripTrailingSlash(std::string_view path) {
    std::string base(path);
    while (!base.empty() && base.back() == '\\')
        base.pop_back();
    return base;
}

std::string StripLeadingSlash(std::string_view path) {
    std::string base(path);
    while (!base.empty() && base.front() == '\\')
        base.erase(base.begin());
    return base;
}

int SortedToStored(TgxTreeListColumnSort sorted) {
    switch (sorted) {
        case csDown:
            return 1;
        case csUp:
            return 2;
        default:
            return 0;
    }
}

TgxTreeListColumnSort StoredToSorted(int value) {
    switch (value) {
        case 1:
            return csDown;
        case 2:
            return csUp;
        default:
            return csNone;
    }
}

// No width or row height a user can drag out comes near this; a larger stored one is damage,
// and summed over the columns it would overflow the geometry.
constexpr std::int32_t kMaxLayoutPixels = 32767;

// A stored size beyond what a user can set reads as the current value, as text that is not a
// number does.
std::int32_t ReadPixels(TRegIniWrapper& store, const std::string& section, std::string_view ident,
                        std::int32_t current) {
    const std::int32_t value = store.ReadInteger(section, ident, current);
    return value > kMaxLayoutPixels ? current : value;
}

bool AnyColumnShown(const TCustomgxDBGrid& grid) {
    for (int i = 0; i < grid.ColumnCount(); ++i)
        if (grid.IsColumnVisible(i))
            return true;
    return false;
}

}  // namespace

class TCustomgxDBGrid::LayoutStore {
  public:
    static void Save(TCustomgxDBGrid& grid, TRegIniWrapper& store, std::string_view path,
                     bool erase) {
        const std::string base = StripTrailingSlash(path);
        if (erase) {
            const std::string prefix = base + "\\";
            for (const std::string& section : store.ReadSections())
                if (section == base || section.compare(0, prefix.size(), prefix) == 0)
                    store.EraseSection(section);
        }
        store.WriteBool(base, "ShowGroupPanel", grid.ShowGroupPanel());
        store.WriteBool(base, "ShowNewItemRow", grid.ShowNewItemRow());
        store.WriteBool(base, "ShowGrid", grid.ShowGrid());
        store.WriteBool(base, "ShowPreviewGrid", grid.ShowPreviewGrid());
        store.WriteBool(base, "ShowRowFooter", grid.ShowRowFooter());
        store.WriteBool(base, "ShowSummaryFooter", grid.ShowSummaryFooter());
        store.WriteInteger(base, "BandRowCount", grid.BandRowCount());
        store.WriteInteger(base, "DefaultRowHeight", grid.DefaultRowHeight());
        store.WriteInteger(
            base, "HeaderPanelRowCount",
            (grid.OptionsEx() & egoAutoHeaderPanelHeight) ? -1 : grid.HeaderPanelRowCount());
        for (int n = 0; n < grid.Bands().Count(); ++n) {
            TgxTreeListBand* band = grid.Bands().Items(n);
            const std::string section = base + "\\Band\\Band" + std::to_string(n);
            store.WriteInteger(section, "ID", static_cast<std::int32_t>(band->ID()));
            store.WriteBool(section, "Visible", band->Visible());
            store.WriteInteger(section, "Index", static_cast<std::int32_t>(band->Index()));
            store.WriteInteger(section, "Width", band->Width());
        }
        for (int i = 0; i < grid.ColumnCount(); ++i) {
            TgxDBTreeListColumn* c = grid.GetColumn(i);
            if (c == nullptr || c->Name().empty())
                continue;
            const std::string section = base + "\\Columns\\" + c->Name();
            int sorted_order = -1;
            for (int k = 0; k < grid.SortedColumnCount(); ++k)
                if (grid.GetSortedColumn(k) == c)
                    sorted_order = k;
            store.WriteInteger(section, "BandIndex", c->BandIndex());
            store.WriteInteger(section, "RowIndex", c->RowIndex());
            store.WriteInteger(section, "ColIndex", c->ColIndex());
            store.WriteBool(section, "Visible", c->Visible());
            store.WriteInteger(section, "Index", i);
            store.WriteInteger(section, "GroupIndex", c->GroupIndex());
            store.WriteInteger(section, "Width", c->Width());
            store.WriteInteger(section, "Sorted", SortedToStored(c->Sorted()));
            store.WriteInteger(section, "SortedOrder", sorted_order);
            store.WriteInteger(section, "StoredRowIndex", c->StoredRowIndex());
        }
    }

    static void Load(TCustomgxDBGrid& grid, TRegIniWrapper& store, std::string_view path) {
        const std::string base = StripTrailingSlash(path);
        const bool multi_sort = (grid.OptionsEx() & egoMultiSort) != 0;
        grid.BeginUpdate();
        grid.BeginGrouping();
        if (multi_sort)
            grid.BeginSorting();
        // The stored marks come back together: none of them takes the others away.
        const bool adding_to_sort = grid.AddToSortFlag();
        grid.SetAddToSortFlag(true);
        try {
            grid.SetShowGroupPanel(store.ReadBool(base, "ShowGroupPanel", grid.ShowGroupPanel()));
            grid.SetShowNewItemRow(store.ReadBool(base, "ShowNewItemRow", grid.ShowNewItemRow()));
            grid.SetShowGrid(store.ReadBool(base, "ShowGrid", grid.ShowGrid()));
            grid.SetShowPreviewGrid(
                store.ReadBool(base, "ShowPreviewGrid", grid.ShowPreviewGrid()));
            grid.SetShowRowFooter(store.ReadBool(base, "ShowRowFooter", grid.ShowRowFooter()));
            grid.SetShowSummaryFooter(
                store.ReadBool(base, "ShowSummaryFooter", grid.ShowSummaryFooter()));
            grid.SetBandRowCount(store.ReadInteger(base, "BandRowCount", grid.BandRowCount()));
            int row_height = ReadPixels(store, base, "DefaultRowHeight", grid.DefaultRowHeight());
            if (row_height != grid.DefaultRowHeight())
                grid.SetDefaultRowHeight(row_height);
            int panel_rows =
                store.ReadInteger(base, "HeaderPanelRowCount", grid.HeaderPanelRowCount());
            if (panel_rows != -1)
                grid.SetHeaderPanelRowCount(panel_rows);

            // What the layout shows now, to go back to should the stored bands or band
            // indexes leave no column to show.
            const bool shown_before = AnyColumnShown(grid);
            std::vector<std::pair<TgxTreeListBand*, bool>> band_visible;
            for (int n = 0; n < grid.Bands().Count(); ++n)
                band_visible.emplace_back(grid.Bands().Items(n), grid.Bands().Items(n)->Visible());
            std::vector<std::pair<int, TgxTreeListBand*>> bands;
            for (int n = 0; n < grid.Bands().Count(); ++n) {
                const std::string section = base + "\\Band\\Band" + std::to_string(n);
                int id = store.ReadInteger(section, "ID", -1);
                if (id == -1)
                    continue;
                auto* band = static_cast<TgxTreeListBand*>(grid.Bands().FindItemID(id));
                if (band == nullptr)
                    continue;
                band->SetVisible(store.ReadBool(section, "Visible", band->Visible()));
                band->SetWidth(ReadPixels(store, section, "Width", band->Width()));
                bands.emplace_back(
                    store.ReadInteger(section, "Index", static_cast<int>(band->Index())), band);
            }
            std::stable_sort(bands.begin(), bands.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            for (std::size_t k = 0; k < bands.size(); ++k)
                bands[k].second->SetIndex(static_cast<std::int64_t>(k));

            // A layout that would hide every column is damaged (no user can hide the last
            // one): the columns keep their visibility then, so that the grid stays usable.
            bool any_visible = grid.ColumnCount() == 0;
            for (int i = 0; i < grid.ColumnCount() && !any_visible; ++i) {
                TgxDBTreeListColumn* c = grid.GetColumn(i);
                if (c != nullptr)
                    any_visible = c->Name().empty()
                                      ? c->Visible()
                                      : store.ReadBool(base + "\\Columns\\" + c->Name(), "Visible",
                                                       c->Visible());
            }
            std::vector<std::pair<int, TgxDBTreeListColumn*>> columns;
            for (int i = 0; i < grid.ColumnCount(); ++i) {
                TgxDBTreeListColumn* c = grid.GetColumn(i);
                if (c == nullptr || c->Name().empty())
                    continue;
                const std::string section = base + "\\Columns\\" + c->Name();
                if (any_visible)
                    c->SetVisible(store.ReadBool(section, "Visible", c->Visible()));
                int group_index = store.ReadInteger(section, "GroupIndex", c->GroupIndex());
                c->SetWidth(ReadPixels(store, section, "Width", c->Width()));
                c->SetSorted(StoredToSorted(
                    store.ReadInteger(section, "Sorted", SortedToStored(c->Sorted()))));
                c->SetStoredSortOrder(store.ReadInteger(section, "SortedOrder", -1));
                if (group_index != c->GroupIndex())
                    c->SetGroupIndex(group_index);
                columns.emplace_back(store.ReadInteger(section, "Index", i), c);
            }
            std::stable_sort(columns.begin(), columns.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            for (std::size_t k = 0; k < columns.size(); ++k)
                columns[k].second->SetIndex(static_cast<int>(k));
            std::vector<std::pair<int, int>> places;
            for (int i = 0; i < grid.ColumnCount(); ++i) {
                TgxDBTreeListColumn* c = grid.GetColumn(i);
                places.emplace_back(c != nullptr ? c->BandIndex() : -1,
                                    c != nullptr ? c->RowIndex() : 0);
                if (c == nullptr || c->Name().empty())
                    continue;
                const std::string section = base + "\\Columns\\" + c->Name();
                c->SetBandIndex(store.ReadInteger(section, "BandIndex", c->BandIndex()));
                c->SetRowIndex(store.ReadInteger(section, "RowIndex", c->RowIndex()));
                c->SetStoredRowIndex(
                    store.ReadInteger(section, "StoredRowIndex", c->StoredRowIndex()));
            }
            grid.NormalizeLayout();
            // No user can take every column out of sight (as with hiding the last one): such
            // a layout is damaged, and the bands and band places stay as they were so that
            // the grid keeps a header and its rows.
            if (shown_before && !AnyColumnShown(grid)) {
                for (auto& [band, visible] : band_visible)
                    band->SetVisible(visible);
                for (int i = 0; i < grid.ColumnCount(); ++i)
                    if (TgxDBTreeListColumn* c = grid.GetColumn(i)) {
                        c->SetBandIndex(places[static_cast<std::size_t>(i)].first);
                        c->SetRowIndex(places[static_cast<std::size_t>(i)].second);
                    }
                grid.NormalizeLayout();
            }
            grid.SetAddToSortFlag(adding_to_sort);
            if (multi_sort) {
                grid.RebuildSortedColumns();
                grid.EndSorting();
            }
        } catch (...) {
            grid.SetAddToSortFlag(adding_to_sort);
            if (multi_sort)
                grid.EndSorting();
            grid.EndGrouping();
            grid.EndUpdate();
            throw;
        }
        grid.EndGrouping();
        grid.EndUpdate();
    }
};

void TCustomgxDBGrid::LoadFromRegistry(std::string_view path) {
    platform::config::TRegIniFile registry;
    const std::string key = StripTrailingSlash(StripLeadingSlash(path));
    if (!registry.KeyExists(key))
        return;
    TRegIniWrapper store(&registry);
    LayoutStore::Load(*this, store, key);
}

void TCustomgxDBGrid::SaveToRegistry(std::string_view path) {
    platform::config::TRegIniFile registry;
    TRegIniWrapper store(&registry);
    LayoutStore::Save(*this, store, StripLeadingSlash(path), false);
}

void TCustomgxDBGrid::LoadFromIniFile(std::string_view file_name) {
    platform::config::TIniFile ini(file_name);
    TRegIniWrapper store(&ini);
    std::string form = window() != nullptr && window() != this
                           ? window()->objectName().toStdString()
                           : parent_form_name_;
    if (form.empty())
        form = parent_form_name_;
    std::string section =
        !ini_section_name_.empty() ? ini_section_name_ : form + "_" + objectName().toStdString();
    LayoutStore::Load(*this, store, section);
}

void TCustomgxDBGrid::SaveToIniFile(std::string_view file_name) {
    platform::config::TIniFile ini(file_name);
    TRegIniWrapper store(&ini);
    std::string section = !ini_section_name_.empty()
                              ? ini_section_name_
                              : parent_form_name_ + "_" + objectName().toStdString();
    LayoutStore::Save(*this, store, section, true);
}

}  // namespace grid
