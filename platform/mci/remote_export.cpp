#include "platform/mci/remote_export.h"

#include "platform/mci/orb_connection.h"
#include "platform/mci/remote_memory.h"
#include "platform/mci/remote_registry.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/remote/giop_refusal.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>
// The connection objects of the ORB, for the state of an accepted connection.
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
#include <deque>
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
        return ConnectionId{connection, SocketOf(connection), peer ? peer : ""};
    }

    bool operator<(const ConnectionId& other) const
    {
        return std::tie(connection, fd, peer) < std::tie(other.connection, other.fd, other.peer);
    }
};

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

// The bytes a request stream holds that its arguments have not taken yet
// (the stream keeps its buffer to itself).
struct BufferedOf : cdrStream {
    static std::size_t Get(omni::GIOP_S& request)
    {
        cdrStream& stream = request;
        const auto end = reinterpret_cast<std::uintptr_t>(stream.*(&BufferedOf::pd_inb_end));
        const auto marker = reinterpret_cast<std::uintptr_t>(stream.*(&BufferedOf::pd_inb_mkr));
        return end > marker ? end - marker : 0;
    }
};

// The bound of large requests (below): forgets the requests of connections
// the ORB no longer holds, and gives their memory back once they are over.
void KeepLargeRequestsOf(const std::set<ConnectionId>& open);
void GiveBackLargeRequestMemory();

// The address of a peer as the ORB writes it ("giop:tcp:HOST:PORT"),
// without the port.
std::string AddressOf(const std::string& peer)
{
    return peer.substr(0, peer.rfind(':'));
}

// What waits in a socket that no request thread reads.
enum class Input { None, Message, Part };

// The first bytes of a socket's input, read without taking them.
constexpr std::size_t c_peekSize = 512;

// The body size a GIOP header claims.
std::uint32_t ClaimedSize(const unsigned char* header)
{
    const bool littleEndian = (header[6] & 1) != 0; // byte order bit of every GIOP version
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) {
        size |= static_cast<std::uint32_t>(header[littleEndian ? 8 + i : 11 - i]) << (8 * i);
    }
    return size;
}

// As much of a message as the ORB reads before it looks at the message: a
// request thread reads a message without waiting once that much is in.
constexpr std::uint64_t c_firstRead = 8192;

Input Waiting(int fd)
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
    const std::uint64_t whole = std::min<std::uint64_t>(sizeof(header) + ClaimedSize(header), c_firstRead);
    return static_cast<std::uint64_t>(available) >= whole ? Input::Message : Input::Part;
}

// Shuts a socket down: the ORB's read of it ends and the ORB closes it as
// one its client closed. (The ORB's own way, rejecting it from the accept
// interceptor, leaves the ORB's bookkeeping of a connection that its client
// closes meanwhile broken at shutdown.) The close then resets the
// connection, so that a client still sending learns it at once instead of
// waiting for a window that never opens.
void ShutDown(int fd)
{
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::shutdown(fd, SHUT_RDWR);
}

// The WARNING of refused connections: one per peer address and minute,
// however often its connections are refused. Noted under the guard's locks
// (the ORB's among them), written by Flush once they are released.
class RefusalLog {
public:
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_warned.clear();
        m_pending.clear();
    }

    void Warn(const std::string& address, const std::string& why)
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_warned.size() >= c_maxAddresses) {
            for (auto it = m_warned.begin(); it != m_warned.end();) {
                it = now - it->second >= c_period ? m_warned.erase(it) : std::next(it);
            }
        }
        const auto it = m_warned.find(address);
        if ((it != m_warned.end() && now - it->second < c_period) ||
            (it == m_warned.end() && m_warned.size() >= c_maxAddresses)) {
            return;
        }
        m_warned[address] = now;
        const std::string transport = "giop:tcp:";
        m_pending.push_back(
            "Remote export: connection from " +
            (address.compare(0, transport.size(), transport) == 0 ? address.substr(transport.size()) : address) +
            " refused: " + why + " (refusals of this address are logged once a minute)");
    }

    void Flush()
    {
        std::vector<std::string> pending;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pending.swap(m_pending);
        }
        for (const std::string& text : pending) {
            qstd::LogWarning(text);
        }
    }

private:
    static constexpr std::chrono::minutes c_period{1};
    // Addresses remembered at most: beyond, a flood from more addresses
    // than that in a minute is not logged address by address.
    static constexpr std::size_t c_maxAddresses = 4096;

    std::mutex m_mutex;
    std::map<std::string, std::chrono::steady_clock::time_point> m_warned;
    std::vector<std::string> m_pending;
};

// Judges every connection the ORB accepts (an interceptor of the ORB's,
// which runs on a request thread when the connection's first bytes arrive)
// and watches them all, so that what costs the server something stays
// bounded while idle connections, which cost a descriptor, do not lock out
// a new client:
// - A connection whose message is still arriving holds a request thread
//   (the ORB waits for the first 8 KiB of a message, or all of a shorter
//   one, without a time-out, and for a connection's first bytes for ever).
//   Such connections are bounded per peer address and in all: a new one
//   past a bound is refused at once, and a connection whose later message
//   makes one too many is dropped by the watch thread. The watch thread
//   also drops a connection that sent nothing, or whose message has not
//   come whole, within the receive time-out; a connection idle between
//   messages is left to the ORB, which closes it after the idle time-out.
// - Open connections that sent something are bounded in all. One past the
//   bound closes the connection idle the longest (a GIOP CloseConnection,
//   after which a client sends its next request on a new connection, as
//   after the ORB's idle close); when no connection is idle, it is refused.
// - A connection whose first message claims more bytes than the message
//   bound is refused at once (the ORB itself looks at the size only once
//   the first 8 KiB of a message are in).
// The ORB tells nobody when a connection closes: the guard looks up the
// connections it judged in the ORB's own list, at a bound and a few times
// a second, and forgets those the ORB no longer holds.
//
// A refused client learns why from a NO_RESOURCES exception with a minor
// code of the server's (zemtra_REMOTE::Refused...). A connection whose
// first message is whole is served by the ORB as usual, but each of its
// requests is answered with the exception before it is decoded (a GIOP
// 1.0 or 1.1 client asks where the object is first, which no reply of that
// version can refuse), and the connection is closed once it is idle. One
// whose first message is still arriving must not hold a thread: the guard
// writes the reply itself, from the request header that waits in the
// socket, and shuts the socket down. Either way, no request of a refused
// connection runs.
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
        m_maxArrivingPerPeer = settings.maxArrivingPerPeer;
        m_maxArriving = settings.maxArriving;
        m_maxTotal = std::max(settings.maxConnections, 1u);
        m_maxMessageSize = settings.maxMessageSize;
        m_receiveTimeout = settings.receiveTimeout;
        m_connections.clear();
        m_dropped.clear();
        m_refusing = 0;
        m_log.Clear();
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
        m_dropped.clear();
        m_refusing = 0;
    }

    static CORBA::Boolean OnAccept(omni::omniInterceptors::serverAcceptConnection_T::info_T& info)
    {
        Instance().Judge(info.strand.connection);
        Instance().m_log.Flush();
        return 1;
    }

    // Refuses every request of a refused connection before it is decoded.
    static CORBA::Boolean OnRequest(omni::omniInterceptors::serverReceiveRequest_T::info_T& info)
    {
        Instance().CheckRefused(info.giop_s);
        return 1;
    }

private:
    struct Connection {
        std::string address;      // the peer's, without the port
        CORBA::ULong refusal = 0; // minor code by which its requests are refused, or 0
        bool refusalSent = false;
        std::chrono::steady_clock::time_point since; // judged
    };

    // One connection the ORB holds, as a pass over them sees it.
    struct Seen {
        omni::giopStrand* strand;
        ConnectionId id;
        Connection* judged;   // or null
        bool dropped = false; // by the guard, the ORB has yet to let it go
        bool reading = false; // a request thread waits for the start of a message
        Input input = Input::None;
    };

    // Connections whose message is still arriving, per peer address and in all.
    struct Arriving {
        std::map<std::string, std::size_t> perAddress;
        std::size_t total = 0;
    };

    // A connection whose message is still arriving: it holds a request
    // thread, or will once one reads it.
    static bool IsArriving(const Seen& s)
    {
        return s.judged != nullptr && ((s.reading && s.input != Input::Message) || s.input == Input::Part);
    }

    // Nothing in progress, nothing received: what the ORB closes after the
    // idle time-out (its idle count runs), and no thread is about to read.
    static bool IsIdle(const Seen& s)
    {
        omni::giopStrand& strand = *s.strand;
        if (s.judged == nullptr || s.input != Input::None || strand.isBiDir() || strand.idlebeats <= 0 ||
            strand.head != nullptr) {
            return false;
        }
        for (omni::giopStreamList* q = strand.servers.next; q != &strand.servers; q = q->next) {
            if (static_cast<omni::GIOP_S&>(*q).state() != omni::IOP_S::UnUsed) {
                return false;
            }
        }
        return true;
    }

    // Caller holds m_mutex and the ORB's transport lock: the connections
    // the ORB holds; forgets the judged ones it no longer holds.
    std::vector<Seen> Survey()
    {
        std::vector<Seen> seen;
        std::set<ConnectionId> open;
        ForEachStrand(omni::giopStrand::passive, [&](omni::giopStrand& strand) {
            Seen s{&strand, ConnectionId::Of(strand.connection), nullptr};
            if (s.id.fd < 0) {
                return;
            }
            open.insert(s.id);
            const auto judged = m_connections.find(s.id);
            s.judged = judged != m_connections.end() ? &judged->second : nullptr;
            s.dropped = m_dropped.count(s.id) != 0;
            for (omni::giopStreamList* q = strand.servers.next; q != &strand.servers; q = q->next) {
                s.reading = s.reading || static_cast<omni::GIOP_S&>(*q).state() == omni::IOP_S::WaitForRequestHeader;
            }
            s.input = Waiting(s.id.fd);
            seen.push_back(s);
        });
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            it = open.count(it->first) == 0 ? ForgetConnection(it) : std::next(it);
        }
        for (auto it = m_dropped.begin(); it != m_dropped.end();) {
            m_refusing -= open.count(*it) == 0 ? 1 : 0;
            it = open.count(*it) == 0 ? m_dropped.erase(it) : std::next(it);
        }
        return seen;
    }

    std::map<ConnectionId, Connection>::iterator ForgetConnection(std::map<ConnectionId, Connection>::iterator it)
    {
        m_refusing -= it->second.refusal != 0 ? 1 : 0;
        return m_connections.erase(it);
    }

    // Caller holds m_mutex: shuts the connection's socket down, and refuses
    // any request that the ORB reads from it still (what its client sends
    // after the shutdown still reaches the ORB), until the ORB lets it go.
    void Drop(const ConnectionId& id)
    {
        ShutDown(id.fd);
        const auto it = m_connections.find(id);
        if (it != m_connections.end()) {
            ForgetConnection(it);
        }
        m_refusing += m_dropped.insert(id).second ? 1 : 0;
    }

    static Arriving CountArriving(const std::vector<Seen>& seen)
    {
        Arriving arriving;
        for (const Seen& s : seen) {
            if (IsArriving(s)) {
                ++arriving.perAddress[s.judged->address];
                ++arriving.total;
            }
        }
        return arriving;
    }

    // Caller holds m_mutex and the transport lock: closes the connection as
    // the ORB closes one idle for its time-out (the ORB's scan would close
    // it alike): out of the ORB's list of connections, its idle count
    // expired so that no request that arrives meanwhile is dispatched, a
    // GIOP CloseConnection sent, which tells the client to send again on a
    // new connection, and the socket shut down.
    void Close(const Seen& s)
    {
        omni::giopStrand& strand = *s.strand;
        strand.StrandList::remove();
        strand.idlebeats = 0;
        strand.state(omni::giopStrand::DYING);
        const char closeConnection[12] = {
            'G', 'I', 'O', 'P', static_cast<char>(strand.version.major), static_cast<char>(strand.version.minor), 1, 5,
            0,   0,   0,   0};
        ::send(s.id.fd, closeConnection, sizeof(closeConnection), MSG_DONTWAIT | MSG_NOSIGNAL);
        strand.connection->Shutdown();
        const auto it = m_connections.find(s.id);
        if (it != m_connections.end()) {
            ForgetConnection(it);
        }
    }

    // Caller holds m_mutex and the transport lock: closes the connection
    // idle the longest (by the ORB's idle count; of equals, one of the
    // address with the most connections). False when none is idle.
    bool CloseIdlest(const std::vector<Seen>& seen)
    {
        std::map<std::string, std::size_t> perAddress;
        for (const auto& c : m_connections) {
            ++perAddress[c.second.address];
        }
        const Seen* idlest = nullptr;
        for (const Seen& s : seen) {
            if (IsIdle(s) && (idlest == nullptr || s.strand->idlebeats < idlest->strand->idlebeats ||
                              (s.strand->idlebeats == idlest->strand->idlebeats &&
                               perAddress[s.judged->address] > perAddress[idlest->judged->address]))) {
                idlest = &s;
            }
        }
        if (idlest == nullptr) {
            return false;
        }
        QSTD_TRACE(2, "Remote export: idle connection from " << idlest->id.peer << " closed to make room");
        Close(*idlest);
        return true;
    }

    // Refuses a connection whose first message is still arriving: answers
    // its request, when the header is in, and shuts the socket down.
    void RefuseArriving(const ConnectionId& id, const std::string& address, CORBA::ULong minor, const std::string& why)
    {
        unsigned char start[c_peekSize];
        const ssize_t n = ::recv(id.fd, start, sizeof(start), MSG_PEEK | MSG_DONTWAIT);
        const std::string reply = GiopRefusalReply(start, n > 0 ? static_cast<std::size_t>(n) : 0, minor);
        if (!reply.empty()) {
            ::send(id.fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        Drop(id);
        m_log.Warn(address, why);
    }

    void Judge(omni::giopConnection* connection)
    {
        const ConnectionId id = ConnectionId::Of(connection);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_armed || id.fd < 0 || m_dropped.count(id) != 0) {
            return; // (dropped before it sent anything)
        }
        const std::string address = AddressOf(id.peer);
        unsigned char header[12];
        if (::recv(id.fd, header, sizeof(header), MSG_PEEK | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof(header)) &&
            std::memcmp(header, "GIOP", 4) == 0 && ClaimedSize(header) > m_maxMessageSize) {
            Drop(id);
            return m_log.Warn(address, "its message is longer than the bound");
        }
        Connection judged{address, 0, false, std::chrono::steady_clock::now()};
        const bool arriving = Waiting(id.fd) == Input::Part;
        if (arriving || m_connections.size() >= m_maxTotal) {
            omni_tracedmutex_lock transport(*omni::omniTransportLock);
            const std::vector<Seen> seen = Survey();
            if (arriving) {
                const Arriving counts = CountArriving(seen);
                const auto ofAddress = counts.perAddress.find(address);
                if (ofAddress != counts.perAddress.end() && ofAddress->second >= m_maxArrivingPerPeer) {
                    return RefuseArriving(id, address, zemtra_REMOTE::RefusedArrivingFromAddress,
                                          std::to_string(ofAddress->second) +
                                              " connections from this address are still sending a message");
                }
                if (counts.total >= m_maxArriving) {
                    return RefuseArriving(id, address, zemtra_REMOTE::RefusedArrivingInAll,
                                          std::to_string(counts.total) + " connections are still sending a message");
                }
            }
            if (m_connections.size() >= m_maxTotal && !CloseIdlest(seen)) {
                judged.refusal = zemtra_REMOTE::RefusedConnectionsBusy;
                ++m_refusing;
                m_log.Warn(address, std::to_string(m_maxTotal) + " connections are open and none is idle");
            }
        }
        if (!m_connections.emplace(id, judged).second && judged.refusal != 0) {
            --m_refusing; // (an entry of an earlier connection of the same socket stays)
        }
    }

    void CheckRefused(omni::GIOP_S& request)
    {
        if (m_refusing.load() == 0) {
            return;
        }
        const ConnectionId id = ConnectionId::Of(request.strand().connection);
        CORBA::ULong refusal = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_dropped.count(id) != 0) {
                FailRequest(request);
            }
            const auto it = m_connections.find(id);
            if (it != m_connections.end() && it->second.refusal != 0) {
                refusal = it->second.refusal;
                it->second.refusalSent = true;
            }
        }
        if (refusal != 0) {
            RemoteMemory::SkipRestOfRequest(request);
            throw CORBA::NO_RESOURCES(refusal, CORBA::COMPLETED_NO);
        }
    }

    void Watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_watching) {
            m_wake.wait_for(
                lock, std::clamp<std::chrono::milliseconds>(m_receiveTimeout / 4, c_minWatchPeriod, c_watchPeriod));
            if (m_watching) {
                Patrol();
                lock.unlock();
                m_log.Flush();
                GiveBackLargeRequestMemory();
                lock.lock();
            }
        }
    }

    // A connection that is late: one that has sent nothing yet, or one of
    // its request streams that waits for a message (by the number of the
    // request it read before).
    using Late = std::tuple<ConnectionId, const void*, CORBA::ULong>;

    // Caller holds m_mutex, while watching (before the ORB shuts down and
    // releases its connections without the transport lock): drops late
    // connections and those past the bounds of connections whose message
    // is still arriving (those that have been sending it the longest
    // first), and closes refused connections once they are idle.
    void Patrol()
    {
        const auto now = std::chrono::steady_clock::now();
        std::map<Late, std::chrono::steady_clock::time_point> waiting;
        const auto since = [&](const Late& key) {
            const auto it = m_waiting.find(key);
            return waiting[key] = it != m_waiting.end() ? it->second : now;
        };
        // Under the ORB's transport lock: no socket looked at is closed meanwhile.
        omni_tracedmutex_lock transport(*omni::omniTransportLock);
        const std::vector<Seen> seen = Survey();
        std::set<ConnectionId> open;
        std::vector<std::pair<std::chrono::steady_clock::time_point, const Seen*>> arriving;
        for (const Seen& s : seen) {
            open.insert(s.id);
            if (s.dropped) {
                continue;
            }
            const char* peer = s.strand->connection->peeraddress();
            auto startedAt = now;
            bool late = false;
            for (omni::giopStreamList* q = s.strand->servers.next; q != &s.strand->servers; q = q->next) {
                auto& request = static_cast<omni::GIOP_S&>(*q);
                if (request.state() == omni::IOP_S::WaitForRequestHeader) {
                    startedAt = std::min(startedAt, since(Late{s.id, &request, RequestIdOf::Get(request)}));
                }
            }
            if (s.reading) {
                late = now - startedAt >= m_receiveTimeout;
            } else if (s.input == Input::Part || (s.input == Input::None && s.judged == nullptr)) {
                // A message that waits for a request thread before it is
                // whole, or a connection that sent nothing.
                startedAt = since(Late{s.id, nullptr, 0});
                late = now - startedAt >= m_receiveTimeout;
            }
            if (late) {
                QSTD_TRACE(2, "Remote export: connection from "
                                  << peer << " dropped: "
                                  << (s.judged == nullptr && s.input == Input::None ? "no request in time"
                                                                                    : "message not whole in time"));
                Drop(s.id);
            } else if (IsArriving(s) && startedAt < now) {
                // (Seen before: not a message that a fast client is still
                // writing at this moment.)
                arriving.emplace_back(startedAt, &s);
            } else if (s.judged != nullptr && s.judged->refusal != 0 &&
                       (s.judged->refusalSent || now - s.judged->since >= m_receiveTimeout) && IsIdle(s)) {
                Close(s);
            }
        }
        std::sort(arriving.begin(), arriving.end());
        Arriving kept;
        for (const auto& a : arriving) {
            const std::string address = a.second->judged->address;
            std::size_t& ofAddress = kept.perAddress[address];
            if (ofAddress >= m_maxArrivingPerPeer || kept.total >= m_maxArriving) {
                Drop(a.second->id);
                m_log.Warn(address, ofAddress >= m_maxArrivingPerPeer
                                        ? "too many connections from this address are still sending a message"
                                        : "too many connections are still sending a message");
            } else {
                ++ofAddress;
                ++kept.total;
            }
        }
        // Still under the lock: no connection that is not listed sends a
        // request meanwhile.
        KeepLargeRequestsOf(open);
        m_waiting.swap(waiting);
    }

    static constexpr std::chrono::milliseconds c_minWatchPeriod{10};
    static constexpr std::chrono::milliseconds c_watchPeriod{250};

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_armed = false;
    bool m_watching = false;
    std::size_t m_maxArrivingPerPeer = 0;
    std::size_t m_maxArriving = 0;
    std::size_t m_maxTotal = 1;
    unsigned long m_maxMessageSize = 0;
    std::chrono::milliseconds m_receiveTimeout{1};
    std::map<ConnectionId, Connection> m_connections;                // judged, that the ORB holds
    std::set<ConnectionId> m_dropped;                                // shut down, that the ORB still holds
    std::atomic<int> m_refusing{0};                                  // of both, those whose requests are refused
    std::map<Late, std::chrono::steady_clock::time_point> m_waiting; // late since
    RefusalLog m_log;
    std::thread m_watch;
};

// Bounds the large requests decoded at once, from the decoding of their
// arguments to their reply (interceptors of the ORB's, which run once a
// request's header is in and as its reply goes out). A large request first
// waits, without a place, until its bytes arrive at speed: a sender that
// trickles its bytes holds no place, and is dropped after the receive
// time-out. (Of a message in fragments, or of the largest size, the size
// of the rest is not known: such a request takes its place at once and
// holds it at most the receive time-out, which the ORB's call time-out
// gives the rest of a message.) Then it waits its turn, first come first
// served, for at most the wait time-out; a request still without a place
// then, or one past the bound of waiting requests, is refused
// (NO_RESOURCES, zemtra_REMOTE::RefusedLargeRequestsBusy) before its
// arguments are decoded, and the ORB skips them. A request that ends
// without a reply (its client stalled or went away) leaves the bound with
// its connection, which the ORB closes then. What large requests took goes
// back to the system when the next one comes and once they are over.
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
        m_maxWaiting = settings.maxLargeRequestsWaiting;
        m_limits.atSpeed = std::min<std::size_t>(
            c_atSpeed, m_largeSize > c_firstRead ? static_cast<std::size_t>(m_largeSize - c_firstRead) : 1);
        m_limits.maxMessageSize = static_cast<CORBA::ULong>(std::min(settings.maxMessageSize, 0xfffffffful));
        m_limits.receiveTimeout = settings.receiveTimeout;
        m_limits.wait = settings.largeRequestWait;
        m_served.clear();
        m_queue.clear();
        m_waiting = 0;
    }

    // Ends the waits of large requests (they are refused): before the ORB
    // shuts down, which waits for every request in progress.
    void Disarm()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_armed = false;
            m_served.clear();
        }
        m_turn.notify_all();
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

    // What a large request waits by, copied from the settings.
    struct Limits {
        std::size_t atSpeed = 1; // bytes in the socket that show the request arrives at speed
        CORBA::ULong maxMessageSize = 1;
        std::chrono::milliseconds receiveTimeout{1};
        std::chrono::milliseconds wait{0}; // for a place
    };

    // Called without m_mutex: the rest of the request is read first, which
    // takes as long as its client takes to send it (at most the receive
    // time-out), and the watch of connections takes m_mutex under the ORB's
    // transport lock.
    void Refuse(omni::GIOP_S& request, const char* why)
    {
        QSTD_TRACE(2, "Remote export: large request " << request.operation() << " refused: " << why);
        RemoteMemory::SkipRestOfRequest(request);
        throw CORBA::NO_RESOURCES(zemtra_REMOTE::RefusedLargeRequestsBusy, CORBA::COMPLETED_NO);
    }

    // Whether the rest of the request's message arrives at speed: the
    // socket holds that much of it, or all of it. Of a message in fragments,
    // or of the largest size, the size of the rest is not known: yes.
    static bool AtSpeed(omni::GIOP_S& request, int fd, const Limits& limits)
    {
        const CORBA::ULong read = std::min(request.currentInputPtr(), limits.maxMessageSize);
        if (request.checkInputOverrun(1, limits.maxMessageSize - read)) {
            return true;
        }
        int queued = 0;
        if (::ioctl(fd, FIONREAD, &queued) != 0) {
            return true; // the ORB's read fails alike
        }
        const std::size_t inSocket = static_cast<std::size_t>(std::max(queued, 0));
        return inSocket >= limits.atSpeed ||
               !request.checkInputOverrun(1, static_cast<CORBA::ULong>(BufferedOf::Get(request) + inSocket + 1));
    }

    // Waits until the request arrives at speed; false when it does not
    // within the receive time-out, or the bound is disarmed.
    bool WaitForBytes(omni::GIOP_S& request, int fd, const Limits& limits)
    {
        const auto end = std::chrono::steady_clock::now() + limits.receiveTimeout;
        while (!AtSpeed(request, fd, limits)) {
            if (std::chrono::steady_clock::now() >= end || !m_armed.load()) {
                return false;
            }
            std::this_thread::sleep_for(c_bytesPoll);
        }
        return true;
    }

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
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_armed) {
            return;
        }
        const Limits limits = m_limits;
        const bool waits =
            !(m_queue.empty() && m_served.size() < m_maxAtOnce && AtSpeed(request, connection.fd, limits));
        if (waits) {
            if (m_waiting >= m_maxWaiting) {
                lock.unlock(); // the skip of its rest may take the receive time-out
                Refuse(request, "too many wait for a place");
            }
            ++m_waiting;
            lock.unlock();
            const bool atSpeed = WaitForBytes(request, connection.fd, limits);
            lock.lock();
            bool admitted = false;
            if (atSpeed) {
                // First come, first served.
                const std::uint64_t ticket = m_nextTicket++;
                m_queue.push_back(ticket);
                admitted = m_turn.wait_for(lock, limits.wait, [&] {
                    return !m_armed || (m_queue.front() == ticket && m_served.size() < m_maxAtOnce);
                });
                m_queue.erase(std::find(m_queue.begin(), m_queue.end(), ticket));
            }
            --m_waiting;
            m_turn.notify_all();
            if (!atSpeed) {
                QSTD_TRACE(2, "Remote export: large request " << request.operation() << " from " << connection.peer
                                                              << " dropped: its bytes came too slowly");
                ShutDown(connection.fd);
                FailRequest(request);
            }
            // The rest of the message, decoded or skipped by a refusal, has
            // the receive time-out from now on, not from its header: past
            // that, the ORB reads nothing more and the connection fails.
            const auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(limits.receiveTimeout).count();
            omni_time_t deadline;
            omni_thread::get_time(deadline, omni_time_t(static_cast<unsigned long>(timeout / 1000000000),
                                                        static_cast<unsigned long>(timeout % 1000000000)));
            request.setDeadline(deadline);
            if (!admitted || !m_armed) {
                lock.unlock();
                Refuse(request, "no place came free in time");
            }
        }
        m_served.push_back(Served{std::this_thread::get_id(), connection});
        t_serving = true;
        lock.unlock();
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
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_served.erase(std::remove_if(m_served.begin(), m_served.end(),
                                          [&](const Served& s) { return open.count(s.connection) == 0; }),
                           m_served.end());
        }
        m_turn.notify_all();
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
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_served.erase(std::remove_if(m_served.begin(), m_served.end(),
                                          [](const Served& s) { return s.thread == std::this_thread::get_id(); }),
                           m_served.end());
            m_memoryHeld = true;
            m_lastLeft = std::chrono::steady_clock::now();
        }
        m_turn.notify_all();
    }

    static constexpr std::chrono::milliseconds c_settle{100};
    // The bytes of a large request in the socket that show that it arrives
    // at speed (the rest of a message that takes the receive time-out must
    // arrive at 5 MB/s or more), and how often a waiting request looks.
    static constexpr std::size_t c_atSpeed = 32 * 1024;
    static constexpr std::chrono::milliseconds c_bytesPoll{5};

    static thread_local bool t_serving; // this thread serves a large request

    std::mutex m_mutex;
    std::condition_variable m_turn;
    std::atomic<bool> m_armed{false};
    std::atomic<unsigned long> m_largeSize{1};
    unsigned m_maxAtOnce = 0;
    unsigned m_maxWaiting = 0;
    Limits m_limits;
    std::vector<Served> m_served;
    std::deque<std::uint64_t> m_queue; // tickets of the requests that wait for a place
    std::uint64_t m_nextTicket = 0;
    unsigned m_waiting = 0;    // requests that wait for their bytes or a place
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
            LargeRequests::Instance().Disarm();
        }
    }

    void Unguard()
    {
        if (guarded) {
            omni::omniInterceptors* interceptors = omniORB::getInterceptors();
            interceptors->serverAcceptConnection.remove(&ConnectionGuard::OnAccept);
            interceptors->serverReceiveRequest.remove(&ConnectionGuard::OnRequest);
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
        // The tail reader first: the streams of requests that the guards
        // refuse carry its tracker too.
        RemoteMemory::InstallTailReader();
        omni::omniInterceptors* interceptors = omniORB::getInterceptors();
        interceptors->serverAcceptConnection.add(&ConnectionGuard::OnAccept);
        interceptors->serverReceiveRequest.add(&ConnectionGuard::OnRequest);
        interceptors->serverReceiveRequest.add(&LargeRequests::OnRequest);
        interceptors->serverSendReply.add(&LargeRequests::OnReply);
        interceptors->serverSendException.add(&LargeRequests::OnException);
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
