#include "grid/data/db_grid.h"
#include "grid/export/grid_export.h"

namespace grid {

void TCustomgxDBGrid::SaveToXLS(std::string_view file_name, bool save_all) {
    ExportGridToExcel(this, file_name, save_all);
}

void TCustomgxDBGrid::SaveToHTML(std::string_view file_name, bool save_all) {
    ExportGridToHTML(this, file_name, save_all);
}

}  // namespace grid
