#include "platform/remote/remote_memory.h"

#include "platform/qstd/trace.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace mci {

namespace {

std::size_t ResidentBytes()
{
    std::size_t pages = 0;
    std::size_t resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%zu %zu", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

} // namespace

void RemoteMemory::BoundAllocatorCaches()
{
    // Fixed values also stop glibc from raising them as large blocks are freed.
    if (::mallopt(M_MMAP_THRESHOLD, c_mmapThreshold) != 1 || ::mallopt(M_TRIM_THRESHOLD, c_trimThreshold) != 1 ||
        ::mallopt(M_ARENA_MAX, c_arenaMax) != 1) {
        QSTD_TRACE(1, "Remote export: allocator thresholds and arenas not set");
    }
}

void RemoteMemory::GiveBackFreed()
{
    // The arenas' free memory, at its least since the last give-back, is the
    // base: a give-back is worth it once c_freeToGiveBack more was freed
    // (memory reused and freed again counts again: its pages were faulted
    // back in). Not judged by resident memory: a large block mapped on its
    // own (the gate's buffer grown for a large message) may be resident in
    // part only, and one unmapped lowers it while the arenas' free memory
    // grows.
    static std::size_t least = SIZE_MAX;
    const std::size_t free = ::mallinfo2().fordblks;
    least = std::min(least, free);
    if (free < least + c_freeToGiveBack) {
        return;
    }
    const std::size_t before = ResidentBytes();
    ::malloc_trim(0);
    least = ::mallinfo2().fordblks;
    const std::size_t after = ResidentBytes();
    QSTD_TRACE(3, "Remote export: " << (before - std::min(before, after)) / 1024 << " kB of freed memory given back");
}

} // namespace mci
