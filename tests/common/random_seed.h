#pragma once
// The seed of a test's random sequence: ZV_TEST_SEED when set (to replay a
// failure), a fresh one otherwise. A test prints the seed it used when it fails.

#include <cstdint>
#include <cstdlib>
#include <random>

namespace zvtest {

inline std::uint64_t RandomSeed()
{
    if (const char* seed = std::getenv("ZV_TEST_SEED")) {
        return std::strtoull(seed, nullptr, 10);
    }
    return (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
}

} // namespace zvtest
