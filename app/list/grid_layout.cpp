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
    for (GridColumnState& column : layout.columns) {
        column.Visible = ini.ReadBool(column.name, "Visible", column.Visible);
        column.Index = ini.ReadInteger(column.name, "Index", column.Index);
        if (!limit_db_cache)
            column.GroupIndex = ini.ReadInteger(column.name, "GroupIndex", column.GroupIndex);
        column.Width = ini.ReadInteger(column.name, "Width", column.Width);
        if (!limit_db_cache)
            column.Sorted = ini.ReadInteger(column.name, "Sorted", column.Sorted);
        else if (column.name == "gxDBGrid1Item")
            column.Sorted = 1;
    }
}

}  // namespace app
