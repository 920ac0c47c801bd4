#include "platform/remote/remote_export.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/remote/gate_channel.h"
#include "platform/remote/giop_gate.h"
#include "platform/remote/orb_transport.h"
#include "platform/remote/orb_version.h"
#include "platform/remote/remote_memory.h"
#include "platform/remote/remote_outgoing.h"
#include "platform/remote/remote_registry.h"

#include <omniORB4/CORBA.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace remote {

namespace {

bool IsLoopback(const sockaddr* address)
{
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) != 0;
    }
    return false;
}

// Every client connection takes a descriptor. At the soft limit, a flood of connections
// leaves clients waiting and the rest of the server without descriptors;
// the hard limit, often far above, gives room.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        const rlim_t soft = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            QSTD_TRACE(2, "Remote export: descriptor limit raised from " << soft << " to " << limit.rlim_cur);
        }
    }
}

// Gives back, every c_period, what large requests freed in the request
// threads' arenas (RemoteMemory::GiveBackFreed), from its start to its end.
class MemoryKeeper {
public:
    MemoryKeeper()
        : m_thread([this] {
              // The first look, before any client, is the base.
              RemoteMemory::GiveBackFreed();
              std::unique_lock<std::mutex> lock(m_mutex);
              while (!m_wake.wait_for(lock, c_period, [this] { return m_stop; })) {
                  lock.unlock();
                  RemoteMemory::GiveBackFreed();
                  lock.lock();
              }
          })
    {
    }

    ~MemoryKeeper()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    MemoryKeeper(const MemoryKeeper&) = delete;
    MemoryKeeper& operator=(const MemoryKeeper&) = delete;

private:
    static constexpr std::chrono::milliseconds c_period{250};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread; // last: it uses the members above
};

GiopGateSettings GateSettings(const RemoteExportSettings& settings)
{
    GiopGateSettings gate;
    gate.maxMessageSize = settings.maxMessageSize;
    gate.receiveTimeout = settings.receiveTimeout;
    gate.maxConnections = settings.maxConnections;
    gate.maxArrivingPerPeer = settings.maxArrivingPerPeer;
    gate.maxArrivingBytes = settings.maxArrivingBytes;
    gate.largeRequestSize = settings.largeRequestSize;
    gate.maxLargeRequests = settings.maxLargeRequests;
    gate.maxLargeRequestsWaiting = settings.maxLargeRequestsWaiting;
    gate.largeRequestWait = settings.largeRequestWait;
    return gate;
}

} // namespace

RemoteExport::BindAddress RemoteExport::ResolveBindAddress(const std::string& address)
{
    std::string host = address;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) {
        throw qstd::Exception("Remote export: empty bind address (give one, e.g. 127.0.0.1)", true);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        throw qstd::Exception("Remote export: can't resolve address " + address + ": " + ::gai_strerror(rc), true);
    }
    BindAddress result;
    result.loopback = true;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        result.loopback = result.loopback && IsLoopback(a->ai_addr);
    }
    ::freeaddrinfo(found);
    result.host = host;
    result.endpointHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return result;
}

struct RemoteExport::Orb {
    std::unique_ptr<MemoryKeeper> memory;
    std::unique_ptr<OrbGatePort> port;
    std::unique_ptr<GiopGate> gate;
    CORBA::ORB_var orb;
    PortableServer::POA_var insPoa;  // fixed object key for corbaloc addresses
    PortableServer::POA_var rootPoa; // receiver relays
    PortableServer::ObjectId_var registryId;

    // Shuts the ORB down: it finishes every call still inside it, writes
    // their replies and closes its connections. Then no client reaches it:
    // once the gate has passed on what the ORB wrote (or a while has
    // passed), the gate stops, and the ORB is destroyed.
    void TakeDown()
    {
        if (CORBA::is_nil(orb)) {
            return;
        }
        try {
            orb->shutdown(true);
        } catch (const CORBA::Exception& e) {
            qstd::LogWarning(std::string("Remote export: ORB shutdown failed: ") + e._name());
        }
        if (gate) {
            const auto end = std::chrono::steady_clock::now() + c_lastReplies;
            while (gate->ConnectionCount() > 0 && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(c_lastRepliesPoll);
            }
            gate->Stop();
        }
        try {
            orb->destroy();
        } catch (const CORBA::Exception& e) {
            qstd::LogWarning(std::string("Remote export: ORB destruction failed: ") + e._name());
        }
        orb = CORBA::ORB::_nil();
    }

    // How long the gate may take to pass the last replies on to clients
    // that read them, and how often it is looked at meanwhile.
    static constexpr std::chrono::seconds c_lastReplies{2};
    static constexpr std::chrono::milliseconds c_lastRepliesPoll{5};
};

RemoteExport::RemoteExport() = default;

RemoteExport::~RemoteExport()
{
    Stop();
}

void RemoteExport::Start(const mci::TreeNodePtr& root, const std::string& bindAddress, unsigned short port,
                         const Settings& settings)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_orb) {
        throw qstd::Exception("Remote export is already running", true);
    }
    if (port == 0) {
        throw qstd::Exception("Remote export: port 0 is not a port to serve on", true);
    }
    RequireBuiltOrbVersion();
    const BindAddress address = ResolveBindAddress(bindAddress);
    if (!address.loopback) {
        qstd::LogWarning("Remote export on " + bindAddress +
                         ", not a loopback address: remote clients can change the instrument without authentication.");
    }
    RaiseDescriptorLimit();
    auto orb = std::make_unique<Orb>();
    // The ORB serves one endpoint: the gate's port, through which the gate
    // hands it each client connection as a channel that carries only whole
    // messages (platform/remote/orb_transport.h). Its references name the
    // gate's TCP address. Messages come whole, so that bytes after a
    // request's arguments are skipped (strictIIOP 0) rather than closing
    // the connection. A bounded pool of request threads instead of one
    // thread per connection, idle connections closed.
    RegisterGateTransport();
    orb->port = std::make_unique<OrbGatePort>(address.endpointHost, port);
    const std::string endpoint = orb->port->EndpointUri();
    const std::string published = orb->port->TcpAddress();
    const std::string threads = std::to_string(settings.serverThreads ? settings.serverThreads : 1);
    const std::string idle = std::to_string(settings.idleConnectionTimeout.count());
    const std::string receive = std::to_string(std::max<long long>(settings.receiveTimeout.count(), 1));
    const std::string idleThread = std::to_string(std::max<long long>(settings.idleThreadTimeout.count(), 1));
    const std::string maxMessage = std::to_string(settings.maxMessageSize);
    try {
        const char* options[][2] = {{"endPoint", endpoint.c_str()},
                                    {"strictIIOP", "0"},
                                    {"threadPerConnectionPolicy", "0"},
                                    {"maxServerThreadPoolSize", threads.c_str()},
                                    {"maxServerThreadPerConnection", "8"},
                                    {"idleThreadTimeout", idleThread.c_str()},
                                    {"inConScanPeriod", idle.c_str()},
                                    {"outConScanPeriod", idle.c_str()},
                                    {"serverCallTimeOutPeriod", receive.c_str()},
                                    {"scanGranularity", "1"},
                                    {"giopMaxMsgSize", maxMessage.c_str()},
                                    {nullptr, nullptr}};
        int argc = 0;
        char* argv[] = {nullptr};
        orb->orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
        HoldOutgoingCalls();
        // The generated stubs make each interface's nil reference on first
        // use, checked without a lock: made here, before any request thread
        // runs, concurrent first requests only read them.
        zemtra_REMOTE::Registry::_nil();
        zemtra_REMOTE::ValueCallback::_nil();
        q_NET::SignalReceiver::_nil();
        CORBA::Object_var obj = orb->orb->resolve_initial_references("omniINSPOA");
        orb->insPoa = PortableServer::POA::_narrow(obj);
        obj = orb->orb->resolve_initial_references("RootPOA");
        orb->rootPoa = PortableServer::POA::_narrow(obj);

        orb->gate = std::make_unique<GiopGate>(GateSettings(settings),
                                               [port = orb->port.get()](const std::shared_ptr<GateChannel>& channel) {
                                                   OrbGatePort::Release release;
                                                   if (!port->Offer(channel, release)) {
                                                       return false;
                                                   }
                                                   channel->SetReleaseHandler(std::move(release));
                                                   return true;
                                               });
        auto* registry = new RemoteRegistry(root, orb->rootPoa.in(), settings.subscriptions);
        orb->registryId = PortableServer::string_to_ObjectId(c_objectKey);
        orb->insPoa->activate_object_with_id(orb->registryId, registry);
        // The POA holds the servant from now on.
        registry->_remove_ref();
        m_registry = registry;

        PortableServer::POAManager_var insManager = orb->insPoa->the_POAManager();
        insManager->activate();
        PortableServer::POAManager_var rootManager = orb->rootPoa->the_POAManager();
        rootManager->activate();
    } catch (const CORBA::Exception& e) {
        m_registry = nullptr;
        orb->TakeDown();
        throw qstd::Exception("Remote export: can't serve on " + published + ": " + e._name(), true);
    }
    orb->memory = std::make_unique<MemoryKeeper>();
    // The gate owns the TCP address: taken or foreign, it refuses to start.
    try {
        orb->gate->Start(address.host, port);
    } catch (const qstd::Exception&) {
        m_registry = nullptr;
        orb->TakeDown();
        throw;
    }
    m_orb = std::move(orb);
    m_uri = "corbaloc::" + address.endpointHost + ":" + std::to_string(port) + "/" + c_objectKey;
    qstd::LogInfo("Remote export serving on " + m_uri);
}

void RemoteExport::Stop(std::chrono::steady_clock::duration drainTimeout)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_orb) {
        return;
    }
    // Keep the servant alive while it drains and closes, whatever the POA does.
    m_registry->_add_ref();
    // While the requests in progress drain, and until the ORB is down, the
    // gate still relays: their replies reach their clients, and new
    // requests are told that the server is shutting down. The ORB never
    // goes down with a client still reaching it.
    if (!m_registry->Drain(drainTimeout)) {
        qstd::LogWarning("Remote export: requests still running after the drain time-out");
    }
    m_registry->CloseAll();
    try {
        m_orb->insPoa->deactivate_object(m_orb->registryId);
    } catch (const CORBA::Exception& e) {
        qstd::LogWarning(std::string("Remote export: can't deactivate the registry: ") + e._name());
    }
    m_orb->TakeDown();
    m_registry->_remove_ref();
    m_registry = nullptr;
    m_orb.reset();
    m_uri.clear();
    qstd::LogInfo("Remote export stopped");
}

bool RemoteExport::IsRunning() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<bool>(m_orb);
}

std::string RemoteExport::GetUri() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uri;
}

std::size_t RemoteExport::GetSignalSessionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry ? m_registry->GetSignalSessionCount() : 0;
}

std::size_t RemoteExport::GetSubscriptionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry ? m_registry->GetSubscriptionCount() : 0;
}

std::size_t RemoteExport::GetActiveRequestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry ? m_registry->GetActiveRequestCount() : 0;
}

} // namespace remote
