#pragma once
// remote::RemoteRegistry: the servant of the remote registry interface. Each
// request is admitted by the request gate, translated from a dot-separated
// path into a tree path and served through mci::ClientAccess; a failure of
// any kind becomes a RemoteError carrying the server's message, for that
// client alone. It also keeps the open signal sessions and subscriptions of
// remote clients.

#include "platform/mci/client_access.h"
#include "platform/qstd/exception.h"
#include "platform/remote/remote_probe.h"
#include "platform/remote/remote_request_gate.h"
#include "platform/remote/remote_signal_session.h"
#include "platform/remote/remote_subscription.h"

#include "zemtra_remote.hh"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qreg {
class SignalNode;
}

namespace remote {

// Tree path ("a/b/c") of a dot-separated client path ("a.b.c").
std::string TreePathOf(const std::string& dottedPath);

// Reads the values of a write (SetInteger: LongLongSeq, SetDouble:
// DoubleSeq) from a request into a buffer of their count (the ORB's own
// decoding gives the sequence the buffer of its bound: 8 MiB). A count past
// the bound, or past what the rest of the message holds, raises MARSHAL
// before anything is sized by it.
template <typename SEQ> void ReadWriteValues(cdrStream& stream, SEQ& values);

class RemoteRegistry : public POA_zemtra_REMOTE::Registry {
public:
    // relayPoa hosts the per-session receiver relays (a POA with
    // system-assigned ids); limits bound the subscriptions.
    RemoteRegistry(mci::TreeNodePtr root, PortableServer::POA_ptr relayPoa,
                   const RemoteSubscriptions::Limits& limits = RemoteSubscriptions::Limits());
    ~RemoteRegistry() override;

    zemtra_REMOTE::NodeInfoSeq* List(const char* path) override;
    zemtra_REMOTE::NodeInfo* Describe(const char* path) override;

    zemtra_REMOTE::StringSeq* GetText(const char* path, CORBA::ULong position, CORBA::ULong count) override;
    zemtra_REMOTE::LongLongSeq* GetInteger(const char* path, CORBA::ULong position, CORBA::ULong count) override;
    q_NET::DoubleSeq* GetDouble(const char* path, CORBA::ULong position, CORBA::ULong count) override;

    void SetText(const char* path, CORBA::ULong position, const zemtra_REMOTE::StringSeq& values) override;
    void SetInteger(const char* path, CORBA::ULong position, const zemtra_REMOTE::LongLongSeq& values) override;
    void SetDouble(const char* path, CORBA::ULong position, const q_NET::DoubleSeq& values) override;

    void Execute(const char* path) override;

    CORBA::ULongLong Subscribe(const char* path, zemtra_REMOTE::ValueCallback_ptr callback) override;
    void Unsubscribe(CORBA::ULongLong id) override;

    zemtra_REMOTE::SignalInfo* GetSignal(const char* path) override;
    CORBA::ULongLong OpenSignal(const char* path, q_NET::SignalReceiver_ptr receiver, CORBA::Long mode,
                                CORBA::ULong count, CORBA::LongLong offset) override;
    void CloseSignal(CORBA::ULongLong id) override;
    zemtra_REMOTE::SignalData* ReadSignal(const char* path, CORBA::Long mode, CORBA::ULong count,
                                          CORBA::LongLong offset, CORBA::ULongLong time, CORBA::ULong waitMs) override;
    zemtra_REMOTE::SignalData* ReadSignalCoded(const char* path, CORBA::Long mode, CORBA::ULong count,
                                               CORBA::LongLong offset, CORBA::ULongLong time,
                                               CORBA::ULong waitMs) override;
    CORBA::Boolean IsServed(CORBA::ULongLong id, CORBA::String_out reason) override;
    zemtra_REMOTE::IdState IsServedCoded(CORBA::ULongLong id, CORBA::String_out reason,
                                         zemtra_REMOTE::ReadEnd& end) override;

    // Serves one request, knowing on this thread the connection it came
    // by (for ReadSignal, whose caller may go away while it waits). The
    // values of SetInteger and SetDouble are decoded here (ReadWriteValues).
    CORBA::Boolean _dispatch(omniCallHandle& handle) override;

    // Refuses new requests, ends the waits of one-shot reads and waits for
    // the requests in progress; false when some were still running at the
    // time-out.
    bool Drain(std::chrono::steady_clock::duration timeout);
    // Ends every signal session and subscription.
    void CloseAll();

    // Sessions and subscriptions still alive (ended ones are reaped first).
    std::size_t GetSignalSessionCount();
    std::size_t GetSubscriptionCount();
    std::size_t GetActiveRequestCount() const { return m_gate.Active(); }

private:
    // Runs one request: admission, translation of failures into RemoteError
    // (coded: into ReadRefusal, with how a refused read stands).
    template <typename F> auto Serve(const char* path, F&& body, bool coded = false) -> decltype(body());
    // The one-shot read of ReadSignal and ReadSignalCoded.
    zemtra_REMOTE::SignalData* ReadOnce(const char* path, CORBA::Long mode, CORBA::ULong count, CORBA::LongLong offset,
                                        CORBA::ULongLong time, CORBA::ULong waitMs);
    // What the export knows of the subscription or signal session id: why
    // it ended, how the read of an ended signal session stood.
    zemtra_REMOTE::IdState StateOf(std::uint64_t id, std::string& why, zemtra_REMOTE::ReadEnd& end);
    // An enum node's refusal of the value in words that name the values it
    // takes; and of count values, more than it holds (raised only for a
    // writable enum node: another keeps the range check's words).
    qstd::Exception EnumRefusal(const std::string& path, const std::string& value) const;
    void RefuseTooManyForEnum(const std::string& path, CORBA::ULong count) const;

    zemtra_REMOTE::NodeInfo DescribeNode(const mci::TreeNodePtr& node) const;
    // The signal node at the path, or a signal sibling of the same name.
    qreg::SignalNode& FindSignal(const std::string& treePath) const;
    size_t CountFrom(const std::string& treePath, CORBA::ULong position, CORBA::ULong count) const;
    void ReapEnded();
    // Caller holds m_sessionsMutex: why one more session of the client is
    // refused, or "".
    std::string SessionRefusal(const std::string& clientKey) const;
    // Probes the receivers of the open signal sessions (liveness thread).
    void ProbeSessions();

    mci::ClientAccess m_access;
    mci::TreeNodePtr m_root;
    PortableServer::POA_var m_relayPoa;
    RemoteRequestGate m_gate;
    // Names of the signal clients of remote readers ("remote_N").
    std::atomic<std::uint64_t> m_nextName{1};
    // Probes the callback and receiver objects of the clients.
    RemoteProber m_prober;

    const std::size_t m_sessionsPerClient;
    const std::size_t m_sessionsTotal;
    const std::chrono::milliseconds m_unreachableAfter;
    std::mutex m_sessionsMutex;
    std::map<std::uint64_t, std::shared_ptr<RemoteSignalSession>> m_sessions;
    EndedRecord m_endedSessions;
    RemoteSubscriptions m_subscriptions;
    OneShotReads m_reads;
};

} // namespace remote
