#pragma once
// Remote subscriptions of node values.
//
// remote::RemoteSubscription: one remote subscriber of a node. The node's
// emissions arrive on the emitting thread, are turned into text there once
// for all the node's subscriptions (one registration with the node per
// path), and the value, shared and never changed, is queued for each (a
// bounded queue: when a slow subscriber lets it fill up, the oldest value
// is dropped and counted). A callback object that is gone ends the
// subscription.
//
// remote::RemoteSubscriptions: every subscription of the export. A pool of
// delivery threads, shared by all subscriptions, sends the queued values
// to the clients' callback objects, each subscription's values in order and
// never two of them at once, and one client's values on one thread at a
// time.
//
// A value goes to a remote client as a request of the two-way operation
// ValueChanged sent without a reply expected (GIOP allows it; the client's
// ORB then sends none), and only while the client's connection takes the
// bytes: the delivery thread hands them to the system and goes on, so that
// a client that stops answering (a frozen process, a tool suspended with
// Ctrl-Z) holds no thread and delays no other client. The alternatives
// weighed: a call that waits for its reply holds a thread for as long as
// the client takes, up to its time-out, and its time-out makes the ORB
// close the connection with the values still in it; the ORB's asynchronous
// calls (deferred requests, AMI) run the same waiting call on a thread of
// the ORB's; a pool that grows a thread per frozen client grows without
// bound. Values of a client that does not take them (its connection holds
// c_maxUnsent bytes it has not acknowledged, or it has not answered a
// liveness probe for c_unanswered) wait, and new values of the same
// elements replace the waiting ones, until it takes them again; then the
// latest go out. The requests of one connection reach the client in order;
// its ORB serves them in order when it serves one connection's requests one
// at a time (as zemtra-tool does). What waits for one client is bounded: a
// value counts once however many of its subscriptions it waits for, and a
// client whose waiting values would take more than
// Limits::waitingBytesPerClient, or whose values have waited for
// Limits::unreachableAfter (it answers probes but takes no value), has its
// subscriptions ended, with the reason IsServed gives.
//
// A liveness thread probes the callback objects periodically without
// waiting for the answers (remote::RemoteProber), so that subscriptions of a
// client that is gone end without waiting for a value to fail, and those of
// a client that has not answered for Limits::unreachableAfter end too.
// Callback objects in this process are asked directly. Subscriptions are
// bounded per client (the endpoint its callback objects live on) and in all.

#include "platform/mci/client_access.h"
#include "platform/mci/tree_node.h"
#include "platform/remote/remote_outgoing.h"
#include "platform/remote/remote_probe.h"

#include "zemtra_remote.hh"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace remote {

class RemoteSubscriptions;

// Texts of an emitted value: one element, or one per element of a vector.
// False when the value's type is not one the register library emits as a
// plain number, bool or string (an enum node's own enumeration type).
bool EmittedValueTexts(const qstd::Any& value, std::vector<std::string>& texts);

// Why recently ended subscriptions or signal sessions ended, for clients
// that ask: the last c_kept of them, and of a signal session that its signal
// ended how its read stood (RemoteSignalSession::EndCode).
class EndedRecord {
public:
    static constexpr std::size_t c_kept = 1024;
    void Add(std::uint64_t id, const std::string& reason, const zemtra_REMOTE::ReadEnd& end = {});
    bool Find(std::uint64_t id, std::string& reason, zemtra_REMOTE::ReadEnd* end = nullptr) const;

private:
    mutable std::mutex m_mutex;
    std::map<std::uint64_t, std::pair<std::string, zemtra_REMOTE::ReadEnd>> m_reasons;
    std::deque<std::uint64_t> m_order;
};

// Whether the subscription or signal session id among the live ones (by id;
// the caller holds their lock) is served: false when it is not among them,
// or ended (then reason says why, when that is known).
template <typename LIVE> bool Served(const LIVE& live, std::uint64_t id, std::string& reason)
{
    const auto it = live.find(id);
    if (it == live.end()) {
        return false;
    }
    if (it->second->HasEnded()) {
        reason = it->second->EndReason();
        return false;
    }
    return true;
}

// A value that a node emitted, as the clients get it: made once for all
// the node's subscriptions, shared by them and never changed.
struct RemoteValue {
    std::vector<std::string> texts;
    std::size_t position = 0;
    std::size_t count = 1; // elements emitted
    bool reread = false;   // read the node's text on delivery (enums, other types)
    std::size_t bytes = 0; // the memory it takes, about
};

// The values waiting for the subscriptions of one client, each counted once
// however many of them it waits for.
class WaitingValues {
public:
    // Counts the value once more.
    void Add(const RemoteValue& value);
    void Remove(const RemoteValue& value);
    std::size_t Bytes() const;

private:
    mutable std::mutex m_mutex;
    std::map<const RemoteValue*, std::size_t> m_uses;
    std::size_t m_bytes = 0;
};

class RemoteSubscription : public std::enable_shared_from_this<RemoteSubscription> {
public:
    static constexpr std::size_t c_maxQueued = 1024;
    static constexpr int c_enumValueType = 9;
    // Time the system may take to take a value for a remote client (and a
    // liveness probe that waits, of an object that the prober cannot ask)
    // before the client counts as stalled. A value goes out without waiting
    // while the client's connection takes it; this bounds a misjudged one.
    static constexpr unsigned c_sendTimeoutMs = 1000;

    // path: the client's dot-separated path; treePath: the same in the
    // tree; waiting: the values waiting for the client's subscriptions.
    RemoteSubscription(std::uint64_t id, const std::string& path, const std::string& treePath,
                       mci::ClientAccess& access, zemtra_REMOTE::ValueCallback_ptr callback, RemoteObject remote,
                       RemoteSubscriptions& hub, std::shared_ptr<WaitingValues> waiting);
    ~RemoteSubscription();
    RemoteSubscription(const RemoteSubscription&) = delete;
    RemoteSubscription& operator=(const RemoteSubscription&) = delete;

    // Subscribes to the node; raises as ClientAccess does for an unknown path.
    void Start();
    // Makes sure its values reach the callback's process (see remote::Reach);
    // false, with the reason, when it is gone.
    bool Reach(std::string& reason);
    // A value the node emitted (on the emitting thread). Dropped when the
    // values waiting for the client are past their bound already.
    void Offer(const std::shared_ptr<const RemoteValue>& value);
    // The values waiting for the client are past their bound.
    bool Overflowing() const;
    // Ends the subscription: no callback runs or is sent after it returns.
    void Close();
    // Ended because the callback object was unreachable or gone.
    bool HasEnded() const { return m_ended.load(); }
    bool IsClosed() const { return m_closedFlag.load(); }
    std::string EndReason() const;
    std::uint64_t Lost() const { return m_lost.load(); }
    std::uint64_t Id() const { return m_id; }
    const std::string& ClientKey() const { return m_remote.clientKey; }
    // The callback object's identity (see RemoteObject).
    const std::string& ObjectKey() const { return m_remote.objectKey; }
    const RemoteObject& Remote() const { return m_remote; }
    const std::string& Path() const { return m_path; }
    const std::string& TreePath() const { return m_treePath; }

    // Delivery pool: sends the oldest queued value. eHeld: the client does
    // not take values now (they wait, see RemoteSubscriptions::MaySend).
    enum Delivery_e { eDone, eMore, eHeld };
    Delivery_e DeliverOne();
    // Bytes the oldest queued value takes in a request, about.
    std::size_t NextBytes();
    // Liveness of an object that the prober cannot ask (in this process,
    // or without IIOP profile): asks whether it still exists.
    enum Liveness_e { eAlive, eObjectGone, eClientGone };
    Liveness_e Probe(std::string& reason);
    // Marks the subscription ended (it is reaped and closed by the owner).
    void End(const std::string& reason);

private:
    // A value waiting for this subscription, counted in its client's
    // waiting values for as long as it waits.
    class Item {
    public:
        Item() = default;
        Item(std::shared_ptr<const RemoteValue> value, std::shared_ptr<WaitingValues> waiting);
        ~Item();
        Item(Item&& other) noexcept;
        Item& operator=(Item&& other) noexcept;
        Item(const Item&) = delete;
        Item& operator=(const Item&) = delete;
        const RemoteValue& Value() const { return *m_value; }
        bool SameElements(const RemoteValue& value) const;

    private:
        std::shared_ptr<const RemoteValue> m_value;
        std::shared_ptr<WaitingValues> m_waiting;
    };
    static std::size_t Bytes(const std::string& path, const RemoteValue& value);

    const std::uint64_t m_id;
    const std::string m_path;
    const std::string m_treePath;
    mci::ClientAccess& m_access;
    zemtra_REMOTE::ValueCallback_var m_callback;
    const RemoteObject m_remote;
    RemoteSubscriptions& m_hub;
    const std::shared_ptr<WaitingValues> m_waiting;

    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    std::deque<Item> m_queue;
    bool m_stop = false;
    bool m_scheduled = false;  // queued in the pool's ready list, being delivered or held
    bool m_delivering = false; // a pool thread is inside DeliverOne
    std::string m_endReason;
    std::atomic<std::uint64_t> m_lost{0};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_closedFlag{false};
    std::mutex m_closeMutex;
    bool m_closed = false;
};

class RemoteSubscriptions {
public:
    struct Limits {
        std::size_t perClient = 1024;
        std::size_t total = 4096;
        std::chrono::milliseconds livenessPeriod{2000};
        // Subscriptions and signal sessions of a client that has not
        // answered a liveness probe for this long end: five minutes, long
        // enough for a tool suspended with Ctrl-Z to be continued, short
        // enough that a client that vanished from the network gives back
        // what it held.
        std::chrono::milliseconds unreachableAfter{300000};
        // Values waiting for one client's subscriptions take at most this
        // much memory (each counted once); a client whose values would take
        // more has its subscriptions ended. A client that keeps up holds
        // none, one that is slow the latest value of each node's elements.
        std::size_t waitingBytesPerClient = 16 << 20;
        // Signal sessions (each with a forwarding thread of its own, and a
        // reading thread for an on-demand signal), bounded alike.
        std::size_t sessionsPerClient = 32;
        std::size_t sessionsTotal = 64;
    };
    // Delivery threads shared by all subscriptions, kept while idle. A
    // value goes out without waiting for the client, so that threads are
    // busy for a callback in this process only (a function call); the pool
    // grows to at most c_maxDeliveryThreads while every thread is busy and
    // values of other clients wait, and a thread beyond c_deliveryThreads
    // leaves it once idle for c_idleThreadTimeout.
    static constexpr unsigned c_deliveryThreads = 4;
    static constexpr unsigned c_maxDeliveryThreads = 16;
    static constexpr std::chrono::milliseconds c_idleThreadTimeout{2000};
    // A delivery that has taken this long is stuck (see GrowIfNeeded).
    static constexpr std::chrono::milliseconds c_stuckDelivery{20};
    // A client whose call has been in progress this long is slow: new
    // values of its subscriptions replace the queued ones of the same elements.
    static constexpr std::chrono::milliseconds c_slowCall{250};
    // A remote client whose connection holds more than this many bytes it
    // has not acknowledged does not take values now (a healthy one takes
    // them as they come; a stopped one stops acknowledging once the system's
    // buffers on its side are full).
    static constexpr std::size_t c_maxUnsent = 64 * 1024;
    // A remote client whose liveness probe has waited this long for its
    // answer does not take values now (an answer comes within milliseconds).
    static constexpr std::chrono::milliseconds c_unanswered{1000};
    // How often the values of clients that did not take them are offered
    // again: the delay a client continued after a pause sees at most.
    static constexpr std::chrono::milliseconds c_heldCheck{50};

    // prober: probes the remote callback objects (outlives this).
    RemoteSubscriptions(mci::ClientAccess& access, const Limits& limits, RemoteProber& prober);
    ~RemoteSubscriptions();
    RemoteSubscriptions(const RemoteSubscriptions&) = delete;
    RemoteSubscriptions& operator=(const RemoteSubscriptions&) = delete;

    // Subscribes callback to the node; raises when the node is unknown or a
    // bound is reached. The threads start with the first subscription.
    void Add(std::uint64_t id, const std::string& path, const std::string& treePath,
             zemtra_REMOTE::ValueCallback_ptr callback);
    // False when there is no such subscription.
    bool Remove(std::uint64_t id);
    // Ends every subscription and the threads.
    void CloseAll();
    // Live subscriptions (ended ones are reaped first).
    std::size_t Count();
    // Whether the subscription is served; else why it ended ("" when the
    // server does not know of it).
    bool Status(std::uint64_t id, std::string& reason);

    // Also run by the liveness thread once a period (the registry probes
    // its signal sessions' receivers there); set before the threads start.
    void SetPeriodicProbe(std::function<void()> probe) { m_periodicProbe = std::move(probe); }
    // Starts the threads (delivery and liveness) if they are not running.
    void StartThreads();

    // Called by a subscription with values to deliver.
    void Schedule(const std::shared_ptr<RemoteSubscription>& subscription);
    // Whether the client's call has been in progress for c_slowCall or
    // longer, or it does not take values now.
    bool IsSlow(const std::string& clientKey);
    // Whether the subscription's client takes a value of about bytes now.
    bool MaySend(const RemoteSubscription& subscription, std::size_t bytes);
    // A value for the subscription's client could not be handed to the
    // system in time: its values wait until it answers a probe.
    void Stalled(const RemoteSubscription& subscription);
    // Called by a subscription that ended: the liveness thread reaps it now.
    void WakeLiveness();
    // Registers the subscription's node for its emissions, once per path,
    // and offers it each value from then on; raises for an unknown path.
    void Attach(const std::shared_ptr<RemoteSubscription>& subscription);
    // No value is offered to the subscription once this returns.
    void Detach(const RemoteSubscription& subscription);
    // The most bytes that the values waiting for one client take.
    std::size_t WaitingBound() const { return m_limits.waitingBytesPerClient; }
    // The values waiting for the client would take more than the bound:
    // the liveness thread ends its subscriptions.
    void Overflowing(const std::string& clientKey);

private:
    // The registration of one node, for all its subscriptions (defined in the source).
    struct Feed;

    // A client whose values wait.
    struct Held {
        std::vector<std::shared_ptr<RemoteSubscription>> waiting;
        bool held = false; // its subscriptions with values wait in waiting
        std::chrono::steady_clock::time_point heldSince{};
        // A value could not be sent in time then (the epoch: none).
        std::chrono::steady_clock::time_point stalledAt{};
    };

    void DeliveryLoop(unsigned slot);
    // Caller holds m_mutex: the first ready subscription of a client that
    // no delivery thread is calling, or m_ready.end().
    std::deque<std::shared_ptr<RemoteSubscription>>::iterator NextReady();
    // Caller holds m_mutex: adds a delivery thread when values of a client
    // wait while no thread is free and one is stuck, within the bound.
    void GrowIfNeeded();
    // Caller holds m_mutex: the subscription's values wait for their client.
    void Hold(const std::shared_ptr<RemoteSubscription>& subscription);
    // Caller holds m_mutex: to the ready list, or to the waiting ones of its client.
    void Enqueue(const std::shared_ptr<RemoteSubscription>& subscription);
    // Offers the values of held clients again.
    void ReleaseHeld();
    void LivenessLoop();
    void ProbeAll();
    void ReapEnded();
    // Ends every subscription of the client for the reason.
    void EndClient(const std::string& clientKey, const std::string& reason);
    // The values waiting for the client's subscriptions (made at its first).
    std::shared_ptr<WaitingValues> WaitingOf(const std::string& clientKey);

    mci::ClientAccess& m_access;
    const Limits m_limits;
    RemoteProber& m_prober;
    OutgoingConnections m_outgoing;
    EndedRecord m_ended;

    // m_subscriptions, m_ready, m_held, m_stop, threads. No subscription is
    // let go of under it: the last reference to one closes it, which takes
    // the lock of its node's feed, under which this one is taken (Feed::OnValue).
    std::mutex m_mutex;
    std::condition_variable m_readyChanged;
    std::condition_variable m_livenessWake;
    std::map<std::uint64_t, std::shared_ptr<RemoteSubscription>> m_subscriptions;
    std::deque<std::shared_ptr<RemoteSubscription>> m_ready;
    // Clients a delivery thread is calling, and since when.
    std::map<std::string, std::chrono::steady_clock::time_point> m_clientsInDelivery;
    std::map<std::string, Held> m_held;                            // by client
    std::map<std::string, std::weak_ptr<WaitingValues>> m_waiting; // by client
    std::vector<std::string> m_overflowing;                        // clients to end
    bool m_stop = false;
    bool m_livenessRequested = false;
    bool m_heldChanged = false;                        // a client's values began to wait
    std::map<unsigned, std::thread> m_deliveryThreads; // by slot
    std::vector<unsigned> m_leftSlots;                 // threads that left the pool, to join
    unsigned m_nextSlot = 0;
    unsigned m_idleThreads = 0;
    std::thread m_livenessThread;
    std::function<void()> m_periodicProbe;

    std::mutex m_feedsMutex;                              // before a feed's own
    std::map<std::string, std::shared_ptr<Feed>> m_feeds; // by tree path
};

} // namespace remote
