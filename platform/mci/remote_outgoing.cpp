#include "platform/mci/remote_outgoing.h"

#include "platform/mci/orb_connection.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniTransport.h>
// The connection objects of the ORB, for the state of an outgoing connection.
#include <omniORB4/internal/giopRope.h>
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/omniIdentity.h>
// Needs the stream classes above.
#include <omniORB4/internal/GIOP_C.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace mci {

namespace {

// Whether no thread of this process sends or receives on the strand, nor
// waits to (its locks are taken and given back under the transport lock,
// after the connection was made): then its connection can be looked at.
bool Quiet(const omni::giopStrand& strand)
{
    return strand.rd_nwaiting == 0 && strand.wr_nwaiting == 0;
}

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

// Whether the object lives in this process: a call to it is a function call.
bool IsInProcess(CORBA::Object_ptr object)
{
    if (CORBA::is_nil(object) || object->_PR_getobj() == nullptr) {
        return false;
    }
    omniObjRef* ref = object->_PR_getobj();
    omni_tracedmutex_lock sync(*omni::internalLock);
    omniIdentity* identity = ref->_identity();
    return identity != nullptr && identity->inThisAddressSpace();
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
        // Under the ORB's transport lock: no connection looked at is closed meanwhile.
        omni_tracedmutex_lock transport(*omni::omniTransportLock);
        for (omni::StrandList* list : {&omni::giopStrand::active, &omni::giopStrand::active_timedout}) {
            ForEachStrand(*list, [&](omni::giopStrand& strand) {
                if (strand.address == nullptr || !Quiet(strand) || strand.connection == nullptr) {
                    return;
                }
                const int fd = SocketOf(strand.connection);
                if (fd < 0) {
                    return;
                }
                OutgoingState& state = m_states[strand.address->address()];
                int unsent = 0;
                if (::ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent > 0) {
                    state.unsent = std::max(state.unsent, static_cast<std::size_t>(unsent));
                }
                state.connected = true;
            });
        }
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

bool Reach(CORBA::Object_ptr object, std::string& reason)
{
    for (unsigned attempt = 1;; ++attempt) {
        try {
            if (object->_non_existent()) {
                reason = "OBJECT_NOT_EXIST";
                return false;
            }
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

} // namespace mci
