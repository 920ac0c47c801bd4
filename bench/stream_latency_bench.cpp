// Latency of one small buffer (one 64-byte atom) from the producer to a
// waiting reader, next to a bare mutex and condition-variable hand-off. One
// buffer is in flight at a time; the counter is the mean one-way latency.

#include "stream_bench_support.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace bench_streams;
using Stream = qsig::Stream<FaTraits>;
using Client = qsig::StreamClient<FaTraits>;
using Clock = std::chrono::steady_clock;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void WaitFor(const std::atomic<uint64_t>& ack, uint64_t value)
{
    while (ack.load(std::memory_order_acquire) < value) {
        std::this_thread::yield();
    }
}

void BM_StreamHandOff(benchmark::State& state)
{
    Stream stream("sa", "bench", 1, qsig::ePassive);
    Client client(&stream, "reader", 64);
    client.Open();
    std::atomic<uint64_t> ack{0};
    std::atomic<int64_t> totalNs{0};
    std::thread reader([&] {
        FaAtom atom{};
        while (client.Read(atom) == qsig::eSuccess) {
            int64_t sent = 0;
            std::memcpy(&sent, atom.v, sizeof(sent));
            totalNs.fetch_add(NowNs() - sent, std::memory_order_relaxed);
            ack.fetch_add(1, std::memory_order_release);
        }
    });
    uint64_t sent = 0;
    for (auto _ : state) {
        qsig::Array<FaTraits> buffer(stream.GetTraits(), 1);
        const int64_t now = NowNs();
        std::memcpy(buffer[0].v, &now, sizeof(now));
        stream.Dispatch(std::move(buffer), qsig::c_noMeta);
        WaitFor(ack, ++sent);
    }
    stream.Cancel(qsig::eSuccess);
    reader.join();
    state.counters["one_way_ns"] = double(totalNs.load()) / double(sent ? sent : 1);
}
BENCHMARK(BM_StreamHandOff)->UseRealTime();

void BM_MutexCondHandOff(benchmark::State& state)
{
    std::mutex mutex;
    std::condition_variable cond;
    bool full = false, stop = false;
    int64_t value = 0;
    std::atomic<uint64_t> ack{0};
    std::atomic<int64_t> totalNs{0};
    std::thread reader([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cond.wait(lock, [&] { return full || stop; });
            if (!full) {
                return;
            }
            full = false;
            totalNs.fetch_add(NowNs() - value, std::memory_order_relaxed);
            ack.fetch_add(1, std::memory_order_release);
        }
    });
    uint64_t sent = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            value = NowNs();
            full = true;
        }
        cond.notify_one();
        WaitFor(ack, ++sent);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cond.notify_one();
    reader.join();
    state.counters["one_way_ns"] = double(totalNs.load()) / double(sent ? sent : 1);
}
BENCHMARK(BM_MutexCondHandOff)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
