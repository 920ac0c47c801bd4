#pragma once
// remote::ConnectionTable: the client connections of the gate as its event
// loops and the service share them. Each loop serves its connections
// alone; the table holds what the others must see of them, under one lock:
// - the bound of connections served: past it, a new connection waits, not
//   served, while the connection idle the longest is asked to close (its
//   loop is woken to close it if it is idle still); once it has, the new one
//   takes its room; when it was busy, the next idle one is asked, and the
//   new connection is refused when none is idle. So no more connections are
//   ever served than the bound, and what the table counts follows from its
//   entries alone: the connections listed, and the one asked for each new
//   connection that waits (an entry removed is asked and counted no more);
// - messages still arriving, per peer address and by the bytes they hold
//   in all: past the bytes in all, the arriving message that holds the
//   most is refused (its loop is woken to refuse it), so that a short
//   message that trickles in is never what a flood of long ones pushes out;
//   past half of them, a long message reads on only while it holds the most
//   of the long ones, the others wait unread (their clients held back by TCP)
//   until it has arrived, so that a flood of long messages arrives one after
//   another instead of each in part and then refused;
// - connections whose client has gone while the ORB still owes it replies
//   (or that the gate ended meanwhile: a message in error, refused or not
//   whole in time): they are counted apart, up to the bound of connections
//   again, and take no room from the clients served; one more stays counted
//   among those served (busy) until one of them is over, so that what the
//   ORB holds at one time stays bounded. Those whose client went are also
//   counted per address: while an address has a share of the bound (an
//   eighth) of them or more, a new connection from there is refused. That
//   is checked at admission only: the connections that an address has open
//   may all go, so it may have more of them than its share.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace remote {

// Whether a connection is idle (between messages, nothing owed), and when
// it was last active: its client's last bytes or its last reply, whichever
// came last. Set by its loop and by the ORB's thread that sends its last
// reply owed, read by the table: of the idle connections, the one last
// active the longest ago is idle the longest.
class IdleMark {
public:
    void Set(bool idle) { m_idle.store(idle); }
    // Active at now (steady_clock ticks), unless at a later time already.
    void Active(std::int64_t now)
    {
        std::int64_t last = m_lastActive.load();
        while (last < now && !m_lastActive.compare_exchange_weak(last, now)) {
        }
    }
    // The last reply owed went out at now: active then, and idle unless the
    // gate holds something of the client's.
    void Replied(std::int64_t now, bool idle)
    {
        Active(now); // (first: a reader that sees it idle sees when)
        if (idle) {
            m_idle.store(true);
        }
    }
    bool Idle() const { return m_idle.load(); }
    std::int64_t LastActive() const { return m_lastActive.load(); }

private:
    std::atomic<bool> m_idle{false};
    std::atomic<std::int64_t> m_lastActive{0};
};

// One client connection that the gate serves, as the table knows it.
struct GateEntry {
    GateEntry(std::uint64_t serial, unsigned loop, std::string localName, std::string address, std::string peer)
        : serial(serial), loop(loop), localName(std::move(localName)), address(std::move(address)),
          peer(std::move(peer))
    {
    }

    const std::uint64_t serial;
    const unsigned loop; // index of the event loop that serves it
    const std::string localName;
    const std::string address; // the client's, "HOST:PORT"
    const std::string peer;    // the client's, "HOST"

    IdleMark idle;

    // Under the table's lock.
    bool listed = false;      // served (admitted, not removed), its client there or not
    bool gone = false;        // its client has gone while replies were owed (ClientGone)
    bool left = false;        // and it went of its own accord (counted for its address)
    bool countedGone = false; // counted apart, among the connections of clients gone
    bool refuseInAll = false; // its arriving message is to be refused
    bool arriving = false;
    std::size_t arrivingBytes = 0;
    bool mayWait = false; // its arriving message is long (see MayRead)
    bool waiting = false; // it waits to read on
    bool resume = false;  // it may read on (asked by the table)
};

class ConnectionTable {
public:
    // The gate's settings give them (GiopGateSettings).
    struct Limits {
        unsigned maxConnections;
        unsigned maxArrivingPerPeer;
        std::size_t maxArrivingBytes;
    };
    // Wakes the event loop of the given index: a connection of it is asked something.
    using Wake = std::function<void(unsigned loop)>;

    ConnectionTable(const Limits& limits, Wake wake);

    enum class Admit_e { eServed, eWaiting, eRefused, eFromPeer };
    // A new connection: eServed when there is room (it is listed), eRefused
    // when the bound is reached and no connection is idle, eFromPeer when
    // the connections whose client went from its address are GoneShare()
    // or more. eWaiting: the connection idle the longest is asked to close,
    // and the new one waits, not served, until that is decided; its loop is
    // woken then (Admission).
    Admit_e Admit(const std::shared_ptr<GateEntry>& entry);
    // How the admission of a connection that waited ended: eServed (it is
    // listed) once a connection has closed to make room, eRefused when those
    // asked were busy and no other is idle, eWaiting until then. Told once.
    Admit_e Admission(const GateEntry& entry);
    // The connection is over, or closed to make room (the gate's side of
    // its channel is closed): it is counted no more, and a new connection
    // that waits for room takes it.
    void Remove(GateEntry& entry);
    // The connection's client has gone while the ORB owes it replies (the
    // gate's side of its channel stays open until they have come): it is
    // counted among the connections of clients gone, and its room goes to
    // the clients, while those are fewer than the bound of connections;
    // else once one of them is over. Nothing of it arrives any more. Left:
    // the client went (closed or reset its socket), and it counts for its
    // address (GoneFrom); not when the gate ended the connection itself (a
    // message in error, refused or not whole in time). Told once: how it
    // went first is what counts.
    void ClientGone(GateEntry& entry, bool left);

    enum class Arriving_e { eOk, eFromPeer, eInAll };
    // The connection holds bytes of a message that has not arrived whole:
    // eFromPeer when its peer has too many such messages already (when it
    // starts), eInAll when it holds the most of all past their bound (or was
    // asked to be refused), eOk otherwise. Refused, it no longer counts.
    Arriving_e Arriving(GateEntry& entry, std::size_t bytes);
    // The connection holds no message that is still arriving (one asked to
    // be refused meanwhile has arrived: it goes on).
    void Arrived(GateEntry& entry);
    // Whether the connection, whose arriving message is long, may read more
    // of it now: while arriving messages hold more than half their bound,
    // only the long message that holds the most reads on. False: it waits,
    // and its loop is woken (TakeResume) once it may read on.
    bool MayRead(GateEntry& entry);
    // Asked by the table to read on (the question is taken).
    bool TakeResume(GateEntry& entry);
    // The connection gives up waiting: false when it may read on after all
    // (it was asked to), true when it no longer waits.
    bool StopWaiting(GateEntry& entry);

    // Asked to close to make room for a new connection: its loop closes it
    // (and removes it) when it is idle, or keeps it (Keep): the next idle
    // connection is asked then, or the new one refused.
    bool EvictAsked(const GateEntry& entry) const;
    void Keep(const GateEntry& entry);
    // Asked by Arriving to refuse the connection's arriving message (the
    // question is taken: a message that has arrived meanwhile goes on).
    bool TakeRefuse(GateEntry& entry);

    // Connections the ORB holds: those served and those of clients gone.
    std::size_t Count() const;
    // Messages still arriving from the peer.
    std::size_t ArrivingFrom(const std::string& peer) const;
    // Connections whose client went (left) from the peer that the ORB
    // holds, and how many of them make Admit refuse the peer's new
    // connections: an eighth of the bound of connections (below 8, no
    // share: the bound of all of them alone).
    std::size_t GoneFrom(const std::string& peer) const;
    unsigned GoneShare() const { return m_limits.maxConnections / 8; }
    struct Counts {
        std::size_t connections = 0;   // listed (served; of clients gone too, past their bound)
        std::size_t newcomers = 0;     // waiting for room
        std::size_t arriving = 0;      // messages still arriving
        std::size_t arrivingBytes = 0; // the bytes they hold
        std::size_t waiting = 0;       // long ones that wait to read on
        std::size_t gone = 0;          // of clients gone, counted apart
    };
    Counts Counted() const;

private:
    // A new connection waiting for room, and the connection asked to close for it.
    struct Newcomer {
        std::shared_ptr<GateEntry> entry;
        std::shared_ptr<GateEntry> victim; // null once decided
        std::vector<std::uint64_t> busy;   // serials of those asked that were busy
        Admit_e admission = Admit_e::eWaiting;
    };

    // Caller holds m_mutex (so do all below).
    void ListLocked(const std::shared_ptr<GateEntry>& entry);
    // The listed entry goes from the listed ones to those of clients gone,
    // and its room to the newcomers.
    void CountGoneLocked(GateEntry& entry, std::vector<unsigned>& wake);
    // A listed entry left the list: the newcomer that asked it to close
    // takes its room first, others that wait while there is room.
    void RoomLocked(const std::shared_ptr<GateEntry>& left, std::vector<unsigned>& wake);
    // An entry whose client has gone is over.
    void GoneOverLocked(const GateEntry& entry);
    // The idle connection idle the longest (the oldest of equals) that is
    // not asked to close yet (and was not found busy by the newcomer); null
    // when none is.
    std::shared_ptr<GateEntry> IdlestLocked(const Newcomer* newcomer) const;
    bool AskedLocked(const GateEntry& entry) const;
    // Serves the newcomer when there is room, else asks the next idle
    // connection to close, else refuses it; the loops to wake go to wake.
    void DecideLocked(Newcomer& newcomer, std::vector<unsigned>& wake);
    void ArrivedLocked(GateEntry& entry);
    // The one place where an entry starts or stops waiting to read on.
    void SetWaitingLocked(GateEntry& entry, bool waiting);
    // After arriving bytes went: the waiting connections that may read on
    // now are asked to, their loops added to wake. Caller holds m_mutex.
    void ResumeLocked(std::vector<unsigned>& wake);
    // Arriving messages hold more than half their bound: long ones wait.
    bool PastHalfLocked() const;
    // The long arriving message that holds the most, the oldest of equals
    // (null when none).
    GateEntry* LongestLocked() const;
    void WakeLoops(const std::vector<unsigned>& loops) const;

    const Limits m_limits;
    const Wake m_wake;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, std::shared_ptr<GateEntry>> m_entries; // by local name
    std::unordered_map<std::string, unsigned> m_arrivingPerPeer;
    std::unordered_map<std::string, unsigned> m_gonePerPeer; // entries whose client went (left)
    std::vector<Newcomer> m_newcomers;
    std::size_t m_arrivingBytes = 0;
    std::size_t m_waiting = 0;
    std::size_t m_gone = 0;       // entries counted apart (countedGone)
    std::size_t m_goneListed = 0; // listed entries whose client has gone (gone, not countedGone)
};

} // namespace remote
