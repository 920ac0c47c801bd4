#include "platform/mci/remote_export.h"

#include "platform/mci/remote_memory.h"
#include "platform/mci/remote_registry.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>
// The connection objects of the ORB, for the socket of an accepted connection.
#include <omniORB4/internal/SocketCollection.h>
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/omniTransport.h>
// Needs the stream classes above.
#include <omniORB4/internal/GIOP_S.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

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

// Every connection takes a descriptor. At the soft limit, a flood of
// connections leaves the ORB's accept loop spinning, clients waiting for
// seconds and the rest of the server without descriptors; the hard limit,
// often far above, gives room.
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

// The socket of a connection the ORB accepted (its TCP connections keep it
// in their socket holder part), or -1.
struct SocketOf : omni::SocketHolder {
    static int Get(omni::giopConnection* connection)
    {
        auto* holder = dynamic_cast<omni::SocketHolder*>(connection);
        return holder ? static_cast<int>(holder->*(&SocketOf::pd_socket)) : -1;
    }
};

// A connection of the ORB's, known by its object, its socket and its
// peer's address and port: once the ORB released it, another connection
// may get the same object and descriptor, but hardly from the same port
// too. Nothing is done to a connection by it but comparing.
struct ConnectionId {
    const void* connection = nullptr;
    int fd = -1;
    std::string peer; // "giop:tcp:HOST:PORT"

    static ConnectionId Of(omni::giopConnection* connection)
    {
        const char* peer = connection->peeraddress();
        return ConnectionId{connection, SocketOf::Get(connection), peer ? peer : ""};
    }

    bool operator<(const ConnectionId& other) const
    {
        return std::tie(connection, fd, peer) < std::tie(other.connection, other.fd, other.peer);
    }
};

// The connections the ORB holds from clients. The caller holds the ORB's
// transport lock, under which the ORB adds and releases its connections.
template <typename VISIT> void ForEachConnection(VISIT&& visit)
{
    for (omni::StrandList* p = omni::giopStrand::passive.next; p != &omni::giopStrand::passive; p = p->next) {
        visit(static_cast<omni::giopStrand&>(static_cast<omni::Strand&>(*p)));
    }
}

// The number of the request a request stream last read (the ORB keeps it
// to itself).
struct RequestIdOf : omni::giopStream {
    static CORBA::ULong Get(omni::GIOP_S& request)
    {
        CORBA::ULong (omni::giopStream::*get)() const = &RequestIdOf::requestId;
        omni::giopStream& stream = request;
        return (stream.*get)();
    }
};

// The bound of large requests (below): forgets the requests of connections
// the ORB no longer holds, and gives their memory back once they are over.
void KeepLargeRequestsOf(const std::set<ConnectionId>& open);
void GiveBackLargeRequestMemory();

// Judges every connection the ORB accepts (an interceptor of the ORB's,
// which runs when the connection's first bytes arrive). It refuses a
// connection past the bound of its peer address or of all, and one whose first
// message claims more bytes than the message bound: the ORB itself looks
// at the size only once the first 8 KiB of a message are in.
//
// The ORB tells nobody when a connection closes; the guard keeps each
// connection's socket, and its watch thread forgets those the ORB no longer
// holds (looked up in the ORB's own list) a few times a second.
//
// The ORB waits for the first 8 KiB of a message (or all of a shorter one)
// without a time-out, on a request thread, and for a connection's first
// bytes forever; a time-out of its own covers only the rest of a message.
// A watch thread of the guard looks at the ORB's incoming connections a
// few times a second and shuts down one that sent nothing, or whose
// message has not come whole that far, within the receive time-out. A
// connection idle between messages is left to the ORB, which closes it
// after the idle time-out: clients with a call time-out fail the first call
// on a connection that the server closed while it was idle.
class ConnectionGuard {
public:
    static ConnectionGuard& Instance()
    {
        static ConnectionGuard guard;
        return guard;
    }

    void Arm(const RemoteExportSettings& settings)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = true;
        m_maxPerPeer = std::max(settings.maxConnectionsPerPeer, 1u);
        m_maxTotal = std::max(settings.maxConnections, 1u);
        m_maxMessageSize = settings.maxMessageSize;
        m_receiveTimeout = settings.receiveTimeout;
        m_connections.clear();
        m_watching = true;
        m_watch = std::thread(&ConnectionGuard::Watch, this);
    }

    // Ends the watch thread: before the ORB shuts down.
    void StopWatch()
    {
        std::thread watch;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_watching = false;
            watch.swap(m_watch);
        }
        m_wake.notify_all();
        if (watch.joinable()) {
            watch.join();
        }
    }

    void Disarm()
    {
        StopWatch();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = false;
        m_connections.clear();
    }

    static CORBA::Boolean OnAccept(omni::omniInterceptors::serverAcceptConnection_T::info_T& info)
    {
        Instance().Judge(info.strand.connection, info.peeraddress());
        return 1;
    }

private:
    struct Connection {
        ConnectionId id;
        std::string peer; // the address without the port
    };

    // The body size a GIOP header claims.
    static std::uint32_t ClaimedSize(const unsigned char (&header)[12])
    {
        const bool littleEndian = (header[6] & 1) != 0; // byte order bit of every GIOP version
        std::uint32_t size = 0;
        for (int i = 0; i < 4; ++i) {
            size |= static_cast<std::uint32_t>(header[littleEndian ? 8 + i : 11 - i]) << (8 * i);
        }
        return size;
    }

    // The body size a complete GIOP header at the start of the socket's
    // input claims (read without taking it), or 0.
    static std::uint32_t ClaimedSize(int fd)
    {
        unsigned char header[12];
        if (::recv(fd, header, sizeof(header), MSG_PEEK | MSG_DONTWAIT) != static_cast<ssize_t>(sizeof(header)) ||
            std::memcmp(header, "GIOP", 4) != 0) {
            return 0;
        }
        return ClaimedSize(header);
    }

    // Refuses the connection by shutting its socket down: the ORB's read
    // of it ends and the ORB closes it as one its client closed. (The
    // ORB's own way, rejecting it from the interceptor, leaves the ORB's
    // bookkeeping of a connection that its client closes meanwhile broken
    // at shutdown.) The close resets the connection, so that a client
    // still sending learns it at once instead of waiting for a window
    // that never opens.
    static void Refuse(int fd, const char* peerAddress, const std::string& why)
    {
        QSTD_TRACE(2, "Remote export: connection from " << peerAddress << " refused: " << why);
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        ::shutdown(fd, SHUT_RDWR);
    }

    void Judge(omni::giopConnection* connection, const char* peerAddress)
    {
        const ConnectionId id = ConnectionId::Of(connection);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_armed || id.fd < 0) {
            return;
        }
        // "giop:tcp:HOST:PORT": the address without the port.
        const std::string peer = id.peer.substr(0, id.peer.rfind(':'));
        const auto ofPeer = [&] {
            return static_cast<std::size_t>(std::count_if(m_connections.begin(), m_connections.end(),
                                                          [&](const Connection& c) { return c.peer == peer; }));
        };
        // The watch thread forgets closed connections a few times a
        // second; at a bound, they are forgotten now.
        if (ofPeer() >= m_maxPerPeer || m_connections.size() >= m_maxTotal) {
            omni_tracedmutex_lock transport(*omni::omniTransportLock);
            ForgetClosed();
        }
        if (ofPeer() >= m_maxPerPeer) {
            return Refuse(id.fd, peerAddress, std::to_string(m_maxPerPeer) + " connections of its address are open");
        }
        if (m_connections.size() >= m_maxTotal) {
            return Refuse(id.fd, peerAddress, std::to_string(m_maxTotal) + " connections are open");
        }
        if (ClaimedSize(id.fd) > m_maxMessageSize) {
            return Refuse(id.fd, peerAddress, "message longer than the bound");
        }
        m_connections.push_back(Connection{id, peer});
    }

    // Caller holds m_mutex and the ORB's transport lock: keeps the
    // connections the ORB holds (one pass over the ORB's, which are many
    // when they come in a flood).
    void ForgetClosed()
    {
        std::map<std::pair<const void*, int>, const char*> open; // peer of the ORB's connections
        ForEachConnection([&](omni::giopStrand& strand) {
            open.emplace(std::make_pair(static_cast<const void*>(strand.connection), SocketOf::Get(strand.connection)),
                         strand.connection->peeraddress());
        });
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [&](const Connection& c) {
                                               const auto it = open.find(std::make_pair(c.id.connection, c.id.fd));
                                               return it == open.end() || it->second == nullptr ||
                                                      c.id.peer != it->second;
                                           }),
                            m_connections.end());
    }

    // A connection that is late: one that has sent nothing yet, or one of
    // its request streams that waits for a message (by the number of the
    // request it read before).
    using Late = std::tuple<ConnectionId, const void*, CORBA::ULong>;

    void Watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_watching) {
            m_wake.wait_for(
                lock, std::clamp<std::chrono::milliseconds>(m_receiveTimeout / 4, c_minWatchPeriod, c_watchPeriod));
            if (m_watching) {
                DropLate();
                lock.unlock();
                GiveBackLargeRequestMemory();
                lock.lock();
            }
        }
    }

    // What waits in a socket that no request thread reads.
    enum class Input { None, Message, Part };

    static Input Waiting(int fd)
    {
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0 || available <= 0) {
            return Input::None;
        }
        unsigned char header[12];
        const ssize_t n = ::recv(fd, header, sizeof(header), MSG_PEEK | MSG_DONTWAIT);
        if (n > 0 && std::memcmp(header, "GIOP", std::min<std::size_t>(static_cast<std::size_t>(n), 4)) != 0) {
            return Input::Message; // not a message at all: the ORB drops it at once
        }
        if (n < static_cast<ssize_t>(sizeof(header))) {
            return Input::Part;
        }
        // A whole message, or as much of a long one as the ORB reads at
        // first: a request thread reads it without waiting.
        const std::uint64_t whole = std::min<std::uint64_t>(sizeof(header) + ClaimedSize(header), c_firstRead);
        return static_cast<std::uint64_t>(available) >= whole ? Input::Message : Input::Part;
    }

    // Caller holds m_mutex, while watching (before the ORB shuts down and
    // releases its connections without the transport lock).
    void DropLate()
    {
        const auto now = std::chrono::steady_clock::now();
        std::map<Late, std::chrono::steady_clock::time_point> waiting;
        const auto late = [&](const Late& key) {
            const auto it = m_waiting.find(key);
            return now - (waiting[key] = it != m_waiting.end() ? it->second : now) >= m_receiveTimeout;
        };
        std::set<ConnectionId> judged;
        for (const Connection& c : m_connections) {
            judged.insert(c.id);
        }
        std::set<ConnectionId> open;
        {
            // Under the ORB's transport lock: no socket looked at is closed meanwhile.
            omni_tracedmutex_lock transport(*omni::omniTransportLock);
            ForEachConnection([&](omni::giopStrand& strand) {
                const ConnectionId socket = ConnectionId::Of(strand.connection);
                if (socket.fd < 0) {
                    return;
                }
                open.insert(socket);
                // A request thread that waits for the start of a message.
                bool reading = false;
                for (omni::giopStreamList* q = strand.servers.next; q != &strand.servers; q = q->next) {
                    auto& request = static_cast<omni::GIOP_S&>(*q);
                    if (request.state() == omni::IOP_S::WaitForRequestHeader) {
                        reading = true;
                        if (late(Late{socket, &request, RequestIdOf::Get(request)})) {
                            Refuse(socket.fd, strand.connection->peeraddress(), "message not whole in time");
                        }
                    }
                }
                if (reading) {
                    return;
                }
                // Else a whole message that waits for a request thread, or a
                // connection idle between messages, is fine.
                const Input input = Waiting(socket.fd);
                if (input == Input::Message || (input == Input::None && judged.count(socket) != 0)) {
                    return;
                }
                if (late(Late{socket, nullptr, 0})) {
                    Refuse(socket.fd, strand.connection->peeraddress(),
                           input == Input::None ? "no request in time" : "message not whole in time");
                }
            });
            // Still under the lock: no connection that is not listed sends a
            // request meanwhile.
            KeepLargeRequestsOf(open);
        }
        m_waiting.swap(waiting);
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [&](const Connection& c) { return open.count(c.id) == 0; }),
                            m_connections.end());
    }

    static constexpr std::chrono::milliseconds c_minWatchPeriod{10};
    static constexpr std::chrono::milliseconds c_watchPeriod{250};
    static constexpr std::uint64_t c_firstRead = 8192;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_armed = false;
    bool m_watching = false;
    std::size_t m_maxPerPeer = 1;
    std::size_t m_maxTotal = 1;
    unsigned long m_maxMessageSize = 0;
    std::chrono::milliseconds m_receiveTimeout{1};
    std::vector<Connection> m_connections;
    std::map<Late, std::chrono::steady_clock::time_point> m_waiting; // late since
    std::thread m_watch;
};

// Bounds the large requests served at once, from the decoding of their
// arguments to their reply (interceptors of the ORB's, which run once a
// request's header is in and as its reply goes out). A request past the
// bound is refused before its arguments are decoded; the ORB skips them.
// A request that ends without a reply (its client stalled or went away)
// leaves the bound with its connection, which the ORB closes then. What
// large requests took goes back to the system when the next one comes and
// once they are over.
class LargeRequests {
public:
    static LargeRequests& Instance()
    {
        static LargeRequests bound;
        return bound;
    }

    void Arm(const RemoteExportSettings& settings)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = true;
        m_largeSize = std::max(settings.largeRequestSize, 1ul);
        m_maxAtOnce = settings.maxLargeRequests;
        m_served.clear();
    }

    void Disarm()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = false;
        m_served.clear();
    }

    static CORBA::Boolean OnRequest(omni::omniInterceptors::serverReceiveRequest_T::info_T& info)
    {
        Instance().Enter(info.giop_s);
        return 1;
    }

    static CORBA::Boolean OnReply(omni::omniInterceptors::serverSendReply_T::info_T&)
    {
        Instance().Leave();
        return 1;
    }

    static CORBA::Boolean OnException(omni::omniInterceptors::serverSendException_T::info_T&)
    {
        Instance().Leave();
        return 1;
    }

private:
    struct Served {
        std::thread::id thread;
        ConnectionId connection;
    };

    void Enter(omni::GIOP_S& request)
    {
        // A thread serves one request at a time: its last one is done.
        Leave();
        // The stream answers whether that many bytes are left in the
        // message (of a message in fragments, yes until the last is in).
        const auto largeSize = static_cast<CORBA::ULong>(std::min(m_largeSize.load(), 0xfffffffful));
        if (!request.checkInputOverrun(1, largeSize)) {
            return;
        }
        const ConnectionId connection = ConnectionId::Of(request.strand().connection);
        bool admitted = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_armed) {
                return;
            }
            admitted = m_served.size() < m_maxAtOnce;
            if (admitted) {
                m_served.push_back(Served{std::this_thread::get_id(), connection});
                t_serving = true;
            }
        }
        if (!admitted) {
            QSTD_TRACE(2, "Remote export: large request " << request.operation() << " refused: " << m_maxAtOnce
                                                          << " are served");
            RemoteMemory::SkipRestOfRequest(request);
            throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
        }
        // What earlier large requests took stays with the threads that
        // decoded them (each allocates from an arena of its own, which keeps
        // freed memory): up to the largest request for every request
        // thread. It goes back to the system before this one takes more.
        ::malloc_trim(0);
    }

public:
    // Forgets the requests of connections the ORB no longer holds.
    void KeepOpen(const std::set<ConnectionId>& open)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_served.erase(std::remove_if(m_served.begin(), m_served.end(),
                                      [&](const Served& s) { return open.count(s.connection) == 0; }),
                       m_served.end());
    }

    // Gives back what the last large requests took, once they are over
    // (their arguments are freed after their reply).
    void GiveBackMemory()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_memoryHeld || !m_served.empty() || std::chrono::steady_clock::now() - m_lastLeft < c_settle) {
                return;
            }
            m_memoryHeld = false;
        }
        ::malloc_trim(0);
    }

private:
    void Leave()
    {
        if (!t_serving) {
            return;
        }
        t_serving = false;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_served.erase(std::remove_if(m_served.begin(), m_served.end(),
                                      [](const Served& s) { return s.thread == std::this_thread::get_id(); }),
                       m_served.end());
        m_memoryHeld = true;
        m_lastLeft = std::chrono::steady_clock::now();
    }

    static constexpr std::chrono::milliseconds c_settle{100};

    static thread_local bool t_serving; // this thread serves a large request

    std::mutex m_mutex;
    bool m_armed = false;
    std::atomic<unsigned long> m_largeSize{1};
    unsigned m_maxAtOnce = 0;
    std::vector<Served> m_served;
    bool m_memoryHeld = false; // large requests ended since memory was last given back
    std::chrono::steady_clock::time_point m_lastLeft;
};

thread_local bool LargeRequests::t_serving = false;

void KeepLargeRequestsOf(const std::set<ConnectionId>& open)
{
    LargeRequests::Instance().KeepOpen(open);
}

void GiveBackLargeRequestMemory()
{
    LargeRequests::Instance().GiveBackMemory();
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
    bool guarded = false; // the interceptors judge connections and requests

    void StopWatching()
    {
        if (guarded) {
            ConnectionGuard::Instance().StopWatch();
        }
    }

    void Unguard()
    {
        if (guarded) {
            omni::omniInterceptors* interceptors = omniORB::getInterceptors();
            interceptors->serverAcceptConnection.remove(&ConnectionGuard::OnAccept);
            interceptors->serverReceiveRequest.remove(&LargeRequests::OnRequest);
            interceptors->serverSendReply.remove(&LargeRequests::OnReply);
            interceptors->serverSendException.remove(&LargeRequests::OnException);
            RemoteMemory::RemoveTailReader();
            ConnectionGuard::Instance().Disarm();
            LargeRequests::Instance().Disarm();
            guarded = false;
        }
    }
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
    RaiseDescriptorLimit();
    RemoteMemory::BoundAllocatorCaches();
    const std::string endpoint = "giop:tcp:" + address.endpointHost + ":" + std::to_string(port);
    // The ORB's settings (omniORB parameter names): a bounded pool of request
    // threads instead of one thread per connection, idle connections closed,
    // messages bounded in size and the rest of a message bounded in the
    // time it takes to arrive (the connection guard watches the start).
    const std::string threads = std::to_string(settings.serverThreads ? settings.serverThreads : 1);
    const std::string idle = std::to_string(settings.idleConnectionTimeout.count());
    const std::string receive = std::to_string(std::max<long long>(settings.receiveTimeout.count(), 1));
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
                                    {"serverCallTimeOutPeriod", receive.c_str()},
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
        ConnectionGuard::Instance().Arm(settings);
        LargeRequests::Instance().Arm(settings);
        omni::omniInterceptors* interceptors = omniORB::getInterceptors();
        interceptors->serverAcceptConnection.add(&ConnectionGuard::OnAccept);
        interceptors->serverReceiveRequest.add(&LargeRequests::OnRequest);
        interceptors->serverSendReply.add(&LargeRequests::OnReply);
        interceptors->serverSendException.add(&LargeRequests::OnException);
        RemoteMemory::InstallTailReader();
        orb->guarded = true;
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
        orb->Unguard();
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
    m_orb->StopWatching();
    try {
        m_orb->insPoa->deactivate_object(m_orb->registryId);
        // Waits for every call still inside the ORB.
        m_orb->orb->shutdown(true);
        m_orb->Unguard();
        m_orb->orb->destroy();
    } catch (const CORBA::Exception& e) {
        qstd::LogWarning(std::string("Remote export: ORB shutdown failed: ") + e._name());
        m_orb->Unguard();
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
