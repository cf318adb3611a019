#pragma once

// Thread and process identity, the re-entrant critical section and the process's random
// numbers.

#include <cstdint>
#include <mutex>

namespace platform::os {

// The kernel's id of the calling thread (gettid); distinct between the
// live threads of all processes, and equal to the process id on the main thread.
std::uint32_t CurrentThreadId();
// The calling process's id (getpid).
std::uint32_t CurrentProcessId();

// Critical sections are re-entrant per thread.
using CriticalSection = std::recursive_mutex;
using CriticalSectionLock = std::lock_guard<std::recursive_mutex>;

// A uniformly distributed number in [0, range); 0 when range is 0.
// One generator for the process, seeded from the system at start, used under
// a mutex so that threads may share it.
std::uint32_t Random(std::uint32_t range);
// Makes the sequence of Random repeatable (tests).
void SeedRandom(std::uint32_t seed);

}  // namespace platform::os
