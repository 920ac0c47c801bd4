#include "platform/remote/remote_signal_session.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/remote/remote_limits.h"
#include "platform/remote/remote_sequence.h"

#include <omniORB4/callHandle.h>
#include <omniORB4/omniORB.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <list>
#include <sstream>
#include <system_error>
#include <vector>

namespace remote {

static_assert(qsig::eMetaOfferedAtom == zemtra_REMOTE::MetaOfferedAtom,
              "a stream client's number of the first atom is the remote interface's");
static_assert(qsig::eMetaSectionAtoms == zemtra_REMOTE::MetaSectionAtoms,
              "a section's atoms are the remote interface's entry");

namespace {

std::string CodeText(qsig::SuccessCode_e code)
{
    std::ostringstream os;
    os << code;
    return os.str();
}

} // namespace

RemoteReceiverRelay::RemoteReceiverRelay(q_NET::SignalReceiver_ptr target, std::size_t atomValues)
    : m_target(q_NET::SignalReceiver::_duplicate(target)), m_atomValues(atomValues)
{
    omniORB::setClientCallTimeout(m_target, RemoteSignalSession::c_callTimeoutMs);
}

CORBA::Boolean RemoteReceiverRelay::_dispatch(omniCallHandle& handle)
{
    return handle.connection() == nullptr && POA_q_NET::SignalReceiver::_dispatch(handle);
}

std::string RemoteReceiverRelay::Failure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

void RemoteReceiverRelay::Fail(const std::string& reason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failed.load()) {
        m_failure = reason;
        m_failed.store(true);
    }
}

std::chrono::steady_clock::time_point RemoteReceiverRelay::StalledAt() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stalled.load() ? m_stalledAt : std::chrono::steady_clock::time_point();
}

void RemoteReceiverRelay::Resume()
{
    m_stalled.store(false);
}

template <typename F> CORBA::Long RemoteReceiverRelay::Relay(F&& call)
{
    // Buffers that come while the receiver does not answer are dropped.
    if (m_failed.load() || m_stalled.load()) {
        return -1;
    }
    try {
        const CORBA::Long rc = call();
        m_forwarded.fetch_add(1);
        return rc;
    } catch (const CORBA::TIMEOUT&) {
        // The receiver may only be slow or paused: the session waits for it.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stalledAt = std::chrono::steady_clock::now();
        m_stalled.store(true);
    } catch (const CORBA::Exception& e) {
        // The receiver is gone or unreachable: this session is over.
        Fail(std::string("receiver not reachable (") + e._name() + ")");
    }
    return -1;
}

template <typename SEQ, typename SEND>
CORBA::Long RemoteReceiverRelay::RelayInPieces(const SEQ& values, const q_NET::MetaSeq& meta, SEND&& send)
{
    using Element = std::remove_const_t<std::remove_pointer_t<decltype(values.get_buffer())>>;
    CORBA::ULong piece = static_cast<CORBA::ULong>(c_maxChunkBytes / sizeof(Element));
    const bool wholeAtoms = m_atomValues > 0 && m_atomValues <= piece;
    if (wholeAtoms) {
        piece -= static_cast<CORBA::ULong>(piece % m_atomValues);
    }
    // A buffer in pieces: each piece numbers its own first atom, or none
    // does when the pieces are not whole atoms.
    CORBA::ULong number = meta.length(); // the number's entry (none)
    for (CORBA::ULong i = 0; values.length() > piece && i < meta.length(); ++i) {
        if (meta[i].id == zemtra_REMOTE::MetaOfferedAtom) {
            number = i;
            break;
        }
    }
    const bool renumbered = number < meta.length() && wholeAtoms;
    q_NET::MetaSeq pieceMeta;
    if (number < meta.length()) {
        SizeExactly(pieceMeta, meta.length() - (renumbered ? 0 : 1));
        CORBA::ULong j = 0;
        for (CORBA::ULong i = 0; i < meta.length(); ++i) {
            if (renumbered || i != number) {
                pieceMeta[j++] = meta[i];
            }
        }
    }
    const q_NET::MetaSeq& sent = number < meta.length() ? pieceMeta : meta;
    const CORBA::LongLong firstAtom = renumbered ? meta[number].value : 0;
    CORBA::Long rc = 0;
    CORBA::ULong first = 0;
    do {
        const CORBA::ULong n = std::min(piece, values.length() - first);
        if (renumbered) {
            pieceMeta[number].value = firstAtom + static_cast<CORBA::LongLong>(first / m_atomValues);
        }
        if (n == values.length()) {
            rc = Relay([&] { return send(values, sent); });
        } else {
            // A view of the caller's values: nothing is copied on the way.
            const SEQ part(n, const_cast<Element*>(values.get_buffer()) + first, false);
            rc = Relay([&] { return send(part, sent); });
        }
        if (rc != 0 && m_stalled.load() && m_await && m_await()) {
            // The same piece again, whether the receiver took it or not:
            // the number of its first atom tells the receiver.
            rc = 0;
            continue;
        }
        first += n;
    } while (first < values.length() && rc == 0);
    return rc;
}

bool RemoteReceiverRelay::Reach()
{
    std::string failure;
    if (remote::Reach(m_target.in(), failure)) {
        return true;
    }
    Fail("receiver not reachable (" + failure + ")");
    return false;
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
    Fail("receiver not reachable (" + failure + ")");
    return false;
}

CORBA::Long RemoteReceiverRelay::ReceiveShort(const char* name, const q_NET::ShortSeq& values,
                                              const q_NET::MetaSeq& meta)
{
    return RelayInPieces(values, meta, [&](const q_NET::ShortSeq& v, const q_NET::MetaSeq& m) {
        return m_target->ReceiveShort(name, v, m);
    });
}

CORBA::Long RemoteReceiverRelay::ReceiveLong(const char* name, const q_NET::LongSeq& values, const q_NET::MetaSeq& meta)
{
    return RelayInPieces(values, meta, [&](const q_NET::LongSeq& v, const q_NET::MetaSeq& m) {
        return m_target->ReceiveLong(name, v, m);
    });
}

CORBA::Long RemoteReceiverRelay::ReceiveDouble(const char* name, const q_NET::DoubleSeq& values,
                                               const q_NET::MetaSeq& meta)
{
    return RelayInPieces(values, meta, [&](const q_NET::DoubleSeq& v, const q_NET::MetaSeq& m) {
        return m_target->ReceiveDouble(name, v, m);
    });
}

CORBA::Long RemoteReceiverRelay::ReceiveULongLong(const char* name, const q_NET::ULongLongSeq& values,
                                                  const q_NET::MetaSeq& meta)
{
    return RelayInPieces(values, meta, [&](const q_NET::ULongLongSeq& v, const q_NET::MetaSeq& m) {
        return m_target->ReceiveULongLong(name, v, m);
    });
}

namespace {

std::string Seconds(std::chrono::steady_clock::duration d)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

} // namespace

RemoteSignalSession::RemoteSignalSession(std::uint64_t id, const std::string& path,
                                         std::unique_ptr<qsig::SignalClientBase> client,
                                         q_NET::SignalReceiver_ptr receiver, PortableServer::POA_ptr relayPoa,
                                         RemoteObject remote, std::size_t atomValues, RemoteProber* prober,
                                         std::chrono::milliseconds unreachableAfter)
    : m_id(id), m_path(path), m_remote(std::move(remote)), m_client(std::move(client)),
      m_relayPoa(PortableServer::POA::_duplicate(relayPoa)), m_relay(new RemoteReceiverRelay(receiver, atomValues)),
      m_prober(prober), m_unreachableAfter(unreachableAfter)
{
    if (m_client->SignalAccessType() == qsig::eAccessDataOnDemand) {
        // A buffer read ahead goes whole: the next may be long in coming.
        m_relay->RetryAfterStall([this] {
            std::string reason;
            if (AwaitReceiver(reason)) {
                return true;
            }
            if (!reason.empty()) {
                m_relay->Fail(reason);
            }
            return false;
        });
    }
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

std::string RemoteSignalSession::EndReason() const
{
    std::lock_guard<std::mutex> lock(m_reasonMutex);
    return m_endReason;
}

zemtra_REMOTE::ReadEnd RemoteSignalSession::EndCode() const
{
    std::lock_guard<std::mutex> lock(m_reasonMutex);
    return m_endCode;
}

bool RemoteSignalSession::AwaitReceiver(std::string& reason)
{
    const auto stalledAt = m_relay->StalledAt();
    std::unique_lock<std::mutex> lock(m_waitMutex);
    for (;;) {
        if (m_closing.load()) {
            return false;
        }
        if (m_relay->Failed()) {
            reason = m_relay->Failure();
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (Probed()) {
            const RemoteProber::Status status = m_prober->Probe(m_remote.target);
            if (status.state == RemoteProber::eObjectGone || status.state == RemoteProber::eClientGone) {
                reason = "receiver gone (" + status.reason + ")";
                return false;
            }
            if (status.answeredAt > stalledAt) {
                m_relay->Resume();
                return true;
            }
        } else if (now - stalledAt >= c_unprobedRetry) {
            m_relay->Resume();
            return true;
        }
        if (now - stalledAt >= m_unreachableAfter) {
            reason = "receiver not reachable for " + Seconds(now - stalledAt);
            return false;
        }
        // The answer of a receiver that runs on comes within milliseconds.
        m_closed.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_closing.load(); });
    }
}

void RemoteSignalSession::Forward()
{
    std::string reason;
    zemtra_REMOTE::ReadEnd end{};
    // Not on a connection to a client gone from the receiver's endpoint.
    if (!m_remote.inProcess && !m_relay->Reach()) {
        reason = m_relay->Failure();
    }
    while (reason.empty() && !m_closing.load()) {
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
            reason = m_relay->Failure();
            break;
        }
        if (m_relay->StalledAt() != std::chrono::steady_clock::time_point()) {
            if (AwaitReceiver(reason)) {
                continue;
            }
            break;
        }
        if (rc != qsig::eSuccess) {
            // With the client's words for it: what the reader is told.
            qsig::RefusalKind kind;
            const std::string words = m_client->Explain(rc, &kind);
            std::ostringstream os;
            os << "forwarding refused: " << rc << (words.empty() ? "" : ", " + words);
            reason = os.str();
            end.code = rc;
            end.past_the_end = kind.pastTheEnd;
            end.section_atoms = kind.sectionAtoms;
            break;
        }
        if (!m_client->IsOpen()) {
            reason = "client closed";
            break;
        }
    }
    if (!m_closing.load()) {
        qstd::LogWarning("Remote signal client " + std::to_string(m_id) + " of " + m_path + " ended: " + reason);
        {
            std::lock_guard<std::mutex> lock(m_reasonMutex);
            m_endReason = reason;
            m_endCode = end;
        }
        // Nobody forwards for this client any more; let its source go on without it.
        m_client->Close();
    }
    m_ended.store(true);
}

void RemoteSignalSession::ProbeReceiver()
{
    std::lock_guard<std::mutex> lock(m_closeMutex);
    if (m_isClosed || m_ended.load()) {
        return;
    }
    if (Probed()) {
        // Asks without waiting: the answer counts in a later round.
        const RemoteProber::Status status = m_prober->Probe(m_remote.target);
        const auto now = std::chrono::steady_clock::now();
        if (status.state == RemoteProber::eObjectGone || status.state == RemoteProber::eClientGone) {
            m_relay->Fail("receiver gone (" + status.reason + ")");
        } else if (status.Waiting() && now - status.waitingSince >= m_unreachableAfter) {
            m_relay->Fail("receiver not reachable for " + Seconds(now - status.waitingSince));
        } else {
            return;
        }
    } else if (m_relay->Probe()) {
        return;
    }
    // Wakes a forwarding call that waits for a buffer; the thread then
    // sees the failed relay and ends.
    m_client->Close();
}

void RemoteSignalSession::Close()
{
    std::lock_guard<std::mutex> lock(m_closeMutex);
    if (m_isClosed) {
        return;
    }
    m_isClosed = true;
    {
        std::lock_guard<std::mutex> wait(m_waitMutex);
        m_closing.store(true);
    }
    m_closed.notify_all();
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

OneShotRead::OneShotRead(std::string path, int mode, unsigned long count, long long offset, unsigned long long time)
    : m_path(std::move(path)), m_mode(mode), m_count(count), m_offset(offset), m_time(time)
{
    const std::string how = "qsig: Can't read signal " + m_path + " in access mode " + std::to_string(mode);
    if (mode == qsig::eAccessStreaming) {
        throw qstd::Exception(how + ": that mode reads ahead, forward it instead (OpenSignal)", true);
    }
    if (mode < qsig::eAccessDefault || mode > qsig::eAccessClone) {
        throw qstd::Exception(how + ": one-shot reads take access mode 10, 11, 12 or 14", true);
    }
    if (count == 0) {
        throw qstd::Exception("qsig: Can't read 0 atoms of signal " + m_path, true);
    }
}

OneShotRead::~OneShotRead()
{
    if (m_client) {
        m_client->Close();
    }
}

void OneShotRead::Prepare(qsig::SignalSource& source, const std::string& clientName)
{
    if (source.AccessType() != qsig::eAccessDataOnDemand) {
        throw qstd::Exception("qsig: Can't read stream " + m_path + " once: forward it instead (OpenSignal)", true);
    }
    const std::size_t atomSize = source.AtomSize();
    // In 64 bits, so that no count can wrap the product.
    const unsigned long long bytes = static_cast<unsigned long long>(m_count) * atomSize;
    if (bytes > c_maxChunkBytes) {
        throw qstd::Exception("qsig: Can't read " + std::to_string(m_count) + " atoms of signal " + m_path +
                                  " in one call: " + std::to_string(bytes) + " bytes (" + std::to_string(atomSize) +
                                  " per atom) exceed the bound of " + std::to_string(c_maxChunkBytes) +
                                  " bytes per call; read at most " + std::to_string(ChunkAtoms(atomSize)) +
                                  " atoms at a time",
                              true);
    }
    const std::type_info& base = source.BaseType();
    if (base != typeid(short) && base != typeid(int) && base != typeid(double) && base != typeid(unsigned long long)) {
        throw qstd::Exception("qsig: Can't read signal " + m_path + " remotely: no sequence for its base values", true);
    }
    m_baseType = &base;
    m_components = std::max<std::size_t>(source.Length(), 1);
    m_client.reset(source.NewSignalClient(clientName, static_cast<unsigned>(m_count)));
    if (!m_client) {
        throw qstd::Exception("qsig: Signal has no clients for remote readers: " + m_path, true);
    }
}

template <typename SEQ, typename BASE> void OneShotRead::ReadInto(SEQ& values, zemtra_REMOTE::SignalData& data)
{
    static_assert(sizeof(*values.get_buffer()) == sizeof(BASE), "the sequence holds the base values as they are");
    SizeExactly(values, static_cast<CORBA::ULong>(m_count * m_components));
    unsigned read = values.length();
    qsig::SignalMeta meta;
    const qsig::SuccessCode_e rc = m_client->Read(reinterpret_cast<BASE*>(values.get_buffer()), read, m_time, meta);
    if (rc != qsig::eSuccess) {
        throw Refusal("read", rc);
    }
    const CORBA::ULong atoms = static_cast<CORBA::ULong>(std::min<std::size_t>(read, values.length()) / m_components);
    values.length(static_cast<CORBA::ULong>(atoms * m_components));
    data.atoms = atoms;
    SizeExactly(data.meta, static_cast<CORBA::ULong>(meta.size()));
    CORBA::ULong i = 0;
    for (const auto& entry : meta) {
        data.meta[i].id = static_cast<CORBA::Long>(entry.first);
        data.meta[i].value = static_cast<CORBA::LongLong>(entry.second);
        ++i;
    }
}

zemtra_REMOTE::SignalData* OneShotRead::Run()
{
    const qsig::SuccessCode_e rc =
        m_client->Open(static_cast<qsig::AccessMode_e>(m_mode), static_cast<unsigned>(m_count), m_offset);
    if (rc != qsig::eSuccess) {
        throw Refusal("open", rc);
    }
    zemtra_REMOTE::SignalData_var data = new zemtra_REMOTE::SignalData;
    data->atoms = 0;
    if (*m_baseType == typeid(short)) {
        ReadInto<q_NET::ShortSeq, short>(data->short_values, data.inout());
    } else if (*m_baseType == typeid(int)) {
        ReadInto<q_NET::LongSeq, int>(data->long_values, data.inout());
    } else if (*m_baseType == typeid(double)) {
        ReadInto<q_NET::DoubleSeq, double>(data->double_values, data.inout());
    } else {
        ReadInto<q_NET::ULongLongSeq, unsigned long long>(data->ulonglong_values, data.inout());
    }
    m_client->Close();
    return data._retn();
}

ReadRefused OneShotRead::Refusal(const std::string& what, qsig::SuccessCode_e code) const
{
    const std::string message = "qsig: Can't " + what + " signal " + m_path + " in access mode " +
                                std::to_string(m_mode) + ": " + CodeText(code);
    qsig::RefusalKind kind;
    const std::string words = m_client->Explain(code, &kind);
    return ReadRefused(words.empty() ? message : message + ", " + words, code, kind);
}

void OneShotRead::Cancel()
{
    if (m_client) {
        m_client->Cancel();
    }
}

struct OneShotReads::Slot {
    std::thread thread;
    OneShotRead* read = nullptr; // while it may be cancelled
    bool ended = false;          // the thread touches the slot no more
};

struct OneShotReads::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t running = 0;
    bool cancelled = false;
    std::list<Slot> slots;
};

OneShotReads::OneShotReads(std::size_t max) : m_max(max), m_shared(std::make_shared<Shared>()) {}

OneShotReads::~OneShotReads()
{
    Cancel();
}

void OneShotReads::JoinEnded(Shared& shared, std::unique_lock<std::mutex>& lock)
{
    std::vector<std::thread> ended;
    for (auto it = shared.slots.begin(); it != shared.slots.end();) {
        if (it->ended) {
            ended.push_back(std::move(it->thread));
            it = shared.slots.erase(it);
        } else {
            ++it;
        }
    }
    if (ended.empty()) {
        return;
    }
    lock.unlock();
    for (auto& thread : ended) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    lock.lock();
}

zemtra_REMOTE::SignalData* OneShotReads::Run(std::unique_ptr<OneShotRead> read,
                                             std::chrono::steady_clock::duration wait,
                                             const std::function<bool()>& callerGone)
{
    const std::string how =
        "qsig: Can't read signal " + read->Path() + " in access mode " + std::to_string(read->Mode());
    // What the read's thread leaves for the request.
    struct Result {
        bool done = false;
        zemtra_REMOTE::SignalData_var data;
        std::exception_ptr error;
    };
    auto result = std::make_shared<Result>();
    const std::shared_ptr<Shared> shared = m_shared;
    std::unique_lock<std::mutex> lock(shared->mutex);
    JoinEnded(*shared, lock);
    if (shared->cancelled) {
        throw qstd::Exception(how + ": the server is shutting down", true);
    }
    if (shared->running >= m_max) {
        throw qstd::Exception(how + ": " + std::to_string(m_max) +
                                  " one-shot reads run already, the most this server runs at a time",
                              true);
    }
    shared->slots.emplace_back();
    Slot* slot = &shared->slots.back();
    slot->read = read.get();
    try {
        slot->thread = std::thread([shared, result, slot, read = std::move(read)]() mutable {
            zemtra_REMOTE::SignalData_var data;
            std::exception_ptr error;
            try {
                data = read->Run();
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                slot->read = nullptr; // no longer cancelled by Cancel
            }
            read.reset(); // the client is closed before the read stops counting
            std::lock_guard<std::mutex> lock(shared->mutex);
            result->data = data._retn();
            result->error = std::move(error); // the request alone lets go of it
            result->done = true;
            --shared->running;
            slot->ended = true;
            shared->changed.notify_all();
        });
    } catch (const std::system_error& e) {
        shared->slots.pop_back();
        throw qstd::Exception(how + ": can't start its thread: " + e.code().message(), true);
    }
    ++shared->running;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool gone = false;
    auto over = [&] { return result->done || shared->cancelled; };
    while (!over() && !gone && std::chrono::steady_clock::now() < deadline) {
        const auto next = callerGone ? std::min(deadline, std::chrono::steady_clock::now() + c_callerCheck) : deadline;
        if (!shared->changed.wait_until(lock, next, over) && callerGone) {
            lock.unlock();
            gone = callerGone();
            lock.lock();
        }
    }
    if (result->done && !result->error) {
        return result->data._retn();
    }
    // A read that Cancel ended fails for that reason, not for its code.
    if (shared->cancelled) {
        throw qstd::Exception(how + ": the server is shutting down", true);
    }
    if (result->done) {
        std::exception_ptr error = std::move(result->error);
        lock.unlock();
        std::rethrow_exception(error);
    }
    // Nobody waits for this read any more: its wait in the signal library
    // ends now, and its place is free once its thread has returned. The
    // slot stays in the list until its thread is joined.
    if (slot->read != nullptr) {
        slot->read->Cancel();
    }
    shared->changed.wait_for(lock, c_cancelWait, [&] { return result->done || shared->cancelled; });
    if (gone) {
        throw qstd::Exception(how + ": its caller has gone", true);
    }
    throw ReadRefused(how + ": " + CodeText(qsig::eTimeout) + ", no data within " +
                          std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) + " ms",
                      qsig::eTimeout);
}

void OneShotReads::Cancel()
{
    Shared& shared = *m_shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.cancelled = true;
    shared.changed.notify_all();
    for (Slot& slot : shared.slots) {
        if (slot.read != nullptr) {
            slot.read->Cancel();
        }
    }
    // Threads left to end by themselves before are not waited for again.
    const bool ended = shared.changed.wait_for(lock, c_cancelWait, [&] {
        return std::all_of(shared.slots.begin(), shared.slots.end(),
                           [](const Slot& slot) { return slot.ended || !slot.thread.joinable(); });
    });
    JoinEnded(shared, lock);
    if (ended) {
        return;
    }
    std::size_t left = 0;
    for (Slot& slot : shared.slots) {
        if (slot.thread.joinable()) {
            slot.thread.detach();
            ++left;
        }
    }
    if (left > 0) {
        qstd::LogWarning("Remote export: " + std::to_string(left) +
                         " one-shot reads still wait in the signal library; they end by themselves");
    }
}

std::size_t OneShotReads::Running() const
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->running;
}

} // namespace remote
