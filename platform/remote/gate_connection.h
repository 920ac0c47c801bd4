#pragma once
// remote::GateConnection: one client connection of the gate and the channel
// that carries it to the ORB, served by one event loop (and, while one of
// the ORB's request threads peeks for its next request, read by that
// thread: see GateReader; everything here runs under the channel's
// GateMutex()).
//
// Client to ORB: the client's bytes collect in the connection's buffer
// until a relay unit (see GiopInput) is whole, which goes to the channel at
// once; a large one first takes a place (LargeRequestPlaces) and gives it
// back once the ORB has read all of it. A unit must arrive whole within the
// receive time-out from its first byte, or the client is dropped.
// ORB to client: the ORB's threads send on the client's socket themselves
// (GateChannel::Send); what the client does not take yet waits in the
// channel and is written by the loop, and the ORB's sends wait while much
// waits.
//
// A thread of the ORB's that took a message by peeking keeps the client's
// socket (it is lent, out of the loop's watch) while it serves the message,
// so that it reads the next one itself, as a thread of the ORB's own
// transports does: the request costs no wake-up of the loop and no change
// of the loop's watch. The loop takes the socket back when the thread hands
// it back (it does not peek again), when the connection needs the loop
// (part of a message, a reply that did not go out at once, a close...), and
// once the socket has been lent for c_lendTime.
//
// Closing: when the client goes away (or is closed by the gate), what it
// sent that the ORB has not been given is dropped (all it sent, once its
// socket reports a reset); the channel stays open until the ORB has read
// what it was given and sent every reply it owes (which are dropped), then
// the gate closes its side: the ORB sees orderly closes only. Meanwhile the
// connection is counted among those of clients gone (ConnectionTable::
// ClientGone), not among those served. When the ORB closes, what it sent reaches the client, which
// is closed then. A client the gate refuses gets its refusal (or MessageError)
// before it is closed.

#include "platform/remote/connection_table.h"
#include "platform/remote/gate_buffer.h"
#include "platform/remote/gate_channel.h"
#include "platform/remote/giop_gate.h"
#include "platform/remote/giop_input.h"
#include "platform/remote/large_request_places.h"
#include "platform/remote/refusal_log.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace remote {

// What the connections of all event loops share.
struct GateShared {
    GateShared(const GiopGateSettings& settings, ConnectionTable::Wake wake);

    const GiopGateSettings settings;
    const GiopInput::Limits limits;
    ConnectionTable table;
    LargeRequestPlaces places;
    RefusalLog log;
};

// What a connection uses of the event loop that serves it.
struct GateLoopContext {
    int epoll = -1;
    unsigned index = 0;
    // Where bytes from the ORB are read to (one read at a time).
    unsigned char* scratch = nullptr;
    std::size_t scratchSize = 0;
    // Connections of the loop whose client's socket a thread of the ORB's
    // has (peeks at, or was lent): while there are some, the loop looks at
    // them every c_lendTime; wake (an eventfd) wakes the loop when the
    // first comes.
    std::atomic<unsigned>* withOrb = nullptr;
    int wake = -1;
};

class GateConnection final : public GateReader {
public:
    using Clock = std::chrono::steady_clock;

    // Side of the connection an epoll event is for (its data pointer).
    struct Side {
        GateConnection* connection;
    };

    // A served connection: entry listed in the table, channel offered to the
    // ORB. A refused one (entry null, channel not offered) answers the first
    // request with the refusal's minor code and closes (GIOP 1.0 and 1.1
    // LocateRequests before it are told that the object is here). The
    // channel sends on clientFd too (the ORB's replies, from the ORB's
    // threads).
    GateConnection(GateShared& shared, const GateLoopContext& loop, std::shared_ptr<GateEntry> entry, int clientFd,
                   std::shared_ptr<GateChannel> channel, bool offered, std::uint32_t refusal,
                   const std::string& address);
    ~GateConnection(); // closes what is open
    GateConnection(const GateConnection&) = delete;
    GateConnection& operator=(const GateConnection&) = delete;

    // Registers both sides with the loop's epoll.
    void Start(Clock::time_point now);

    void OnClient(std::uint32_t events, Clock::time_point now);
    // The channel asked to be looked at (the ORB sent, read, shut it down).
    void OnService(Clock::time_point now);
    // The loop was woken: a place may have been given, an eviction or a
    // refusal asked.
    void OnWake(Clock::time_point now);
    // Deadlines that have passed.
    void OnTimer(Clock::time_point now);
    // When OnTimer has something to do next (max() when nothing).
    Clock::time_point NextDeadline() const;

    // The client is closed and the ORB is done with the channel (or never
    // had it): the loop deletes the connection.
    bool Dead() const;

    // A thread of the ORB's that peeks reads the client's socket itself
    // (see GateChannel::Peek); under the channel's GateMutex().
    int PeekBegin() override;
    void PeekEnd(short events) override;
    void HandBack() override;

    // How long a thread of the ORB's that took a message by peeking keeps
    // the client's socket at most (the loop takes it back between once and
    // twice this): a message the client sends meanwhile, while that thread
    // is still busy with the last, waits as long. The ORB's own transports
    // look at such a socket again within their scan period (50 ms).
    static constexpr std::chrono::milliseconds c_lendTime{10};

private:
    enum class ClientState_e {
        eOpen,     // relayed
        eRefusing, // reads the start of a message to answer it with a refusal
        eFlushing, // writes what is left for it, then ends its side
        eDraining, // its side ended: reads and drops until it closes
        eClosed,
    };
    enum class Place_e { eNone, eWaiting, eHeld };

    // Client to ORB.
    void ReadClient(Clock::time_point now);
    void Pump(Clock::time_point now);
    bool WriteLocal(Clock::time_point now);
    void StartRelay(Clock::time_point now);
    void RefuseLarge(const char* why, Clock::time_point now);
    void UpdateArriving(Clock::time_point now);
    // The arriving message reads on after waiting (see ConnectionTable::MayRead).
    void ReadOn(Clock::time_point now);
    // ORB to client.
    void Service(Clock::time_point now);
    void SendToClient(const unsigned char* bytes, std::size_t size);
    void WriteClient();

    // Refusals and closes.
    void RefuseArriving(std::uint32_t minor, const std::string& why, Clock::time_point now);
    void RefuseInAll(Clock::time_point now);
    void TryRefuse(Clock::time_point now, bool final);
    void ProtocolError(Clock::time_point now);
    void Evict(Clock::time_point now);
    // The client gets nothing more from the ORB: drops what has not
    // reached it, and closes the gate's side of the channel once nothing is
    // owed. Left: its client went (closed or reset its socket), not the
    // gate that ends the connection (see ConnectionTable::ClientGone).
    void Detach(bool keepInput, bool left);
    void CloseClient(bool reset);
    void StartFlushing(Clock::time_point now);
    void LocalGone(Clock::time_point now);
    void MaybeCloseLocal();
    void CloseLocal();
    void ReleasePlace();

    bool IsDead() const { return m_client < 0 && !m_local && (!m_offered || m_orbDone); }
    // Nothing of the connection needs its loop: the client's socket may
    // stay with a thread of the ORB's.
    bool Lendable() const;
    // Whether a thread of the ORB's peeks at the client's socket, and
    // whether the socket is lent to one; keeps the loop's count.
    void WithOrb(bool peeked, bool lent, Clock::time_point now);
    void HandleClient(std::uint32_t events, Clock::time_point now);
    bool Idle() const;
    // Bytes the client sent wait in its socket, not read yet.
    bool UnreadInSocket() const;
    void Update();
    void Watch(int fd, std::uint32_t& current, std::uint32_t wanted, Side* side);

    GateShared& m_shared;
    const GateLoopContext m_loop;
    const std::shared_ptr<GateEntry> m_entry;
    const std::string m_address;
    int m_client;
    const std::shared_ptr<GateChannel> m_channel;
    const bool m_offered;
    bool m_local;           // the gate's side of the channel is open
    bool m_orbDone = false; // the ORB shut the channel down
    bool m_tell = false;    // the ORB may have a message or a close to be told of
    bool m_peeked = false;  // a thread of the ORB's waits on the client's socket
    bool m_lent = false;    // the client's socket is lent to a thread of the ORB's
    Clock::time_point m_lentSince{};
    Clock::time_point m_tellAt = Clock::time_point::max(); // a deferred message is told of
    Side m_clientSide{this};
    std::uint32_t m_clientEvents = 0;
    ClientState_e m_state;
    std::uint32_t m_refusal;
    std::size_t m_located = 0; // bytes of LocateRequests told that the object is here while refusing
    Clock::time_point m_closeBy = Clock::time_point::max(); // of the refusing, flushing, draining states

    GateBuffer m_in;
    GiopInput m_input;
    bool m_arriving = false; // m_in starts with a unit that has not arrived whole
    bool m_stalled = false;  // m_in starts with a large unit while the place is still held
    bool m_waiting = false;  // the arriving unit waits to read on (ConnectionTable::MayRead)
    Clock::time_point m_waitStarted{};
    Clock::time_point m_unitStarted{};
    std::size_t m_writeLeft = 0; // bytes at the start of m_in that go to the ORB
    Place_e m_place = Place_e::eNone;
    bool m_placeUnitWritten = false; // the unit of the held place is all given to the channel
    Clock::time_point m_placeWaitEnd{};

    unsigned char m_clientMinor = 2; // GIOP version of the client's last message
    bool m_removed = false;          // from the table
};

} // namespace remote
