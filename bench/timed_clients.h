#pragma once
// Client processes that make one exchange with a server (a request and its
// answer) as fast as they can for a given time, all starting together, and
// the figures of such runs: rate, latency percentiles, medians of rounds;
// and the exchange of a raw GIOP client.

#include "tests/common/giop_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace zvbench {

// One exchange of a client: a request and its answer (false: it failed).
using Exchange = std::function<bool()>;

struct TimedRun {
    double rate = 0;               // exchanges answered per second, of all clients
    long failed = 0;               // failed exchanges, and clients that reported nothing
    std::vector<double> latencies; // microseconds
};

// Runs n client processes; each makes its exchange (made by setup in the
// process, with its index) once, and once all have, as fast as it can for
// the given seconds. Their results go through files named after base.
inline TimedRun RunClients(int n, double seconds, const std::string& base, const std::function<Exchange(int)>& setup)
{
    int ready[2];
    int go[2];
    if (::pipe(ready) != 0) {
        return TimedRun();
    }
    if (::pipe(go) != 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return TimedRun();
    }
    std::fflush(stdout);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(180);
            ::close(ready[0]);
            ::close(go[1]);
            const Exchange exchange = setup(i);
            const char warm = exchange() ? 'r' : 'f';
            char c = 0;
            // All start when the go pipe closes.
            if (::write(ready[1], &warm, 1) != 1 || ::read(go[0], &c, 1) < 0) {
                std::_Exit(1);
            }
            std::vector<float> latencies;
            long failed = 0;
            const auto start = std::chrono::steady_clock::now();
            const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(seconds));
            auto now = start;
            while (now < end) {
                const bool ok = exchange();
                const auto after = std::chrono::steady_clock::now();
                latencies.push_back(std::chrono::duration<float, std::micro>(after - now).count());
                failed += ok ? 0 : 1;
                now = after;
            }
            const double elapsed = std::chrono::duration<double>(now - start).count();
            std::ofstream f(base + ".timed" + std::to_string(i), std::ios::binary);
            f.write(reinterpret_cast<const char*>(&elapsed), sizeof(elapsed));
            f.write(reinterpret_cast<const char*>(&failed), sizeof(failed));
            f.write(reinterpret_cast<const char*>(latencies.data()),
                    static_cast<std::streamsize>(latencies.size() * sizeof(float)));
            f.close();
            std::_Exit(f ? 0 : 1);
        }
        pids.push_back(pid);
    }
    ::close(ready[1]);
    ::close(go[0]);
    for (int i = 0; i < n; ++i) {
        char c = 0;
        if (::read(ready[0], &c, 1) != 1) {
            break;
        }
    }
    ::close(go[1]);
    ::close(ready[0]);
    TimedRun run;
    for (int i = 0; i < n; ++i) {
        int status = 0;
        ::waitpid(pids[static_cast<size_t>(i)], &status, 0);
        const std::string file = base + ".timed" + std::to_string(i);
        std::ifstream f(file, std::ios::binary);
        double elapsed = 0;
        long failed = 0;
        const bool reported = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                              f.read(reinterpret_cast<char*>(&elapsed), sizeof(elapsed)) &&
                              f.read(reinterpret_cast<char*>(&failed), sizeof(failed));
        long count = 0;
        for (float d = 0; reported && f.read(reinterpret_cast<char*>(&d), sizeof(d)); ++count) {
            run.latencies.push_back(d);
        }
        run.failed += reported ? failed : 1;
        run.rate += elapsed > 0 ? static_cast<double>(count - failed) / elapsed : 0;
        std::remove(file.c_str());
    }
    return run;
}

// A socket connected to the loopback port from the local address, with
// Nagle's algorithm off as the ORB has it, or -1.
inline int ConnectNoDelay(unsigned short port, const char* from = "127.0.0.1")
{
    const int fd = zvtest::ConnectFrom(port, from);
    const int one = 1;
    if (fd >= 0) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    return fd;
}

// Reads one GIOP message of fd into message; false when the connection ends.
inline bool ReadMessage(int fd, std::string& message)
{
    message.clear();
    char buffer[4096];
    while (zvtest::MessageSize(message) == 0 || message.size() < zvtest::MessageSize(message)) {
        const size_t want = zvtest::MessageSize(message) == 0 ? 12 : zvtest::MessageSize(message);
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), want - message.size()), 0);
        if (n <= 0) {
            return false;
        }
        message.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// The exchange of a raw GIOP client on a connection of its own from the
// local address: the request, and its answer (a reply without exception;
// any message when anyAnswer).
inline Exchange RawExchange(unsigned short port, const std::string& from, const std::string& request,
                            bool anyAnswer = false)
{
    const int fd = ConnectNoDelay(port, from.c_str());
    return [fd, request, anyAnswer]() {
        std::string answer;
        return fd >= 0 && zvtest::SendAll(fd, request) && ReadMessage(fd, answer) &&
               (anyAnswer || zvtest::IsAnswer(answer));
    };
}

inline double Median(std::vector<double> v)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The p-th percentile (0 to 100) of v (reordered).
inline double Percentile(std::vector<double>& v, double p)
{
    if (v.empty()) {
        return 0;
    }
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

} // namespace zvbench
