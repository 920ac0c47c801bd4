#pragma once
// GIOP framing, as the remote service's gate, its refusal replies, the
// liveness prober and the tests' raw client read and write it: the 12-byte
// message header of GIOP 1.0 to 1.2 in either byte order, the message
// types, the request id (and whether a reply is expected) of the messages
// that carry one, and the messages that are a header only.
//
// Every message starts with "GIOP", the version (major 1, minor 0 to 2),
// an octet of flags (GIOP 1.0: the byte order alone; later: bit 0 the byte
// order, bit 1 "more fragments follow"), the message type and the body's
// size in the message's byte order. The body is CDR whose alignment counts
// from the start of the message (the header keeps it at 4).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace remote {
namespace giop {

constexpr std::size_t c_headerSize = 12;

enum class MsgType_e : unsigned char {
    eRequest = 0,
    eReply = 1,
    eCancelRequest = 2,
    eLocateRequest = 3,
    eLocateReply = 4,
    eCloseConnection = 5,
    eMessageError = 6,
    eFragment = 7, // GIOP 1.1 and later
};

struct Header {
    unsigned char minor = 0; // GIOP 1.minor
    bool littleEndian = false;
    bool moreFragments = false; // GIOP 1.1 and later
    unsigned char type = 0;     // a MsgType_e, or what the peer sent
    std::uint32_t bodySize = 0;

    std::uint64_t MessageSize() const { return c_headerSize + static_cast<std::uint64_t>(bodySize); }
    bool Is(MsgType_e t) const { return type == static_cast<unsigned char>(t); }
};

enum class HeaderStatus_e {
    eIncomplete,  // fewer than 12 bytes, all of them as a header may start
    eNotGiop,     // not the magic "GIOP" and major version 1
    eUnsupported, // a minor version above 2, or GIOP 1.0 flags other than the byte order
    eOk,
};

// The header at the start of data, of which size bytes are there. A
// mismatch of the magic is found from the first byte that differs.
inline HeaderStatus_e ParseHeader(const unsigned char* data, std::size_t size, Header& header);

// Whether a message of the header's version and type may be followed by
// fragments: GIOP 1.1 fragments Requests and Replies, GIOP 1.2 also
// LocateRequests and LocateReplies; a Fragment may announce the next one.
inline bool MayFragment(const Header& header);

// A CDR unsigned long in the given byte order.
inline std::uint32_t ULong(const unsigned char* p, bool littleEndian)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(p[littleEndian ? i : 3 - i]) << (8 * i);
    }
    return value;
}

// The header of a message of GIOP 1.minor, little-endian.
inline std::array<char, c_headerSize> MakeHeader(unsigned char minor, MsgType_e type, std::uint32_t bodySize,
                                                 bool moreFragments = false);

// Reads a message's CDR: unsigned longs aligned from the start of the
// message, and counted skips; every read fails past the bytes given.
class CdrReader {
public:
    CdrReader(const unsigned char* message, std::size_t size, bool littleEndian, std::size_t position = c_headerSize)
        : m_bytes(message), m_size(size), m_littleEndian(littleEndian), m_position(position)
    {
    }

    bool ULong(std::uint32_t& value);
    bool Octet(unsigned char& value);
    bool Skip(std::uint32_t count);
    // Skips a service context list (each context takes at least 8 bytes,
    // so that a count beyond the bytes fails early).
    bool SkipServiceContexts();
    std::size_t Position() const { return m_position; }

private:
    const unsigned char* m_bytes;
    std::size_t m_size;
    bool m_littleEndian;
    std::size_t m_position;
};

// What a message says of the request it belongs to.
struct RequestRef {
    std::uint32_t requestId = 0;
    // A Request that expects a reply (GIOP 1.0/1.1: response_expected;
    // 1.2: bit 0 of its response flags), or a LocateRequest.
    bool responseExpected = false;
};

enum class RefStatus_e {
    eIncomplete, // the bytes end before the request id (or the response flag)
    eNone,       // the message type carries no request id (a GIOP 1.1 Fragment neither)
    eOk,
};

// The request id of the message at data (size bytes of it, header included,
// as parsed into header): of a Request (after the service contexts in GIOP
// 1.0 and 1.1), a Reply (likewise), a CancelRequest, a LocateRequest, a
// LocateReply and a GIOP 1.2 Fragment.
inline RefStatus_e ReadRequestRef(const Header& header, const unsigned char* data, std::size_t size, RequestRef& ref);

// A message that is its header only (CloseConnection, MessageError), GIOP 1.minor.
inline std::array<char, c_headerSize> HeaderOnly(MsgType_e type, unsigned char minor)
{
    return MakeHeader(minor, type, 0);
}

// --- definitions -------------------------------------------------------------

inline HeaderStatus_e ParseHeader(const unsigned char* data, std::size_t size, Header& header)
{
    static const unsigned char magic[] = {'G', 'I', 'O', 'P', 1};
    if (std::memcmp(data, magic, std::min(size, sizeof(magic))) != 0) {
        return HeaderStatus_e::eNotGiop;
    }
    if (size > 5 && data[5] > 2) {
        return HeaderStatus_e::eUnsupported;
    }
    if (size > 6 && data[5] == 0 && data[6] > 1) {
        return HeaderStatus_e::eUnsupported;
    }
    if (size < c_headerSize) {
        return HeaderStatus_e::eIncomplete;
    }
    header.minor = data[5];
    header.littleEndian = (data[6] & 1) != 0;
    header.moreFragments = header.minor > 0 && (data[6] & 2) != 0;
    header.type = data[7];
    header.bodySize = ULong(data + 8, header.littleEndian);
    return HeaderStatus_e::eOk;
}

inline bool MayFragment(const Header& header)
{
    switch (static_cast<MsgType_e>(header.type)) {
    case MsgType_e::eRequest:
    case MsgType_e::eReply:
    case MsgType_e::eFragment:
        return header.minor >= 1;
    case MsgType_e::eLocateRequest:
    case MsgType_e::eLocateReply:
        return header.minor >= 2;
    default:
        return false;
    }
}

inline std::array<char, c_headerSize> MakeHeader(unsigned char minor, MsgType_e type, std::uint32_t bodySize,
                                                 bool moreFragments)
{
    std::array<char, c_headerSize> header = {'G',
                                             'I',
                                             'O',
                                             'P',
                                             1,
                                             static_cast<char>(minor),
                                             static_cast<char>(moreFragments ? 3 : 1),
                                             static_cast<char>(type)};
    for (int i = 0; i < 4; ++i) {
        header[8 + static_cast<std::size_t>(i)] = static_cast<char>(bodySize >> (8 * i));
    }
    return header;
}

inline bool CdrReader::ULong(std::uint32_t& value)
{
    const std::size_t aligned = (m_position + 3) & ~std::size_t{3};
    if (aligned > m_size || m_size - aligned < 4) {
        return false;
    }
    value = giop::ULong(m_bytes + aligned, m_littleEndian);
    m_position = aligned + 4;
    return true;
}

inline bool CdrReader::Octet(unsigned char& value)
{
    if (m_position >= m_size) {
        return false;
    }
    value = m_bytes[m_position++];
    return true;
}

inline bool CdrReader::Skip(std::uint32_t count)
{
    if (m_position > m_size || m_size - m_position < count) {
        return false;
    }
    m_position += count;
    return true;
}

inline bool CdrReader::SkipServiceContexts()
{
    std::uint32_t contexts = 0;
    if (!ULong(contexts)) {
        return false;
    }
    for (std::uint32_t i = 0; i < contexts; ++i) {
        std::uint32_t id = 0;
        std::uint32_t length = 0;
        if (!ULong(id) || !ULong(length) || !Skip(length)) {
            return false;
        }
    }
    return true;
}

inline RefStatus_e ReadRequestRef(const Header& header, const unsigned char* data, std::size_t size, RequestRef& ref)
{
    CdrReader in(data, size, header.littleEndian);
    ref = RequestRef();
    const auto type = static_cast<MsgType_e>(header.type);
    switch (type) {
    case MsgType_e::eRequest:
    case MsgType_e::eReply:
        if (header.minor < 2 && !in.SkipServiceContexts()) {
            return RefStatus_e::eIncomplete;
        }
        break;
    case MsgType_e::eCancelRequest:
    case MsgType_e::eLocateRequest:
    case MsgType_e::eLocateReply:
        break;
    case MsgType_e::eFragment:
        if (header.minor < 2) {
            return RefStatus_e::eNone;
        }
        break;
    default:
        return RefStatus_e::eNone;
    }
    if (!in.ULong(ref.requestId)) {
        return RefStatus_e::eIncomplete;
    }
    if (type == MsgType_e::eRequest) {
        unsigned char flags = 0;
        if (!in.Octet(flags)) {
            return RefStatus_e::eIncomplete;
        }
        ref.responseExpected = header.minor < 2 ? flags != 0 : (flags & 1) != 0;
    } else {
        ref.responseExpected = type == MsgType_e::eLocateRequest;
    }
    return RefStatus_e::eOk;
}

} // namespace giop
} // namespace remote
