// Producer isolation: a stream of FA buffers with one normal reader, and the
// same with a stalled client beside it. The producer's rate must stay within 5% of the
// single-client rate; the stalled client loses exactly what does not fit in
// its queue, and pins no more than its queue holds.

#include "stream_bench_support.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench_streams;
using Stream = qsig::Stream<FaTraits>;
using Client = qsig::StreamClient<FaTraits>;
using Ptr = qsig::MetaBufferPair<FaTraits>::MetaBufferPtr;

constexpr unsigned c_queueLength = 64;

void Run(benchmark::State& state, bool withStalled)
{
    Stream stream("fa", "bench", c_faGroup, qsig::ePassive);
    Client normal(&stream, "normal", c_queueLength);
    Client stalled(&stream, "stalled", c_queueLength);
    normal.Open();
    if (withStalled) {
        stalled.Open();
    }
    std::thread reader([&] {
        Ptr b;
        while (normal.GetQueue().Pop(b) == qsig::eSuccess) {
            benchmark::DoNotOptimize(b->data.GetData());
            b.reset();
        }
    });
    // The producer fills each buffer as its device read does, then dispatches it.
    std::vector<FaAtom> device(c_faGroup);
    uint64_t dispatched = 0;
    for (auto _ : state) {
        qsig::Array<FaTraits> buffer(stream.GetTraits(), c_faGroup);
        std::memcpy(buffer.GetData(), device.data(), c_faGroup * sizeof(FaAtom));
        stream.Dispatch(std::move(buffer), qsig::c_noMeta);
        ++dispatched;
    }
    stream.Cancel(qsig::eSuccess);
    reader.join();
    state.counters["buffers_per_s"] = benchmark::Counter(double(dispatched), benchmark::Counter::kIsRate);
    if (withStalled) {
        const auto c = stalled.GetQueue().GetCounters();
        const uint64_t expectedLost = dispatched > c_queueLength ? (dispatched - c_queueLength) * c_faGroup : 0;
        state.counters["stalled_lost_atoms"] = double(c.lost);
        state.counters["stalled_lost_exact"] = uint64_t(c.lost) == expectedLost ? 1 : 0;
        state.counters["stalled_pinned_KiB"] =
            double(stalled.GetQueue().GetQueuedCount() * c_faGroup * sizeof(FaAtom)) / 1024.0;
    }
}

void BM_SingleClient(benchmark::State& state)
{
    Run(state, false);
}
void BM_WithStalledClient(benchmark::State& state)
{
    Run(state, true);
}
// A fixed count keeps the 32-bit lost-atom counter of the queue from wrapping
// (200,000 buffers x 1024 atoms < 2^32).
BENCHMARK(BM_SingleClient)->Iterations(200000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_WithStalledClient)->Iterations(200000)->Repetitions(5)->UseRealTime();

} // namespace

// glibc returns the top of the heap to the system as soon as more than 128 KiB
// are free there. With the stalled client's buffers pinned below, every freed
// 64 KiB buffer lands at the top, so each new buffer costs fresh pages; that
// is the allocator's heuristic, not the stream's work, and it hides what is
// measured here. Pass --keep-malloc-trim to see it.
int main(int argc, char** argv)
{
    bool keepTrim = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--keep-malloc-trim") {
            keepTrim = true;
            argv[i] = argv[argc - 1];
            --argc;
            break;
        }
    }
    if (!keepTrim) {
        mallopt(M_TRIM_THRESHOLD, 64 << 20);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
