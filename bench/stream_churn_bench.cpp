// Start/stop churn of an active stream: 1000 cycles of first-client open and
// last-client close on each of two threads at once. Every open must succeed
// and every close must leave the client's queue with the removal code (-4),
// never a cancellation meant for another client; nothing may hang.

#include "stream_bench_support.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

using namespace bench_streams;
using Client = qsig::StreamClient<FaTraits>;

constexpr int c_cycles = 1000;

void BM_StartStopChurn(benchmark::State& state)
{
    uint64_t wrong = 0;
    for (auto _ : state) {
        IdleInputStream stream("churn");
        std::atomic<int> errors{0};
        auto cycle = [&](const char* name) {
            Client client(&stream, name, 8);
            for (int i = 0; i < c_cycles; ++i) {
                if (client.Open() != qsig::eSuccess) {
                    ++errors;
                }
                client.Close();
                if (client.GetQueue().GetStatus() != qsig::eNotOpen) {
                    ++errors;
                }
            }
        };
        std::thread a(cycle, "a");
        std::thread b(cycle, "b");
        a.join();
        b.join();
        if (stream.GetState() != qsig::eIdle || stream.HasDispatcherThread()) {
            ++errors;
        }
        wrong += uint64_t(errors.load());
    }
    state.counters["cycles_per_s"] =
        benchmark::Counter(double(state.iterations()) * 2 * c_cycles, benchmark::Counter::kIsRate);
    state.counters["wrong"] = double(wrong);
}
BENCHMARK(BM_StartStopChurn)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
