#pragma once
// A free TCP port on loopback (bound once, then released), for the programs
// that start a server of their own: remote tests, soak and load benchmark.
//
// The port is taken below the kernel's range of ephemeral ports
// (/proc/sys/net/ipv4/ip_local_port_range, 32768 and up by default): a port
// of that range that is free now may become the local port of any client's
// outgoing connection before the server binds it, which busy tests beside
// (many client connections) make likely. Ports of c_first..c_last are never
// given out that way; the start of the search differs from process to
// process and from call to call, so that test programs running side by side
// rarely try the same port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace zvtest {

inline unsigned short FreePort()
{
    constexpr unsigned c_first = 20000;
    constexpr unsigned c_last = 32767;
    constexpr unsigned c_count = c_last - c_first + 1;
    static std::atomic<unsigned> calls{0};
    const auto now = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    const unsigned start = (static_cast<unsigned>(::getpid()) * 7919u + now + calls++ * 104729u) % c_count;
    for (unsigned i = 0; i < c_count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            break;
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const auto port = static_cast<unsigned short>(c_first + (start + i * 31u) % c_count);
        addr.sin_port = htons(port);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        ::close(fd);
        if (bound) {
            return port;
        }
    }
    throw std::runtime_error("no free port");
}

} // namespace zvtest
