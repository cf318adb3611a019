#include "engine/sql/data_definition.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/engine_globals.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

[[noreturn]] void Fail(std::string_view message) {
    RaiseEngineError(kErrSql, {}, {}, {}, message);
}

// Names and texts that do not fit their descriptor place are refused: cut silently, two names
// could become one, and a default or limit would change its value.
void CheckLength(std::string_view text, std::size_t limit, std::string_view what) {
    if (text.size() > limit) {
        Fail(std::string(what) + " '" + std::string(text) + "' exceeds the maximum length of " +
             std::to_string(limit) + " characters");
    }
}

void ApplyColumnOptions(const TCreateField& field, FieldDescriptor& d, bool all) {
    if (all || field.DescriptionGiven) {
        CheckLength(field.Description, kMaxSqlOptionTextLength, "Column description");
        PutShortString(d, fd::kDescription, fd::kTextLength, field.Description);
    }
    if (all || field.RequiredGiven) {
        d[fd::kRequired] = field.Required ? 1 : 0;
    }
    if (all || field.CharCaseGiven) {
        d[fd::kCharCase] = field.CharCase;
    }
    if (all || field.DefaultGiven) {
        CheckLength(field.Default, kMaxSqlOptionTextLength, "Column default value");
        PutShortString(d, fd::kDefault, fd::kTextLength, field.Default);
    }
    if (all || field.MinimumGiven) {
        CheckLength(field.Minimum, kMaxSqlOptionTextLength, "Column minimum value");
        PutShortString(d, fd::kMinimum, fd::kTextLength, field.Minimum);
    }
    if (all || field.MaximumGiven) {
        CheckLength(field.Maximum, kMaxSqlOptionTextLength, "Column maximum value");
        PutShortString(d, fd::kMaximum, fd::kTextLength, field.Maximum);
    }
}

// Type, subtype, length and decimals of the column token as a descriptor under `number`.
FieldDescriptor TypedDescriptor(const TExpToken& column, std::string_view name,
                                std::uint16_t number) {
    std::uint8_t length = 0;
    std::uint8_t decimals = 0;
    switch (column.DataType) {
        case kTypeString:
            // The token's size holds the NUL.
            length = static_cast<std::uint8_t>(column.DataSize > 0 ? column.DataSize - 1 : 0);
            break;
        case kTypeBytes:
            length = static_cast<std::uint8_t>(column.DataSize);
            break;
        case kTypeBCD:
            decimals = column.Scale;
            break;
        default:
            break;
    }
    return MakeFieldDescriptor(number, name, column.DataType, column.SubType, length, decimals);
}

void CopyTypeInto(const FieldDescriptor& typed, FieldDescriptor& d) {
    for (const std::size_t at :
         {fd::kType, fd::kSubtype, fd::kLength, fd::kDecimals, fd::kDataSize, fd::kScale}) {
        d[at] = typed[at];
    }
}

std::ptrdiff_t FindColumn(const std::vector<FieldDescriptor>& fields, std::string_view name) {
    const auto found = std::find_if(fields.begin(), fields.end(), [&](const FieldDescriptor& d) {
        return platform::nls::SameTextAnsi(FieldName(d), name);
    });
    return found == fields.end() ? -1 : found - fields.begin();
}

// An AT position names a place among the columns as they stand when the item applies.
std::size_t AtIndex(const TCreateField& field, std::size_t count) {
    if (field.AtPosition < 1 || field.AtPosition > static_cast<std::int64_t>(count)) {
        Fail("AT column position must be between 1 and " + std::to_string(count));
    }
    return static_cast<std::size_t>(field.AtPosition - 1);
}

IndexDescriptor EmptyIndexDescriptor() {
    return IndexDescriptor{};
}

}  // namespace

FieldDescriptor MakeColumnDescriptor(const TCreateField& field, std::uint16_t number) {
    CheckLength(field.Name(), kMaxSqlNameLength, "Column name");
    FieldDescriptor d = TypedDescriptor(*field.Column, field.Name(), number);
    ApplyColumnOptions(field, d, true);
    return d;
}

IndexDescriptor MakeIndexDescriptor(const TCreateIndex& index,
                                    std::span<const FieldDescriptor> fields,
                                    std::string_view table) {
    CheckLength(index.Name, kMaxSqlNameLength, "Index name");
    if (index.Columns.size() > ixd::kMaxFields) {
        Fail("Maximum number of columns (" + std::to_string(ixd::kMaxFields) +
             ") in index exceeded");
    }
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, index.Name);
    d[ixd::kDescending] = index.Descending ? 1 : 0;
    d[ixd::kCaseInsensitive] = index.NoCase ? 1 : 0;
    d[ixd::kUnique] = index.Unique ? 1 : 0;
    d[ixd::kCompression] = index.Compression;
    d[ixd::kFieldCount] = static_cast<std::uint8_t>(index.Columns.size());
    for (std::size_t i = 0; i < index.Columns.size(); ++i) {
        const auto found =
            std::find_if(fields.begin(), fields.end(), [&](const FieldDescriptor& field) {
                return platform::nls::SameTextAnsi(FieldName(field), index.Columns[i]);
            });
        // A key column that names nothing would reach the engine as field 0.
        if (found == fields.end()) {
            RaiseEngineError(kErrInvalidField, table, index.Columns[i]);
        }
        d[ixd::kFieldDescending + i] = index.Descending ? 1 : 0;
        PutU16(d, ixd::kFieldNumbers + 2 * i, FieldNumber(*found));
    }
    return d;
}

TableDefinition MakeCreateTableDefinition(const TDataQuery& query) {
    TableDefinition definition;
    if (query.CreateFields.size() > kMaxQueryColumns) {
        RaiseEngineError(kErrFieldLimit, query.TableName);
    }
    std::uint16_t number = 0;
    for (const auto& field : query.CreateFields) {
        definition.fields.push_back(MakeColumnDescriptor(*field, ++number));
    }
    if (query.CreateIndexes.empty()) {
        definition.indexes.push_back(EmptyIndexDescriptor());
    } else {
        definition.indexes.push_back(
            MakeIndexDescriptor(*query.CreateIndexes.front(), definition.fields, query.TableName));
    }
    CheckLength(query.Description, kMaxEngineTextLength, "Table description");
    definition.description = query.Description;
    definition.password = query.Encrypted ? query.Password : std::string();
    definition.encrypted = query.Encrypted;
    definition.blob_block_size = query.BlobBlockSize;
    definition.language = query.TableLanguageID();
    definition.sort = query.TableSortID();
    definition.user_major = query.UserMajorVersion;
    definition.user_minor = query.UserMinorVersion;
    definition.last_auto_inc = -1;
    definition.allow_no_primary = true;
    return definition;
}

TableDefinition MakeAlterTableDefinition(const TDataQuery& query, const TableDefinition& current,
                                         bool has_primary) {
    TableDefinition definition = current;
    std::vector<FieldDescriptor>& fields = definition.fields;

    // New columns take numbers above every existing one, so that no old data lands in them.
    std::uint32_t next_number = 1;
    for (const FieldDescriptor& d : current.fields) {
        next_number = std::max<std::uint32_t>(next_number, FieldNumber(d) + 1u);
    }

    for (const auto& item : query.CreateFields) {
        const TCreateField& field = *item;
        if (field.Add) {
            if (next_number > 0xFFFF) {
                RaiseEngineError(kErrFieldLimit, query.TableName);
            }
            FieldDescriptor d =
                MakeColumnDescriptor(field, static_cast<std::uint16_t>(next_number));
            ++next_number;
            const std::size_t at = field.AtGiven ? AtIndex(field, fields.size()) : fields.size();
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), d);
        } else if (field.Redefine) {
            const std::string& old_name =
                field.PreviousName.empty() ? field.Name() : field.PreviousName;
            const std::ptrdiff_t found = FindColumn(fields, old_name);
            if (found < 0) {
                Fail("Column " + old_name + " not found");
            }
            FieldDescriptor d = fields[static_cast<std::size_t>(found)];
            if (field.TypeGiven) {
                CopyTypeInto(TypedDescriptor(*field.Column, field.Name(), FieldNumber(d)), d);
            }
            if (!field.PreviousName.empty()) {
                CheckLength(field.Name(), kMaxSqlNameLength, "Column name");
                PutShortString(d, fd::kName, fd::kNameLength, field.Name());
            }
            ApplyColumnOptions(field, d, false);
            fields.erase(fields.begin() + found);
            const std::size_t at =
                field.AtGiven ? AtIndex(field, fields.size() + 1) : static_cast<std::size_t>(found);
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), d);
        } else if (field.Drop) {
            const std::ptrdiff_t found = FindColumn(fields, field.Name());
            if (found < 0) {
                Fail("Column " + field.Name() + " not found");
            }
            fields.erase(fields.begin() + found);
        }
    }
    if (fields.size() > kMaxQueryColumns) {
        RaiseEngineError(kErrFieldLimit, query.TableName);
    }

    if (definition.indexes.empty()) {
        definition.indexes.push_back(EmptyIndexDescriptor());
    }
    for (const auto& item : query.CreateIndexes) {
        const TCreateIndex& index = *item;
        if (index.Drop) {
            definition.indexes.front() = EmptyIndexDescriptor();
            has_primary = false;
        } else {
            if (index.Add && has_primary) {
                Fail("Cannot REDEFINE the primary key using the ADD keyword");
            }
            TCreateIndex primary(index.Owner());
            primary.Descending = index.Descending;
            primary.Unique = index.Unique;
            primary.NoCase = index.NoCase;
            primary.Compression = index.Compression;
            primary.Columns = index.Columns;
            definition.indexes.front() = MakeIndexDescriptor(primary, fields, query.TableName);
            has_primary = true;
        }
    }

    if (query.EncryptedGiven) {
        definition.encrypted = query.Encrypted;
        definition.password = query.Encrypted ? query.Password : std::string();
    }
    if (query.LanguageGiven) {
        definition.language = query.LanguageID;
        // A new language without a sort takes that language's default order.
        definition.sort = query.SortGiven ? query.SortID : 0;
    } else if (query.SortGiven) {
        definition.sort = query.SortID;
    }
    if (query.BlobBlockSizeGiven) {
        definition.blob_block_size = query.BlobBlockSize;
    }
    if (query.DescriptionGiven) {
        CheckLength(query.Description, kMaxEngineTextLength, "Table description");
        definition.description = query.Description;
    }
    if (query.MajorVersionGiven) {
        definition.user_major = query.UserMajorVersion;
    }
    if (query.MinorVersionGiven) {
        definition.user_minor = query.UserMinorVersion;
    }
    definition.last_auto_inc = query.LastAutoInc;
    definition.allow_no_primary = true;
    return definition;
}

}  // namespace strata

#include "engine/core/table_restructure.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/statement_tables.h"

namespace strata {

namespace {

void ConfigureDefinitionCursor(TDataQuery& query, TDataCursor& cursor) {
    cursor.SetExclusive(true);
    cursor.SetTemporary(false);
    cursor.SetStatementOwned(false);
    const TDataQuery* main = query.Statement().MainQuery();
    if (main != nullptr && main->OnPassword) {
        cursor.SetPasswordHandler(main->OnPassword);
    }
}

}  // namespace

void ExecuteDefinition(TDataQuery& query) {
    std::string database;
    std::string table;
    SplitTableName(query.TableName, query.InMemory, database, table);
    StatementTable target(query.Statement(), database, table, query.InMemory);
    TDataCursor& cursor = *target.cursor;
    ConfigureDefinitionCursor(query, cursor);
    switch (query.Kind) {
        case kStatementCreateTable:
            cursor.CreateTable(MakeCreateTableDefinition(query), false);
            break;
        case kStatementCreateIndex: {
            cursor.Open();
            std::vector<FieldDescriptor> fields;
            for (std::uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) {
                fields.push_back(cursor.GetTableFieldDesc(n));
            }
            const IndexDescriptor index =
                MakeIndexDescriptor(*query.CreateIndexes.at(0), fields, query.TableName);
            cursor.AddIndex(index);
            cursor.Close();
            break;
        }
        case kStatementDropTable:
            cursor.DeleteTable();
            break;
        case kStatementDropIndex: {
            cursor.Open();
            const bool primary = platform::nls::SameTextAnsi(query.IndexName, "PRIMARY");
            cursor.DeleteIndex(primary ? std::string_view{} : std::string_view(query.IndexName),
                               true);
            cursor.Close();
            break;
        }
        case kStatementAlterTable: {
            cursor.Open();
            TableDefinition current;
            for (std::uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) {
                current.fields.push_back(cursor.GetTableFieldDesc(n));
            }
            // Slot 0 is the primary index, the secondary ones follow it.
            const bool has_primary = !cursor.HasNoPrimaryIndex();
            for (int slot = 0; slot <= cursor.GetIndexCount(); ++slot) {
                current.indexes.push_back(
                    slot == 0 && !has_primary
                        ? IndexDescriptor{}
                        : cursor.GetIndexDesc(static_cast<std::uint32_t>(slot)));
            }
            current.encrypted = cursor.IsEncrypted();
            current.password = current.encrypted ? cursor.GetTablePassword() : std::string();
            current.language = cursor.GetLanguageID();
            current.sort = cursor.GetSortID();
            current.blob_block_size = cursor.GetBlobBlockSize();
            current.description = cursor.GetDescription();
            current.user_major = cursor.GetUserMajorVersion();
            current.user_minor = cursor.GetUserMinorVersion();
            cursor.Close();
            RestructureOptions options;
            options.no_backup = query.NoBackup;
            // A column dropped or retyped loses values the statement asked to lose; a row that
            // cannot be carried over (a duplicate key, a NOT NULL or range rule it breaks) would
            // vanish unasked. Such a row stops the change, the table stays as it was, and the
            // row's own error goes to the caller.
            bool stopped = false;
            EngineErrorCode row_error = kErrDuplicateKey;
            std::string row_field;
            const auto data_lost = [&](int cause, std::string_view, bool& proceed, bool&) {
                if (cause == static_cast<int>(DataLostCause::FieldDropped) ||
                    cause == static_cast<int>(DataLostCause::ConversionFailed)) {
                    return;
                }
                proceed = false;
                stopped = true;
                if ((cause == static_cast<int>(DataLostCause::ValidityViolation) ||
                     cause == static_cast<int>(DataLostCause::InsertFailed)) &&
                    GetLastEngineErrorCode() != 0) {
                    row_error = GetLastEngineErrorCode();
                    row_field = GetLastEngineErrorText(0);
                }
            };
            RestructureTable(cursor, MakeAlterTableDefinition(query, current, has_primary), options,
                             {}, data_lost);
            if (stopped) {
                // The rows went into a work table: the error names the table the statement did.
                RaiseEngineError(row_error, query.TableName, row_field);
            }
            break;
        }
        default:
            RaiseEngineError(kErrSql, {}, {}, {}, "Internal statement error");
    }
    query.ResultCount = 0;
}

}  // namespace strata
