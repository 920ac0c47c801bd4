#pragma once
// One timing event of a board, as its event device delivers it: 32 bytes,
// four little-endian 64-bit words.
//
//   word 0 (bytes 0-7)   event id; a request record written to the device
//                        carries its request code in bytes 4-7 instead
//   word 1 (bytes 8-15)  count of the event
//   word 2 (bytes 16-23) LMT (timestamp) of the event; the start LMT of a
//                        request record
//   word 3 (bytes 24-31) code (parameter) of the event

#include "platform/qsig/signal_traits.h"

#include <cstdint>

namespace qsig {

struct EventStruct {
    uint64_t id = 0;
    uint64_t count = 0;
    uint64_t lmt = 0;
    uint64_t code = 0;

    // A request record: the request code in bytes 4-7, the LMT in bytes 16-23.
    static EventStruct Request(uint32_t request, uint64_t lmt = 0)
    {
        EventStruct e;
        e.id = static_cast<uint64_t>(request) << 32;
        e.lmt = lmt;
        return e;
    }
};
static_assert(sizeof(EventStruct) == 32, "an event record is 32 bytes");

// Largest event id of the signal library; event consumers size their queues
// 2 x (c_maxEventId + 1).
constexpr uint64_t c_maxEventId = 63;

using EventTraits = SignalTraits<unsigned long long, EventStruct, 1>;

} // namespace qsig
