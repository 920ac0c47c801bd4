// CPU that waiting on-demand clients cost: 64 clients opened in access mode
// 13 on a GDX-FA-sized source whose history memory gets no new atoms, over
// 10 s, measured from /proc as the on-CPU time of every thread of the process.
// The track is written by appends (lazy 0) or, as the simulated GDX board's
// FA history, by a lazy writer that has nothing to write (lazy 1). A smoke run
// (any --benchmark_min_time argument) measures 1 s instead of 10 s.
// Reference in the same run: 64 threads that look for data every millisecond,
// as a polling wait does. Both report the share of one core they used.

#include "platform/qsig/circular_buffer_controller.h"
#include "platform/qsig/random_access_zemtra.h"
#include "qsig/data_on_demand_source.h"
#include "qsig/dod_client.h"

#include <benchmark/benchmark.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace qsig;

namespace {

struct FaAtom {
    int v[64];
};
using FaTraits = SignalTraits<int, FaAtom, 1>;

constexpr int c_clients = 64;
constexpr size_t c_atoms = 4096;

// On-CPU nanoseconds of all threads of this process (/proc/self/task/*/schedstat).
uint64_t ProcessCpuNs()
{
    uint64_t total = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/schedstat");
        uint64_t ns = 0;
        if (in >> ns) {
            total += ns;
        }
    }
    closedir(dir);
    return total;
}

// Share of one core (in %) that the process uses while the caller sleeps.
double CpuPercentOver(std::chrono::seconds window)
{
    const uint64_t before = ProcessCpuNs();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(window);
    const double wallNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    return 100.0 * double(ProcessCpuNs() - before) / wallNs;
}

void BM_WaitingStreamingClients(benchmark::State& state)
{
    auto memory = std::make_shared<sim::HistoryMemory>(c_atoms * sizeof(FaAtom));
    auto track = sim::HistoryMemory::GetTrack(memory, 0, c_atoms, sizeof(FaAtom));
    track->Restart(0);
    std::vector<FaAtom> some(16);
    track->Append(some.data(), some.size(), 0, 11682);
    if (state.range(1) != 0) {
        track->SetLazyWriter([] {});
    }
    auto source = std::make_shared<DataOnDemandSource<FaTraits>>(
        "gdx-fa-source", std::make_shared<RandomAccessZemtra>(memory, ""), 0, c_atoms * sizeof(FaAtom), 0,
        ePriorityHigh, FaTraits(), "bench");
    auto controller = std::make_shared<CircularBufferController>(c_atoms, 117440043, 2);
    controller->SetTimeout(60u);
    controller->SetDecimation(11682);
    source->SetPositionController(controller);
    std::vector<std::unique_ptr<DodClient<FaTraits>>> clients;
    for (int i = 0; i < c_clients; ++i) {
        clients.push_back(std::make_unique<DodClient<FaTraits>>(source->CreateClient("fa" + std::to_string(i))));
        if (clients.back()->Open(eAccessStreaming, 100, 0) != eSuccess) {
            state.SkipWithError("open failed");
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // every thread waits by now
    double percent = 0;
    for (auto _ : state) {
        percent = CpuPercentOver(std::chrono::seconds(state.range(0)));
    }
    clients.clear();
    track->SetLazyWriter(nullptr);
    state.counters["cpu_percent_of_core"] = percent;
}

// Reference: the same number of waiters that look every millisecond.
void BM_PollingWaiters(benchmark::State& state)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < c_clients; ++i) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    double percent = 0;
    for (auto _ : state) {
        percent = CpuPercentOver(std::chrono::seconds(state.range(0)));
    }
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    state.counters["cpu_percent_of_core"] = percent;
}

} // namespace

int main(int argc, char** argv)
{
    bool smoke = false;
    for (int i = 1; i < argc; ++i) {
        smoke = smoke || std::string(argv[i]).rfind("--benchmark_min_time", 0) == 0;
    }
    const int64_t window = smoke ? 1 : 10;
    benchmark::RegisterBenchmark("BM_WaitingStreamingClients", BM_WaitingStreamingClients)
        ->ArgsProduct({{window}, {0, 1}})
        ->ArgNames({"seconds", "lazy"})
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("BM_PollingWaiters", BM_PollingWaiters)
        ->Arg(smoke ? 1 : 2)
        ->ArgName("seconds")
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
