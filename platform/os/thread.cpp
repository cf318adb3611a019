#include "platform/os/thread.h"

#include <unistd.h>

#include <random>

namespace platform::os {
namespace {

struct Generator {
    std::mutex mutex;
    std::mt19937 engine{std::random_device{}()};
};

Generator& generator() {
    static Generator instance;
    return instance;
}

}  // namespace

std::uint32_t CurrentThreadId() {
    return static_cast<std::uint32_t>(gettid());
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

std::uint32_t Random(std::uint32_t range) {
    if (range == 0) {
        return 0;
    }
    auto& g = generator();
    std::lock_guard lock(g.mutex);
    return std::uniform_int_distribution<std::uint32_t>(0, range - 1)(g.engine);
}

void SeedRandom(std::uint32_t seed) {
    auto& g = generator();
    std::lock_guard lock(g.mutex);
    g.engine.seed(seed);
}

}  // namespace platform::os
