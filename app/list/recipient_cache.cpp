#include "app/list/recipient_cache.h"

#include "app/routines/text_routines.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/string_list.h"

namespace app {

void RecipientCache::Clear() {
    entries_.clear();
    cached_group_.clear();
}

void RecipientCache::LoadCacheEntries(strata::TStrataTable& list, std::string_view category) {
    const std::string key = UpperCase(category);
    if (!cached_group_.empty() && (cached_group_ == key || (key.empty() && cached_group_ == "ALL")))
        return;
    Clear();
    db::TStringList found;
    found.SetSorted(true);
    found.SetDuplicates(db::dupIgnore);
    db::TField* item = list.FieldByName("Item");
    db::TField* group = list.FieldByName("Category");
    list.DisableControls();
    try {
        list.First();
        while (!list.Eof()) {
            if (key.empty() || UpperCase(group->AsString()) == key)
                found.Add(item->AsString());
            list.Next();
        }
    } catch (...) {
        list.EnableControls();
        throw;
    }
    list.EnableControls();
    entries_ = found.ToVector();
    cached_group_ = key.empty() ? "ALL" : key;
}

}  // namespace app
