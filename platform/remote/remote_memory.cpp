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
    // Resident memory that no allocation holds: the program, stacks and the
    // like, about constant, and the free blocks of the arenas whose pages
    // are still resident. Its least since the last give-back is the base.
    static std::size_t idleLeast = SIZE_MAX;
    const auto idle = [] {
        const struct mallinfo2 info = ::mallinfo2();
        const std::size_t used = info.uordblks + info.hblkhd;
        const std::size_t resident = ResidentBytes();
        return std::make_pair(resident > used ? resident - used : 0, info.fordblks);
    };
    const auto [before, free] = idle();
    idleLeast = std::min(idleLeast, before);
    if (before < idleLeast + c_freeToGiveBack || free < c_freeToGiveBack) {
        return;
    }
    ::malloc_trim(0);
    idleLeast = idle().first;
    QSTD_TRACE(3,
               "Remote export: " << (before - std::min(before, idleLeast)) / 1024 << " kB of freed memory given back");
}

} // namespace mci
