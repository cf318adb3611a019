#include "platform/db/index_defs.h"

#include <vector>

#include "platform/db/exception.h"
#include "platform/db/names.h"

namespace db {
namespace {

std::vector<std::string_view> SplitFields(std::string_view fields) {
    std::vector<std::string_view> names;
    std::size_t start = 0;
    while (start <= fields.size()) {
        const auto end = fields.find(';', start);
        const auto name = fields.substr(start, end == std::string_view::npos ? end : end - start);
        if (!name.empty()) {
            names.push_back(name);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return names;
}

// True when `index_fields` begins with `fields` (all of them, when `exact`).
bool FieldsMatch(std::string_view index_fields, std::string_view fields, bool exact) {
    const auto wanted = SplitFields(fields);
    const auto held = SplitFields(index_fields);
    if (wanted.empty() || held.size() < wanted.size() || (exact && held.size() != wanted.size())) {
        return false;
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!SameName(held[i], wanted[i])) {
            return false;
        }
    }
    return true;
}

bool Orderable(const TIndexDef& def) {
    return (def.Options() & (ixDescending | ixExpression)) == 0;
}

}  // namespace

void TIndexDef::SetFields(std::string_view fields) {
    fields_ = fields;
    Changed(false);
}

void TIndexDef::SetExpression(std::string_view expression) {
    expression_ = expression;
    Changed(false);
}

void TIndexDef::SetOptions(TIndexOptions options) {
    options_ = options;
    Changed(false);
}

void TIndexDef::Assign(const TPersistent& source) {
    const auto* def = dynamic_cast<const TIndexDef*>(&source);
    if (def == nullptr) {
        TNamedItem::Assign(source);
        return;
    }
    if (def == this) {
        return;
    }
    SetName(def->Name());
    fields_ = def->fields_;
    expression_ = def->expression_;
    options_ = def->options_;
    Changed(false);
}

TIndexDefs::TIndexDefs(TPersistent* dataset) : TDefCollection(ItemClass<TIndexDef>(), dataset) {}

TIndexDef* TIndexDefs::Add(std::string_view name, std::string_view fields, TIndexOptions options) {
    if (!name.empty() && IndexOf(name) >= 0) {
        throw EDatabaseError("Duplicate name '" + std::string(name) + "' in TIndexDefs");
    }
    BeginUpdate();
    TIndexDef* def = nullptr;
    try {
        def = static_cast<TIndexDef*>(TCollection::Add());
        def->SetName(name);
        def->SetFields(fields);
        def->SetOptions(options);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    return def;
}

TIndexDef* TIndexDefs::Find(std::string_view name) const {
    auto* def = static_cast<TIndexDef*>(TDefCollection::Find(name));
    if (def == nullptr) {
        throw EDatabaseError("Index '" + std::string(name) + "' not found");
    }
    return def;
}

TIndexDef* TIndexDefs::GetIndexForFields(std::string_view fields, bool case_insensitive) const {
    for (const bool exact : {true, false}) {
        for (std::int64_t i = 0; i < Count(); ++i) {
            TIndexDef* def = Items(i);
            if (!Orderable(*def) ||
                (case_insensitive && (def->Options() & ixCaseInsensitive) == 0)) {
                continue;
            }
            if (FieldsMatch(def->Fields(), fields, exact)) {
                return def;
            }
        }
    }
    return nullptr;
}

TIndexDef* TIndexDefs::FindIndexForFields(std::string_view fields, bool case_insensitive) const {
    for (std::int64_t i = 0; i < Count(); ++i) {
        TIndexDef* def = Items(i);
        const bool def_insensitive = (def->Options() & ixCaseInsensitive) != 0;
        if (Orderable(*def) && def_insensitive == case_insensitive &&
            FieldsMatch(def->Fields(), fields, false)) {
            return def;
        }
    }
    return nullptr;
}

}  // namespace db
