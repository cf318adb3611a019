#include "engine/dataset/strata_table.h"

#include <algorithm>
#include <utility>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_rescue.h"
#include "engine/core/table_restructure.h"
#include "engine/core/table_upgrade.h"
#include "engine/dataset/blob_stream.h"
#include "engine/dataset/strata_params.h"
#include "engine/dataset/strata_session.h"
#include "engine/storage/storage_utils.h"
#include "platform/db/code_page_text.h"
#include "platform/db/data_source.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"
#include "platform/db/names.h"

namespace strata {

namespace {

[[noreturn]] void Fail(const std::string& text) {
    throw db::EDatabaseError(text);
}

constexpr std::uint8_t kMaintenanceFlag = 3;
// What this table hands the validation: the hidden index takes slot 31, so at
// most 30 secondary indexes fit, whatever larger limit a caller names.
constexpr std::uint32_t kTableMaxSecondaryIndexes = 30;
constexpr std::uint32_t kMaxFields = 1023;
// File names are found before a table's language is known, and a new table
// has language 0: both use the page of language 0.
constexpr platform::nls::CodePage kDefaultPage = platform::nls::CodePage::Western;

std::string ToPage(platform::nls::CodePage page, std::string_view utf8, std::string_view what) {
    return db::Utf8ToCodePage(page, utf8, what);
}

std::string FromPage(platform::nls::CodePage page, std::string_view bytes) {
    return db::CodePageToUtf8(page, bytes);
}

platform::nls::CodePage PageOf(TDataCursor& cursor) {
    return TableCodePage(cursor.GetLanguageID(), cursor.GetSortID());
}

bool SizeFits(db::TFieldType type, std::int32_t size) {
    switch (type) {
        case db::ftString:
        case db::ftBytes:
        case db::ftVarBytes:
            return size >= 1 && size <= 250;
        case db::ftBCD:
            return size >= 0 && size <= 8;
        default:
            return size == 0;
    }
}

std::vector<std::string> SplitFields(std::string_view list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(';', start), list.size());
        std::string_view name = list.substr(start, end - start);
        while (!name.empty() && name.front() == ' ')
            name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ')
            name.remove_suffix(1);
        if (!name.empty())
            names.emplace_back(name);
        start = end + 1;
    }
    return names;
}

FieldDescriptor DescriptorOf(platform::nls::CodePage page, std::string_view name,
                             db::TFieldType type, std::int32_t size, std::int32_t number,
                             bool required) {
    const auto [engine_type, subtype] = EngineTypeOf(type);
    // Types past 15 (largeint, cursor, ADT and the like) get a data size of 0 in the record:
    // their values would be dropped without a word, so such a field is never made.
    if (engine_type == 0 || engine_type > 15)
        Fail("Field '" + std::string(name) + "' is of an unsupported type");
    const bool sized = type == db::ftString || type == db::ftBytes || type == db::ftVarBytes;
    // The descriptor keeps one byte of the size: 300 would become 44 and cut every value.
    if ((sized || type == db::ftBCD) && !SizeFits(type, size))
        Fail("Invalid field size");
    const std::string engine_name = ToPage(page, name, "a field name");
    FieldDescriptor d =
        MakeFieldDescriptor(static_cast<std::uint16_t>(number),
                            std::string_view(engine_name).substr(0, fd::kNameLength), engine_type,
                            subtype, sized ? static_cast<std::uint8_t>(size) : 0,
                            type == db::ftBCD ? static_cast<std::uint8_t>(size) : 0);
    d[fd::kRequired] = required ? 1 : 0;
    return d;
}

std::string IndexFieldList(platform::nls::CodePage page, const IndexDescriptor& d,
                           const std::vector<FieldDescriptor>& fields) {
    std::string list;
    for (std::size_t i = 0; i < IndexFieldsHeld(d); ++i) {
        const std::uint16_t number = IndexFieldNumber(d, i);
        for (const FieldDescriptor& f : fields) {
            if (FieldNumber(f) == number) {
                if (!list.empty())
                    list += ';';
                list += FromPage(page, FieldName(f));
            }
        }
    }
    return list;
}

db::TIndexOptions OptionsOf(const IndexDescriptor& d, bool primary) {
    db::TIndexOptions options = primary ? db::ixPrimary : 0;
    if (d[ixd::kDescending] != 0)
        options |= db::ixDescending;
    if (d[ixd::kCaseInsensitive] != 0)
        options |= db::ixCaseInsensitive;
    if (IndexUnique(d))
        options |= db::ixUnique;
    return options;
}

// The first definition marked primary goes first, the others keep their order.
template <typename Def, typename IsPrimary>
std::vector<const Def*> PrimaryFirst(const std::vector<const Def*>& defs, IsPrimary is_primary) {
    std::vector<const Def*> ordered = defs;
    const auto primary = std::find_if(ordered.begin(), ordered.end(), is_primary);
    if (primary != ordered.end() && primary != ordered.begin())
        std::rotate(ordered.begin(), primary, primary + 1);
    return ordered;
}

}  // namespace

TRestructureFieldDef& TRestructureFieldDefs::Make(
    std::size_t position, std::string_view name, db::TFieldType type, std::int32_t field_no,
    std::uint8_t char_case, std::string_view description, std::string_view max_value,
    std::string_view min_value, std::string_view default_value, bool required, std::uint16_t size) {
    if (name.empty())
        Fail("Field name missing");
    for (const auto& def : items_) {
        if (db::SameName(def->Name, name))
            Fail("Duplicate field name '" + std::string(name) + "'");
    }
    if (!SizeFits(type, size))
        Fail("Invalid field size");
    auto def = std::make_unique<TRestructureFieldDef>();
    def->Name = name;
    def->DataType = type;
    def->FieldNo = field_no;
    def->CharCase = char_case;
    def->Description = description;
    def->MaxValue = max_value;
    def->MinValue = min_value;
    def->DefaultValue = default_value;
    def->Required = required;
    def->Size = size;
    loaded_ = false;
    position = std::min(position, items_.size());
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(position), std::move(def));
    return *items_[position];
}

TRestructureFieldDef& TRestructureFieldDefs::Add(
    std::string_view name, db::TFieldType type, std::int32_t field_no, std::uint8_t char_case,
    std::string_view description, std::string_view max_value, std::string_view min_value,
    std::string_view default_value, bool required, std::uint16_t size) {
    return Make(items_.size(), name, type, field_no, char_case, description, max_value, min_value,
                default_value, required, size);
}

TRestructureFieldDef& TRestructureFieldDefs::Insert(
    std::size_t position, std::string_view name, db::TFieldType type, std::int32_t field_no,
    std::uint8_t char_case, std::string_view description, std::string_view max_value,
    std::string_view min_value, std::string_view default_value, bool required, std::uint16_t size) {
    return Make(position, name, type, field_no, char_case, description, max_value, min_value,
                default_value, required, size);
}

void TRestructureFieldDefs::Clear() {
    items_.clear();
}

void TRestructureFieldDefs::Update() {
    if (loaded_)
        return;
    std::vector<std::unique_ptr<TRestructureFieldDef>> loaded;
    const std::vector<FieldDescriptor> fields = table_.EngineFieldDescriptors();
    const platform::nls::CodePage page = table_.descriptor_page_;
    for (const FieldDescriptor& d : fields) {
        auto def = std::make_unique<TRestructureFieldDef>();
        def->Name = FromPage(page, FieldName(d));
        def->DataType = FieldTypeOfEngine(FieldType(d), FieldSubtype(d));
        def->FieldNo = FieldNumber(d);
        def->Required = d[fd::kRequired] != 0;
        def->CharCase = d[fd::kCharCase];
        def->Description = FromPage(page, GetShortString(d, fd::kDescription, fd::kTextLength));
        def->MinValue = FromPage(page, GetShortString(d, fd::kMinimum, fd::kTextLength));
        def->MaxValue = FromPage(page, GetShortString(d, fd::kMaximum, fd::kTextLength));
        def->DefaultValue = FromPage(page, GetShortString(d, fd::kDefault, fd::kTextLength));
        if (def->DataType == db::ftString || def->DataType == db::ftBytes ||
            def->DataType == db::ftVarBytes)
            def->Size = FieldLength(d);
        else if (def->DataType == db::ftBCD)
            def->Size = FieldDecimals(d);
        loaded.push_back(std::move(def));
    }
    items_ = std::move(loaded);
    loaded_ = true;
}

TRestructureFieldDef& TRestructureFieldDefs::Find(std::string_view name) const {
    for (const auto& def : items_) {
        if (db::SameName(def->Name, name))
            return *def;
    }
    Fail("Field '" + std::string(name) + "' not found");
}

TRestructureIndexDef& TRestructureIndexDefs::Add(std::string_view name, std::string_view fields,
                                                 db::TIndexOptions options,
                                                 std::uint8_t compression) {
    for (const auto& def : items_) {
        if (db::SameName(def->Name, name))
            Fail("Duplicate index name '" + std::string(name) + "'");
    }
    auto def = std::make_unique<TRestructureIndexDef>();
    def->Name = name;
    def->Fields = fields;
    def->Options = options;
    def->Compression = compression;
    items_.push_back(std::move(def));
    loaded_ = false;
    return *items_.back();
}

void TRestructureIndexDefs::Clear() {
    items_.clear();
}

void TRestructureIndexDefs::Update() {
    if (loaded_)
        return;
    // A field list being edited for the restructure keeps its edits: it
    // still names every existing field by that field's number. Reloading it
    // here would silently drop the fields just added.
    TRestructureFieldDefs& field_defs = table_.RestructureFieldDefs();
    if (field_defs.Count() == 0)
        field_defs.Update();
    const std::vector<IndexDescriptor> indexes = table_.EngineIndexDescriptors();
    const platform::nls::CodePage page = table_.descriptor_page_;
    // The listed names are UTF-8; IndexFieldList reads engine names.
    std::vector<FieldDescriptor> fields;
    for (std::size_t i = 0; i < field_defs.Count(); ++i) {
        const TRestructureFieldDef& f = field_defs.Items(i);
        fields.push_back(MakeFieldDescriptor(static_cast<std::uint16_t>(f.FieldNo),
                                             ToPage(page, f.Name, "a field name"), 1));
    }
    std::vector<std::unique_ptr<TRestructureIndexDef>> loaded;
    for (std::size_t slot = 0; slot < indexes.size(); ++slot) {
        const IndexDescriptor& d = indexes[slot];
        if (slot == 0 && IndexFieldCount(d) == 0)
            continue;
        auto def = std::make_unique<TRestructureIndexDef>();
        def->Name = slot == 0 ? std::string() : FromPage(page, IndexName(d));
        def->Fields = IndexFieldList(page, d, fields);
        def->Options = OptionsOf(d, slot == 0);
        def->Compression = IndexCompression(d);
        loaded.push_back(std::move(def));
    }
    items_ = std::move(loaded);
    loaded_ = true;
}

TStrataTable::TStrataTable(db::TComponent* owner)
    : TStrataDBDataSet(owner),
      index_defs_(this),
      master_link_(*this),
      restructure_fields_(*this),
      restructure_indexes_(*this) {
    master_link_.OnMasterChange = [this] { MasterChanged(); };
    master_link_.OnMasterDisable = [this] { MasterDisabled(); };
}

TStrataTable::~TStrataTable() {
    Destroying();
    try {
        Close();
    } catch (...) {
    }
}

void TStrataTable::SetTableName(std::string_view name) {
    CheckInactive();
    std::string value(name);
    const auto slash = value.find_last_of("/\\");
    if (slash != std::string::npos) {
        if (!in_memory_)
            SetDatabaseName(value.substr(0, slash + 1));
        value = value.substr(slash + 1);
    }
    table_name_ = value;
    DataEvent(db::dePropertyChange);
}

void TStrataTable::SetExclusive(bool value) {
    CheckInactive();
    exclusive_ = value;
}

void TStrataTable::SetReadOnly(bool value) {
    CheckInactive();
    read_only_ = value;
}

void TStrataTable::SetInMemory(bool value) {
    CheckInactive();
    in_memory_ = value;
    if (value)
        SetDatabaseName("Memory");
}

void TStrataTable::SetIndexName(std::string_view name) {
    ChangeIndex(name, false);
}

void TStrataTable::SetIndexFieldNames(std::string_view names) {
    ChangeIndex(names, !names.empty());
}

void TStrataTable::ChangeIndex(std::string_view index, bool by_fields) {
    std::string previous = std::exchange(index_, std::string(index));
    const bool previous_by_fields = std::exchange(by_fields_, by_fields);
    bool switched = false;
    try {
        SwitchIndex(switched);
    } catch (...) {
        // An index that cannot be had leaves the table on its old one, and the property says
        // so: else the next open would fail on the name refused here.
        if (!switched) {
            index_ = std::move(previous);
            by_fields_ = previous_by_fields;
        }
        throw;
    }
}

void TStrataTable::SwitchIndex(bool& switched) {
    if (!Active())
        return;
    CheckBrowseMode();
    const std::string name = ResolveIndexName();
    const std::string before = Handle()->CurrentIndexName();
    try {
        SwitchToIndex(name);
    } catch (...) {
        switched = Handle()->CurrentIndexName() != before;
        throw;
    }
    switched = true;
    if (master_link_.Active() && !master_link_.Fields().empty()) {
        SetLinkRanges(master_link_.Fields());
        ApplyRange();
    }
    Resync({});
}

std::string TStrataTable::ResolveIndexName() {
    if (!by_fields_)
        return index_;
    UpdateIndexDefs();
    db::TIndexDef* def = index_defs_.GetIndexForFields(index_, false);
    if (def == nullptr)
        Fail("No index for fields '" + index_ + "'");
    return def->Name();
}

void TStrataTable::UpdateIndexDefs() {
    if (index_defs_.Updated())
        return;
    const std::vector<FieldDescriptor> fields = EngineFieldDescriptors();
    const std::vector<IndexDescriptor> indexes = EngineIndexDescriptors();
    index_defs_.Clear();
    for (std::size_t slot = 0; slot < indexes.size(); ++slot) {
        const IndexDescriptor& d = indexes[slot];
        if (slot == 0 && strata::IndexFieldCount(d) == 0)
            continue;
        index_defs_.Add(
            slot == 0 ? std::string() : FromPage(descriptor_page_, strata::IndexName(d)),
            IndexFieldList(descriptor_page_, d, fields), OptionsOf(d, slot == 0));
    }
    index_defs_.SetUpdated(true);
}

void TStrataTable::WithDescriptors(const std::function<void(TDataCursor&)>& read) {
    if (Handle() != nullptr) {
        descriptor_page_ = PageOf(*Handle());
        read(*Handle());
        return;
    }
    Maintain(false, [&](TDataCursor& cursor) {
        cursor.Open();
        descriptor_page_ = PageOf(cursor);
        read(cursor);
        cursor.Close();
    });
}

std::vector<FieldDescriptor> TStrataTable::EngineFieldDescriptors() {
    std::vector<FieldDescriptor> fields;
    WithDescriptors([&](TDataCursor& cursor) {
        for (std::uint32_t i = 1; i <= cursor.GetFieldCount(); ++i)
            fields.push_back(cursor.GetTableFieldDesc(i));
    });
    return fields;
}

std::vector<IndexDescriptor> TStrataTable::EngineIndexDescriptors() {
    std::vector<IndexDescriptor> indexes;
    WithDescriptors([&](TDataCursor& cursor) {
        indexes.push_back(cursor.HasNoPrimaryIndex() ? IndexDescriptor{} : cursor.GetIndexDesc(0));
        for (int i = 1; i <= cursor.GetIndexCount(); ++i)
            indexes.push_back(cursor.GetIndexDesc(static_cast<std::uint32_t>(i)));
    });
    return indexes;
}

db::TDataSource* TStrataTable::MasterSource() const {
    return master_link_.DataSource();
}

void TStrataTable::SetMasterSource(db::TDataSource* source) {
    if (source != nullptr && source->DataSet() == this)
        Fail("Circular datalinks are not allowed");
    master_link_.SetDataSource(source);
}

const std::string& TStrataTable::MasterFields() const {
    return master_link_.FieldNames();
}

void TStrataTable::SetMasterFields(std::string_view fields) {
    master_link_.SetFieldNames(fields);
}

db::TDataSource* TStrataTable::GetDataSource() const {
    return master_link_.DataSource();
}

std::unique_ptr<db::TStream> TStrataTable::CreateBlobStream(db::TField* field,
                                                            db::TBlobStreamMode mode) {
    auto* blob = dynamic_cast<db::TBlobField*>(field);
    if (blob == nullptr)
        return TStrataDBDataSet::CreateBlobStream(field, mode);
    return std::make_unique<TStrataBlobStream>(*blob, mode, *this, StateRecord());
}

void TStrataTable::DataEvent(db::TDataEvent event, const db::TDataEventInfo& info) {
    if (event == db::dePropertyChange) {
        index_defs_.SetUpdated(false);
        // Another table or database: lists made for the old one do not apply.
        restructure_fields_.Clear();
        restructure_fields_.SetLoaded(false);
        restructure_indexes_.Clear();
        restructure_indexes_.SetLoaded(false);
    }
    TStrataDBDataSet::DataEvent(event, info);
}

TDataCursor* TStrataTable::CreateHandle() {
    if (table_name_.empty())
        Fail("Missing table name.");
    index_defs_.SetUpdated(false);
    const std::string index = ResolveIndexName();
    auto cursor = std::make_unique<TDataCursor>(*Database()->Handle());
    cursor->SetTableName(EngineTableName());
    cursor->SetExclusive(exclusive_);
    cursor->SetReadOnly(read_only_);
    cursor->SetInMemory(in_memory_);
    cursor->SetPasswordHandler([this] { return DBSession().GetPassword(); });
    cursor->Open();
    cursor->SetIndexByName(ToPage(PageOf(*cursor), index, "the index name"));
    read_only_ = cursor->ReadOnly();
    return AdoptCursor(std::move(cursor));
}

void TStrataTable::DestroyHandle() {
    FreeLookupCursor();
    TStrataDBDataSet::DestroyHandle();
}

void TStrataTable::AfterOpenHook() {
    if (master_link_.Active() && !master_link_.Fields().empty()) {
        SetLinkRanges(master_link_.Fields());
        ApplyRange();
    }
}

void TStrataTable::FreeLookupCursor() {
    lookup_cursor_.reset();
    lookup_fields_.clear();
}

TDataCursor* TStrataTable::GetLookupCursor(std::string_view key_fields, bool case_insensitive) {
    if (lookup_cursor_ != nullptr && lookup_fields_ == key_fields &&
        lookup_case_insensitive_ == case_insensitive)
        return lookup_cursor_.get();
    FreeLookupCursor();
    if (RangeActive() || Handle() == nullptr)
        return nullptr;
    UpdateIndexDefs();
    db::TIndexDef* def = index_defs_.FindIndexForFields(key_fields, case_insensitive);
    if (def == nullptr)
        return nullptr;
    lookup_cursor_ = Handle()->CloneCursor();
    lookup_cursor_->SetIndexByName(ToPage(TextCodePage(), def->Name(), "the index name"));
    lookup_fields_ = key_fields;
    lookup_case_insensitive_ = case_insensitive;
    return lookup_cursor_.get();
}

void TStrataTable::InternalInitFieldDefs() {
    if (table_name_.empty())
        Fail("Missing table name.");
    if (Handle() != nullptr) {
        TStrataDBDataSet::InternalInitFieldDefs();
        NamesToUtf8(*FieldDefs(), TextCodePage());
        return;
    }
    const std::vector<FieldDescriptor> fields = EngineFieldDescriptors();
    db::TFieldDefs& defs = *FieldDefs();
    defs.Clear();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldDescriptor& d = fields[i];
        const db::TFieldType type = FieldTypeOfEngine(FieldType(d), FieldSubtype(d));
        if (type == db::ftUnknown)
            continue;
        std::int32_t size = 0;
        if (type == db::ftString || type == db::ftBytes || type == db::ftVarBytes)
            size = FieldLength(d);
        else if (type == db::ftBCD)
            size = FieldDecimals(d);
        db::TFieldDef* def =
            defs.Add(FromPage(descriptor_page_, FieldName(d)), type, size, d[fd::kRequired] != 0);
        def->SetFieldNo(static_cast<std::int32_t>(i + 1));
    }
}

bool TStrataTable::GetCanModify() const {
    return TStrataDBDataSet::GetCanModify() && !read_only_;
}

void TStrataTable::DefChanged(db::TObject* /*sender*/) {
    store_defs_ = true;
}

void TStrataTable::DoOnNewRecord() {
    if (master_link_.Active() && !master_link_.Fields().empty()) {
        const auto& masters = master_link_.Fields();
        for (std::size_t i = 0;
             i < masters.size() && static_cast<std::int32_t>(i) < IndexFieldCount(); ++i) {
            IndexField(static_cast<std::int32_t>(i))->SetValue(masters[i]->Value());
        }
    }
    TStrataDBDataSet::DoOnNewRecord();
}

void TStrataTable::MasterChanged() {
    CheckBrowseMode();
    SetLinkRanges(master_link_.Fields());
    if (ApplyRange())
        First();
}

void TStrataTable::MasterDisabled() {
    CheckBrowseMode();
    // A search may have moved the cursor; the record shown is the one to stay on.
    UpdateCursorPos();
    if (ResetRange())
        Resync({});
}

std::unique_ptr<TDataCursor> TStrataTable::PrivateCursor(bool exclusive, bool read_only) {
    auto cursor = std::make_unique<TDataCursor>(*Database()->Handle());
    cursor->SetTableName(EngineTableName());
    cursor->SetExclusive(exclusive);
    cursor->SetReadOnly(read_only);
    cursor->SetInMemory(in_memory_);
    cursor->SetSequentialAccess(true);
    cursor->SetPasswordHandler([this] { return DBSession().GetPassword(); });
    return cursor;
}

template <typename Action>
void TStrataTable::Maintain(bool exclusive, Action action) {
    if (table_name_.empty())
        Fail("Missing table name.");
    SetDBFlag(kMaintenanceFlag, true);
    try {
        std::unique_ptr<TDataCursor> cursor = PrivateCursor(exclusive, read_only_);
        action(*cursor);
    } catch (...) {
        SetDBFlag(kMaintenanceFlag, false);
        throw;
    }
    SetDBFlag(kMaintenanceFlag, false);
}

template <typename Action>
void TStrataTable::MaintainWritable(Action action) {
    const bool read_only = std::exchange(read_only_, false);
    try {
        Maintain(true, std::move(action));
    } catch (...) {
        read_only_ = read_only;
        throw;
    }
    read_only_ = read_only;
}

bool TStrataTable::Exists() {
    if (Active())
        return true;
    if (table_name_.empty())
        return false;
    bool exists = false;
    SetDBFlag(kMaintenanceFlag, true);
    try {
        exists = Database()->Handle()->TableExists(EngineTableName(), in_memory_);
    } catch (...) {
        SetDBFlag(kMaintenanceFlag, false);
        throw;
    }
    SetDBFlag(kMaintenanceFlag, false);
    return exists;
}

std::string TStrataTable::EngineTableName() const {
    return ToPage(kDefaultPage, table_name_, "the table name").substr(0, 255);
}

IndexDescriptor TStrataTable::MakeIndexDescriptor(
    platform::nls::CodePage page, std::string_view name, std::string_view fields,
    db::TIndexOptions options, std::uint8_t compression,
    const std::vector<std::pair<std::string, int>>& numbers) const {
    IndexDescriptor d{};
    if ((options & db::ixPrimary) == 0) {
        const std::string engine_name = ToPage(page, name, "an index name");
        PutShortString(d, ixd::kName, ixd::kNameLength,
                       std::string_view(engine_name).substr(0, ixd::kNameLength));
    }
    const bool descending = (options & db::ixDescending) != 0;
    d[ixd::kDescending] = descending ? 1 : 0;
    d[ixd::kCaseInsensitive] = (options & db::ixCaseInsensitive) != 0 ? 1 : 0;
    d[ixd::kUnique] = (options & (db::ixUnique | db::ixPrimary)) != 0 ? 1 : 0;
    d[ixd::kCompression] = compression;
    const std::vector<std::string> names = SplitFields(fields);
    if (names.size() > ixd::kMaxFields)
        Fail("Too many fields in index '" + std::string(name) + "'");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto found = std::find_if(numbers.begin(), numbers.end(), [&](const auto& entry) {
            return db::SameName(entry.first, names[i]);
        });
        if (found == numbers.end())
            Fail("Field '" + names[i] + "' not found");
        PutU16(d, ixd::kFieldNumbers + 2 * i, static_cast<std::uint64_t>(found->second));
        d[ixd::kFieldDescending + i] = descending ? 1 : 0;
    }
    d[ixd::kFieldCount] = static_cast<std::uint8_t>(names.size());
    return d;
}

void TStrataTable::CreateTable() {
    CheckInactive();
    db::TFieldDefs& defs = *FieldDefs();
    if (defs.Count() == 0) {
        for (std::int64_t i = 0; i < FieldCount(); ++i) {
            db::TField* field = Fields().Fields(i);
            if (field->FieldKind() == db::fkData)
                defs.Add(field->FieldName(), field->DataType(), field->Size(), field->Required());
        }
    }
    TableDefinition definition;
    std::vector<std::pair<std::string, int>> numbers;
    for (std::int64_t i = 0; i < defs.Count(); ++i) {
        const db::TFieldDef* def = defs.Items(i);
        const auto number = static_cast<std::int32_t>(i + 1);
        definition.fields.push_back(DescriptorOf(kDefaultPage, def->Name(), def->DataType(),
                                                 def->Size(), number, def->Required()));
        numbers.emplace_back(def->Name(), number);
    }
    std::vector<const db::TIndexDef*> listed;
    for (std::int64_t i = 0; i < index_defs_.Count(); ++i)
        listed.push_back(index_defs_.Items(i));
    const auto ordered = PrimaryFirst<db::TIndexDef>(
        listed, [](const db::TIndexDef* def) { return (def->Options() & db::ixPrimary) != 0; });
    if (ordered.empty() || (ordered.front()->Options() & db::ixPrimary) == 0)
        definition.indexes.push_back(IndexDescriptor{});
    for (const db::TIndexDef* def : ordered) {
        definition.indexes.push_back(MakeIndexDescriptor(kDefaultPage, def->Name(), def->Fields(),
                                                         def->Options(), 0, numbers));
    }
    if (definition.indexes.size() - 1 > kTableMaxSecondaryIndexes)
        RaiseEngineError(kErrIndexLimit, table_name_);
    if (definition.fields.size() > kMaxFields)
        Fail("Too many fields in table '" + table_name_ + "'");
    definition.allow_no_primary = true;
    // A new table is written whatever ReadOnly says of opening it (or what an earlier open
    // of a write-protected file left there).
    MaintainWritable([&](TDataCursor& cursor) { cursor.CreateTable(std::move(definition), true); });
}

void TStrataTable::DeleteTable() {
    CheckInactive();
    Maintain(true, [](TDataCursor& cursor) { cursor.DeleteTable(); });
}

void TStrataTable::EmptyTable() {
    if (Active()) {
        CheckBrowseMode();
        Handle()->EmptyTable();
        ClearBuffers();
        DataEvent(db::deDataSetChange);
        return;
    }
    Maintain(true, [](TDataCursor& cursor) {
        cursor.Open();
        cursor.EmptyTable();
        cursor.Close();
    });
}

void TStrataTable::LockTable() {
    CheckActive();
    Handle()->LockTable();
}

void TStrataTable::UnlockTable() {
    CheckActive();
    Handle()->UnlockTable();
}

void TStrataTable::OptimizeTable(std::string_view index_name, bool backup) {
    CheckInactive();
    Maintain(true, [&](TDataCursor& cursor) {
        cursor.SetOptimizeProgressHandler([this](std::uint32_t record, int percent) {
            if (OnOptimizeProgress)
                OnOptimizeProgress(this, static_cast<std::int32_t>(record),
                                   static_cast<std::uint16_t>(percent));
        });
        std::string engine_name;
        // Only a name outside ASCII needs the table's language, read from an open cursor.
        const bool ascii = std::all_of(index_name.begin(), index_name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!ascii) {
            cursor.Open();
            const platform::nls::CodePage page = PageOf(cursor);
            cursor.Close();
            engine_name = ToPage(page, index_name, "the index name");
        } else {
            engine_name = index_name;
        }
        cursor.OptimizeTable(std::string_view(engine_name).substr(0, 255), backup);
    });
}

void TStrataTable::RepairTable(std::string_view template_directory) {
    CheckInactive();
    Maintain(true, [&](TDataCursor& cursor) {
        std::string template_base;
        if (!template_directory.empty()) {
            template_base = template_directory;
            if (template_base.back() != '/' && template_base.back() != '\\')
                template_base += '/';
            template_base += BareFileName(cursor.TableName());
        }
        strata::RepairTable(
            cursor, false, 0,
            [this](std::uint32_t record, int percent) {
                if (OnRepairProgress)
                    OnRepairProgress(this, static_cast<std::int32_t>(record),
                                     static_cast<std::uint16_t>(percent));
            },
            [this](std::string_view line) {
                if (OnRepairLog)
                    OnRepairLog(this, line);
            },
            template_base);
    });
}

std::vector<std::string> TStrataTable::MoveFilesAside() {
    CheckInactive();
    std::vector<std::string> names;
    Maintain(true, [&names](TDataCursor& cursor) {
        const int released =
            cursor.Directory().ReleaseIdleTable(cursor.TableName(), cursor.InMemory());
        if (released < 0)
            RaiseEngineError(static_cast<EngineErrorCode>(-released), cursor.TableName());
        const std::string base = TableFilePath(cursor, "");
        names = SetTableFilesAside(base, DamagedBase(base), true);
    });
    return names;
}

void TStrataTable::UpgradeTable() {
    CheckInactive();
    Maintain(true, [&](TDataCursor& cursor) {
        strata::UpgradeTable(
            cursor,
            [this](std::string_view stage, int percent) {
                if (OnUpgradeProgress)
                    OnUpgradeProgress(this, stage, static_cast<std::uint16_t>(percent));
            },
            [this](std::string_view line) {
                if (OnUpgradeLog)
                    OnUpgradeLog(this, line);
            },
            [this] { return DBSession().GetPassword(); });
    });
}

void TStrataTable::RestructureTable(std::uint16_t language, std::uint16_t sort,
                                    std::uint16_t user_major, std::uint16_t user_minor,
                                    bool encrypted, std::string_view password,
                                    std::string_view description, std::uint16_t blob_block_size,
                                    std::int32_t last_auto_inc, bool no_backup) {
    CheckInactive();
    TableDefinition definition;
    std::vector<std::pair<std::string, int>> numbers;
    // Names and texts go into the page of the language the table will have.
    const platform::nls::CodePage page = TableCodePage(language, sort);
    const auto put_text = [page](FieldDescriptor& d, std::size_t offset, std::string_view text,
                                 std::string_view what) {
        const std::string bytes = ToPage(page, text, what);
        PutShortString(d, offset, fd::kTextLength,
                       std::string_view(bytes).substr(0, fd::kTextLength));
    };
    for (std::size_t i = 0; i < restructure_fields_.Count(); ++i) {
        const TRestructureFieldDef& def = restructure_fields_.Items(i);
        FieldDescriptor d =
            DescriptorOf(page, def.Name, def.DataType, def.Size, def.FieldNo, def.Required);
        d[fd::kCharCase] = def.CharCase;
        put_text(d, fd::kDescription, def.Description, "a field description");
        put_text(d, fd::kMinimum, def.MinValue, "a minimum value");
        put_text(d, fd::kMaximum, def.MaxValue, "a maximum value");
        put_text(d, fd::kDefault, def.DefaultValue, "a default value");
        definition.fields.push_back(d);
        numbers.emplace_back(def.Name, def.FieldNo);
    }
    std::vector<const TRestructureIndexDef*> listed;
    for (std::size_t i = 0; i < restructure_indexes_.Count(); ++i)
        listed.push_back(&restructure_indexes_.Items(i));
    const auto ordered = PrimaryFirst<TRestructureIndexDef>(
        listed,
        [](const TRestructureIndexDef* def) { return (def->Options & db::ixPrimary) != 0; });
    if (ordered.empty() || (ordered.front()->Options & db::ixPrimary) == 0)
        definition.indexes.push_back(IndexDescriptor{});
    for (const TRestructureIndexDef* def : ordered) {
        definition.indexes.push_back(MakeIndexDescriptor(page, def->Name, def->Fields, def->Options,
                                                         def->Compression, numbers));
    }
    definition.language = language;
    definition.sort = sort;
    definition.user_major = user_major;
    definition.user_minor = user_minor;
    definition.encrypted = encrypted;
    definition.password = password;
    definition.description = ToPage(page, description, "the table description");
    definition.blob_block_size = blob_block_size == 0 ? 512 : blob_block_size;
    definition.last_auto_inc = last_auto_inc;
    RestructureOptions options;
    options.no_backup = no_backup;
    options.max_secondary_indexes = kTableMaxSecondaryIndexes;
    options.max_fields = kMaxFields;
    Maintain(true, [&](TDataCursor& cursor) {
        strata::RestructureTable(
            cursor, std::move(definition), options,
            [this](std::uint32_t record, int percent) {
                if (OnRestructureProgress)
                    OnRestructureProgress(this, static_cast<std::int32_t>(record),
                                          static_cast<std::uint16_t>(percent));
            },
            [this](int cause, std::string_view context, bool& proceed, bool& suppress) {
                if (OnDataLost)
                    OnDataLost(this, cause, context, proceed, suppress);
            });
    });
    // The lists described the table as it was; the next restructure starts
    // from the table as it now is.
    restructure_fields_.Clear();
    restructure_fields_.SetLoaded(false);
    restructure_indexes_.Clear();
    restructure_indexes_.SetLoaded(false);
    index_defs_.SetUpdated(false);
}

}  // namespace strata
