#pragma once
// remote::RemoteSignalSession: one remote client of a signal. It owns the
// signal client that the source made for the remote reader and a thread
// that has the client forward its buffers, again and again, to a relay
// servant of this process; the relay passes each buffer on to the remote
// receiver and notes when that receiver cannot be reached. The session ends
// by itself when the receiver is gone or has not answered for long, or the
// client can forward no more (its source gone or cancelled); Close ends it
// on request.
//
// A receiver that is slow to answer a call (a frozen process, a tool
// suspended with Ctrl-Z) does not end the session: the forwarding waits,
// while the source drops or ends what the client does not take, until the
// receiver answers a liveness probe again (remote::RemoteProber), and goes on
// then. The calls wait for their replies (one buffer at a time, so that a
// receiver is never sent more than it takes): the thread they hold is the
// session's own. A stream's buffer whose call timed out is dropped with
// the rest of it (its next buffer's number tells the hole); one read ahead
// on demand goes on from the piece that timed out, since its next buffer
// may be long in coming (a post-mortem capture's comes with the next
// capture): that piece may reach the receiver twice, numbered alike.
//
// OneShotRead serves the one-shot reads of on-demand signals: a client
// opened, read once and closed within one request; OneShotReads runs them
// and bounds how many run and how long a request waits for one.

#include "platform/qsig/signal_client_base.h"
#include "platform/qsig/signal_source.h"
#include "platform/qstd/exception.h"
#include "platform/remote/remote_outgoing.h"
#include "platform/remote/remote_probe.h"

#include "q_net.hh"
#include "zemtra_remote.hh"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace remote {

// Passes buffers on to one remote receiver. A buffer larger than
// c_maxChunkBytes goes on in pieces of whole atoms (atomValues base values
// each; 0: unknown) of at most that size, each with the buffer's metadata.
// After the first failed call it refuses every further buffer (answers -1)
// and reports Failed. A call that times out stalls it instead: it refuses
// buffers until Resume; given a wait for the receiver (RetryAfterStall), it
// sends that piece again once the wait ends with the receiver there, and
// goes on with the rest of its buffer.
//
// A stream's client numbers the first atom of each buffer it forwards among
// the atoms its queue was offered (zemtra_REMOTE::MetaOfferedAtom): each
// piece carries the number of its own first atom, so that the receiver sees
// what was dropped and where, also what this relay dropped while its
// receiver did not answer. Pieces whose atoms it cannot tell (atomValues
// unknown) go without the number.
class RemoteReceiverRelay : public POA_q_NET::SignalReceiver {
public:
    explicit RemoteReceiverRelay(q_NET::SignalReceiver_ptr target, std::size_t atomValues = 0);

    CORBA::Long ReceiveShort(const char* name, const q_NET::ShortSeq& values, const q_NET::MetaSeq& meta) override;
    CORBA::Long ReceiveLong(const char* name, const q_NET::LongSeq& values, const q_NET::MetaSeq& meta) override;
    CORBA::Long ReceiveDouble(const char* name, const q_NET::DoubleSeq& values, const q_NET::MetaSeq& meta) override;
    CORBA::Long ReceiveULongLong(const char* name, const q_NET::ULongLongSeq& values,
                                 const q_NET::MetaSeq& meta) override;

    // Buffers come from the signal client of this process: a call from
    // another process finds no operation (it would pass buffers on to the
    // receiver of another client, each decoded into the buffer of its
    // sequence's bound).
    CORBA::Boolean _dispatch(omniCallHandle& handle) override;

    bool Failed() const { return m_failed.load(); }
    // Before the first buffer: makes sure the calls reach the receiver's
    // process (see remote::Reach); fails the relay, false, when it is gone.
    bool Reach();
    // Asks the receiver whether it still exists; a receiver that is gone
    // or unreachable fails the relay as a failed call would. False then.
    bool Probe();
    // Fails the relay for the reason.
    void Fail(const std::string& reason);
    // Why it failed ("receiver not reachable (TRANSIENT)").
    std::string Failure() const;
    std::uint64_t Forwarded() const { return m_forwarded.load(); }
    // A call timed out at the returned time; the epoch when not stalled.
    std::chrono::steady_clock::time_point StalledAt() const;
    void Resume();
    // A piece whose call timed out goes again when await (which waits for
    // the receiver: true once it answers and the relay resumed) answers
    // true, rather than be dropped with the rest of its buffer. Set before
    // the first buffer.
    void RetryAfterStall(std::function<bool()> await) { m_await = std::move(await); }

private:
    template <typename F> CORBA::Long Relay(F&& call);
    // Relays values and their metadata in pieces of at most c_maxChunkBytes.
    template <typename SEQ, typename SEND>
    CORBA::Long RelayInPieces(const SEQ& values, const q_NET::MetaSeq& meta, SEND&& send);

    q_NET::SignalReceiver_var m_target;
    const std::size_t m_atomValues;
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_stalled{false};
    std::atomic<std::uint64_t> m_forwarded{0};
    std::function<bool()> m_await;
    mutable std::mutex m_mutex;
    std::string m_failure;
    std::chrono::steady_clock::time_point m_stalledAt{};
};

class RemoteSignalSession {
public:
    // Time a call to a remote receiver may take before it counts as stalled.
    static constexpr unsigned c_callTimeoutMs = 5000;
    // A stalled receiver that cannot be probed (no IIOP profile) is called
    // again after this long.
    static constexpr std::chrono::milliseconds c_unprobedRetry{1000};

    // client: open, owned by the session from now on; remote: the receiver
    // as its reference gives it (RemoteObjectOf), with the remote client it
    // belongs to; atomValues: base
    // values per atom of the signal (0: unknown), by which larger buffers are
    // split; prober: probes the receiver (may be null: then it is asked
    // directly), outlives the session; unreachableAfter: a receiver that has
    // not answered for this long ends the session.
    RemoteSignalSession(std::uint64_t id, const std::string& path, std::unique_ptr<qsig::SignalClientBase> client,
                        q_NET::SignalReceiver_ptr receiver, PortableServer::POA_ptr relayPoa, RemoteObject remote,
                        std::size_t atomValues = 0, RemoteProber* prober = nullptr,
                        std::chrono::milliseconds unreachableAfter = std::chrono::minutes(5));
    ~RemoteSignalSession();
    RemoteSignalSession(const RemoteSignalSession&) = delete;
    RemoteSignalSession& operator=(const RemoteSignalSession&) = delete;

    // Activates the relay and starts forwarding.
    void Start();
    // Closes the client, joins the thread, deactivates the relay. Idempotent.
    void Close();
    // The forwarding thread has ended by itself.
    bool HasEnded() const { return m_ended.load(); }
    // Why it ended by itself.
    std::string EndReason() const;
    // When its signal ended it: the code and how its read stood (else code 0).
    zemtra_REMOTE::ReadEnd EndCode() const;
    // Liveness: a session whose receiver is gone, or has not answered for
    // unreachableAfter, ends (its forwarding may wait for data that never
    // comes, and so never find out by itself).
    void ProbeReceiver();

    std::uint64_t GetId() const { return m_id; }
    const std::string& GetPath() const { return m_path; }
    const std::string& GetClientKey() const { return m_remote.clientKey; }

private:
    void Forward();
    // After a call timed out: waits until the receiver answers a probe
    // (true) or is gone, has not answered for too long, or the session
    // closes (false; reason says why, empty when closed).
    bool AwaitReceiver(std::string& reason);
    // Whether the prober asks the receiver (else it is asked directly).
    bool Probed() const { return m_prober != nullptr && !m_remote.inProcess && m_remote.target.Valid(); }

    const std::uint64_t m_id;
    const std::string m_path;
    const RemoteObject m_remote;
    std::unique_ptr<qsig::SignalClientBase> m_client;
    PortableServer::POA_var m_relayPoa;
    RemoteReceiverRelay* m_relay; // reference held by the session until Close
    PortableServer::ObjectId_var m_relayId;
    q_NET::SignalReceiver_var m_relayRef;
    RemoteProber* const m_prober;
    const std::chrono::milliseconds m_unreachableAfter;
    std::thread m_thread;
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_ended{false};
    std::mutex m_waitMutex; // with m_closed: ends a wait for the receiver
    std::condition_variable m_closed;
    mutable std::mutex m_reasonMutex;
    std::string m_endReason;
    zemtra_REMOTE::ReadEnd m_endCode{};
    std::mutex m_closeMutex;
    bool m_isClosed = false;
};

// A one-shot read that the signal library refused: the library's code and
// how the read stands, as the client tells it, beside the words.
class ReadRefused : public qstd::Exception {
public:
    ReadRefused(const std::string& message, qsig::SuccessCode_e code, const qsig::RefusalKind& kind = {})
        : qstd::Exception(message), m_code(code), m_kind(kind)
    {
    }
    qsig::SuccessCode_e Code() const { return m_code; }
    const qsig::RefusalKind& Kind() const { return m_kind; }

private:
    qsig::SuccessCode_e m_code;
    qsig::RefusalKind m_kind;
};

// One read of an on-demand signal for a remote client: a client opened in
// mode (10, 11, 12 or 14) with count and offset, read once at time and
// closed. path names the signal in messages. Every refusal raises a
// qstd::Exception with the reason: a stream, another mode, a count of 0 or
// of more than c_maxChunkBytes, a base type without a sequence, and, as
// ReadRefused, every code of the open or the read other than 0 (with the
// client's words for it). A read may give fewer atoms than asked, or none:
// the signal holds no more there.
class OneShotRead {
public:
    OneShotRead(std::string path, int mode, unsigned long count, long long offset, unsigned long long time);
    ~OneShotRead();
    OneShotRead(const OneShotRead&) = delete;
    OneShotRead& operator=(const OneShotRead&) = delete;

    // Checks the request against the source and makes the client named
    // clientName; called while the source cannot be withdrawn.
    void Prepare(qsig::SignalSource& source, const std::string& clientName);
    // Opens, reads and closes the client; called without holding the
    // source, since a read may wait for its data.
    zemtra_REMOTE::SignalData* Run();
    // Ends a wait of Run for data from another thread (after Prepare).
    void Cancel();
    const std::string& Path() const { return m_path; }
    int Mode() const { return m_mode; }

private:
    template <typename SEQ, typename BASE> void ReadInto(SEQ& values, zemtra_REMOTE::SignalData& data);
    // The refusal of an open or read ("open", "read"): the code, and what
    // it means for the signal when the client says so.
    ReadRefused Refusal(const std::string& what, qsig::SuccessCode_e code) const;

    const std::string m_path;
    const int m_mode;
    const unsigned long m_count;
    const long long m_offset;
    const unsigned long long m_time;
    std::size_t m_components = 0;
    const std::type_info* m_baseType = nullptr;
    std::unique_ptr<qsig::SignalClientBase> m_client;
};

// The one-shot reads of one export. Each read runs on a thread of its own,
// so that the request that waits for it can give up: at its caller's
// time-out, when its caller has gone (its connection closed), or at once
// when the export stops (Cancel). A read given up is cancelled with it, so
// that its wait in the signal library ends too; until its thread has
// returned it counts: at most max reads run at a time, so that reads
// waiting for data hold no more than that many request threads and the
// other requests are still served. Cancel also ends the reads themselves
// and joins their threads, so that none touches a source after it.
class OneShotReads {
public:
    // Longest wait of Cancel, and of a request that gave up its read, for
    // the reads to end; a read the signal library does not let go of by
    // then is left to end by itself (logged by Cancel).
    static constexpr std::chrono::milliseconds c_cancelWait{1000};
    // How often a request that waits for its read asks whether its caller
    // is still there: a caller that went away frees its read within this.
    static constexpr std::chrono::milliseconds c_callerCheck{100};

    explicit OneShotReads(std::size_t max);
    ~OneShotReads();
    OneShotReads(const OneShotReads&) = delete;
    OneShotReads& operator=(const OneShotReads&) = delete;

    // Runs the prepared read and returns its values, or raises what it
    // raised; raises a qstd::Exception when max reads run already, when
    // wait passes first (a ReadRefused of -3, timeout), when callerGone (asked every
    // c_callerCheck; none: never) answers true, or when cancelled. A read
    // given up is cancelled and waited for (at most c_cancelWait).
    zemtra_REMOTE::SignalData* Run(std::unique_ptr<OneShotRead> read, std::chrono::steady_clock::duration wait,
                                   const std::function<bool()>& callerGone = {});
    // Ends every wait of Run now and refuses later reads; then cancels the
    // running reads and joins their threads (waiting at most c_cancelWait).
    void Cancel();
    // Reads still running, given up ones included.
    std::size_t Running() const;

private:
    struct Shared;
    struct Slot;
    // Joins the threads of the reads that have ended; called with lock held.
    static void JoinEnded(Shared& shared, std::unique_lock<std::mutex>& lock);
    const std::size_t m_max;
    std::shared_ptr<Shared> m_shared;
};

} // namespace remote
