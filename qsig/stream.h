#pragma once
// qsig::Stream: the producer side of one typed signal stream. It keeps the
// client queues registered with it and, in the active modes, owns one
// dispatcher thread that reads the stream's input one group at a time and
// places each buffer, wrapped once, in every registered queue. The thread
// exists only while at least one queue is registered. A passive stream has
// no thread; its owner calls Dispatch.
//
// Fan-out: under the stream's lock each registered queue is offered the one
// shared buffer (its filter, when it has one, runs there too); the readers
// that sleep are woken only after the lock is released, as a tree in which
// woken readers wake further ones. The buffers come from the stream's pool.
// Atoms that the input lost before a read (a device that dropped them) are
// offered with the next buffer as lost, so that every queue registered then
// numbers its atoms with the hole where it lies.
//
// Stopping: whoever takes the dispatcher thread out of the stream (the
// removal of the last queue, a stopping cancellation, the shutdown, or the
// dispatcher itself after an input failure) closes the input, joins the
// thread and only then takes the stream back to idle. Until then the stream
// stays stopping, so a new first client never meets a late close of the
// input.

#include "platform/qsig/signal_dispatch_base.h"
#include "platform/qsig/signal_source.h"
#include "platform/qsig/signal_types.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qsig/array.h"
#include "qsig/buffer_pool.h"
#include "qsig/meta_buffer_pair.h"
#include "qsig/reader_wake.h"
#include "qsig/stream_queue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <vector>

namespace qsig {

template <typename T> class StreamClient;

// Shared between a stream and its clients: tells a client whether its
// stream still exists. The stream marks itself gone when it shuts down, and
// waits for client calls that are inside the stream at that moment. The
// shared lock lets readers keep a writer out, so the shutdown first marks
// the stream closing: opens from then on are refused without the lock, and
// only the calls already under way (at most one close per open client) are
// left for the shutdown to wait for.
struct StreamLife {
    std::shared_mutex mutex;
    bool alive = true;
    std::atomic<bool> closing{false};
};

template <typename T> class Stream : public SignalSource, public SignalDispatchBase {
public:
    using Traits = T;
    using Base = typename T::Base;
    using Atom = typename T::Atom;
    using Buffer = Array<T>;
    using MetaBufferPtr = typename MetaBufferPair<T>::MetaBufferPtr;
    using Queue = StreamQueue<T>;

    // Code with which the clients are cancelled when the dispatcher ends on
    // an exception: the same as an on-demand reader that ended on one.
    static constexpr SuccessCode_e c_dispatchErrorCode = eRefused;

    Stream(const std::string& name, const std::string& owner, unsigned groupSize = 1, StreamMode_e mode = ePassive)
        : SignalSource(name, owner), m_traits(groupSize), m_groupSize(groupSize), m_mode(mode),
          m_life(std::make_shared<StreamLife>())
    {
        m_queues.reserve(30);
    }

    ~Stream() override
    {
        QSTD_TRACE_FNC();
        ShutDown();
        std::lock_guard<std::mutex> lock(m_stateMutex);
    }

    // Signal description.
    std::size_t AtomSize() const override { return T::c_atomSize; }
    std::size_t GroupSize() const override { return m_groupSize; }
    const std::type_info& AtomType() const override { return typeid(Atom); }
    const std::type_info& BaseType() const override { return typeid(Base); }
    std::size_t Length() const override { return T::c_length; }
    std::vector<std::string> GetComponentNames() const override { return T::names.ToVector(); }
    SignalAccessType_e AccessType() const override { return eAccessStream; }

    // A client for a remote reader (queue of 64 buffers when length is 0);
    // the caller owns it.
    SignalClientBase* NewSignalClient(const std::string& name, unsigned length) override;

    const T& GetTraits() const { return m_traits; }
    StreamMode_e GetMode() const { return m_mode; }
    StreamState GetState() const
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        return m_state;
    }
    std::size_t GetQueueCount() const
    {
        std::lock_guard<std::mutex> lock(m_queuesMutex);
        return m_queues.size();
    }
    bool HasDispatcherThread() const
    {
        std::lock_guard<std::mutex> lock(m_queuesMutex);
        return m_thread.joinable();
    }
    std::shared_ptr<StreamLife> GetLife() const { return m_life; }

    // Registers a client queue: 0, -5 (shut down) or -6 (idle stream in
    // mode 2). Throws for a queue cancelled with -5, and passes on an
    // exception of the input's opening (the queue is not kept then).
    SuccessCode_e AddQueue(Queue& queue)
    {
        QSTD_TRACE_FNC();
        std::unique_lock<std::mutex> lock(m_queuesMutex);
        StreamState state = GetState();
        while (state == eStopping || state == eStarting) {
            if (state == eStopping) {
                QSTD_ASSERT(m_queues.size() == 0);
                m_stoppedCond.wait(lock);
            } else {
                QSTD_ASSERT(m_queues.size() == 1);
                m_startedCond.wait(lock);
            }
            state = GetState();
        }
        if (state == eShutDown) {
            QSTD_TRACE(2, GetName() << ": Shutdown already in progress.");
            return eCancelled;
        }
        if (state == eIdle && m_mode == eActiveNoClientControl) {
            return eRefused;
        }
        queue.Reset();
        m_queues.push_back(&queue);
        if (state == eIdle) {
            const std::size_t numberOfClients = m_queues.size();
            QSTD_ASSERT(numberOfClients == 1);
            try {
                StartDispatch(lock);
            } catch (...) {
                // The client sees only the exception: it must not stay registered.
                auto it = std::find(m_queues.begin(), m_queues.end(), &queue);
                if (it != m_queues.end()) {
                    m_queues.erase(it);
                }
                throw;
            }
        }
        return eSuccess;
    }

    // Unregisters a client queue, cancelling it with -4; the last removal
    // stops dispatching (closes the input and joins the thread).
    void RemoveQueue(Queue& queue)
    {
        QSTD_TRACE_FNC();
        std::thread thread;
        bool stop = false;
        {
            std::lock_guard<std::mutex> lock(m_queuesMutex);
            auto it = std::find(m_queues.begin(), m_queues.end(), &queue);
            if (it == m_queues.end()) {
                return;
            }
            stop = RemoveClient(it, eNotOpen, thread);
        }
        if (stop) {
            StopDispatching(thread);
        }
    }

    // Fan-out: wraps the buffer once and offers the shared pair to every
    // registered queue. The caller's array is left empty (no storage).
    void Dispatch(Buffer&& buffer, const SignalMeta& meta)
    {
        Lease lease = m_pool->Take(0);
        lease->data = std::move(buffer);
        lease->meta = meta;
        FanOut(m_pool->Share(std::move(lease)));
    }

    // The same for a buffer the caller keeps: its atoms are copied once.
    void Dispatch(const Buffer& buffer, const SignalMeta& meta)
    {
        DispatchCopy(buffer.GetData(), buffer.GetLength(), meta);
    }

    // Typed entry point: whole atoms of count base values are copied once
    // and dispatched; values beyond the last whole atom are ignored.
    using SignalDispatchBase::Dispatch;
    void Dispatch(const Base* values, unsigned count, const SignalMeta& meta) override
    {
        DispatchCopy(values, count / T::c_length, meta);
    }

    // Cancels every client with the code (0 becomes -5); stops dispatching
    // in mode 1, in mode 2 only for -5, never in mode 0.
    void Cancel(SuccessCode_e code) override
    {
        QSTD_TRACE_FNC();
        CancelClients(code);
    }

    // Removes every client queue of that name (cancelled with -4).
    virtual void Cancel(std::string name)
    {
        std::thread thread;
        bool stop = false;
        {
            std::lock_guard<std::mutex> lock(m_queuesMutex);
            auto it = m_queues.begin();
            while (it != m_queues.end()) {
                if ((*it)->GetName() != name) {
                    ++it;
                    continue;
                }
                if (RemoveClient(it, eNotOpen, thread)) {
                    stop = true;
                    break;
                }
            }
        }
        if (stop) {
            StopDispatching(thread);
        }
    }

    void CancelClients(SuccessCode_e code)
    {
        const bool stop = m_mode == eActive || (m_mode == eActiveNoClientControl && code == eCancelled);
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_queuesMutex);
            CancelAllClients(code);
            if (stop) {
                BeginStop(thread);
            }
        }
        QSTD_TRACE(2, GetName() << ": stop = " << (stop ? 1 : 0) << ", a_code = " << code);
        if (stop) {
            StopDispatching(thread);
        }
    }

    // Ends the stream for good: later registrations answer -5, every client
    // is cancelled with -5, the input is closed and the thread joined. Only
    // then is the stream marked gone for its clients: a client that closes
    // meanwhile still takes its own queue out, so that no queue stays
    // registered after its client has gone.
    void ShutDown() override
    {
        QSTD_TRACE_FNC();
        m_life->closing.store(true);
        CancelForGood();
        {
            std::unique_lock<std::shared_mutex> life(m_life->mutex);
            m_life->alive = false;
        }
    }

    // The dispatcher thread's body.
    void operator()()
    {
        QSTD_TRACE_FNC();
        {
            std::lock_guard<std::mutex> lock(m_queuesMutex);
            if (GetState() == eStarting) {
                SetStreamState(eRunning);
            }
            m_startedCond.notify_all();
        }
        bool failed = false;
        SuccessCode_e failure = eSuccess;
        std::string cause;
        m_inputLost.store(0, std::memory_order_relaxed); // of an earlier dispatcher's input
        try {
            while (GetState() == eRunning) {
                Lease lease = m_pool->Take(m_groupSize);
                const SuccessCode_e rc = ReadInput(lease->data);
                if (rc != eSuccess && rc != eIncompleteData) {
                    failed = true;
                    failure = rc;
                    std::ostringstream os;
                    os << GetName() << ": Terminating dispatch thread. Cause: " << rc;
                    cause = os.str();
                    break;
                }
                if (lease->data.GetLength() > 0 && GetState() == eRunning) {
                    FanOut(m_pool->Share(std::move(lease)), m_inputLost.exchange(0, std::memory_order_relaxed));
                }
            }
        } catch (const std::system_error& e) {
            failed = true;
            failure = c_dispatchErrorCode;
            cause = GetName() + ": Dispatching thread error: " + e.code().message();
        } catch (const std::exception& e) {
            failed = true;
            failure = c_dispatchErrorCode;
            cause = GetName() + ": Dispatching thread error: " + e.what();
        } catch (...) {
            failed = true;
            failure = c_dispatchErrorCode;
            cause = GetName() + ": Dispatching thread error: unknown exception";
        }
        if (failed) {
            EndOnFailure(failure, cause);
        } else if (GetState() == eShutDown) {
            QSTD_TRACE(3, GetName() << ": Stream shutdown: dispatcher thread finished.");
        }
    }

protected:
    // Input of the active modes, overridden by device and derived streams.
    virtual void OpenInput() {}
    // Wakes a ReadInput that waits on the dispatcher thread.
    virtual void CloseInput() {}
    virtual SuccessCode_e ReadInput(Buffer& buffer)
    {
        if (m_mode == ePassive) {
            throw qstd::Exception(GetName() + ": Running in passive mode.", true);
        }
        buffer.Resize(0);
        return eIncompleteData;
    }

    // Told by ReadInput, on the dispatcher thread: the input lost atoms
    // (dropped before this stream read them) right before the atoms of this
    // read. The queues registered when the next buffer goes out count them
    // as offered and lost before it (StreamQueue::Offer).
    void InputLost(uint64_t atoms) { m_inputLost.fetch_add(atoms, std::memory_order_relaxed); }

    void SetStreamState(StreamState state)
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        QSTD_TRACE(3, GetName() << ": Stream state: " << m_state << " --> " << state);
        m_state = state;
    }

private:
    using QueueList = std::vector<Queue*>;
    using Pool = BufferPool<T>;
    using Lease = typename Pool::Lease;
    struct PoolRelease {
        void operator()(Pool* pool) const { pool->Release(); }
    };

    // Offers the shared buffer to every registered queue under the lock
    // (after lostBefore atoms that the input lost), then wakes the readers
    // that sleep.
    void FanOut(const MetaBufferPtr& shared, uint64_t lostBefore = 0)
    {
        std::shared_ptr<ReaderWakes> sleepers;
        {
            std::lock_guard<std::mutex> lock(m_queuesMutex);
            QSTD_TRACE(4, GetName() << ": Dispatching " << qstd::CppName(AtomType()) << ": #queues: " << m_queues.size()
                                    << ", atoms: " << shared->data.GetLength());
            for (Queue* queue : m_queues) {
                bool queued = false;
                if (queue->Offer(shared, queued, lostBefore)) {
                    if (!sleepers) {
                        sleepers = std::make_shared<ReaderWakes>(m_queues.size());
                    }
                    sleepers->Add(queue->GetSignal());
                }
            }
        }
        if (sleepers) {
            ReaderWakes::Wake(sleepers, 0);
        }
    }

    // Copies atoms atoms of base values into a pooled buffer and fans it out.
    void DispatchCopy(const Base* values, unsigned atoms, const SignalMeta& meta)
    {
        Lease lease = m_pool->Take(atoms);
        if (atoms > 0) {
            std::memcpy(lease->data.GetData(), values, sizeof(Atom) * atoms);
        }
        lease->meta = meta;
        FanOut(m_pool->Share(std::move(lease)));
    }

    // The shutdown's work: state 4, every client cancelled with -5 and
    // removed, the input closed and the thread joined (also when another
    // thread is stopping it). Nothing when the stream is already shut down.
    void CancelForGood()
    {
        const StreamState state = GetState();
        if (state == eShutDown) {
            return;
        }
        QSTD_TRACE(2, GetName() << ": Shutting down..");
        if (state != eIdle) {
            QSTD_TRACE(1, GetName() << ": Cancelling open handles.");
        }
        {
            std::lock_guard<std::mutex> lock(m_queuesMutex);
            if (GetState() == eShutDown) {
                return;
            }
            SetStreamState(eShutDown);
        }
        CancelClients(eCancelled);
        {
            // Another thread may still be stopping (a closing client); the
            // stream is not done before it has joined the thread.
            std::unique_lock<std::mutex> lock(m_queuesMutex);
            m_stoppedCond.wait(lock, [this] { return m_stoppers == 0; });
        }
        QSTD_TRACE(2, GetName() << ": Shutdown finished.");
    }

    // Caller holds m_queuesMutex. Removes the queue at it (it moves to the
    // next entry); true when dispatching must now stop, the thread having
    // been moved into thread.
    bool RemoveClient(typename QueueList::iterator& it, SuccessCode_e code, std::thread& thread)
    {
        if (it == m_queues.end()) {
            return false;
        }
        (*it)->Terminate(code);
        it = m_queues.erase(it);
        QSTD_TRACE(3, GetName() << ": Client removed, queue size: " << m_queues.size());
        const StreamState state = GetState();
        if ((state == eShutDown || m_mode != eActiveNoClientControl) && m_queues.empty()) {
            BeginStop(thread);
            return true;
        }
        return false;
    }

    // Caller holds m_queuesMutex.
    void CancelAllClients(SuccessCode_e code)
    {
        while (!m_queues.empty()) {
            m_queues.front()->Terminate(code);
            m_queues.erase(m_queues.begin());
            QSTD_TRACE(3, GetName() << ": Client removed, queue size: " << m_queues.size());
        }
    }

    // Caller holds m_queuesMutex: takes the thread out and marks the stream
    // stopping (a shut-down stream stays shut down).
    void BeginStop(std::thread& thread)
    {
        thread = std::move(m_thread);
        if (GetState() != eShutDown) {
            SetStreamState(eStopping);
        }
        ++m_stoppers;
    }

    // Caller holds m_queuesMutex: the last stopper takes the stream back to idle.
    void FinishStop()
    {
        --m_stoppers;
        if (m_stoppers == 0 && GetState() == eStopping) {
            SetStreamState(eIdle);
        }
        m_stoppedCond.notify_all();
    }

    // Caller holds m_queuesMutex through lock.
    void StartDispatch(std::unique_lock<std::mutex>& lock)
    {
        QSTD_TRACE_FNC();
        OpenInput();
        if (m_mode == ePassive) {
            SetStreamState(eRunning);
            return;
        }
        SetStreamState(eStarting);
        if (m_thread.joinable()) {
            // A dispatcher that ended by itself; it has passed its last use of the lock.
            QSTD_TRACE(2, GetName() << ": join thread.");
            m_thread.join();
        }
        QSTD_TRACE(2, GetName() << ": Starting thread..");
        try {
            m_thread = std::thread([this] { (*this)(); });
        } catch (...) {
            CloseInputSafely();
            SetStreamState(eIdle);
            throw;
        }
        m_startedCond.wait(lock, [this] { return GetState() != eStarting; });
        QSTD_TRACE(2, GetName() << ": Thread started..");
    }

    // No stream lock held: closes the input, joins the thread, goes idle.
    void StopDispatching(std::thread& thread)
    {
        QSTD_TRACE_FNC();
        CloseInputSafely();
        if (thread.joinable()) {
            QSTD_TRACE(2, GetName() << ": Input closed: will join the thread.");
            thread.join();
        }
        std::lock_guard<std::mutex> lock(m_queuesMutex);
        FinishStop();
    }

    // The dispatcher ends by itself: the clients are cancelled with the code,
    // the input is closed and the stream goes idle. Nothing is done when a
    // stop was already under way (its stopper closes the input).
    void EndOnFailure(SuccessCode_e code, const std::string& cause)
    {
        std::unique_lock<std::mutex> lock(m_queuesMutex);
        if (GetState() != eRunning) {
            return;
        }
        qstd::LogError(cause);
        CancelAllClients(code);
        SetStreamState(eStopping);
        ++m_stoppers;
        lock.unlock();
        CloseInputSafely();
        lock.lock();
        FinishStop();
    }

    void CloseInputSafely()
    {
        try {
            CloseInput();
        } catch (const std::system_error& e) {
            QSTD_TRACE(1, GetName() << ": WARNING: CloseInput threw: " << e.code().message());
        } catch (const std::exception& e) {
            QSTD_TRACE(1, GetName() << ": WARNING: CloseInput threw: " << e.what());
        } catch (...) {
            QSTD_TRACE(1, GetName() << ": WARNING: CloseInput threw exception.");
        }
    }

    const T m_traits;
    const unsigned m_groupSize;
    const StreamMode_e m_mode;
    StreamState m_state = eIdle;
    mutable std::mutex m_stateMutex;
    QueueList m_queues;
    mutable std::mutex m_queuesMutex;
    std::condition_variable m_stoppedCond;
    std::condition_variable m_startedCond;
    std::thread m_thread;
    unsigned m_stoppers = 0; // threads between taking the thread out and going idle
    // Atoms the input lost since the last buffer went out (dispatcher thread).
    std::atomic<uint64_t> m_inputLost{0};
    std::shared_ptr<StreamLife> m_life;
    const std::unique_ptr<Pool, PoolRelease> m_pool{Pool::Create(m_traits)};
};

} // namespace qsig

#include "qsig/stream_client.h"
