#include "app/list/grid_layout.h"

#include "platform/config/errors.h"
#include "platform/config/reg_ini_file.h"

namespace app {

bool SaveGridLayout(std::string_view key, const GridLayout& layout) {
    try {
        platform::config::TRegIniFile ini(key);
        ini.WriteBool("", "ShowGroupPanel", layout.ShowGroupPanel);
        ini.WriteBool("", "FlatStyle", layout.FlatStyle);
        ini.WriteBool("", "AutoWidth", layout.AutoWidth);
        ini.WriteBool("", "AutoPreview", layout.AutoPreview);
        for (const GridColumnState& column : layout.columns) {
            ini.WriteBool(column.name, "Visible", column.Visible);
            ini.WriteInteger(column.name, "Index", column.Index);
            ini.WriteInteger(column.name, "GroupIndex", column.GroupIndex);
            ini.WriteInteger(column.name, "Width", column.Width);
            ini.WriteInteger(column.name, "Sorted", column.Sorted);
        }
        ini.CloseKey();
        return true;
    } catch (const platform::config::ERegistryException&) {
        return false;
    }
}

void LoadGridLayout(std::string_view key, GridLayout& layout, bool limit_db_cache) {
    platform::config::TRegIniFile ini(key);
    // A value stored as another type is malformed: the column keeps its current value, and
    // the other values (and the rest of the start) still load.
    auto integer = [&ini](const std::string& section, std::string_view ident,
                          std::int32_t current) {
        try {
            return ini.ReadInteger(section, ident, current);
        } catch (const platform::config::ERegistryException&) {
            return current;
        }
    };
    for (GridColumnState& column : layout.columns) {
        try {
            column.Visible = ini.ReadBool(column.name, "Visible", column.Visible);
        } catch (const platform::config::ERegistryException&) {
            // Keeps the column's current visibility.
        }
        column.Index = integer(column.name, "Index", column.Index);
        if (!limit_db_cache)
            column.GroupIndex = integer(column.name, "GroupIndex", column.GroupIndex);
        column.Width = integer(column.name, "Width", column.Width);
        if (!limit_db_cache)
            column.Sorted = integer(column.name, "Sorted", column.Sorted);
        else if (column.name == "gxDBGrid1Item")
            column.Sorted = 1;
    }
}

}  // namespace app
