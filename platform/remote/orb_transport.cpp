#include "platform/remote/orb_transport.h"

#include "platform/remote/gate_channel.h"

// The ORB's interface of its transports, which it calls proprietary, not
// public (it may change between versions: see orb_version.h): a transport
// makes the endpoints of its type, an endpoint accepts connections, a
// connection sends, receives and is watched for messages.
#include <omniORB4/CORBA.h>
#include <omniORB4/giopEndpoint.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace remote {

namespace {

constexpr const char* c_type = "giop:gate";
constexpr const char* c_prefix = "giop:gate:";

class ChannelConnection;

// Whether the gate released an offered channel before the ORB took it.
struct GateHold {
    std::mutex mutex;
    bool taken = false;
    bool released = false;
};

} // namespace

// The accept queue of a port, shared by the port and the ORB's endpoint
// (which the ORB may keep and delete on its own schedule).
struct GatePortQueue {
    struct Offered {
        std::shared_ptr<GateChannel> channel;
        std::shared_ptr<GateHold> hold;
    };
    std::string tcpAddress;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Offered> offered;
    // Connections the ORB watches that have a message (or the end) to
    // read: the ORB's accepting thread tells the ORB of them.
    std::deque<ChannelConnection*> ready;
    // The connections an accepting thread tells the ORB of now, and by
    // which thread: the ORB's handler reads them, so they are not deleted
    // (on another thread) until the call returns.
    std::vector<std::pair<ChannelConnection*, std::thread::id>> calling;
    std::condition_variable called;
    bool poked = false;
    bool shutDown = false;

    void Shutdown()
    {
        std::deque<Offered> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex);
            shutDown = true;
            dropped.swap(offered);
            ready.clear();
        }
        changed.notify_all();
        for (const Offered& entry : dropped) {
            entry.channel->Shutdown();
        }
    }
};

namespace {

// The ports by id, for the ORB's endpoint strings. Never destroyed: ports
// may outlive the static objects of the program.
struct PortRegistry {
    std::mutex mutex;
    std::uint32_t next = 1;
    std::map<std::uint32_t, std::shared_ptr<GatePortQueue>> ports;
};

PortRegistry& Ports()
{
    static auto* registry = new PortRegistry;
    return *registry;
}

// The id of "N" or "giop:gate:N"; false for anything else.
bool ParseId(const char* param, std::uint32_t& id)
{
    if (!param) {
        return false;
    }
    if (std::strncmp(param, c_prefix, std::strlen(c_prefix)) == 0) {
        param += std::strlen(c_prefix);
    }
    const std::size_t digits = std::strlen(param);
    if (digits == 0 || digits > 9 || std::strspn(param, "0123456789") != digits) {
        return false;
    }
    id = static_cast<std::uint32_t>(std::strtoul(param, nullptr, 10));
    return true;
}

// The steady-clock time of an ORB deadline (absolute, of
// omni_thread::get_time; zero: none).
GateChannel::Clock::time_point SteadyDeadline(const omni_time_t& deadline)
{
    if (!deadline) {
        return GateChannel::Clock::time_point::max();
    }
    omni_time_t now;
    omni_thread::get_time(now);
    const auto steadyNow = GateChannel::Clock::now();
    if (deadline <= now) {
        return steadyNow;
    }
    // A deadline years away is none.
    constexpr unsigned long c_farSeconds = 100000000UL;
    if (deadline.s - now.s > c_farSeconds) {
        return GateChannel::Clock::time_point::max();
    }
    const long long nanoseconds = static_cast<long long>(deadline.s - now.s) * 1000000000LL +
                                  static_cast<long long>(deadline.ns) - static_cast<long long>(now.ns);
    return steadyNow + std::chrono::duration_cast<GateChannel::Clock::duration>(std::chrono::nanoseconds(nanoseconds));
}

// The ORB's connection object for a channel the gate hands over: one client
// connection of the gate's endpoint, read and written through the channel
// (not gate_connection.h's GateConnection, the gate's own side of it). The
// ORB owns it (its reference count) and deletes it.
class ChannelConnection : public omni::giopConnection {
public:
    ChannelConnection(std::shared_ptr<GateChannel> channel, std::shared_ptr<GatePortQueue> queue,
                      const std::string& myAddress)
        : m_channel(std::move(channel)), m_queue(std::move(queue)), m_link(std::make_shared<Link>()),
          m_myAddress(myAddress), m_peerAddress("giop:tcp:" + m_channel->PeerAddress())
    {
        m_link->connection = this;
        m_channel->SetReadyHandler([link = m_link] {
            std::lock_guard<std::mutex> lock(link->mutex);
            if (link->connection) {
                link->connection->Ready();
            }
        });
    }

    // The ORB gives a connection up when a send or receive fails or times
    // out, or when it reads the end, without shutting it down (its own
    // connections close their sockets when it deletes them): the channel
    // is shut down then, so that the gate sees that the ORB is done with it.
    int Send(void* buffer, size_t size, const omni_time_t& deadline) override
    {
        return Done(m_channel->Send(buffer, std::min<std::size_t>(size, INT_MAX), SteadyDeadline(deadline)));
    }
    int Recv(void* buffer, size_t size, const omni_time_t& deadline) override
    {
        return Done(m_channel->Receive(buffer, std::min<std::size_t>(size, INT_MAX), SteadyDeadline(deadline)));
    }
    // Once shut down, a connection the ORB watches reads as ready, as a
    // socket does: the ORB then reads the end and lets the connection go.
    void Shutdown() override
    {
        const bool watched = m_channel->Watched();
        m_channel->Shutdown();
        if (watched) {
            m_channel->Unwatch();
            Ready();
        }
    }
    const char* myaddress() override { return m_myAddress.c_str(); }
    const char* peeraddress() override { return m_peerAddress.c_str(); }

    // now 2: only when watched already. Otherwise the channel is watched at
    // once; the gate's loop tells the ORB of what is there. (The ORB asks
    // with 2 when a request thread is done with the connection and does
    // not peek, or peeked in vain: the client's socket goes back to the
    // loop.)
    void setSelectable(int now, CORBA::Boolean dataInBuffer) override
    {
        if (now != 2 || m_channel->Watched()) {
            m_channel->Watch(dataInBuffer != 0);
        }
        if (now == 2) {
            m_channel->HandBack();
        }
    }
    void clearSelectable() override
    {
        m_channel->Unwatch();
        Forget();
    }
    CORBA::Boolean isSelectable() override { return 1; }
    CORBA::Boolean Peek() override { return m_channel->Peek() ? 1 : 0; }

    const std::shared_ptr<GateChannel>& Channel() const { return m_channel; }

private:
    // The connection as the channel's ready handler reaches it, until the
    // ORB deletes it.
    struct Link {
        std::mutex mutex;
        ChannelConnection* connection = nullptr;
    };

    // Has the ORB's accepting thread tell the ORB that the connection is
    // ready.
    void Ready()
    {
        {
            std::lock_guard<std::mutex> lock(m_queue->mutex);
            if (m_queue->shutDown ||
                std::find(m_queue->ready.begin(), m_queue->ready.end(), this) != m_queue->ready.end()) {
                return;
            }
            m_queue->ready.push_back(this);
        }
        m_queue->changed.notify_all();
    }

    int Done(long result)
    {
        if (result <= 0) {
            m_channel->Shutdown();
        }
        return static_cast<int>(result);
    }

    // The ORB is not told of the connection any more.
    void Forget()
    {
        std::lock_guard<std::mutex> lock(m_queue->mutex);
        m_queue->ready.erase(std::remove(m_queue->ready.begin(), m_queue->ready.end(), this), m_queue->ready.end());
    }

    // Deleted by the ORB when its last reference goes; the gate's loop may
    // still serve the channel (what the ORB sent still goes out).
    ~ChannelConnection() override
    {
        {
            std::lock_guard<std::mutex> lock(m_link->mutex);
            m_link->connection = nullptr;
        }
        m_channel->Shutdown();
        // Not while the accepting thread tells the ORB of this connection
        // (the ORB deletes it on another thread, outside the lock its
        // handler takes).
        std::unique_lock<std::mutex> lock(m_queue->mutex);
        m_queue->ready.erase(std::remove(m_queue->ready.begin(), m_queue->ready.end(), this), m_queue->ready.end());
        m_queue->called.wait(lock, [this] {
            return std::none_of(m_queue->calling.begin(), m_queue->calling.end(), [this](const auto& call) {
                return call.first == this && call.second != std::this_thread::get_id();
            });
        });
    }

    const std::shared_ptr<GateChannel> m_channel;
    const std::shared_ptr<GatePortQueue> m_queue;
    const std::shared_ptr<Link> m_link;
    const std::string m_myAddress;
    const std::string m_peerAddress;
};

// The ORB's endpoint of a port.
class GateEndpoint : public omni::giopEndpoint {
public:
    GateEndpoint(std::shared_ptr<GatePortQueue> queue, std::string uri)
        : m_queue(std::move(queue)), m_uri(std::move(uri))
    {
        m_addresses.length(1);
        m_addresses[0] = CORBA::string_dup(m_queue->tcpAddress.c_str());
    }

    const char* type() const override { return c_type; }
    // The address clients reach the endpoint at: the gate's.
    const char* address() const override { return m_queue->tcpAddress.c_str(); }
    const omni::orbServer::EndpointList* addresses() const override { return &m_addresses; }

    // References name the gate's TCP address, whatever the endpoint descriptions ask.
    CORBA::Boolean publish(const omni::orbServer::PublishSpecs&, CORBA::Boolean, CORBA::Boolean,
                           omni::orbServer::EndpointList& published) override
    {
        if (no_publish()) {
            return 1;
        }
        const char* address = m_queue->tcpAddress.c_str();
        for (CORBA::ULong i = 0; i < published.length(); ++i) {
            if (std::strcmp(published[i], address) == 0) {
                return 1;
            }
        }
        // As the ORB's own TCP endpoint publishes its address.
        if (!omni::giopEndpoint::addToIOR(address)) {
            return 0;
        }
        const CORBA::ULong count = published.length();
        published.length(count + 1);
        published[count] = CORBA::string_dup(address);
        return 1;
    }

    CORBA::Boolean Bind() override { return 1; }

    // Tells the ORB of its connections that are ready, on this thread as
    // the ORB's own transports do: the ORB lets a connection go only after
    // a request thread took it from here, or after this thread stopped.
    omni::giopConnection* AcceptAndMonitor(omni::giopConnection::notifyReadable_t func, void* cookie) override
    {
        std::unique_lock<std::mutex> lock(m_queue->mutex);
        for (;;) {
            m_queue->changed.wait(lock, [this] {
                return m_queue->shutDown || m_queue->poked || !m_queue->offered.empty() || !m_queue->ready.empty();
            });
            if (m_queue->shutDown) {
                return nullptr;
            }
            if (m_queue->poked) {
                m_queue->poked = false;
                return nullptr;
            }
            if (!m_queue->ready.empty()) {
                ChannelConnection* connection = m_queue->ready.front();
                m_queue->ready.pop_front();
                const std::pair<ChannelConnection*, std::thread::id> call(connection, std::this_thread::get_id());
                m_queue->calling.push_back(call);
                lock.unlock();
                func(cookie, connection);
                lock.lock();
                m_queue->calling.erase(std::find(m_queue->calling.begin(), m_queue->calling.end(), call));
                m_queue->called.notify_all();
                continue;
            }
            GatePortQueue::Offered entry = std::move(m_queue->offered.front());
            m_queue->offered.pop_front();
            lock.unlock();
            if (Take(entry)) {
                return new ChannelConnection(entry.channel, m_queue, m_uri);
            }
            // The gate released it before the ORB took it.
            entry.channel->Shutdown();
            lock.lock();
        }
    }

    void Poke() override
    {
        {
            std::lock_guard<std::mutex> lock(m_queue->mutex);
            m_queue->poked = true;
        }
        m_queue->changed.notify_all();
    }

    // The ORB's last call of its endpoint: as its own endpoints do, this
    // one goes with it (the ORB never deletes an endpoint).
    void Shutdown() override
    {
        m_queue->Shutdown();
        delete this;
    }

private:
    // Whether the ORB takes an offered channel: not when the gate
    // released it already.
    static bool Take(const GatePortQueue::Offered& entry)
    {
        std::lock_guard<std::mutex> lock(entry.hold->mutex);
        if (entry.hold->released) {
            return false;
        }
        entry.hold->taken = true;
        return true;
    }

    const std::shared_ptr<GatePortQueue> m_queue;
    const std::string m_uri;
    omni::orbServer::EndpointList m_addresses;
};

// The transport of the type "giop:gate": endpoints only (no client
// connects to such an address), never in references.
class GateTransport : public omni::giopTransportImpl {
public:
    GateTransport() : omni::giopTransportImpl(c_type) {}

    omni::giopEndpoint* toEndpoint(const char* param) override
    {
        std::uint32_t id = 0;
        if (!ParseId(param, id)) {
            return nullptr;
        }
        PortRegistry& registry = Ports();
        std::lock_guard<std::mutex> lock(registry.mutex);
        const auto found = registry.ports.find(id);
        if (found == registry.ports.end()) {
            return nullptr;
        }
        return new GateEndpoint(found->second, c_prefix + std::to_string(id));
    }
    omni::giopAddress* toAddress(const char*) override { return nullptr; }
    CORBA::Boolean isValid(const char* param) override
    {
        std::uint32_t id = 0;
        return ParseId(param, id) ? 1 : 0;
    }
    CORBA::Boolean addToIOR(const char*, omni::IORPublish*) override { return 0; }
    const omnivector<const char*>* getInterfaceAddress() override { return &m_none; }

private:
    omnivector<const char*> m_none;
};

} // namespace

void RegisterGateTransport()
{
    // Registered in the ORB's list of transports by its constructor; kept
    // for the life of the program.
    static auto* transport = new GateTransport;
    (void)transport;
}

OrbGatePort::OrbGatePort(const std::string& host, unsigned short port) : m_queue(std::make_shared<GatePortQueue>())
{
    const bool bracket = !host.empty() && host.find(':') != std::string::npos && host.front() != '[';
    m_tcpAddress = "giop:tcp:" + (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
    m_queue->tcpAddress = m_tcpAddress;
    PortRegistry& registry = Ports();
    std::lock_guard<std::mutex> lock(registry.mutex);
    m_id = registry.next++;
    registry.ports.emplace(m_id, m_queue);
}

OrbGatePort::~OrbGatePort()
{
    {
        PortRegistry& registry = Ports();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.ports.erase(m_id);
    }
    m_queue->Shutdown();
}

std::string OrbGatePort::EndpointUri() const
{
    return c_prefix + std::to_string(m_id);
}

const std::string& OrbGatePort::TcpAddress() const
{
    return m_tcpAddress;
}

bool OrbGatePort::Offer(std::shared_ptr<GateChannel> channel, Release& release)
{
    auto hold = std::make_shared<GateHold>();
    {
        std::lock_guard<std::mutex> lock(m_queue->mutex);
        if (m_queue->shutDown) {
            return false;
        }
        m_queue->offered.push_back({std::move(channel), hold});
    }
    m_queue->changed.notify_all();
    release = [hold] {
        std::lock_guard<std::mutex> lock(hold->mutex);
        hold->released = true;
    };
    return true;
}

void OrbGatePort::Shutdown()
{
    m_queue->Shutdown();
}

std::shared_ptr<GateChannel> GateChannelOf(omni::giopConnection* connection)
{
    if (auto* gate = dynamic_cast<ChannelConnection*>(connection)) {
        return gate->Channel();
    }
    return nullptr;
}

} // namespace remote
