#pragma once
// A UDP socket bound to a free port of 127.0.0.1, for the datagrams of the
// simulated Ethernet streamers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace gdxtest {

class UdpListener {
public:
    UdpListener() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            m_port = ntohs(a.sin_port);
        }
    }
    ~UdpListener() { ::close(m_fd); }
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;
    unsigned Port() const { return m_port; }
    // The next datagram within the time-out; empty when none came.
    std::vector<uint8_t> Receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000))
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return {};
        }
        std::vector<uint8_t> data(9000);
        const ssize_t n = ::recv(m_fd, data.data(), data.size(), 0);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return data;
    }
    // The first datagram of that size, skipping others, within the time-out
    // (empty when none came).
    std::vector<uint8_t> ReceiveSized(size_t bytes, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000))
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            std::vector<uint8_t> d = Receive(std::chrono::milliseconds(100));
            if (d.size() == bytes) {
                return d;
            }
        }
        return {};
    }
    void Drain()
    {
        while (!Receive(std::chrono::milliseconds(50)).empty()) {
        }
    }

private:
    int m_fd;
    unsigned m_port = 0;
};

} // namespace gdxtest
