// Cursors of one program against a simple model of what they must see: three cursors on
// different indexes of one table, driven by seeded random inserts, changes (keys too), deletes,
// record locks (of the current row and by number), steps, key searches, ranges, filters,
// batches and flushes. After every step the rows a cursor gives, its current row and the errors
// it raises are held against an ordered model of each index; a run ends with a close, a reopen
// and the engine's verification.
//
// CORVANE_CURSOR_MODEL_ROUNDS raises the number of seeds each case runs (for longer runs by
// hand), CORVANE_CURSOR_MODEL_FROM skips that many of them (so that a long run can go on where
// an earlier one stopped); CORVANE_CURSOR_MODEL_SEED runs that one seed in each case.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/filter.h"
#include "engine/core/table_repair.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

// Fields of the list table the indexes use.
constexpr std::uint32_t kItem = 2;
constexpr std::uint32_t kCategory = 3;
constexpr std::uint32_t kBounces = 4;
constexpr std::uint32_t kName = 6;

struct Row {
    std::uint32_t id = 0;
    std::optional<std::string> item;
    std::optional<std::string> category;
    std::optional<std::int32_t> bounces;
    std::optional<std::string> name;
    // Learnt from the first read of the row.
    std::uint32_t record = 0;
};

bool SameValues(const Row& a, const Row& b) {
    return a.id == b.id && a.item == b.item && a.category == b.category && a.bounces == b.bounces &&
           a.name == b.name;
}

std::string Describe(const Row& r) {
    const auto text = [](const std::optional<std::string>& s) { return s ? *s : "<null>"; };
    return "#" + std::to_string(r.id) + " " + text(r.item) + "/" + text(r.category) + "/" +
           (r.bounces ? std::to_string(*r.bounces) : "<null>") + "/" + text(r.name);
}

std::string Upper(std::string s) {
    for (char& ch : s)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}

// One index as the model orders it: its fields (each with or without case), whether it is
// unique (a key without the record ID) and descending (values reversed, IDs still rising).
struct IndexModel {
    std::string name;
    std::vector<std::uint32_t> fields;
    bool unique = false;
    bool case_insensitive = false;
    bool descending = false;
    // Record order, where no index is chosen.
    bool physical = false;

    std::uint8_t Number(std::size_t position) const {
        return physical ? kNoIndex : static_cast<std::uint8_t>(position);
    }

    int CompareField(std::uint32_t field, const Row& a, const Row& b) const {
        if (field == kBounces) {
            if (a.bounces.has_value() != b.bounces.has_value())
                return a.bounces.has_value() ? 1 : -1;
            if (!a.bounces)
                return 0;
            return *a.bounces < *b.bounces ? -1 : (*a.bounces > *b.bounces ? 1 : 0);
        }
        const auto& x = field == kItem ? a.item : (field == kCategory ? a.category : a.name);
        const auto& y = field == kItem ? b.item : (field == kCategory ? b.category : b.name);
        if (x.has_value() != y.has_value())
            return x.has_value() ? 1 : -1;
        if (!x)
            return 0;
        const int c = case_insensitive ? Upper(*x).compare(Upper(*y)) : x->compare(*y);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    // The first field alone: what ranges and searches by one value compare.
    int CompareFirst(const Row& a, const Row& b) const {
        const int c = CompareField(fields[0], a, b);
        return descending ? -c : c;
    }
    int Compare(const Row& a, const Row& b) const {
        if (physical)
            return a.record < b.record ? -1 : (a.record > b.record ? 1 : 0);
        for (const std::uint32_t f : fields) {
            const int c = CompareField(f, a, b);
            if (c != 0)
                return descending ? -c : c;
        }
        if (unique)
            return 0;
        return a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
    }
};

std::vector<IndexModel> Indexes() {
    return {
        {"", {kItem}, true, false, false},
        {"ByCategory", {kCategory}, false, true, false},
        {"ByBounceDown", {kBounces}, false, false, true},
        {"ByName", {kName}, true, true, false},
        {"ByCategoryBounce", {kCategory, kBounces}, false, false, false},
        {"<record order>", {}, true, false, false, true},
    };
}

TableDefinition Definition(std::uint8_t compression_a, std::uint8_t compression_b) {
    TableDefinition definition;
    definition.fields = ListTableFields();
    definition.indexes = {MakeIndex("", {kItem}, true),
                          MakeIndex("ByCategory", {kCategory}, false, true),
                          MakeIndex("ByBounceDown", {kBounces}, false, false, true),
                          MakeIndex("ByName", {kName}, true, true),
                          MakeIndex("ByCategoryBounce", {kCategory, kBounces}, false)};
    for (std::size_t i = 0; i < definition.indexes.size(); ++i)
        definition.indexes[i][ixd::kCompression] = i % 2 == 0 ? compression_a : compression_b;
    return definition;
}

struct ModelCase {
    std::uint8_t compression_a;
    std::uint8_t compression_b;
    bool strict;
    std::uint32_t first_seed;
    // The cursors hold the table exclusively, sharing it among themselves as clones do.
    bool exclusive = false;
};

class CursorModel : public CursorTest, public ::testing::WithParamInterface<ModelCase> {
  protected:
    enum class Place { kBof, kEof, kOn, kVague };

    // What one cursor should see: its index, range and place. A place on a row keeps the row
    // as it was when the cursor came to it; steps go from there. The place is "moved" when the
    // row went or its key changed since: the cursor then only steps or is put elsewhere.
    struct CursorModelState {
        TDataCursor* cursor = nullptr;
        int index = 0;
        Place place = Place::kVague;
        Row at;
        bool range = false;
        Row low;
        Row high;
        // An active filter "Bounces >= n" of the cursor's.
        TFilter* filter = nullptr;
        std::int32_t filter_min = 0;
        // A bookmark taken on a row, to go back to later.
        std::vector<std::uint8_t> bookmark;
        Row marked;
    };

    void Run(std::uint32_t seed, int steps);

    // The rows `state` walks, in order.
    std::vector<const Row*> View(const CursorModelState& state) const {
        const IndexModel& index = indexes_[static_cast<std::size_t>(state.index)];
        std::vector<const Row*> rows;
        for (const auto& [id, row] : rows_) {
            if (state.range &&
                (index.CompareFirst(state.low, row) > 0 || index.CompareFirst(row, state.high) > 0))
                continue;
            if (state.filter != nullptr && !Passes(state, row))
                continue;
            rows.push_back(&row);
        }
        std::sort(rows.begin(), rows.end(),
                  [&](const Row* a, const Row* b) { return index.Compare(*a, *b) < 0; });
        return rows;
    }

    // What a read of the current row gives at an end: its end, or, where the view is empty
    // (which the cursor may have been told of), no current record.
    static bool AtEnd(const CursorModelState& state, const std::vector<const Row*>& view,
                      EngineErrorCode code) {
        if (view.empty() && code == kErrNoCurrentRecord)
            return true;
        return code == (state.place == Place::kBof ? kErrBeginningOfFile : kErrEndOfFile);
    }

    static bool Passes(const CursorModelState& state, const Row& row) {
        return row.bounces.has_value() && *row.bounces >= state.filter_min;
    }

    // The row the cursor stands on went, moved in its order or left its view.
    bool Moved(const CursorModelState& state) const {
        if (state.place != Place::kOn)
            return false;
        const auto it = rows_.find(state.at.id);
        return it == rows_.end() ||
               indexes_[static_cast<std::size_t>(state.index)].Compare(it->second, state.at) != 0 ||
               (state.filter != nullptr && !Passes(state, it->second));
    }

    Row ReadRow(TDataCursor& c, const std::vector<std::uint8_t>& buffer) const {
        Row r;
        r.id = TDataCursor::RecordIdOf(buffer);
        r.record = TDataCursor::RecordNumberOf(buffer);
        const auto text = [&](std::uint32_t field) -> std::optional<std::string> {
            std::string t = GetText(c, buffer, field);
            if (t == "<null>")
                return std::nullopt;
            return t;
        };
        r.item = text(kItem);
        r.category = text(kCategory);
        r.bounces = GetInt(c, buffer, kBounces);
        r.name = text(kName);
        return r;
    }

    // Puts the cursor's model on the row a read gave, after checking it is `expected`.
    void Landed(CursorModelState& state, const Row& got, const Row* expected,
                const std::string& what) {
        ASSERT_NE(expected, nullptr) << what << " gave " << Describe(got);
        ASSERT_TRUE(SameValues(got, *expected))
            << what << " gave " << Describe(got) << ", expected " << Describe(*expected);
        Row& row = rows_.at(expected->id);
        if (row.record == 0)
            row.record = got.record;
        ASSERT_EQ(row.record, got.record) << what << " " << Describe(got);
        state.place = Place::kOn;
        state.at = row;
    }

    void FillRecord(TDataCursor& c, std::vector<std::uint8_t>& buffer, const Row& r) {
        const auto put = [&](std::uint32_t field, const std::optional<std::string>& v) {
            if (v)
                PutText(c, buffer, field, *v);
            else
                PutNull(c, buffer, field);
        };
        put(kItem, r.item);
        put(kCategory, r.category);
        if (r.bounces)
            PutInt(c, buffer, kBounces, *r.bounces);
        else
            PutNull(c, buffer, kBounces);
        put(kName, r.name);
    }

    // A duplicate of another row's key in a unique index.
    bool Duplicate(const Row& r) const {
        for (const IndexModel& index : indexes_) {
            if (!index.unique)
                continue;
            for (const auto& [id, other] : rows_) {
                if (id != r.id && index.Compare(other, r) == 0)
                    return true;
            }
        }
        return false;
    }

    // The first row of the view at or after `key`, as a search or a resync lands.
    static const Row* FirstFrom(const std::vector<const Row*>& view, const IndexModel& index,
                                const Row& key, bool first_field_only, bool past) {
        for (const Row* r : view) {
            const int c = first_field_only ? index.CompareFirst(*r, key) : index.Compare(*r, key);
            if (past ? c > 0 : c >= 0)
                return r;
        }
        return nullptr;
    }

    // Lands where a write that repositions lands: on the key, or the first row past it in the
    // view, or its last row.
    void LandAt(CursorModelState& state, const Row& key, bool adjust, bool written = false) {
        const auto view = View(state);
        const IndexModel& index = indexes_[static_cast<std::size_t>(state.index)];
        // In record order a written row the view leaves out leaves the cursor where it is.
        if (written && index.physical &&
            std::none_of(view.begin(), view.end(), [&](const Row* r) { return r->id == key.id; })) {
            return;
        }
        if (view.empty()) {
            state.place = Place::kVague;
            return;
        }
        const Row* r = FirstFrom(view, index, key, false, false);
        if (r == nullptr && adjust)
            r = view.back();
        if (r == nullptr) {
            state.place = Place::kEof;
            return;
        }
        state.place = Place::kOn;
        state.at = *r;
    }

    Row RandomRow(std::mt19937& rng) {
        Row r;
        const char* letters = "aAbB";
        const auto number = rng() % 150;
        r.item = std::string(1, letters[rng() % 4]) + std::to_string(number) +
                 std::string(number % 29, 'q');
        if (rng() % 12 != 0) {
            static const char* categories[] = {"news",  "News", "NEWS", "sport",
                                               "Sport", "tech", "zeta"};
            r.category = categories[rng() % 7];
        }
        if (rng() % 8 != 0)
            r.bounces = static_cast<std::int32_t>(rng() % 12) - 2;
        if (rng() % 10 != 0)
            r.name = std::string(rng() % 2 ? "n" : "N") + std::to_string(rng() % 260);
        return r;
    }

    // A value for the first field of `index` to search or bound a range by.
    Row RandomProbe(std::mt19937& rng, const IndexModel& index) {
        Row r = RandomRow(rng);
        // Mostly a value some row has.
        if (!rows_.empty() && rng() % 3 != 0) {
            auto it = rows_.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(rng() % rows_.size()));
            r = it->second;
        }
        const std::uint32_t f = index.fields[0];
        // Searches and bounds by a value, never by null.
        if (f == kItem && !r.item)
            r.item = "a1";
        if (f == kCategory && !r.category)
            r.category = "news";
        if (f == kBounces && !r.bounces)
            r.bounces = 3;
        if (f == kName && !r.name)
            r.name = "n5";
        if (f != kBounces && rng() % 4 == 0) {
            // A value between stored ones.
            auto& s = f == kItem ? r.item : (f == kCategory ? r.category : r.name);
            s = *s + "m";
        }
        return r;
    }

    void ProbeBuffer(TDataCursor& c, std::vector<std::uint8_t>& buffer, const IndexModel& index,
                     const Row& r) {
        c.InitNewRecord(buffer);
        const std::uint32_t f = index.fields[0];
        if (f == kBounces)
            PutInt(c, buffer, f, *r.bounces);
        else
            PutText(c, buffer, f, *(f == kItem ? r.item : (f == kCategory ? r.category : r.name)));
    }

    void CheckLocks(TDataCursor& c) {
        TDataTable& table = *c.Table();
        const std::uint32_t slots = c.GetRecordSlotCount();
        for (std::uint32_t n = 1; n <= slots; ++n) {
            const bool held = locks_.contains(n);
            // A batch keeps the table's locks of the records it wrote, or that were unlocked
            // in it, until it ends.
            // An exclusive table locks nothing towards other programs outside a batch.
            if ((!in_batch_ || held) && !exclusive_) {
                ASSERT_EQ(table.RecordLocked(n), held) << "record " << n;
            }
            const bool marked = table.CursorLockedRecords().RecordCount() > n &&
                                table.CursorLockedRecords().IsSet(n);
            ASSERT_EQ(marked, held)
                << "record " << n << " held by cursor " << (held ? locks_.at(n) : -1);
        }
    }

    // Every index walked by a cursor of its own against the model.
    void CheckAllOrders(TDataCursor& checker) {
        std::vector<std::uint8_t> buffer(checker.GetRecordSize());
        for (std::size_t i = 0; i < indexes_.size(); ++i) {
            SCOPED_TRACE("index " + indexes_[i].name);
            checker.SetIndex(indexes_[i].Number(i));
            CursorModelState all;
            all.index = static_cast<int>(i);
            const auto view = View(all);
            ASSERT_EQ(checker.GetRecordCount(), static_cast<std::int64_t>(view.size()));
            checker.First();
            std::size_t at = 0;
            while (checker.GetNextRecord(buffer) == 0) {
                ASSERT_LT(at, view.size());
                const Row got = ReadRow(checker, buffer);
                ASSERT_TRUE(SameValues(got, *view[at]))
                    << "at " << at << " " << Describe(got) << " expected " << Describe(*view[at]);
                ++at;
            }
            ASSERT_EQ(at, view.size());
        }
    }

    std::vector<IndexModel> indexes_ = Indexes();
    std::map<std::uint32_t, Row> rows_;
    // Record number -> the cursor (0..2) holding its explicit lock.
    std::map<std::uint32_t, int> locks_;
    bool in_batch_ = false;
    bool exclusive_ = false;
};

void CursorModel::Run(std::uint32_t seed, int steps) {
    std::mt19937 rng(seed);
    std::size_t target = 40 + rng() % 400;
    const ModelCase& param = GetParam();
    rows_.clear();
    locks_.clear();
    session->SetStrictChangeDetection(param.strict);
    {
        TDataCursor& creator = NewCursor("mailist", true);
        creator.CreateTable(Definition(param.compression_a, param.compression_b), true);
    }
    std::vector<CursorModelState> states(3);
    for (std::size_t i = 0; i < states.size(); ++i) {
        TDataCursor& c = NewCursor("mailist", param.exclusive);
        c.SetShare(param.exclusive);
        c.Open();
        states[i].cursor = &c;
        // Each cursor on an index of its own: the primary, a case-insensitive non-unique one,
        // and the descending one, the two-field one or record order.
        states[i].index = i == 0 ? 0 : (i == 1 ? 1 : (seed % 3 == 0 ? 2 : (seed % 3 == 1 ? 4 : 5)));
        c.SetIndex(indexes_[static_cast<std::size_t>(states[i].index)].Number(
            static_cast<std::size_t>(states[i].index)));
        c.First();
        states[i].place = Place::kVague;
    }
    TDataCursor& checker = NewCursor("mailist", param.exclusive);
    checker.SetShare(param.exclusive);
    checker.Open();
    in_batch_ = false;
    exclusive_ = param.exclusive;
    const bool trace = std::getenv("CORVANE_CURSOR_MODEL_TRACE") != nullptr;
    std::vector<std::uint8_t> buffer(states[0].cursor->GetRecordSize());

    for (int step = 0; step < steps; ++step) {
        const int which = static_cast<int>(rng() % states.size());
        CursorModelState& state = states[static_cast<std::size_t>(which)];
        TDataCursor& c = *state.cursor;
        const IndexModel& index = indexes_[static_cast<std::size_t>(state.index)];
        // A cursor keeps its place, a row or an end, while its view is empty and after it fills
        // again; told of the empty view, it stands at both ends at once meanwhile.
        const bool moved = Moved(state);
        const bool on_row = state.place == Place::kOn && !moved;
        const bool steady = state.place != Place::kVague && !moved;
        // A cursor whose place the model lost (an empty range, say) may still change its order,
        // range or filter, and then goes to the first row, so that it does not stay lost.
        const bool vague = state.place == Place::kVague;
        const auto settle = [&] {
            if (vague) {
                c.First();
                state.place = View(state).empty() ? Place::kVague : Place::kBof;
            }
        };
        const auto view = View(state);
        const std::uint32_t op = rng() % 100;
        std::string what = "seed " + std::to_string(seed) + " step " + std::to_string(step) +
                           " cursor " + std::to_string(which) + " ";

        // Tables grow towards a size of the seed's (splitting pages), then shrink and grow.
        const bool grow = rows_.size() < target && op < 12;
        CursorModelState& swept = states[rng() % states.size()];
        if (rng() % 40 == 0 && swept.filter != nullptr) {
            // Another cursor's writes empty a filtered cursor's view, or fill it again: its
            // rows' Bounces go below the filter's bound, or half the rows' go up to it.
            const bool empty = !View(swept).empty();
            what += empty ? "sweep a view empty" : "fill a swept view";
            SCOPED_TRACE(what);
            std::vector<std::uint32_t> ids;
            for (const auto& [id, row] : rows_) {
                if (empty ? Passes(swept, row) : rng() % 2 == 0)
                    ids.push_back(id);
            }
            checker.SetIndex(0);
            std::vector<std::uint8_t> row_buffer(checker.GetRecordSize());
            for (const std::uint32_t id : ids) {
                Row r = rows_.at(id);
                ProbeBuffer(checker, row_buffer, indexes_[0], r);
                ASSERT_TRUE(checker.FindKey(false, row_buffer, row_buffer, 0, false, 1));
                r.bounces = empty ? swept.filter_min - 1
                                  : swept.filter_min + static_cast<std::int32_t>(rng() % 3);
                PutInt(checker, row_buffer, kBounces, *r.bounces);
                const EngineErrorCode code =
                    CodeOf([&] { checker.ModifyRecord(row_buffer, false, false); });
                ASSERT_EQ(code, locks_.contains(r.record) ? kErrRecordLocked : 0) << Describe(r);
                if (code == 0)
                    rows_[id] = r;
            }
        } else if (rng() % 80 == 0 && !moved) {
            // A filter on, or off again; the cursor stays on its row where the view keeps it.
            if (state.filter == nullptr) {
                // Now and then a filter few rows or none pass.
                state.filter_min = static_cast<std::int32_t>(rng() % 11);
                what += "filter from " + std::to_string(state.filter_min);
                SCOPED_TRACE(what);
                state.filter = c.AddFilter("Bounces >= " + std::to_string(state.filter_min), {});
                c.ActivateFilter(state.filter);
            } else {
                what += "no filter";
                SCOPED_TRACE(what);
                c.DropFilter(std::exchange(state.filter, nullptr));
            }
            if (state.place == Place::kOn)
                LandAt(state, state.at, true);
            else
                state.place = View(state).empty() ? Place::kVague : Place::kBof;
            settle();
        } else if (op < 22 || grow || (rows_.size() < 5 && op < 60)) {
            Row r = RandomRow(rng);
            const bool reposition = rng() % 2 == 0;
            what += "insert " + Describe(r) + (reposition ? " repositioned" : "");
            SCOPED_TRACE(what);
            const bool duplicate = Duplicate(r);
            c.InitNewRecord(buffer);
            FillRecord(c, buffer, r);
            const EngineErrorCode code = CodeOf([&] { c.InsertRecord(buffer, reposition); });
            ASSERT_EQ(code, duplicate ? kErrDuplicateKey : 0);
            if (!duplicate) {
                r.id = TDataCursor::RecordIdOf(buffer);
                ASSERT_FALSE(rows_.contains(r.id));
                // Its record number, for record order: found by its primary key.
                checker.SetIndex(0);
                std::vector<std::uint8_t> key(checker.GetRecordSize());
                ProbeBuffer(checker, key, indexes_[0], r);
                ASSERT_TRUE(checker.FindKey(false, key, key, 0, false, 1));
                r.record = TDataCursor::RecordNumberOf(key);
                ASSERT_EQ(TDataCursor::RecordIdOf(key), r.id);
                for (const auto& [id, other] : rows_)
                    ASSERT_NE(other.record, r.record) << Describe(other);
                rows_[r.id] = r;
                if (reposition)
                    LandAt(state, r, true, true);
            }
        } else if (op < 32 && on_row) {
            const bool unlock = rng() % 2 == 0;
            const bool reposition = rng() % 2 == 0;
            Row r = rows_.at(state.at.id);
            Row changed = RandomRow(rng);
            // Some fields at a time, so that some keys stay as they were.
            if (rng() % 2)
                r.item = changed.item;
            if (rng() % 2)
                r.category = changed.category;
            if (rng() % 2)
                r.bounces = changed.bounces;
            if (rng() % 3 == 0)
                r.name = changed.name;
            what += "modify to " + Describe(r) + (unlock ? " unlock" : "") +
                    (reposition ? " repositioned" : "");
            SCOPED_TRACE(what);
            ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
            FillRecord(c, buffer, r);
            const std::uint32_t record = rows_.at(r.id).record;
            const auto lock = locks_.find(record);
            const bool locked = lock != locks_.end() && lock->second != which;
            const bool duplicate = !locked && Duplicate(r);
            const EngineErrorCode code =
                CodeOf([&] { c.ModifyRecord(buffer, unlock, reposition); });
            ASSERT_EQ(code, locked ? kErrRecordLocked : (duplicate ? kErrDuplicateKey : 0));
            if (code == 0) {
                rows_[r.id] = r;
                if (unlock && lock != locks_.end())
                    locks_.erase(lock);
                if (reposition)
                    LandAt(state, r, true, true);
            }
        } else if (op < 40 && on_row) {
            const bool reposition = rng() % 2 == 0;
            const Row r = rows_.at(state.at.id);
            what += "delete " + Describe(r) + " record " + std::to_string(r.record) +
                    (reposition ? " repositioned" : "");
            SCOPED_TRACE(what);
            ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
            const auto lock = locks_.find(r.record);
            const bool locked = lock != locks_.end() && lock->second != which;
            const EngineErrorCode code = CodeOf([&] { c.DeleteRecord(buffer, reposition); });
            ASSERT_EQ(code, locked ? kErrRecordLocked : 0);
            if (code == 0) {
                rows_.erase(r.id);
                if (lock != locks_.end())
                    locks_.erase(lock);
                if (reposition) {
                    const Row key = state.at;
                    const auto after = View(state);
                    const Row* next = FirstFrom(after, index, key, false, false);
                    if (after.empty() && !index.physical)
                        state.place = Place::kVague;
                    else if (next == nullptr)
                        state.place = Place::kEof;
                    else
                        state.at = *next;
                }
            }
        } else if (op < 56 && (steady || moved)) {
            const bool forward = op < 48;
            what += forward ? "next" : "prior";
            SCOPED_TRACE(what);
            const Row* expected = nullptr;
            if (state.place == Place::kBof) {
                if (forward && !view.empty())
                    expected = view.front();
            } else if (state.place == Place::kEof) {
                if (!forward && !view.empty())
                    expected = view.back();
            } else if (forward) {
                expected = FirstFrom(view, index, state.at, false, true);
            } else {
                for (const Row* r : view) {
                    if (index.Compare(*r, state.at) < 0)
                        expected = r;
                }
            }
            const EngineErrorCode code =
                forward ? c.GetNextRecord(buffer) : c.GetPriorRecord(buffer);
            if (expected == nullptr) {
                ASSERT_EQ(code, forward ? kErrEndOfFile : kErrBeginningOfFile)
                    << Describe(ReadRow(c, buffer));
                // At an end the cursor stays there: a step the other way comes back.
                if (state.place != Place::kVague)
                    state.place = forward ? Place::kEof : Place::kBof;
            } else {
                ASSERT_EQ(code, 0) << "expected " << Describe(*expected);
                Landed(state, ReadRow(c, buffer), expected, what);
                // A scan asks the number of every row it steps onto; the count goes on
                // from the last one only while nothing has moved the rows in between.
                const auto at = std::find(view.begin(), view.end(), expected);
                ASSERT_EQ(c.GetRecordNumber(), at - view.begin() + 1);
            }
        } else if (op < 60) {
            const bool first = op < 58;
            what += first ? "first" : "last";
            SCOPED_TRACE(what);
            if (first)
                c.First();
            else
                c.Last();
            state.place = view.empty() ? Place::kVague : (first ? Place::kBof : Place::kEof);
        } else if (op < 68 && !index.physical) {
            Row probe = RandomProbe(rng, index);
            const bool nearest = rng() % 2 == 0;
            // A text field is searched by a leading part of the value now and then.
            const std::uint32_t f = index.fields[0];
            std::optional<std::string>* text =
                f == kItem
                    ? &probe.item
                    : (f == kCategory ? &probe.category : (f == kName ? &probe.name : nullptr));
            std::size_t partial = 0;
            if (text != nullptr && rng() % 3 == 0) {
                partial = 1 + rng() % (*text)->size();
                (*text)->resize(partial);
            }
            what += "find " + Describe(probe) + (nearest ? " nearest" : "") +
                    (partial != 0 ? " partial" : "");
            SCOPED_TRACE(what);
            std::vector<std::uint8_t> key(c.GetRecordSize());
            ProbeBuffer(c, key, index, probe);
            const bool found = c.FindKey(false, key, buffer, partial, nearest, partial ? 0 : 1);
            const Row* landed = FirstFrom(view, index, probe, true, false);
            const auto starts = [&](const Row& r) {
                const auto& value = f == kItem ? r.item : (f == kCategory ? r.category : r.name);
                if (!value)
                    return false;
                const std::string v = index.case_insensitive ? Upper(*value) : *value;
                const std::string want = index.case_insensitive ? Upper(**text) : **text;
                return v.starts_with(want);
            };
            ASSERT_EQ(found, landed != nullptr &&
                                 (partial != 0 ? starts(*landed)
                                               : index.CompareFirst(*landed, probe) == 0));
            if (view.empty()) {
                state.place = Place::kVague;
            } else if (landed == nullptr) {
                ASSERT_TRUE(c.Eof());
                state.place = Place::kEof;
            } else {
                ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
                Landed(state, ReadRow(c, buffer), landed, what);
            }
        } else if (op < 74 && on_row) {
            what += "lock " + Describe(rows_.at(state.at.id)) + " record " +
                    std::to_string(rows_.at(state.at.id).record);
            SCOPED_TRACE(what);
            // Read first, so that the model knows the row's record number.
            ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
            Landed(state, ReadRow(c, buffer), &rows_.at(state.at.id), what);
            const Row& r = rows_.at(state.at.id);
            ASSERT_EQ(c.GetCurrentRecordNo(), r.record);
            const bool locked = locks_.contains(r.record);
            // Locked alone, or with a read of the row the caller holds.
            const bool with_read = rng() % 2 == 0;
            EngineErrorCode read = 0;
            const EngineErrorCode code = CodeOf([&] {
                if (with_read)
                    read = c.GetCurrentRecord(buffer, true);
                else
                    c.LockRecord(0);
            });
            ASSERT_EQ(code, locked ? kErrRecordLocked : 0);
            ASSERT_EQ(read, 0);
            if (with_read && code == 0)
                Landed(state, ReadRow(c, buffer), &r, what);
            if (code == 0)
                locks_[r.record] = which;
        } else if (op < 76 && rng() % 2 == 0) {
            // A lock by number: a row's, a free slot's or one past the last. Only a live row
            // that nobody holds locks; the cursor stays where it is.
            const std::uint32_t slots = c.GetRecordSlotCount();
            std::uint32_t number = 0;
            const std::uint32_t kind = rng() % 4;
            if (kind == 0 || slots == 0) {
                number = slots + 1 + rng() % 3;
            } else if (kind == 1 || rows_.empty()) {
                number = 1 + rng() % slots;
            } else {
                auto it = rows_.begin();
                std::advance(it, static_cast<std::ptrdiff_t>(rng() % rows_.size()));
                number = it->second.record;
            }
            what += "lock record " + std::to_string(number);
            SCOPED_TRACE(what);
            const bool live = std::any_of(rows_.begin(), rows_.end(), [&](const auto& row) {
                return row.second.record == number;
            });
            const EngineErrorCode expected =
                locks_.contains(number)
                    ? kErrRecordLocked
                    : (number > slots ? kErrRecordNotFound : (live ? 0 : kErrRecordChanged));
            ASSERT_EQ(CodeOf([&] { c.LockRecord(number); }), expected);
            if (expected == 0)
                locks_[number] = which;
        } else if (op < 78 && !locks_.empty()) {
            auto it = locks_.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(rng() % locks_.size()));
            what += "unlock record " + std::to_string(it->first);
            SCOPED_TRACE(what);
            const EngineErrorCode code = CodeOf([&] { c.UnlockRecord(it->first); });
            ASSERT_EQ(code, it->second == which ? 0 : kErrUnlock);
            if (code == 0)
                locks_.erase(it);
        } else if (op < 83 && !moved && !index.physical) {
            Row low = RandomProbe(rng, index);
            Row high = RandomProbe(rng, index);
            // In index order, and now and then the wrong way round (an empty range).
            if ((index.CompareFirst(low, high) > 0) != (rng() % 6 == 0))
                std::swap(low, high);
            what += "range " + Describe(low) + " .. " + Describe(high);
            SCOPED_TRACE(what);
            std::vector<std::uint8_t> from(c.GetRecordSize());
            std::vector<std::uint8_t> to(c.GetRecordSize());
            ProbeBuffer(c, from, index, low);
            ProbeBuffer(c, to, index, high);
            c.SetRangeKeys(false, from, 1, to, 1);
            const Place before = state.place;
            state.range = true;
            state.low = low;
            state.high = high;
            if (before != Place::kOn) {
                state.place = View(state).empty() ? Place::kVague : Place::kBof;
            } else {
                LandAt(state, state.at, true);
            }
            settle();
        } else if (op < 86 && !moved && state.range) {
            what += "cancel range";
            SCOPED_TRACE(what);
            c.CancelRange();
            state.range = false;
            if (state.place != Place::kOn)
                state.place = View(state).empty() ? Place::kVague : Place::kBof;
            else
                LandAt(state, state.at, true);
            settle();
        } else if (op < 92 && steady) {
            what += "current";
            SCOPED_TRACE(what);
            const EngineErrorCode code = c.GetCurrentRecord(buffer, false);
            if (state.place != Place::kOn)
                ASSERT_TRUE(AtEnd(state, view, code)) << code;
            else
                ASSERT_EQ(code, 0);
            if (code == 0) {
                Landed(state, ReadRow(c, buffer), &rows_.at(state.at.id), what);
                // Its place in the view, counted from 1.
                const auto at = std::find_if(view.begin(), view.end(),
                                             [&](const Row* r) { return r->id == state.at.id; });
                ASSERT_EQ(c.GetRecordNumber(), at - view.begin() + 1);
            }
        } else if (op < 93) {
            // Now and then after a refresh, which leaves the cursor at its place.
            const bool refresh = rng() % 3 == 0;
            what += refresh ? "refresh and count" : "count";
            SCOPED_TRACE(what);
            if (refresh)
                c.Refresh();
            ASSERT_EQ(c.GetRecordCount(), static_cast<std::int64_t>(view.size()));
            ASSERT_EQ(c.GetTableRecordCount(), static_cast<std::int64_t>(rows_.size()));
        } else if (op < 95 && state.bookmark.empty() && on_row) {
            what += "bookmark " + Describe(state.at);
            SCOPED_TRACE(what);
            state.bookmark = c.GetBookmark();
            state.marked = state.at;
        } else if (op < 95 && !state.bookmark.empty()) {
            what += "back to bookmark " + Describe(state.marked);
            SCOPED_TRACE(what);
            const bool same = c.GotoBookmark(state.bookmark, false);
            const Row marked = state.marked;
            const Row* expected = nullptr;
            bool found = false;
            if (index.physical) {
                for (const Row* r : view) {
                    if (r->record >= marked.record) {
                        expected = r;
                        found = r->record == marked.record;
                        break;
                    }
                }
            } else {
                expected = FirstFrom(view, index, marked, false, false);
                found = expected != nullptr && index.Compare(*expected, marked) == 0;
            }
            // The answer compares bookmarks: a unique key of nulls is all zeros, as the
            // bookmark of no record is.
            const bool zeros = std::all_of(state.bookmark.begin(), state.bookmark.end(),
                                           [](std::uint8_t b) { return b == 0; });
            ASSERT_EQ(same, found || (expected == nullptr && zeros));
            state.bookmark.clear();
            if (expected == nullptr) {
                state.place = Place::kVague;
            } else {
                ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
                Landed(state, ReadRow(c, buffer), expected, what);
            }
        } else if (op < 96 && (state.place == Place::kBof || state.place == Place::kEof)) {
            // The writes and the lock of a current row, with none.
            what += "change at an end";
            SCOPED_TRACE(what);
            const EngineErrorCode current = c.GetCurrentRecord(buffer, false);
            ASSERT_TRUE(AtEnd(state, view, current)) << current;
            c.InitNewRecord(buffer);
            FillRecord(c, buffer, RandomRow(rng));
            ASSERT_EQ(CodeOf([&] { c.ModifyRecord(buffer, false, true); }), kErrNoCurrentRecord);
            ASSERT_EQ(CodeOf([&] { c.DeleteRecord(buffer, true); }), kErrNoCurrentRecord);
            ASSERT_EQ(CodeOf([&] { c.LockRecord(0); }), kErrNoCurrentRecord);
        } else if (op < 97 && !moved) {
            // Another index: the cursor keeps its row, without a range.
            const int other = static_cast<int>(rng() % indexes_.size());
            what += "index " + std::to_string(other);
            SCOPED_TRACE(what);
            c.SetIndex(
                indexes_[static_cast<std::size_t>(other)].Number(static_cast<std::size_t>(other)));
            const bool changed = other != state.index;
            state.index = other;
            if (changed)
                state.bookmark.clear();
            if (changed) {
                state.range = false;
                if (state.place == Place::kOn) {
                    state.at = rows_.at(state.at.id);
                    ASSERT_EQ(c.GetCurrentRecord(buffer, false), 0);
                    Landed(state, ReadRow(c, buffer), &rows_.at(state.at.id), what);
                } else {
                    state.place = View(state).empty() ? Place::kVague : Place::kBof;
                }
            }
            settle();
        } else if (op < 99) {
            what += in_batch_ ? "end batch" : "begin batch";
            SCOPED_TRACE(what);
            if (in_batch_)
                directory->EndUpdateBatch(true);
            else
                directory->BeginUpdateBatch();
            in_batch_ = !in_batch_;
        } else {
            what += "flush";
            SCOPED_TRACE(what);
            c.FlushBuffers(false, true, true);
        }
        if (trace) {
            std::string mark;
            for (std::uint8_t b : c.GetBookmark())
                mark += b >= 32 && b < 127 ? static_cast<char>(b) : '.';
            std::fprintf(stderr, "%s -> %d %s [%s bof %d eof %d]\n", what.c_str(),
                         static_cast<int>(state.place),
                         state.place == Place::kOn ? Describe(state.at).c_str() : "",
                         mark.substr(0, 40).c_str(), c.Bof(), c.Eof());
        }
        {
            SCOPED_TRACE(what);
            ASSERT_NO_FATAL_FAILURE(CheckLocks(c));
            if (step % 40 == 39) {
                ASSERT_NO_FATAL_FAILURE(CheckAllOrders(checker));
            }
        }
    }
    if (in_batch_)
        directory->EndUpdateBatch(true);
    ASSERT_NO_FATAL_FAILURE(CheckAllOrders(checker));
    for (CursorModelState& state : states)
        state.cursor->Close();
    checker.Close();
    cursors.clear();
    locks_.clear();

    TDataCursor& reopened = NewCursor("mailist", false);
    reopened.Open();
    ASSERT_NO_FATAL_FAILURE(CheckLocks(reopened));
    ASSERT_NO_FATAL_FAILURE(CheckAllOrders(reopened));
    reopened.Close();
    std::vector<std::string> lines;
    TDataCursor& verifier = NewCursor();
    RepairTable(verifier, true, 0, {}, [&](std::string_view line) { lines.emplace_back(line); });
    ASSERT_EQ(lines.size(), 2u) << (lines.size() > 1 ? lines[1] : "");
    cursors.clear();
}

TEST_P(CursorModel, RandomOperationsKeepEveryCursorWhereTheModelSays) {
    int rounds = 1;
    if (const char* env = std::getenv("CORVANE_CURSOR_MODEL_ROUNDS"))
        rounds = std::max(1, std::atoi(env));
    // One seed alone, to look into a failure.
    const char* only = std::getenv("CORVANE_CURSOR_MODEL_SEED");
    if (only != nullptr)
        rounds = 1;
    int from = 0;
    if (const char* env = std::getenv("CORVANE_CURSOR_MODEL_FROM");
        env != nullptr && only == nullptr)
        from = std::max(0, std::atoi(env));
    for (int round = from; round < from + rounds; ++round) {
        const std::uint32_t seed =
            only != nullptr ? static_cast<std::uint32_t>(std::strtoul(only, nullptr, 10))
                            : GetParam().first_seed + static_cast<std::uint32_t>(round) * 7919;
        ASSERT_NO_FATAL_FAILURE(Run(seed, 1500)) << "seed " << seed;
    }
}

// The small cases the runs above found, each on its own.
class CursorModelCases : public CursorTest {
  protected:
    TDataCursor& Table(int rows) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition(), "mailist", false);
        for (int i = 0; i < rows; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
        return c;
    }

    // Rows u0@x, u1@x, ... with bounces from 5 up; the first cursor writes in record order,
    // the second reads them in `order` through a filter all of them pass.
    std::pair<TDataCursor&, TDataCursor&> WriterAndFilteredReader(int rows, std::uint8_t order) {
        TDataCursor& a = CreateAndOpen(ListTableDefinition(), "mailist", false);
        for (int i = 0; i < rows; ++i)
            InsertEntry(a, "u" + std::to_string(i) + "@x", "A", 5 + i);
        a.SetIndex(kNoIndex);
        TDataCursor& b = NewCursor("mailist", false);
        b.Open();
        b.SetIndex(order);
        b.ActivateFilter(b.AddFilter("Bounces >= 5", {}));
        return {a, b};
    }
};

// A record changed in a batch stays locked until the batch ends; an explicit lock taken on it
// meanwhile is the cursor's, and outlasts the batch's end.
TEST_F(CursorModelCases, AnExplicitLockOnARecordTheBatchChangedOutlastsTheBatch) {
    TDataCursor& a = Table(3);
    TDataCursor& b = NewCursor("mailist", false);
    b.Open();
    std::vector<std::uint8_t> buffer(a.GetRecordSize());
    directory->BeginUpdateBatch();
    a.First();
    ASSERT_EQ(a.GetNextRecord(buffer), 0);
    PutInt(a, buffer, 4, 40);
    a.ModifyRecord(buffer, false, false);
    const std::uint32_t record = a.GetCurrentRecordNo();
    a.LockRecord(0);
    directory->EndUpdateBatch(true);
    EXPECT_TRUE(a.Table()->RecordLocked(record));
    b.First();
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    EXPECT_EQ(CodeOf([&] { b.LockRecord(0); }), kErrRecordLocked);
    a.UnlockRecord(record);
    EXPECT_FALSE(a.Table()->RecordLocked(record));
    b.LockRecord(0);
    b.UnlockRecord(0);
}

// Cursors sharing a table they hold exclusively (clones) see each other's changes in record
// order too: the rows another one added, and not the rows it deleted.
TEST_F(CursorModelCases, AnExclusiveCloneInRecordOrderSeesTheOriginalsChanges) {
    TDataCursor& a = CreateAndOpen(ListTableDefinition());
    for (int i = 0; i < 3; ++i)
        InsertEntry(a, "u" + std::to_string(i) + "@x", "A", i);
    a.SetIndex(kNoIndex);
    const std::unique_ptr<TDataCursor> clone = a.CloneCursor();
    EXPECT_EQ(Items(*clone).size(), 3u);
    InsertEntry(a, "late@x", "A", 9);
    EXPECT_EQ(clone->GetRecordCount(), 4);
    EXPECT_EQ(Items(*clone), (std::vector<std::string>{"u0@x", "u1@x", "u2@x", "late@x"}));
    std::vector<std::uint8_t> buffer(a.GetRecordSize());
    a.First();
    ASSERT_EQ(a.GetNextRecord(buffer), 0);
    a.DeleteRecord(buffer, false);
    EXPECT_EQ(Items(*clone), (std::vector<std::string>{"u1@x", "u2@x", "late@x"}));
    // A clone standing on the deleted row steps on from its place.
    clone->First();
    ASSERT_EQ(clone->GetNextRecord(buffer), 0);
    a.First();
    ASSERT_EQ(a.GetNextRecord(buffer), 0);
    a.DeleteRecord(buffer, false);
    ASSERT_EQ(clone->GetNextRecord(buffer), 0);
    EXPECT_EQ(GetText(*clone, buffer, 2), "u2@x");
    clone->Close();
}

// A flush through one cursor takes in what others changed before it: the table's counters it
// then keeps would hide those changes from it for good.
TEST_F(CursorModelCases, AFlushDoesNotHideAnotherCursorsChanges) {
    for (const bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "in a batch" : "alone");
        cursors.clear();
        TDataCursor& a = Table(3);
        TDataCursor& b = NewCursor("mailist", false);
        b.Open();
        b.SetIndex(kNoIndex);
        EXPECT_EQ(b.GetRecordCount(), 3);
        if (batch)
            directory->BeginUpdateBatch();
        InsertEntry(a, "late@x", "A", 9);
        b.FlushBuffers(false, true, true);
        EXPECT_EQ(b.GetRecordCount(), 4);
        EXPECT_EQ(Items(b).size(), 4u);
        std::vector<std::uint8_t> buffer(a.GetRecordSize());
        a.First();
        ASSERT_EQ(a.GetNextRecord(buffer), 0);
        a.DeleteRecord(buffer, false);
        b.FlushBuffers(false, true, true);
        EXPECT_EQ(Items(b), (std::vector<std::string>{"u1@x", "u2@x", "late@x"}));
        if (batch)
            directory->EndUpdateBatch(true);
    }
}

// A filtered cursor in record order whose own change took its row out of the view is put on
// the next row by the resync that takes in another cursor's insert, and keeps its old place to
// step from. A write of its own that the view leaves out moves it nowhere, so that place still
// counts: the next step gives the row after the changed one, not the one after that.
TEST_F(CursorModelCases, AWriteTheFilterLeavesOutKeepsThePlaceToStepFrom) {
    for (const char* const filter : {"Bounces >= 8", "Bounces + 0 >= 8"}) {
        SCOPED_TRACE(filter);
        cursors.clear();
        TDataCursor& a = CreateAndOpen(ListTableDefinition(), "mailist", false);
        InsertEntry(a, "u0@x", "A", 8);
        InsertEntry(a, "u1@x", "A", 9);
        InsertEntry(a, "u2@x", "A", 9);
        TDataCursor& b = NewCursor("mailist", false);
        b.Open();
        a.SetIndex(kNoIndex);
        a.ActivateFilter(a.AddFilter(filter, {}));
        std::vector<std::uint8_t> buffer(a.GetRecordSize());
        a.First();
        ASSERT_EQ(a.GetNextRecord(buffer), 0);
        ASSERT_EQ(GetText(a, buffer, 2), "u0@x");
        PutInt(a, buffer, 4, 0);
        a.ModifyRecord(buffer, false, false);
        InsertEntry(b, "other@x", "A", 1);
        a.InitNewRecord(buffer);
        PutText(a, buffer, 2, "left-out@x");
        PutInt(a, buffer, 4, 1);
        a.InsertRecord(buffer, true);
        ASSERT_EQ(a.GetNextRecord(buffer), 0);
        EXPECT_EQ(GetText(a, buffer, 2), "u1@x");
        ASSERT_EQ(a.GetNextRecord(buffer), 0);
        EXPECT_EQ(GetText(a, buffer, 2), "u2@x");
        EXPECT_EQ(a.GetNextRecord(buffer), kErrEndOfFile);
    }
}

// A filtered scan asks the number of every row it steps onto, and the count goes on from the
// row before. Whatever changes the view or the keys between two steps is counted in: another
// cursor's change that lets an earlier row into the view without touching the scan's key, a
// row inserted before the place, a filter switched on and off, a range.
TEST_F(CursorModelCases, ScanNumbersTakeInWhatChangedBetweenSteps) {
    TDataCursor& a = CreateAndOpen(ListTableDefinition(), "mailist", false);
    std::map<std::string, std::pair<std::string, int>> model;
    for (int i = 0; i < 10; ++i) {
        const std::string item = "u" + std::to_string(i) + "@x";
        model[item] = {i % 2 == 0 ? "A" : "B", i};
        InsertEntry(a, item, model[item].first, i);
    }
    a.SetIndex(kNoIndex);
    TDataCursor& b = NewCursor("mailist", false);
    b.Open();
    b.SetIndex(1);
    b.ActivateFilter(b.AddFilter("Category = 'A'", {}));
    int least_bounces = 0;
    std::vector<std::uint8_t> buffer(b.GetRecordSize());
    // The number the model gives the row b stands on: rows of "A" up to it in item order.
    const auto check = [&](const std::string& expected_item) {
        ASSERT_EQ(GetText(b, buffer, 2), expected_item);
        std::int64_t number = 0;
        for (const auto& [item, values] : model) {
            if (values.first == "A" && values.second >= least_bounces && item <= expected_item)
                ++number;
        }
        EXPECT_EQ(b.GetRecordNumber(), number) << expected_item;
    };
    const auto change = [&](const std::string& item, const std::string& category) {
        std::vector<std::uint8_t> row(a.GetRecordSize());
        a.First();
        while (a.GetNextRecord(row) == 0) {
            if (GetText(a, row, 2) == item) {
                PutText(a, row, 3, category);
                a.ModifyRecord(row, false, false);
                model[item].first = category;
                return;
            }
        }
        FAIL() << item;
    };
    b.First();
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u0@x");
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u2@x");
    change("u1@x", "A");
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u4@x");
    change("u3@x", "A");
    change("u1@x", "B");
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u6@x");
    InsertEntry(a, "u5a@x", "A", 5);
    model["u5a@x"] = {"A", 5};
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u8@x");

    // A second filter narrows the view under the same keys.
    TFilter* narrow = b.AddFilter("Bounces >= 4", {});
    b.ActivateFilter(narrow);
    least_bounces = 4;
    b.First();
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u4@x");
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u5a@x");
    b.DeactivateFilter(narrow);
    least_bounces = 0;
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u6@x");
    ASSERT_EQ(b.GetNextRecord(buffer), 0);
    check("u8@x");
}

// A filtered cursor whose view another cursor empties and fills again takes the empty view in
// (no current record), and then goes back to the place it had, whether or not it looked while
// the view was empty: at a row its next step gives the row after it, at an end it stays there.
TEST_F(CursorModelCases, ACursorWhoseViewEmptiesAndFillsAgainKeepsItsPlace) {
    enum class Place { kRow, kEnd, kStart };
    for (const std::uint8_t order : {kNoIndex, std::uint8_t{0}}) {
        for (const Place place : {Place::kRow, Place::kEnd, Place::kStart}) {
            for (const bool looked : {true, false}) {
                SCOPED_TRACE(std::to_string(order) + " place " +
                             std::to_string(static_cast<int>(place)) +
                             (looked ? " looked" : " did not look"));
                cursors.clear();
                const auto cursor_pair = WriterAndFilteredReader(5, order);
                TDataCursor& a = cursor_pair.first;
                TDataCursor& b = cursor_pair.second;
                std::vector<std::uint8_t> buffer(a.GetRecordSize());
                const auto set_all = [&](bool empty) {
                    a.First();
                    for (int i = 0; a.GetNextRecord(buffer) == 0; ++i) {
                        PutInt(a, buffer, 4, empty ? 0 : 5 + i);
                        a.ModifyRecord(buffer, false, false);
                    }
                };
                b.First();
                if (place == Place::kRow) {
                    ASSERT_EQ(b.GetNextRecord(buffer), 0);
                    ASSERT_EQ(b.GetNextRecord(buffer), 0);
                    ASSERT_EQ(GetText(b, buffer, 2), "u1@x");
                } else if (place == Place::kEnd) {
                    b.Last();
                }
                set_all(true);
                if (looked) {
                    EXPECT_EQ(b.GetRecordCount(), 0);
                    EXPECT_EQ(b.GetCurrentRecord(buffer, false), kErrNoCurrentRecord);
                    EXPECT_EQ(b.GetRecordCount(), 0);
                }
                set_all(false);
                if (place == Place::kRow) {
                    ASSERT_EQ(b.GetNextRecord(buffer), 0);
                    EXPECT_EQ(GetText(b, buffer, 2), "u2@x");
                } else if (place == Place::kEnd) {
                    EXPECT_EQ(b.GetNextRecord(buffer), kErrEndOfFile);
                    ASSERT_EQ(b.GetPriorRecord(buffer), 0);
                    EXPECT_EQ(GetText(b, buffer, 2), "u4@x");
                } else {
                    EXPECT_EQ(b.GetPriorRecord(buffer), kErrBeginningOfFile);
                    ASSERT_EQ(b.GetNextRecord(buffer), 0);
                    EXPECT_EQ(GetText(b, buffer, 2), "u0@x");
                }
            }
        }
    }
}

// A row that leaves a filtered cursor's view puts the cursor on a neighbour when it learns of
// it; when the row comes back before the cursor moves, the cursor is on it again, as if it had
// never looked. A cursor whose view emptied and that fills it again with a row of its own
// stands at the end it stood at before.
TEST_F(CursorModelCases, ACursorGoesBackToItsPlaceWhenRowsComeBack) {
    for (const std::uint8_t order : {kNoIndex, std::uint8_t{0}}) {
        SCOPED_TRACE(std::to_string(order));
        cursors.clear();
        const auto cursor_pair = WriterAndFilteredReader(4, order);
        TDataCursor& a = cursor_pair.first;
        TDataCursor& b = cursor_pair.second;
        std::vector<std::uint8_t> buffer(a.GetRecordSize());
        const auto set_bounces = [&](const std::string& item, int bounces) {
            a.First();
            while (a.GetNextRecord(buffer) == 0) {
                if (GetText(a, buffer, 2) == item || item.empty()) {
                    PutInt(a, buffer, 4, bounces);
                    a.ModifyRecord(buffer, false, false);
                }
            }
        };
        b.First();
        ASSERT_EQ(b.GetNextRecord(buffer), 0);
        ASSERT_EQ(b.GetNextRecord(buffer), 0);
        ASSERT_EQ(GetText(b, buffer, 2), "u1@x");
        set_bounces("u1@x", 0);
        EXPECT_EQ(b.GetRecordCount(), 3);
        set_bounces("u1@x", 6);
        ASSERT_EQ(b.GetCurrentRecord(buffer, false), 0);
        EXPECT_EQ(GetText(b, buffer, 2), "u1@x");
        ASSERT_EQ(b.GetNextRecord(buffer), 0);
        EXPECT_EQ(GetText(b, buffer, 2), "u2@x");

        b.Last();
        set_bounces("", 0);
        EXPECT_EQ(b.GetRecordCount(), 0);
        b.InitNewRecord(buffer);
        PutText(b, buffer, 2, "own@x");
        PutInt(b, buffer, 4, 7);
        b.InsertRecord(buffer, false);
        EXPECT_EQ(b.GetCurrentRecord(buffer, false), kErrEndOfFile);
        EXPECT_EQ(b.GetNextRecord(buffer), kErrEndOfFile);
        ASSERT_EQ(b.GetPriorRecord(buffer), 0);
        EXPECT_EQ(GetText(b, buffer, 2), "own@x");
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, CursorModel,
                         ::testing::Values(ModelCase{0, 0, false, 11}, ModelCase{3, 3, false, 12},
                                           ModelCase{0, 3, true, 13}, ModelCase{3, 0, true, 14},
                                           ModelCase{0, 3, false, 15, true},
                                           ModelCase{3, 0, false, 16, true}));

}  // namespace
}  // namespace strata
