// libFuzzer target for damaged table files: the input is a list of 6-byte
// edits (file 0 ".DAT", 1 ".IDX", 2 ".BLB"; a 32-bit offset taken modulo the
// file's size; a byte XORed in) applied to a small sound table; the first
// byte's high bit gives the repair an empty table of the same definition. The damaged
// table is opened and read through its indexes and a filter, verified,
// repaired and read again. Engine errors are the expected answer; a crash, a
// hang, a read that never ends, a huge allocation, a sanitizer report or a
// repair that reports success on a table that verification still faults is a
// fault.

#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/core/table_repair.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error.h"

namespace {

using namespace strata;

const std::string* folder_to_remove = nullptr;

constexpr std::array<const char*, 3> kExtensions = {".DAT", ".IDX", ".BLB"};

std::filesystem::path Folder() {
    static const std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tablefuzzXXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        // libFuzzer ends a bounded run through exit(); the folder goes with
        // it. Its name outlives every static object.
        folder_to_remove = new std::string(pattern);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*folder_to_remove, ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return path;
}

IndexDescriptor Index(const char* name, std::uint16_t field, bool unique) {
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, name);
    PutU16(d, ixd::kFieldNumbers, field);
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCaseInsensitive] = 1;
    return d;
}

std::unique_ptr<TDataCursor> Cursor(TDataDirectory& directory) {
    auto c = std::make_unique<TDataCursor>(directory);
    c->SetTableName("t");
    c->SetExclusive(true);
    return c;
}

void Put(TDataCursor& c, std::vector<std::uint8_t>& record, std::uint32_t field,
         const std::string& text) {
    c.PutField(field, record, reinterpret_cast<const std::uint8_t*>(text.c_str()));
}

// The sound table's three files.
const std::array<std::string, 3>& Pristine() {
    static const std::array<std::string, 3> files = [] {
        StartEngine();
        {
            TDataSession session;
            TDataDirectory* directory = session.OpenDirectory("DB", Folder().string());
            TableDefinition definition;
            definition.fields = {
                MakeFieldDescriptor(1, "Index", 6, 29), MakeFieldDescriptor(2, "Item", 1, 0, 40),
                MakeFieldDescriptor(3, "Category", 1, 0, 20), MakeFieldDescriptor(4, "Bounces", 6),
                MakeFieldDescriptor(5, "Notes", 3, 1)};
            definition.indexes = {Index("", 1, true), Index("ByItem", 2, true),
                                  Index("ByCategory", 3, false)};
            // An empty table of the same definition, for repairs that rebuild what
            // they cannot read from it.
            std::filesystem::create_directory(Folder() / "template");
            auto model = Cursor(*session.OpenDirectory("TPL", (Folder() / "template").string()));
            model->CreateTable(definition, true);
            auto c = Cursor(*directory);
            c->CreateTable(definition, true);
            c->Open();
            std::vector<std::uint8_t> record(c->GetRecordSize());
            for (int i = 0; i < 40; ++i) {
                c->InitNewRecord(record);
                Put(*c, record, 2, "member" + std::to_string(i) + "@example.org");
                Put(*c, record, 3, "cat" + std::to_string(i % 4));
                if (i % 3 == 0) {
                    const std::string note(static_cast<std::size_t>(30 + i * 40), 'n');
                    c->OpenBlob(5, record, 2);
                    c->WriteBlob(5, record, static_cast<std::uint32_t>(note.size()),
                                 reinterpret_cast<const std::uint8_t*>(note.data()), 0);
                }
                c->InsertRecord(record, false);
                c->FreeBlobs();
            }
            c->SetIndexByName("ByItem");
            c->First();
            for (int i = 0; i < 5 && c->GetNextRecord(record) == kErrNone; ++i)
                c->DeleteRecord(record, true);
            c->Close();
        }
        std::array<std::string, 3> out;
        for (std::size_t i = 0; i < kExtensions.size(); ++i) {
            std::ifstream in(Folder() / (std::string("t") + kExtensions[i]), std::ios::binary);
            out[i] =
                std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return out;
    }();
    return files;
}

void ReadAll(TDataDirectory& directory, const char* index, const char* filter = nullptr) {
    auto c = Cursor(directory);
    c->Open();
    if (index != nullptr)
        c->SetIndexByName(index);
    if (filter != nullptr)
        c->ActivateFilter(c->AddFilter(filter, {}));
    std::vector<std::uint8_t> record(c->GetRecordSize());
    std::vector<std::uint8_t> value(256);
    std::vector<std::uint8_t> blob(4096);
    c->First();
    for (int rows = 0; c->GetNextRecord(record) == kErrNone; ++rows) {
        // The table has 40 slots: a read that goes on past twice that came back to a
        // record it had given, and would never end.
        if (rows > 2 * 40 + 64)
            __builtin_trap();
        for (std::uint32_t n = 1; n <= c->GetFieldCount(); ++n) {
            bool is_null = true;
            c->GetField(n, record, is_null, value);
        }
        std::uint32_t size = 0;
        if (c->OpenBlob(5, record, 1) == kErrNone && c->GetBlobSize(5, record, size) == kErrNone) {
            std::uint32_t got = 0;
            c->ReadBlob(5, record, got, std::min<std::uint32_t>(size, 4096), blob.data(), 0);
        }
        c->FreeBlobs();
    }
    c->Close();
}

template <class Step>
void Try(Step&& step) {
    try {
        step();
    } catch (const EStrataEngineError&) {
        // The answer to a damaged file.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::string, 3> files = Pristine();
    for (std::size_t at = 0; at + 6 <= size && at < 6 * 64; at += 6) {
        std::string& file = files[data[at] % 3];
        if (file.empty())
            continue;
        const std::uint32_t offset = GetU32(std::span(data + at + 1, 4), 0);
        file[offset % file.size()] ^= static_cast<char>(data[at + 5]);
    }
    for (std::size_t i = 0; i < kExtensions.size(); ++i)
        std::ofstream(Folder() / (std::string("t") + kExtensions[i]), std::ios::binary) << files[i];
    TDataSession session;
    TDataDirectory* directory = session.OpenDirectory("DB", Folder().string());
    Try([&] { ReadAll(*directory, nullptr); });
    Try([&] { ReadAll(*directory, "ByItem"); });
    Try([&] { ReadAll(*directory, "ByCategory", "Bounces > 2 or Category = 'cat1'"); });
    Try([&] {
        auto c = Cursor(*directory);
        RepairTable(*c, true, 0);
    });
    // The first input byte's high bit chooses a repair with the empty table of the
    // same definition at hand.
    const std::string model =
        size > 0 && (data[0] & 0x80) != 0 ? (Folder() / "template" / "t").string() : "";
    bool repaired = false;
    Try([&] {
        auto c = Cursor(*directory);
        RepairTable(*c, false, 0, {}, {}, model);
        repaired = true;
    });
    if (repaired) {
        std::vector<std::string> faults;
        try {
            auto c = Cursor(*directory);
            RepairTable(*c, true, 0, {}, [&faults](std::string_view line) {
                if (!line.starts_with("Verification of table "))
                    faults.emplace_back(line);
            });
        } catch (const EStrataEngineError& e) {
            faults.emplace_back(e.what());
        }
        if (!faults.empty())
            __builtin_trap();
    }
    Try([&] { ReadAll(*directory, "ByItem"); });
    Try([&] { ReadAll(*directory, "ByCategory"); });
    // A repair that fails keeps the files as they were beside the table; the
    // next input starts without them.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), ignored)) {
        if (entry.path().filename().string().find("-damaged-") != std::string::npos)
            std::filesystem::remove(entry.path(), ignored);
    }
    return 0;
}
