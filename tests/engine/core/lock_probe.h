#pragma once

// Tests of lock releases: whether a byte range is held, asked of the system through a file of
// the test's own (its locks conflict with the engine's as another program's would), and
// releases refused through the file layer's hook.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/storage/file_handler.h"
#include "platform/os/file.h"

namespace strata::testing_support {

// Whether anyone holds a byte of the range in the file at `path`.
inline bool RangeHeld(const std::string& path, std::int64_t start, std::int64_t length) {
    platform::os::OpenOptions options;
    options.share = platform::os::ShareMode::kShared;
    auto opened = platform::os::File::Open(path, options);
    if (!opened.ok()) {
        ADD_FAILURE() << "cannot open " << path;
        return true;
    }
    platform::os::File probe = std::move(opened).value();
    const auto begin = static_cast<std::uint64_t>(start);
    const auto count = static_cast<std::uint64_t>(length);
    if (!probe.LockRegion(begin, count).ok())
        return true;
    probe.UnlockRegion(begin, count);
    return false;
}

// The next `left` releases of a range of `length` bytes (starting at `start`, or anywhere
// when it is negative) are refused.
inline std::atomic<std::int64_t> refused_start{-1};
inline std::atomic<std::int64_t> refused_length{0};
inline std::atomic<int> refusals_left{0};

inline bool RefuseChosenReleases(std::int64_t start, std::int64_t length) {
    if (length != refused_length.load())
        return true;
    if (refused_start.load() >= 0 && start != refused_start.load())
        return true;
    int left = refusals_left.load();
    while (left > 0 && !refusals_left.compare_exchange_weak(left, left - 1)) {
    }
    return left <= 0;
}

inline void Refuse(std::int64_t start, std::int64_t length, int count = 1) {
    refused_start = start;
    refused_length = length;
    refusals_left = count;
    SetFileUnlockHook(RefuseChosenReleases);
}

}  // namespace strata::testing_support
