#include "platform/remote/remote_outgoing.h"

#include "platform/remote/orb_adapter.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniInterceptors.h>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace remote {

namespace {

// The first IIOP profile of a reference: false when it has none.
bool IiopProfile(CORBA::Object_ptr object, std::string& host, unsigned short& port, std::string& key, unsigned& minor)
{
    if (CORBA::is_nil(object) || object->_PR_getobj() == nullptr) {
        return false;
    }
    bool found = false;
    omniIOR* ior = object->_PR_getobj()->_getIOR();
    try {
        const IOP::TaggedProfileList& profiles = ior->iopProfiles();
        for (CORBA::ULong i = 0; i < profiles.length() && !found; ++i) {
            if (profiles[i].tag == IOP::TAG_INTERNET_IOP) {
                IIOP::ProfileBody body;
                IIOP::unmarshalProfile(profiles[i], body);
                host = body.address.host.in();
                port = body.address.port;
                key.assign(reinterpret_cast<const char*>(body.object_key.get_buffer()), body.object_key.length());
                minor = body.version.minor;
                found = !host.empty();
            }
        }
    } catch (const CORBA::Exception&) {
        found = false; // an undecodable profile: counted with the others
    }
    ior->release();
    return found;
}

// The ORB's idle connections to the endpoint, and whether one of them reads
// as closed by its peer (only polled: the ORB owns the socket).
struct IdleConnections {
    std::size_t count = 0;
    bool closedByPeer = false;
};
IdleConnections IdleConnectionsTo(const std::string& orbAddress)
{
    IdleConnections idle;
    ForEachQuietOutgoingConnection([&](const char* address, int socket) {
        if (orbAddress == address) {
            ++idle.count;
            pollfd p{socket, POLLRDHUP, 0};
            idle.closedByPeer |= ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        }
    });
    return idle;
}

// The calls of one round of GiveUpClosedConnections: each, once the ORB
// has given it a connection, holds it until all have one, or c_holdWait
// has passed (the ORB may make one wait for a connection instead).
struct HoldRound {
    std::mutex mutex;
    std::condition_variable all;
    std::size_t calls = 0;
    std::size_t holding = 0;
};
constexpr std::chrono::milliseconds c_holdWait{500};
thread_local HoldRound* t_round = nullptr;
thread_local bool t_held = false; // (a call the ORB sends again passes)

CORBA::Boolean HoldConnection(omni::omniInterceptors::clientSendRequest_T::info_T&)
{
    HoldRound* round = t_round;
    if (round == nullptr || t_held) {
        return true;
    }
    t_held = true;
    std::unique_lock<std::mutex> lock(round->mutex);
    if (++round->holding >= round->calls) {
        round->all.notify_all();
    }
    round->all.wait_for(lock, c_holdWait, [round] { return round->holding >= round->calls; });
    return true;
}

// The ORB hands a call the first idle connection to the endpoint, so a call
// that went through may have passed by one whose client is gone. While one
// is left, as many calls as there are idle connections go at once, one
// each (a call that ended before the next took a connection would give its
// own back to be taken again: each holds it until all have one), and the
// ORB gives up those that fail.
void GiveUpClosedConnections(CORBA::Object_ptr object)
{
    const std::string orbAddress = RemoteObjectOf(object).orbAddress;
    for (unsigned round = 0; round < c_staleAttempts; ++round) {
        const IdleConnections idle = IdleConnectionsTo(orbAddress);
        if (!idle.closedByPeer) {
            return;
        }
        HoldRound hold;
        hold.calls = idle.count;
        std::vector<std::thread> calls;
        for (std::size_t i = 0; i < idle.count; ++i) {
            calls.emplace_back([object, &hold] {
                t_round = &hold;
                t_held = false;
                try {
                    object->_non_existent();
                } catch (const CORBA::Exception&) {
                }
                t_round = nullptr;
            });
        }
        for (std::thread& call : calls) {
            call.join();
        }
    }
}

} // namespace

std::string OrbAddress(const std::string& host, unsigned short port)
{
    const bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    return "giop:tcp:" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

OutgoingState OutgoingConnections::To(const std::string& orbAddress)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - m_taken >= c_fresh) {
        m_states.clear();
        m_taken = now;
        ForEachQuietOutgoingConnection([&](const char* address, int socket) {
            OutgoingState& state = m_states[address];
            int unsent = 0;
            if (::ioctl(socket, SIOCOUTQ, &unsent) == 0 && unsent > 0) {
                state.unsent = std::max(state.unsent, static_cast<std::size_t>(unsent));
            }
            state.connected = true;
        });
    }
    const auto found = m_states.find(orbAddress);
    return found == m_states.end() ? OutgoingState() : found->second;
}

RemoteObject RemoteObjectOf(CORBA::Object_ptr object)
{
    RemoteObject remote;
    std::string host;
    unsigned short port = 0;
    std::string key;
    unsigned minor = 0;
    if (IiopProfile(object, host, port, key, minor)) {
        remote.clientKey = host + ":" + std::to_string(port);
        remote.objectKey = remote.clientKey + "/" + key;
        remote.target.host = host;
        remote.target.port = port;
        remote.target.objectKey = key;
        remote.target.minor = minor;
        remote.orbAddress = OrbAddress(host, port);
    } else {
        remote.clientKey = "(no IIOP endpoint)";
    }
    remote.inProcess = IsInProcess(object);
    return remote;
}

void HoldOutgoingCalls()
{
    auto& interceptor = omniORB::getInterceptors()->clientSendRequest;
    interceptor.remove(HoldConnection); // (the ORB's list may outlive an ORB)
    interceptor.add(HoldConnection);
}

bool Reach(CORBA::Object_ptr object, std::string& reason)
{
    for (unsigned attempt = 1;; ++attempt) {
        try {
            if (object->_non_existent()) {
                reason = "OBJECT_NOT_EXIST";
                return false;
            }
            GiveUpClosedConnections(object);
            return true;
        } catch (const CORBA::COMM_FAILURE& e) {
            if (attempt >= c_staleAttempts) {
                reason = e._name();
                return false;
            }
        } catch (const CORBA::TIMEOUT&) {
            return true;
        } catch (const CORBA::Exception& e) {
            reason = e._name();
            return false;
        }
    }
}

} // namespace remote
