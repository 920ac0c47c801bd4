#pragma once
// Remote subscriptions of node values.
//
// mci::RemoteSubscription: one remote subscriber of a node. The node's
// emissions arrive on the emitting thread, are turned into text there and
// queued (a bounded queue: when a slow subscriber lets it fill up, the
// oldest value is dropped and counted). A callback object that cannot be
// reached ends the subscription.
//
// mci::RemoteSubscriptions: every subscription of the export. A pool of
// delivery threads, shared by all subscriptions, sends the queued values
// to the clients' callback objects, each subscription's values in order and
// never two of them at once, and one client's values on one thread at a
// time. A client that stops answering holds the thread of its call until
// the call times out; the pool grows by a thread while every thread is in
// a call and values of other clients wait, so that a frozen client does
// not delay the others (up to a bound of threads), and shrinks back once
// threads idle. While a client's call has been in progress for a while,
// new values of its subscriptions replace the queued ones of the same
// elements instead of queueing behind them. A liveness thread probes the
// callback objects periodically, so that subscriptions of a client that is
// gone end without waiting for a value to fail. Subscriptions are bounded
// per client (the endpoint its callback objects live on) and in all.

#include "platform/mci/client_access.h"
#include "platform/mci/tree_node.h"

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
#include <vector>

namespace mci {

class RemoteSubscriptions;

// Texts of an emitted value: one element, or one per element of a vector.
// False when the value's type is not one the register library emits as a
// plain number, bool or string (an enum node's own enumeration type).
bool EmittedValueTexts(const qstd::Any& value, std::vector<std::string>& texts);

// The client a callback object belongs to: "HOST:PORT" of the endpoint in
// its object reference (the first IIOP profile), else "(no IIOP endpoint)".
// objectKey, when given, receives the object's identity within the client
// ("HOST:PORT/" and its object key; empty when the reference has no IIOP
// profile).
std::string CallbackClientKey(CORBA::Object_ptr callback, std::string* objectKey = nullptr);

class RemoteSubscription : public std::enable_shared_from_this<RemoteSubscription> {
public:
    static constexpr std::size_t c_maxQueued = 1024;
    static constexpr int c_enumValueType = 9;
    // Time a callback (or a liveness probe) may take before the subscriber
    // counts as gone.
    static constexpr unsigned c_callTimeoutMs = 5000;

    // path: the client's dot-separated path; treePath: the same in the tree.
    RemoteSubscription(std::uint64_t id, const std::string& path, const std::string& treePath, ClientAccess& access,
                       zemtra_REMOTE::ValueCallback_ptr callback, std::string clientKey, std::string objectKey,
                       RemoteSubscriptions& hub);
    ~RemoteSubscription();
    RemoteSubscription(const RemoteSubscription&) = delete;
    RemoteSubscription& operator=(const RemoteSubscription&) = delete;

    // Subscribes to the node; raises as ClientAccess does for an unknown path.
    void Start();
    // Ends the subscription: no callback runs or is sent after it returns.
    void Close();
    // Ended because the callback object was unreachable or gone.
    bool HasEnded() const { return m_ended.load(); }
    std::uint64_t Lost() const { return m_lost.load(); }
    std::uint64_t Id() const { return m_id; }
    const std::string& ClientKey() const { return m_clientKey; }
    // The callback object's identity (see CallbackClientKey).
    const std::string& ObjectKey() const { return m_objectKey; }
    const std::string& Path() const { return m_path; }

    // Delivery pool: sends the oldest queued value; true when more wait.
    bool DeliverOne();
    // Liveness: asks the callback object whether it still exists.
    enum Liveness_e { eAlive, eObjectGone, eClientGone };
    Liveness_e Probe(std::string& reason);
    // Marks the subscription ended (it is reaped and closed by the owner).
    void End(const std::string& reason);

private:
    struct Item {
        std::vector<std::string> texts;
        size_t position = 0;
        bool reread = false; // read the node's text on delivery (enums, other types)
        size_t count = 1;    // elements emitted
    };
    void OnValue(const NotificationData& data);

    const std::uint64_t m_id;
    const std::string m_path;
    const std::string m_treePath;
    ClientAccess& m_access;
    zemtra_REMOTE::ValueCallback_var m_callback;
    const std::string m_clientKey;
    const std::string m_objectKey;
    RemoteSubscriptions& m_hub;
    NotificationClient m_notifications;

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::deque<Item> m_queue;
    bool m_stop = false;
    bool m_scheduled = false;  // queued in the pool's ready list or being delivered
    bool m_delivering = false; // a pool thread is inside DeliverOne
    std::atomic<std::uint64_t> m_lost{0};
    std::atomic<bool> m_ended{false};
    bool m_enum = false; // set before the first emission can arrive
    std::mutex m_closeMutex;
    bool m_closed = false;
};

class RemoteSubscriptions {
public:
    struct Limits {
        std::size_t perClient = 1024;
        std::size_t total = 4096;
        std::chrono::milliseconds livenessPeriod{2000};
        // Signal sessions (each with a forwarding thread of its own, and a
        // reading thread for an on-demand signal), bounded alike.
        std::size_t sessionsPerClient = 32;
        std::size_t sessionsTotal = 64;
    };
    // Delivery threads shared by all subscriptions, kept while idle. A
    // callback that hangs holds one for at most
    // RemoteSubscription::c_callTimeoutMs; the pool grows to at most
    // c_maxDeliveryThreads, and a thread beyond c_deliveryThreads leaves it
    // once idle for c_idleThreadTimeout.
    static constexpr unsigned c_deliveryThreads = 4;
    static constexpr unsigned c_maxDeliveryThreads = 16;
    static constexpr std::chrono::milliseconds c_idleThreadTimeout{2000};
    // A client whose call has been in progress this long is slow: new
    // values of its subscriptions replace the queued ones of the same elements.
    static constexpr std::chrono::milliseconds c_slowCall{250};

    RemoteSubscriptions(ClientAccess& access, const Limits& limits);
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

    // Also run by the liveness thread once a period (the registry probes
    // its signal sessions' receivers there); set before the threads start.
    void SetPeriodicProbe(std::function<void()> probe) { m_periodicProbe = std::move(probe); }
    // Starts the threads (delivery and liveness) if they are not running.
    void StartThreads();

    // Called by a subscription with values to deliver.
    void Schedule(const std::shared_ptr<RemoteSubscription>& subscription);
    // Whether the client's call has been in progress for c_slowCall or longer.
    bool IsSlow(const std::string& clientKey);
    // Called by a subscription that ended: the liveness thread reaps it now.
    void WakeLiveness();

private:
    void DeliveryLoop(unsigned slot);
    // Caller holds m_mutex: the first ready subscription of a client that
    // no delivery thread is calling, or m_ready.end().
    std::deque<std::shared_ptr<RemoteSubscription>>::iterator NextReady();
    // Caller holds m_mutex: adds a delivery thread when values of a client
    // wait while no thread is free, within the bound.
    void GrowIfNeeded();
    void LivenessLoop();
    void ProbeAll();
    void ReapEnded();

    ClientAccess& m_access;
    const Limits m_limits;

    std::mutex m_mutex; // m_subscriptions, m_ready, m_stop, threads
    std::condition_variable m_readyChanged;
    std::condition_variable m_livenessWake;
    std::map<std::uint64_t, std::shared_ptr<RemoteSubscription>> m_subscriptions;
    std::deque<std::shared_ptr<RemoteSubscription>> m_ready;
    // Clients a delivery thread is calling, and since when.
    std::map<std::string, std::chrono::steady_clock::time_point> m_clientsInDelivery;
    bool m_stop = false;
    bool m_livenessRequested = false;
    std::map<unsigned, std::thread> m_deliveryThreads; // by slot
    std::vector<unsigned> m_leftSlots;                 // threads that left the pool, to join
    unsigned m_nextSlot = 0;
    unsigned m_idleThreads = 0;
    std::thread m_livenessThread;
    std::function<void()> m_periodicProbe;
};

} // namespace mci
