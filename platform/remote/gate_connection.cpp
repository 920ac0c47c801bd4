#include "platform/remote/gate_connection.h"

#include "platform/qstd/trace.h"
#include "platform/remote/giop_refusal.h"
#include "zemtra_remote.hh"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace remote {

namespace {

// A read from a client asks for at least this much (what a small message
// and the start of the next take), and at most this much at a time.
constexpr std::size_t c_readChunk = 16 * 1024;
constexpr std::size_t c_maxRead = 256 * 1024;
// A buffer larger than this, once empty, gives its storage back (after a
// large message): idle connections hold no more.
constexpr std::size_t c_keepBuffer = 64 * 1024;
// A refused connection is read this far at most for the request id of
// its refusal (the LocateRequests it is told of first included).
constexpr std::size_t c_refusalPeek = 512;
// What the ORB sent before it closed, or what the gate still writes to a
// client it closes, has this long to be taken.
constexpr std::chrono::seconds c_flushTime{10};
// Bytes given to the ORB and not read yet before the next message waits
// (one message is given whatever its size).
constexpr std::size_t c_maxUnread = 256 * 1024;
// An arriving message this long or longer may be made to wait before it
// reads on, when arriving messages hold much (ConnectionTable::MayRead);
// a shorter one always reads on.
constexpr std::size_t c_mayWait = 256 * 1024;

bool Again(ssize_t n)
{
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Whether the message at data (size bytes of it) expects a reply: 1 yes,
// 0 no, -1 not known from the bytes (final: nor will it be).
int ExpectsReply(const unsigned char* data, std::size_t size, bool final)
{
    giop::Header header;
    giop::RequestRef ref;
    const giop::HeaderStatus_e status = giop::ParseHeader(data, size, header);
    if (status == giop::HeaderStatus_e::eIncomplete) {
        return final ? 0 : -1;
    }
    if (status != giop::HeaderStatus_e::eOk) {
        return 0;
    }
    switch (giop::ReadRequestRef(header, data, std::min<std::uint64_t>(size, header.MessageSize()), ref)) {
    case giop::RefStatus_e::eOk:
        return ref.responseExpected ? 1 : 0;
    case giop::RefStatus_e::eNone:
        return 0;
    case giop::RefStatus_e::eIncomplete:
        break;
    }
    return final || size >= header.MessageSize() ? 0 : -1;
}

const char* ErrorText(GiopInput::Error_e error)
{
    switch (error) {
    case GiopInput::Error_e::eNotGiop:
        return "not a GIOP message";
    case GiopInput::Error_e::eUnsupported:
        return "a GIOP version other than 1.0 to 1.2";
    case GiopInput::Error_e::eTooLarge:
        return "a message longer than the bound";
    case GiopInput::Error_e::eBadType:
        return "an unknown message type";
    case GiopInput::Error_e::eBadFragment:
        return "a fragment out of place";
    case GiopInput::Error_e::eBadHeader:
        return "a request header cut short";
    case GiopInput::Error_e::eNone:
        break;
    }
    return "no error";
}

} // namespace

GateShared::GateShared(const GiopGateSettings& settings, ConnectionTable::Wake wake)
    : settings(settings), limits{settings.maxMessageSize, settings.largeRequestSize},
      table(ConnectionTable::Limits{std::max(settings.maxConnections, 1u), settings.maxArrivingPerPeer,
                                    settings.maxArrivingBytes},
            wake),
      places(settings.maxLargeRequests, settings.maxLargeRequestsWaiting, wake)
{
}

GateConnection::GateConnection(GateShared& shared, const GateLoopContext& loop, std::shared_ptr<GateEntry> entry,
                               int clientFd, std::shared_ptr<GateChannel> channel, bool offered, std::uint32_t refusal,
                               const std::string& address)
    : m_shared(shared), m_loop(loop), m_entry(std::move(entry)), m_address(address), m_client(clientFd),
      m_channel(std::move(channel)), m_offered(offered), m_local(offered),
      m_state(refusal != 0 ? ClientState_e::eRefusing : ClientState_e::eOpen), m_refusal(refusal),
      m_input(shared.limits)
{
}

GateConnection::~GateConnection()
{
    std::unique_lock<std::mutex> guard(m_channel->GateMutex());
    WithOrb(false, false, Clock::now());
    if (m_client >= 0) {
        Watch(m_client, m_clientEvents, 0, &m_clientSide);
        m_channel->DetachClient();
        ::close(m_client);
    }
    if (m_local) {
        CloseLocal();
        m_channel->TellIfReady();
    }
    ReleasePlace();
    if (m_entry && !m_removed) {
        m_shared.table.Remove(*m_entry);
    }
    m_channel->owner = nullptr;
    guard.unlock();
    m_channel->Release();
}

bool GateConnection::Dead() const
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    return IsDead();
}

void GateConnection::Start(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    if (m_state == ClientState_e::eRefusing) {
        m_closeBy = now + m_shared.settings.receiveTimeout;
    }
    if (m_entry) {
        m_entry->idle.Active(now.time_since_epoch().count());
    }
    m_channel->owner = this;
    if (m_offered) {
        // What the channel asked for before the loop took the connection up
        // (the ORB may have shut it down already) was not looked at.
        Service(now);
    } else {
        Update();
    }
}

// --- client to ORB -----------------------------------------------------------

void GateConnection::OnClient(std::uint32_t events, Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    if (m_peeked || m_lent) {
        return; // (an event of before: a thread of the ORB's reads the socket now)
    }
    HandleClient(events, now);
}

int GateConnection::PeekBegin()
{
    const auto now = Clock::now();
    if (m_client < 0 || m_state != ClientState_e::eOpen || !m_local || m_writeLeft > 0 || m_stalled || m_waiting ||
        m_place != Place_e::eNone || m_channel->Waiting() > 0) {
        if (m_lent) {
            WithOrb(false, false, now);
            Update(); // (the loop's again)
        }
        return -1;
    }
    WithOrb(true, false, now);
    Update(); // out of the loop's watch (it is already while lent)
    return m_client;
}

void GateConnection::PeekEnd(short events)
{
    const auto now = Clock::now();
    // Lent to the thread: Update() gives it back to the loop at once if the
    // connection needs it.
    WithOrb(false, true, now);
    if (events != 0 && m_state == ClientState_e::eOpen) {
        HandleClient(static_cast<std::uint32_t>(events), now); // (poll's and epoll's bits agree)
    } else {
        Update();
    }
    if (m_client < 0 || m_state != ClientState_e::eOpen || m_arriving || m_writeLeft > 0 || m_stalled ||
        m_place != Place_e::eNone || m_channel->Waiting() > 0) {
        // The loop looks again: deadlines, what waits, a connection to sweep.
        m_channel->RequestService();
    }
}

void GateConnection::HandBack()
{
    if (m_lent) {
        WithOrb(m_peeked, false, Clock::now());
        Update();
    }
}

bool GateConnection::Lendable() const
{
    return m_client >= 0 && m_state == ClientState_e::eOpen && m_local && !m_arriving && m_writeLeft == 0 &&
           !m_stalled && !m_waiting && m_place == Place_e::eNone && m_channel->Waiting() == 0;
}

void GateConnection::WithOrb(bool peeked, bool lent, Clock::time_point now)
{
    const bool before = m_peeked || m_lent;
    if (lent && !m_lent) {
        m_lentSince = now;
    }
    m_peeked = peeked;
    m_lent = lent;
    const bool after = m_peeked || m_lent;
    if (before == after || m_loop.withOrb == nullptr) {
        return;
    }
    if (!after) {
        m_loop.withOrb->fetch_sub(1);
    } else if (m_loop.withOrb->fetch_add(1) == 0 && m_loop.wake >= 0) {
        // The loop begins to look at lent sockets.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_loop.wake, &one, sizeof(one));
    }
}

void GateConnection::HandleClient(std::uint32_t events, Clock::time_point now)
{
    if (m_client < 0) {
        return;
    }
    if ((events & EPOLLOUT) != 0) {
        WriteClient();
    }
    if (m_client >= 0) {
        if ((events & EPOLLIN) != 0 && (events & EPOLLERR) == 0) {
            ReadClient(now);
        } else if ((events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0) {
            // Gone while its bytes are not read (it waits for a place, or
            // for the ORB to take what it sent), or reset: what it sent
            // before is not read, as no reply reaches it.
            Detach(false, true);
            CloseClient(true);
        }
    }
    Update();
}

void GateConnection::ReadClient(Clock::time_point now)
{
    switch (m_state) {
    case ClientState_e::eOpen: {
        if (m_waiting) {
            break; // (a read seen ready before it began to wait: the table says when it reads on)
        }
        if (m_arriving && m_in.Size() + m_input.Missing() >= c_mayWait && !m_shared.table.MayRead(*m_entry)) {
            // Its client is held back by TCP meanwhile; the time it waits
            // is not counted against its receive time-out.
            m_waiting = true;
            m_waitStarted = now;
            break;
        }
        const std::size_t want = std::clamp(m_input.Missing(), c_readChunk, c_maxRead);
        const bool wasEmpty = m_in.Empty();
        const ssize_t n = ::recv(m_client, m_in.Reserve(want), want, 0);
        if (n > 0) {
            m_in.Commit(static_cast<std::size_t>(n));
            if (m_entry) {
                m_entry->idle.Active(now.time_since_epoch().count());
            }
            if (wasEmpty) {
                m_unitStarted = now;
            }
            Pump(now);
        } else if (!Again(n)) {
            Detach(false, true);
            CloseClient(n < 0);
        }
        break;
    }
    case ClientState_e::eRefusing: {
        const std::size_t want = c_refusalPeek - std::min(m_located + m_in.Size(), c_refusalPeek);
        const ssize_t n = want > 0 ? ::recv(m_client, m_in.Reserve(want), want, 0) : 0;
        if (n > 0) {
            m_in.Commit(static_cast<std::size_t>(n));
            TryRefuse(now, false);
        } else if (want == 0) {
            TryRefuse(now, true);
        } else if (!Again(n)) {
            CloseClient(true);
        }
        break;
    }
    case ClientState_e::eDraining: {
        const ssize_t n = ::recv(m_client, m_loop.scratch, m_loop.scratchSize, 0);
        if (n == 0 || (n < 0 && !Again(n))) {
            CloseClient(false);
        }
        break;
    }
    case ClientState_e::eFlushing:
    case ClientState_e::eClosed:
        break;
    }
}

void GateConnection::Pump(Clock::time_point now)
{
    if (m_state != ClientState_e::eOpen) {
        // Detached: what the ORB has begun to read still goes to it.
        if (m_local && m_writeLeft > 0 && WriteLocal(now)) {
            MaybeCloseLocal();
        }
        return;
    }
    bool partial = false;
    while (m_state == ClientState_e::eOpen && m_local) {
        if (m_writeLeft > 0 && !WriteLocal(now)) {
            break;
        }
        if (m_place == Place_e::eWaiting || m_in.Empty()) {
            break;
        }
        const GiopInput::Status_e status = m_input.Scan(m_in.Data(), m_in.Size());
        if (status == GiopInput::Status_e::eError) {
            ProtocolError(now);
            return;
        }
        if (status == GiopInput::Status_e::eMore) {
            partial = true;
            break;
        }
        if (m_arriving) {
            // Whole: the bytes it held go (waiting ones may read on), and a
            // message after it in the same bytes arrives as one of its own.
            m_arriving = false;
            m_shared.table.Arrived(*m_entry);
        }
        if (!m_input.Large()) {
            StartRelay(now);
            continue;
        }
        if (m_place != Place_e::eNone) {
            // One place per connection: the next large unit waits for the last to be taken.
            m_stalled = true;
            break;
        }
        m_stalled = false;
        switch (m_shared.places.Ask(m_entry->serial, m_loop.index)) {
        case LargeRequestPlaces::Ask_e::eTaken:
            m_place = Place_e::eHeld;
            m_placeUnitWritten = false;
            StartRelay(now);
            break;
        case LargeRequestPlaces::Ask_e::eWaiting:
            m_place = Place_e::eWaiting;
            m_placeWaitEnd = now + m_shared.settings.largeRequestWait;
            break;
        case LargeRequestPlaces::Ask_e::eRefused:
            RefuseLarge("too many wait for a place", now);
            break;
        }
    }
    if (m_state != ClientState_e::eOpen) {
        return;
    }
    if (partial) {
        UpdateArriving(now);
    } else if (m_arriving) {
        m_arriving = false;
        m_shared.table.Arrived(*m_entry);
    }
}

void GateConnection::StartRelay(Clock::time_point now)
{
    m_channel->ExpectReplies(m_input.Replies(), m_input.UnknownReplies());
    m_clientMinor = m_input.Minor();
    m_writeLeft = m_input.UnitSize();
    // A CancelRequest never reaches the ORB. It is advisory: a server may
    // answer the request all the same, and this one does. The ORB cannot
    // stop a call once it runs, and being told of a cancel harms: it holds
    // back the reply of a GIOP 1.2 request in progress (which the
    // connection then owes for good) and leaves request streams behind
    // that it never frees, and it closes a GIOP 1.0/1.1 connection on a
    // cancel that comes while one of its requests runs.
    const auto& cancels = m_input.Cancels();
    for (auto cancel = cancels.rbegin(); cancel != cancels.rend(); ++cancel) {
        m_in.Erase(cancel->offset, cancel->size);
        m_writeLeft -= cancel->size;
    }
    if (m_writeLeft == 0) {
        ReleasePlace(); // (nothing of the unit goes to the ORB)
    }
    m_input.Take();
    m_unitStarted = now;
}

bool GateConnection::WriteLocal(Clock::time_point now)
{
    if (m_writeLeft == 0) {
        return true;
    }
    const std::size_t unread = m_channel->Unread();
    if (unread > 0 && unread + m_writeLeft > c_maxUnread) {
        m_channel->ServiceWhenRead();
        return false;
    }
    const GateChannel::Put_e put = m_channel->Put(m_in.Data(), m_writeLeft);
    if (put == GateChannel::Put_e::eRefused) {
        LocalGone(now);
        return false;
    }
    if (put == GateChannel::Put_e::eDeferred) {
        m_tellAt = std::min(m_tellAt, now + GateChannel::c_tellDelay);
    }
    m_in.Consume(m_writeLeft);
    m_writeLeft = 0;
    if (m_place == Place_e::eHeld && !m_placeUnitWritten) {
        m_placeUnitWritten = true;
        m_channel->ServiceWhenRead();
    }
    if (m_in.Empty()) {
        m_in.Trim(c_keepBuffer);
    }
    m_unitStarted = now;
    return true;
}

void GateConnection::RefuseLarge(const char* why, Clock::time_point now)
{
    const std::size_t size = m_input.UnitSize();
    QSTD_TRACE(2, "Remote export: large request from " << m_address << " refused: " << why);
    std::string reply;
    if (ExpectsReply(m_in.Data(), size, true) == 1) {
        reply = GiopRefusalReply(m_in.Data(), size, zemtra_REMOTE::RefusedLargeRequestsBusy);
    }
    m_in.Consume(size);
    m_input.Take();
    m_unitStarted = now;
    SendToClient(reinterpret_cast<const unsigned char*>(reply.data()), reply.size());
}

void GateConnection::UpdateArriving(Clock::time_point now)
{
    switch (m_shared.table.Arriving(*m_entry, m_in.Size())) {
    case ConnectionTable::Arriving_e::eOk:
        m_arriving = true;
        break;
    case ConnectionTable::Arriving_e::eFromPeer:
        m_arriving = false;
        RefuseArriving(zemtra_REMOTE::RefusedArrivingFromAddress,
                       std::to_string(m_shared.table.ArrivingFrom(m_entry->peer)) +
                           " connections from this address are still sending a message",
                       now);
        break;
    case ConnectionTable::Arriving_e::eInAll:
        m_arriving = false;
        RefuseInAll(now);
        break;
    }
}

// --- ORB to client -----------------------------------------------------------

void GateConnection::OnService(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    Service(now);
}

void GateConnection::Service(Clock::time_point now)
{
    // Asked to look at the connection, the loop takes the client's socket back.
    WithOrb(m_peeked, false, now);
    if (m_client >= 0 && m_channel->ClientGone()) {
        // A reply the ORB sent found the client's socket failed.
        Detach(false, true);
        CloseClient(true);
    }
    if (m_offered && !m_orbDone && m_channel->ShutDown()) {
        m_orbDone = true;
        if (m_local) {
            LocalGone(now);
        }
    }
    if (m_place == Place_e::eHeld && m_placeUnitWritten && m_channel->Unread() == 0) {
        ReleasePlace();
    }
    if (m_local && (m_writeLeft > 0 || m_stalled)) {
        Pump(now);
    }
    MaybeCloseLocal();
    m_tell = true;
    Update();
}

void GateConnection::SendToClient(const unsigned char* bytes, std::size_t size)
{
    if (size == 0 || m_client < 0 || m_state == ClientState_e::eDraining) {
        return;
    }
    if (!m_channel->SendToClient(bytes, size)) {
        Detach(false, true);
        CloseClient(true);
    }
}

void GateConnection::WriteClient()
{
    bool failed = false;
    const bool waited = m_channel->Waiting() > 0;
    const bool done = m_channel->Flush(failed);
    if (failed) {
        Detach(false, true);
        CloseClient(true);
        return;
    }
    if (!done) {
        return;
    }
    if (waited && m_entry) {
        // What did not go out at once (a reply) has gone now.
        m_entry->idle.Active(Clock::now().time_since_epoch().count());
    }
    if (m_state == ClientState_e::eFlushing) {
        ::shutdown(m_client, SHUT_WR);
        m_state = ClientState_e::eDraining;
        m_closeBy = std::min(m_closeBy, Clock::now() + m_shared.settings.receiveTimeout);
    }
}

// --- refusals and closes -----------------------------------------------------

void GateConnection::RefuseArriving(std::uint32_t minor, const std::string& why, Clock::time_point now)
{
    m_shared.log.Warn(m_entry->peer, why);
    Detach(true, false);
    m_state = ClientState_e::eRefusing;
    m_refusal = minor;
    m_closeBy = m_unitStarted + m_shared.settings.receiveTimeout;
    TryRefuse(now, false);
}

void GateConnection::RefuseInAll(Clock::time_point now)
{
    RefuseArriving(zemtra_REMOTE::RefusedArrivingInAll,
                   "messages still arriving hold more than " + std::to_string(m_shared.settings.maxArrivingBytes) +
                       " bytes in all",
                   now);
}

void GateConnection::TryRefuse(Clock::time_point now, bool final)
{
    // A GIOP 1.0 or 1.1 LocateRequest cannot carry the refusal: it is told
    // that the object is here, and the request after it is refused.
    GiopLocateHere here;
    while (!(here = GiopLocateHereReply(m_in.Data(), m_in.Size())).reply.empty()) {
        m_located += static_cast<std::size_t>(here.size); // (no more than the buffer holds)
        m_in.Consume(static_cast<std::size_t>(here.size));
        SendToClient(reinterpret_cast<const unsigned char*>(here.reply.data()), here.reply.size());
        if (m_client < 0) {
            return;
        }
    }
    // Nothing more is read past the peek, nor is a LocateRequest that
    // would end beyond it waited for.
    final = final || m_located + m_in.Size() >= c_refusalPeek || m_located + here.size > c_refusalPeek;
    if (here.size > m_in.Size() && !final) {
        return; // the rest of the LocateRequest may still come
    }
    const int expects = ExpectsReply(m_in.Data(), m_in.Size(), final);
    if (expects < 0) {
        return; // more of the request header may still come
    }
    std::string reply;
    if (expects > 0) {
        reply = GiopRefusalReply(m_in.Data(), m_in.Size(), m_refusal);
    }
    m_in.Clear();
    m_in.Trim(c_keepBuffer);
    m_state = ClientState_e::eFlushing;
    SendToClient(reinterpret_cast<const unsigned char*>(reply.data()), reply.size());
    StartFlushing(now);
}

void GateConnection::ProtocolError(Clock::time_point now)
{
    const GiopInput::Error_e error = m_input.Error();
    const unsigned char minor = m_input.Minor();
    QSTD_TRACE(2, "Remote export: connection from " << m_address << " closed: " << ErrorText(error));
    if (error == GiopInput::Error_e::eTooLarge && m_entry) {
        m_shared.log.Warn(m_entry->peer, "its message is longer than the bound");
    }
    Detach(false, false);
    const auto messageError = giop::HeaderOnly(giop::MsgType_e::eMessageError, minor);
    SendToClient(reinterpret_cast<const unsigned char*>(messageError.data()), messageError.size());
    StartFlushing(now);
}

void GateConnection::Evict(Clock::time_point now)
{
    QSTD_TRACE(2, "Remote export: idle connection from " << m_address << " closed to make room");
    const auto closeConnection = giop::HeaderOnly(giop::MsgType_e::eCloseConnection, m_clientMinor);
    SendToClient(reinterpret_cast<const unsigned char*>(closeConnection.data()), closeConnection.size());
    Detach(false, false);
    StartFlushing(now);
}

void GateConnection::Detach(bool keepInput, bool left)
{
    if (m_entry && m_arriving) {
        m_shared.table.Arrived(*m_entry);
    }
    m_arriving = false;
    m_stalled = false;
    m_waiting = false;
    if (m_place == Place_e::eWaiting) {
        m_shared.places.Withdraw(m_entry->serial);
        m_place = Place_e::eNone;
    }
    if (!keepInput) {
        // What the ORB has begun to read goes on; the rest never reaches it.
        m_in.Truncate(m_writeLeft);
    }
    m_input.Reset();
    if (m_state == ClientState_e::eOpen) {
        m_state = ClientState_e::eFlushing;
    }
    MaybeCloseLocal();
    if (m_local && m_entry && !m_removed) {
        // The ORB still owes replies, which nobody takes: the connection
        // leaves its client's room to others.
        m_shared.table.ClientGone(*m_entry, left);
    }
}

void GateConnection::StartFlushing(Clock::time_point now)
{
    if (m_client < 0) {
        return;
    }
    m_state = ClientState_e::eFlushing;
    m_closeBy = now + c_flushTime;
    WriteClient();
}

void GateConnection::CloseClient(bool reset)
{
    if (m_client < 0) {
        return;
    }
    if (reset) {
        const linger abort{1, 0};
        ::setsockopt(m_client, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    }
    // Out of the epoll set first: a copy of the socket in a child process
    // that has not exec'd yet would keep it there past this connection.
    Watch(m_client, m_clientEvents, 0, &m_clientSide);
    m_channel->DetachClient(); // no thread of the ORB's sends on it from now on
    ::close(m_client);
    m_client = -1;
    m_clientEvents = 0;
    m_state = ClientState_e::eClosed;
    MaybeCloseLocal();
}

void GateConnection::LocalGone(Clock::time_point now)
{
    const bool open = m_state == ClientState_e::eOpen;
    CloseLocal();
    if (open) {
        Detach(false, false);
        StartFlushing(now);
    }
}

void GateConnection::MaybeCloseLocal()
{
    if (m_local && m_state != ClientState_e::eOpen && m_writeLeft == 0 && !m_channel->RepliesOwed()) {
        CloseLocal();
    }
}

void GateConnection::CloseLocal()
{
    if (!m_local) {
        return;
    }
    m_local = false;
    m_channel->Close(); // the ORB reads its end once it has read what it was given
    m_tell = true;
    if (m_entry && !m_removed) {
        // The ORB no longer holds the connection: nothing is asked of it any more.
        m_removed = true;
        m_shared.table.Remove(*m_entry);
    }
    ReleasePlace();
    // The unit the ORB had begun to read goes nowhere now.
    m_in.Consume(m_writeLeft);
    m_writeLeft = 0;
    m_in.Trim(c_keepBuffer);
}

void GateConnection::ReleasePlace()
{
    if (m_place == Place_e::eHeld) {
        m_shared.places.Release(m_entry->serial);
    } else if (m_place == Place_e::eWaiting) {
        m_shared.places.Withdraw(m_entry->serial);
    }
    m_place = Place_e::eNone;
    m_placeUnitWritten = false;
}

// --- wakes and deadlines -----------------------------------------------------

void GateConnection::OnWake(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    if (!m_entry) {
        return;
    }
    if (m_shared.table.TakeRefuse(*m_entry) && m_state == ClientState_e::eOpen && m_arriving) {
        m_arriving = false; // (the table no longer counts it)
        RefuseInAll(now);
    }
    if (m_shared.table.EvictAsked(*m_entry)) {
        // (Not with a message in the client's socket that the loop has not
        // read yet: it would be lost, the client told to close unanswered.)
        if (Idle() && !UnreadInSocket()) {
            Evict(now);
        } else {
            m_shared.table.Keep(*m_entry);
        }
    }
    if (m_place == Place_e::eWaiting && m_shared.places.Granted(m_entry->serial)) {
        m_place = Place_e::eHeld;
        m_placeUnitWritten = false;
        StartRelay(now);
        Pump(now);
    }
    if (m_waiting && m_shared.table.TakeResume(*m_entry)) {
        ReadOn(now);
    }
    Update();
}

void GateConnection::ReadOn(Clock::time_point now)
{
    m_waiting = false;
    m_unitStarted += now - m_waitStarted;
}

void GateConnection::OnTimer(Clock::time_point now)
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    if (m_lent && now - m_lentSince >= c_lendTime) {
        WithOrb(m_peeked, false, now); // (the thread is still busy with the last message)
    }
    if (m_waiting && now - m_waitStarted >= m_shared.settings.largeRequestWait) {
        if (m_shared.table.StopWaiting(*m_entry)) {
            m_waiting = false;
            RefuseInAll(now);
        } else {
            ReadOn(now);
        }
    }
    if (m_state == ClientState_e::eOpen && m_arriving && !m_waiting &&
        now - m_unitStarted >= m_shared.settings.receiveTimeout) {
        QSTD_TRACE(2, "Remote export: connection from " << m_address << " dropped: message not whole in time");
        Detach(false, false);
        CloseClient(true);
    }
    if (m_place == Place_e::eWaiting && now >= m_placeWaitEnd) {
        if (m_shared.places.Granted(m_entry->serial)) {
            m_place = Place_e::eHeld;
            m_placeUnitWritten = false;
            StartRelay(now);
        } else {
            m_shared.places.Withdraw(m_entry->serial);
            m_place = Place_e::eNone;
            RefuseLarge("no place came free in time", now);
        }
        Pump(now);
    }
    if (now >= m_tellAt) {
        m_tellAt = Clock::time_point::max();
        m_tell = true;
    }
    if (m_state == ClientState_e::eRefusing && now >= m_closeBy) {
        TryRefuse(now, true);
    } else if ((m_state == ClientState_e::eFlushing || m_state == ClientState_e::eDraining) && now >= m_closeBy) {
        CloseClient(true);
    }
    Update();
}

GateConnection::Clock::time_point GateConnection::NextDeadline() const
{
    std::lock_guard<std::mutex> guard(m_channel->GateMutex());
    Clock::time_point next = Clock::time_point::max();
    if (m_waiting) {
        next = std::min(next, m_waitStarted + m_shared.settings.largeRequestWait);
    } else if (m_state == ClientState_e::eOpen && m_arriving) {
        next = std::min(next, m_unitStarted + m_shared.settings.receiveTimeout);
    }
    if (m_place == Place_e::eWaiting) {
        next = std::min(next, m_placeWaitEnd);
    }
    if (m_client >= 0 && m_state != ClientState_e::eOpen) {
        next = std::min(next, m_closeBy);
    }
    next = std::min(next, m_tellAt);
    return next;
}

// --- interest and idleness ---------------------------------------------------

bool GateConnection::Idle() const
{
    return m_state == ClientState_e::eOpen && m_local && m_in.Empty() && m_writeLeft == 0 && !m_arriving &&
           m_place == Place_e::eNone && m_channel->Quiet();
}

bool GateConnection::UnreadInSocket() const
{
    int unread = 0;
    return m_client >= 0 && ::ioctl(m_client, FIONREAD, &unread) == 0 && unread > 0;
}

void GateConnection::Watch(int fd, std::uint32_t& current, std::uint32_t wanted, Side* side)
{
    if (fd < 0 || current == wanted) {
        return;
    }
    epoll_event event{};
    event.events = wanted;
    event.data.ptr = side;
    const int op = wanted == 0 ? EPOLL_CTL_DEL : current == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_loop.epoll, op, fd, &event) == 0) {
        current = wanted;
    }
}

void GateConnection::Update()
{
    if (m_lent && !Lendable()) {
        WithOrb(m_peeked, false, Clock::now());
    }
    const bool withOrb = m_peeked || m_lent;
    std::uint32_t client = 0;
    switch (withOrb ? ClientState_e::eClosed : m_state) {
    case ClientState_e::eOpen: {
        const bool blocked = m_writeLeft > 0 || m_place == Place_e::eWaiting || m_stalled || m_waiting;
        client = EPOLLRDHUP | (blocked ? 0u : static_cast<std::uint32_t>(EPOLLIN));
        break;
    }
    case ClientState_e::eRefusing:
    case ClientState_e::eDraining:
        client = EPOLLIN;
        break;
    case ClientState_e::eFlushing:
    case ClientState_e::eClosed:
        break;
    }
    if (m_client >= 0 && !withOrb && m_channel->Waiting() > 0) {
        client |= EPOLLOUT;
    }
    if (m_state == ClientState_e::eFlushing && client == 0 && !withOrb) {
        client = EPOLLOUT;
    }
    Watch(m_client, m_clientEvents, client, &m_clientSide);
    if (m_entry) {
        // The ORB's threads mark it idle too, once they have sent the last
        // reply owed while the gate holds nothing of the client's.
        m_channel->SetGateQuiet(m_state == ClientState_e::eOpen && m_local && m_in.Empty() && m_writeLeft == 0 &&
                                !m_arriving && m_place == Place_e::eNone);
        m_entry->idle.Set(Idle());
        if (IsDead() && !m_removed) {
            m_removed = true;
            m_shared.table.Remove(*m_entry);
        }
    }
    if (std::exchange(m_tell, false)) {
        // A message deferred for a thread on its way to peek is told of once
        // its delay has passed by the channel's clock, not the loop's.
        m_tellAt = std::min(m_tellAt, m_channel->TellIfReady());
    }
}

} // namespace remote
