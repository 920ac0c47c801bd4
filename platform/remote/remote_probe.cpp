#include "platform/remote/remote_probe.h"

#include "platform/qstd/trace.h"
#include "platform/remote/giop_framing.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

namespace remote {

namespace giop {

namespace {

void PutULong(std::string& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}

} // namespace

std::string LocateRequest(std::uint32_t requestId, const std::string& objectKey, unsigned minor)
{
    minor = std::min(minor, 2u);
    std::string body;
    PutULong(body, requestId);
    if (minor >= 2) {
        // TargetAddress: KeyAddr (0), then the key aligned to 4 from the
        // start of the message (the header takes 12 bytes).
        body.append({'\0', '\0', '\0', '\0'});
    }
    PutULong(body, static_cast<std::uint32_t>(objectKey.size()));
    body += objectKey;
    const auto header = MakeHeader(static_cast<unsigned char>(minor), MsgType_e::eLocateRequest,
                                   static_cast<std::uint32_t>(body.size()));
    return std::string(header.data(), header.size()) + body;
}

Parsed ParseMessage(const unsigned char* data, std::size_t size, Message& message, std::size_t& used)
{
    used = 0;
    Header header;
    switch (ParseHeader(data, size, header)) {
    case HeaderStatus_e::eIncomplete:
        return Parsed::eIncomplete;
    case HeaderStatus_e::eNotGiop:
    case HeaderStatus_e::eUnsupported:
        return Parsed::eMalformed;
    case HeaderStatus_e::eOk:
        break;
    }
    if (header.moreFragments) {
        return Parsed::eMalformed; // a fragment
    }
    const bool littleEndian = header.littleEndian;
    const std::uint32_t body = header.bodySize;
    if (body > c_maxMessageBytes - c_headerSize) {
        return Parsed::eMalformed;
    }
    if (size < c_headerSize + body) {
        return Parsed::eIncomplete;
    }
    message = Message();
    message.type = data[7];
    if (message.type == c_locateReply) {
        if (body < 8) {
            return Parsed::eMalformed;
        }
        message.requestId = ULong(data + 12, littleEndian);
        message.locateStatus = ULong(data + 16, littleEndian);
        // GIOP 1.2 follows a system exception with its repository id.
        if (message.locateStatus == c_locSystemException && body >= 12) {
            const std::uint32_t length = ULong(data + 20, littleEndian);
            if (length > 0 && length <= body - 12) {
                const char* id = reinterpret_cast<const char*>(data + 24);
                message.exceptionId.assign(id, ::strnlen(id, length));
            }
        }
    }
    used = c_headerSize + body;
    return Parsed::eMessage;
}

} // namespace giop

struct RemoteProber::Object {
    std::string endpoint;
    std::string key;
    unsigned minor = 2;
    Status status;
    bool waiting = false; // a probe is queued or sent
    std::chrono::steady_clock::time_point asked;
};

struct RemoteProber::Link {
    std::string host;
    unsigned short port = 0;
    bool resolved = false; // address holds the host's (else it is being looked up)
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    int fd = -1;
    bool connecting = false;
    std::chrono::steady_clock::time_point connectStarted{};
    std::chrono::steady_clock::time_point retryAt{}; // when a closed connection may be made anew
    std::string out;                                 // bytes to send
    std::string in;                                  // bytes received, not yet a whole message
    std::map<std::uint32_t, std::string> pending;    // request id -> object, queued or sent
};

namespace {

using Clock = std::chrono::steady_clock;

// The address of an IOR profile's host, by lookup (a number alone when
// lookup is null: no lookup waits for the network then); false when it
// names nothing.
bool Resolve(const RemoteProber::Lookup* lookup, const std::string& host, unsigned short port,
             sockaddr_storage& address, socklen_t& length)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = lookup ? AI_NUMERICSERV : AI_NUMERICSERV | AI_NUMERICHOST;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
        bare = bare.substr(1, bare.size() - 2);
    }
    const int failed = lookup ? (*lookup)(bare.c_str(), service.c_str(), &hints, &found)
                              : ::getaddrinfo(bare.c_str(), service.c_str(), &hints, &found);
    if (failed != 0 || found == nullptr) {
        return false;
    }
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

} // namespace

RemoteProber::RemoteProber() : RemoteProber(::getaddrinfo) {}

RemoteProber::RemoteProber(Lookup lookup)
    : m_lookup(std::move(lookup)), m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

RemoteProber::~RemoteProber()
{
    Stop();
    if (m_wake >= 0) {
        ::close(m_wake);
    }
}

void RemoteProber::Wake()
{
    const std::uint64_t one = 1;
    if (::write(m_wake, &one, sizeof(one)) < 0) {
        // Already pending: the thread wakes anyway.
    }
}

RemoteProber::Status RemoteProber::Probe(const Target& target)
{
    const std::string endpoint = target.host + ":" + std::to_string(target.port);
    const std::string id = endpoint + "/" + target.objectKey;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !target.Valid() || m_wake < 0) {
        return Status();
    }
    const auto now = Clock::now();
    auto found = m_objects.find(id);
    if (found == m_objects.end()) {
        Object object;
        object.endpoint = endpoint;
        object.key = target.objectKey;
        object.minor = target.minor;
        found = m_objects.emplace(id, std::move(object)).first;
    }
    Object& object = found->second;
    object.asked = now;
    if (object.status.state == eObjectGone || object.status.state == eClientGone) {
        const Status gone = object.status;
        m_objects.erase(found);
        return gone;
    }
    if (!object.waiting) {
        auto link = m_links.find(endpoint);
        if (link == m_links.end()) {
            Link made;
            made.host = target.host;
            made.port = target.port;
            made.resolved = Resolve(nullptr, target.host, target.port, made.address, made.addressLength);
            link = m_links.emplace(endpoint, std::move(made)).first;
            if (!link->second.resolved) {
                m_lookups.push_back(endpoint);
                if (!m_lookupThread.joinable()) {
                    m_lookupThread = std::thread(&RemoteProber::LookUp, this);
                }
                m_lookupWake.notify_one();
            }
        }
        Queue(link->second, object, id);
        if (!object.status.Waiting()) {
            object.status.waitingSince = now;
        }
        if (!m_thread.joinable()) {
            m_thread = std::thread(&RemoteProber::Run, this);
        }
        Wake();
    }
    return object.status;
}

RemoteProber::Status RemoteProber::Peek(const Target& target)
{
    const std::string id = target.host + ":" + std::to_string(target.port) + "/" + target.objectKey;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_objects.find(id);
    if (found == m_objects.end()) {
        return Status();
    }
    found->second.asked = Clock::now();
    return found->second.status;
}

void RemoteProber::Stop()
{
    std::thread thread;
    std::thread lookup;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        thread.swap(m_thread);
        lookup.swap(m_lookupThread);
    }
    Wake();
    m_lookupWake.notify_all();
    for (std::thread* t : {&thread, &lookup}) {
        if (t->joinable()) {
            t->join();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& link : m_links) {
        Close(link.second);
    }
    m_links.clear();
    m_objects.clear();
    m_lookups.clear();
}

void RemoteProber::LookUp()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_lookupWake.wait(lock, [this] { return m_stop || !m_lookups.empty(); });
        if (m_stop) {
            return;
        }
        const std::string endpoint = m_lookups.front();
        m_lookups.pop_front();
        auto link = m_links.find(endpoint);
        if (link == m_links.end() || link->second.resolved) {
            continue; // forgotten meanwhile, or looked up already
        }
        const std::string host = link->second.host;
        const unsigned short port = link->second.port;
        sockaddr_storage address{};
        socklen_t length = 0;
        lock.unlock();
        const bool found = Resolve(&m_lookup, host, port, address, length);
        lock.lock();
        if (m_stop) {
            return;
        }
        link = m_links.find(endpoint);
        if (link == m_links.end() || link->second.resolved) {
            continue;
        }
        if (!found) {
            // Its probes report the client gone; asked again, the name is
            // looked up anew.
            ClientGone(link->second, "no address for host " + host);
            m_links.erase(link);
            continue;
        }
        link->second.address = address;
        link->second.addressLength = length;
        link->second.resolved = true;
        Wake(); // the probes go out
    }
}

void RemoteProber::Queue(Link& link, Object& object, const std::string& id)
{
    const std::uint32_t request = m_nextRequest++;
    link.out += giop::LocateRequest(request, object.key, object.minor);
    link.pending[request] = id;
    object.waiting = true;
}

void RemoteProber::Close(Link& link)
{
    if (link.fd >= 0) {
        ::close(link.fd);
    }
    link.fd = -1;
    link.connecting = false;
    link.in.clear();
}

void RemoteProber::Connect(Link& link, Clock::time_point now)
{
    link.connectStarted = now;
    link.retryAt = now + c_reconnectPause;
    link.fd = ::socket(link.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (link.fd < 0) {
        return; // tried again when due
    }
    if (::connect(link.fd, reinterpret_cast<const sockaddr*>(&link.address), link.addressLength) == 0) {
        Send(link);
        return;
    }
    if (errno == EINPROGRESS) {
        link.connecting = true;
        return;
    }
    if (errno == ECONNREFUSED) {
        ClientGone(link, "connection refused");
        return;
    }
    Close(link); // unreachable for now: the probes wait on
}

void RemoteProber::Lost(Link& link, Clock::time_point now)
{
    Close(link);
    // Sent probes may be lost with the connection: every waiting one goes
    // out again, whole, on the next.
    std::map<std::uint32_t, std::string> pending;
    pending.swap(link.pending);
    link.out.clear();
    for (const auto& p : pending) {
        auto object = m_objects.find(p.second);
        if (object != m_objects.end()) {
            Queue(link, object->second, p.second);
        }
    }
    link.retryAt = std::max(link.retryAt, now);
}

void RemoteProber::Settle(Object& object, State_e state, const std::string& reason, Clock::time_point now)
{
    Status& status = object.status;
    status.state = state;
    status.reason = reason;
    if (state != eClientGone) {
        status.answeredAt = now;
    }
    status.waitingSince = Clock::time_point::max();
    object.waiting = false;
}

void RemoteProber::ClientGone(Link& link, const std::string& reason)
{
    Close(link);
    const auto now = Clock::now();
    for (const auto& p : link.pending) {
        auto object = m_objects.find(p.second);
        if (object != m_objects.end()) {
            Settle(object->second, eClientGone, reason, now);
        }
    }
    link.pending.clear();
    link.out.clear();
}

void RemoteProber::Send(Link& link)
{
    while (!link.out.empty()) {
        const ssize_t n = ::send(link.fd, link.out.data(), link.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            link.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        // The peer went away: the receive side tells how (refused or lost).
        return;
    }
}

void RemoteProber::Answered(Link& link, const giop::Message& message, Clock::time_point now)
{
    if (message.type == giop::c_messageError) {
        // The client's ORB answered, if not in our words: it is there.
        for (const auto& p : link.pending) {
            auto object = m_objects.find(p.second);
            if (object != m_objects.end()) {
                Settle(object->second, eAnswering, "", now);
            }
        }
        link.pending.clear();
        return;
    }
    if (message.type != giop::c_locateReply) {
        return;
    }
    auto request = link.pending.find(message.requestId);
    if (request == link.pending.end()) {
        return; // a probe given up on
    }
    auto object = m_objects.find(request->second);
    link.pending.erase(request);
    if (object == m_objects.end()) {
        return;
    }
    const bool gone = message.locateStatus == giop::c_unknownObject ||
                      (message.locateStatus == giop::c_locSystemException &&
                       message.exceptionId.find("OBJECT_NOT_EXIST") != std::string::npos);
    Settle(object->second, gone ? eObjectGone : eAnswering, gone ? "object unknown to its client" : "", now);
}

void RemoteProber::Receive(const std::string& endpoint, Link& link, Clock::time_point now)
{
    // At most one message's worth at a time: what a client sends takes
    // no more memory than that (a longer message is refused below).
    char buffer[4096];
    while (link.in.size() < giop::c_maxMessageBytes) {
        const ssize_t n = ::recv(link.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) {
            link.in.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            break;
        }
        // Closed or reset by the client (or its system, once it is gone).
        Lost(link, now);
        return;
    }
    std::size_t at = 0;
    for (;;) {
        giop::Message message;
        std::size_t used = 0;
        const giop::Parsed parsed = giop::ParseMessage(reinterpret_cast<const unsigned char*>(link.in.data()) + at,
                                                       link.in.size() - at, message, used);
        if (parsed == giop::Parsed::eIncomplete) {
            break;
        }
        if (parsed == giop::Parsed::eMalformed) {
            QSTD_TRACE(2, "Remote probe of " << endpoint << ": not a GIOP answer, connection closed");
            Lost(link, now);
            return;
        }
        at += used;
        if (message.type == giop::c_closeConnection) {
            // The client closes the connection (idle): waiting probes go
            // out anew on the next.
            Lost(link, now);
            return;
        }
        Answered(link, message, now);
        if (message.type == giop::c_messageError) {
            Close(link);
            return;
        }
    }
    link.in.erase(0, at);
}

void RemoteProber::Forget(Clock::time_point now)
{
    std::set<std::string> used;
    for (auto it = m_objects.begin(); it != m_objects.end();) {
        if (now - it->second.asked >= c_forgetAfter) {
            it = m_objects.erase(it);
        } else {
            used.insert(it->second.endpoint);
            ++it;
        }
    }
    for (auto it = m_links.begin(); it != m_links.end();) {
        if (used.count(it->first) == 0) {
            Close(it->second);
            it = m_links.erase(it);
            continue;
        }
        for (auto p = it->second.pending.begin(); p != it->second.pending.end();) {
            p = m_objects.count(p->second) == 0 ? it->second.pending.erase(p) : std::next(p);
        }
        ++it;
    }
}

void RemoteProber::Run()
{
    std::vector<pollfd> fds;
    std::vector<std::string> endpoints;
    auto lastForget = Clock::now();
    for (;;) {
        fds.assign(1, pollfd{m_wake, POLLIN, 0});
        endpoints.assign(1, std::string());
        auto timeout = std::chrono::milliseconds(1000);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) {
                return;
            }
            const auto now = Clock::now();
            if (now - lastForget >= std::chrono::seconds(1)) {
                Forget(now);
                lastForget = now;
            }
            for (auto& entry : m_links) {
                Link& link = entry.second;
                if (link.connecting && now - link.connectStarted >= c_connectTimeout) {
                    Close(link); // made anew: a probe sent on it would not have gone out
                }
                if (link.fd < 0 && !link.pending.empty() && link.resolved) {
                    if (now >= link.retryAt) {
                        Connect(link, now);
                    } else {
                        timeout = std::min(timeout,
                                           std::chrono::duration_cast<std::chrono::milliseconds>(link.retryAt - now) +
                                               std::chrono::milliseconds(1));
                    }
                }
                if (link.fd >= 0) {
                    const short events = link.connecting || !link.out.empty() ? POLLIN | POLLOUT : POLLIN;
                    fds.push_back(pollfd{link.fd, events, 0});
                    endpoints.push_back(entry.first);
                }
            }
        }
        ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            if (::read(m_wake, &count, sizeof(count)) < 0) {
                // Nothing to take: woken by another event.
            }
        }
        const auto now = Clock::now();
        for (std::size_t i = 1; i < fds.size(); ++i) {
            auto found = m_links.find(endpoints[i]);
            if (fds[i].revents == 0 || found == m_links.end() || found->second.fd != fds[i].fd) {
                continue;
            }
            Link& link = found->second;
            if (link.connecting) {
                int error = 0;
                socklen_t length = sizeof(error);
                ::getsockopt(link.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == ECONNREFUSED) {
                    ClientGone(link, "connection refused");
                    continue;
                }
                if (error != 0) {
                    Close(link); // made anew when due
                    continue;
                }
                link.connecting = false;
            }
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                Receive(endpoints[i], link, now);
            }
            if (link.fd >= 0 && !link.connecting) {
                Send(link);
            }
        }
    }
}

} // namespace remote
