#include "engine/sql/source_table.h"

#include "engine/sql/statement_tables.h"
#include "engine/storage/storage_utils.h"

namespace strata {

namespace {

std::size_t LastSeparator(std::string_view name) {
    return name.find_last_of("/\\");
}

}  // namespace

bool HasDirectoryPart(std::string_view name) {
    return LastSeparator(name) != std::string_view::npos;
}

std::string FileNamePart(std::string_view name) {
    const std::size_t at = LastSeparator(name);
    return std::string(at == std::string_view::npos ? name : name.substr(at + 1));
}

std::string DirectoryPart(std::string_view name) {
    const std::size_t at = LastSeparator(name);
    return std::string(at == std::string_view::npos ? std::string_view{} : name.substr(0, at));
}

TSourceTable::TSourceTable(TDataQuery& owner) : owner_(&owner) {}

TSourceTable::~TSourceTable() = default;

void TSourceTable::SetReference(std::string_view text, bool in_memory) {
    InMemory = in_memory;
    if (in_memory) {
        DatabaseName = kMemoryDatabase;
        TableName = ShortString(FileNamePart(text));
    } else if (HasDirectoryPart(text)) {
        DatabaseName = ShortString(DirectoryPart(text));
        TableName = ShortString(FileNamePart(text));
    } else {
        DatabaseName.clear();
        TableName = ShortString(text);
    }
    CorrelationName = ShortString(RemoveFileExt(TableName));
}

}  // namespace strata
