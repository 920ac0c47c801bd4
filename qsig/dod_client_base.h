#pragma once
// Base of the on-demand clients: the client's traits and its queue of 64
// buffers, and the answers of a client that serves nothing.

#include "platform/qsig/signal_client_base.h"
#include "platform/qstd/trace.h"
#include "qsig/stream_queue.h"

#include <string>

namespace qsig {

template <typename T> class DodClientBase : public SignalClientBase {
public:
    using Buffer = Array<T>;
    static constexpr unsigned c_queueLength = 64;

    DodClientBase(const std::string& name, const T& traits) : m_traits(traits), m_queue(m_traits, name, c_queueLength)
    {
        QSTD_TRACE(2, "Dod client, atom components: " << T::c_length);
    }
    ~DodClientBase() override = default;

    SuccessCode_e Open(AccessMode_e, unsigned, long long) override { return eDerivedError; }
    void Close() override {}
    bool IsOpen() const override { return false; }
    SignalAccessType_e SignalAccessType() const override { return eAccessDataOnDemand; }
    std::string GetName() const override { return m_queue.GetName(); }
    SuccessCode_e ForwardTo(q_NET::_objref_SignalReceiver*) override { return eDerivedError; }

    const T& GetTraits() const { return m_traits; }
    // Buffers read ahead and not yet taken (access mode 13).
    std::size_t GetQueuedCount() const { return m_queue.GetQueuedCount(); }
    typename StreamQueue<T>::Counters GetQueueCounters() const { return m_queue.GetCounters(); }

protected:
    // A client made without a source (placeholder before an assignment).
    explicit DodClientBase(const T& traits) : m_traits(traits), m_queue(m_traits, "unusable DOD client", c_queueLength)
    {
    }

    T m_traits;
    StreamQueue<T> m_queue;
};

} // namespace qsig
