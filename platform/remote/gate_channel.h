#pragma once
// remote::GateChannel: one client connection of the gate as the ORB sees it.
// The gate's event loop puts whole GIOP messages in (never part of one);
// the ORB's threads read them, send their replies (which go to the client's
// socket at once, from the ORB's thread, unless the client is behind), and
// shut the channel down when they are done with it. It takes the place of
// a socket between the gate and the ORB, without a second hop: the ORB's
// transport for the gate (orb_transport.h) calls the ORB side, the gate's
// connection (gate_connection.h) the gate side.
//
// Closing is orderly on both sides: the gate closes its side only when the
// ORB owes the client no reply; the ORB then reads the end (-1) as it would
// read a peer's orderly close. When the ORB shuts the channel down, what it
// sent still reaches the client, which the gate then closes.

#include "platform/remote/gate_buffer.h"
#include "platform/remote/reply_tracker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace remote {

class IdleMark;

// What a thread of the ORB's that peeks for the next request asks of the
// gate's connection that serves the channel, under the channel's
// GateMutex(): so that the thread that will serve the request reads it from
// the client's socket itself, with no hand-over from the gate's loop.
class GateReader {
public:
    // The client's socket to wait on, taken out of the loop's watch until
    // PeekEnd; -1 when the connection cannot be read this way now.
    virtual int PeekBegin() = 0;
    // What the wait on the socket saw (poll's revents; 0: nothing): the
    // connection reads as its loop would have. The socket stays with the
    // thread (lent) until it peeks again or hands it back, unless the
    // connection needs its loop.
    virtual void PeekEnd(short events) = 0;
    // The ORB's thread does not peek again: the loop watches the socket.
    virtual void HandBack() = 0;

protected:
    ~GateReader() = default;
};

class GateChannel : public std::enable_shared_from_this<GateChannel> {
public:
    using Clock = std::chrono::steady_clock;
    // Asks the gate's event loop to look at this channel (the ORB sent
    // bytes that did not go out at once, read a message, shut it down, or
    // asked to be told of a message that is there already).
    using Service = std::function<void(std::shared_ptr<GateChannel>)>;

    GateChannel(int clientFd, std::string peerAddress, Service service);
    ~GateChannel();
    GateChannel(const GateChannel&) = delete;
    GateChannel& operator=(const GateChannel&) = delete;

    // --- the ORB's side (any of its threads) --------------------------------

    // Copies up to size bytes of the messages given to the ORB. Waits until
    // there are some; returns -1 once the gate has closed its side and all
    // was read, or after Shutdown(); 0 when deadline passes first
    // (time_point::max(): no deadline).
    long Receive(void* buffer, std::size_t size, Clock::time_point deadline);
    // Sends the ORB's bytes to the client, at once where it can; what the
    // client does not take yet waits in the channel, and while that holds
    // c_maxWaiting bytes or more, Send waits for room until deadline (then
    // returns 0: the ORB's send timed out). Returns size also when the
    // client is gone (the bytes are dropped: the ORB sees an orderly peer);
    // -1 after Shutdown().
    long Send(const void* bytes, std::size_t size, Clock::time_point deadline);
    // The ORB is done with the channel: Receive and Send return -1.
    void Shutdown();

    // The ORB wants to be told (once) when a message is there, or the gate
    // closed its side: the gate's loop calls the ready handler, outside any
    // lock of the channel, and the watch is then off until Watch() again.
    // dataInBuffer: the ORB still holds bytes of its own to handle, so it is
    // told at once (by the loop, not from within Watch).
    void Watch(bool dataInBuffer);
    void Unwatch();
    bool Watched() const;
    // Waits up to c_peekWait for a message (or the gate's close): then the
    // watch is off, and the caller handles it; false when none came. The
    // ORB's request thread looks this way for the next request of its
    // connection before it gives the connection back to be watched, as it
    // does on its own transports: a client that calls again at once is
    // served by the same thread, which reads the client's socket itself
    // (through the gate's connection: GateReader), with no hand-over.
    bool Peek();
    // The ORB's thread is done with the channel and does not peek (again):
    // a client's socket lent to it goes back to the gate's loop.
    void HandBack();
    // Who the ORB tells: set once, before the ORB first calls Watch.
    void SetReadyHandler(std::function<void()> ready);
    // What the gate calls once it is done with the channel (Release), to
    // drop the ORB's hold on its connection: set once, when the ORB took
    // the channel.
    void SetReleaseHandler(std::function<void()> release);

    // The client's TCP address, "HOST:PORT" ("[HOST]:PORT" for IPv6).
    const std::string& PeerAddress() const { return m_peer; }
    // The client closed or reset its connection, or the gate closed it.
    bool ClientGone() const;

    // --- the gate's side (the event loop that serves the connection) ---------

    // Gives the ORB bytes of whole messages; tells it if it watches (the
    // ready handler is called from within), but for a message that comes
    // within c_tellDelay of the ORB's last reply: the thread that sent it
    // is on its way to peek for it, and takes it with no hand-over; the
    // gate tells the ORB after c_tellDelay (TellIfReady) if it did not.
    enum class Put_e { eRefused, eGiven, eDeferred };
    Put_e Put(const unsigned char* bytes, std::size_t size);
    // Nothing to read for the ORB, no reply owed, nothing waits for the client.
    bool Quiet() const;
    // The mark that tells the gate's table that the connection is idle, and
    // when it was last active (set once, before the ORB takes the channel),
    // and whether the gate holds nothing of the client's: a Send that
    // completes the last reply owed marks it active then, and idle, as the
    // gate's loop does not look after it.
    void SetIdleMark(std::shared_ptr<IdleMark> idle) { m_idleMark = std::move(idle); }
    void SetGateQuiet(bool quiet) { m_gateQuiet.store(quiet); }
    // Bytes given to the ORB that it has not read yet.
    std::size_t Unread() const;
    // Expects replies (GIOP request ids) to the messages just put.
    void ExpectReplies(const std::vector<std::uint32_t>& ids, unsigned unknown);
    // Replies the ORB still owes the client, or a message of the ORB's has
    // gone out in part.
    bool RepliesOwed() const;
    // Queues the gate's own bytes for the client (a refusal, a
    // CloseConnection), after what the ORB sent before; sends at once where
    // it can. False: the client's socket failed.
    bool SendToClient(const unsigned char* bytes, std::size_t size);
    // Writes what waits for the client; true when nothing is left. False
    // with failed set: the client's socket failed.
    bool Flush(bool& failed);
    // Bytes waiting for the client.
    std::size_t Waiting() const;
    // The client is gone: what waits for it and what the ORB sends from now
    // on is dropped. Returns the client's socket for the loop to close
    // (-1 when it was given before); no thread sends on it afterwards.
    int DetachClient();
    // The gate closes its side: the ORB reads -1 once it has read all.
    void Close();
    bool Closed() const;
    bool ShutDown() const;
    // Calls the ready handler if the ORB watches and a message or the
    // gate's close is there (the loop calls it after Put, Close and when
    // serviced). Outside the channel's lock. Returns when to call it again
    // for a message whose telling is deferred still (max(): no need).
    Clock::time_point TellIfReady();
    // Asks the gate's loop to look at the channel (Service).
    void RequestService();
    // Tell the gate (Service) once the ORB has read all it was given.
    void ServiceWhenRead();
    // The gate is done with the channel: calls the release handler once.
    void Release();
    // The lock of the gate's connection that serves the channel: its loop
    // and a thread that peeks take it to use the connection.
    std::mutex& GateMutex() { return m_gateMutex; }
    // The gate's connection that serves the channel (set and read under
    // GateMutex()).
    GateReader* owner = nullptr;

    // Bytes waiting for a client that does not read before the ORB's sends wait.
    static constexpr std::size_t c_maxWaiting = 256 * 1024;
    // How long Peek waits: the ORB's own transports wait as long (its
    // connectionWatchPeriod, 50 ms by default).
    static constexpr std::chrono::milliseconds c_peekWait{50};
    static constexpr std::chrono::milliseconds c_tellDelay{1};

private:
    void WakePeekerLocked();
    bool Peeking() const { return m_peeker != std::thread::id(); }

    std::mutex m_gateMutex;     // taken before the two below where they are
    mutable std::mutex m_mutex; // the state below, but what m_sendMutex guards
    std::condition_variable m_changed;
    // Writes to the client's socket, m_client and m_toClient; taken before
    // m_mutex where both are.
    std::mutex m_sendMutex;
    std::condition_variable m_room;        // (with m_sendMutex) m_toClient took bytes
    std::atomic<std::size_t> m_waiting{0}; // m_toClient's size
    std::shared_ptr<IdleMark> m_idleMark;
    std::atomic<bool> m_gateQuiet{false};
    const std::string m_peer;
    const Service m_service;
    std::function<void()> m_ready;
    int m_client;
    bool m_clientGone = false;
    bool m_clientFailed = false;
    bool m_closed = false;
    bool m_shutDown = false;
    bool m_watched = false;
    std::thread::id m_peeker;        // the thread that peeks (none: no thread peeks)
    bool m_told = false;             // the ORB was told of what it has not read yet
    std::thread::id m_toldReader;    // the thread that read first of what was told of
    const int m_wakePeeker;          // an eventfd: a thread that peeks waits on it beside the client's socket
    Clock::time_point m_replyDone{}; // when the ORB's last reply went out whole
    Clock::time_point m_tellFrom{};  // no telling before (a deferred message)
    bool m_tellNow = false;
    bool m_serviceWhenRead = false;
    bool m_released = false;
    std::function<void()> m_release;
    GateBuffer m_toOrb;
    GateBuffer m_toClient;
    ReplyTracker m_replies;
};

} // namespace remote
