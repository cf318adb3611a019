#include "engine/core/data_directory.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "engine/core/data_session.h"
#include "engine/core/data_table.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/storage_library.h"
#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"
#include "platform/os/thread.h"

namespace strata {

namespace {

// A table's name without its extension, blanks trimmed.
std::string TableBaseName(std::string_view name) {
    return std::string(platform::nls::TrimOf(RemoveFileExt(name), " "));
}

constexpr int Negative(EngineErrorCode code) {
    return -static_cast<int>(code);
}

}  // namespace

std::string TableFileName(std::string_view name) {
    return TableBaseName(platform::nls::TrimOf(name, " ")) + ".DAT";
}

TDataDirectory::TDataDirectory(TDataSession& session) : session_(session) {}

TDataDirectory::~TDataDirectory() {
    try {
        CancelUpdateBatch();
    } catch (...) {
        // Destruction must go on; the files keep what was flushed before.
    }
    while (!tables_.empty())
        tables_.pop_back();
}

void TDataDirectory::SetLocation(std::string_view name, std::string_view path,
                                 std::string_view network_path) {
    name_ = name;
    path_ = path;
    network_path_ = network_path;
}

TDataTable* TDataDirectory::FindTable(std::string_view name, bool in_memory) const {
    const std::string wanted = TableFileName(name);
    // Every table of the in-memory directory lives in memory, whatever flag it was named with.
    const bool memory = in_memory || InMemory();
    for (const auto& table : tables_) {
        if ((table->InMemory() || InMemory()) == memory &&
            platform::nls::SameTextAnsi(table->Name(), wanted))
            return table.get();
    }
    return nullptr;
}

void TDataDirectory::RemoveTable(TDataTable* table) {
    const auto it = std::find_if(tables_.begin(), tables_.end(),
                                 [&](const auto& t) { return t.get() == table; });
    if (it != tables_.end())
        tables_.erase(it);
}

std::unique_ptr<TDataTable> TDataDirectory::MakeTable(std::string_view name, bool in_memory) const {
    auto table = std::make_unique<TDataTable>(const_cast<TDataDirectory&>(*this));
    table->SetName(name);
    table->SetInMemory(in_memory);
    return table;
}

int TDataDirectory::CreateTable(std::string_view name, bool in_memory, bool temporary,
                                const TableDefinition& definition, TDataTable*& created) {
    created = nullptr;
    const std::string base = TableBaseName(name);
    if (base.empty())
        return Negative(kErrInvalidPath);
    TDataTable* table = FindTable(base, in_memory);
    if (table != nullptr && table->UseCount() > 0)
        return Negative(kErrTooManyFiles);
    table = CloseIdleTable(table);
    if (table == nullptr) {
        tables_.push_back(MakeTable(base, in_memory));
        table = tables_.back().get();
    }
    table->SetExclusive(true);
    table->SetInMemory(in_memory);
    table->SetTemporary(temporary);
    try {
        table->CreateFiles(definition);
    } catch (...) {
        RemoveTable(table);
        throw;
    }
    created = table;
    return 0;
}

int TDataDirectory::OpenTable(std::string_view name, bool exclusive, bool in_memory, bool temporary,
                              bool sequential, bool share, TDataTable*& table) {
    table = FindTable(name, in_memory);
    if (table != nullptr && table->UseCount() >= 1) {
        if ((table->Exclusive() || exclusive) && !share)
            return Negative(kErrAccessDenied);
        // The share option joins a table held for exclusive use. A table held for shared use
        // may be open in other programs too: a cursor joining it as if it held the table alone
        // would take no locks, miss their changes, and could empty or rebuild their files.
        if (exclusive && !table->Exclusive())
            return Negative(kErrAccessDenied);
        table->AddRef();
        return 0;
    }
    // Files a batch keeps open were opened for the use asked for then; another use opens them
    // afresh, else a table opened for exclusive use could be shared with other programs.
    if (table != nullptr && table->IsOpen() && table->Exclusive() != exclusive)
        table = CloseIdleTable(table);
    const bool listed = table != nullptr;
    if (!listed) {
        tables_.push_back(MakeTable(name, in_memory));
        table = tables_.back().get();
    }
    table->SetExclusive(exclusive);
    table->SetInMemory(in_memory);
    table->SetTemporary(temporary);
    table->SetSequential(sequential);
    try {
        table->Open();
    } catch (...) {
        RemoveTable(table);
        table = nullptr;
        throw;
    }
    if (batch_)
        table->BeginBatch();
    return 0;
}

int TDataDirectory::CloseTable(TDataTable* table, bool discard_temporary) {
    const auto it = std::find_if(tables_.begin(), tables_.end(),
                                 [&](const auto& t) { return t.get() == table; });
    if (it == tables_.end())
        return Negative(kErrInvalidPath);
    std::exception_ptr failure;
    try {
        table->Close(discard_temporary);
    } catch (...) {
        // A close that reports a failure (a failed sync) has still closed the files.
        failure = std::current_exception();
    }
    if (table->UseCount() <= 0 && !table->InBatch())
        tables_.erase(it);
    if (failure)
        std::rethrow_exception(failure);
    return 0;
}

bool TDataDirectory::TableExists(std::string_view name, bool in_memory) {
    if (FindTable(name, in_memory) != nullptr)
        return true;
    const std::string file = TableFileName(name);
    const bool memory = in_memory || InMemory();
    return EngineFileExists(memory ? file : network_path_ + file, memory);
}

TDataTable* TDataDirectory::CloseIdleTable(TDataTable* table) {
    if (table == nullptr || table->UseCount() > 0 || !table->IsOpen())
        return table;
    // Closed by its last cursor inside the batch, the table still holds its files open with the
    // batch's changes: they are written as the batch's end writes them, and the files closed,
    // before anything replaces, deletes or moves them.
    table->EndBatch(true);
    // Out of the batch and unused, the table leaves the list as it closes.
    CloseTable(table, true);
    return nullptr;
}

int TDataDirectory::ReleaseIdleTable(std::string_view name, bool in_memory) {
    TDataTable* table = FindTable(name, in_memory);
    if (table != nullptr && table->UseCount() > 0)
        return Negative(kErrAccessDenied);
    CloseIdleTable(table);
    return 0;
}

int TDataDirectory::DeleteTable(std::string_view name, bool in_memory) {
    TDataTable* table = FindTable(name, in_memory);
    if (table != nullptr && table->UseCount() > 0)
        return Negative(kErrAccessDenied);
    table = CloseIdleTable(table);
    if (table != nullptr) {
        table->DeleteFiles();
        RemoveTable(table);
        return 0;
    }
    MakeTable(name, in_memory)->DeleteFiles();
    return 0;
}

int TDataDirectory::RenameTable(std::string_view name, std::string_view new_name, bool to_backup,
                                bool in_memory) {
    TDataTable* table = FindTable(name, in_memory);
    if (table != nullptr && table->UseCount() > 0)
        return Negative(kErrAccessDenied);
    table = CloseIdleTable(table);
    if (table != nullptr) {
        table->RenameFiles(new_name, to_backup);
        RemoveTable(table);
        return 0;
    }
    MakeTable(name, in_memory)->RenameFiles(new_name, to_backup);
    return 0;
}

std::string TDataDirectory::MakeTempTableName(bool in_memory) {
    const auto id = static_cast<std::int64_t>(platform::os::CurrentThreadId() & 0x7FFFFFFF);
    const std::string prefix = std::to_string(id).substr(0, 5);
    for (std::uint64_t counter = 0;; ++counter) {
        std::string name = prefix + std::to_string(counter) + ".DAT";
        if (!TableExists(name, in_memory))
            return name;
    }
}

void TDataDirectory::BeginUpdateBatch() {
    if (batch_)
        return;
    for (const auto& table : tables_)
        table->BeginBatch();
    batch_ = true;
}

void TDataDirectory::EndUpdateBatch(bool commit) {
    // A table whose end fails (a sync the disk refused) is out of its batch all the same; the
    // other tables' batches, and the directory's, end too, so that the next change starts
    // afresh rather than inside a batch nobody ends. The first failure goes on.
    // A flush within the batch that fails for one table still flushes the others and gives
    // back the record locks each of them deferred.
    std::exception_ptr failure;
    for (auto i = tables_.size(); i-- > 0;) {
        TDataTable* table = tables_[i].get();
        try {
            table->EndBatch(commit);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
        if (!commit)
            continue;
        // A table closed within the batch closes now, its end failed or not: else its files,
        // and their locks, would stay open with nobody to close them.
        if (table->UseCount() <= 0) {
            try {
                CloseTable(table, true);
            } catch (...) {
                if (!failure)
                    failure = std::current_exception();
            }
        }
    }
    if (commit)
        batch_ = false;
    if (failure)
        std::rethrow_exception(failure);
}

void TDataDirectory::CancelUpdateBatch() {
    if (!batch_)
        return;
    batch_ = false;
    std::exception_ptr failure;
    for (auto i = tables_.size(); i-- > 0;) {
        TDataTable* table = tables_[i].get();
        try {
            table->CancelBatch();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
        if (table->UseCount() <= 0)
            RemoveTable(table);
    }
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace strata
