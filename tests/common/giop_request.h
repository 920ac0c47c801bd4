#pragma once
// Raw GIOP 1.2 requests for tests that send what no ORB sends (bytes after
// the arguments, messages that never come whole), and loopback sockets to
// send them from a chosen local address.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace zvtest {

// Little-endian CDR of one GIOP 1.2 message; alignment counts from the start
// of the message, header included.
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
    // The whole message: GIOP header (version 1.2, little-endian, type 0
    // Request) with the body's size, claimed to be longer by extraClaimed.
    std::string Message(uint32_t extraClaimed = 0) const
    {
        std::string m = m_bytes;
        const uint32_t size = static_cast<uint32_t>(m.size() - 12) + extraClaimed;
        const char header[8] = {'G', 'I', 'O', 'P', 1, 2, 1, 0};
        m.replace(0, 8, header, 8);
        std::memcpy(&m[8], &size, 4);
        return m;
    }

private:
    std::string m_bytes;
};

// A request to the object of the key, with the arguments written by args;
// its header claims extraClaimed bytes more than it holds.
inline std::string GiopRequest(const std::string& objectKey, const std::string& operation,
                               const std::function<void(Cdr&)>& args, uint32_t extraClaimed = 0)
{
    Cdr cdr;
    cdr.ULong(1); // request id
    cdr.Octet(3); // response expected
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
    return cdr.Message(extraClaimed);
}

// A socket connected to 127.0.0.1:port from the local address, or -1.
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

// What the peer sent until one whole GIOP message (little-endian size) was
// in, the connection closed or the time-out passed.
inline std::string ReceiveMessage(int fd, std::chrono::milliseconds timeout)
{
    std::string received;
    const auto whole = [&] {
        uint32_t body = 0;
        if (received.size() >= 12) {
            std::memcpy(&body, &received[8], 4);
        }
        return received.size() >= 12 && received.size() >= 12 + static_cast<size_t>(body);
    };
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!whole()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t n = 0;
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1 ||
            (n = ::recv(fd, buffer, sizeof(buffer), 0)) <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

// True when the message is a GIOP Reply.
inline bool IsReply(const std::string& message)
{
    return message.size() > 7 && message.compare(0, 4, "GIOP") == 0 && message[7] == 1;
}

// Closes the socket with a reset instead of an orderly end.
inline void Reset(int fd)
{
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::close(fd);
}

} // namespace zvtest
