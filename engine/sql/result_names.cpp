#include "engine/sql/result_names.h"

#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

std::string_view AggregatePrefix(std::uint8_t kind) {
    switch (kind) {
        case kAggregateSum:
            return "Sum Of ";
        case kAggregateMin:
            return "Min Of ";
        case kAggregateMax:
            return "Max Of ";
        case kAggregateAvg:
            return "Average Of ";
        case kAggregateCount:
            return "Count Of ";
        default:
            return {};
    }
}

bool NameTaken(const std::vector<std::string>& names, std::size_t except,
               std::string_view candidate) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != except && platform::nls::SameTextAnsi(names[i], candidate)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string DefaultResultName(const TResultField& field) {
    if (!field.AliasNotGiven) {
        return RightString(field.ResultName, kResultNameLength);
    }
    std::string name;
    if (field.IsExpression || (field.ColumnName().empty() && !field.CountStar)) {
        name = field.Aggregate == kAggregateNone
                   ? "Expression"
                   : std::string(AggregatePrefix(field.Aggregate)) + "Expr";
    } else {
        name = std::string(AggregatePrefix(field.Aggregate)) + field.ColumnName();
    }
    return LeftString(name, kResultNameLength);
}

void MakeResultNamesUnique(std::vector<std::string>& names) {
    for (std::size_t i = 1; i < names.size(); ++i) {
        bool repeated = false;
        for (std::size_t j = 0; j < i && !repeated; ++j) {
            repeated = platform::nls::SameTextAnsi(names[i], names[j]);
        }
        if (!repeated) {
            continue;
        }
        const std::string base = names[i];
        for (std::size_t n = 1;; ++n) {
            const std::string suffix = "_" + std::to_string(n);
            std::string candidate = base + suffix;
            if (candidate.size() > kResultNameLength) {
                candidate = RightString(base, kResultNameLength - suffix.size()) + suffix;
            }
            if (!NameTaken(names, i, candidate)) {
                names[i] = std::move(candidate);
                break;
            }
        }
    }
}

}  // namespace strata
