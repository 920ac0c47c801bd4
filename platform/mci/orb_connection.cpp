#include "platform/mci/orb_connection.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/internal/SocketCollection.h>
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/omniTransport.h>
// Needs the stream classes above.
#include <omniORB4/internal/GIOP_S.h>

namespace mci {

namespace {

// The ORB's TCP connections keep their socket in their socket holder part.
struct SocketHolderOf : omni::SocketHolder {
    static int Socket(omni::giopConnection* connection)
    {
        auto* holder = dynamic_cast<omni::SocketHolder*>(connection);
        return holder ? static_cast<int>(holder->*(&SocketHolderOf::pd_socket)) : -1;
    }
};

} // namespace

int SocketOf(omni::giopConnection* connection)
{
    return SocketHolderOf::Socket(connection);
}

void ForEachStrand(omni::StrandList& list, const std::function<void(omni::giopStrand&)>& visit)
{
    for (omni::StrandList* p = list.next; p != &list; p = p->next) {
        visit(static_cast<omni::giopStrand&>(static_cast<omni::Strand&>(*p)));
    }
}

void EndConnection(omni::GIOP_S& request)
{
    omni::giopStrand& strand = request.strand();
    strand.state(omni::giopStrand::DYING);
    strand.connection->Shutdown();
}

void FailRequest(omni::GIOP_S& request)
{
    EndConnection(request);
    throw omni::giopStream::CommFailure(0, CORBA::COMPLETED_NO, 0);
}

} // namespace mci
