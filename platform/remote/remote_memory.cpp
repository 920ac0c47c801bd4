#include "platform/remote/remote_memory.h"

#include "platform/qstd/trace.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <tuple>
#include <utility>

namespace remote {

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
    // Two signs that the arenas hold memory worth giving back, each against
    // its least since the last give-back: c_freeToGiveBack more freed in the
    // arenas (memory reused and freed again counts again: its pages were
    // faulted back in), or as much more resident memory that no allocation
    // holds. The first alone misses pages of free blocks faulted in again;
    // the second alone misses frees while a large block mapped on its own
    // (the gate's buffer, grown for a large message) counts as allocated in
    // full though resident in part.
    static std::size_t leastFree = SIZE_MAX;
    static std::size_t leastIdle = SIZE_MAX;
    const auto look = [] {
        const struct mallinfo2 info = ::mallinfo2();
        const std::size_t used = info.uordblks + info.hblkhd;
        const std::size_t resident = ResidentBytes();
        return std::make_pair(info.fordblks, resident > used ? resident - used : 0);
    };
    const auto [free, idle] = look();
    leastFree = std::min(leastFree, free);
    leastIdle = std::min(leastIdle, idle);
    const bool freed = free >= leastFree + c_freeToGiveBack;
    const bool resident = idle >= leastIdle + c_freeToGiveBack && free >= c_freeToGiveBack;
    if (!freed && !resident) {
        return;
    }
    const std::size_t before = ResidentBytes();
    ::malloc_trim(0);
    std::tie(leastFree, leastIdle) = look();
    const std::size_t after = ResidentBytes();
    QSTD_TRACE(3, "Remote export: " << (before - std::min(before, after)) / 1024 << " kB of freed memory given back");
}

} // namespace remote
