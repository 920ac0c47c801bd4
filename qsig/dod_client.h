#pragma once
// Reader of one data-on-demand signal. Opened with an access mode, a count of
// atoms and an offset, it asks a position controller where each read starts
// and has the source read there. In access modes 13 and 14 it works with its
// own started clone of the source's controller, which it hands back when it
// closes. In mode 13 a dispatching thread reads ahead into the client's queue
// of 64 buffers; reads then take the queued buffers, and only then can the
// client forward buffers to a remote receiver; a mode-13 open whose size,
// clamped by the controller's maximum read size, is 0 is refused (-1). A
// read that the controller ends before its size (the end of a section of a
// history) and that goes on beyond the buffer is read on in the next
// buffers, at the LMT of the buffer before plus its atoms, in the same
// section. The client keeps only a weak reference to its source.

#include "platform/qstd/trace.h"
#include "qsig/dod_client_base.h"
#include "qsig/dod_controller_interface.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace qsig {

template <typename T> class DodClient : public DodClientBase<T> {
public:
    using Buffer = typename DodClientBase<T>::Buffer;
    using Base = typename T::Base;
    using SourcePtr = std::shared_ptr<DodControllerInterface<T>>;
    using SignalClientBase::Read;

    DodClient(SourcePtr source, const std::string& name, const T& traits)
        : DodClientBase<T>(name, traits), m_source(source)
    {
    }

    // A client without a source: Open answers -4 until a client of a source
    // is assigned to it.
    DodClient() : DodClientBase<T>(T()) {}

    // A closed client of the same source, with a new empty queue of the same
    // name (lets a client made by a source be held by a shared pointer).
    DodClient(const DodClient& other) : DodClientBase<T>(other.m_queue.GetName(), other.m_traits)
    {
        m_source = other.m_source;
    }

    ~DodClient() override { Close(); }

    // Makes this a closed client of the other client's source whose queue is
    // empty and named after the other queue with "_copy" appended.
    DodClient& operator=(const DodClient& other)
    {
        if (this == &other) {
            return *this;
        }
        Close();
        this->m_traits = other.m_traits;
        this->m_queue = other.m_queue;
        m_source = other.m_source;
        return *this;
    }

    SuccessCode_e Open(AccessMode_e mode, unsigned size, long long offset) override
    {
        std::lock_guard<std::mutex> openClose(m_openCloseMutex);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_isOpen) {
            return mode == m_mode ? eSuccess : eBadRequest;
        }
        SourcePtr source = m_source.lock();
        if (!source) {
            return eNotOpen;
        }
        m_mode = mode;
        m_asked = {mode, 0, offset, size};
        const bool ownCopy = mode == eAccessStreaming || mode == eAccessClone;
        PosControllerPtr controller =
            ownCopy ? source->GetPositionControllerCopy(mode) : source->GetPositionController(mode);
        if (!controller) {
            return eBadRequest;
        }
        m_posController = controller;
        std::size_t atoms = 0;
        try {
            this->m_queue.Reset();
            atoms = std::min<std::size_t>(size, controller->GetMaxReadSize(offset, mode));
        } catch (...) {
            // A failed open leaves nothing behind: the clone goes back.
            lock.unlock();
            DropController(source, ownCopy);
            throw;
        }
        if (mode == eAccessStreaming && atoms == 0) {
            // Asked for none, or the controller has none at this offset: the
            // dispatching thread would read empty buffers without pause.
            QSTD_TRACE(2, "DodClient::Open refuses a read-ahead of no atoms");
            lock.unlock();
            DropController(source, ownCopy);
            return eBadRequest;
        }
        m_offset = offset;
        m_size = atoms;
        m_threadResult.store(eNotOpen);
        m_isOpen = true;
        lock.unlock();
        if (mode != eAccessStreaming) {
            return eSuccess;
        }

        JoinThread();
        std::unique_lock<std::mutex> start(m_startMutex);
        m_startReport = c_notReported;
        try {
            m_thread = std::thread(std::ref(*this));
        } catch (const std::system_error& e) {
            QSTD_TRACE(1, "DodClient::Open failed to start the dispatching thread: " << e.code().message());
            start.unlock();
            FailOpen(source);
            return eTryAgain;
        }
        m_startCond.wait(start, [this] { return m_startReport != c_notReported; });
        if (m_startReport == c_reportedRunning) {
            return eSuccess;
        }
        JoinThread();
        start.unlock();
        FailOpen(source);
        QSTD_TRACE(1, "DodClient::Open failed to open");
        return eTryAgain;
    }

    void Close() override
    {
        std::lock_guard<std::mutex> openClose(m_openCloseMutex);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_isOpen) {
            lock.unlock();
            JoinThread();
            return;
        }
        m_isOpen = false;
        const AccessMode_e mode = m_mode;
        lock.unlock();
        m_wake.notify_all();
        if (mode == eAccessStreaming) {
            QSTD_TRACE(1, "DodClient::Close m_posController->Stop");
            m_posController->Stop();
            JoinThread();
            this->m_queue.Cancel(eNotOpen);
        }
        DropController(m_source.lock(), mode == eAccessStreaming || mode == eAccessClone);
    }

    bool IsOpen() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_isOpen;
    }

    // Ends a read that waits for its position (its controller goes on
    // serving the other clients); takes no lock that a read holds.
    void Cancel() override { m_waitCancel.Cancel(); }

    // Reads up to buffer's size in atoms (in mode 13: the next queued buffer,
    // whatever its size) at the position the controller gives for time.
    SuccessCode_e Read(Buffer& buffer, SignalMeta& meta, uint64_t time)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_isOpen) {
            return eNotOpen;
        }
        SourcePtr source = m_source.lock();
        if (!source) {
            QSTD_TRACE(1, "DodClient::Read -> Signal source is not available");
            lock.unlock();
            Close();
            return eNotOpen;
        }
        if (m_mode == eAccessStreaming) {
            const std::size_t most = m_size;
            lock.unlock();
            return ReadQueued(buffer, meta, most);
        }
        if (!m_posController) {
            QSTD_TRACE(1, "DodClient::Read -> Position controller is not available");
            return eNotOpen;
        }
        std::size_t count =
            std::min<std::size_t>(buffer.GetLength(), m_posController->GetMaxReadSize(m_offset, m_mode));
        m_asked = {m_mode.load(), time, m_offset, count};
        if (m_waitCancel.IsCancelled()) {
            return eCancelled;
        }
        LMT lmt = 0;
        std::size_t position = 0;
        SuccessCode_e rc;
        {
            WaitCancel::Scope cancellable(m_waitCancel, *m_posController);
            rc = m_posController->GetPosition(m_mode.load(), time, m_offset, count, lmt, position, meta);
        }
        if (rc != eSuccess) {
            return rc;
        }
        // Only now is the start known: the read takes no more atoms than the
        // controller allows from there on.
        count = std::min(count, m_posController->GetMaxReadSizeFrom(position));
        buffer.Resize(static_cast<unsigned>(count));
        PosControllerPtr controller = m_posController;
        lock.unlock();
        try {
            return source->Read(buffer, position, controller);
        } catch (const std::exception& e) {
            QSTD_TRACE(2, "dod: Reading from input buffer failed: " << e.what());
            return eRefused;
        }
    }

    // Read into the caller's memory of count base values; count becomes the
    // number of base values read.
    SuccessCode_e Read(Base* data, unsigned& count, unsigned long long time, SignalMeta& meta) override
    {
        Buffer array(T(), data, count / T::c_length);
        const SuccessCode_e rc = Read(array, meta, time);
        count = array.GetLength() * T::c_length;
        return rc;
    }

    // Words of the controller for a refusal of the last open or read (and
    // how the read stands, into kind): its own controller's, or the source's
    // main controller's when the open took none.
    std::string Explain(SuccessCode_e code, RefusalKind* kind = nullptr) const override
    {
        if (kind != nullptr) {
            *kind = RefusalKind();
        }
        PosControllerPtr controller;
        Asked asked;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            controller = m_posController;
            asked = m_asked;
        }
        if (!controller) {
            if (SourcePtr source = m_source.lock()) {
                controller = source->GetPositionController();
            }
        }
        return controller ? controller->Explain(asked.mode, asked.time, asked.offset, asked.count, code, kind)
                          : std::string();
    }

    // Sends one to four queued buffers to the receiver (mode 13 only), each
    // with the number of its first atom among the atoms read for the client
    // (eMetaOfferedAtom); a buffer larger than one remote message goes in
    // parts, each numbered so. A client that is not open answers -4 and one
    // whose dispatching thread has ended answers the thread's code, without
    // waiting; a time-out or an incomplete read of the thread only ends the
    // batch; a buffer that the receiver could not be sent, the code of that.
    SuccessCode_e ForwardTo(q_NET::_objref_SignalReceiver* receiver) override
    {
        if (m_mode != eAccessStreaming) {
            return eTryAgain;
        }
        const std::size_t queued = this->m_queue.GetQueuedCount();
        const std::size_t count = std::min<std::size_t>(std::max<std::size_t>(queued, 1), 4);
        QSTD_TRACE(4, "Dispatching elements: " << count);
        for (std::size_t i = 0; i < count; ++i) {
            if (m_mode != eAccessStreaming) {
                return eSuccess;
            }
            if (!IsOpen()) {
                return eNotOpen;
            }
            typename MetaBufferPair<T>::MetaBufferPtr item;
            bool ended = false;
            uint64_t firstAtom = 0;
            const SuccessCode_e rc = this->m_queue.PopUnlessEnded(item, ended, firstAtom);
            if (rc != eSuccess) {
                return ended ? rc : eSuccess;
            }
            // The number of the first atom among those read for this client
            // tells the receiver what was lost and where: buffers the full
            // queue dropped, and atoms not read (the rest of a section no
            // longer held, what the controller passed over when behind).
            SignalMeta& meta = item->meta;
            meta[eMetaOfferedAtom] = static_cast<int64_t>(firstAtom);
            // A buffer of more than one message holds (a post-mortem window
            // read whole) goes in parts; one that does not reach the
            // receiver ends the forwarding with its code, rather than leave
            // its reader waiting for atoms that never come.
            const SuccessCode_e sent =
                this->DispatchInParts(receiver, item->data.GetData(), item->data.GetLength(), T::c_length, meta);
            if (sent != eSuccess) {
                return sent;
            }
        }
        return eSuccess;
    }

    // The dispatching thread of mode 13: reads ahead at the positions the
    // client's clone gives and queues every buffer read.
    void operator()()
    {
        QSTD_TRACE_FNC();
        SourcePtr source = m_source.lock();
        {
            std::lock_guard<std::mutex> start(m_startMutex);
            m_startReport = source ? c_reportedRunning : c_reportedGone;
            m_running.store(static_cast<bool>(source));
        }
        m_startCond.notify_one();
        if (!source) {
            return;
        }
        try {
            SuccessCode_e result = eNotOpen;
            bool retryTraced = false;
            auto backoff = c_minBackoff;
            // A section longer than a buffer goes on in the next buffers:
            // read at the LMT of the part before it (mode 12 of the client's
            // own clone), plus the atoms of that part, in the same section.
            Rest rest;
            // Atoms that were not read, to be numbered as lost before the
            // next buffer queued.
            uint64_t lostBefore = 0;
            while (IsOpen()) {
                Buffer buffer(this->m_traits, static_cast<unsigned>(m_size));
                SignalMeta meta;
                LMT lmt = 0;
                std::size_t position = 0;
                SuccessCode_e rc = rest.left == 0 ? m_posController->GetPosition(m_mode.load(), 0, m_offset, m_size,
                                                                                 lmt, position, meta)
                                                  : m_posController->GetPosition(eAccessAtTime, rest.lmt, rest.offset,
                                                                                 m_size, lmt, position, meta);
                if (rest.left > 0 && (rc == eBadRequest || (rc == eSuccess && meta[eMetaSequence] != rest.section))) {
                    // Written over before it was read: lost.
                    QSTD_TRACE(2, "dod client: the rest of section " << rest.section << " is no longer held");
                    lostBefore += rest.left;
                    rest.left = 0;
                    continue;
                }
                if (rc == eTryAgain) {
                    // Position not there yet: ask again after a growing pause,
                    // tracing once per run of refusals.
                    if (!retryTraced) {
                        QSTD_TRACE(1, "Get position again.");
                        retryTraced = true;
                    }
                    std::unique_lock<std::mutex> lock(m_mutex);
                    m_wake.wait_for(lock, backoff, [this] { return !m_isOpen; });
                    backoff = std::min(backoff * 2, c_maxBackoff);
                    continue;
                }
                retryTraced = false;
                backoff = c_minBackoff;
                if (rc == eSuccess) {
                    // As a read once: no more atoms than the controller
                    // allows from the start it gave (the end of a section).
                    const std::size_t most = m_posController->GetMaxReadSizeFrom(position);
                    if (most < buffer.GetLength()) {
                        buffer.Resize(static_cast<unsigned>(most));
                    }
                    const std::size_t asked = buffer.GetLength();
                    rc = source->Read(buffer, position, m_posController);
                    if (rc == eIncompleteData) {
                        // Overwritten while it was copied: these atoms and the
                        // rest of their section are lost, as when no longer held.
                        lostBefore += most != SIZE_MAX ? most : asked;
                    }
                    rest.left = 0;
                    if (rc == eSuccess && most != SIZE_MAX && most > buffer.GetLength() &&
                        m_posController->IsModeSupported(eAccessAtTime)) {
                        rest = {lmt, static_cast<long long>(buffer.GetLength()), most - buffer.GetLength(),
                                meta[eMetaSequence]};
                    }
                }
                if (rc == eIncompleteData || rc == eTimeout) {
                    // Fallen behind, the controller moved on: what it passed
                    // over is lost.
                    lostBefore += rc == eIncompleteData ? m_posController->TakePassedOver() : 0;
                    this->m_queue.Cancel(rc);
                    continue;
                }
                if (rc != eSuccess) {
                    // A code caused by Close stopping the controller is not
                    // the reader's business: a closed client reports -4.
                    result = IsOpen() ? rc : eNotOpen;
                    break;
                }
                bool queued = false;
                if (this->m_queue.Offer(std::make_shared<MetaBufferPair<T>>(std::move(buffer), meta), queued,
                                        lostBefore)) {
                    this->m_queue.GetSignal()->cond.notify_one();
                }
                lostBefore = 0;
            }
            // One cancellation with the code that ended the loop, so the
            // reader sees the real cause rather than "not open".
            m_threadResult.store(result);
            this->m_queue.Cancel(result);
        } catch (const std::system_error& e) {
            QSTD_TRACE(1, "dod client: Dispatching thread error: " << e.code().message());
            m_threadResult.store(eRefused);
            this->m_queue.Cancel(eRefused);
        } catch (const std::exception& e) {
            QSTD_TRACE(1, "dod client: Dispatching thread error: " << e.what());
            m_threadResult.store(eRefused);
            this->m_queue.Cancel(eRefused);
        }
        m_running.store(false);
    }

    // True while the dispatching thread runs its loop.
    bool IsDispatching() const { return m_running.load(); }
    AccessMode_e GetMode() const { return m_mode; }
    std::size_t GetSize() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_size;
    }
    PosControllerPtr GetController() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posController;
    }

private:
    static constexpr int c_notReported = -1;
    static constexpr int c_reportedGone = 0;
    static constexpr int c_reportedRunning = 1;
    static constexpr std::chrono::milliseconds c_minBackoff{1};
    static constexpr std::chrono::milliseconds c_maxBackoff{50};

    // Mode 13: what is left of the section read last, after a part of it
    // that began at lmt and held offset atoms; the section's number.
    struct Rest {
        LMT lmt = 0;
        long long offset = 0;
        std::size_t left = 0;
        int64_t section = 0;
    };

    SuccessCode_e ReadQueued(Buffer& buffer, SignalMeta& meta, std::size_t most)
    {
        // A wrapped array must hold any queued buffer (at most the open size)
        // before one is taken, or the buffer would be lost.
        if (!buffer.IsOwned() && buffer.GetCapacity() < most) {
            QSTD_TRACE(1, "DodClient::Read -> buffer too small for " << most << " atoms");
            buffer.Resize(0);
            return eBadRequest;
        }
        if (this->m_queue.IsClosed()) {
            // The thread ended by itself and its result was reported once.
            return static_cast<SuccessCode_e>(m_threadResult.load());
        }
        typename MetaBufferPair<T>::MetaBufferPtr item;
        SuccessCode_e rc;
        try {
            rc = this->m_queue.Pop(item);
        } catch (const qstd::Exception&) {
            return static_cast<SuccessCode_e>(m_threadResult.load());
        }
        if (rc != eSuccess || !item) {
            return rc;
        }
        // The queued buffers are made by this client's own thread, which lets
        // go of each one right after queueing it and never reads it again, so
        // an owning array takes the storage over without a copy (a use count
        // test would race with the thread's release of its reference).
        if (buffer.IsOwned()) {
            buffer = std::move(item->data);
            meta = std::move(item->meta);
        } else {
            buffer.Resize(item->data.GetLength());
            if (item->data.GetLength() > 0) {
                std::copy(item->data.GetData(), item->data.GetData() + item->data.GetLength() * T::c_length,
                          buffer.GetData());
            }
            meta = item->meta;
        }
        return eSuccess;
    }

    // Caller holds m_openCloseMutex.
    void JoinThread()
    {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    // Drops the controller; a clone goes back to the source when it is alive.
    void DropController(const SourcePtr& source, bool ownCopy)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        PosControllerPtr controller = std::move(m_posController);
        m_posController.reset();
        lock.unlock();
        if (ownCopy && source && controller) {
            source->ReleasePositionControllerCopy(controller);
        }
    }

    // Undoes an open whose dispatching thread did not run.
    void FailOpen(const SourcePtr& source)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_isOpen = false;
        }
        DropController(source, true);
    }

    // Serialises Open and Close as a whole: the dispatching thread is started
    // and joined, and the controller taken and dropped, by one of them at a
    // time. Taken before m_mutex; the dispatching thread never takes it.
    std::mutex m_openCloseMutex;
    bool m_isOpen = false;
    mutable std::mutex m_mutex;
    std::weak_ptr<DodControllerInterface<T>> m_source;
    // Atomic: ForwardTo and the thread read it without the client mutex.
    std::atomic<AccessMode_e> m_mode{eAccessDefault};
    PosControllerPtr m_posController;
    std::size_t m_size = 0;
    long long m_offset = 0;
    // The last open or read, as the controller was asked it, for Explain.
    struct Asked {
        AccessMode_e mode = eAccessDefault;
        uint64_t time = 0;
        long long offset = 0;
        std::size_t count = 0;
    } m_asked;
    std::thread m_thread;
    std::condition_variable m_startCond;
    int m_startReport = c_notReported;
    std::mutex m_startMutex;
    std::condition_variable m_wake; // ends the thread's pause between refusals
    std::atomic<bool> m_running{false};
    std::atomic<int> m_threadResult{eNotOpen};
    WaitCancel m_waitCancel; // ends the waits of Read
};

// A client for a remote reader, made by a source's CreateClient and owned by
// the signal library from then on.
template <typename T, typename Source> SignalClientBase* NewHeapClient(Source& source, const std::string& name)
{
    std::unique_ptr<DodClient<T>> client(new DodClient<T>());
    *client = source.CreateClient(name);
    return client.release();
}

} // namespace qsig
