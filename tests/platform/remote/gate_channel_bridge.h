#pragma once
// zvtest::GateChannelBridge: plays the ORB's side of the gate's channels and
// carries each over a socket pair, so that a test's backend serves a client
// connection on a plain blocking socket, as an ORB would serve a local
// connection. Two threads per channel pump the bytes: the channel's
// messages to the socket (read when the channel says one is there; the
// gate's close becomes a shutdown of the socket's writing side), and the
// backend's bytes to the channel (the backend's close shuts the channel
// down). A channel's messages count as read by the ORB once its pump has
// taken them; Hold() keeps them unread.

#include "platform/remote/gate_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zvtest {

class GateChannelBridge {
public:
    using Channel = std::shared_ptr<remote::GateChannel>;
    // Takes the backend's end (blocking) of a new channel's socket pair;
    // false: the backend takes no connection (the gate refuses the client,
    // and the bridge closes the pair).
    using Adopt = std::function<bool(int fd, const Channel& channel)>;

    explicit GateChannelBridge(Adopt adopt) : m_adopt(std::move(adopt)) {}
    GateChannelBridge(const GateChannelBridge&) = delete;
    GateChannelBridge& operator=(const GateChannelBridge&) = delete;

    // Shuts every channel down and ends its pumps (after the gate has
    // stopped: it offers no channel and tells no pump any more).
    ~GateChannelBridge()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        for (auto& pump : m_pumps) {
            if (!pump->reaped) {
                pump->Stop();
            }
        }
    }

    // What the gate is given: bridges each channel it offers.
    std::function<bool(const Channel&)> Offer()
    {
        return [this](const Channel& channel) { return Bridge(channel); };
    }

    // While held, the channel's messages stay unread in it (a pump that is
    // writing one to the socket finishes it).
    void Hold(const remote::GateChannel& channel, bool held)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& pump : m_pumps) {
            if (!pump->reaped && pump->channel.get() == &channel) {
                std::lock_guard<std::mutex> pumpLock(pump->mutex);
                pump->held = held;
                pump->changed.notify_all();
            }
        }
    }

    // Bytes of the backend's that the channel has taken (Send returned).
    std::size_t Relayed(const remote::GateChannel& channel)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& pump : m_pumps) {
            if (pump->channel.get() == &channel) {
                return pump->relayed.load();
            }
        }
        return 0;
    }

private:
    // What a pump holds at most: one buffer of this size each way.
    static constexpr std::size_t c_buffer = 64 * 1024;

    struct Pump {
        Channel channel;
        int fd = -1;
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false;
        bool ready = false;
        bool stop = false;
        std::atomic<int> ended{0};           // threads that have ended
        std::atomic<std::size_t> relayed{0}; // bytes of the backend's taken by the channel
        bool reaped = false;                 // threads joined, socket closed, channel let go
        std::thread toSocket;
        std::thread toChannel;

        bool Ended() const { return ended.load() == 2; }

        void Stop()
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                stop = true;
                changed.notify_all();
            }
            channel->Shutdown();
            ::shutdown(fd, SHUT_RDWR);
            Join();
        }

        void Join()
        {
            if (toSocket.joinable()) {
                toSocket.join();
            }
            if (toChannel.joinable()) {
                toChannel.join();
            }
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
        }

        // Waits for a message (or the gate's close) in the channel, as the
        // ORB does: it looks for one a while, then watches the channel;
        // false when stopped or held meanwhile.
        bool Wait()
        {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return stop || !held; });
                if (stop) {
                    return false;
                }
                ready = false;
            }
            if (channel->Peek()) {
                return true;
            }
            channel->Watch(false);
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return stop || ready || held; });
            if (!ready) {
                lock.unlock();
                channel->Unwatch();
                return false;
            }
            return true;
        }

        void ChannelToSocket()
        {
            std::vector<char> buffer(c_buffer);
            bool open = true;
            while (open) {
                if (!Wait()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (stop) {
                        break;
                    }
                    continue;
                }
                // What is there now, in pieces of the buffer's size.
                auto deadline = remote::GateChannel::Clock::time_point::max();
                for (;;) {
                    const long n = channel->Receive(buffer.data(), buffer.size(), deadline);
                    if (n == 0) {
                        break;
                    }
                    if (n < 0) {
                        ::shutdown(fd, SHUT_WR);
                        open = false;
                        break;
                    }
                    if (!WriteAll(buffer.data(), static_cast<std::size_t>(n))) {
                        channel->Shutdown();
                        open = false;
                        break;
                    }
                    deadline = remote::GateChannel::Clock::now();
                }
            }
            ++ended;
        }

        void SocketToChannel()
        {
            std::vector<char> buffer(c_buffer);
            for (;;) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    channel->Shutdown();
                    std::lock_guard<std::mutex> lock(mutex);
                    stop = true; // the backend is done: so is the other pump
                    changed.notify_all();
                    break;
                }
                if (channel->Send(buffer.data(), static_cast<std::size_t>(n),
                                  remote::GateChannel::Clock::time_point::max()) < 0) {
                    break;
                }
                relayed += static_cast<std::size_t>(n);
            }
            ++ended;
        }

        bool WriteAll(const char* bytes, std::size_t size)
        {
            while (size > 0) {
                const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    return false;
                }
                bytes += n;
                size -= static_cast<std::size_t>(n);
            }
            return true;
        }
    };

    bool Bridge(const Channel& channel)
    {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            return false;
        }
        Pump* pump = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                ::close(sv[0]);
                ::close(sv[1]);
                return false;
            }
            Reap();
            m_pumps.push_back(std::make_unique<Pump>());
            pump = m_pumps.back().get(); // there before the backend may hold it
            pump->channel = channel;
            pump->fd = sv[0];
        }
        const bool adopted = m_adopt(sv[1], channel);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!adopted) {
            ::close(sv[1]);
        }
        if (m_stopping) {
            return false; // (the pump's socket closes with the bridge)
        }
        if (!adopted) {
            pump->Join();
            pump->channel.reset();
            pump->reaped = true;
            return false;
        }
        // A pump outlives the gate's calls (its record stays until the
        // bridge ends), so the handler holds a plain pointer: copied by
        // the channel for each call, it allocates nothing.
        channel->SetReadyHandler([pump] {
            std::lock_guard<std::mutex> pumpLock(pump->mutex);
            pump->ready = true;
            pump->changed.notify_all();
        });
        pump->toSocket = std::thread([pump] { pump->ChannelToSocket(); });
        pump->toChannel = std::thread([pump] { pump->SocketToChannel(); });
        return true;
    }

    // Joins the threads of the channels done with, so that a long test
    // keeps only those of the channels still open. Under m_mutex.
    void Reap()
    {
        for (auto& pump : m_pumps) {
            if (!pump->reaped && pump->Ended()) {
                pump->Join();
                pump->channel.reset();
                pump->reaped = true;
            }
        }
    }

    const Adopt m_adopt;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Pump>> m_pumps;
    bool m_stopping = false;
};

} // namespace zvtest
