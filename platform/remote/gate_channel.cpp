#include "platform/remote/gate_channel.h"

#include "platform/remote/connection_table.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

namespace remote {

namespace {

// Storage a channel keeps once its buffers are empty.
constexpr std::size_t c_keepBuffer = 16 * 1024;

bool Again(ssize_t n)
{
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

} // namespace

GateChannel::GateChannel(int clientFd, std::string peerAddress, Service service)
    : m_peer(std::move(peerAddress)), m_service(std::move(service)), m_client(clientFd),
      m_wakePeeker(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

GateChannel::~GateChannel()
{
    if (m_wakePeeker >= 0) {
        ::close(m_wakePeeker);
    }
}

void GateChannel::WakePeekerLocked()
{
    // (not the thread that peeks itself: it reads the client's socket, and
    // looks at what it gave before it waits again)
    if (Peeking() && m_wakePeeker >= 0 && m_peeker != std::this_thread::get_id()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakePeeker, &one, sizeof(one));
    }
}

// --- the ORB's side ----------------------------------------------------------

long GateChannel::Receive(void* buffer, std::size_t size, Clock::time_point deadline)
{
    bool service = false;
    long result = 0;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto ready = [this] { return m_shutDown || m_closed || !m_toOrb.Empty(); };
        if (deadline == Clock::time_point::max()) {
            m_changed.wait(lock, ready);
        } else if (!m_changed.wait_until(lock, deadline, ready)) {
            errno = EWOULDBLOCK;
            return 0;
        }
        if (m_shutDown || m_toOrb.Empty()) {
            errno = EPIPE;
            return -1;
        }
        const std::size_t n = std::min(size, m_toOrb.Size());
        std::memcpy(buffer, m_toOrb.Data(), n);
        m_toOrb.Consume(n);
        if (m_told && m_toldReader == std::thread::id()) {
            m_toldReader = std::this_thread::get_id();
        }
        if (m_toOrb.Empty()) {
            m_told = false;
            m_toldReader = std::thread::id();
            m_toOrb.Trim(c_keepBuffer);
            service = std::exchange(m_serviceWhenRead, false);
        }
        result = static_cast<long>(n);
    }
    if (service && m_service) {
        m_service(shared_from_this());
    }
    return result;
}

long GateChannel::Send(const void* bytes, std::size_t size, Clock::time_point deadline)
{
    const auto* data = static_cast<const unsigned char*>(bytes);
    bool service = false;
    bool replied = false;
    bool idled = false;
    {
        // One sender at a time; the state's lock is not held while the
        // socket is written, so that the loop is not kept waiting.
        std::unique_lock<std::mutex> sending(m_sendMutex);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_shutDown) {
                errno = EPIPE;
                return -1;
            }
            m_replies.Feed(data, size);
            if (m_replies.Outstanding() == 0 && m_replies.BetweenMessages()) {
                m_replyDone = Clock::now();
                replied = true;
            }
            if (m_clientGone || m_clientFailed) {
                // Dropped: the gate closes its side once no reply is owed.
                service = !m_replies.Outstanding() && m_replies.BetweenMessages();
            } else if (replied && m_idleMark) {
                // Idle from the last reply owed on, marked before it goes
                // out: its client may call again, or another connect, as
                // soon as it has it. (Not sent whole, the reply has the loop
                // look at the connection, which marks it afresh.)
                idled = m_gateQuiet.load() && m_toOrb.Empty() && m_toClient.Empty();
                m_idleMark->Replied(m_replyDone.time_since_epoch().count(), idled);
            }
        }
        if (!service && m_client >= 0) {
            std::size_t sent = 0;
            if (m_toClient.Empty()) {
                const ssize_t n = ::send(m_client, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && !Again(n)) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_clientFailed = true;
                    service = true;
                    sent = size;
                } else if (n > 0) {
                    sent = static_cast<std::size_t>(n);
                }
            }
            if (sent < size) {
                m_toClient.Append(data + sent, size - sent);
                m_waiting.store(m_toClient.Size());
                service = true;
                {
                    // A thread that peeks holds the client's socket out of
                    // the loop's watch: it hands it back for the loop to write.
                    std::lock_guard<std::mutex> lock(m_mutex);
                    WakePeekerLocked();
                }
                if (m_toClient.Size() >= c_maxWaiting) {
                    if (m_service) {
                        m_service(shared_from_this()); // (the loop writes it out)
                    }
                    const auto room = [this] { return m_client < 0 || m_toClient.Size() < c_maxWaiting; };
                    if (deadline == Clock::time_point::max()) {
                        m_room.wait(sending, room);
                    } else if (!m_room.wait_until(sending, deadline, room)) {
                        errno = EWOULDBLOCK;
                        return 0;
                    }
                }
            }
        }
    }
    if (idled && service) {
        m_idleMark->Set(false);
    }
    if (service && m_service) {
        m_service(shared_from_this());
    }
    return static_cast<long>(size);
}

void GateChannel::Shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutDown) {
            return;
        }
        m_shutDown = true;
        m_watched = false;
        WakePeekerLocked();
    }
    m_changed.notify_all();
    if (m_service) {
        m_service(shared_from_this());
    }
}

void GateChannel::Watch(bool dataInBuffer)
{
    bool service = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutDown) {
            return;
        }
        m_watched = true;
        // The thread that was told, having read, watches again: what it
        // left is anybody's (not while the thread told has not read yet).
        if (m_told && m_toldReader == std::this_thread::get_id()) {
            m_told = false;
            m_toldReader = std::thread::id();
        }
        // The ORB's own bytes are told of as asked; a message or the gate's
        // close only while they are there (TellIfReady and Peek look then).
        m_tellNow = m_tellNow || dataInBuffer;
        if (dataInBuffer || m_closed || !m_toOrb.Empty()) {
            service = true;
            WakePeekerLocked(); // (a thread that peeks takes it)
        }
    }
    if (service) {
        m_changed.notify_all();
    }
    if (service && m_service) {
        m_service(shared_from_this());
    }
}

void GateChannel::Unwatch()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watched = false;
    m_tellNow = false;
}

bool GateChannel::Watched() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_watched;
}

bool GateChannel::Peek()
{
    const auto end = Clock::now() + c_peekWait;
    // A message, the gate's close, or the ORB's own bytes it asked to be told
    // of; not a message the ORB was told of: the thread it sent reads that.
    const auto ready = [this] { return m_shutDown || m_closed || m_tellNow || (!m_told && !m_toOrb.Empty()); };
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Peeking() || m_shutDown || !m_watched) {
            return false; // (another thread of the ORB's looks already, or the ORB does not watch)
        }
        m_peeker = std::this_thread::get_id();
    }
    bool took = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (ready()) {
                took = !m_shutDown;
                break;
            }
        }
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        int fd = -1;
        {
            // Under the gate's lock, under which the loop gives messages:
            // one given since the look above is not waited for on the socket.
            std::lock_guard<std::mutex> gate(m_gateMutex);
            bool now = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                now = ready();
            }
            if (now) {
                continue;
            }
            if (owner != nullptr) {
                fd = owner->PeekBegin();
            }
        }
        if (fd >= 0) {
            // The client's socket, and what wakes a thread that peeks (see WakePeekerLocked).
            pollfd p[2] = {};
            p[0].fd = fd;
            p[0].events = POLLIN | POLLRDHUP;
            p[1].fd = m_wakePeeker;
            p[1].events = POLLIN;
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1;
            const int n = ::poll(p, 2, static_cast<int>(wait));
            if (n > 0 && p[1].revents != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(m_wakePeeker, &count, sizeof(count));
            }
            std::lock_guard<std::mutex> gate(m_gateMutex);
            if (owner != nullptr) {
                owner->PeekEnd(n > 0 ? p[0].revents : 0);
            }
        } else {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_until(lock, end, ready);
        }
    }
    bool service = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // What came after the last look, while this thread was still
        // peeking, was told of to nobody: it is this thread's.
        took = took || (ready() && !m_shutDown);
        m_peeker = std::thread::id();
        if (took) {
            m_watched = false;
            m_tellNow = false;
        } else {
            // Nothing is told while a thread peeks: what is there still (a
            // message told of that its thread left, a deferred one) is told
            // of by the loop now. (The gate's close and the ORB's own bytes
            // are ready(), taken above.)
            service = m_watched && !m_shutDown && !m_toOrb.Empty();
        }
    }
    if (service && m_service) {
        m_service(shared_from_this());
    }
    return took;
}

void GateChannel::HandBack()
{
    std::lock_guard<std::mutex> gate(m_gateMutex);
    if (owner != nullptr) {
        owner->HandBack();
    }
}

void GateChannel::SetReadyHandler(std::function<void()> ready)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ready = std::move(ready);
}

void GateChannel::SetReleaseHandler(std::function<void()> release)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_release = std::move(release);
}

bool GateChannel::ClientGone() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clientGone || m_clientFailed;
}

// --- the gate's side ---------------------------------------------------------

GateChannel::Put_e GateChannel::Put(const unsigned char* bytes, std::size_t size)
{
    std::function<void()> ready;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutDown || m_closed) {
            return Put_e::eRefused;
        }
        m_toOrb.Append(bytes, size);
        WakePeekerLocked();
        const auto now = Clock::now();
        if (m_watched && !Peeking() && now - m_replyDone < c_tellDelay) {
            m_tellFrom = now + c_tellDelay;
            m_changed.notify_all();
            return Put_e::eDeferred;
        }
        if (m_watched && !Peeking() && !m_released && m_ready) {
            m_watched = false;
            m_tellNow = false;
            m_told = true;
            m_toldReader = std::thread::id();
            ready = m_ready;
        }
    }
    m_changed.notify_all();
    if (ready) {
        ready();
    }
    return Put_e::eGiven;
}

bool GateChannel::Quiet() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toOrb.Empty() && m_replies.Outstanding() == 0 && m_replies.BetweenMessages() && m_waiting.load() == 0;
}

std::size_t GateChannel::Unread() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toOrb.Size();
}

void GateChannel::ExpectReplies(const std::vector<std::uint32_t>& ids, unsigned unknown)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::uint32_t id : ids) {
        m_replies.Expect(id);
    }
    m_replies.ExpectUnknown(unknown);
}

bool GateChannel::RepliesOwed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_replies.Outstanding() > 0 || !m_replies.BetweenMessages();
}

bool GateChannel::SendToClient(const unsigned char* bytes, std::size_t size)
{
    std::lock_guard<std::mutex> sending(m_sendMutex);
    if (m_client < 0) {
        return true;
    }
    std::size_t sent = 0;
    if (m_toClient.Empty() && size > 0) {
        const ssize_t n = ::send(m_client, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && !Again(n)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clientFailed = true;
            return false;
        }
        sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (sent < size) {
        m_toClient.Append(bytes + sent, size - sent);
        m_waiting.store(m_toClient.Size());
    }
    return true;
}

bool GateChannel::Flush(bool& failed)
{
    failed = false;
    bool done = false;
    {
        std::lock_guard<std::mutex> sending(m_sendMutex);
        if (m_client < 0) {
            return true;
        }
        while (!m_toClient.Empty()) {
            const ssize_t n = ::send(m_client, m_toClient.Data(), m_toClient.Size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                m_toClient.Consume(static_cast<std::size_t>(n));
            } else if (Again(n)) {
                break;
            } else {
                failed = true;
                break;
            }
        }
        m_toClient.Trim(c_keepBuffer);
        m_waiting.store(m_toClient.Size());
        done = m_toClient.Empty();
    }
    if (failed) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clientFailed = true;
    }
    m_room.notify_all();
    return done;
}

std::size_t GateChannel::Waiting() const
{
    return m_waiting.load();
}

int GateChannel::DetachClient()
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> sending(m_sendMutex);
        fd = std::exchange(m_client, -1);
        m_toClient.Clear();
        m_toClient.Trim(0);
        m_waiting.store(0);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clientGone = true;
        WakePeekerLocked();
    }
    m_room.notify_all();
    m_changed.notify_all();
    return fd;
}

void GateChannel::Close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        WakePeekerLocked();
    }
    m_changed.notify_all();
}

bool GateChannel::Closed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

bool GateChannel::ShutDown() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shutDown;
}

GateChannel::Clock::time_point GateChannel::TellIfReady()
{
    std::function<void()> ready;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_watched || Peeking() || m_shutDown || m_released || !m_ready) {
            return Clock::time_point::max(); // (a thread that peeks takes what came)
        }
        if (!m_tellNow && m_toOrb.Empty() && !m_closed) {
            return Clock::time_point::max();
        }
        if (!m_tellNow && !m_closed && Clock::now() < m_tellFrom) {
            return m_tellFrom; // (deferred: the gate asks again then)
        }
        m_watched = false;
        m_tellNow = false;
        // Told of the ORB's own bytes alone, the thread reads none of these.
        m_told = !m_toOrb.Empty();
        m_toldReader = std::thread::id();
        ready = m_ready;
    }
    ready();
    return Clock::time_point::max();
}

void GateChannel::RequestService()
{
    if (m_service) {
        m_service(shared_from_this());
    }
}

void GateChannel::ServiceWhenRead()
{
    bool now = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        now = m_toOrb.Empty();
        m_serviceWhenRead = !now;
    }
    if (now && m_service) {
        m_service(shared_from_this());
    }
}

void GateChannel::Release()
{
    std::function<void()> release;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_released) {
            return;
        }
        m_released = true;
        m_ready = nullptr;
        release = std::move(m_release);
    }
    if (release) {
        release();
    }
}

} // namespace remote
