#pragma once
// qsig::StreamClient: a consumer's handle on one stream. It owns one bounded
// client queue; Open registers it with the stream, Close and the destructor
// take it out again. The consumer reads locally (a run of atoms or a single
// atom) or the signal library has it forward buffers to a remote receiver.

#include "platform/qsig/signal_client_base.h"
#include "platform/qsig/signal_types.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qsig/array.h"
#include "qsig/stream.h"
#include "qsig/stream_queue.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace qsig {

template <typename T> class StreamClient : public SignalClientBase {
public:
    using Traits = T;
    using Base = typename T::Base;
    using Atom = typename T::Atom;
    using Buffer = Array<T>;
    using MetaBufferPtr = typename MetaBufferPair<T>::MetaBufferPtr;
    using Queue = StreamQueue<T>;

    // The stream's traits (group size) are copied here. A client made
    // without a stream can never be opened.
    StreamClient(Stream<T>* stream, const std::string& name, unsigned length)
        : m_stream(stream), m_traits(stream != nullptr ? stream->GetTraits() : T()), m_queue(m_traits, name, length),
          m_life(stream != nullptr ? stream->GetLife() : GoneStream())
    {
    }

    ~StreamClient() override { Close(); }

    using SignalClientBase::Open;
    using SignalClientBase::Read;

    // 0 when the client is open afterwards; -5 when it has no stream, the
    // stream is shutting down or gone or its queue was cancelled with -5;
    // else the stream's registration result.
    SuccessCode_e Open() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_open) {
            return eSuccess;
        }
        if (m_stream == nullptr || m_queue.GetStatus() == eCancelled || m_life->closing.load()) {
            return eCancelled;
        }
        std::shared_lock<std::shared_mutex> life(m_life->mutex);
        if (!m_life->alive) {
            return eCancelled;
        }
        const SuccessCode_e rc = m_stream->AddQueue(m_queue);
        m_open = rc == eSuccess;
        return rc;
    }

    // Takes the queue out of the stream (cancelled with -4, so a waiting
    // reader wakes); the last client of an active stream returns only after
    // the dispatcher thread has ended.
    void Close() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) {
            return;
        }
        m_open = false;
        if (m_queue.GetStatus() == eCancelled) {
            return;
        }
        std::shared_lock<std::shared_mutex> life(m_life->mutex);
        if (m_life->alive) {
            m_stream->RemoveQueue(m_queue);
        }
    }

    bool IsOpen() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }

    SignalAccessType_e SignalAccessType() const override { return eAccessStream; }
    std::string GetName() const override { return m_queue.GetName(); }

    // The stream's rows (until the stream begins to shut down), then the
    // queue's rows.
    SignalStats GetStatistics() const override
    {
        SignalStats rows;
        if (!m_life->closing.load()) {
            std::shared_lock<std::shared_mutex> life(m_life->mutex);
            if (m_stream != nullptr && m_life->alive) {
                rows = m_stream->GetStatistics();
            }
        }
        const SignalStats queueRows = m_queue.GetStatistics();
        rows.insert(rows.end(), queueRows.begin(), queueRows.end());
        return rows;
    }

    // Reads exactly as many atoms as the array holds on entry (a multiple of
    // the group size), waiting for buffers; atoms of the last buffer beyond
    // that count are dropped.
    SuccessCode_e Read(Buffer& buffer)
    {
        if (!IsOpen()) {
            return eNotOpen;
        }
        const SuccessCode_e status = m_queue.GetStatus();
        if (status != eSuccess) {
            return status;
        }
        const unsigned n = buffer.GetLength();
        const unsigned group = m_traits.GroupSize();
        if (group == 0 || n % group != 0) {
            QSTD_TRACE(1, "stream: Read size must be a multiple of group: " << group);
            return eBadRequest;
        }
        Buffer result(m_traits, 0);
        result.Reallocate(n);
        while (result.GetLength() < n) {
            MetaBufferPtr b;
            const SuccessCode_e rc = m_queue.Pop(b);
            if (rc != eSuccess) {
                return rc;
            }
            const unsigned take = std::min(n - result.GetLength(), b->data.GetLength());
            if (take > 0) {
                result.Append(b->data.GetAtom(0), take);
            }
        }
        buffer = std::move(result);
        return eSuccess;
    }

    // Reads one atom (streams of group size 1 only).
    SuccessCode_e Read(Atom& atom)
    {
        if (!IsOpen()) {
            return eNotOpen;
        }
        const SuccessCode_e status = m_queue.GetStatus();
        if (status != eSuccess) {
            return status;
        }
        const unsigned group = m_traits.GroupSize();
        if (group > 1) {
            QSTD_TRACE(1, "stream: Can't use this function for group size: " << group);
            return eBadRequest;
        }
        MetaBufferPtr b;
        const SuccessCode_e rc = m_queue.Pop(b);
        if (rc != eSuccess) {
            return rc;
        }
        QSTD_ASSERT(b->data.GetLength() == 1);
        atom = b->data[0];
        return eSuccess;
    }

    // Sends one to four queued buffers (as many as are queued, at least one,
    // waiting for it) to the remote receiver: 0 when sent. A closed client
    // answers -4, and a queue that its stream cancelled the cancellation's
    // code, every time and without waiting. Each buffer carries its metadata
    // and the number of its first atom among the atoms offered to the queue
    // (eMetaOfferedAtom), which tells the receiver what was dropped and where.
    SuccessCode_e ForwardTo(q_NET::_objref_SignalReceiver* receiver) override
    {
        if (m_stream == nullptr) {
            throw qstd::Exception("qsig: Stream client does't have a stream associated.", true);
        }
        const std::size_t queued = m_queue.GetQueuedCount();
        const std::size_t batch = std::min<std::size_t>(std::max<std::size_t>(queued, 1), 4);
        QSTD_TRACE(4, "Dispatching elements: " << batch);
        for (std::size_t i = 0; i < batch; ++i) {
            if (!IsOpen()) {
                return eNotOpen;
            }
            MetaBufferPtr b;
            bool ended = false;
            uint64_t firstAtom = 0;
            const SuccessCode_e rc = m_queue.PopUnlessEnded(b, ended, firstAtom);
            if (rc != eSuccess) {
                // A one-time code (a time-out of the queue) only ends the batch.
                return ended ? rc : eSuccess;
            }
            if (b->meta.size() >= c_forwardedMetaEntries) {
                DoDispatch(receiver, b->data.GetData(), b->data.GetLength() * T::c_length, b->meta);
                continue;
            }
            // The buffer and its metadata are shared with the other queues.
            SignalMeta meta = b->meta;
            meta[eMetaOfferedAtom] = static_cast<int64_t>(firstAtom);
            DoDispatch(receiver, b->data.GetData(), b->data.GetLength() * T::c_length, meta);
        }
        return eSuccess;
    }

    const T& GetTraits() const
    {
        if (m_stream == nullptr) {
            throw qstd::Exception("qsig: This client doesn't have a stream associated.", true);
        }
        return m_traits;
    }

    // The client's queue: its owner sets the filter and the time-out before
    // opening.
    Queue& GetQueue() { return m_queue; }
    const Queue& GetQueue() const { return m_queue; }

protected:
    // A forwarded buffer carries at most this many metadata entries (the
    // remote interface's bound): the number goes only where it fits.
    static constexpr std::size_t c_forwardedMetaEntries = 64;

    static std::shared_ptr<StreamLife> GoneStream()
    {
        auto life = std::make_shared<StreamLife>();
        life->alive = false;
        return life;
    }

    Stream<T>* const m_stream;
    const T m_traits;
    Queue m_queue;
    bool m_open = false;
    mutable std::mutex m_mutex;
    const std::shared_ptr<StreamLife> m_life;
};

template <typename T> SignalClientBase* Stream<T>::NewSignalClient(const std::string& name, unsigned length)
{
    return new StreamClient<T>(this, name, length == 0 ? 64 : length);
}

} // namespace qsig
