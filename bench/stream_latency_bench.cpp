// Latency of one small buffer (one 64-byte atom) from the producer to a
// waiting reader through a passive stream, next to a bare mutex and
// condition-variable hand-off in the same run. One buffer is in flight at a
// time, sent c_gap after the previous one arrived, so that the reader has
// gone to sleep in both (as between the buffers of a signal); batches of
// both alternate, and the counters are the mean one-way latencies and their
// ratio. BM_HandOffWork is the work of one hand-off on one thread without
// any wait (dispatch and pop, against a locked store, a notification and a
// locked load): what the stream adds to the wake-up itself.

#include "stream_bench_support.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
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

constexpr std::chrono::microseconds c_gap{50};

// Waits for the reader's acknowledgement, then lets the reader go to sleep.
void WaitFor(const std::atomic<uint64_t>& ack, uint64_t value)
{
    while (ack.load(std::memory_order_acquire) < value) {
        std::this_thread::yield();
    }
    const auto until = Clock::now() + c_gap;
    while (Clock::now() < until) {
        std::this_thread::yield();
    }
}

// One reader that takes atoms from a stream client and acknowledges each.
class StreamHandOff {
public:
    StreamHandOff() : m_client(&m_stream, "reader", 64)
    {
        m_client.Open();
        m_reader = std::thread([this] {
            FaAtom atom{};
            while (m_client.Read(atom) == qsig::eSuccess) {
                int64_t sent = 0;
                std::memcpy(&sent, atom.v, sizeof(sent));
                m_totalNs.fetch_add(NowNs() - sent, std::memory_order_relaxed);
                m_ack.fetch_add(1, std::memory_order_release);
            }
        });
    }
    ~StreamHandOff()
    {
        m_stream.Cancel(qsig::eSuccess);
        m_reader.join();
    }
    void Send()
    {
        FaAtom atom{};
        const int64_t now = NowNs();
        std::memcpy(atom.v, &now, sizeof(now));
        m_stream.Dispatch(atom.v, FaTraits::c_length, qsig::c_noMeta);
        WaitFor(m_ack, ++m_sent);
    }
    int64_t TotalNs() const { return m_totalNs.load(); }

private:
    Stream m_stream{"sa", "bench", 1, qsig::ePassive};
    Client m_client;
    std::atomic<uint64_t> m_ack{0};
    std::atomic<int64_t> m_totalNs{0};
    uint64_t m_sent = 0;
    std::thread m_reader;
};

// The same over a bare mutex and condition variable.
class BareHandOff {
public:
    BareHandOff()
    {
        m_reader = std::thread([this] {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (;;) {
                m_cond.wait(lock, [&] { return m_full || m_stop; });
                if (!m_full) {
                    return;
                }
                m_full = false;
                m_totalNs.fetch_add(NowNs() - m_value, std::memory_order_relaxed);
                m_ack.fetch_add(1, std::memory_order_release);
            }
        });
    }
    ~BareHandOff()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_one();
        m_reader.join();
    }
    void Send()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_value = NowNs();
            m_full = true;
        }
        m_cond.notify_one();
        WaitFor(m_ack, ++m_sent);
    }
    int64_t TotalNs() const { return m_totalNs.load(); }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_full = false;
    bool m_stop = false;
    int64_t m_value = 0;
    std::atomic<uint64_t> m_ack{0};
    std::atomic<int64_t> m_totalNs{0};
    uint64_t m_sent = 0;
    std::thread m_reader;
};

void BM_OneAtomLatency(benchmark::State& state)
{
    StreamHandOff stream;
    BareHandOff bare;
    constexpr int c_batch = 100;
    int64_t sent = 0;
    for (auto _ : state) {
        for (int i = 0; i < c_batch; ++i) {
            stream.Send();
        }
        for (int i = 0; i < c_batch; ++i) {
            bare.Send();
        }
        sent += c_batch;
    }
    const double streamNs = double(stream.TotalNs()) / double(sent ? sent : 1);
    const double bareNs = double(bare.TotalNs()) / double(sent ? sent : 1);
    state.counters["stream_one_way_ns"] = streamNs;
    state.counters["bare_one_way_ns"] = bareNs;
    state.counters["ratio"] = streamNs / bareNs;
}
BENCHMARK(BM_OneAtomLatency)->UseRealTime();

void BM_HandOffWork(benchmark::State& state)
{
    Stream stream("sa", "bench", 1, qsig::ePassive);
    Client client(&stream, "reader", 64);
    client.Open();
    std::mutex mutex;
    std::condition_variable cond;
    bool full = false;
    int64_t value = 0;
    FaAtom atom{};
    constexpr int c_batch = 1000;
    double streamNs = 0, bareNs = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < c_batch; ++i) {
            atom.v[0] = i;
            stream.Dispatch(atom.v, FaTraits::c_length, qsig::c_noMeta);
            client.Read(atom);
        }
        streamNs += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        start = Clock::now();
        for (int i = 0; i < c_batch; ++i) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                value = i;
                full = true;
            }
            cond.notify_one();
            std::unique_lock<std::mutex> lock(mutex);
            cond.wait(lock, [&] { return full; });
            full = false;
            benchmark::DoNotOptimize(value);
        }
        bareNs += std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    }
    const double n = double(state.iterations()) * c_batch;
    state.counters["stream_ns"] = streamNs / n;
    state.counters["bare_ns"] = bareNs / n;
    state.counters["ratio"] = streamNs / bareNs;
}
BENCHMARK(BM_HandOffWork);

} // namespace

BENCHMARK_MAIN();
