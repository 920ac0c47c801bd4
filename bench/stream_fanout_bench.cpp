// Fan-out of a passive stream to reading clients, each measured next to its
// reference in the same run.
//
// BM_FanOut: buffers of 1 atom (64 bytes), 256 atoms (16 KiB) and 1024 atoms
// (64 KiB, an FA buffer) to 1, 4, 16 and 64 readers that copy out what they
// get. The producer fills each buffer from a device image, as a device read
// does. Reported: the bytes delivered to all readers per second, and their
// ratio to a single-thread memcpy of the same blocks, timed in the same run.
//
// BM_ProducerCost: the producer's time per dispatch of a 64-byte or a 64 KiB
// buffer with N reading clients and with one, in the same run; reported per
// added reader, on the clock and on the producer thread's CPU clock.
//
// BM_ProducerCostPerQueue: the same with absent readers (full queues: every
// offer is a check and a drop), against one queue.

#include "stream_bench_support.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace bench_streams;
using Stream = qsig::Stream<FaTraits>;
using Client = qsig::StreamClient<FaTraits>;
using Ptr = qsig::MetaBufferPair<FaTraits>::MetaBufferPtr;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Bytes per second of a single-thread memcpy of blocks of the given size.
double MemcpyRate(size_t bytes)
{
    std::vector<char> src(bytes, 1), dst(bytes, 0);
    size_t copies = 0;
    const auto start = Clock::now();
    Clock::duration elapsed{};
    do {
        for (int i = 0; i < 64; ++i) {
            std::memcpy(dst.data(), src.data(), bytes);
            benchmark::DoNotOptimize(dst.data());
            benchmark::ClobberMemory();
        }
        copies += 64;
        elapsed = Clock::now() - start;
    } while (elapsed < std::chrono::milliseconds(50));
    return double(copies * bytes) / Seconds(elapsed);
}

// A passive stream with N clients whose reader threads take every buffer and
// copy it out, until their queues are cancelled.
class Readers {
public:
    Readers(Stream& stream, int count) : m_delivered(count)
    {
        for (int i = 0; i < count; ++i) {
            m_clients.push_back(std::make_unique<Client>(&stream, "reader" + std::to_string(i), 64));
            m_clients.back()->Open();
        }
        for (int i = 0; i < count; ++i) {
            m_threads.emplace_back([this, i] {
                std::vector<FaAtom> out(c_faGroup);
                Ptr b;
                uint64_t bytes = 0;
                while (m_clients[i]->GetQueue().Pop(b) == qsig::eSuccess) {
                    const size_t n = b->data.GetLength() * sizeof(FaAtom);
                    std::memcpy(out.data(), b->data.GetData(), n);
                    benchmark::DoNotOptimize(out.data());
                    b.reset();
                    bytes += n;
                }
                m_delivered[i] = bytes;
            });
        }
    }
    // Lets the readers take what is queued, then stops them; the bytes they
    // delivered in all.
    uint64_t Stop(Stream& stream)
    {
        for (auto& c : m_clients) {
            while (c->GetQueue().GetQueuedCount() > 0) {
                std::this_thread::yield();
            }
        }
        stream.Cancel(qsig::eSuccess);
        for (auto& t : m_threads) {
            t.join();
        }
        uint64_t total = 0;
        for (uint64_t d : m_delivered) {
            total += d;
        }
        return total;
    }

private:
    std::vector<std::unique_ptr<Client>> m_clients;
    std::vector<std::thread> m_threads;
    std::vector<uint64_t> m_delivered;
};

std::vector<FaAtom> DeviceImage()
{
    std::vector<FaAtom> device(c_faGroup);
    for (unsigned i = 0; i < c_faGroup; ++i) {
        device[i].v[0] = int32_t(i);
    }
    return device;
}

// range(0): atoms per buffer; range(1): readers.
void BM_FanOut(benchmark::State& state)
{
    const unsigned atoms = unsigned(state.range(0));
    const size_t bytes = atoms * sizeof(FaAtom);
    // The better of a memcpy before and after the fan-out: the reference
    // least disturbed by other load on the machine.
    double memcpyRate = MemcpyRate(bytes);
    Stream stream("fa", "bench", atoms, qsig::ePassive);
    const std::vector<FaAtom> device = DeviceImage();
    Readers readers(stream, int(state.range(1)));
    const auto start = Clock::now();
    for (auto _ : state) {
        stream.Dispatch(device[0].v, atoms * FaTraits::c_length, qsig::c_noMeta);
    }
    const uint64_t delivered = readers.Stop(stream);
    const double rate = double(delivered) / Seconds(Clock::now() - start);
    memcpyRate = std::max(memcpyRate, MemcpyRate(bytes));
    state.counters["delivered_bytes_per_s"] =
        benchmark::Counter(rate, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
    state.counters["memcpy_bytes_per_s"] =
        benchmark::Counter(memcpyRate, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
    state.counters["ratio_to_memcpy"] = rate / memcpyRate;
}
BENCHMARK(BM_FanOut)->ArgsProduct({{1, 256, 1024}, {1, 4, 16, 64}})->ArgNames({"atoms", "readers"})->UseRealTime();

double ThreadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

struct DispatchCost {
    double wallNs = 0;
    double cpuNs = 0;
};

// Mean time of one dispatch of a buffer of the given atoms with the given
// readers: on the clock, and on the producer thread's CPU clock.
DispatchCost Dispatches(unsigned atoms, int readerCount, int64_t dispatches)
{
    Stream stream("sa", "bench", atoms, qsig::ePassive);
    const std::vector<FaAtom> device = DeviceImage();
    Readers readers(stream, readerCount);
    const auto start = Clock::now();
    const double cpu = ThreadCpuNs();
    for (int64_t i = 0; i < dispatches; ++i) {
        stream.Dispatch(device[0].v, atoms * FaTraits::c_length, qsig::c_noMeta);
    }
    DispatchCost cost;
    cost.cpuNs = (ThreadCpuNs() - cpu) / double(dispatches);
    cost.wallNs = Seconds(Clock::now() - start) * 1e9 / double(dispatches);
    readers.Stop(stream);
    return cost;
}

// range(0): atoms per buffer; range(1): readers. Each iteration times a batch
// with one reader and a batch with range(1) readers.
void BM_ProducerCost(benchmark::State& state)
{
    const unsigned atoms = unsigned(state.range(0));
    const int readers = int(state.range(1));
    const int64_t batch = atoms == 1 ? 5000 : 1000;
    DispatchCost one, many;
    for (auto _ : state) {
        const DispatchCost a = Dispatches(atoms, 1, batch);
        const DispatchCost b = Dispatches(atoms, readers, batch);
        one.wallNs += a.wallNs;
        one.cpuNs += a.cpuNs;
        many.wallNs += b.wallNs;
        many.cpuNs += b.cpuNs;
    }
    const double n = double(state.iterations());
    state.counters["ns_one_reader"] = one.wallNs / n;
    state.counters["ns_n_readers"] = many.wallNs / n;
    state.counters["ns_per_added_reader"] = (many.wallNs - one.wallNs) / n / double(readers - 1);
    state.counters["cpu_ns_one_reader"] = one.cpuNs / n;
    state.counters["cpu_ns_per_added_reader"] = (many.cpuNs - one.cpuNs) / n / double(readers - 1);
}
BENCHMARK(BM_ProducerCost)
    ->ArgsProduct({{1, 1024}, {4, 16, 64}})
    ->ArgNames({"atoms", "readers"})
    ->Unit(benchmark::kMillisecond);

// The producer's own cost per buffer with N registered queues whose readers
// are absent (queues full: every offer is a check and a drop), against 1.
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
BENCHMARK(BM_ProducerCostPerQueue)->Arg(1)->Arg(4)->Arg(16)->Arg(64);

} // namespace

BENCHMARK_MAIN();
