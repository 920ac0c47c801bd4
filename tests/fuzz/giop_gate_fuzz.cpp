// Fuzzes what the remote service's gate makes of the bytes that pass it
// (platform/remote): a client's bytes split into relay units (GiopInput),
// and the ORB's bytes read for the replies owed (ReplyTracker). The first
// byte of the input chooses how the rest arrives: in pieces of that size
// (plus one), as reads would bring it. Checked: units lie within the bytes
// and start with a GIOP header, the CancelRequests found in a unit lie in it
// one after another, each a whole CancelRequest, the units, cancels and the
// error found are the same however the bytes arrive, and the replies owed
// never exceed those noted.

#include "platform/remote/giop_input.h"
#include "platform/remote/reply_tracker.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::size_t> units;
    std::vector<std::size_t> replies;
    std::vector<std::size_t> cancels; // offset and size of each, from the unit's start
    remote::GiopInput::Error_e error = remote::GiopInput::Error_e::eNone;

    bool operator==(const Outcome& o) const
    {
        return units == o.units && replies == o.replies && cancels == o.cancels && error == o.error;
    }
};

// Scans the bytes as they arrive in pieces of piece bytes.
Outcome Scan(const std::uint8_t* data, std::size_t size, std::size_t piece)
{
    remote::GiopInput::Limits limits;
    limits.maxMessageSize = 1 << 16;
    limits.largeRequestSize = 1 << 10;
    remote::GiopInput input(limits);
    Outcome outcome;
    std::size_t taken = 0;
    std::size_t arrived = 0;
    while (arrived < size) {
        arrived = std::min(size, arrived + piece);
        for (;;) {
            const auto status = input.Scan(data + taken, arrived - taken);
            if (status == remote::GiopInput::Status_e::eError) {
                outcome.error = input.Error();
                return outcome;
            }
            if (status == remote::GiopInput::Status_e::eMore) {
                break;
            }
            const std::size_t unit = input.UnitSize();
            if (unit < 12 || unit > arrived - taken || std::memcmp(data + taken, "GIOP", 4) != 0) {
                __builtin_trap();
            }
            std::size_t end = 0;
            for (const auto& cancel : input.Cancels()) {
                const std::uint8_t* message = data + taken + cancel.offset;
                if (cancel.offset < end || cancel.size < 12 || cancel.size > unit - cancel.offset ||
                    std::memcmp(message, "GIOP", 4) != 0 || message[7] != 2) {
                    __builtin_trap();
                }
                end = cancel.offset + cancel.size;
                outcome.cancels.push_back(cancel.offset);
                outcome.cancels.push_back(cancel.size);
            }
            outcome.units.push_back(unit);
            outcome.replies.push_back(input.Replies().size() + input.UnknownReplies());
            taken += unit;
            input.Take();
        }
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = 1 + data[0];
    ++data;
    --size;
    if (!(Scan(data, size, size == 0 ? 1 : size) == Scan(data, size, piece))) {
        __builtin_trap();
    }
    // The same bytes as the ORB's: replies owed only ever go down.
    remote::ReplyTracker tracker;
    for (std::uint32_t id = 0; id < 4; ++id) {
        tracker.Expect(id);
    }
    tracker.ExpectUnknown(2);
    std::size_t owed = tracker.Outstanding();
    for (std::size_t at = 0; at < size; at += piece) {
        const bool giop = tracker.Feed(data + at, std::min(piece, size - at));
        if (tracker.Outstanding() > owed || (!giop && tracker.Outstanding() != 0)) {
            __builtin_trap();
        }
        owed = tracker.Outstanding();
    }
    return 0;
}
