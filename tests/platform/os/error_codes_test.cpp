#include "platform/os/error_codes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace platform::os {
namespace {

TEST(OsErrorCodes, ErrnoMapsToTheEngineCodes) {
    struct Case {
        int error_number;
        int code;
    };
    const std::vector<Case> cases = {
        {0, kOk},        {ENOENT, 11010}, {ENOTDIR, 11010}, {EMFILE, 11012}, {ENFILE, 11012},
        {EACCES, 11013}, {EPERM, 11013},  {EROFS, 11013},   {EAGAIN, 11013}, {EBADF, 11014},
        {ENOMEM, 11016}, {ENODEV, 11047}, {EXDEV, 11025},   {EEXIST, 11047}, {EIO, 11047},
        {ENOSPC, 11047}, {EINVAL, 11047}, {EISDIR, 11047},  {12345, 11047},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EngineCodeFromErrno(c.error_number), c.code) << c.error_number;
        const Status status = Status::FromErrno(c.error_number);
        EXPECT_EQ(status.code(), c.code);
        EXPECT_EQ(status.sys_errno(), c.error_number);
        EXPECT_EQ(status.ok(), c.code == kOk);
    }
}

}  // namespace
}  // namespace platform::os
