#pragma once
// remote::RemoteMemory: what remote clients make the server allocate goes back
// once their requests are over.
//
// The allocator: a request thread that decodes a large request allocates
// from an arena of its own, and glibc raises its threshold for mapping large
// blocks to the largest block freed, so that the next large requests are
// decoded in the arenas and stay there (malloc_trim gives back free blocks
// but not the top of an arena). BoundAllocatorCaches fixes the thresholds.
// glibc also gives every new thread an arena of its own, up to eight per
// core, and each keeps what its threads freed: BoundAllocatorCaches bounds
// their number, which counts only when it runs before the process starts
// threads (glibc fixes the bound once there are more than eight). The
// server calls it once, first thing in main.
//
// What a large request's decoded arguments took (a list of one-character
// texts takes ten times its size, in small blocks) is freed into the arena
// of the request thread that decoded it, between blocks still in use:
// only malloc_trim gives it back. GiveBackFreed does once the arenas have had
// c_freeToGiveBack more freed: the remote export calls it periodically.

#include <cstddef>

namespace remote {

class RemoteMemory {
public:
    // Blocks of at least this size are mapped on their own and unmapped when
    // freed: larger than the largest chunk of forwarded values (1 MiB), which
    // the server allocates all the time, smaller than large requests.
    static constexpr int c_mmapThreshold = 2 << 20;
    // Free memory above this at the top of an arena goes back to the system.
    // Lower values give back and fault in the chunks of a fast stream again
    // and again (a sixth more processor time for a turn-by-turn read).
    static constexpr int c_trimThreshold = 2 << 20;

    // Allocator arenas that the threads share. With one per thread (up to
    // eight per core) the server's resident memory grew by 8 MB over the
    // first minutes of a soak, scattered over 63 arenas.
    static constexpr int c_arenaMax = 4;

    // Process-wide: fixes the allocator's thresholds and its arenas above.
    // The server calls it first thing, before any thread starts.
    static void BoundAllocatorCaches();

    // Memory freed in the arenas from which it goes back.
    static constexpr std::size_t c_freeToGiveBack = 16 << 20;

    // Gives the arenas' free memory back to the system once c_freeToGiveBack
    // more was freed in them since the last give-back (counted from their
    // least free since). A give-back of memory given back before takes about
    // as many system calls as the arenas have large free blocks.
    static void GiveBackFreed();
};

} // namespace remote
