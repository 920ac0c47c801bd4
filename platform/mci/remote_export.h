#pragma once
// mci::RemoteExport: serves the register tree and its signals to remote
// clients over CORBA (omniORB 4). Start brings up the ORB on one TCP
// endpoint and publishes the registry object under the fixed key
// c_objectKey, so clients reach it as "corbaloc::HOST:PORT/ZemtraRemote".
// Requests run on omniORB's threads and all go through mci::ClientAccess,
// so flags, validators and node locks apply as for local clients.
//
// Stop refuses every request that arrives from then on, waits until the
// requests in progress have returned, ends all signal forwarding and
// subscriptions and takes the ORB down. The destructor stops.

#include "platform/mci/remote_limits.h"
#include "platform/mci/remote_subscription.h"
#include "platform/mci/tree_node.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace mci {

class RemoteRegistry;

// How the ORB serves and what one client may hold. The ORB runs a
// bounded pool of request threads shared by all connections (not one
// thread per connection) and refuses GIOP messages longer than
// maxMessageSize.
struct RemoteExportSettings {
    unsigned serverThreads = 32;
    // Connections idle for this long are closed.
    std::chrono::seconds idleConnectionTimeout{60};
    // A request thread idle for this long leaves the pool.
    std::chrono::seconds idleThreadTimeout{10};
    unsigned long maxMessageSize = c_maxGiopMessageBytes;
    // A connection must send its first bytes within this time, and each
    // message must arrive whole within it (its first 8 KiB within it, and
    // the rest within it from then on), or the connection is dropped: a
    // client that sends part of a request holds a request thread no longer.
    std::chrono::milliseconds receiveTimeout{1500};
    // Connections whose message is still arriving, each holding a request
    // thread that waits for the rest: at most this many from one peer
    // address (any port) and from all, a quarter of the request threads in
    // all, so that requests that arrive whole always find threads. A
    // connection whose first message would be one more is refused at once.
    unsigned maxArrivingPerPeer = 4;
    unsigned maxArriving = 8;
    // Connections open at once that have sent something. A connection past
    // the bound makes room by closing the connection idle the longest (no
    // request in progress, nothing received), as the ORB closes idle
    // connections, so that idle clients never lock out a new one; when none
    // is idle, the new connection is refused. Idle connections take no
    // thread, only a descriptor and a few kilobytes.
    unsigned maxConnections = 256;
    // Requests whose arguments take largeRequestSize bytes or more (or
    // come in fragments) that are decoded at once. Decoded, arguments may
    // take ten times their size in memory (a list of one-character texts),
    // so that every request thread with a message of the largest size could
    // take gigabytes; two such requests take about 100 MB, which go back to
    // the system once they are over. A large request takes its place once
    // its bytes arrive at speed (a sender that trickles its bytes holds no
    // place; it is dropped after the receive time-out), and one that finds
    // every place taken waits its turn for at most largeRequestWait, then
    // is refused (NO_RESOURCES); at most maxLargeRequestsWaiting wait (each
    // holds a request thread: a quarter of them), more are refused at once.
    // The wait is longer than a place is held by a request whose rest stops
    // coming (the receive time-out), and well within a client's call
    // time-out (zemtra-tool's is 30 s).
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
    // bound, or the ORB cannot be brought up. A non-loopback address is
    // served with a warning: its clients can change the instrument without
    // authentication. Only one export can run in a process at a time: the
    // ORB is a process-wide object.
    void Start(const TreeNodePtr& root, const std::string& bindAddress = c_defaultBindAddress,
               unsigned short port = c_defaultPort, const Settings& settings = Settings());

    // Stops accepting requests, drains those in progress (waiting at most
    // drainTimeout; a request still running then is logged and the ORB's
    // own shutdown waits for it), ends forwarding and subscriptions and
    // shuts the ORB down. Safe to call when not running.
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

} // namespace mci
