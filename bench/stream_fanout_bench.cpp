// Fan-out of FA-sized buffers (1024 atoms, 64 KiB) from a passive stream to
// 1, 4, 16 and 30 reading clients, next to a plain 64 KiB memcpy. The
// producer fills each buffer once (as a device read does) and dispatches it;
// each reader takes the shared buffer and copies it out, as a consumer of a
// run of atoms does.

#include "stream_bench_support.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace bench_streams;
using Stream = qsig::Stream<FaTraits>;
using Client = qsig::StreamClient<FaTraits>;
using Ptr = qsig::MetaBufferPair<FaTraits>::MetaBufferPtr;

void BM_Memcpy64KiB(benchmark::State& state)
{
    std::vector<char> src(64 * 1024, 1), dst(64 * 1024);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
    state.counters["buffers_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Memcpy64KiB);

void BM_FanOut(benchmark::State& state)
{
    const int readers = int(state.range(0));
    Stream stream("fa", "bench", c_faGroup, qsig::ePassive);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < readers; ++i) {
        clients.push_back(std::make_unique<Client>(&stream, "reader" + std::to_string(i), 64));
        clients.back()->Open();
    }
    std::vector<std::atomic<uint64_t>> delivered(readers);
    std::vector<std::thread> threads;
    for (int i = 0; i < readers; ++i) {
        threads.emplace_back([&, i] {
            std::vector<FaAtom> out(c_faGroup);
            Ptr b;
            while (clients[i]->GetQueue().Pop(b) == qsig::eSuccess) {
                std::memcpy(out.data(), b->data.GetData(), b->data.GetLength() * sizeof(FaAtom));
                benchmark::DoNotOptimize(out.data());
                b.reset();
                delivered[i].fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    std::vector<FaAtom> device(c_faGroup);
    for (unsigned i = 0; i < c_faGroup; ++i) {
        device[i].v[0] = int32_t(i);
    }
    for (auto _ : state) {
        qsig::Array<FaTraits> buffer(stream.GetTraits(), c_faGroup);
        std::memcpy(buffer.GetData(), device.data(), c_faGroup * sizeof(FaAtom));
        stream.Dispatch(std::move(buffer), qsig::c_noMeta);
    }
    // Let the readers drain what is queued, then stop them.
    for (auto& c : clients) {
        while (c->GetQueue().GetQueuedCount() > 0) {
            std::this_thread::yield();
        }
    }
    stream.Cancel(qsig::eSuccess);
    for (auto& t : threads) {
        t.join();
    }
    uint64_t total = 0, lost = 0;
    for (int i = 0; i < readers; ++i) {
        total += delivered[i].load();
        lost += clients[i]->GetQueue().GetCounters().lost / c_faGroup;
    }
    const double perClient = double(total) / readers;
    state.counters["buffers_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["client_buffers_per_s"] = benchmark::Counter(perClient, benchmark::Counter::kIsRate);
    state.counters["client_bytes_per_s"] =
        benchmark::Counter(perClient * c_faGroup * sizeof(FaAtom), benchmark::Counter::kIsRate,
                           benchmark::Counter::kIs1024);
    state.counters["lost_buffers_per_client"] = double(lost) / readers;
}
BENCHMARK(BM_FanOut)->Arg(1)->Arg(4)->Arg(16)->Arg(30)->UseRealTime();

// The producer's own cost per buffer with N registered queues whose readers
// are absent (queues full: every push is a check and a drop), against 1.
void BM_ProducerCostPerQueue(benchmark::State& state)
{
    const int queues = int(state.range(0));
    Stream stream("fa", "bench", c_faGroup, qsig::ePassive);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < queues; ++i) {
        clients.push_back(std::make_unique<Client>(&stream, "q" + std::to_string(i), 64));
        clients.back()->Open();
    }
    for (auto _ : state) {
        qsig::Array<FaTraits> buffer(stream.GetTraits(), c_faGroup);
        stream.Dispatch(std::move(buffer), qsig::c_noMeta);
    }
    state.counters["buffers_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProducerCostPerQueue)->Arg(1)->Arg(4)->Arg(16)->Arg(30);

} // namespace

BENCHMARK_MAIN();
