#include "app/list/find_entry.h"

#include <vector>

#include "platform/db/dataset.h"
#include "platform/db/variant.h"
#include "platform/ui/cursor.h"

namespace app {

std::string FindFieldName(std::string_view shown) {
    return shown == "E-mail" ? std::string("Item") : std::string(shown);
}

FindOutcome FindEntry(db::TDataSet& table, const std::array<FindCondition, 3>& conditions,
                      bool case_insensitive, bool partial, const LocateEntry& locate) {
    std::string fields;
    std::vector<db::Variant> values;
    for (const FindCondition& c : conditions) {
        if (!c.checked || c.value.empty())
            continue;
        if (!fields.empty())
            fields += ";";
        fields += FindFieldName(c.field);
        values.push_back(db::Variant(c.value));
    }
    if (values.empty())
        return FindOutcome::kNothingToFind;
    ui::THourglass hourglass;
    db::TLocateOptions options;
    if (case_insensitive)
        options.Include(db::loCaseInsensitive);
    if (partial)
        options.Include(db::loPartialKey);
    db::Variant key = values.size() == 1 ? values.front() : db::Variant::FromArray(values);
    const bool found = locate ? locate(fields, key, options) : table.Locate(fields, key, options);
    return found ? FindOutcome::kFound : FindOutcome::kNotFound;
}

}  // namespace app
