#pragma once
// What the remote export reaches in the ORB's connection objects, which the
// ORB keeps to itself: the socket of a TCP connection, the connections of
// one of its lists, and the end of the connection of a request being read.
// The types come from the ORB's internal headers, which only the sources
// that use more of them include.

#include <functional>

namespace omni {
class giopConnection;
class giopStrand;
class GIOP_S;
class StrandList;
} // namespace omni

namespace mci {

// The socket of a TCP connection of the ORB's, accepted or made, or -1.
int SocketOf(omni::giopConnection* connection);

// Visits the connections of one of the ORB's lists: giopStrand::passive
// (accepted from clients), giopStrand::active and active_timedout (made to
// servers). The caller holds the ORB's transport lock, under which the ORB
// adds and releases its connections.
void ForEachStrand(omni::StrandList& list, const std::function<void(omni::giopStrand&)>& visit);

// Ends the connection of the request being read, without a reply, as the
// ORB ends one whose read fails: marked dying, so that the ORB reads and
// writes no more of it and deletes it with the request's stream once the
// request thread lets go, and shut down.
void EndConnection(omni::GIOP_S& request);

// Ends the connection (EndConnection) and the request with it: throws the
// ORB's failure of a connection, for an interceptor that sees the request
// while it is read. (A system exception would have the ORB read the rest of
// the request from a socket that is shut down, and the ORB keeps the stream
// of a request that fails while it skips its arguments.)
[[noreturn]] void FailRequest(omni::GIOP_S& request);

} // namespace mci
