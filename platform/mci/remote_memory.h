#pragma once
// mci::RemoteMemory: what remote clients make the server allocate goes back
// once their requests are over.
//
// The ORB frees the stream of a request (its GIOP_S object with its 8 KiB
// buffer) when the request's connection fails while the request is being
// read or answered, but not when it fails after the arguments were decoded
// and before the upcall: then the stream leaks. That happens when a request
// has bytes after its arguments (the ORB's strict check closes the
// connection) or when the rest of such a message never comes. The tail
// reader, an interceptor installed with the export's others, reads the rest
// of every request's message itself right after its arguments are decoded:
// bytes after the arguments are skipped, as a lenient ORB does, and a
// connection that fails meanwhile is marked dying, so that the ORB reads no
// more of it and frees the stream once the request's reply fails too.
//
// A request that is refused before its arguments are decoded (an unknown
// object or operation, arguments that do not decode) has the rest of its
// message skipped by the ORB in the same state, and its stream leaks when
// the connection fails meanwhile. SkipRestOfRequest reads it first, for
// refusals of the export's own; the streams dropped otherwise still carry the
// tracker the tail reader gave them, and are deleted at the next request
// after c_reapPeriod, and when the tail reader is removed.
//
// The allocator: a request thread that decodes a large request allocates
// from an arena of its own, and glibc raises its threshold for mapping large
// blocks to the largest block freed, so that the next large requests are
// decoded in the arenas and stay there (malloc_trim gives back free blocks
// but not the top of an arena). BoundAllocatorCaches fixes the thresholds.
// glibc also gives every new thread an arena of its own, up to eight per
// core, and each keeps what its threads freed: BoundAllocatorCaches bounds
// their number, which counts only when it runs before the process starts
// threads (glibc fixes the bound once there are more than eight).

#include <chrono>
#include <cstddef>

namespace omni {
class GIOP_S;
}

namespace mci {

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

    // Dropped request streams are looked for at most this often (a look
    // takes the ORB's transport lock once).
    static constexpr std::chrono::seconds c_reapPeriod{1};

    // Process-wide: fixes the allocator's thresholds and its arenas above.
    // The server calls it first thing, before any thread starts.
    static void BoundAllocatorCaches();

    // Adds the tail reader (the ORB must be initialised). Removing it
    // deletes what the ORB dropped: once no request runs any more (the ORB
    // is shut down), before the ORB is destroyed.
    static void InstallTailReader();
    static void RemoveTailReader();

    // Reads the rest of the request's message while the request is being
    // read (an interceptor that refuses it, before it throws). A failing
    // connection raises the ORB's communication failure, on which the ORB
    // frees the stream.
    static void SkipRestOfRequest(omni::GIOP_S& request);
};

} // namespace mci
