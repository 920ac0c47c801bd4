// Gets and sets of remote clients against the built server and a reference
// server (another build's "zemtra-vuna", for example one whose ORB listens
// on TCP itself), side by side: both run at once on the default chassis,
// each on a loopback port of its own, and the rounds alternate between them
// (the order changes from round to round). In a round, N client processes
// each make get/set pairs (a read-only double, then a persistent count) for
// a fixed time from a common start. Prints the pairs per second of each
// server for 1, 8 and 32 clients, the best of the rounds, and the ratio
// built / reference.
//
//   remote_hop_bench [--reference PATH] [--seconds S] [--rounds R]
//       PATH: the reference server (default: the built one, ratio about 1);
//       S: seconds of a round (default 5); R: rounds (default 3)
// Any --benchmark_* argument (the CI smoke run) selects one short round.

#include "bench/server_process.h"
#include "tests/common/free_port.h"

#include "zemtra_remote.hh"

#include <omniORB4/omniORB.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One client: pairs from start (steady clock, in ns) for seconds; prints
// the pairs made and the calls that failed.
int RunClient(const std::string& address, long long start, double seconds)
{
    const char* options[][2] = {{"traceLevel", "0"}, {nullptr, nullptr}};
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
    CORBA::Object_var obj = orb->string_to_object(("corbaloc::" + address + "/ZemtraRemote").c_str());
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_narrow(obj);
    zemtra_REMOTE::LongLongSeq value;
    value.length(1);
    const Clock::time_point begin{std::chrono::nanoseconds(start)};
    std::this_thread::sleep_until(begin);
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long pairs = 0;
    long failed = 0;
    while (Clock::now() < end) {
        try {
            q_NET::DoubleSeq_var frequency = registry->GetDouble("raf3.clock_info.adc_frequency", 0, 1);
            value[0] = 1 + pairs % 4;
            registry->SetInteger("raf4.average_sum.trigger_count", 0, value);
            ++pairs;
        } catch (const CORBA::Exception&) { // refusals (RemoteError) too
            ++failed;
        }
    }
    std::printf("%ld %ld\n", pairs, failed);
    orb->destroy();
    return 0;
}

struct Server {
    std::string binary;
    std::string dir;
    unsigned short port = 0;
    pid_t pid = -1;
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
};

// Pairs per second that clients clients make against the server in a round.
double Round(const std::string& self, const Server& server, int clients, double seconds, long& failed)
{
    const auto start = Clock::now() + std::chrono::milliseconds(500 + 20 * clients);
    const std::string startText =
        std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count());
    std::vector<pid_t> pids;
    for (int i = 0; i < clients; ++i) {
        pids.push_back(zvbench::Spawn(
            {self, "--client", server.Address(), "--start", startText, "--seconds", std::to_string(seconds)},
            server.dir + "/client" + std::to_string(i)));
    }
    long pairs = 0;
    for (int i = 0; i < clients; ++i) {
        ::waitpid(pids[static_cast<size_t>(i)], nullptr, 0);
        std::ifstream in(server.dir + "/client" + std::to_string(i));
        long p = 0;
        long f = 0;
        in >> p >> f;
        pairs += p;
        failed += f;
    }
    return static_cast<double>(pairs) / seconds;
}

} // namespace

int main(int argc, char** argv)
{
    std::string reference;
    std::string client;
    long long start = 0;
    double seconds = 5;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reference" && i + 1 < argc) {
            reference = argv[++i];
        } else if (a == "--client" && i + 1 < argc) {
            client = argv[++i];
        } else if (a == "--start" && i + 1 < argc) {
            start = std::atoll(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(0.1, std::atof(argv[++i]));
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a.rfind("--benchmark", 0) == 0) {
            seconds = 0.5;
            rounds = 1;
        }
    }
    if (!client.empty()) {
        return RunClient(client, start, seconds);
    }
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) {
        return 1;
    }
    const std::string built = zvbench::BuildDir() + "/app/zemtra-vuna";
    std::vector<Server> servers(2);
    servers[0].binary = built;
    servers[1].binary = reference.empty() ? built : reference;
    const std::string tool = zvbench::BuildDir() + "/tools/zemtra-tool/zemtra-tool";
    int rc = 0;
    for (size_t s = 0; s < servers.size(); ++s) {
        Server& server = servers[s];
        server.dir = "/tmp/zv_hop_bench_" + std::to_string(::getpid()) + "_" + std::to_string(s);
        server.port = zvtest::FreePort();
        if (std::system(("mkdir -p '" + server.dir + "/root' '" + server.dir + "/cfg'").c_str()) != 0) {
            return 1;
        }
        server.pid = zvbench::StartServer(server.dir, server.port, server.binary);
        if (!zvbench::WaitServing(tool, server.Address())) {
            std::cerr << "the server did not start (" << server.binary << ")\n";
            rc = 1;
        }
    }
    if (rc == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(2)); // start-up work settles
        std::printf("get/set pairs per second, best of %d rounds of %.1f s, alternating\n", rounds, seconds);
        std::printf("  built:     %s\n  reference: %s\n", built.c_str(), servers[1].binary.c_str());
        std::printf("  clients      built  reference   ratio\n");
        for (const int clients : {1, 8, 32}) {
            std::vector<double> best(servers.size(), 0.0);
            long failed = 0;
            for (int round = 0; round < rounds; ++round) {
                for (size_t k = 0; k < servers.size(); ++k) {
                    const size_t s = (k + static_cast<size_t>(round)) % servers.size();
                    best[s] = std::max(best[s], Round(self, servers[s], clients, seconds, failed));
                }
            }
            std::printf("  %7d %10.0f %10.0f %7.3f%s\n", clients, best[0], best[1],
                        best[1] > 0 ? best[0] / best[1] : 0.0,
                        failed > 0 ? ("  (" + std::to_string(failed) + " calls failed)").c_str() : "");
            rc = failed > 0 ? 1 : rc;
        }
    }
    for (Server& server : servers) {
        if (server.pid > 0) {
            zvbench::StopServer(server.pid);
        }
        if (std::system(("rm -rf '" + server.dir + "'").c_str()) != 0) {
            std::cerr << "could not remove " << server.dir << "\n";
        }
    }
    return rc;
}
