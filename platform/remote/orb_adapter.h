#pragma once
// What the remote service reads of the ORB beyond its interface, all of it
// here: the socket of one of its connections, the state of its outgoing
// connections to clients, and whether an object lives in this process. Nothing here writes to the ORB
// or keeps an object of its own beyond the call. It was verified with
// omniORB 4.2 (cmake/omniorb.cmake refuses another version, and the server
// another library at run time: orb_version.h), and
// tests/platform/remote/orb_adapter_test.cpp fails when one of its
// assumptions no longer holds.

#include <omniORB4/CORBA.h>

#include <functional>
#include <string>

namespace omni {
class giopConnection;
}

namespace remote {

// The socket of a connection that the ORB made to a remote endpoint (TCP or
// Unix), or -1 (a channel of the gate's, the only connections it accepts,
// has none). The ORB keeps the connection, and with it the socket, while
// one of its requests is served.
int OrbSocketOf(omni::giopConnection* connection);

// Visits the ORB's connections to remote endpoints that no thread of this
// process sends or receives on right now, nor waits to, with the ORB's name
// of the endpoint ("giop:tcp:HOST:PORT") and the connection's socket. Runs
// under the ORB's transport lock, under which the ORB makes and closes its
// connections: visit must not call the ORB.
void ForEachQuietOutgoingConnection(const std::function<void(const char* orbAddress, int socket)>& visit);

// Whether the object lives in this process: a call to it is a function call.
bool IsInProcess(CORBA::Object_ptr object);

} // namespace remote
