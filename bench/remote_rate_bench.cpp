// Gets and sets of the whole server side by side with other builds of it.
// Each server - this build's and that of every --against BUILD_DIR - runs
// the default simulated chassis on a loopback port and root of its own.
// Round after round, for each operation (a get, or a set of the value it
// holds, of one element of PATH) and client count, the servers take turns,
// their order rotating from round to round: N client processes, each with a
// connection of its own from a loopback address of its own (as clients of
// other hosts: the previous main takes at most 16 connections from one
// address), make the operation as fast as they can for S seconds, with the
// requests an ORB sends (GIOP 1.2). Prints per server the rate (median of the rounds) and its
// ratio to the reference's (the first --against), the p99 latency over all
// rounds and its difference to the reference's, and the server's CPU time
// and context switches (of all its threads) per request; then every
// server's resident memory after the runs.
//
//   remote_rate_bench [--against BUILD_DIR]... [--clients 1,8,32] [--seconds S] [--rounds R] [--path P]
//                     [--server-cpus LIST] [--client-cpus LIST]
//       defaults: 1, 8 and 32 clients, 2 s, 3 rounds,
//       P tim.trigger_generation.trigger0.debouncer (a register, not stored);
//       LIST: the cores (as "2-4" or "2,3,4") that the servers, and the
//       clients, are kept to (default: any)
// Without --against the build runs beside a second server of its own: the
// ratios then show the noise of the measurement. Any --benchmark_* argument
// (the CI smoke run) selects 1 round of 0.2 s with 1 client.

#include "bench/server_process.h"
#include "bench/timed_clients.h"
#include "tests/common/free_port.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

struct Server {
    std::string build;
    std::string dir;
    unsigned short port = 0;
    pid_t pid = -1;
};

// The request of an operation: a get of the element, or a set of the value
// it holds (so that the runs change nothing).
std::string Request(const std::string& path, bool set, long long value)
{
    return zvtest::GiopRequest("ZemtraRemote", set ? "SetInteger" : "GetInteger", [&](zvtest::Cdr& c) {
        c.String(path);
        c.ULong(0);
        c.ULong(1);
        if (set) {
            c.ULongLong(static_cast<std::uint64_t>(value));
        }
    });
}

// The value of the path as the tool reads it from the server, or false.
bool ReadValue(const std::string& tool, const Server& server, const std::string& path, long long& value)
{
    const std::string command =
        "'" + tool + "' --server 127.0.0.1:" + std::to_string(server.port) + " get '" + path + "' 2>/dev/null";
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        return false;
    }
    const bool read = std::fscanf(p, "%lld", &value) == 1;
    return ::pclose(p) == 0 && read;
}

struct Figures {
    std::vector<double> rates;
    std::vector<double> latencies;
    double cpuSeconds = 0;
    double switches = 0;
    double requests = 0;
    long failed = 0;
};

std::vector<int> Counts(const std::string& list)
{
    std::vector<int> counts;
    for (size_t at = 0; at < list.size();) {
        const size_t comma = list.find(',', at);
        counts.push_back(std::max(1, std::atoi(list.substr(at, comma - at).c_str())));
        at = comma == std::string::npos ? list.size() : comma + 1;
    }
    return counts;
}

} // namespace

int main(int argc, char** argv)
{
    const auto real = [](const std::string& dir) {
        char* resolved = ::realpath(dir.c_str(), nullptr);
        const std::string name = resolved != nullptr ? resolved : dir;
        std::free(resolved);
        return name;
    };
    std::vector<std::string> builds{real(zvbench::BuildDir())};
    std::vector<int> clients{1, 8, 32};
    double seconds = 2;
    int rounds = 3;
    std::string path = "tim.trigger_generation.trigger0.debouncer";
    std::vector<std::string> against;
    std::string serverCpus;
    std::string clientCpus;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--against" && i + 1 < argc) {
            against.push_back(real(argv[++i]));
        } else if (a == "--clients" && i + 1 < argc) {
            clients = Counts(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(0.05, std::atof(argv[++i]));
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--path" && i + 1 < argc) {
            path = argv[++i];
        } else if (a == "--server-cpus" && i + 1 < argc) {
            serverCpus = argv[++i];
        } else if (a == "--client-cpus" && i + 1 < argc) {
            clientCpus = argv[++i];
        } else if (a.rfind("--benchmark", 0) == 0) {
            clients = {1};
            seconds = 0.2;
            rounds = 1;
        }
    }
    // The reference first, this build last.
    if (against.empty()) {
        against.push_back(builds.front());
    }
    builds.insert(builds.begin(), against.begin(), against.end());

    const std::string tool = zvbench::BuildDir() + "/tools/zemtra-tool/zemtra-tool";
    const std::string base = "/tmp/zv_rate_bench_" + std::to_string(::getpid());
    std::vector<Server> servers;
    // The servers keep the cores this process has when it starts them, the
    // clients (and the tool) those it has afterwards.
    if (!zvbench::KeepToCores(serverCpus)) {
        std::cerr << "can't keep the servers to cores " << serverCpus << "\n";
        return 1;
    }
    bool started = true;
    for (size_t k = 0; k < builds.size(); ++k) {
        Server s;
        s.build = builds[k];
        s.dir = base + "_" + std::to_string(k);
        s.port = zvtest::FreePort();
        if (std::system(("mkdir -p '" + s.dir + "/root' '" + s.dir + "/cfg'").c_str()) != 0) {
            return 1;
        }
        s.pid = zvbench::StartServer(s.dir, s.port, s.build);
        servers.push_back(s);
    }
    if (!zvbench::KeepToCores(clientCpus)) {
        std::cerr << "can't keep the clients to cores " << clientCpus << "\n";
        started = false;
    }
    for (const Server& s : servers) {
        if (!zvbench::WaitServing(tool, "127.0.0.1:" + std::to_string(s.port))) {
            std::cerr << "the server of " << s.build << " did not start (see " << s.dir << "/server.log)\n";
            started = false;
        }
    }
    long long value = 0;
    if (started && !ReadValue(tool, servers[0], path, value)) {
        std::cerr << "no integer value at " << path << "\n";
        started = false;
    }
    // (operation, clients, server) -> figures
    std::map<std::tuple<int, int, size_t>, Figures> figures;
    if (started) {
        // Start-up work (synchronisation, PLL lock) settles first.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        for (int r = 0; r < rounds; ++r) {
            for (int op = 0; op < 2; ++op) {
                for (const int n : clients) {
                    for (size_t i = 0; i < servers.size(); ++i) {
                        const size_t k = (i + static_cast<size_t>(r)) % servers.size();
                        const Server& server = servers[k];
                        const double cpu0 = zvbench::CpuSeconds(server.pid);
                        const long long switches0 = zvbench::ContextSwitches(server.pid);
                        const std::string request = Request(path, op == 1, value);
                        const zvbench::TimedRun run = zvbench::RunClients(n, seconds, base, [&](int c) {
                            const std::string from = "127.0.3." + std::to_string(1 + c % 250);
                            return zvbench::RawExchange(server.port, from, request);
                        });
                        Figures& f = figures[std::make_tuple(op, n, k)];
                        f.cpuSeconds += zvbench::CpuSeconds(server.pid) - cpu0;
                        f.switches += static_cast<double>(zvbench::ContextSwitches(server.pid) - switches0);
                        f.requests += static_cast<double>(run.latencies.size());
                        f.rates.push_back(run.rate);
                        f.failed += run.failed;
                        f.latencies.insert(f.latencies.end(), run.latencies.begin(), run.latencies.end());
                    }
                }
            }
        }
        std::printf("%d rounds of %.1f s, servers in turns; ratio and +p99 to the reference (%s)\n", rounds, seconds,
                    servers[0].build.c_str());
        std::printf("%-4s %7s  %-44s %9s %6s %8s %8s %8s %6s %7s\n", "op", "clients", "server", "rate/s", "ratio",
                    "p99 us", "+p99 us", "cpu us", "cs", "failed");
        for (int op = 0; op < 2; ++op) {
            for (const int n : clients) {
                double referenceRate = 0;
                double referenceP99 = 0;
                for (size_t k = 0; k < servers.size(); ++k) {
                    Figures& f = figures[std::make_tuple(op, n, k)];
                    const double rate = zvbench::Median(f.rates);
                    const double p99 = zvbench::Percentile(f.latencies, 99);
                    if (k == 0) {
                        referenceRate = rate;
                        referenceP99 = p99;
                    }
                    const std::string name = servers[k].build.size() > 44
                                                 ? "..." + servers[k].build.substr(servers[k].build.size() - 41)
                                                 : servers[k].build;
                    const double perRequest = f.requests > 0 ? 1 / f.requests : 0.0;
                    std::printf("%-4s %7d  %-44s %9.0f %6.2f %8.1f %+8.1f %8.1f %6.2f %7ld\n", op == 0 ? "get" : "set",
                                n, name.c_str(), rate, referenceRate > 0 ? rate / referenceRate : 0.0, p99,
                                p99 - referenceP99, 1e6 * f.cpuSeconds * perRequest, f.switches * perRequest, f.failed);
                }
            }
        }
        std::printf("resident memory after the runs\n");
        for (const Server& s : servers) {
            std::printf("  %8ld kB  %s\n", zvbench::ResidentKb(s.pid), s.build.c_str());
        }
    }
    long failed = 0;
    for (const auto& f : figures) {
        failed += f.second.failed;
    }
    for (const Server& s : servers) {
        zvbench::StopServer(s.pid);
        if (std::system(("rm -rf '" + s.dir + "'").c_str()) != 0) {
            std::cerr << "could not remove " << s.dir << "\n";
        }
    }
    return started && failed == 0 ? 0 : 1;
}
