#pragma once
// What the ORB of this process knows about a remote client it calls: the
// state of its own outgoing connections to the client's endpoint, read
// through the ORB adapter (platform/remote/orb_adapter.h), and whether an
// object lives in this process.

#include "platform/remote/remote_probe.h"

#include <omniORB4/CORBA.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace remote {

// The ORB's name of a client endpoint, as it names its connections
// ("giop:tcp:HOST:PORT", an IPv6 host in brackets).
std::string OrbAddress(const std::string& host, unsigned short port);

struct OutgoingState {
    bool connected = false; // the ORB holds an open, unused connection to the endpoint
    // Bytes sent on one of them that the client has not acknowledged yet
    // (the most of them): they grow once the client stops reading.
    std::size_t unsent = 0;
};

// The ORB's connections to remote endpoints, looked at once for all of them
// (under the ORB's transport lock, which every call of the ORB takes too)
// and kept for c_fresh, so that a burst of values to many clients costs one
// look. A connection that a call of this process uses right now is left
// out: the values of one client go out one after another, so that the
// connection a value went on is looked at once it went.
class OutgoingConnections {
public:
    static constexpr std::chrono::milliseconds c_fresh{5};

    // The ORB's connections to the endpoint named orbAddress.
    OutgoingState To(const std::string& orbAddress);

private:
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_taken{};
    std::map<std::string, OutgoingState> m_states; // by ORB address
};

// A remote object (a callback or receiver of a client) as the probes and the
// ORB's connections know it, from the first IIOP profile of its reference.
struct RemoteObject {
    // "HOST:PORT" of the endpoint (the client), or "(no IIOP endpoint)".
    std::string clientKey;
    // "HOST:PORT/" and the object key: the object's identity within the
    // client ("" without IIOP profile: every such object counts as its own).
    std::string objectKey;
    RemoteProber::Target target;
    std::string orbAddress; // the ORB's name of its endpoint ("" without IIOP profile)
    bool inProcess = false;
};
RemoteObject RemoteObjectOf(CORBA::Object_ptr object);

// Makes sure that the calls to a remote object from now on go on a
// connection that reaches its process. The ORB keeps an idle connection to
// a client endpoint (address and port) for a while after its client is gone,
// and uses it for the next object at that endpoint: a new process that
// listens on the port again. The first call on it fails (one with a reply,
// COMM_FAILURE) or is lost unseen (one without). Asks whether the object
// exists, again after each such failure (at most c_staleAttempts times), so
// that the ORB gives up the connections that fail. The ORB hands a call the
// first idle connection, which may be a live one ahead of one whose client
// has closed it: once the object answered, while an idle connection to its
// endpoint reads as closed by its peer (at most c_staleAttempts rounds), as
// many calls as there are idle connections go at once, each on a thread of
// its own, and each holds the connection it was given until all have one
// (HoldOutgoingCalls), so that each connection takes one whatever the
// scheduling and the ORB gives up those that fail. False, with the reason,
// when the object or its client is gone; a client that does not answer in
// time counts as reached (the calls wait for it as they would).
constexpr unsigned c_staleAttempts = 4;
bool Reach(CORBA::Object_ptr object, std::string& reason);

// Lets Reach's calls of one round hold their connections (the ORB's public
// request interceptor; other calls pass at once). Once after each ORB_init,
// before any call.
void HoldOutgoingCalls();

} // namespace remote
