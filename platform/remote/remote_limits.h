#pragma once
// Sizes that the remote export and its clients agree on, as the interface
// gives them (its clients know them from there).
//
// c_maxGiopMessageBytes bounds every GIOP message that either side accepts
// (both ORBs are brought up with it). c_maxChunkBytes bounds the values of one
// answer or one forwarded buffer: a one-shot read returns at most that many
// bytes, and a forwarded buffer that is larger goes to the receiver in pieces
// of at most that size, so no message comes near the GIOP bound.
//
// A one-shot read waits for its data at most as long as its caller asks and
// never longer than c_maxReadWait (the signal library's own longest wait for
// data that are due); at most c_maxOneShotReads run at a time in all, so that
// reads waiting for data never hold more than that many request threads.

#include "zemtra_remote.hh"

#include <chrono>
#include <cstddef>

namespace remote {

constexpr unsigned long c_maxGiopMessageBytes = zemtra_REMOTE::MaxMessageBytes;
constexpr std::size_t c_maxChunkBytes = zemtra_REMOTE::MaxChunkBytes;
constexpr std::chrono::milliseconds c_maxReadWait{zemtra_REMOTE::MaxReadWaitMs};
constexpr std::size_t c_maxOneShotReads = 8;

static_assert(c_maxChunkBytes * 2 <= c_maxGiopMessageBytes, "a chunk and its framing fit into one message");

// Atoms of atomBytes each in one chunk (at least 1).
constexpr std::size_t ChunkAtoms(std::size_t atomBytes)
{
    return atomBytes == 0 || atomBytes >= c_maxChunkBytes ? 1 : c_maxChunkBytes / atomBytes;
}

} // namespace remote
