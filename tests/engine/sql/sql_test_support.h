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

// A LIKE pattern as SQLite must be given it to match what it matches here: a run of two or
// more "%" that ends the pattern needs a character of the text left (abc% matches abc, abc%%
// does not), which SQLite's "_%" asks for.
inline std::string SqliteLikePattern(std::string_view pattern) {
    const std::size_t end = pattern.find_last_not_of('%');
    const std::size_t run = pattern.size() - (end == std::string_view::npos ? 0 : end + 1);
    if (run < 2) {
        return std::string(pattern);
    }
    return std::string(pattern.substr(0, pattern.size() - run)) + "_%";
}

// `sql` with the pattern of every LIKE '...' given as SqliteLikePattern gives it.
inline std::string SqliteLikePatterns(std::string sql) {
    const std::string marker = "LIKE '";
    for (std::size_t at = sql.find(marker); at != std::string::npos;
         at = sql.find(marker, at + 1)) {
        const std::size_t from = at + marker.size();
        const std::size_t to = sql.find('\'', from);
        if (to == std::string::npos) {
            break;
        }
        sql.replace(from, to - from,
                    SqliteLikePattern(std::string_view(sql).substr(from, to - from)));
    }
    return sql;
}

inline std::string PrepareError(std::string_view sql) {
    return SqlError([&] { Prepared(sql); });
}

}  // namespace strata::sqltest
