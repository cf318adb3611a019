#include "app/list/list_commands.h"

#include <algorithm>

#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/routines/error.h"
#include "app/routines/text_routines.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/field.h"
#include "platform/db/variant.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

constexpr std::string_view kMergePlaceholder = "Z_z_Z_z";
constexpr std::string_view kDefaultCategory = "Default";

db::TField& Field(strata::TStrataTable& table, std::string_view name) {
    return *table.FieldByName(name);
}

// Keeps the grid from following every row while a batch runs.
class ControlsSuspended {
  public:
    explicit ControlsSuspended(strata::TStrataTable& table) : table_(table) {
        table_.DisableControls();
    }
    ~ControlsSuspended() { table_.EnableControls(); }
    ControlsSuspended(const ControlsSuspended&) = delete;
    ControlsSuspended& operator=(const ControlsSuspended&) = delete;

  private:
    strata::TStrataTable& table_;
};

void Report(const ProgressReport& progress, std::int64_t position, std::string_view caption,
            std::int64_t maximum) {
    if (progress)
        progress(position, caption, maximum);
}

void CancelEdit(strata::TStrataTable& table) {
    try {
        if (table.State() == db::dsEdit || table.State() == db::dsInsert)
            table.Cancel();
    } catch (const std::exception&) {
        // The row's own failure is the one reported.
    }
}

void ShowError(std::string_view text) {
    ui::MessageDlg(text, ui::mtError, {ui::mbOK});
}

}  // namespace

void PositionDBAtIndex(strata::TStrataTable& table, std::int32_t key) {
    if (!table.Locate("Index", db::Variant(key), {}))
        throw EError("The entry " + std::to_string(key) + " is no longer in the list");
}

void BatchProcess(strata::TStrataTable& table, const EntryKeys& keys, int kind,
                  const ProgressReport& progress) {
    const char* caption = kind == 1   ? "Resetting Bounce Count"
                          : kind == 2 ? "Enabling Sending Rights"
                                      : "Disabling Sending Rights";
    ui::THourglass hourglass;
    ControlsSuspended suspended(table);
    const auto total = static_cast<std::int64_t>(keys.size());
    for (std::int64_t i = 0; i < total; ++i) {
        try {
            PositionDBAtIndex(table, keys[static_cast<std::size_t>(i)]);
            Report(progress, i + 1, caption, total);
            table.Edit();
            if (kind == 1)
                Field(table, "Bounces").SetAsInteger(0);
            else
                Field(table, "SendRights").SetAsBoolean(kind == 2);
            table.Post();
        } catch (const std::exception&) {
            CancelEdit(table);
            ShowError(std::string("Error Encountered ") + caption);
        }
    }
    Report(progress, 0, "", 0);
}

void MoveToBlocked(strata::TStrataTable& table, const EntryKeys& keys, Settings& settings,
                   const ProgressReport& progress) {
    ui::THourglass hourglass;
    ControlsSuspended suspended(table);
    const auto total = static_cast<std::int64_t>(keys.size());
    for (std::int64_t i = 0; i < total; ++i) {
        try {
            PositionDBAtIndex(table, keys[static_cast<std::size_t>(i)]);
            std::string address = LowerCase(Field(table, "Item").AsString());
            auto& blocked = settings.lbxneversubscribe;
            if (std::find(blocked.begin(), blocked.end(), address) == blocked.end()) {
                blocked.push_back(address);
                std::sort(blocked.begin(), blocked.end());
            }
            Report(progress, i + 1, "Moving Record, " + address, total);
            table.Delete();
        } catch (const std::exception&) {
            ShowError("Error moving record!");
        }
    }
    Report(progress, 0, "", 0);
}

void ChangeCategory(strata::TStrataTable& table, const EntryKeys& keys, std::string_view category,
                    const ProgressReport& progress) {
    ui::THourglass hourglass;
    ControlsSuspended suspended(table);
    const auto total = static_cast<std::int64_t>(keys.size());
    for (std::int64_t i = 0; i < total; ++i) {
        try {
            const std::int32_t key = keys[static_cast<std::size_t>(i)];
            PositionDBAtIndex(table, key);
            Report(progress, i + 1, "Setting category to " + std::string(category), total);
            if (SameText(Field(table, "Category").AsString(), category))
                continue;
            std::string address = Field(table, "Item").AsString();
            db::Variant wanted =
                db::Variant::FromArray({db::Variant(address), db::Variant(category)});
            if (table.Locate("Item;Category", wanted, {db::loCaseInsensitive})) {
                PositionDBAtIndex(table, key);
                table.Delete();
                continue;
            }
            PositionDBAtIndex(table, key);
            table.Edit();
            Field(table, "Category").SetAsString(category);
            table.Post();
        } catch (const std::exception&) {
            CancelEdit(table);
            ShowError("Error changing category!");
        }
    }
    Report(progress, 0, "", 0);
}

void DeleteEntries(strata::TStrataTable& table, const EntryKeys& keys) {
    ui::THourglass hourglass;
    ControlsSuspended suspended(table);
    for (std::int32_t key : keys) {
        PositionDBAtIndex(table, key);
        table.Delete();
    }
}

bool ResetAllBounces(strata::TStrataTable& table) {
    ui::THourglass hourglass;
    ControlsSuspended suspended(table);
    try {
        table.First();
        while (!table.Eof()) {
            table.Edit();
            Field(table, "Bounces").SetAsInteger(0);
            table.Post();
            table.Next();
        }
        return true;
    } catch (const std::exception&) {
        CancelEdit(table);
        ShowError("Error resetting bounce counts!");
        return false;
    }
}

bool DeleteAllEntries(ListDatabase& database, bool exclusive) {
    strata::TStrataTable& table = database.tblCV();
    ui::THourglass hourglass;
    bool ok = true;
    try {
        table.Close();
        table.SetExclusive(true);
        table.Open();
        table.EmptyTable();
        database.SaveDatabase();
        table.Close();
    } catch (const std::exception&) {
        ok = false;
    }
    try {
        table.Close();
        table.SetExclusive(exclusive);
        table.Open();
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok)
        ShowError("Error empying your table!");
    return ok;
}

bool MergeAllCategories(strata::TStrataTable& table, const ProgressReport& progress) {
    const std::int64_t count = table.RecordCount();
    ui::THourglass hourglass;
    ControlsSuspended suspended(table);
    // The table gets its order, filter and lock back however the merge ends, so a lock
    // held elsewhere or a failed step never leaves the list in primary order unfiltered.
    struct Restore {
        strata::TStrataTable& table;
        std::string index_fields;
        bool filtered;
        bool locked = false;
        const ProgressReport& progress;
        ~Restore() {
            try {
                if (locked)
                    table.UnlockTable();
            } catch (const std::exception&) {
                // The lock goes with the table's file handle when it closes.
            }
            try {
                table.SetIndexFieldNames(index_fields);
                table.SetFiltered(filtered);
            } catch (const std::exception&) {
                // The window applies its filter again after every command.
            }
            Report(progress, 0, "", 0);
        }
    } restore{table, table.IndexFieldNames(), table.Filtered(), false, progress};
    table.SetFiltered(false);
    table.SetIndexFieldNames("");
    table.LockTable();
    restore.locked = true;
    bool completed = true;
    table.First();
    for (std::int64_t n = 1; !table.Eof(); ++n) {
        Report(progress, n, "Merging Entries", count);
        const std::int32_t key = Field(table, "Index").AsInteger();
        const std::string old_category = Field(table, "Category").AsString();
        try {
            table.Edit();
            Field(table, "Category").SetAsString(kMergePlaceholder);
            table.Post();
            db::Variant wanted = db::Variant::FromArray(
                {db::Variant(Field(table, "Item").AsString()), db::Variant(kDefaultCategory)});
            const bool duplicate = table.Locate("Item;Category", wanted, {db::loCaseInsensitive});
            PositionDBAtIndex(table, key);
            if (duplicate) {
                table.Delete();
                continue;
            }
            table.Edit();
            Field(table, "Category").SetAsString(kDefaultCategory);
            table.Post();
            table.Next();
        } catch (const std::exception&) {
            CancelEdit(table);
            // The row keeps its category, and the walk moves past it.
            try {
                PositionDBAtIndex(table, key);
                if (Field(table, "Category").AsString() == kMergePlaceholder) {
                    table.Edit();
                    Field(table, "Category").SetAsString(old_category);
                    table.Post();
                }
                table.Next();
            } catch (const std::exception&) {
                CancelEdit(table);
            }
            if (ui::MessageDlg(
                    "An error was encountered while processing.  Do you want to continue?",
                    ui::mtError, ui::mbYesNo) != ui::mrYes) {
                completed = false;
                break;
            }
        }
    }
    return completed;
}

bool OptimiseDatabase(ListDatabase& database, bool exclusive) {
    strata::TStrataTable& list = database.tblCV();
    strata::TStrataTable& stats = database.tblStats();
    ui::THourglass hourglass;
    list.DisableControls();
    stats.DisableControls();
    bool ok = true;
    try {
        list.Close();
        stats.Close();
        list.OptimizeTable("", true);
        stats.OptimizeTable("", true);
    } catch (const std::exception&) {
        ok = false;
    }
    // The tables come back whatever the optimization did.
    for (strata::TStrataTable* table : {&list, &stats}) {
        try {
            if (!table->Active()) {
                table->SetExclusive(exclusive);
                table->Open();
            }
        } catch (const std::exception&) {
            ok = false;
        }
    }
    list.EnableControls();
    stats.EnableControls();
    if (!ok)
        ui::MessageDlg(
            "An error was encountered while optimizing your database, it may be active on "
            "another user's system.",
            ui::mtWarning, {ui::mbOK});
    return ok;
}

bool CheckCategory(std::string_view category) {
    if (category.empty())
        return true;
    if (category.find(',') != std::string_view::npos) {
        ui::MessageDlg(
            "The category you have entered contains a comma.  Commas are not permitted in "
            "category names.",
            ui::mtInformation, {ui::mbOK});
        return false;
    }
    if (category.find(' ', 1) != std::string_view::npos)
        return ui::MessageDlg(
                   "The category you have entered contains a space.  Are you sure you want to "
                   "continue?",
                   ui::mtConfirmation, ui::mbYesNo) == ui::mrYes;
    return true;
}

}  // namespace app
