#pragma once
// The ORB's transport for the gate: the ORB serves the endpoint
// "giop:gate:N", whose connections are the gate's channels (gate_channel.h)
// instead of sockets. The gate offers each client connection it accepts to
// its port; the ORB's accepting thread takes it as a new connection, reads
// and answers its messages through the channel. When the gate's loop finds
// a message for a connection the ORB watches, the ORB's accepting thread
// tells the ORB, as with its own transports: the ORB keeps a connection
// until a request thread took it from there (or that thread stopped), and
// deletes it when done. Object references name the gate's TCP address
// ("giop:tcp:HOST:PORT"), as the ORB's own TCP endpoint would, whatever
// endPointPublish says.
//
// Order: RegisterGateTransport() and an OrbGatePort before ORB_init with
// the option "endPoint" set to the port's EndpointUri().

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace omni {
class giopConnection;
}

namespace remote {

class GateChannel;
struct GatePortQueue;

// Makes the ORB know the endpoints "giop:gate:N"; once, before ORB_init.
// Calling it again does nothing.
void RegisterGateTransport();

// The accept queue between one gate and the ORB.
class OrbGatePort {
public:
    // The gate is done with an offered channel: if the ORB has not taken
    // it yet, it never does (the channel is shut down). Once taken, the
    // ORB owns its connection; the call does nothing then, nor the second
    // time.
    using Release = std::function<void()>;

    // host and port: the gate's TCP address as clients reach it; an IPv6
    // host with or without brackets.
    OrbGatePort(const std::string& host, unsigned short port);
    ~OrbGatePort();
    OrbGatePort(const OrbGatePort&) = delete;
    OrbGatePort& operator=(const OrbGatePort&) = delete;

    // The ORB's endpoint of this port: "giop:gate:N".
    std::string EndpointUri() const;
    // The gate's address as the ORB names it: "giop:tcp:HOST:PORT"
    // ("giop:tcp:[HOST]:PORT" for IPv6).
    const std::string& TcpAddress() const;

    // Hands a client connection to the ORB (from the gate's loop); release
    // is set for the gate to call once done with it. False once the port
    // is shut down (the channel is not taken).
    bool Offer(std::shared_ptr<GateChannel> channel, Release& release);
    // Offer refuses from now on; channels the ORB has not taken yet are
    // shut down. The ORB's endpoint does it when the ORB stops serving it.
    void Shutdown();

private:
    std::uint32_t m_id;
    std::string m_tcpAddress;
    std::shared_ptr<GatePortQueue> m_queue;
};

// The channel of a connection of the gate's endpoint, null for any other
// connection (or none: a call within the process).
std::shared_ptr<GateChannel> GateChannelOf(omni::giopConnection* connection);

} // namespace remote
