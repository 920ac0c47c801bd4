#pragma once
// remote::RemoteExport: serves the register tree and its signals to remote
// clients over CORBA (omniORB 4). Start brings up the gate (remote::GiopGate),
// which owns the TCP address and hands each client connection to the ORB
// as a channel of whole messages, and the ORB, which serves only the gate's
// endpoint (platform/remote/orb_transport.h) and publishes the TCP address: the
// registry object under the fixed key c_objectKey is reached as
// "corbaloc::HOST:PORT/ZemtraRemote", as if the ORB listened there.
// Requests run on omniORB's threads and all go through mci::ClientAccess,
// so flags, validators and node locks apply as for local clients.
//
// Stop refuses every request that arrives from then on, waits until the
// requests in progress have returned, ends all signal forwarding and
// subscriptions, shuts the ORB down (the gate still passes its last
// replies on), then stops the gate and destroys the ORB. The destructor
// stops.

#include "platform/mci/tree_node.h"
#include "platform/remote/giop_gate.h"
#include "platform/remote/remote_limits.h"
#include "platform/remote/remote_subscription.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace remote {

class RemoteRegistry;

// How the ORB serves and what one client may hold. The ORB runs a
// bounded pool of request threads shared by all connections (not one
// thread per connection); every bound on what arrives is the gate's.
struct RemoteExportSettings {
    unsigned serverThreads = 32;
    // Connections idle for this long are closed (by the ORB, which tells
    // the client through the gate).
    std::chrono::seconds idleConnectionTimeout{60};
    // A request thread idle for this long leaves the pool.
    std::chrono::seconds idleThreadTimeout{10};
    // Every GIOP message, either way, is at most this long.
    unsigned long maxMessageSize = c_maxGiopMessageBytes;
    // The gate's bounds (see platform/remote/giop_gate.h): a message must
    // arrive whole within receiveTimeout from its first byte; messages
    // still arriving, at most maxArrivingPerPeer from one peer address (any
    // port), holding at most maxArrivingBytes in all; at most
    // maxConnections served, one more closing the connection idle the
    // longest (and as many of clients gone with replies owed); large requests (largeRequestSize or more, or fragmented)
    // handed to the ORB maxLargeRequests at a time, one more waiting its
    // turn for at most largeRequestWait (at most maxLargeRequestsWaiting
    // wait), then refused (NO_RESOURCES). Decoded, arguments may take ten
    // times their size (a list of one-character texts): two requests of
    // the largest size take about 100 MB, which go back once they are over.
    std::chrono::milliseconds receiveTimeout{1500};
    unsigned maxArrivingPerPeer = GiopGateSettings::c_maxArrivingPerPeer;
    std::size_t maxArrivingBytes = GiopGateSettings::c_maxArrivingBytes;
    unsigned maxConnections = GiopGateSettings::c_maxConnections;
    unsigned long largeRequestSize = 64ul << 10;
    unsigned maxLargeRequests = 2;
    unsigned maxLargeRequestsWaiting = 8;
    std::chrono::milliseconds largeRequestWait{5000};
    RemoteSubscriptions::Limits subscriptions;
};

class RemoteExport {
public:
    // The fixed default endpoint: loopback only, port 18150.
    static constexpr unsigned short c_defaultPort = 18150;
    static constexpr const char* c_defaultBindAddress = "127.0.0.1";
    static constexpr const char* c_objectKey = "ZemtraRemote";

    using Settings = RemoteExportSettings;

    // An address to bind, as ORB endpoints write it ("[::1]" for IPv6),
    // and whether every address it names is a loopback one. Raises a
    // qstd::Exception for an empty address or one that does not resolve.
    struct BindAddress {
        std::string host; // without brackets
        std::string endpointHost;
        bool loopback = false;
    };
    static BindAddress ResolveBindAddress(const std::string& address);

    RemoteExport();
    ~RemoteExport();
    RemoteExport(const RemoteExport&) = delete;
    RemoteExport& operator=(const RemoteExport&) = delete;

    // Serves the tree below root on bindAddress:port (an IPv6 address with
    // or without brackets). Raises a qstd::Exception, with the reason, when
    // the export is already running, the address is refused or cannot be
    // bound, or the ORB or its private folder cannot be brought up. A non-loopback address is
    // served with a warning: its clients can change the instrument without
    // authentication. Only one export can run in a process at a time: the
    // ORB is a process-wide object.
    void Start(const mci::TreeNodePtr& root, const std::string& bindAddress = c_defaultBindAddress,
               unsigned short port = c_defaultPort, const Settings& settings = Settings());

    // Stops accepting requests, drains those in progress (waiting at most
    // drainTimeout; a request still running then is logged and the ORB's
    // own shutdown waits for it), ends forwarding and subscriptions, shuts
    // the ORB down, stops the gate (every client connection closed) and
    // destroys the ORB. Safe to call when not running.
    void Stop(std::chrono::steady_clock::duration drainTimeout = std::chrono::seconds(10));

    bool IsRunning() const;
    // "corbaloc::ADDRESS:PORT/ZemtraRemote" while running, else empty.
    std::string GetUri() const;

    // Bookkeeping of remote clients, for diagnostics and tests. Sessions
    // that ended by themselves (vanished receiver or callback, source gone)
    // are reaped before counting.
    std::size_t GetSignalSessionCount() const;
    std::size_t GetSubscriptionCount() const;
    // Requests being served right now.
    std::size_t GetActiveRequestCount() const;

private:
    struct Orb;

    mutable std::mutex m_mutex;
    std::unique_ptr<Orb> m_orb;
    RemoteRegistry* m_registry = nullptr; // owned by the POA once activated
    std::string m_uri;
};

} // namespace remote
