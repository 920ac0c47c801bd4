#include "platform/mci/remote_export.h"

#include "platform/mci/remote_registry.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <omniORB4/CORBA.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mci {

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

// Binds a socket to the address and port once and releases it, so that a
// failure is reported with the system's reason rather than the ORB's guess.
void CheckBindable(const std::string& host, unsigned short port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        throw qstd::Exception("Remote export: can't resolve address " + host + ": " + ::gai_strerror(rc), true);
    }
    std::string failure;
    for (addrinfo* a = found; a != nullptr && failure.empty(); a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            failure = std::string("socket: ") + std::strerror(errno);
            break;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0) {
            failure = std::strerror(errno);
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (!failure.empty()) {
        throw qstd::Exception("Remote export: can't bind " + host + " port " + service + ": " + failure, true);
    }
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
    CORBA::ORB_var orb;
    PortableServer::POA_var insPoa;  // fixed object key for corbaloc addresses
    PortableServer::POA_var rootPoa; // receiver relays
    PortableServer::ObjectId_var registryId;
};

RemoteExport::RemoteExport() = default;

RemoteExport::~RemoteExport()
{
    Stop();
}

void RemoteExport::Start(const TreeNodePtr& root, const std::string& bindAddress, unsigned short port,
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
    const BindAddress address = ResolveBindAddress(bindAddress);
    if (!address.loopback) {
        qstd::LogWarning("Remote export on " + bindAddress +
                         ", not a loopback address: remote clients can change the instrument without authentication.");
    }
    CheckBindable(address.host, port);
    const std::string endpoint = "giop:tcp:" + address.endpointHost + ":" + std::to_string(port);
    // The ORB's settings (omniORB parameter names): a bounded pool of request
    // threads instead of one thread per connection, idle connections closed,
    // messages bounded.
    const std::string threads = std::to_string(settings.serverThreads ? settings.serverThreads : 1);
    const std::string idle = std::to_string(settings.idleConnectionTimeout.count());
    const std::string idleThread = std::to_string(std::max<long long>(settings.idleThreadTimeout.count(), 1));
    const std::string maxMessage = std::to_string(settings.maxMessageSize);
    auto orb = std::make_unique<Orb>();
    try {
        const char* options[][2] = {{"endPoint", endpoint.c_str()},
                                    {"threadPerConnectionPolicy", "0"},
                                    {"maxServerThreadPoolSize", threads.c_str()},
                                    {"maxServerThreadPerConnection", "8"},
                                    {"idleThreadTimeout", idleThread.c_str()},
                                    {"inConScanPeriod", idle.c_str()},
                                    {"outConScanPeriod", idle.c_str()},
                                    {"scanGranularity", "1"},
                                    {"giopMaxMsgSize", maxMessage.c_str()},
                                    {nullptr, nullptr}};
        int argc = 0;
        char* argv[] = {nullptr};
        orb->orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
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
        if (!CORBA::is_nil(orb->orb)) {
            try {
                orb->orb->destroy();
            } catch (const CORBA::Exception&) {
            }
        }
        throw qstd::Exception("Remote export: can't serve on " + endpoint + ": " + e._name(), true);
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
    if (!m_registry->Drain(drainTimeout)) {
        qstd::LogWarning("Remote export: requests still running after the drain time-out");
    }
    m_registry->CloseAll();
    try {
        m_orb->insPoa->deactivate_object(m_orb->registryId);
        // Waits for every call still inside the ORB.
        m_orb->orb->shutdown(true);
        m_orb->orb->destroy();
    } catch (const CORBA::Exception& e) {
        qstd::LogWarning(std::string("Remote export: ORB shutdown failed: ") + e._name());
    }
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

} // namespace mci
