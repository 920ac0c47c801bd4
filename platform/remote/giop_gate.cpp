#include "platform/remote/giop_gate.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "platform/remote/gate_connection.h"
#include "zemtra_remote.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace remote {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes of the ORB's replies one read takes.
constexpr std::size_t c_scratchSize = 64 * 1024;
constexpr int c_maxEvents = 256;
// Connections accepted at one readiness of a listening socket.
constexpr int c_acceptBurst = 64;
// After the process ran out of descriptors, accepting rests this long.
constexpr std::chrono::milliseconds c_acceptRest{100};

// "HOST:PORT" ("[HOST]:PORT" for IPv6) and "HOST" of a peer; an IPv4
// client of an IPv6 socket is named by its IPv4 address.
void Render(const sockaddr_storage& address, std::string& withPort, std::string& host)
{
    char text[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    bool v6 = false;
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        port = ntohs(in6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof(text));
        } else {
            ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
            v6 = true;
        }
    } else if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        port = ntohs(in.sin_port);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
    }
    host = text;
    withPort = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::atomic<unsigned> g_gates{0};

} // namespace

// Where a channel asks to be looked at: the loop that serves it, while
// that loop runs (the ORB's threads may call after the gate stopped).
struct ServeTarget {
    std::mutex mutex;
    class GateLoop* loop = nullptr;
};

// A new client connection that waits for room (ConnectionTable::Admit),
// its socket not read meanwhile.
struct Newcomer {
    std::shared_ptr<GateEntry> entry;
    int fd = -1;
};

// One event-loop thread and the connections it serves.
class GateLoop {
public:
    using Accept = std::function<void(int listenFd, Clock::time_point now)>;
    // Serves or refuses a newcomer of this loop whose admission is decided:
    // false while it waits still.
    using Decide = std::function<bool(GateLoop& loop, const Newcomer& newcomer, Clock::time_point now)>;

    explicit GateLoop(unsigned index) : m_scratch(new unsigned char[c_scratchSize])
    {
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_event = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_epoll < 0 || m_event < 0) {
            const std::string reason = std::strerror(errno);
            Close();
            throw qstd::Exception("Remote export: can't set up the gate's event loop: " + reason, true);
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = &m_eventSide;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_event, &event);
        m_context.epoll = m_epoll;
        m_context.index = index;
        m_context.scratch = m_scratch.get();
        m_context.scratchSize = c_scratchSize;
        m_context.withOrb = &m_withOrb;
        m_context.wake = m_event;
        m_target->loop = this;
    }

    ~GateLoop()
    {
        {
            std::lock_guard<std::mutex> lock(m_target->mutex);
            m_target->loop = nullptr;
        }
        Drop();
        Close();
    }

    // Closes every connection: once no loop runs.
    void Drop()
    {
        {
            std::lock_guard<std::mutex> lock(m_target->mutex);
            m_target->loop = nullptr;
        }
        m_connections.clear();
        m_handed.clear();
        std::lock_guard<std::mutex> lock(m_handMutex);
        m_serviced.clear();
        for (auto* newcomers : {&m_newcomers, &m_handedNewcomers}) {
            for (const Newcomer& newcomer : *newcomers) {
                ::close(newcomer.fd);
            }
            newcomers->clear();
        }
    }

    GateLoop(const GateLoop&) = delete;
    GateLoop& operator=(const GateLoop&) = delete;

    const GateLoopContext& Context() const { return m_context; }

    // What a channel of this loop calls to be looked at.
    GateChannel::Service ServiceOf()
    {
        return [target = m_target](std::shared_ptr<GateChannel> channel) {
            std::lock_guard<std::mutex> lock(target->mutex);
            if (target->loop != nullptr) {
                target->loop->Serve(std::move(channel));
            }
        };
    }

    // Before the thread starts.
    void Listen(const std::vector<int>& fds, Accept accept)
    {
        m_listeners = fds;
        m_listenSides.assign(fds.size(), GateConnection::Side{nullptr});
        m_accept = std::move(accept);
        WatchListeners(true);
    }

    // Before the thread starts.
    void Admitting(Decide decide) { m_decide = std::move(decide); }

    void Start() { m_thread = std::thread(&GateLoop::Run, this); }

    void Stop()
    {
        m_stop.store(true);
        Signal();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    // A connection of this loop is asked something (a place, an eviction, a refusal).
    void Wake()
    {
        m_asked.store(true);
        Signal();
    }

    // A new connection for this loop (from the accepting loop).
    void Hand(std::unique_ptr<GateConnection> connection, bool own, Clock::time_point now)
    {
        if (own) {
            Adopt(std::move(connection), now);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_handMutex);
            m_handed.push_back(std::move(connection));
        }
        Signal();
    }

    // A new connection of this loop that waits for room (from the accepting loop).
    void Hand(const Newcomer& newcomer, bool own, Clock::time_point now)
    {
        if (own) {
            AdoptNewcomer(newcomer, now);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_handMutex);
            m_handedNewcomers.push_back(newcomer);
        }
        Signal();
    }

private:
    void AdoptNewcomer(const Newcomer& newcomer, Clock::time_point now)
    {
        // (Decided already, perhaps, before it was handed: the wake came first.)
        if (!m_decide(*this, newcomer, now)) {
            m_newcomers.push_back(newcomer);
        }
    }

    void Serve(std::shared_ptr<GateChannel> channel)
    {
        {
            std::lock_guard<std::mutex> lock(m_handMutex);
            m_serviced.push_back(std::move(channel));
        }
        Signal();
    }

    void Signal()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_event, &one, sizeof(one));
    }

    void Close()
    {
        if (m_event >= 0) {
            ::close(m_event);
        }
        if (m_epoll >= 0) {
            ::close(m_epoll);
        }
        m_event = m_epoll = -1;
    }

    void WatchListeners(bool on)
    {
        for (std::size_t i = 0; i < m_listeners.size(); ++i) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = &m_listenSides[i];
            ::epoll_ctl(m_epoll, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_listeners[i], &event);
        }
        m_listening = on;
    }

    void Adopt(std::unique_ptr<GateConnection> connection, Clock::time_point now)
    {
        connection->Start(now);
        Note(*connection);
        m_connections.push_back(std::move(connection));
    }

    void Note(const GateConnection& connection)
    {
        m_nextCheck = std::min(m_nextCheck, connection.NextDeadline());
        m_sweep = m_sweep || connection.Dead();
    }

    void Run()
    {
        epoll_event events[c_maxEvents];
        while (!m_stop.load()) {
            int timeout = -1;
            const auto now = Clock::now();
            auto next = m_listening ? m_nextCheck : std::min(m_nextCheck, m_acceptResume);
            if (m_withOrb.load() > 0) {
                next = std::min(next, m_lentCheck + GateConnection::c_lendTime);
            }
            if (next != Clock::time_point::max()) {
                const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
                timeout = wait <= 0 ? 0 : static_cast<int>(std::min<long long>((wait + 999) / 1000, 1000));
            }
            const int n = ::epoll_wait(m_epoll, events, c_maxEvents, timeout);
            const auto at = Clock::now();
            for (int i = 0; i < n; ++i) {
                Dispatch(events[i], at);
            }
            if (at >= m_nextCheck || (m_withOrb.load() > 0 && at >= m_lentCheck + GateConnection::c_lendTime)) {
                m_nextCheck = Clock::time_point::max();
                m_lentCheck = at;
                for (const auto& connection : m_connections) {
                    connection->OnTimer(at);
                    Note(*connection);
                }
            }
            if (!m_listening && !m_listeners.empty() && at >= m_acceptResume) {
                WatchListeners(true);
            }
            if (m_sweep) {
                m_sweep = false;
                m_connections.erase(
                    std::remove_if(m_connections.begin(), m_connections.end(), [](const auto& c) { return c->Dead(); }),
                    m_connections.end());
            }
        }
    }

    void Dispatch(const epoll_event& event, Clock::time_point now)
    {
        auto* side = static_cast<GateConnection::Side*>(event.data.ptr);
        if (side == &m_eventSide) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t r = ::read(m_event, &count, sizeof(count));
            std::vector<std::unique_ptr<GateConnection>> handed;
            std::vector<Newcomer> newcomers;
            {
                std::lock_guard<std::mutex> lock(m_handMutex);
                handed.swap(m_handed);
                newcomers.swap(m_handedNewcomers);
            }
            for (auto& connection : handed) {
                Adopt(std::move(connection), now);
            }
            for (const Newcomer& newcomer : newcomers) {
                AdoptNewcomer(newcomer, now);
            }
            std::vector<std::shared_ptr<GateChannel>> serviced;
            {
                std::lock_guard<std::mutex> lock(m_handMutex);
                serviced.swap(m_serviced);
            }
            for (const auto& channel : serviced) {
                if (auto* connection = static_cast<GateConnection*>(channel->owner)) {
                    connection->OnService(now);
                    Note(*connection);
                } else {
                    channel->TellIfReady(); // (not adopted yet, or its connection is gone)
                }
            }
            if (m_asked.exchange(false)) {
                for (const auto& connection : m_connections) {
                    connection->OnWake(now);
                    Note(*connection);
                }
                // (A newcomer served here is taken up by m_connections: not looked at again.)
                std::vector<Newcomer> waiting;
                waiting.swap(m_newcomers);
                for (const Newcomer& newcomer : waiting) {
                    AdoptNewcomer(newcomer, now);
                }
            }
            return;
        }
        if (side->connection == nullptr) {
            const std::size_t i = static_cast<std::size_t>(side - m_listenSides.data());
            if (i < m_listeners.size() && m_accept) {
                m_accept(m_listeners[i], now);
            }
            return;
        }
        GateConnection& connection = *side->connection;
        connection.OnClient(event.events, now);
        Note(connection);
    }

public:
    // The process is out of descriptors: accepting rests a while (the
    // listening sockets would report readiness all along).
    void RestAccepting(Clock::time_point now)
    {
        if (m_listening) {
            WatchListeners(false);
        }
        m_acceptResume = now + c_acceptRest;
    }

private:
    GateLoopContext m_context;
    std::unique_ptr<unsigned char[]> m_scratch;
    int m_epoll = -1;
    int m_event = -1;
    GateConnection::Side m_eventSide{nullptr};
    std::vector<int> m_listeners;
    std::vector<GateConnection::Side> m_listenSides;
    bool m_listening = false;
    Clock::time_point m_acceptResume = Clock::time_point::max();
    Accept m_accept;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_asked{false};
    std::mutex m_handMutex;
    std::vector<std::unique_ptr<GateConnection>> m_handed;
    std::vector<Newcomer> m_handedNewcomers;
    std::vector<std::shared_ptr<GateChannel>> m_serviced;
    Decide m_decide;
    std::vector<Newcomer> m_newcomers;
    const std::shared_ptr<ServeTarget> m_target = std::make_shared<ServeTarget>();
    std::vector<std::unique_ptr<GateConnection>> m_connections;
    Clock::time_point m_nextCheck = Clock::time_point::max();
    // Connections whose client's socket a thread of the ORB's has, and when
    // the loop last looked whether one was lent too long.
    std::atomic<unsigned> m_withOrb{0};
    Clock::time_point m_lentCheck{};
    bool m_sweep = false;
};

struct GiopGate::Impl {
    Impl(const GiopGateSettings& settings, Offer offer)
        : settings(settings), offer(std::move(offer)),
          prefix(!settings.localNamePrefix.empty() ? settings.localNamePrefix
                                                   : "zemtra-gate." + std::to_string(::getpid()) + "." +
                                                         std::to_string(g_gates.fetch_add(1) + 1) + ".")
    {
        this->settings.threads = std::max(settings.threads, 1u);
    }

    // The accepting loop: new clients, each admitted (with a channel) or
    // refused, and handed to a loop.
    void Accept(int listenFd, Clock::time_point now)
    {
        for (int i = 0; i < c_acceptBurst; ++i) {
            sockaddr_storage address{};
            socklen_t length = sizeof(address);
            const int fd =
                ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
                    continue;
                }
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    QSTD_TRACE(2, "Remote export: can't accept a connection: " << std::strerror(errno));
                    loops[0]->RestAccepting(now);
                }
                return;
            }
            int error = 0;
            socklen_t errorSize = sizeof(error);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorSize) == 0 && error != 0) {
                // Reset before it was taken: what its client sent is not
                // read (no reply could reach it), and it takes no room.
                ::close(fd);
                continue;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            std::string withPort;
            std::string host;
            Render(address, withPort, host);
            const std::uint64_t serial = ++serials;
            const unsigned index = static_cast<unsigned>(serial % loops.size());
            GateLoop& loop = *loops[index];
            auto entry = std::make_shared<GateEntry>(serial, index, Name(serial, withPort), withPort, host);
            switch (shared->table.Admit(entry)) {
            case ConnectionTable::Admit_e::eServed:
                Serve(loop, entry, fd, index == 0, now);
                break;
            case ConnectionTable::Admit_e::eWaiting:
                loop.Hand(Newcomer{entry, fd}, index == 0, now);
                break;
            case ConnectionTable::Admit_e::eRefused:
                Refuse(loop, *entry, fd, index == 0, now);
                break;
            case ConnectionTable::Admit_e::eFromPeer:
                Refuse(loop, *entry, fd, index == 0, now, true);
                break;
            }
        }
    }

    // A newcomer of the loop (on its thread) whose admission is decided is
    // served or refused: false while it waits.
    bool Decide(GateLoop& loop, const Newcomer& newcomer, Clock::time_point now)
    {
        switch (shared->table.Admission(*newcomer.entry)) {
        case ConnectionTable::Admit_e::eWaiting:
            return false;
        case ConnectionTable::Admit_e::eServed:
            Serve(loop, newcomer.entry, newcomer.fd, true, now);
            break;
        case ConnectionTable::Admit_e::eRefused:
        case ConnectionTable::Admit_e::eFromPeer:
            Refuse(loop, *newcomer.entry, newcomer.fd, true, now);
            break;
        }
        return true;
    }

    // A connection admitted (listed): a channel offered to the ORB
    // and handed to its loop (own: the caller runs that loop).
    void Serve(GateLoop& loop, const std::shared_ptr<GateEntry>& entry, int fd, bool own, Clock::time_point now)
    {
        const std::string& withPort = entry->address;
        auto channel = std::make_shared<GateChannel>(fd, withPort, loop.ServiceOf());
        channel->SetIdleMark(std::shared_ptr<IdleMark>(entry, &entry->idle));
        bool offered = false;
        try {
            offered = offer(channel);
        } catch (...) {
            offered = false;
        }
        if (!offered) {
            QSTD_TRACE(2, "Remote export: connection from " << withPort << " closed: the ORB takes none");
            shared->table.Remove(*entry);
            channel->DetachClient();
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
            ::close(fd);
            return;
        }
        loop.Hand(
            std::make_unique<GateConnection>(*shared, loop.Context(), entry, fd, std::move(channel), true, 0, withPort),
            own, now);
    }

    // A connection refused for the bound of connections served, or (gone)
    // while the connections whose client went from its address are
    // GoneShare() or more: its client is told which.
    void Refuse(GateLoop& loop, const GateEntry& entry, int fd, bool own, Clock::time_point now, bool gone = false)
    {
        shared->log.Warn(entry.peer, gone ? std::to_string(shared->table.GoneFrom(entry.peer)) +
                                                " connections from this address went away before their replies"
                                          : std::to_string(shared->settings.maxConnections) +
                                                " connections are open and none is idle");
        loop.Hand(std::make_unique<GateConnection>(
                      *shared, loop.Context(), nullptr, fd, std::make_shared<GateChannel>(fd, entry.address, nullptr),
                      false, gone ? zemtra_REMOTE::RefusedGoneFromAddress : zemtra_REMOTE::RefusedConnectionsBusy,
                      entry.address),
                  own, now);
    }

    std::string Name(std::uint64_t serial, const std::string& address) const
    {
        constexpr std::size_t c_maxName = sizeof(sockaddr_un::sun_path) - 1;
        const std::string name = prefix + std::to_string(serial);
        return name.size() + 1 + address.size() <= c_maxName ? name + "-" + address : name;
    }

    GiopGateSettings settings;
    const Offer offer;
    const std::string prefix;
    mutable std::mutex mutex; // Start, Stop and the questions of others
    std::unique_ptr<GateShared> shared;
    std::vector<std::unique_ptr<GateLoop>> loops;
    std::vector<int> listeners;
    std::uint64_t serials = 0;
};

GiopGate::GiopGate(const GiopGateSettings& settings, Offer offer)
    : m_impl(std::make_unique<Impl>(settings, std::move(offer)))
{
}

GiopGate::~GiopGate()
{
    Stop();
}

void GiopGate::Start(const std::string& hostOrBracketed, unsigned short port)
{
    Impl& impl = *m_impl;
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.shared) {
        throw qstd::Exception("Remote export: the gate is already running", true);
    }
    std::string host = hostOrBracketed;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) {
        throw qstd::Exception("Remote export: empty bind address (give one, e.g. 127.0.0.1)", true);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        throw qstd::Exception("Remote export: can't resolve address " + host + ": " + ::gai_strerror(rc), true);
    }
    bool v4 = false;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        v4 = v4 || a->ai_family == AF_INET;
    }
    std::vector<int> listeners;
    std::vector<std::vector<unsigned char>> bound;
    std::string failure;
    for (addrinfo* a = found; a != nullptr && failure.empty(); a = a->ai_next) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
        std::vector<unsigned char> key(bytes, bytes + a->ai_addrlen);
        if (std::find(bound.begin(), bound.end(), key) != bound.end()) {
            continue; // (a name may resolve to one address twice)
        }
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            failure = std::string("socket: ") + std::strerror(errno);
            break;
        }
        listeners.push_back(fd);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (a->ai_family == AF_INET6 && v4) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
        }
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            failure = std::strerror(errno);
        }
        bound.push_back(std::move(key));
    }
    ::freeaddrinfo(found);
    const auto closeAll = [&] {
        for (int fd : listeners) {
            ::close(fd);
        }
    };
    if (!failure.empty() || listeners.empty()) {
        closeAll();
        throw qstd::Exception("Remote export: can't bind " + host + " port " + service + ": " +
                                  (failure.empty() ? std::string("no address") : failure),
                              true);
    }
    try {
        impl.shared = std::make_unique<GateShared>(impl.settings, [&impl](unsigned loop) { impl.loops[loop]->Wake(); });
        for (unsigned i = 0; i < impl.settings.threads; ++i) {
            impl.loops.push_back(std::make_unique<GateLoop>(i));
        }
    } catch (...) {
        impl.loops.clear();
        impl.shared.reset();
        closeAll();
        throw;
    }
    impl.listeners = listeners;
    impl.loops[0]->Listen(listeners, [&impl](int fd, Clock::time_point now) { impl.Accept(fd, now); });
    for (auto& loop : impl.loops) {
        loop->Admitting([&impl](GateLoop& on, const Newcomer& newcomer, Clock::time_point now) {
            return impl.Decide(on, newcomer, now);
        });
        loop->Start();
    }
}

void GiopGate::Stop()
{
    Impl& impl = *m_impl;
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (!impl.shared) {
        return;
    }
    for (auto& loop : impl.loops) {
        loop->Stop();
    }
    // (A connection that closes may wake another loop: all are there still.)
    for (auto& loop : impl.loops) {
        loop->Drop();
    }
    impl.loops.clear();
    for (int fd : impl.listeners) {
        ::close(fd);
    }
    impl.listeners.clear();
    impl.shared.reset();
}

std::size_t GiopGate::ConnectionCount() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->shared ? m_impl->shared->table.Count() : 0;
}

GiopGate::Counts GiopGate::Counted() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Counts counts;
    if (m_impl->shared) {
        const ConnectionTable::Counts table = m_impl->shared->table.Counted();
        counts.connections = table.connections + table.gone;
        counts.gone = table.gone;
        counts.arriving = table.arriving;
        counts.arrivingBytes = table.arrivingBytes;
        counts.waitingToRead = table.waiting;
        counts.largeRequests = m_impl->shared->places.Taken();
        counts.waitingForPlace = m_impl->shared->places.Waiting();
    }
    return counts;
}

} // namespace remote
