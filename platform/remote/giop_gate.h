#pragma once
// remote::GiopGate: the remote service's front door. It owns the listening TCP
// address, accepts the clients' connections with plain sockets on a small
// fixed set of event-loop threads, and hands each one to the ORB as a
// channel (gate_channel.h, through the ORB transport of orb_transport.h),
// so that the ORB only ever reads whole GIOP messages and sees orderly
// closes. Every bound on what a client may make the server hold lives here,
// on state the gate owns:
//   - a message must arrive whole within the receive time-out (from its
//     first byte); a message still arriving costs only its buffer (grown as
//     bytes arrive, never to the size its header claims), bounded per peer
//     address and by the bytes all arriving messages hold; past half of
//     those, a long message (256 KiB or more) reads on only while it holds
//     the most of the long ones, the others wait unread (at most
//     largeRequestWait, then are refused; the wait is not counted against
//     the receive time-out), so a flood of them arrives one after another;
//   - at most maxConnections client connections are served at a time; one
//     more closes the connection idle the longest (between messages, idle
//     since its last reply or its client's last bytes, whichever came last:
//     the gate sends its client CloseConnection and closes its side of the
//     channel) and is served once it has, unread meanwhile; when that one is
//     busy after all (a message of its client's waits in its socket too),
//     the next idle one is closed, and when none is, the new one is refused.
//     Sockets may be more: new connections that wait for room, refused ones
//     until they have their refusal, and closed ones until their client has
//     taken what they were sent (seconds each);
//   - large requests (largeRequestSize or more, or fragmented) take one of
//     maxLargeRequests places once they have arrived whole and give it back
//     once the ORB has taken them; one that finds no place waits at most
//     largeRequestWait (at most maxLargeRequestsWaiting wait), then is refused;
//   - a refusal is a GIOP reply with NO_RESOURCES and the interface's minor
//     code (a GIOP 1.0 or 1.1 LocateRequest, whose reply cannot carry it, is
//     told that the object is here, and the request after it is refused);
//     at most one WARNING per peer address and minute is logged.
// A client that goes away with a request in flight (or whose connection the
// gate ends meanwhile): the gate keeps its channel open until the ORB's
// replies to it have come (and drops them), then closes it; meanwhile it
// takes no room from the clients served, counted apart, up to maxConnections
// such connections (one more counts among those served until one of them is
// over). While an eighth of that bound or more of those whose client went
// away are from one address, new connections from there are refused (no
// bound on them: the connections that it has open may all still go). What a
// client that reset its connection sent is not read. A close or
// CloseConnection from the ORB reaches the client; connections idle for long
// are left to the ORB's own idle close. A client's CancelRequest is not
// relayed: the request it names is answered anyway.
//
// The pieces: giop_input.h (a client's bytes in relay units), reply_tracker.h
// (the replies a connection owes), gate_connection.h (one connection),
// connection_table.h (what the event loops share of their connections),
// large_request_places.h, refusal_log.h; giop_framing.h for GIOP itself.
//
// This interface is shared by the gate and the remote export; keep it stable.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace remote {

class GateChannel;

struct GiopGateSettings {
    // The bounds of connections and of messages still arriving that the
    // gate and the remote export's settings start from.
    static constexpr unsigned c_maxConnections = 256;
    static constexpr unsigned c_maxArrivingPerPeer = 4;
    static constexpr std::size_t c_maxArrivingBytes = 64ul << 20;

    // Event-loop threads (a small fixed set).
    unsigned threads = 2;
    unsigned long maxMessageSize = 8ul << 20;
    std::chrono::milliseconds receiveTimeout{1500};
    unsigned maxConnections = c_maxConnections;
    // Messages still arriving from one peer address (any port).
    unsigned maxArrivingPerPeer = c_maxArrivingPerPeer;
    // Bytes that all messages still arriving may hold.
    std::size_t maxArrivingBytes = c_maxArrivingBytes;
    unsigned long largeRequestSize = 64ul << 10;
    unsigned maxLargeRequests = 2;
    unsigned maxLargeRequestsWaiting = 8;
    std::chrono::milliseconds largeRequestWait{5000};
    // The connections' names in the table start with this, followed by a
    // serial number and the client's address. Empty: "zemtra-gate.PID.N."
    // (N counts the gates of the process).
    std::string localNamePrefix;
};

class GiopGate {
public:
    // Gives the ORB a new client connection (from an event-loop thread);
    // false when the ORB takes none (the client is then closed).
    using Offer = std::function<bool(const std::shared_ptr<GateChannel>& channel)>;

    GiopGate(const GiopGateSettings& settings, Offer offer);
    ~GiopGate(); // Stop()
    GiopGate(const GiopGate&) = delete;
    GiopGate& operator=(const GiopGate&) = delete;

    // Binds and listens on host:port (an IPv4 or IPv6 address or a name,
    // "[::1]" accepted) and starts the event loop. Throws qstd::Exception
    // naming the address when it cannot (the port is taken, the address is
    // not this host's).
    void Start(const std::string& host, unsigned short port);
    // Stops accepting, closes every client connection and channel, joins the
    // threads. Idempotent.
    void Stop();

    // Client connections handed to the ORB, their channels open
    // (for tests and the soak); one whose client went away with replies
    // owed counts until they have come.
    std::size_t ConnectionCount() const;
    // What the gate holds now (for tests).
    struct Counts {
        std::size_t connections = 0;     // as ConnectionCount()
        std::size_t gone = 0;            // of those, of clients gone, which take no room
        std::size_t arriving = 0;        // messages still arriving
        std::size_t arrivingBytes = 0;   // the bytes they hold
        std::size_t waitingToRead = 0;   // long arriving messages that wait to read on
        std::size_t largeRequests = 0;   // large requests that hold a place
        std::size_t waitingForPlace = 0; // and that wait for one
    };
    Counts Counted() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace remote
