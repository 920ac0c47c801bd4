#pragma once
// remote::GiopInput: what the gate makes of the bytes one client sends. It
// splits them into relay units, each passed to the ORB at once once it has
// arrived whole: one whole message, or a fragmented message with all its
// fragments (GIOP 1.2 lets other messages come between the fragments; they
// belong to the unit, whose order is kept). Of every unit it tells its size,
// whether it is large, the requests in it that expect a reply and where its
// CancelRequests are (which the gate takes out); bytes that break the
// framing are an error, which the gate answers with a GIOP MessageError
// before it closes the connection.
//
// It never copies nor holds the bytes: Scan looks at the bytes of the
// connection's buffer that are not taken yet (those of the last scan and
// more at the end), from where the last scan stopped.

#include "platform/remote/giop_framing.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace remote {

class GiopInput {
public:
    struct Limits {
        // Bytes the bodies of one unit may take in all (the ORB's bound of a message).
        std::uint64_t maxMessageSize = 8ul << 20;
        // A unit of this many bytes or more, or one in fragments, is large.
        std::uint64_t largeRequestSize = 64ul << 10;
    };

    enum class Status_e {
        eMore,  // the unit has not arrived whole
        eUnit,  // the first UnitSize() bytes are a whole unit
        eError, // see Error()
    };

    enum class Error_e {
        eNone,
        eNotGiop,     // no GIOP magic
        eUnsupported, // a GIOP version other than 1.0 to 1.2
        eTooLarge,    // past maxMessageSize
        eBadType,     // an unknown message type
        eBadFragment, // a fragment that continues nothing, or a fragment flag where none may be
        eBadHeader,   // a request header that ends before its request id
    };

    explicit GiopInput(const Limits& limits) : m_limits(limits) {}

    // Looks at data[0, size): the bytes not taken, which start with the
    // unit being scanned. After eUnit, nothing more is scanned until Take.
    Status_e Scan(const unsigned char* data, std::size_t size);

    // Of the unit found (eUnit), or of the unit so far.
    std::size_t UnitSize() const { return m_scanned; }
    bool Large() const { return m_large; }
    // GIOP minor version of the unit's first message (of the message in
    // error for eError), 0 before any header was read.
    unsigned char Minor() const { return m_minor; }
    // Request ids in the unit whose requests expect a reply, and requests
    // expecting one whose id could not be read (a GIOP 1.1 request whose
    // service contexts go on in its next fragment).
    const std::vector<std::uint32_t>& Replies() const { return m_replies; }
    unsigned UnknownReplies() const { return m_unknownReplies; }
    // The CancelRequests in the unit, in order: each one's offset from the
    // unit's start and its size.
    struct Span {
        std::size_t offset;
        std::size_t size;
    };
    const std::vector<Span>& Cancels() const { return m_cancels; }
    // Bytes still missing to complete the message being scanned (0 while
    // its header is incomplete): how much a read may ask for.
    std::size_t Missing() const { return m_missing; }
    Error_e Error() const { return m_error; }

    // The unit found is taken off the start of the bytes: the next scan
    // starts on the unit after it.
    void Take();
    // Forgets everything (a new connection).
    void Reset();

private:
    Status_e Fail(Error_e error);
    // Caller: the message at data + m_scanned is whole (header as parsed).
    Status_e Message(const giop::Header& header, const unsigned char* message);

    Limits m_limits;
    std::size_t m_scanned = 0; // bytes of the unit scanned: whole messages
    std::uint64_t m_bodies = 0;
    bool m_large = false;
    unsigned char m_minor = 0;
    bool m_done = false;                 // a whole unit found, not taken yet
    bool m_open11 = false;               // a GIOP 1.0/1.1 message waits for fragments
    std::vector<std::uint32_t> m_open12; // GIOP 1.2 request ids that wait for fragments
    std::vector<std::uint32_t> m_replies;
    unsigned m_unknownReplies = 0;
    std::vector<Span> m_cancels;
    std::size_t m_missing = 0;
    Error_e m_error = Error_e::eNone;
};

} // namespace remote
