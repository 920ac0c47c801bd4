#include "platform/remote/orb_adapter.h"

// The ORB's connection classes, whose public handle() gives their socket;
// they include the ORB's internal headers by bare name (see
// platform/CMakeLists.txt).
#include <omniORB4/omniTransport.h>
#include <omniORB4/tcpConnection.h>
#include <omniORB4/unixConnection.h>
// The ORB's lists of connections, for the outgoing ones, and the identity
// of an object reference.
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/omniIdentity.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>

namespace remote {

int OrbSocketOf(omni::giopConnection* connection)
{
    if (auto* local = dynamic_cast<omni::unixConnection*>(connection)) {
        return static_cast<int>(local->handle());
    }
    if (auto* tcp = dynamic_cast<omni::tcpConnection*>(connection)) {
        return static_cast<int>(tcp->handle());
    }
    return -1;
}

void ForEachQuietOutgoingConnection(const std::function<void(const char* orbAddress, int socket)>& visit)
{
    omni_tracedmutex_lock transport(*omni::omniTransportLock);
    for (omni::StrandList* list : {&omni::giopStrand::active, &omni::giopStrand::active_timedout}) {
        for (omni::StrandList* p = list->next; p != list; p = p->next) {
            const auto& strand = static_cast<const omni::giopStrand&>(static_cast<omni::Strand&>(*p));
            // A thread takes and gives back a strand's locks under the
            // transport lock, and counts itself while it waits for one.
            if (strand.address == nullptr || strand.connection == nullptr || strand.rd_nwaiting != 0 ||
                strand.wr_nwaiting != 0) {
                continue;
            }
            const int socket = OrbSocketOf(strand.connection);
            if (socket >= 0) {
                visit(strand.address->address(), socket);
            }
        }
    }
}

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

} // namespace remote
