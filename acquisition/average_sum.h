#pragma once
// FA sum averaging of a RAF board ("average_sum"). While "trigger_count" is
// not 0, the Sum field of every FA atom goes into an accumulator and the
// trigger events (id 2) are counted; after "trigger_count" triggers the mean
// Sum, the LMT of the last atom taken and the number of atoms are published
// and the next average begins. "progress" follows the trigger count in
// percent.
//
// Two threads do the work, one reading the "fa" stream, one reading the
// board's event stream. Their clients are opened before the threads start,
// so that the destructor can always cancel a blocked read and join.
//
// Locking: m_publish_mutex orders the publications (a completed average, a
// new progress, the reset by a new count) so that subscribers never see a
// stale value after a newer one; it is taken before m_mutex, which guards
// the accumulator and the counters only and is never held while a node is
// set.
//
// The accumulator is 64 bits wide: at the largest Sum fields and the FA
// rate it would pass its range after about five days of one average. An
// addition that would pass it leaves the sum at the limit instead of
// wrapping to the other sign, and is counted; the average it spoils is
// published with a warning.

#include "acquisition/tbt_atoms.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_feature.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class RafBoard;

class AverageSum : public qapp::ZemtraFeature {
public:
    using FaStream = qsig::Stream<SaFaTraits>;
    using FaBuffer = qsig::Array<SaFaTraits>;

    static const char* const c_fa_client_name;
    static const char* const c_event_client_name;
    static constexpr unsigned c_fa_queue = 64;
    static constexpr uint64_t c_trigger_event = 2;

    AverageSum(RafBoard& board, const std::string& name);
    ~AverageSum() override;

    // "timestamp", "sum", "used_atoms", "trigger_count", "progress".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Starts both threads on the board's "fa" and event streams.
    void OnPostConfig() override;
    // Opens the two clients and starts the event thread, then the FA thread;
    // a client that cannot be opened is traced and its thread not started.
    // Both streams must outlive the feature (its destructor cancels its
    // clients on them).
    void Start(FaStream* fa, qsig::ZemtraEventStream* events);

    bool _GetTriggerCount(unsigned& value) const;
    // A new count starts a fresh average (progress and used atoms 0); the
    // same count changes nothing.
    bool _SetTriggerCount(const unsigned& value);

    // The FA thread's step: the buffer's Sum fields into the running average
    // (dropped while averaging is off).
    void AddFaBuffer(const FaBuffer& buffer);
    // The event thread's step: one trigger.
    void OnTrigger();

    // Percent of count that counter is, truncated; computed in 64 bits.
    static unsigned Progress(unsigned counter, unsigned count);

    // The running sum: saturates at the limits of its 64 bits and counts
    // the additions that reached past them.
    struct Accumulator {
        int64_t sum = 0;
        uint64_t overflows = 0;
        void Add(int64_t value);
    };

    unsigned long long GetSum() const { return m_sum.load(); }
    unsigned long long GetTimestamp() const { return m_timestamp.load(); }
    unsigned long long GetUsedAtoms() const { return m_used_atoms.load(); }
    // Additions that the accumulator could not take whole, since the start.
    unsigned long long GetOverflows() const { return m_overflows.load(); }

private:
    void EventThread();
    void FaThread();

    RafBoard& m_board;
    mci::Node m_timestamp_node;
    mci::Node m_sum_node;
    mci::Node m_used_atoms_node;
    mci::Node m_progress_node;
    std::atomic<unsigned long long> m_timestamp{0};
    std::atomic<unsigned long long> m_sum{0};
    std::atomic<unsigned int> m_progress{0};
    std::atomic<unsigned long long> m_used_atoms{0};
    Accumulator m_accumulator;
    std::atomic<unsigned long long> m_overflows{0};
    uint64_t m_atom_count = 0;
    uint64_t m_last_lmt = 0;
    std::atomic<unsigned int> m_trigger_count{0};
    unsigned m_trigger_counter = 0;
    std::mutex m_publish_mutex;
    std::mutex m_mutex;

    FaStream* m_fa = nullptr;
    qsig::ZemtraEventStream* m_events = nullptr;
    std::unique_ptr<qsig::StreamClient<SaFaTraits>> m_fa_client;
    std::unique_ptr<qsig::ZemtraEventStream::Client> m_event_client;
    std::thread m_event_thread;
    std::thread m_fa_thread;
};
