#include "platform/mci/remote_signal_session.h"

#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <omniORB4/omniORB.h>

#include <sstream>

namespace mci {

RemoteReceiverRelay::RemoteReceiverRelay(q_NET::SignalReceiver_ptr target)
    : m_target(q_NET::SignalReceiver::_duplicate(target))
{
    omniORB::setClientCallTimeout(m_target, RemoteSignalSession::c_callTimeoutMs);
}

std::string RemoteReceiverRelay::Failure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

template <typename F> CORBA::Long RemoteReceiverRelay::Relay(F&& call)
{
    if (m_failed.load()) {
        return -1;
    }
    try {
        const CORBA::Long rc = call();
        m_forwarded.fetch_add(1);
        return rc;
    } catch (const CORBA::Exception& e) {
        // The receiver is gone, unreachable or too slow: this session is over.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failure = e._name();
        m_failed.store(true);
    }
    return -1;
}

bool RemoteReceiverRelay::Probe()
{
    std::string failure;
    try {
        if (m_target->_non_existent()) {
            failure = "OBJECT_NOT_EXIST";
        }
    } catch (const CORBA::Exception& e) {
        failure = e._name();
    }
    if (failure.empty()) {
        return true;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failure = failure;
    m_failed.store(true);
    return false;
}

CORBA::Long RemoteReceiverRelay::ReceiveShort(const char* name, const q_NET::ShortSeq& values,
                                              const q_NET::MetaSeq& meta)
{
    return Relay([&] { return m_target->ReceiveShort(name, values, meta); });
}

CORBA::Long RemoteReceiverRelay::ReceiveLong(const char* name, const q_NET::LongSeq& values, const q_NET::MetaSeq& meta)
{
    return Relay([&] { return m_target->ReceiveLong(name, values, meta); });
}

CORBA::Long RemoteReceiverRelay::ReceiveDouble(const char* name, const q_NET::DoubleSeq& values,
                                               const q_NET::MetaSeq& meta)
{
    return Relay([&] { return m_target->ReceiveDouble(name, values, meta); });
}

CORBA::Long RemoteReceiverRelay::ReceiveULongLong(const char* name, const q_NET::ULongLongSeq& values,
                                                  const q_NET::MetaSeq& meta)
{
    return Relay([&] { return m_target->ReceiveULongLong(name, values, meta); });
}

RemoteSignalSession::RemoteSignalSession(std::uint64_t id, const std::string& path,
                                         std::unique_ptr<qsig::SignalClientBase> client,
                                         q_NET::SignalReceiver_ptr receiver, PortableServer::POA_ptr relayPoa,
                                         std::string clientKey)
    : m_id(id), m_path(path), m_clientKey(std::move(clientKey)), m_client(std::move(client)), m_relayPoa(PortableServer::POA::_duplicate(relayPoa)),
      m_relay(new RemoteReceiverRelay(receiver))
{
}

RemoteSignalSession::~RemoteSignalSession()
{
    Close();
}

void RemoteSignalSession::Start()
{
    m_relayId = m_relayPoa->activate_object(m_relay);
    CORBA::Object_var ref = m_relayPoa->id_to_reference(m_relayId);
    m_relayRef = q_NET::SignalReceiver::_narrow(ref);
    m_thread = std::thread(&RemoteSignalSession::Forward, this);
}

void RemoteSignalSession::Forward()
{
    std::string reason;
    while (!m_closing.load()) {
        qsig::SuccessCode_e rc = qsig::eSuccess;
        try {
            rc = m_client->ForwardTo(m_relayRef.in());
        } catch (const std::exception& e) {
            // A queue that its stream or source closed for good.
            reason = e.what();
            break;
        } catch (const CORBA::Exception& e) {
            reason = e._name();
            break;
        }
        if (m_relay->Failed()) {
            reason = "receiver not reachable (" + m_relay->Failure() + ")";
            break;
        }
        if (rc != qsig::eSuccess) {
            std::ostringstream os;
            os << "forwarding refused: " << rc;
            reason = os.str();
            break;
        }
        if (!m_client->IsOpen()) {
            reason = "client closed";
            break;
        }
    }
    if (!m_closing.load()) {
        qstd::LogWarning("Remote signal client " + std::to_string(m_id) + " of " + m_path + " ended: " + reason);
        // Nobody forwards for this client any more; let its source go on without it.
        m_client->Close();
    }
    m_ended.store(true);
}

void RemoteSignalSession::ProbeReceiver()
{
    std::lock_guard<std::mutex> lock(m_closeMutex);
    if (m_closed || m_ended.load() || m_relay->Probe()) {
        return;
    }
    // Wakes a forwarding call that waits for a buffer; the thread then
    // sees the failed relay and ends.
    m_client->Close();
}

void RemoteSignalSession::Close()
{
    std::lock_guard<std::mutex> lock(m_closeMutex);
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_closing.store(true);
    // Closing the client wakes a forwarding call that waits for a buffer.
    m_client->Close();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_client.reset();
    if (m_relayId.operator->() != nullptr) {
        try {
            m_relayPoa->deactivate_object(m_relayId);
        } catch (const CORBA::Exception& e) {
            QSTD_TRACE(1, "Remote signal client " << m_id << ": relay deactivation failed: " << e._name());
        }
    }
    m_relayRef = q_NET::SignalReceiver::_nil();
    // The POA deletes the relay once no call is inside it.
    m_relay->_remove_ref();
    m_relay = nullptr;
}

} // namespace mci
