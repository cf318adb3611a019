#include "engine/sql/sql_clauses.h"

namespace strata {

std::uint8_t AggregateKindOf(std::uint8_t op_code) {
    switch (op_code) {
        case kOpSum:
            return kAggregateSum;
        case kOpMin:
            return kAggregateMin;
        case kOpMax:
            return kAggregateMax;
        case kOpAvg:
            return kAggregateAvg;
        case kOpCount:
            return kAggregateCount;
        default:
            return kAggregateNone;
    }
}

void TResultField::SetColumnName(std::string_view name) {
    column_name_ = name;
    if (ResultName.empty() && name != "*") {
        ResultName = name;
    }
}

}  // namespace strata
