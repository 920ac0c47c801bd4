#pragma once
// A raw GIOP client for the tests, benchmarks and soak of the remote export:
// GIOP 1.2 requests written byte by byte, also what no ORB sends (bytes
// after the arguments, messages that never come whole), sockets connected
// from a chosen loopback address (127.0.0.2 and up stand for other hosts),
// and what the server answers.

#include "platform/remote/giop_framing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zvtest {

// How the header of a message differs from that of a whole one.
struct Framing {
    bool fragmented = false;        // more fragments follow
    std::uint32_t extraClaimed = 0; // its size claims this many bytes more than it holds
};

inline Framing FirstFragment()
{
    return Framing{true, 0};
}

inline Framing ClaimingMore(std::uint32_t bytes)
{
    return Framing{false, bytes};
}

// Little-endian CDR of one GIOP message (1.2 unless told); alignment counts
// from the start of the message, header included.
class Cdr {
public:
    Cdr() : m_bytes(12, '\0') {}
    void Align(size_t n) { m_bytes.resize((m_bytes.size() + n - 1) / n * n, '\0'); }
    void Octet(unsigned char v) { m_bytes.push_back(static_cast<char>(v)); }
    void ULong(uint32_t v)
    {
        Align(4);
        for (int i = 0; i < 4; ++i) {
            Octet(static_cast<unsigned char>(v >> (8 * i)));
        }
    }
    void ULongLong(uint64_t v)
    {
        Align(8);
        for (int i = 0; i < 8; ++i) {
            Octet(static_cast<unsigned char>(v >> (8 * i)));
        }
    }
    void String(const std::string& s)
    {
        ULong(static_cast<uint32_t>(s.size() + 1));
        m_bytes.append(s);
        Octet(0);
    }
    void Octets(const std::string& s)
    {
        ULong(static_cast<uint32_t>(s.size()));
        m_bytes.append(s);
    }
    void Raw(const std::string& s) { m_bytes.append(s); }
    // The whole message: GIOP header (version 1.minor, little-endian) of the
    // type, framed as told, with the body's size.
    std::string Message(unsigned char type = 0, Framing framing = Framing(), unsigned char minor = 2) const
    {
        std::string m = m_bytes;
        const uint32_t size = static_cast<uint32_t>(m.size() - 12) + framing.extraClaimed;
        const auto header =
            remote::giop::MakeHeader(minor, static_cast<remote::giop::MsgType_e>(type), size, framing.fragmented);
        m.replace(0, header.size(), header.data(), header.size());
        return m;
    }

private:
    std::string m_bytes;
};

// A request to the object of the key, with the arguments written by args,
// framed as told; response flags 0 ask for no reply.
inline std::string GiopRequest(const std::string& objectKey, const std::string& operation,
                               const std::function<void(Cdr&)>& args, Framing framing = Framing(),
                               unsigned char responseFlags = 3, uint32_t requestId = 1)
{
    Cdr cdr;
    cdr.ULong(requestId);
    cdr.Octet(responseFlags);
    cdr.Octet(0); // reserved
    cdr.Octet(0);
    cdr.Octet(0);
    cdr.Octet(0); // target address: object key (short 0)
    cdr.Octet(0);
    cdr.Octets(objectKey);
    cdr.String(operation);
    cdr.ULong(0); // no service contexts
    cdr.Align(8); // the body starts on an 8-octet boundary
    args(cdr);
    return cdr.Message(0, framing);
}

// A whole request of GIOP 1.minor (0 to 2) that expects a reply.
inline std::string GiopRequestOf(unsigned char minor, uint32_t requestId, const std::string& objectKey,
                                 const std::string& operation, const std::function<void(Cdr&)>& args)
{
    if (minor >= 2) {
        return GiopRequest(objectKey, operation, args, Framing(), 3, requestId);
    }
    Cdr cdr;
    cdr.ULong(0); // no service contexts
    cdr.ULong(requestId);
    cdr.Octet(1); // response expected
    if (minor == 1) {
        cdr.Octet(0); // reserved
        cdr.Octet(0);
        cdr.Octet(0);
    }
    cdr.Octets(objectKey);
    cdr.String(operation);
    cdr.Octets(""); // requesting principal
    args(cdr);
    return cdr.Message(0, Framing(), minor);
}

// A CancelRequest of GIOP 1.minor for the request of the id.
inline std::string CancelRequest(unsigned char minor, uint32_t requestId)
{
    Cdr cdr;
    cdr.ULong(requestId);
    return cdr.Message(static_cast<unsigned char>(remote::giop::MsgType_e::eCancelRequest), Framing(), minor);
}

// A whole request: the value of the path of the object "ZemtraRemote".
inline std::string GetTextRequest(const std::string& path)
{
    return GiopRequest("ZemtraRemote", "GetText", [&](Cdr& c) {
        c.String(path);
        c.ULong(0);
        c.ULong(0);
    });
}

inline std::string GetNameRequest()
{
    return GetTextRequest("name");
}

// SetText of path with count one-character texts: a request of about
// 8 bytes per text, refused by the servant but decoded first.
inline std::string SetTextsRequest(const std::string& path, uint32_t count)
{
    return GiopRequest("ZemtraRemote", "SetText", [&](Cdr& c) {
        c.String(path);
        c.ULong(0);
        c.ULong(count);
        for (uint32_t i = 0; i < count; ++i) {
            c.String("x");
        }
    });
}

// A socket connected to the server's loopback port from the given local
// address, or -1.
inline int ConnectFrom(unsigned short port, const char* from = "127.0.0.1")
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
                    ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Size of the GIOP message at the start of bytes (of either byte order;
// bytes that are no GIOP header are read as a little-endian one), or 0
// while its header is incomplete.
inline size_t MessageSize(const std::string& bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    remote::giop::Header header;
    const auto status = remote::giop::ParseHeader(data, bytes.size(), header);
    if (bytes.size() < remote::giop::c_headerSize) {
        return 0;
    }
    return status == remote::giop::HeaderStatus_e::eOk ? static_cast<size_t>(header.MessageSize())
                                                       : 12 + remote::giop::ULong(data + 8, true);
}

// The header of the GIOP message at the start of bytes; false when there is none.
inline bool HeaderOf(const std::string& bytes, remote::giop::Header& header)
{
    return remote::giop::ParseHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), header) ==
           remote::giop::HeaderStatus_e::eOk;
}

// What the server sent until one whole message was in, the connection
// closed or the time-out passed; closed tells whether it closed.
inline std::string Receive(int fd, std::chrono::milliseconds timeout, bool& closed)
{
    std::string received;
    closed = false;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (MessageSize(received) == 0 || received.size() < MessageSize(received)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
            return received;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            closed = true;
            return received;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

inline std::string Receive(int fd, std::chrono::milliseconds timeout)
{
    bool closed = false;
    return Receive(fd, timeout, closed);
}

// True when the server closes the connection (after whatever it sends)
// within the time-out.
inline bool ClosedWithin(int fd, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < end) {
        Receive(fd, std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()),
                closed);
    }
    return closed;
}

// A GIOP Reply (type 1) of any status.
inline bool IsReply(const std::string& message)
{
    remote::giop::Header header;
    return HeaderOf(message, header) && header.Is(remote::giop::MsgType_e::eReply);
}

// A GIOP 1.2 Reply (type 1) with status NO_EXCEPTION.
inline bool IsAnswer(const std::string& reply)
{
    return reply.size() >= 20 && reply.compare(0, 4, "GIOP") == 0 && reply[7] == 1 && reply[16] == 0;
}

// A GIOP CloseConnection (type 5, no body) of any version.
inline bool IsCloseConnection(const std::string& message)
{
    remote::giop::Header header;
    return message.size() == 12 && HeaderOf(message, header) && header.Is(remote::giop::MsgType_e::eCloseConnection) &&
           header.bodySize == 0;
}

// The minor code of the system exception that a GIOP 1.2 Reply or
// LocateReply (little-endian, no service contexts) carries, and its
// repository id; false when the message carries none.
inline bool SystemException(const std::string& reply, std::string& id, uint32_t& minor)
{
    const auto ulong = [&](size_t at, uint32_t& v) {
        if (at + 4 > reply.size()) {
            return false;
        }
        std::memcpy(&v, &reply[at], 4);
        return true;
    };
    uint32_t status = 0;
    uint32_t length = 0;
    if (reply.size() < 12 || reply.compare(0, 4, "GIOP") != 0 || (reply[7] != 1 && reply[7] != 4) ||
        !ulong(16, status) || status != (reply[7] == 1 ? 2u : 4u)) {
        return false;
    }
    const size_t body = reply[7] == 1 ? 24 : 20; // after the service contexts of a Reply
    if (!ulong(body, length) || body + 4 + length > reply.size() || length == 0) {
        return false;
    }
    id = reply.substr(body + 4, length - 1);
    return ulong((body + 4 + length + 3) / 4 * 4, minor);
}

// Closes the socket with a reset instead of an orderly end.
inline void Reset(int fd)
{
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::close(fd);
}

// Sockets closed at the end of a scope.
struct Sockets {
    std::vector<int> fds;
    ~Sockets()
    {
        for (int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

} // namespace zvtest
