// Random tables, random SELECTs and random UPDATEs and DELETEs, run here and in SQLite (linked
// into this test only, as the reference): every query must give the same rows, in the same
// order as far as its ORDER BY fixes it, every change must touch as many rows, and the tables
// must hold the same rows afterwards.
//
// The statements sent to SQLite are written so that it follows this engine's intended rules
// instead of its own:
// - an empty text is NULL, so '' goes to SQLite as NULL;
// - conditions are two-valued: = and <> treat NULL as a value (NULL = NULL holds, NULL <> 1
//   holds; IS NULL and IN follow =), and every other comparison, BETWEEN and LIKE with a NULL
//   operand is false, so NOT of it is true (EvaluateComparison and EvalPredicate in
//   engine/storage/expression_eval.cpp); so = and <> become IS and IS NOT there, and every
//   other predicate is wrapped in COALESCE(..., 0);
// - AVG over a whole-number column keeps the column's type, rounded half away from zero
//   (AggregateAccumulator::StoreFloat), so it becomes CAST(ROUND(AVG(x)) AS INTEGER) there;
// - a NULL text joins with || as an empty one (ApplyArithmetic), so COALESCE(x, '') there;
// - a field keeps a text without its trailing blanks (TDataCursor::PutField), so a stored text
//   constant goes to SQLite as NULLIF(RTRIM(x), ''); constants in conditions keep theirs;
// - LIKE compares with case, as PRAGMA case_sensitive_like makes SQLite's, and a run of two or
//   more "%" that ends a pattern matches only where a character is left for it, so SQLite gets
//   "_%" there.
// The generator keeps to what this engine accepts: NULL constants only beside = and <> (a NULL
// is typeless here), MIN and MAX not over texts, HAVING only over an aggregate of the result
// and not COUNT(*), indexes only in this engine (they must not change a result); and booleans
// only with = and <>, as an ordering of two booleans, BETWEEN too, is false here
// (EvaluateComparison).
// Texts are single bytes here; characters past ASCII go to SQLite as the code points of the
// same numbers, whose UTF-8 sorts as the bytes do.
//
// Around the statements, as callers use them: some condition constants come through markers
// and SetParams; plain queries run again with a MaxRowCount; a query's result stays open over
// the next change (a live one must then read the table as it is, a canned one as it was); a
// second session, with strict change detection, may keep a table open all round, read it,
// insert, change and delete rows through its cursor and hold a row locked through an UPDATE or
// DELETE; an UPDATE of ids under a unique index may stop at a taken id. A stopped change
// leaves the rows before it changed (SQLite then takes the rows left here). Every table
// verifies clean at the end of a round.
//
// CORVANE_SQL_FUZZ_ROUNDS raises the number of rounds, CORVANE_SQL_FUZZ_SEED moves the first
// seed; CORVANE_SQL_FUZZ_SHRINK=1 drops every statement of a failing round that the failure
// does not need before reporting it; CORVANE_SQL_FUZZ_LARGE=1 gives each round a table of
// thousands of rows; CORVANE_SQL_FUZZ_SCRIPT=file runs the file's statements here instead and
// prints what each gives.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "engine/core/table_repair.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/sql/sql_execution_fixture.h"
#include "tests/engine/sql/sql_test_support.h"

namespace strata {
namespace {

using RowList = std::vector<std::string>;

// One statement in both dialects. Table names carry a leading '@', replaced by the round's
// prefix here and by nothing in SQLite.
struct Sql {
    std::string ours;
    std::string theirs;
};

Sql operator+(const Sql& a, const Sql& b) {
    return {a.ours + b.ours, a.theirs + b.theirs};
}
Sql operator+(const Sql& a, const std::string& b) {
    return {a.ours + b, a.theirs + b};
}
Sql operator+(const std::string& a, const Sql& b) {
    return {a + b.ours, a + b.theirs};
}
Sql Same(const std::string& text) {
    return {text, text};
}

// Single-byte text as UTF-8, one code point per byte.
std::string Utf8(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

std::string Number(double value) {
    if (value == 0) {
        value = 0;  // no "-0"
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// A day number of this engine (0001-01-01 is day 1) as yyyy-mm-dd.
std::string IsoDate(std::int32_t day) {
    std::int64_t z = static_cast<std::int64_t>(day) - 719163 + 719468;  // days from 0000-03-01
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d));
    return text;
}

// yyyy-mm-dd as a day number of this engine.
std::int32_t DayNumber(const std::string& iso) {
    const std::int64_t y0 = std::stoi(iso.substr(0, 4));
    const std::int64_t m = std::stoi(iso.substr(5, 2));
    const std::int64_t d = std::stoi(iso.substr(8, 2));
    const std::int64_t y = m <= 2 ? y0 - 1 : y0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int32_t>(era * 146097 + doe - 719468 + 719163);
}

enum class Kind { Integer, Small, Float, Text, Long, Date, Boolean };

bool IsNumeric(Kind kind) {
    return kind == Kind::Integer || kind == Kind::Small || kind == Kind::Float;
}
bool IsText(Kind kind) {
    return kind == Kind::Text || kind == Kind::Long;
}
bool Comparable(Kind a, Kind b) {
    return a == b || (IsNumeric(a) && IsNumeric(b)) || (IsText(a) && IsText(b));
}

struct Column {
    std::string name;
    Kind kind;
};

struct Table {
    std::string name;  // with the leading '@'
    std::vector<Column> columns;
    std::size_t rows = 0;    // as first filled
    bool unique_id = false;  // a unique index holds the ids
};

// A column as a query names it.
struct ColumnRef {
    std::string text;
    Kind kind;
};

// A value handed to a statement's marker through SetParams: the engine type it comes as and
// its text (a number, the bytes of a text, yyyy-mm-dd, 1 or 0).
struct Param {
    std::uint8_t type = 0;
    std::string value;
    bool null = false;
};

class Generator {
  public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(random_() % n); }
    bool Chance(std::uint32_t one_in) { return Below(one_in) == 0; }
    template <class T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(static_cast<std::uint32_t>(items.size()))];
    }

    std::string Text(std::size_t longest) {
        // Both cases, LIKE's own characters, and letters past ASCII with their other case.
        // Under some languages an accented letter equals the plain one, a sharp s "ss", and
        // in German phone book order an a umlaut "ae".
        static const char* const kLetters[] = {"a",    "A",    "b",    "B",  "c",    "z",    "_",
                                               "%",    "\xE9", "\xC9", "e",  "\xFC", "\xDC", "u",
                                               "\xDF", "ss",   "\xE4", "ae", "1",    " "};
        // A few letters that some languages take as equal, so that texts meet such a twin.
        static const char* const kNarrow[] = {"e", "\xE9", "E", "ss", "\xDF", "a", "\xE4", "ae"};
        std::string text;
        const std::size_t length = 1 + Below(static_cast<std::uint32_t>(
                                           narrow_ ? std::min<std::size_t>(longest, 2) : longest));
        for (std::size_t i = 0; i < length; ++i) {
            text +=
                narrow_ ? kNarrow[Below(std::size(kNarrow))] : kLetters[Below(std::size(kLetters))];
        }
        // Two-letter pieces may pass the length asked for, which a column must hold whole.
        return text.substr(0, longest);
    }

    // A text of a few about as long as a column of the kind: one shorter, one as long, and
    // some longer that share the beginning the column keeps.
    std::string BorderText(Kind kind) {
        static const std::vector<std::string> kShort = {"aAbB\xE9z1", "aAbB\xE9z1b", "aAbB\xE9z1bb",
                                                        "aAbB\xE9z1B", "aAbB\xE9z1 x"};
        static const std::vector<std::string> kLong = {
            "member1member1member1zz", "member1member1member1zz1", "member1member1member1zz1a",
            "member1member1member1zz1A", "member1member1member1zz1 a"};
        return Pick(kind == Kind::Long ? kLong : kShort);
    }

    // A constant of a kind; `null_one_in` of them NULL (0: never), texts sometimes ''.
    Sql Constant(Kind kind, std::uint32_t null_one_in = 0) {
        if (null_one_in != 0 && Chance(null_one_in)) {
            return Same("NULL");
        }
        switch (kind) {
            case Kind::Integer: {
                static const std::vector<int> kWide = {-40, 100, 1000, -7};
                const int value = Chance(8) ? Pick(kWide) : static_cast<int>(Below(12)) - 3;
                return Same(std::to_string(value));
            }
            case Kind::Small:
                return Same(std::to_string(static_cast<int>(Below(9)) - 2));
            case Kind::Float: {
                static const std::vector<std::string> kFloats = {"-2.5", "-1.0", "0.0", "-0.0",
                                                                 "0.25", "0.5",  "1.0", "1.5",
                                                                 "2.0",  "3.75", "10.5"};
                return Same(Pick(kFloats));
            }
            case Kind::Text:
            case Kind::Long: {
                if (null_one_in != 0 && Chance(null_one_in)) {
                    return {"''", "NULL"};
                }
                // Long texts share long beginnings, which compressed keys store once.
                static const std::vector<std::string> kStems = {"member", "member1", "Member",
                                                                "m\xE9mber", "zz"};
                const std::string text =
                    kind == Kind::Long ? Pick(kStems) + (Chance(4) ? "" : Text(6)) : Text(5);
                return {"'" + text + "'", "'" + Utf8(text) + "'"};
            }
            case Kind::Boolean:
                return Chance(2) ? Sql{"TRUE", "1"} : Sql{"FALSE", "0"};
            case Kind::Date: {
                static const std::vector<std::string> kDates = {
                    "1999-12-31", "2000-01-01", "2000-02-29", "2001-02-03", "2024-06-30"};
                return Same("'" + Pick(kDates) + "'");
            }
        }
        return Same("NULL");
    }

    std::string LikePattern() {
        static const char* const kPieces[] = {"a", "A", "b", "%",      "_",   "\xE9",  "\xC9",
                                              "z", "1", "%", "member", "Mem", "m\xE9m"};
        std::string pattern;
        const std::size_t length = 1 + Below(4);
        for (std::size_t i = 0; i < length; ++i) {
            pattern += kPieces[Below(std::size(kPieces))];
        }
        return pattern;
    }

    // NULL constants are typeless here, and only = and <> take them.
    Sql Compare(const std::vector<std::string>& ops, const Sql& column, Kind kind,
                bool constant_first) {
        const std::string& op = Pick(ops);
        Sql constant = Constant(kind, op == "=" || op == "<>" ? 12 : 0);
        if ((kind == Kind::Integer || kind == Kind::Small) && Chance(10)) {
            // Numbers at and past the ends of the column's type.
            static const std::vector<std::string> kFar = {"2147483647", "-2147483647", "32767",
                                                          "-32768",     "40000",       "-40000",
                                                          "2.5e9",      "-2.5e9",      "0.5"};
            constant = Same(Pick(kFar));
        }
        if (IsText(kind) && Chance(8)) {
            // Texts about as long as the column, and longer, which no field holds whole,
            // though it may hold their beginning.
            const std::string text = BorderText(kind);
            constant = {"'" + text + "'", "'" + Utf8(text) + "'"};
        }
        if (params_ != nullptr && Chance(3)) {
            params_->push_back(AsParam(kind, constant.ours));
            constant.ours = "?";
        }
        return constant_first ? Comparison(op, constant, column) : Comparison(op, column, constant);
    }

    // A constant of this engine's SQL as a parameter of a type that compares with `kind`: whole
    // numbers sometimes as another number type, as a caller's may be.
    Param AsParam(Kind kind, const std::string& text) {
        Param p;
        p.null = text == "NULL" || text == "''";
        if (IsText(kind) || kind == Kind::Date) {
            p.type = IsText(kind) ? kTypeString : kTypeDate;
            p.value = p.null ? "" : text.substr(1, text.size() - 2);
            return p;
        }
        if (kind == Kind::Boolean) {
            p.type = kTypeBoolean;
            p.value = text == "TRUE" ? "1" : "0";
            return p;
        }
        p.value = p.null ? "0" : text;
        const double number = std::strtod(p.value.c_str(), nullptr);
        const bool whole = number == static_cast<double>(static_cast<std::int64_t>(number)) &&
                           p.value.find_first_of(".e") == std::string::npos;
        if (!whole || std::abs(number) > 2147483647.0 || Chance(4)) {
            p.type = kTypeFloat;
        } else if (std::abs(number) <= 32767 && Chance(3)) {
            p.type = kTypeSmallInt;
        } else {
            p.type = kTypeInteger;
        }
        return p;
    }

    // A text function of a text column. Case maps here cover the letters past ASCII that SQLite's
    // leave alone; an empty result is NULL here.
    Sql TextFunction(const std::string& column) {
        switch (Below(3)) {
            case 0:
                return {"UPPER(" + column + ")", "REPLACE(REPLACE(REPLACE(UPPER(" + column +
                                                     "), '\xC3\xA9', '\xC3\x89'), "
                                                     "'\xC3\xBC', '\xC3\x9C'), "
                                                     "'\xC3\xA4', '\xC3\x84')"};
            case 1:
                return {"LOWER(" + column + ")", "REPLACE(REPLACE(REPLACE(LOWER(" + column +
                                                     "), '\xC3\x89', '\xC3\xA9'), "
                                                     "'\xC3\x9C', '\xC3\xBC'), "
                                                     "'\xC3\x84', '\xC3\xA4')"};
            default: {
                const std::string from = std::to_string(1 + Below(3));
                const std::string length = std::to_string(1 + Below(3));
                return {"SUBSTRING(" + column + " FROM " + from + " FOR " + length + ")",
                        "NULLIF(SUBSTR(" + column + ", " + from + ", " + length + "), '')"};
            }
        }
    }

    Sql Comparison(const std::string& op, const Sql& left, const Sql& right) {
        if (op == "=") {
            return {left.ours + " = " + right.ours,
                    "(" + left.theirs + " IS " + right.theirs + ")"};
        }
        if (op == "<>") {
            return {left.ours + " <> " + right.ours,
                    "(" + left.theirs + " IS NOT " + right.theirs + ")"};
        }
        return {left.ours + " " + op + " " + right.ours,
                "COALESCE(" + left.theirs + " " + op + " " + right.theirs + ", 0)"};
    }

    Sql Atom(const std::vector<ColumnRef>& columns) {
        static const std::vector<std::string> kAllOps = {"=", "<>", "<", ">", "<=", ">=", "="};
        // Booleans are only equal or not here: an ordering of two is always false.
        static const std::vector<std::string> kEqualOps = {"=", "<>"};
        const ColumnRef& column = Pick(columns);
        const std::vector<std::string>& kOps = column.kind == Kind::Boolean ? kEqualOps : kAllOps;
        const Sql ref = Same(column.text);
        if (column.kind == Kind::Boolean && Chance(4)) {
            // A bare boolean column is a condition of its own.
            return {column.text, "COALESCE(" + column.text + ", 0)"};
        }
        const std::uint32_t choice = Below(13);
        // Nor does BETWEEN order them.
        switch (column.kind == Kind::Boolean && choice == 4 ? 0 : choice) {
            case 0:
            case 1:
                return Compare(kOps, ref, column.kind, false);
            case 2:
                return Compare(kOps, ref, column.kind, true);
            case 3: {
                std::vector<ColumnRef> peers;
                for (const ColumnRef& other : columns) {
                    if (other.text != column.text && Comparable(other.kind, column.kind)) {
                        peers.push_back(other);
                    }
                }
                if (peers.empty()) {
                    return Comparison(Pick(kOps), ref, Constant(column.kind));
                }
                return Comparison(Pick(kOps), ref, Same(Pick(peers).text));
            }
            case 4: {
                const bool negated = Chance(3);
                const Sql low = Constant(column.kind);
                const Sql high = Constant(column.kind);
                const Sql test = {column.text + (negated ? " NOT" : "") + " BETWEEN " + low.ours +
                                      " AND " + high.ours,
                                  "COALESCE(" + column.text + " BETWEEN " + low.theirs + " AND " +
                                      high.theirs + ", 0)"};
                return negated ? Sql{test.ours, "NOT " + test.theirs} : test;
            }
            case 5: {
                const bool negated = Chance(3);
                Sql list;
                const std::size_t count = 1 + Below(4);
                std::string ours = column.text + (negated ? " NOT IN (" : " IN (");
                std::string theirs = negated ? "NOT (" : "(";
                for (std::size_t i = 0; i < count; ++i) {
                    const Sql element = Constant(column.kind, 15);
                    ours += (i > 0 ? ", " : "") + element.ours;
                    theirs += (i > 0 ? " OR " : "") + column.text + " IS " + element.theirs;
                }
                return {ours + ")", theirs + ")"};
            }
            case 6:
                return Chance(2) ? Same(column.text + " IS NULL")
                                 : Same(column.text + " IS NOT NULL");
            case 9:
                if (IsNumeric(column.kind)) {
                    // Arithmetic keeps a NULL operand NULL in both, and so does a division by
                    // zero; a division of whole numbers gives a float here.
                    const std::string k = Constant(column.kind).ours;
                    switch (Below(3)) {
                        case 0:
                            return Compare(kOps, Same("(" + column.text + " + " + k + ")"),
                                           column.kind, false);
                        case 1:
                            return Compare(kOps, Same("(" + column.text + " * " + k + ")"),
                                           column.kind, false);
                        default:
                            return Compare(kOps,
                                           {"(" + column.text + " / " + k + ")",
                                            "(" + column.text + " * 1.0 / " + k + ")"},
                                           Kind::Float, false);
                    }
                }
                if (subselect_ && subselect_(column, outer_)) {
                    return *subselect_(column, outer_);
                }
                return Compare(kOps, ref, column.kind, false);
            case 10:
                if (IsText(column.kind)) {
                    return Compare(kOps, TextFunction(column.text), Kind::Text, Chance(3));
                }
                return Compare(kOps, ref, column.kind, false);
            case 7:
            case 8: {
                if (!IsText(column.kind)) {
                    return Compare(kOps, ref, column.kind, false);
                }
                const bool negated = Chance(3);
                const std::string pattern = LikePattern();
                std::string written = "'" + pattern + "'";
                if (params_ != nullptr && Chance(3)) {
                    // The pattern through a marker, which no filter sees before it is set.
                    params_->push_back({kTypeString, pattern, false});
                    written = "?";
                }
                const Sql test = {column.text + (negated ? " NOT" : "") + " LIKE " + written,
                                  "COALESCE(" + column.text + " LIKE '" +
                                      Utf8(sqltest::SqliteLikePattern(pattern)) + "', 0)"};
                return negated ? Sql{test.ours, "NOT " + test.theirs} : test;
            }
            default:
                return Compare(kOps, ref, column.kind, false);
        }
    }

    Sql Condition(const std::vector<ColumnRef>& columns, int depth) {
        if (depth > 0 && !Chance(3)) {
            const Sql left = Condition(columns, depth - 1);
            const Sql right = Condition(columns, depth - 1);
            const std::string op = Chance(3) ? " OR " : " AND ";
            return "(" + left + op + right + ")";
        }
        if (depth > 0 && Chance(6)) {
            return "NOT (" + Condition(columns, depth - 1) + ")";
        }
        return Atom(columns);
    }

    // A sub-select over another table for a column, when there is one; `outer` qualifies the
    // outer column in SQLite's form.
    std::function<std::optional<Sql>(const ColumnRef&, const std::string&)> subselect_;
    std::string outer_;
    // While set, some constants of comparisons become markers whose values go here, in the
    // order of the text.
    std::vector<Param>* params_ = nullptr;
    // Texts of a few letters only, which meet their equals under a language often.
    bool narrow_ = false;

  private:
    std::mt19937 random_;
};

std::string SqlType(Kind kind, bool ours) {
    switch (kind) {
        case Kind::Integer:
            return "INTEGER";
        case Kind::Small:
            return ours ? "SMALLINT" : "INTEGER";
        case Kind::Float:
            return ours ? "FLOAT" : "REAL";
        case Kind::Text:
            return ours ? "CHAR(8)" : "TEXT";
        case Kind::Long:
            return ours ? "CHAR(24)" : "TEXT";
        case Kind::Date:
            return ours ? "DATE" : "TEXT";
        case Kind::Boolean:
            return ours ? "BOOLEAN" : "INTEGER";
    }
    return {};
}

// A round: its statements in order, each either a change or a query to compare.
struct Step {
    Sql sql;
    // kHold opens the table `sql.ours` names in a second session, kRelease closes it again;
    // kHeldInsert inserts a row through it, the values of `params` (SQLite: `sql.theirs`).
    enum Type {
        kSetup,
        kChange,
        kQuery,
        kCompareTable,
        kHold,
        kRelease,
        kHeldInsert,
        kHeldChange,  // through it, `row` (in the cursor's order) changed or deleted
        kVerify       // the engine's verification of the table `sql.ours` finds no error
    } type = kSetup;
    bool ordered = false;  // a query whose ORDER BY keys are `order_keys` (result positions)
    std::vector<std::size_t> order_keys;
    std::string into;     // a query that writes its result to this table
    bool nocase = false;  // ORDER BY ... NOCASE
    // A query whose rows are the combined rows themselves, or of one table their DISTINCT,
    // run again with this MaxRowCount.
    std::int32_t max_rows = -1;
    // A change of the ids of `table` (columns `kinds`), which a unique index holds: it may stop
    // at a row whose new id another row still has. `before` and `after` (SQLite's) give the
    // table's rows and the rows the statement turns the ones it changes into.
    // Or a change that may stop at the row `row` of the table, which the second session holds
    // locked meanwhile (`lock`); `deletes`: `after` gives the rows it deletes.
    std::string table;
    std::vector<Kind> kinds;
    Sql before;
    Sql after;
    bool lock = false;
    bool deletes = false;
    std::vector<Param> params;  // the values of the markers of `sql.ours`
    // kHeldChange: the row, and the column (its name and field number) it takes `params[0]` in
    // (SQLite: `sql.theirs`); none deletes the row.
    std::size_t row = 0;
    std::string column;
    std::uint32_t field = 0;
};

struct Outcome {
    std::optional<RowList> rows;  // query rows, or a table's rows
    std::int64_t changed = -1;
    std::string error;
    EngineErrorCode code = 0;
};

// UTF-8 text of single-byte characters with the letters as this engine's case-insensitive
// order takes them: capitals, past ASCII those of the Windows-1252 map (the small letters from
// U+00E0 but U+00F7 and U+00FF are their capitals' code points plus 0x20).
std::string Capitals(std::string_view text) {
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 0x20);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            const auto next = static_cast<unsigned char>(out[i + 1]);
            if (next >= 0xA0 && next <= 0xBE && next != 0xB7) {
                out[i + 1] = static_cast<char>(next - 0x20);
            }
            ++i;
        }
    }
    return out;
}

// ORDER BY ... NOCASE in SQLite.
int CompareCapitals(void*, int a_size, const void* a, int b_size, const void* b) {
    const std::string x = Capitals({static_cast<const char*>(a), static_cast<std::size_t>(a_size)});
    const std::string y = Capitals({static_cast<const char*>(b), static_cast<std::size_t>(b_size)});
    return x.compare(y);
}

class SqliteDatabase {
  public:
    SqliteDatabase() {
        sqlite3* db = nullptr;
        sqlite3_open(":memory:", &db);
        db_.reset(db);
        Exec("PRAGMA case_sensitive_like = ON");
        sqlite3_create_collation(db_.get(), "CAPITALS", SQLITE_UTF8, nullptr, CompareCapitals);
    }

    std::string Exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message != nullptr ? message : "?";
            sqlite3_free(message);
            return text;
        }
        return {};
    }

    std::int64_t Changes() { return sqlite3_changes(db_.get()); }

    // RowList as "v|v|..."; an error text when the statement fails.
    std::variant<RowList, std::string> Query(const std::string& sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
            return std::string(sqlite3_errmsg(db_.get()));
        }
        std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, sqlite3_finalize);
        RowList rows;
        int status = 0;
        while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(raw); ++i) {
                if (i > 0) {
                    row += "|";
                }
                switch (sqlite3_column_type(raw, i)) {
                    case SQLITE_NULL:
                        row += "NULL";
                        break;
                    case SQLITE_INTEGER:
                        row += std::to_string(sqlite3_column_int64(raw, i));
                        break;
                    case SQLITE_FLOAT:
                        row += Number(sqlite3_column_double(raw, i));
                        break;
                    default:
                        row += reinterpret_cast<const char*>(sqlite3_column_text(raw, i));
                        break;
                }
            }
            rows.push_back(row);
        }
        if (status != SQLITE_DONE) {
            return std::string(sqlite3_errmsg(db_.get()));
        }
        return rows;
    }

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    std::unique_ptr<sqlite3, Closer> db_;
};

std::string Replace(std::string text, const std::string& prefix) {
    for (std::size_t at = text.find('@'); at != std::string::npos;
         at = text.find('@', at + prefix.size())) {
        text.replace(at, 1, prefix);
    }
    return text;
}

// Every row of a cursor in the form SQLite's rows take.
RowList CursorRows(TDataCursor& cursor) {
    RowList rows;
    std::vector<std::uint8_t> record(cursor.GetRecordSize());
    cursor.First();
    while (cursor.GetNextRecord(record) == kErrNone) {
        std::string row;
        bool first = true;
        for (std::uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) {
            const FieldDescriptor& d = cursor.GetFieldDesc(n);
            if (FieldHidden(d) || FieldName(d).rfind("Sys__Avg__Count", 0) == 0) {
                continue;
            }
            if (!first) {
                row += "|";
            }
            first = false;
            std::vector<std::uint8_t> value(512);
            bool is_null = true;
            cursor.GetField(n, record, is_null, value);
            const auto* bytes = reinterpret_cast<std::byte*>(value.data());
            if (is_null) {
                row += "NULL";
                continue;
            }
            switch (FieldType(d)) {
                case kTypeString:
                    row += Utf8(reinterpret_cast<const char*>(value.data()));
                    break;
                case kTypeInteger:
                    row += std::to_string(LoadInt32(bytes));
                    break;
                case kTypeSmallInt:
                    row += std::to_string(LoadInt16(bytes));
                    break;
                case kTypeWord:
                    row += std::to_string(LoadUInt16(bytes));
                    break;
                case kTypeFloat:
                    row += Number(LoadDouble(bytes));
                    break;
                case kTypeDate:
                    row += IsoDate(LoadInt32(bytes));
                    break;
                case kTypeBoolean:
                    row += LoadUInt16(bytes) != 0 ? "1" : "0";
                    break;
                default:
                    row += "?type" + std::to_string(FieldType(d));
                    break;
            }
        }
        rows.push_back(row);
    }
    return rows;
}

std::string Join(const RowList& rows) {
    std::string text;
    for (const std::string& row : rows) {
        text += "[" + row + "] ";
    }
    return text;
}

// The ORDER BY keys of each row, in order; under NOCASE, in capitals.
RowList OrderKeys(const RowList& rows, const std::vector<std::size_t>& keys, bool nocase) {
    RowList out;
    for (const std::string& row : rows) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            const std::size_t bar = row.find('|', start);
            fields.push_back(row.substr(start, bar - start));
            if (bar == std::string::npos) {
                break;
            }
            start = bar + 1;
        }
        std::string key;
        for (const std::size_t k : keys) {
            key += (k < fields.size() ? fields[k] : "?") + "|";
        }
        out.push_back(nocase ? Capitals(key) : key);
    }
    return out;
}

// Builds a round's statements.
class RoundBuilder {
  public:
    // `large`: the first table gets thousands of rows, for trees of several levels.
    // `table_options` close the definitions of the first, second, ... table here (a LANGUAGE,
    // say), the last one those of any further table.
    RoundBuilder(std::uint32_t seed, bool large, std::vector<std::string> table_options = {},
                 bool narrow_texts = false)
        : g_(seed), large_(large), table_options_(std::move(table_options)) {
        g_.narrow_ = narrow_texts;
    }

    std::vector<Step> Build() {
        const int table_count = 2;
        for (int t = 0; t < table_count; ++t) {
            MakeTable(t);
        }
        // Now and then a second session keeps a table open through the round and must read
        // what the statements leave.
        hold_ = g_.Chance(2);
        const bool hold = hold_;
        if (hold) {
            Add(Same(tables_[0].name), Step::kHold);
        }
        for (int i = 0; i < 14; ++i) {
            Query();
        }
        for (int round = 0; round < 5; ++round) {
            Change();
            // Every table read whole after each change, from its files.
            for (const Table& table : tables_) {
                Step step;
                step.type = Step::kCompareTable;
                step.sql = Same(table.name);
                steps_.push_back(step);
            }
            if (hold && g_.Chance(2)) {
                HeldInsert(tables_[0]);
            }
            if (hold && g_.Chance(2)) {
                HeldChange(tables_[0]);
            }
            for (int i = 0; i < 4; ++i) {
                Query();
            }
        }
        if (hold) {
            Add(Same(tables_[0].name), Step::kRelease);
        }
        for (const Table& table : tables_) {
            Add(Same(table.name), Step::kVerify);
        }
        for (const Table& table : tables_) {
            Add(Same("DROP TABLE " + table.name));
        }
        return std::move(steps_);
    }

  private:
    void Add(Sql sql, Step::Type type = Step::kSetup) {
        Step step;
        step.sql = std::move(sql);
        step.type = type;
        steps_.push_back(std::move(step));
    }

    void MakeTable(int number) {
        Table table;
        table.name = std::string("@") + static_cast<char>('a' + number);
        table.columns.push_back({"id", Kind::Integer});
        static const std::vector<Kind> kKinds = {Kind::Integer, Kind::Small, Kind::Float,
                                                 Kind::Text,    Kind::Long,  Kind::Date,
                                                 Kind::Boolean};
        const std::size_t extra = 3 + g_.Below(3);
        for (std::size_t i = 0; i < extra; ++i) {
            // The first tables share their first columns so that joins find comparable ones.
            const Kind kind = i < 2 ? kKinds[i * 3] : g_.Pick(kKinds);
            table.columns.push_back({std::string(1, static_cast<char>('p' + i)), kind});
        }
        const bool primary = g_.Chance(2);
        Sql create = Same("CREATE TABLE " + table.name + " (");
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const Column& c = table.columns[i];
            create = create + Sql{(i > 0 ? ", " : "") + c.name + " " + SqlType(c.kind, true),
                                  (i > 0 ? ", " : "") + c.name + " " + SqlType(c.kind, false)};
        }
        if (primary) {
            create = create + Sql{", PRIMARY KEY (id)", ""};
        }
        if (!table_options_.empty()) {
            const std::string& options = table_options_[std::min(static_cast<std::size_t>(number),
                                                                 table_options_.size() - 1)];
            if (!options.empty()) {
                create.ours += (primary ? " " : ", ") + options;
            }
        }
        create = create + ")";
        Add(create);
        tables_.push_back(table);

        std::vector<Sql> indexes;
        const std::size_t index_count = g_.Below(4);
        for (std::size_t i = 0; i < index_count; ++i) {
            indexes.push_back(Index(table, static_cast<int>(i)));
        }
        // Some tables span several index pages.
        const std::size_t rows = large_ && number == 0 ? 1500 + g_.Below(2500)
                                 : g_.Chance(5)        ? 150 + g_.Below(200)
                                                       : 10 + g_.Below(40);
        tables_.back().rows = rows;
        const std::size_t early = g_.Below(static_cast<std::uint32_t>(indexes.size() + 1));
        for (std::size_t i = 0; i < early; ++i) {
            Add(indexes[i]);
        }
        for (std::size_t r = 0; r < rows; ++r) {
            if (g_.Chance(8)) {
                Add(NamedInsert(table, r + 1));
                continue;
            }
            Sql insert = Same("INSERT INTO " + table.name + " VALUES (" + std::to_string(r + 1));
            for (std::size_t i = 1; i < table.columns.size(); ++i) {
                insert = insert + ", " + Stored(g_.Constant(table.columns[i].kind, 6));
            }
            Add(insert + ")");
        }
        for (std::size_t i = early; i < indexes.size(); ++i) {
            Add(indexes[i]);
        }
        for (const Sql& index : indexes) {
            if (index.ours.rfind("CREATE UNIQUE", 0) == 0) {
                tables_.back().unique_id = true;
            }
        }
        tables_.back().unique_id = tables_.back().unique_id || primary;
    }

    // A row inserted through the second session's cursor, with an id no statement gives.
    void HeldInsert(const Table& t) {
        Step step;
        step.type = Step::kHeldInsert;
        const std::string id = std::to_string(700000 + steps_.size());
        step.params.push_back({kTypeInteger, id});
        Sql values = Same(id);
        for (std::size_t i = 1; i < t.columns.size(); ++i) {
            const Kind kind = t.columns[i].kind;
            const Sql constant = g_.Constant(kind, 5);
            Param p = g_.AsParam(kind, constant.ours);
            if (kind == Kind::Integer || kind == Kind::Small || kind == Kind::Float) {
                p.type = kind == Kind::Integer ? kTypeInteger
                         : kind == Kind::Small ? kTypeSmallInt
                                               : kTypeFloat;
            }
            step.params.push_back(p);
            values = values + ", " + Stored(constant);
        }
        step.sql = {t.name, "INSERT INTO " + t.name + " VALUES (" + values.theirs + ")"};
        steps_.push_back(std::move(step));
    }

    // A row of the second session's cursor changed in one column, or deleted, through it.
    void HeldChange(const Table& t) {
        Step step;
        step.type = Step::kHeldChange;
        step.sql.ours = t.name;
        step.row = g_.Below(static_cast<std::uint32_t>(std::max<std::size_t>(t.rows, 1)));
        if (!g_.Chance(3)) {
            const std::size_t c = 1 + g_.Below(static_cast<std::uint32_t>(t.columns.size() - 1));
            const Kind kind = t.columns[c].kind;
            const Sql constant = g_.Constant(kind, 5);
            Param p = g_.AsParam(kind, constant.ours);
            if (IsNumeric(kind)) {
                p.type = kind == Kind::Integer ? kTypeInteger
                         : kind == Kind::Small ? kTypeSmallInt
                                               : kTypeFloat;
            }
            step.params.push_back(p);
            step.column = t.columns[c].name;
            step.field = static_cast<std::uint32_t>(c + 1);
            step.sql.theirs = Stored(constant).theirs;
        }
        steps_.push_back(std::move(step));
    }

    // An INSERT that names some of the columns, in an order of its own (the others stay NULL),
    // with values the columns must make fit: texts longer than the column, which keeps their
    // beginning, and fractions for whole-number columns, which take the nearest whole number.
    Sql NamedInsert(const Table& t, std::size_t id) {
        std::vector<std::size_t> order = {0};
        for (std::size_t i = 1; i < t.columns.size(); ++i) {
            if (g_.Chance(2)) {
                order.push_back(i);
            }
        }
        for (std::size_t i = order.size(); i > 1; --i) {
            std::swap(order[i - 1], order[g_.Below(static_cast<std::uint32_t>(i))]);
        }
        Sql names = Same("");
        Sql values = Same("");
        for (std::size_t k = 0; k < order.size(); ++k) {
            const Column& c = t.columns[order[k]];
            names = names + (k > 0 ? ", " : "") + c.name;
            Sql value = Stored(g_.Constant(c.kind, 4));
            if (order[k] == 0) {
                value = Same(std::to_string(id));
            } else if (IsText(c.kind) && g_.Chance(2)) {
                const std::size_t size = c.kind == Kind::Long ? 24 : 8;
                const std::string text = g_.Chance(2) ? g_.BorderText(c.kind) : g_.Text(size + 6);
                value = {"'" + text + "'", "NULLIF(RTRIM(SUBSTR('" + Utf8(text) + "', 1, " +
                                               std::to_string(size) + ")), '')"};
            } else if ((c.kind == Kind::Integer || c.kind == Kind::Small) && g_.Chance(2)) {
                static const std::vector<std::pair<std::string, std::string>> kFractions = {
                    {"1.25", "1"}, {"-0.75", "-1"}, {"3.8", "4"}, {"-2.2", "-2"}};
                const auto& [fraction, whole] = g_.Pick(kFractions);
                value = {fraction, whole};
            }
            values = values + (k > 0 ? ", " : "") + value;
        }
        return "INSERT INTO " + t.name + " (" + names + ") VALUES (" + values + ")";
    }

    // An index in this engine only: indexes answer conditions here and must not change results.
    Sql Index(const Table& table, int number) {
        std::string kind;
        std::vector<std::string> columns;
        if (g_.Chance(5)) {
            kind = "UNIQUE ";
            columns.push_back("id");
        } else {
            const Column& c =
                table.columns[1 + g_.Below(static_cast<std::uint32_t>(table.columns.size() - 1))];
            columns.push_back(c.name);
            if (IsText(c.kind) && g_.Chance(2)) {
                kind = "NOCASE ";
            }
            if (g_.Chance(3)) {
                const Column& second =
                    table.columns[1 +
                                  g_.Below(static_cast<std::uint32_t>(table.columns.size() - 1))];
                if (second.name != c.name) {
                    columns.push_back(second.name);
                }
            }
        }
        if (g_.Chance(3)) {
            kind = kind == "UNIQUE " ? "UNIQUE DESC " : "DESC " + kind;
        }
        std::string text = "CREATE " + kind + "INDEX " + table.name + "i" + std::to_string(number) +
                           " ON " + table.name + " (";
        for (std::size_t i = 0; i < columns.size(); ++i) {
            text += (i > 0 ? ", " : "") + columns[i];
        }
        text += std::string(") COMPRESS ") + (g_.Chance(2) ? "FULL" : "NONE");
        return {text, "SELECT 1"};
    }

    // Conditions of a single-table statement over `t` may hold IN (SELECT ...) over the other
    // table, which goes to SQLite as EXISTS with IS (the engine's = of NULLs).
    Sql SingleTableCondition(const Table& t, int depth) {
        // Now and then the statement's own table, which a change must read as it was before.
        const Table& u = g_.Chance(4) ? t : tables_[tables_[0].name == t.name ? 1 : 0];
        g_.outer_ = t.name;
        g_.subselect_ = [this, &u](const ColumnRef& column,
                                   const std::string& outer) -> std::optional<Sql> {
            std::vector<ColumnRef> peers;
            for (const ColumnRef& c : Refs(u, "z")) {
                if (Comparable(c.kind, column.kind)) {
                    peers.push_back(c);
                }
            }
            if (peers.empty()) {
                return std::nullopt;
            }
            const ColumnRef& inner = g_.Pick(peers);
            // The main query's markers come first in the statement's list, so none in here.
            auto saved = std::exchange(g_.subselect_, nullptr);
            auto* params = std::exchange(g_.params_, nullptr);
            const std::optional<Sql> where =
                g_.Chance(3) ? std::nullopt : std::optional<Sql>(g_.Condition(Refs(u, "z"), 1));
            g_.subselect_ = std::move(saved);
            g_.params_ = params;
            const bool negated = g_.Chance(3);
            Sql ours = Same(column.text + (negated ? " NOT IN (SELECT " : " IN (SELECT ") +
                            inner.text + " FROM " + u.name + " z");
            if (where) {
                ours = ours + " WHERE " + *where;
            }
            std::string theirs = std::string(negated ? "NOT " : "") + "EXISTS (SELECT 1 FROM " +
                                 u.name + " z WHERE " + (where ? where->theirs + " AND " : "") +
                                 inner.text + " IS " + outer + "." + column.text + ")";
            return Sql{ours.ours + ")", theirs};
        };
        Sql condition = g_.Condition(Refs(t, ""), depth);
        g_.subselect_ = nullptr;
        return condition;
    }

    // A condition that now and then takes some of its constants through markers.
    Sql WithParams(std::vector<Param>& params, const std::function<Sql()>& make) {
        if (!g_.Chance(3)) {
            return make();
        }
        g_.params_ = &params;
        Sql condition = make();
        g_.params_ = nullptr;
        return condition;
    }

    std::vector<ColumnRef> Refs(const Table& table, const std::string& alias) const {
        std::vector<ColumnRef> refs;
        for (const Column& c : table.columns) {
            refs.push_back({alias.empty() ? c.name : alias + "." + c.name, c.kind});
        }
        return refs;
    }

    // An aggregate over a column, with the result it has here. MIN and MAX take no texts here.
    Sql Aggregate(const std::vector<ColumnRef>& refs, bool* numeric = nullptr) {
        std::vector<ColumnRef> numbers;
        std::vector<ColumnRef> ordered;
        for (const ColumnRef& r : refs) {
            // Not the ids, whose copies' sums may pass the range of their type (an error here).
            const bool id = r.text.size() >= 2 && r.text.compare(r.text.size() - 2, 2, "id") == 0;
            if (IsNumeric(r.kind) && !id) {
                numbers.push_back(r);
            }
            if (!IsText(r.kind) && r.kind != Kind::Boolean) {
                ordered.push_back(r);
            }
        }
        switch (g_.Below(6)) {
            case 0:
                return Same("COUNT(*)");
            case 1:
                return Same("COUNT(" + g_.Pick(refs).text + ")");
            case 2:
            case 3: {
                const ColumnRef& c = g_.Pick(ordered);
                if (numeric != nullptr) {
                    *numeric = c.kind != Kind::Date;
                }
                return Same((g_.Chance(2) ? "MIN(" : "MAX(") + c.text + ")");
            }
            default: {
                const ColumnRef& n = g_.Pick(numbers);
                if (g_.Chance(2)) {
                    return Same("SUM(" + n.text + ")");
                }
                if (n.kind == Kind::Float) {
                    return Same("AVG(" + n.text + ")");
                }
                return {"AVG(" + n.text + ")", "CAST(ROUND(AVG(" + n.text + ")) AS INTEGER)"};
            }
        }
    }

    // ORDER BY result column numbers, or the names of plain columns (`names`, "" for others).
    void OrderBy(Step& step, std::size_t result_columns,
                 const std::vector<std::string>& names = {}) {
        const std::size_t keys = 1 + g_.Below(std::min<std::uint32_t>(3, result_columns));
        step.nocase = g_.Chance(4);
        Sql text = Same(" ORDER BY ");
        for (std::size_t i = 0; i < keys; ++i) {
            const std::size_t column = g_.Below(static_cast<std::uint32_t>(result_columns));
            const bool by_name = column < names.size() && !names[column].empty() && g_.Chance(2);
            text = text +
                   ((i > 0 ? ", " : "") + (by_name ? names[column] : std::to_string(column + 1)));
            if (step.nocase) {
                text.theirs += " COLLATE CAPITALS";
            }
            if (g_.Chance(2)) {
                text = text + " DESC";
            }
            step.order_keys.push_back(column);
        }
        if (step.nocase) {
            text.ours += " NOCASE";
        }
        step.ordered = true;
        step.sql = step.sql + text;
    }

    void Query() {
        Step step;
        step.type = Step::kQuery;
        const Table& t = g_.Pick(tables_);
        const int shape = static_cast<int>(g_.Below(10));
        if (shape < 4) {
            // RowList of one table.
            const std::vector<ColumnRef> refs = Refs(t, "");
            Sql select = Same(g_.Chance(4) ? "SELECT DISTINCT " : "SELECT ");
            std::size_t count = 0;
            std::vector<std::string> names;
            if (g_.Chance(6)) {
                select = select + "*";
                count = refs.size();
                for (const ColumnRef& c : refs) {
                    names.push_back(c.text);
                }
            } else {
                count = 1 + g_.Below(3);
                for (std::size_t i = 0; i < count; ++i) {
                    const ColumnRef& c = g_.Pick(refs);
                    Sql item = Same(c.text);
                    names.push_back(c.text);
                    if (g_.Chance(6) && IsNumeric(c.kind)) {
                        item = g_.Chance(4) ? Sql{c.text + " / 4", c.text + " * 1.0 / 4"}
                                            : Same(c.text + (g_.Chance(2) ? " + 1" : " * 2"));
                        names.back().clear();
                    } else if (g_.Chance(6) && IsText(c.kind)) {
                        // A NULL text joins as an empty one here.
                        item = {c.text + " || 'x'", "COALESCE(" + c.text + ", '') || 'x'"};
                        names.back().clear();
                    } else if (g_.Chance(6) && IsText(c.kind)) {
                        // A result field, too, keeps a text without its trailing blanks.
                        item = g_.TextFunction(c.text);
                        item.theirs = "NULLIF(RTRIM(" + item.theirs + "), '')";
                        names.back().clear();
                    }
                    select = select + Sql{i > 0 ? ", " : "", i > 0 ? ", " : ""} + item;
                }
            }
            step.sql = select + " FROM " + t.name;
            if (!g_.Chance(8)) {
                step.sql = step.sql + " WHERE " +
                           WithParams(step.params, [&] { return SingleTableCondition(t, 3); });
            }
            if (g_.Chance(2)) {
                OrderBy(step, count, names);
            }
            if (g_.Chance(5)) {
                step.max_rows = static_cast<std::int32_t>(g_.Below(6));
            }
        } else if (shape < 6) {
            // Groups of one table.
            const std::vector<ColumnRef> refs = Refs(t, "");
            const std::size_t groups = 1 + g_.Below(2);
            std::string names;
            for (std::size_t i = 0; i < groups; ++i) {
                names += (i > 0 ? ", " : "") +
                         refs[1 + g_.Below(static_cast<std::uint32_t>(refs.size() - 1))].text;
            }
            Sql select = Same("SELECT " + names);
            const std::size_t aggregates = 1 + g_.Below(3);
            std::vector<Sql> chosen;
            for (std::size_t i = 0; i < aggregates; ++i) {
                bool numeric = true;
                const Sql aggregate = Aggregate(refs, &numeric);
                select = select + ", " + aggregate;
                if (numeric && aggregate.ours != "COUNT(*)") {
                    chosen.push_back(aggregate);
                }
            }
            step.sql = select + " FROM " + t.name;
            if (g_.Chance(2)) {
                step.sql = step.sql + " WHERE " +
                           WithParams(step.params, [&] { return g_.Condition(refs, 2); });
            }
            step.sql = step.sql + " GROUP BY " + names;
            // HAVING names a numeric aggregate of the result here, and not COUNT(*).
            if (g_.Chance(3) && !chosen.empty()) {
                step.sql = step.sql + " HAVING " +
                           g_.Comparison(g_.Chance(2) ? ">" : "<=", g_.Pick(chosen),
                                         Same(std::to_string(g_.Below(4))));
            }
            if (g_.Chance(2)) {
                OrderBy(step, groups + aggregates);
            }
        } else if (shape < 7) {
            // Aggregates of a whole table.
            const std::vector<ColumnRef> refs = Refs(t, "");
            Sql select = Same("SELECT ") + Aggregate(refs);
            const std::size_t aggregates = g_.Below(3);
            for (std::size_t i = 0; i < aggregates; ++i) {
                select = select + ", " + Aggregate(refs);
            }
            step.sql = select + " FROM " + t.name;
            if (!g_.Chance(4)) {
                step.sql = step.sql + " WHERE " +
                           WithParams(step.params, [&] { return g_.Condition(refs, 3); });
            }
        } else {
            // Two tables joined on comparable columns.
            const Table& u = tables_[tables_[0].name == t.name ? 1 : 0];
            const std::vector<ColumnRef> left = Refs(t, "x");
            const std::vector<ColumnRef> right = Refs(u, "y");
            std::vector<ColumnRef> both = left;
            both.insert(both.end(), right.begin(), right.end());
            const ColumnRef* l = nullptr;
            const ColumnRef* r = nullptr;
            while (l == nullptr || !Comparable(l->kind, r->kind)) {
                l = &g_.Pick(left);
                r = &g_.Pick(right);
            }
            // Mostly equal columns, which inner rows may be held for; now and then an ordering
            // or inequality, which each outer row asks the inner table's cursor for (over small
            // tables only, as such joins give many rows).
            static const std::vector<std::string> kJoinOps = {"<", ">", "<=", ">=", "<>"};
            const bool ordered = l->kind != Kind::Boolean && r->kind != Kind::Boolean;
            const bool unequal = t.rows * u.rows <= 4000 && g_.Chance(4);
            Sql on = g_.Comparison(unequal ? (ordered ? g_.Pick(kJoinOps) : "<>") : "=",
                                   Same(l->text), Same(r->text));
            if (g_.Chance(4)) {
                // More of the joined table in its ON condition.
                on = "(" + on + " AND " + g_.Condition(right, 1) + ")";
            }
            std::string columns;
            std::size_t count = 2 + g_.Below(2);
            for (std::size_t i = 0; i < count; ++i) {
                columns += (i > 0 ? ", " : "") + g_.Pick(both).text;
            }
            const bool distinct = g_.Chance(6);
            Sql head =
                Same(std::string(distinct ? "SELECT DISTINCT " : "SELECT ") + columns + " FROM ");
            std::string group_by;
            if (g_.Chance(5)) {
                // Groups of the joined rows by a column of the first table.
                const ColumnRef& key =
                    left[1 + g_.Below(static_cast<std::uint32_t>(left.size() - 1))];
                head = Same("SELECT " + key.text + ", ") + Aggregate(right) + ", " +
                       Aggregate(left) + " FROM ";
                group_by = " GROUP BY " + key.text;
                count = 3;
            }
            // A third table only over small ones, for time.
            switch (g_.Below(t.rows + u.rows < 100 ? 5 : 4)) {
                case 4: {
                    // A third table: the first one again, joined to the second.
                    const std::vector<ColumnRef> third = Refs(t, "w");
                    const ColumnRef* a = nullptr;
                    const ColumnRef* b = nullptr;
                    while (a == nullptr || !Comparable(a->kind, b->kind)) {
                        a = &g_.Pick(right);
                        b = &g_.Pick(third);
                    }
                    std::vector<ColumnRef> all = both;
                    all.insert(all.end(), third.begin(), third.end());
                    step.sql = head +
                               Same(t.name + " x, " + u.name + " y, " + t.name + " w WHERE ") + on +
                               " AND " + g_.Comparison("=", Same(a->text), Same(b->text));
                    if (g_.Chance(2)) {
                        step.sql = step.sql + " AND " + g_.Condition(all, 1);
                    }
                    break;
                }
                case 3:
                    step.sql = head + Same(t.name + " x RIGHT JOIN " + u.name + " y ON ") + on;
                    if (g_.Chance(2)) {
                        step.sql = step.sql + " WHERE " + g_.Condition(both, 2);
                    }
                    break;
                case 0:
                    step.sql = head + Same(t.name + " x, " + u.name + " y WHERE ") + on;
                    if (g_.Chance(2)) {
                        step.sql = step.sql + " AND " + g_.Condition(both, 2);
                    }
                    break;
                case 1:
                    step.sql = head + Same(t.name + " x INNER JOIN " + u.name + " y ON ") + on;
                    if (g_.Chance(2)) {
                        step.sql = step.sql + " WHERE " + g_.Condition(both, 2);
                    }
                    break;
                default:
                    step.sql = head + Same(t.name + " x LEFT JOIN " + u.name + " y ON ") + on;
                    if (g_.Chance(2)) {
                        step.sql = step.sql + " WHERE " + g_.Condition(both, 2);
                    }
                    break;
            }
            step.sql = step.sql + group_by;
            if (g_.Chance(2)) {
                OrderBy(step, count);
            }
            if (!distinct && group_by.empty() && g_.Chance(5)) {
                step.max_rows = static_cast<std::int32_t>(g_.Below(6));
            }
        }
        if (g_.Chance(10)) {
            // The result written to a table of its own, read back from its files.
            step.into = "@i" + std::to_string(steps_.size());
            const std::size_t from = step.sql.ours.find(" FROM @");
            // A bare name would be a temporary table; '$' stands for the tables' folder.
            step.sql.ours.insert(from, " INTO \"$/" + step.into + "\"");
            step.max_rows = -1;
        }
        steps_.push_back(std::move(step));
    }

    void Change() {
        const Table& t = g_.Pick(tables_);
        Sql sql;
        ++changes_;
        if (g_.Chance(5)) {
            // Copies of some rows; the ids stay unique, each statement adding its own power of
            // two.
            std::string columns = "id + " + std::to_string(100000 << changes_);
            for (std::size_t i = 1; i < t.columns.size(); ++i) {
                columns += ", " + t.columns[i].name;
            }
            Add(Same("INSERT INTO " + t.name + " SELECT " + columns + " FROM " + t.name +
                     " WHERE ") +
                    SingleTableCondition(t, 2),
                Step::kChange);
            return;
        }
        if (t.unique_id && g_.Chance(4)) {
            Collide(t);
            return;
        }
        const bool deletes = g_.Chance(3);
        std::vector<Sql> values(t.columns.size());
        if (deletes) {
            sql = Same("DELETE FROM " + t.name);
        } else {
            sql = Same("UPDATE " + t.name + " SET ");
            const std::size_t count = 1 + g_.Below(2);
            for (std::size_t i = 0; i < count; ++i) {
                // Never the id, which a unique index may hold.
                const std::size_t c =
                    1 + g_.Below(static_cast<std::uint32_t>(t.columns.size() - 1));
                const Sql value = Value(t, t.columns[c]);
                sql = sql + (i > 0 ? ", " : "") + t.columns[c].name + " = " + value;
                // Of two values for one column the later stays, here and in SQLite.
                values[c] = value;
            }
        }
        std::vector<Param> params;
        Sql where;
        if (!g_.Chance(6)) {
            where = " WHERE " + WithParams(params, [&] { return SingleTableCondition(t, 2); });
            sql = sql + where;
        }
        if (g_.Chance(4)) {
            // Flushes inside the statement change nothing of its result.
            sql = sql + Sql{" COMMIT INTERVAL " + std::to_string(1 + g_.Below(7)), ""};
        }
        Add(sql, Step::kChange);
        Step& step = steps_.back();
        step.params = std::move(params);
        if (hold_ && t.name == tables_[0].name && g_.Chance(3)) {
            // The second session holds a row locked through the change.
            step.lock = true;
            step.deletes = deletes;
            step.table = t.name;
            step.row = g_.Below(static_cast<std::uint32_t>(std::max<std::size_t>(t.rows, 1)));
            step.before = Same("SELECT * FROM " + t.name);
            Sql after = Same("SELECT ");
            for (std::size_t i = 0; i < t.columns.size(); ++i) {
                step.kinds.push_back(t.columns[i].kind);
                after = after + (i > 0 ? ", " : "") +
                        (values[i].ours.empty() ? Same(t.columns[i].name) : values[i]);
            }
            step.after = after + " FROM " + t.name + where;
        }
    }

    // New ids for some rows of a table whose ids a unique index holds, which stops at the first
    // row whose new id another row has; the rows before it stay changed.
    void Collide(const Table& t) {
        Step step;
        step.type = Step::kChange;
        step.table = t.name;
        const std::string shift = std::to_string(1 + g_.Below(3));
        Sql set = Same("id = id + " + shift);
        std::vector<Sql> values(t.columns.size());
        values[0] = Same("id + " + shift);
        if (g_.Chance(2)) {
            const std::size_t c = 1 + g_.Below(static_cast<std::uint32_t>(t.columns.size() - 1));
            values[c] = Value(t, t.columns[c]);
            set = set + ", " + t.columns[c].name + " = " + values[c];
        }
        Sql where;
        if (!g_.Chance(5)) {
            where = " WHERE " + WithParams(step.params, [&] { return SingleTableCondition(t, 2); });
        }
        Sql after = Same("SELECT ");
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            step.kinds.push_back(t.columns[i].kind);
            after = after + (i > 0 ? ", " : "") +
                    (values[i].ours.empty() ? Same(t.columns[i].name) : values[i]);
        }
        step.after = after + " FROM " + t.name + where;
        step.before = Same("SELECT * FROM " + t.name);
        step.sql = "UPDATE " + t.name + " SET " + set + where;
        if (g_.Chance(3)) {
            step.sql = step.sql + Sql{" COMMIT INTERVAL " + std::to_string(1 + g_.Below(4)), ""};
        }
        steps_.push_back(std::move(step));
    }

    // A text constant as a field keeps it: without trailing blanks, and NULL when that leaves
    // nothing.
    static Sql Stored(const Sql& constant) {
        if (constant.theirs.empty() || constant.theirs[0] != '\'') {
            return constant;
        }
        return {constant.ours, "NULLIF(RTRIM(" + constant.theirs + "), '')"};
    }

    // A new value for a column: a constant, NULL, or one computed from the row.
    Sql Value(const Table& t, const Column& c) {
        if (g_.Chance(3)) {
            return Stored(g_.Constant(c.kind, 5));
        }
        std::vector<std::string> peers;
        for (const Column& other : t.columns) {
            if (other.kind == c.kind || (c.kind != Kind::Small && IsNumeric(c.kind) &&
                                         IsNumeric(other.kind) && other.kind != Kind::Float)) {
                peers.push_back(other.name);
            }
        }
        switch (c.kind) {
            case Kind::Integer:
            case Kind::Small:
                return Same(c.name + (g_.Chance(2) ? " + 1" : " - 2"));
            case Kind::Float:
                return Same(g_.Pick(peers) + (g_.Chance(2) ? " + 0.5" : " * 2"));
            default:
                return Same(g_.Pick(peers));
        }
    }

    Generator g_;
    bool large_ = false;
    std::vector<std::string> table_options_;
    bool hold_ = false;  // a second session holds the first table open
    int changes_ = 0;
    std::vector<Table> tables_;
    std::vector<Step> steps_;
};

class SqlRandomDifferential : public sqltest::SqlExecution {
  protected:
    // A query's result held open past later statements: a live one (the table itself,
    // filtered) or a canned one with the rows it held.
    struct Kept {
        std::unique_ptr<TQueryStatement> statement;
        bool live = false;
        RowList rows;
    };

    // Runs one step here; `prefix` names the round's tables.
    Outcome RunOurs(const Step& step, const std::string& prefix, Kept* kept = nullptr) {
        Outcome outcome = RunOursOnce(step, prefix, kept);
        if (!step.into.empty() && outcome.rows && outcome.error.empty()) {
            // The table the query wrote, through a fresh session once the statement is gone.
            try {
                OpenSession();
                TDataCursor cursor(*directory_);
                cursor.SetTableName(Replace(step.into, prefix));
                cursor.Open();
                const RowList written = CursorRows(cursor);
                if (written != *outcome.rows) {
                    outcome.error = "the table written holds " + Join(written);
                }
            } catch (const EStrataEngineError& e) {
                outcome.error = e.what();
            }
        }
        return outcome;
    }

    // `kept`, when given, receives a query's live result, or else its canned one.
    Outcome RunOursOnce(const Step& step, const std::string& prefix, Kept* kept = nullptr) {
        Outcome outcome;
        std::string sql = Replace(step.sql.ours, prefix);
        if (const std::size_t folder = sql.find('$'); folder != std::string::npos) {
            sql.replace(folder, 1, dir_.Path().string());
        }
        try {
            if (step.type == Step::kCompareTable) {
                // Through a fresh session: what the files hold.
                OpenSession();
                TDataCursor cursor(*directory_);
                cursor.SetTableName(sql);
                cursor.Open();
                outcome.rows = CursorRows(cursor);
            } else if (step.type == Step::kQuery) {
                auto canned_statement = std::make_unique<TQueryStatement>(directory_);
                TQueryStatement& statement = *canned_statement;
                std::size_t offset = 0;
                statement.Prepare(sql, offset);
                Bind(statement, step.params);
                TDataCursor* result = statement.Execute();
                outcome.rows = result != nullptr ? CursorRows(*result) : RowList{};
                // A canned result is sorted under its own language: the query's LANGUAGE, or
                // none (bytes) without one.
                const std::pair<LanguageId, SortId> canned_collation =
                    result != nullptr ? std::pair(result->GetLanguageID(), result->GetSortID())
                                      : std::pair<LanguageId, SortId>(0, 0);
                if (static_cast<std::int64_t>(outcome.rows->size()) != statement.GetResultCount()) {
                    outcome.error = "result count " + std::to_string(statement.GetResultCount()) +
                                    " for " + std::to_string(outcome.rows->size()) + " rows";
                }
                if (!step.into.empty()) {
                    return outcome;
                }
                if (std::string damage = DamagedQueries(sql, directory_); !damage.empty()) {
                    outcome.error = damage;
                }
                // Run again, the prepared statement gives the same rows.
                TDataCursor* again = statement.Execute();
                if ((again != nullptr ? CursorRows(*again) : RowList{}) != *outcome.rows) {
                    outcome.error = "a second execution differs";
                }
                if (step.max_rows >= 0) {
                    if (std::string limited = Limited(sql, step, *outcome.rows); !limited.empty()) {
                        outcome.error = limited;
                    }
                }
                // Asked for a live result, the same rows (the source table itself, filtered,
                // where it can be).
                auto live_statement = std::make_unique<TQueryStatement>(directory_);
                TQueryStatement& live = *live_statement;
                live.SetRequestLive(true);
                offset = 0;
                live.Prepare(sql, offset);
                Bind(live, step.params);
                TDataCursor* live_result = live.Execute();
                RowList live_rows = live_result != nullptr ? CursorRows(*live_result) : RowList{};
                RowList canned = *outcome.rows;
                // A live result comes in the order of the table's index, under the table's
                // language; the orders agree only where the two collations are one.
                const bool same_collation = live_result == nullptr ||
                                            !live.MainQuery()->LiveResult ||
                                            std::pair(live_result->GetLanguageID(),
                                                      live_result->GetSortID()) == canned_collation;
                if (step.ordered && same_collation &&
                    OrderKeys(live_rows, step.order_keys, step.nocase) !=
                        OrderKeys(canned, step.order_keys, step.nocase)) {
                    outcome.error = "the live result's order differs: " + Join(live_rows);
                }
                std::sort(live_rows.begin(), live_rows.end());
                std::sort(canned.begin(), canned.end());
                if (live_rows != canned) {
                    outcome.error = "the live result differs: " + Join(live_rows);
                }
                if (kept != nullptr && live_result != nullptr && live.MainQuery()->LiveResult) {
                    *kept = {std::move(live_statement), true, {}};
                } else if (kept != nullptr && again != nullptr) {
                    *kept = {std::move(canned_statement), false, *outcome.rows};
                }
            } else {
                outcome.changed =
                    Run(sql, [&](TQueryStatement& statement) { Bind(statement, step.params); });
            }
        } catch (const EStrataEngineError& e) {
            outcome.error = e.what();
            outcome.code = e.ErrorCode();
        }
        return outcome;
    }

    // A value in the engine's storage encoding of its type.
    static std::vector<std::byte> Encoded(const Param& p) {
        std::vector<std::byte> data;
        switch (p.type) {
            case kTypeSmallInt:
                data.resize(2);
                StoreInt16(data.data(), static_cast<std::int16_t>(std::stoi(p.value)));
                break;
            case kTypeInteger:
                data.resize(4);
                StoreInt32(data.data(), static_cast<std::int32_t>(std::stoll(p.value)));
                break;
            case kTypeFloat:
                data.resize(8);
                StoreDouble(data.data(), std::stod(p.value));
                break;
            case kTypeDate:
                data.resize(4);
                StoreInt32(data.data(), p.null ? 0 : DayNumber(p.value));
                break;
            case kTypeBoolean:
                data.resize(2);
                StoreUInt16(data.data(), p.value == "1" ? 1 : 0);
                break;
            default:
                for (const char c : p.value) {
                    data.push_back(static_cast<std::byte>(c));
                }
                data.push_back(std::byte{0});
                break;
        }
        return data;
    }

    // Hands `params` to the statement's markers as a caller's record of values would.
    static void Bind(TQueryStatement& statement, const std::vector<Param>& params) {
        if (params.empty()) {
            return;
        }
        std::vector<FieldDescriptor> descriptors(params.size());
        std::vector<std::byte> record;
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            const std::vector<std::byte> data = Encoded(p);
            FieldDescriptor& d = descriptors[i];
            d[fd::kType] = p.type;
            d[fd::kDataSize] = static_cast<std::uint8_t>(data.size());
            d[fd::kOffset] = static_cast<std::uint8_t>(record.size() & 0xFF);
            d[fd::kOffset + 1] = static_cast<std::uint8_t>(record.size() >> 8);
            record.push_back(p.null ? std::byte{0} : std::byte{1});
            record.insert(record.end(), data.begin(), data.end());
        }
        statement.SetParams(params.size(), descriptors, record);
    }

    // The query again with a MaxRowCount: as many of the rows `all` as it allows, each one of
    // them; empty when so.
    std::string Limited(const std::string& sql, const Step& step, const RowList& all) {
        const std::int32_t max_rows = step.max_rows;
        TQueryStatement statement(directory_);
        statement.SetMaxRowCount(max_rows);
        std::size_t offset = 0;
        statement.Prepare(sql, offset);
        Bind(statement, step.params);
        TDataCursor* result = statement.Execute();
        RowList rows = result != nullptr ? CursorRows(*result) : RowList{};
        const std::string text = "with MaxRowCount " + std::to_string(max_rows) + ": ";
        const std::size_t most =
            std::min<std::size_t>(all.size(), static_cast<std::size_t>(max_rows));
        // The limit counts rows before DISTINCT drops repeats: of a DISTINCT result there are
        // at most as many, and one at least where any was read.
        const bool distinct = sql.rfind("SELECT DISTINCT", 0) == 0;
        if (distinct ? rows.size() > most || (most > 0 && rows.empty()) : rows.size() != most) {
            return text + Join(rows);
        }
        if (statement.GetResultCount() != static_cast<std::int64_t>(rows.size())) {
            return text + "result count " + std::to_string(statement.GetResultCount());
        }
        RowList sorted = all;
        std::sort(sorted.begin(), sorted.end());
        std::sort(rows.begin(), rows.end());
        if (!std::includes(sorted.begin(), sorted.end(), rows.begin(), rows.end())) {
            return text + "rows of no full result: " + Join(rows);
        }
        return {};
    }

    // The query cut short after one of its words, and with one word left out: each must be
    // refused with an engine error that says why (a word left out may leave a table that does
    // not exist) or run, never fail any other way. Only queries, which change nothing whatever
    // they turn into.
    static std::string DamagedQueries(const std::string& sql, TDataDirectory* directory) {
        std::vector<std::size_t> blanks;
        for (std::size_t i = 0; i < sql.size(); ++i) {
            if (sql[i] == ' ') {
                blanks.push_back(i);
            }
        }
        if (blanks.size() < 2) {
            return {};
        }
        const std::size_t hash = std::hash<std::string>()(sql);
        const std::size_t cut = blanks[hash % blanks.size()];
        const std::size_t from = blanks[(hash / 7) % (blanks.size() - 1)];
        const std::size_t to = blanks[(hash / 7) % (blanks.size() - 1) + 1];
        for (const std::string& damaged :
             {sql.substr(0, cut), sql.substr(0, from) + sql.substr(to)}) {
            try {
                TQueryStatement statement(directory);
                std::size_t offset = 0;
                statement.Prepare(damaged, offset);
                if (TDataCursor* result = statement.Execute()) {
                    CursorRows(*result);
                }
            } catch (const EStrataEngineError& e) {
                if (std::string(e.what()).empty()) {
                    return "'" + damaged + "' failed with " + e.what();
                }
            } catch (const std::exception& e) {
                return "'" + damaged + "' threw " + e.what();
            }
        }
        return {};
    }

    static Outcome RunTheirs(SqliteDatabase& db, const Step& step) {
        Outcome outcome;
        const std::string sql = Replace(step.sql.theirs, "");
        if (step.type == Step::kQuery || step.type == Step::kCompareTable) {
            auto result = db.Query(step.type == Step::kQuery ? sql : "SELECT * FROM " + sql);
            if (std::holds_alternative<RowList>(result)) {
                outcome.rows = std::get<RowList>(result);
            } else {
                outcome.error = std::get<std::string>(result);
            }
        } else {
            outcome.error = db.Exec(sql);
            outcome.changed = step.type == Step::kChange ? db.Changes() : -1;
        }
        return outcome;
    }

    // Empty when the two outcomes agree, else what differs.
    static std::string Difference(const Step& step, Outcome ours, Outcome theirs) {
        if (!theirs.error.empty()) {
            // The generator writes only statements SQLite takes.
            return "SQLite refused it: " + theirs.error + "; here: '" + ours.error + "'";
        }
        if (ours.error != theirs.error) {
            return "errors differ: here '" + ours.error + "', SQLite '" + theirs.error + "'";
        }
        if (step.type == Step::kSetup) {
            return {};
        }
        if (ours.changed != theirs.changed && step.type == Step::kChange) {
            return "changed " + std::to_string(ours.changed) + " rows here, " +
                   std::to_string(theirs.changed) + " in SQLite";
        }
        if (!ours.rows || !theirs.rows) {
            return {};
        }
        RowList& a = *ours.rows;
        RowList& b = *theirs.rows;
        if (step.ordered && OrderKeys(a, step.order_keys, step.nocase) !=
                                OrderKeys(b, step.order_keys, step.nocase)) {
            return "order differs:\n  here:   " + Join(a) + "\n  SQLite: " + Join(b);
        }
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (a != b) {
            return "rows differ:\n  here:   " + Join(a) + "\n  SQLite: " + Join(b);
        }
        return {};
    }

    // Runs `steps` in both; the first difference as (step index, text), or none.
    std::optional<std::pair<std::size_t, std::string>> Play(const std::vector<Step>& steps,
                                                            const std::string& prefix) {
        SqliteDatabase db;
        // A second session, and the tables it holds open, by name.
        std::unique_ptr<TDataSession> other;
        std::map<std::string, std::unique_ptr<TDataCursor>> held;
        const auto close_held = [&] {
            held.clear();
            other.reset();
        };
        // The last query's result, read again after the next change: a live one as the table
        // then is, a canned one as it was. A step that opens a new session for this one ends
        // it.
        Kept live;
        const Step* live_step = nullptr;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            std::string difference;
            if (step.type != Step::kQuery || !step.into.empty() || !step.table.empty()) {
                if (step.type != Step::kChange || !step.table.empty()) {
                    live.statement.reset();
                }
            }
            if (step.type == Step::kHold) {
                try {
                    if (!other) {
                        other = std::make_unique<TDataSession>();
                        other->SetPrivateDir(dir_.File("private"));
                        // Each of its reads looks for changes made through other sessions.
                        other->SetStrictChangeDetection(true);
                    }
                    TDataDirectory* directory = other->OpenDirectory("DB2", dir_.Path().string());
                    auto cursor = std::make_unique<TDataCursor>(*directory);
                    cursor->SetTableName(Replace(step.sql.ours, prefix));
                    cursor->Open();
                    held[step.sql.ours] = std::move(cursor);
                } catch (const EStrataEngineError& e) {
                    difference = std::string("a second session could not open it: ") + e.what();
                }
            } else if (step.type == Step::kRelease) {
                close_held();
            } else if (step.type == Step::kHeldChange) {
                if (const auto it = held.find(step.sql.ours); it != held.end()) {
                    difference = HeldChange(*it->second, step, db);
                }
            } else if (step.type == Step::kVerify) {
                if (held.empty()) {
                    difference = VerifierErrors(Replace(step.sql.ours, prefix));
                }
            } else if (step.type == Step::kHeldInsert) {
                if (const auto it = held.find(step.sql.ours); it != held.end()) {
                    difference = HeldInsert(*it->second, step.params);
                    if (std::string error = db.Exec(Replace(step.sql.theirs, ""));
                        difference.empty() && !error.empty()) {
                        difference = "SQLite refused it: " + error;
                    }
                }
            } else if (!step.table.empty()) {
                const auto holder = held.find(step.table);
                difference = PlayCollision(db, step, prefix, held.empty(),
                                           holder != held.end() ? holder->second.get() : nullptr);
            } else {
                Kept kept;
                Outcome ours = RunOurs(
                    step, prefix, step.type == Step::kQuery && step.into.empty() ? &kept : nullptr);
                Outcome theirs = RunTheirs(db, step);
                const auto held_table = held.find(step.sql.ours);
                if (step.type == Step::kCompareTable && held_table != held.end() && theirs.rows) {
                    Outcome seen;
                    try {
                        seen.rows = CursorRows(*held_table->second);
                    } catch (const EStrataEngineError& e) {
                        seen.error = e.what();
                    }
                    if (std::string d = Difference(step, seen, theirs); !d.empty()) {
                        difference = "the second session's cursor: " + d;
                    }
                }
                if (difference.empty()) {
                    difference = Difference(step, ours, theirs);
                }
                if (kept.statement) {
                    live = std::move(kept);
                    live_step = &step;
                }
                if (difference.empty() && step.type == Step::kChange && live.statement) {
                    Outcome seen;
                    try {
                        seen.rows = CursorRows(*live.statement->MainQuery()->ResultCursor());
                    } catch (const EStrataEngineError& e) {
                        seen.error = e.what();
                    }
                    live.statement.reset();
                    std::string d;
                    if (live.live) {
                        d = Difference(*live_step, seen, RunTheirs(db, *live_step));
                    } else if (!seen.rows || *seen.rows != live.rows) {
                        d = "differs: " + (seen.rows ? Join(*seen.rows) : seen.error);
                    }
                    if (!d.empty()) {
                        difference = std::string(live.live ? "the live" : "the canned") +
                                     " result of '" + Replace(live_step->sql.ours, "") +
                                     "' read after the change: " + d;
                    }
                }
            }
            if (!difference.empty()) {
                close_held();
                return std::make_pair(i, std::move(difference));
            }
        }
        close_held();
        return std::nullopt;
    }

    // Changes or deletes the row `step.row` of `cursor` (none when the table holds fewer), and
    // the row of the same id in SQLite; empty, or what failed.
    static std::string HeldChange(TDataCursor& cursor, const Step& step, SqliteDatabase& db) {
        std::string theirs;
        try {
            std::vector<std::uint8_t> record(cursor.GetRecordSize());
            cursor.First();
            for (std::size_t i = 0; i <= step.row; ++i) {
                if (cursor.GetNextRecord(record) != kErrNone) {
                    return {};
                }
            }
            std::vector<std::uint8_t> value(8);
            bool is_null = true;
            cursor.GetField(1, record, is_null, value);
            const std::string id =
                std::to_string(LoadInt32(reinterpret_cast<const std::byte*>(value.data())));
            const std::string table = Replace(step.sql.ours, "");
            if (step.column.empty()) {
                cursor.DeleteRecord(record, false);
                theirs = "DELETE FROM " + table + " WHERE id = " + id;
            } else {
                cursor.LockRecord(0);
                const std::vector<std::byte> encoded = Encoded(step.params[0]);
                cursor.PutField(step.field, record,
                                step.params[0].null
                                    ? nullptr
                                    : reinterpret_cast<const std::uint8_t*>(encoded.data()));
                cursor.ModifyRecord(record, true, false);
                theirs = "UPDATE " + table + " SET " + step.column + " = " +
                         Replace(step.sql.theirs, "") + " WHERE id = " + id;
            }
        } catch (const EStrataEngineError& e) {
            return std::string("the second session's change: ") + e.what();
        }
        if (std::string error = db.Exec(theirs); !error.empty()) {
            return "SQLite refused " + theirs + ": " + error;
        }
        return {};
    }

    // The lines of the engine's verification of `table` that name an error, through a fresh
    // session; empty when there are none.
    std::string VerifierErrors(const std::string& table) {
        std::string errors;
        try {
            OpenSession();
            TDataCursor check(*directory_);
            check.SetTableName(table);
            check.SetExclusive(true);
            RepairTable(check, true, 0, {}, [&](std::string_view line) {
                if (line.find("error") != std::string_view::npos) {
                    errors += std::string(line) + "; ";
                }
            });
        } catch (const EStrataEngineError& e) {
            errors += e.what();
        }
        return errors.empty() ? errors : "the verification of " + table + ": " + errors;
    }

    // Inserts a row of the values `params` (one a column) through `cursor`; empty, or the error.
    static std::string HeldInsert(TDataCursor& cursor, const std::vector<Param>& params) {
        try {
            std::vector<std::uint8_t> record(cursor.GetRecordSize());
            cursor.InitNewRecord(record);
            for (std::size_t i = 0; i < params.size(); ++i) {
                const std::vector<std::byte> value = Encoded(params[i]);
                cursor.PutField(
                    static_cast<std::uint32_t>(i + 1), record,
                    params[i].null ? nullptr : reinterpret_cast<const std::uint8_t*>(value.data()));
            }
            cursor.InsertRecord(record, false);
        } catch (const EStrataEngineError& e) {
            return std::string("the second session's insert: ") + e.what();
        }
        return {};
    }

    // A change of the ids under a unique index, which may stop at a row whose new id another
    // row still has: then every row must be as it was or as the change makes it, and the
    // change must have met such a row; SQLite is given the rows left here.
    // `verify`: no other session holds the table, so the engine's verification may open it.
    // With `step.lock`, the same for a change that meets the row `holder` holds locked: it must
    // stop there, the held row as it was.
    std::string PlayCollision(SqliteDatabase& db, const Step& step, const std::string& prefix,
                              bool verify, TDataCursor* holder = nullptr) {
        const auto query = [&](const Sql& sql) -> RowList {
            auto result = db.Query(Replace(sql.theirs, ""));
            return std::holds_alternative<RowList>(result) ? std::get<RowList>(result) : RowList{};
        };
        const auto id_of = [](const std::string& row) { return row.substr(0, row.find('|')); };
        std::map<std::string, std::string> before;
        for (const std::string& row : query(step.before)) {
            before[id_of(row)] = row;
        }
        std::map<std::string, std::string> after;
        for (const std::string& row : query(step.after)) {
            after[id_of(row)] = row;
        }
        std::string locked_id;
        std::uint32_t locked = 0;
        if (step.lock && holder != nullptr) {
            try {
                std::vector<std::uint8_t> record(holder->GetRecordSize());
                holder->First();
                for (std::size_t i = 0; i <= step.row; ++i) {
                    if (holder->GetNextRecord(record) != kErrNone) {
                        record.clear();
                        break;
                    }
                }
                if (!record.empty()) {
                    std::vector<std::uint8_t> value(8);
                    bool is_null = true;
                    holder->GetField(1, record, is_null, value);
                    locked_id =
                        std::to_string(LoadInt32(reinterpret_cast<const std::byte*>(value.data())));
                    holder->LockRecord(0);
                    locked = holder->GetCurrentRecordNo();
                }
            } catch (const EStrataEngineError& e) {
                return std::string("the second session's lock: ") + e.what();
            }
            // A held row stops the change at once, without waits.
            session_->SetLockRetryCount(0);
        }
        const Outcome ours = RunOurs(step, prefix);
        if (locked != 0) {
            try {
                holder->UnlockRecord(locked);
            } catch (const EStrataEngineError& e) {
                return std::string("the second session's unlock: ") + e.what();
            }
        }
        const bool met = step.lock ? after.contains(locked_id)
                                   : std::any_of(after.begin(), after.end(), [&](const auto& row) {
                                         return before.contains(row.first);
                                     });
        const EngineErrorCode stop = step.lock ? kErrRecordLocked : kErrDuplicateKey;
        if (ours.code != stop || !met) {
            if (ours.code == kErrNone && met && locked != 0) {
                return "the change went through the row of id " + locked_id +
                       " the second session holds";
            }
            if (ours.code == stop) {
                return "stopped with '" + ours.error + "' though it meets no such row";
            }
            return Difference(step, ours, RunTheirs(db, step));
        }
        Step table;
        table.type = Step::kCompareTable;
        table.sql = Same(step.table);
        const Outcome left = RunOurs(table, prefix);
        if (!left.rows) {
            return "the table after the stopped change: " + left.error;
        }
        if (step.deletes ? left.rows->size() > before.size() : left.rows->size() != before.size()) {
            return "the stopped change left " + Join(*left.rows);
        }
        if (verify) {
            if (std::string errors = VerifierErrors(Replace(step.table, prefix)); !errors.empty()) {
                return "after the stopped change, " + errors;
            }
        }
        std::string theirs = "DELETE FROM " + Replace(step.table, "") + ";";
        std::set<std::string> left_ids;
        for (const std::string& row : *left.rows) {
            const std::string id = id_of(row);
            left_ids.insert(id);
            const auto was = before.find(id);
            const auto now = after.find(id);
            const bool as_was = was != before.end() && was->second == row;
            const bool as_changed = !step.deletes && now != after.end() && now->second == row;
            if (!as_was && !as_changed) {
                return "the stopped change left a row neither as it was nor as changed: [" + row +
                       "] among " + Join(*left.rows);
            }
            if (id == locked_id && !as_was) {
                return "the stopped change changed the held row: [" + row + "]";
            }
            theirs += "INSERT INTO " + Replace(step.table, "") + " VALUES (" +
                      Literals(row, step.kinds) + ");";
        }
        for (const auto& [id, row] : before) {
            if (step.lock && !left_ids.contains(id) && (!step.deletes || !after.contains(id))) {
                return "the stopped change lost the row [" + row + "]";
            }
        }
        if (std::string error = db.Exec(theirs); !error.empty()) {
            return "SQLite refused the rows left: " + error;
        }
        return {};
    }

    // A row as this test writes it ("v|v|NULL") as SQLite's values, by the columns' kinds.
    static std::string Literals(const std::string& row, const std::vector<Kind>& kinds) {
        std::string out;
        std::size_t start = 0;
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            const std::size_t bar = i + 1 < kinds.size() ? row.find('|', start) : row.size();
            const std::string value = row.substr(start, bar - start);
            start = bar + 1;
            out += i > 0 ? ", " : "";
            if (value == "NULL" || (!IsText(kinds[i]) && kinds[i] != Kind::Date)) {
                out += value;
                continue;
            }
            out += "'";
            for (const char c : value) {
                out += c == '\'' ? std::string("''") : std::string(1, c);
            }
            out += "'";
        }
        return out;
    }

    // The round's statements here twice: over its tables with their indexes and over twins
    // without them, whose queries also keep the written join order. Indexes, the filters they
    // answer and the join order must not change a result, so the two must agree. Needs no
    // reference, so it holds where SQLite could not follow, as under a language's collation.
    std::optional<std::pair<std::size_t, std::string>> PlayTwins(const std::vector<Step>& steps,
                                                                 const std::string& prefix,
                                                                 bool keep_order) {
        const std::string twin = prefix + "n";
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            // The second session's work, and changes that may stop part way, whose rows then
            // depend on the order they were met in.
            if (step.type == Step::kHold || step.type == Step::kRelease ||
                step.type == Step::kHeldInsert || step.type == Step::kHeldChange ||
                step.type == Step::kVerify || !step.table.empty()) {
                continue;
            }
            const bool index = step.sql.ours.find(" INDEX ") != std::string::npos;
            const Outcome ours = RunOurs(step, prefix);
            if (index) {
                if (!ours.error.empty()) {
                    return std::make_pair(i, "the index: " + ours.error);
                }
                continue;
            }
            Step plain = step;
            if (step.type == Step::kQuery) {
                plain.sql.ours += " NOJOINOPTIMIZE";
            }
            plain.ordered = keep_order && step.ordered;
            const Outcome theirs = RunOurs(plain, twin);
            if (ours.error.empty() != theirs.error.empty() || ours.code != theirs.code) {
                return std::make_pair(i, "errors differ: with indexes '" + ours.error +
                                             "', without '" + theirs.error + "'");
            }
            if (!ours.error.empty()) {
                continue;
            }
            if (std::string d = Difference(plain, ours, theirs); !d.empty()) {
                return std::make_pair(i, "with indexes and without: " + d);
            }
        }
        return std::nullopt;
    }

    // The failing step alone with the fewest other steps that keep it failing.
    std::vector<Step> Shrink(std::vector<Step> steps, std::size_t failing) {
        steps.resize(failing + 1);
        int attempt = 0;
        for (std::size_t i = failing; i-- > 0;) {
            if (steps[i].sql.ours.rfind("CREATE TABLE", 0) == 0) {
                continue;
            }
            std::vector<Step> fewer = steps;
            fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(i));
            const auto result = Play(fewer, "k" + std::to_string(++attempt) + "_");
            if (result && result->first == fewer.size() - 1) {
                steps = std::move(fewer);
            }
        }
        return steps;
    }

    static std::string Script(const std::vector<Step>& steps) {
        std::string text;
        for (const Step& step : steps) {
            if (step.type == Step::kHeldChange) {
                text += "  (the second session " +
                        (step.column.empty() ? std::string("deletes")
                                             : "sets " + step.column + " to " +
                                                   Replace(step.sql.theirs, "") + " in") +
                        " its row " + std::to_string(step.row) + ")\n";
                continue;
            }
            if (step.type == Step::kHeldInsert) {
                text += "  (the second session inserts: " + Replace(step.sql.theirs, "") + ")\n";
                continue;
            }
            if (step.type == Step::kVerify) {
                text += "  (the engine verifies " + Replace(step.sql.ours, "") + ")\n";
                continue;
            }
            if (step.type == Step::kHold || step.type == Step::kRelease) {
                text += std::string("  (a second session ") +
                        (step.type == Step::kHold ? "opens " : "closes ") +
                        Replace(step.sql.ours, "") + ")\n";
                continue;
            }
            text += "  " + Utf8(Replace(step.sql.ours, "")) + "\n";
            if (step.max_rows >= 0) {
                text += "    (MaxRowCount " + std::to_string(step.max_rows) + ")\n";
            }
            if (!step.params.empty()) {
                text += "    (parameters:";
                for (const Param& p : step.params) {
                    text += " " + (p.null ? std::string("NULL") : Utf8(p.value)) + " as type " +
                            std::to_string(p.type);
                }
                text += ")\n";
            }
            if (step.sql.theirs != step.sql.ours && step.type != Step::kSetup) {
                text += "    (SQLite: " + Replace(step.sql.theirs, "") + ")\n";
            }
        }
        return text;
    }

    // Runs the statements of the file `path` (one a line, "Q " before a query) and prints what
    // each gives here, for looking into a failure by hand.
    void RunScript(const char* path) {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            if (line.empty()) {
                continue;
            }
            Step step;
            step.type = line.rfind("Q ", 0) == 0 ? Step::kQuery : Step::kChange;
            step.sql = Same(step.type == Step::kQuery ? line.substr(2) : line);
            const Outcome outcome = RunOurs(step, "");
            std::printf("%s\n  -> %s%s changed %lld\n", line.c_str(), outcome.error.c_str(),
                        outcome.rows ? Join(*outcome.rows).c_str() : "",
                        static_cast<long long>(outcome.changed));
        }
    }

    static int EnvNumber(const char* name, int fallback) {
        const char* text = std::getenv(name);
        return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
    }
};

TEST_F(SqlRandomDifferential, RandomStatementsMatchSqlite) {
    if (const char* script = std::getenv("CORVANE_SQL_FUZZ_SCRIPT")) {
        RunScript(script);
        return;
    }
    const int rounds = EnvNumber("CORVANE_SQL_FUZZ_ROUNDS", 5);
    const int first_seed = EnvNumber("CORVANE_SQL_FUZZ_SEED", 1);
    const bool shrink = EnvNumber("CORVANE_SQL_FUZZ_SHRINK", 0) != 0;
    const bool large = EnvNumber("CORVANE_SQL_FUZZ_LARGE", 0) != 0;
    int failures = 0;
    for (int seed = first_seed; seed < first_seed + rounds && failures < 5; ++seed) {
        const std::vector<Step> steps =
            RoundBuilder(static_cast<std::uint32_t>(seed), large).Build();
        const auto result = Play(steps, "r" + std::to_string(seed) + "_");
        if (!result) {
            continue;
        }
        ++failures;
        std::vector<Step> shown(steps.begin(),
                                steps.begin() + static_cast<std::ptrdiff_t>(result->first) + 1);
        if (shrink) {
            shown = Shrink(shown, result->first);
        }
        ADD_FAILURE() << "seed " << seed << ": " << result->second << "\n" << Script(shown);
    }
}

// Each round twice, with its indexes and without, in byte order and under languages whose
// collations SQLite does not know, the same for both tables or not.
TEST_F(SqlRandomDifferential, IndexesAndJoinOrderDoNotChangeResults) {
    const std::string german = "LANGUAGE 'German (Standard)'";
    // The first seeds take the mixed ones.
    const std::vector<std::vector<std::string>> kOptions = {
        {""},
        {german, ""},
        {"LANGUAGE 'English (USA)'"},
        {"", german},
        {german + " SORT 'German Phone Book Order'"},
        {german}};
    const int rounds = EnvNumber("CORVANE_SQL_FUZZ_ROUNDS", 4);
    const int first_seed = EnvNumber("CORVANE_SQL_FUZZ_SEED", 1);
    std::vector<int> seeds;
    for (int seed = first_seed; seed < first_seed + rounds; ++seed) {
        seeds.push_back(seed);
    }
    if (std::getenv("CORVANE_SQL_FUZZ_SEED") == nullptr) {
        // Rounds that once failed: a German table's index orders a live result by the
        // language, while the canned result, without LANGUAGE, is sorted by bytes.
        seeds.push_back(52031);
    }
    int failures = 0;
    for (const int seed : seeds) {
        if (failures >= 5) {
            break;
        }
        const std::vector<std::string>& options =
            kOptions[static_cast<std::size_t>(seed) % kOptions.size()];
        const bool bytes = options.size() == 1 && options.front().empty();
        // Every other round under languages writes texts of a few letters that meet equals.
        const std::vector<Step> steps =
            RoundBuilder(static_cast<std::uint32_t>(seed) + 5000,
                         EnvNumber("CORVANE_SQL_FUZZ_LARGE", 0) != 0, options,
                         !bytes && (seed / static_cast<int>(kOptions.size())) % 2 == 0)
                .Build();
        const auto result = PlayTwins(steps, "t" + std::to_string(seed) + "_", bytes);
        if (!result) {
            continue;
        }
        ++failures;
        const std::vector<Step> shown(
            steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(result->first) + 1);
        std::string named;
        for (const std::string& option : options) {
            named += "[" + option + "]";
        }
        ADD_FAILURE() << "seed " << seed << " " << named << ": " << result->second << "\n"
                      << Script(shown);
    }
}

}  // namespace
}  // namespace strata
