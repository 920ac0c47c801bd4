#pragma once
// qsig::StreamQueue: the bounded, blocking queue of shared buffers between
// one producer and one reader. The producer never waits: a full queue drops
// the new buffer and counts its atoms as lost. An optional filter runs on
// the producer's thread before a buffer is queued. The reader's interest is
// ended by cancelling the queue with a code that its next Pop returns.
//
// A stream offers each buffer to its queues under its own lock and wakes
// the readers that sleep only after releasing it (see "qsig/reader_wake.h");
// Push offers and wakes at once. A reader that wakes takes every buffer
// queued meanwhile without being woken again.
//
// The queue numbers the atoms offered to it (after the filter), kept or
// dropped, from 0 since it was last reset, in 64 bits: each buffer it keeps
// carries the number of its first atom, which Pop hands out with it. A
// number past the atoms before tells the reader how many were dropped there,
// exactly where. Atoms that the producer's input lost before a buffer count
// as offered and dropped there too (see Offer).

#include "platform/qsig/signal_types.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "qsig/buffer_queue.h"
#include "qsig/meta_buffer_pair.h"
#include "qsig/reader_wake.h"
#include "qsig/stream_filter.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qsig {

template <typename T> class StreamQueue {
public:
    using MetaBufferPtr = typename MetaBufferPair<T>::MetaBufferPtr;
    using Filter = StreamFilter<T>;

    struct Counters {
        uint32_t pushed = 0;        // atoms offered to the container after filtering
        uint32_t lost = 0;          // atoms of buffers dropped as full, and lost by the input
        uint32_t intoFilter = 0;    // atoms of non-empty buffers handed to the filter
        uint32_t filterRemoved = 0; // atoms the filter removed
    };

    StreamQueue(const T& traits, const std::string& name, unsigned length)
        : m_traits(traits), m_name(name), m_buffers(length)
    {
        QSTD_TRACE(3, m_name << ": New stream queue. Length: " << length);
    }
    StreamQueue(const StreamQueue&) = delete;
    ~StreamQueue() = default;

    // Queues the buffer and wakes the reader; false when the filter or a
    // full queue dropped it.
    bool Push(const MetaBufferPtr& buffer)
    {
        bool queued = false;
        if (Offer(buffer, queued)) {
            // Woken after the unlock, so the reader does not block on the
            // mutex at once.
            m_signal->cond.notify_one();
        }
        return queued;
    }

    // Queues the buffer as Push does (queued tells whether it was kept), but
    // leaves the reader asleep: true when the reader sleeps and must be
    // woken, through GetSignal, once the caller has released its locks.
    // lostBefore: atoms that the producer's input lost right before this
    // buffer (a device that dropped them); they count as offered and lost
    // here, once the queue has been offered atoms (before that they precede
    // its reader's first atom). A queue with a filter leaves them out: which
    // of them its filter would have kept is not known, and counting them all
    // could tell its reader a loss of atoms that it would never have had.
    bool Offer(const MetaBufferPtr& buffer, bool& queued, uint64_t lostBefore = 0)
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        if (lostBefore > 0 && m_offered > 0 && !m_filter) {
            m_offered += lostBefore;
            m_counters.pushed += static_cast<uint32_t>(lostBefore);
            m_counters.lost += static_cast<uint32_t>(lostBefore);
        }
        unsigned n = buffer ? buffer->data.GetLength() : 0;
        queued = true;
        if (n == 0) {
            QSTD_TRACE(3, "Pushing empty buffer.");
            return false;
        }
        queued = false;
        const MetaBufferPtr* b = &buffer;
        MetaBufferPtr filtered;
        if (m_filter) {
            m_counters.intoFilter += n;
            filtered = m_filter->Filter(buffer);
            b = &filtered;
            const unsigned m = filtered ? filtered->data.GetLength() : 0;
            m_counters.filterRemoved += m < n ? n - m : 0;
            if (m == 0) {
                // Dropped, or emptied: either way the filter removed every atom.
                return false;
            }
            n = m;
        }
        m_counters.pushed += n;
        const uint64_t first = m_offered;
        m_offered += n;
        if (m_buffers.IsFull()) {
            QSTD_TRACE(3, "Stream queue " << m_name << " is full.");
            m_counters.lost += n;
            return false;
        }
        m_buffers.Push(*b, first);
        queued = true;
        return m_signal->waiting && !m_signal->woken;
    }

    // What the reader sleeps on, for wakes after an Offer.
    const std::shared_ptr<ReaderSignal>& GetSignal() const { return m_signal; }

    // The oldest buffer (0), or the status code; buffer is empty unless 0.
    // A time-out is measured on the steady clock from the call's start.
    SuccessCode_e Pop(MetaBufferPtr& buffer)
    {
        uint64_t firstAtom = 0;
        return Pop(buffer, firstAtom);
    }

    // As Pop; firstAtom is the number of the buffer's first atom among the
    // atoms offered to this queue (0 unless a buffer is returned).
    SuccessCode_e Pop(MetaBufferPtr& buffer, uint64_t& firstAtom)
    {
        std::unique_lock<std::mutex> lock(m_signal->mutex);
        buffer.reset();
        firstAtom = 0;
        if (m_status != eSuccess && m_closed) {
            throw qstd::Exception("Stream queue " + m_name + " is closed.", true);
        }
        return PopLocked(lock, buffer, firstAtom);
    }

    // As Pop, for readers that must not be thrown at: a queue whose reader's
    // use has ended answers its final code again. ended tells whether the
    // answer is final (the queue is closed) or not (0, or a one-time -2, -3).
    SuccessCode_e PopUnlessEnded(MetaBufferPtr& buffer, bool& ended)
    {
        uint64_t firstAtom = 0;
        return PopUnlessEnded(buffer, ended, firstAtom);
    }

    // The same with the number of the buffer's first atom, as Pop gives it.
    SuccessCode_e PopUnlessEnded(MetaBufferPtr& buffer, bool& ended, uint64_t& firstAtom)
    {
        std::unique_lock<std::mutex> lock(m_signal->mutex);
        buffer.reset();
        firstAtom = 0;
        const SuccessCode_e rc = m_closed ? m_status : PopLocked(lock, buffer, firstAtom);
        ended = m_closed;
        return rc;
    }

    // Sets the status (0 becomes -5) and wakes the reader. Time-out (-3) and
    // incomplete data (-2) are reported once by the next Pop; any other code
    // ends the reader's use of the queue. A one-time code never replaces a
    // final cancellation.
    void Cancel(SuccessCode_e code)
    {
        QSTD_TRACE_FNC();
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        SetCancelled(code, false);
    }

    // Cancellation by the stream that held this queue: final, whatever the
    // code, since nobody feeds the queue any more.
    void Terminate(SuccessCode_e code)
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        SetCancelled(code, true);
    }

    SuccessCode_e GetStatus() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_status;
    }

    bool IsClosed() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_closed;
    }

    // Ready for data again: status 0, not closed, counters 0, no buffers,
    // the atoms numbered from 0 again. A queue cancelled with -5 can never
    // carry data again.
    void Reset()
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        if (m_status == eCancelled) {
            throw qstd::Exception("qsig: Can't connect to terminated stream.", true);
        }
        m_status = eSuccess;
        m_final = false;
        m_closed = false;
        m_counters = Counters{};
        m_offered = 0;
        m_buffers.Clear();
    }

    // Takes the other queue's name (with "_copy"), capacity, time-out and
    // filter; starts empty with status 0. Locks only the other queue.
    StreamQueue& operator=(const StreamQueue& other)
    {
        if (this == &other) {
            return *this;
        }
        m_signal->waiting = false;
        m_status = eSuccess;
        m_final = false;
        m_closed = false;
        m_counters.lost = 0;
        std::lock_guard<std::mutex> lock(other.m_signal->mutex);
        m_name = other.m_name + "_copy";
        m_buffers = BufferQueue<T>(other.m_buffers.Capacity());
        m_timeout = other.m_timeout;
        m_filter = other.m_filter;
        QSTD_TRACE(3, m_name << ": Assigned stream queue. Length: " << m_buffers.Capacity());
        return *this;
    }

    std::size_t GetQueuedCount() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_buffers.Size();
    }
    unsigned GetCapacity() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_buffers.Capacity();
    }
    std::string GetName() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_name;
    }
    Counters GetCounters() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_counters;
    }
    const T& GetTraits() const { return m_traits; }

    // Owner's settings, made before the queue is registered with a stream.
    void SetFilter(const std::shared_ptr<Filter>& filter)
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        m_filter = filter;
    }
    bool HasFilter() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return static_cast<bool>(m_filter);
    }
    // Milliseconds one Pop waits for a buffer; 0 waits without limit.
    void SetTimeout(uint64_t milliseconds)
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        m_timeout = milliseconds;
    }
    uint64_t GetTimeout() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        return m_timeout;
    }

    // Rows of the queue: the filter row (when a filter is set), then
    // {name, atoms pushed, atoms lost, atom size}.
    SignalStats GetStatistics() const
    {
        std::lock_guard<std::mutex> lock(m_signal->mutex);
        SignalStats rows;
        if (m_filter) {
            rows.push_back({m_name + "_filt", m_counters.intoFilter, m_counters.filterRemoved, T::c_atomSize});
        }
        rows.push_back({m_name, m_counters.pushed, m_counters.lost, T::c_atomSize});
        return rows;
    }

private:
    // Caller holds the queue's mutex through lock; the queue is not closed.
    SuccessCode_e PopLocked(std::unique_lock<std::mutex>& lock, MetaBufferPtr& buffer, uint64_t& firstAtom)
    {
        const bool cancelledOnEntry = m_status != eSuccess;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeout);
        ReaderSignal& signal = *m_signal;
        while (m_buffers.IsEmpty() && m_status == eSuccess) {
            signal.waiting = true;
            if (m_timeout == 0) {
                signal.cond.wait(lock);
                ReaderWakes::PassOn(signal, lock);
                continue;
            }
            const std::cv_status woke = signal.cond.wait_until(lock, deadline);
            ReaderWakes::PassOn(signal, lock);
            if (woke == std::cv_status::timeout && std::chrono::steady_clock::now() >= deadline) {
                if (m_status == eSuccess && m_buffers.IsEmpty()) {
                    m_status = eTimeout;
                    QSTD_TRACE(4, "Queue " << m_name << " timeout reached");
                }
                break;
            }
        }
        signal.waiting = false;
        switch (m_status) {
        case eSuccess:
            m_buffers.Pop(buffer, firstAtom);
            return eSuccess;
        case eTimeout:
        case eIncompleteData:
            if (!m_final) {
                // Reported once; the queue carries data again afterwards.
                const SuccessCode_e code = m_status;
                if (code == eTimeout) {
                    QSTD_TRACE(3, m_name << ": Timeout reached, returning " << code);
                } else {
                    QSTD_TRACE(3, m_name << ": Incomplete data returned");
                }
                m_status = eSuccess;
                return code;
            }
            break;
        default:
            break;
        }
        if (cancelledOnEntry) {
            QSTD_TRACE(1, m_name << " canceled, returning " << m_status);
        } else {
            QSTD_TRACE(3, m_name << " canceled, returning " << m_status);
        }
        m_closed = true;
        return m_status;
    }

    void SetCancelled(SuccessCode_e code, bool final)
    {
        if (code == eSuccess) {
            code = eCancelled;
        }
        const bool oneTime = code == eTimeout || code == eIncompleteData;
        if (!(m_final && oneTime && !final)) {
            m_status = code;
            m_final = m_final || final;
        }
        m_signal->cond.notify_one();
    }

    // The queue's mutex and the reader's condition, shared with wakers.
    const std::shared_ptr<ReaderSignal> m_signal = std::make_shared<ReaderSignal>();
    T m_traits;
    std::string m_name;
    SuccessCode_e m_status = eSuccess;
    bool m_final = false; // cancelled by its stream: no code is one-time any more
    bool m_closed = false;
    Counters m_counters;
    // The number of the next atom offered: the atoms offered so far, after
    // the filter, kept, dropped or lost by the input (under the mutex).
    uint64_t m_offered = 0;
    uint64_t m_timeout = 0;
    BufferQueue<T> m_buffers;
    std::shared_ptr<Filter> m_filter;
};

} // namespace qsig
