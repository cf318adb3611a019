#include "engine/storage/engine_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace strata {
namespace {

struct ExpectedMessage {
    EngineErrorCode code;
    int hex;
    const char* text;  // filled with table "tbl", field "fld", index "idx", extra "more"
};

const ExpectedMessage kExpected[] = {
    {8705, 0x2201, "Beginning of file encountered in table 'tbl'"},
    {8706, 0x2202, "End of file encountered in table 'tbl'"},
    {8708, 0x2204,
     "Record has been changed or deleted by another user, session, or table cursor in table 'tbl'"},
    {8709, 0x2205, "No current record in table 'tbl'"},
    {8710, 0x2206, "Record not found in table 'tbl'"},
    {8711, 0x2207, "End of blob data in table 'tbl' reached prematurely"},
    {8961, 0x2301, "Header information corrupt in table 'tbl'"},
    {8962, 0x2302, "Data record buffers corrupt in table 'tbl'"},
    {8963, 0x2303, "BLOB block buffers corrupt in table 'tbl'"},
    {8965, 0x2305, "Index page buffers corrupt in table 'tbl'"},
    {9217, 0x2401, "Error reading from table 'tbl'"},
    {9218, 0x2402, "Error writing to table 'tbl'"},
    {9220, 0x2404, "Cannot delete table 'tbl'"},
    {9221, 0x2405, "Error accessing header information for table 'tbl'"},
    {9477, 0x2505, "Maximum record size exceeded in table 'tbl'"},
    {9479, 0x2507, "The table 'tbl' is full and cannot contain any more data"},
    {9482, 0x250A, "Too many filters defined for table 'tbl'"},
    {9487, 0x250F,
     "Maximum or minimum limits on number of indexes or fields in an index exceeded in table "
     "'tbl'"},
    {9492, 0x2514,
     "Maximum or minimum limits on number of fields, auto-increment field value, or field size "
     "exceeded in table 'tbl'"},
    {9494, 0x2516, "Too many blobs opened in table 'tbl'"},
    {9498, 0x251A, "Too many blob fields or invalid blob block size specified for table 'tbl'"},
    {9729, 0x2601, "Duplicate key found in index 'idx' of table 'tbl'"},
    {9730, 0x2602,
     "The value for the field 'fld' in table 'tbl' is below the minimum allowable value"},
    {9731, 0x2603,
     "The value for the field 'fld' in table 'tbl' is above the maximum allowable value"},
    {9732, 0x2604, "A value must be provided for the field 'fld' in table 'tbl'"},
    {9985, 0x2701, "Invalid field number or name 'fld' specified for table 'tbl'"},
    {9993, 0x2709, "A primary index is already defined for table 'tbl' and cannot be added again"},
    {9998, 0x270E, "Invalid blob offset into table 'tbl' specified"},
    {10000, 0x2710, "Invalid field definition specified for the field 'fld' in table 'tbl'"},
    {10006, 0x2716,
     "Invalid default, min or max validity check, or expression specified for 'fld' in table "
     "'tbl'"},
    {10010, 0x271A, "The secondary index name is missing or not specified for table 'tbl'"},
    {10015, 0x271F, "Password provided for table 'tbl' is invalid"},
    {10022, 0x2726, "Invalid secondary index name 'idx' specified for table 'tbl'"},
    {10023, 0x2727, "Invalid field number 'fld' specified in index 'idx' for table 'tbl'"},
    {10026, 0x272A, "Invalid key size specified in index 'idx' for table 'tbl'"},
    {10027, 0x272B, "The secondary index 'idx' already exists for table 'tbl'"},
    {10029, 0x272D, "Invalid blob length in table 'tbl'"},
    {10030, 0x272E, "Invalid blob handle for table 'tbl' specified"},
    {10031, 0x272F, "table 'tbl' is already in use"},
    {10038, 0x2736, "Invalid or duplicate field name 'fld' specified for table 'tbl'"},
    {10050, 0x2742, "Invalid filter handle specified for table 'tbl'"},
    {10051, 0x2743, "Filter error for table 'tbl' - more"},
    {10055, 0x2747, "The primary index cannot be removed from table 'tbl'"},
    {10241, 0x2801, "The table 'tbl' is already locked by another user"},
    {10242, 0x2802, "Cannot unlock table or record in table 'tbl'"},
    {10249, 0x2809, "General lock failure with table 'tbl'"},
    {10253, 0x280D, "table 'tbl' must be opened exclusively"},
    {10258, 0x2812, "Record in table 'tbl' is in use by another user"},
    {10498, 0x2902, "Insufficient rights to table 'tbl', a password is required"},
    {10753, 0x2A01, "Invalid blob field 'fld' specified for table 'tbl'"},
    {10758, 0x2A06, "Engine not initialized"},
    {11010, 0x2B02, "Invalid path or file name for table 'tbl'"},
    {11012, 0x2B04, "Too many files open while attempting to open table 'tbl'"},
    {11013, 0x2B05, "Access denied to table 'tbl'"},
    {11014, 0x2B06, "Invalid file handle for table 'tbl'"},
    {11016, 0x2B08,
     "There is insufficient operating system memory available for the current operation"},
    {11017, 0x2B09, "Invalid length for in-memory table 'tbl'"},
    {11023, 0x2B0F, "Access denied to logical operating system device for table 'tbl'"},
    {11025, 0x2B11, "table 'tbl' has been moved"},
    {11047, 0x2B27, "An unknown operating system error occurred with table 'tbl'"},
    {11949, 0x2EAD, "SQL error - more"},
    {12035, 0x2F03, "table 'tbl' is not the correct version"},
    {12292, 0x3004, "Invalid field type specified for index 'idx' in table 'tbl'"},
    {13060, 0x3304, "The table 'tbl' already exists"},
    {15878, 0x3E06, "The language driver for table 'tbl' is not available or installed"},
};

TEST(EngineError, EveryCodeHasItsExactMessage) {
    for (const ExpectedMessage& expected : kExpected) {
        SCOPED_TRACE(expected.code);
        EXPECT_EQ(expected.code, expected.hex);
        try {
            RaiseEngineError(expected.code, "tbl", "fld", "idx", "more");
            FAIL() << "no exception";
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.Message(), "Strata Engine Error # " + std::to_string(expected.code) + " " +
                                       expected.text);
            ASSERT_EQ(e.ErrorCount(), 1u);
            EXPECT_EQ(e.GetError(0).ErrorCode(), expected.code);
            EXPECT_EQ(e.GetError(0).Message(), expected.text);
            EXPECT_EQ(e.ErrorCode(), expected.code);
        }
        EXPECT_EQ(GetLastEngineErrorCode(), expected.code);
        EXPECT_EQ(GetEngineErrorMessage(expected.code), expected.text);
    }
}

TEST(EngineError, CodesOutsideTheTableNameTheTable) {
    for (EngineErrorCode code :
         {EngineErrorCode{1}, EngineErrorCode{8707}, EngineErrorCode{65535}}) {
        EXPECT_EQ(FormatEngineErrorMessage(code, {.table_name = "t.dat"}),
                  "Unknown error occurred with table 't.dat'");
    }
    EStrataEngineError error(1, {.table_name = "x"});
    EXPECT_EQ(error.Message(), "Strata Engine Error # 1 Unknown error occurred with table 'x'");
}

TEST(EngineError, AccessDeniedCarriesTheFileName) {
    try {
        RaiseEngineError(kErrAccessDenied, "/data/mailist.dat", "", "", "");
    } catch (const db::EDatabaseError& e) {
        EXPECT_STREQ(e.what(),
                     "Strata Engine Error # 11013 Access denied to table '/data/mailist.dat'");
        const auto& engine = dynamic_cast<const EStrataEngineError&>(e);
        EXPECT_EQ(engine.GetError(0).ErrorCode(), 11013);
    }
}

TEST(EngineError, MessagesAreCutAt254Characters) {
    const std::string long_name(300, 'n');
    // The stored name is cut at 255, the message text at 254.
    const std::string text = FormatEngineErrorMessage(kErrAccessDenied, {.table_name = long_name});
    EXPECT_EQ(text.size(), 254u);
    EXPECT_EQ(text, ("Access denied to table '" + long_name).substr(0, 254));
    try {
        RaiseEngineError(kErrSql, "", "", "", std::string(400, 'x'));
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.GetError(0).Message().size(), 254u);
        EXPECT_EQ(e.Message(), "Strata Engine Error # 11949 " + e.GetError(0).Message());
    }
    // The system's reason is never cut: the path gives up its front instead.
    const std::string reasoned =
        FormatEngineErrorMessage(kErrWrite, {.table_name = "/" + long_name, .os_error = ENOSPC});
    EXPECT_EQ(reasoned.size(), 254u);
    EXPECT_TRUE(reasoned.starts_with("Error writing to table '..."));
    EXPECT_TRUE(reasoned.ends_with("nnn': No space left on device"));
    // Exactly 254 stays whole.
    const std::string fits(254 - std::string("SQL error - ").size(), 'y');
    EXPECT_EQ(FormatEngineErrorMessage(kErrSql, {.extra = fits}), "SQL error - " + fits);
}

TEST(EngineError, PercentSignsInNamesStayText) {
    EXPECT_EQ(FormatEngineErrorMessage(kErrFilter, {.table_name = "a%sb", .extra = "x %s y"}),
              "Filter error for table 'a%sb' - x %s y");
}

TEST(EngineError, LastErrorTextsAndClear) {
    SetLastEngineError(kErrRequiredValue, "tab", "Item", "ByItem", "");
    EXPECT_EQ(GetLastEngineErrorText(0), "Item");
    EXPECT_EQ(GetLastEngineErrorText(1), "tab");
    EXPECT_EQ(GetLastEngineErrorText(2), "ByItem");
    EXPECT_EQ(GetLastEngineErrorText(3), "");
    EXPECT_EQ(GetLastEngineErrorText(-1), "");
    EXPECT_EQ(GetEngineErrorMessage(kErrRequiredValue),
              "A value must be provided for the field 'Item' in table 'tab'");
    ClearLastEngineError();
    EXPECT_EQ(GetLastEngineErrorCode(), 0);
    EXPECT_EQ(GetLastEngineErrorText(1), "");
}

TEST(EngineError, CheckEngineResultRaisesOnlyFailures) {
    EXPECT_NO_THROW(CheckEngineResult(0));
    SetLastEngineError(kErrRead, "stale", "", "", "");
    try {
        CheckEngineResult(kErrRead);
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrRead);
        // Never the names of an earlier, unrelated failure.
        EXPECT_EQ(e.GetError(0).Message(), "Error reading from table ''");
    }
    EXPECT_EQ(GetLastEngineErrorText(1), "stale");
}

TEST(EngineError, ConcurrentFailuresKeepTheirOwnNames) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            const std::string name = "table" + std::to_string(t);
            for (int i = 0; i < 500; ++i) {
                try {
                    RaiseEngineError(kErrRecordLocked, name);
                } catch (const EStrataEngineError& e) {
                    if (e.GetError(0).Message() !=
                        "Record in table '" + name + "' is in use by another user") {
                        ++mismatches;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace strata
