#pragma once
// Sizes that the remote export and its clients agree on.
//
// c_maxGiopMessageBytes bounds every GIOP message that either side accepts
// (both ORBs are brought up with it). c_maxChunkBytes bounds the values of one
// answer or one forwarded buffer: a one-shot read returns at most that many
// bytes, and a forwarded buffer that is larger goes to the receiver in pieces
// of at most that size, so no message comes near the GIOP bound.

#include <cstddef>

namespace mci {

constexpr unsigned long c_maxGiopMessageBytes = 8ul << 20;
constexpr std::size_t c_maxChunkBytes = 1u << 20;

static_assert(c_maxChunkBytes * 2 <= c_maxGiopMessageBytes, "a chunk and its framing fit into one message");

// Atoms of atomBytes each in one chunk (at least 1).
constexpr std::size_t ChunkAtoms(std::size_t atomBytes)
{
    return atomBytes == 0 || atomBytes >= c_maxChunkBytes ? 1 : c_maxChunkBytes / atomBytes;
}

} // namespace mci
