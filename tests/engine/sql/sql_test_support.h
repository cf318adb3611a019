#pragma once

// Shared helpers of the SQL processor's tests.

#include <memory>
#include <string>
#include <string_view>

#include "engine/sql/query_statement.h"
#include "engine/storage/engine_error.h"

namespace strata::sqltest {

// A statement prepared from `sql`, outside any database.
inline std::unique_ptr<TQueryStatement> Prepared(std::string_view sql) {
    auto statement = std::make_unique<TQueryStatement>(nullptr);
    std::size_t offset = 0;
    statement->Prepare(sql, offset);
    return statement;
}

// The SQL message of the engine error `call` raises (the text after "SQL error - "), "" when it
// raises none, or the whole message with a marker when it is another error.
template <class F>
std::string SqlError(F&& call) {
    try {
        call();
    } catch (const EStrataEngineError& e) {
        const std::string message = e.what();
        const std::string marker = "SQL error - ";
        const std::size_t at = message.find(marker);
        if (e.ErrorCode() != kErrSql || at == std::string::npos) {
            return "<other> " + message;
        }
        return message.substr(at + marker.size());
    }
    return {};
}

inline std::string PrepareError(std::string_view sql) {
    return SqlError([&] { Prepared(sql); });
}

}  // namespace strata::sqltest
