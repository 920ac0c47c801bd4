// The cost of the remote service's gate: a small request and its reply
// through the gate (a client on loopback TCP, the gate, its channel carried
// over a socket pair to a trivial echo "ORB" in this process) against the same exchange over
// a bare loopback TCP connection to an echo thread, alternating in one run.
// Reported per round trip: gate_us, bare_us, their ratio, and the memory
// allocations the process made per round trip through the gate (the gate
// reuses each connection's buffers: 0 in steady state).

#include "platform/remote/giop_gate.h"
#include "tests/common/free_port.h"
#include "tests/common/giop_client.h"
#include "tests/platform/remote/gate_channel_bridge.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<std::uint64_t> g_allocations{0};

using Clock = std::chrono::steady_clock;

// A GIOP 1.2 Reply (NO_EXCEPTION, no body) to the request in buffer.
std::size_t MakeReply(const char* request, char* reply)
{
    const auto header = remote::giop::MakeHeader(2, remote::giop::MsgType_e::eReply, 12);
    std::memcpy(reply, header.data(), header.size());
    std::memcpy(reply + 12, request + 12, 4); // the request id
    std::memset(reply + 16, 0, 8);            // status, no service contexts
    return 24;
}

// Answers each request of the socket (blocking) until it closes.
void Echo(int fd)
{
    char in[4096];
    char out[64];
    std::size_t have = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, in + have, sizeof(in) - have, 0);
        if (n <= 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
        const std::size_t size =
            have >= 12 ? 12 + remote::giop::ULong(reinterpret_cast<unsigned char*>(in) + 8, true) : 0;
        if (size == 0 || have < size) {
            continue;
        }
        const std::size_t reply = MakeReply(in, out);
        if (::send(fd, out, reply, MSG_NOSIGNAL) != static_cast<ssize_t>(reply)) {
            break;
        }
        std::memmove(in, in + size, have - size);
        have -= size;
    }
    ::close(fd);
}

bool RoundTrip(int fd, const std::string& request)
{
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return false;
    }
    char reply[64];
    std::size_t have = 0;
    while (have < 24) {
        const ssize_t n = ::recv(fd, reply + have, sizeof(reply) - have, 0);
        if (n <= 0) {
            return false;
        }
        have += static_cast<std::size_t>(n);
    }
    return true;
}

int Connect(unsigned short port)
{
    const int fd = zvtest::ConnectFrom(port);
    const int on = 1;
    if (fd >= 0) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
    return fd;
}

// The two servers and a client of each.
struct Rig {
    Rig() : gate(remote::GiopGateSettings(), bridge.Offer())
    {
        gatePort = Start([&](unsigned short p) { gate.Start("127.0.0.1", p); });
        bare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        barePort = Start([&](unsigned short p) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(p);
            if (::bind(bare, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(bare, 4) != 0) {
                throw std::runtime_error("bind");
            }
        });
        bareClient = Connect(barePort);
        const int served = ::accept(bare, nullptr, nullptr);
        const int on = 1;
        ::setsockopt(served, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        threads.emplace_back(Echo, served);
        gateClient = Connect(gatePort);
    }

    ~Rig()
    {
        ::close(gateClient);
        ::close(bareClient);
        gate.Stop();
        ::close(bare);
        for (auto& t : threads) {
            t.join();
        }
    }

    template <typename F> static unsigned short Start(F start)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const unsigned short port = zvtest::FreePort();
            try {
                start(port);
                return port;
            } catch (const std::exception&) {
            }
        }
        throw std::runtime_error("no free port");
    }

    bool Local(int fd)
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.emplace_back(Echo, fd);
        return true;
    }

    std::mutex mutex;
    std::vector<std::thread> threads;
    zvtest::GateChannelBridge bridge{[this](int fd, const zvtest::GateChannelBridge::Channel&) { return Local(fd); }};
    remote::GiopGate gate;
    int bare = -1;
    unsigned short gatePort = 0;
    unsigned short barePort = 0;
    int gateClient = -1;
    int bareClient = -1;
};

void BM_GateRoundTripAgainstBareTcp(benchmark::State& state)
{
    Rig rig;
    const std::string request = zvtest::GetNameRequest();
    for (int i = 0; i < 1000; ++i) { // warm up: buffers made, threads running
        RoundTrip(rig.gateClient, request);
        RoundTrip(rig.bareClient, request);
    }
    double gateNs = 0;
    double bareNs = 0;
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        const std::uint64_t before = g_allocations.load();
        const auto t0 = Clock::now();
        if (!RoundTrip(rig.gateClient, request)) {
            state.SkipWithError("gate round trip failed");
            break;
        }
        const auto t1 = Clock::now();
        allocations += g_allocations.load() - before;
        if (!RoundTrip(rig.bareClient, request)) {
            state.SkipWithError("bare round trip failed");
            break;
        }
        const auto t2 = Clock::now();
        gateNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        bareNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0 && bareNs > 0) {
        state.counters["gate_us"] = gateNs / n / 1000;
        state.counters["bare_us"] = bareNs / n / 1000;
        state.counters["ratio"] = gateNs / bareNs;
        state.counters["allocs_per_trip"] = static_cast<double>(allocations) / n;
    }
}
BENCHMARK(BM_GateRoundTripAgainstBareTcp)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

// Counts the allocations of the process (the gate's among them). The
// operators below replace the library's, so that malloc and free pair up.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

BENCHMARK_MAIN();
