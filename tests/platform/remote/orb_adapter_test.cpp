// What the remote service assumes of the ORB: the adapter's reads of its
// connection objects (the socket and peer name of a request's connection,
// the queue of an outgoing connection, objects in this process), and the
// ORB behind the gate (a private local endpoint, references that name the
// gate's address, no TCP client served past the gate), and the order in
// which it hands out its idle connections to a client (reaching a client
// leaves none that the client closed). Each fails when an assumption no
// longer holds with the installed ORB.

#include "remote_test_support.h"

#include "platform/qstd/capture.h"
#include "platform/remote/gate_channel.h"
#include "platform/remote/orb_adapter.h"
#include "platform/remote/orb_transport.h"
#include "platform/remote/orb_version.h"
#include "platform/remote/remote_limits.h"
#include "platform/remote/remote_outgoing.h"
#include "tests/common/giop_client.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <omniORB4/callHandle.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <vector>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

// A callback servant that notes, for each request it serves, the client
// that the gate's channel of the request names ("" when it has none).
class Recorder : public POA_zemtra_REMOTE::ValueCallback {
public:
    CORBA::Boolean _dispatch(omniCallHandle& handle) override
    {
        const std::shared_ptr<remote::GateChannel> channel = remote::GateChannelOf(handle.connection());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_peer = channel ? channel->PeerAddress() : std::string();
            m_calls++;
        }
        return POA_zemtra_REMOTE::ValueCallback::_dispatch(handle);
    }
    void ValueChanged(const char*, const zemtra_REMOTE::StringSeq&, CORBA::ULong) override {}

    std::string LastPeer(int& calls)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls = m_calls;
        return m_peer;
    }

private:
    std::mutex m_mutex;
    std::string m_peer;
    int m_calls = 0;
};

std::string ValueChangedRequest(const std::string& objectKey)
{
    return zvtest::GiopRequest(objectKey, "ValueChanged", [](zvtest::Cdr& c) {
        c.String("path");
        c.ULong(0); // no values
        c.ULong(0); // position
    });
}

// The server runs with an ORB library of the major and minor version of
// the headers it was built with, and refuses another in one line that
// names both; the library installed is one it runs with.
TEST(OrbAdapter, RunsOnTheOrbVersionItWasVerifiedWith)
{
    const std::string refusal = "Remote export: the ORB library is omniORB ";
    const std::string built =
        ", but this server was built and verified with omniORB 4.2 (4.2.5) and runs with 4.2.x only.";
    const struct {
        const char* running;
        const char* built;
        std::string refusal;
    } cases[] = {
        {"4.2.0", "4.2.5", ""},
        {"4.2.5", "4.2.5", ""},
        {"4.2.12", "4.2.5", ""},
        {"4.2", "4.2.5", ""},
        {"4.3.0", "4.2.5", refusal + "4.3.0" + built},
        {"4.1.7", "4.2.5", refusal + "4.1.7" + built},
        {"4.20.1", "4.2.5", refusal + "4.20.1" + built},
        {"14.2.0", "4.2.5", refusal + "14.2.0" + built},
        {"5.0.0", "4.2.5", refusal + "5.0.0" + built},
        {"5.x", "4.2.5", refusal + "5.x" + built},
        {"4.2x", "4.2.5", refusal + "4.2x" + built},
        {"four point two", "4.2.5", refusal + "four point two" + built},
        {"", "4.2.5", refusal + "(no version)" + built},
        {"4.3.1", "4.3.0", ""},
        {"4.2.5", "4.3.0",
         refusal + "4.2.5, but this server was built and verified with omniORB 4.3 (4.3.0) and runs with 4.3.x only."},
        {"4.2.5", "unknown",
         refusal +
             "4.2.5, but this server was built and verified with omniORB unknown and runs with that version only."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.refusal, remote::OrbVersionRefusal(c.running, c.built)) << c.running << " built " << c.built;
    }
    EXPECT_EQ("", remote::OrbVersionRefusal(omniORB::versionString(), remote::BuiltOrbVersion()))
        << "omniORB " << omniORB::versionString() << ", built with " << remote::BuiltOrbVersion();
    EXPECT_NO_THROW(remote::RequireBuiltOrbVersion());
}

// A request that came through the gate finds the gate's channel of its
// connection, which names the client's TCP address; a call within the
// process has none.
TEST(OrbAdapter, ARequestFindsTheChannelOfItsClient)
{
    Server server;
    Recorder recorder;
    CORBA::Object_var obj = server.Activate(&recorder);
    const std::string key = remote::RemoteObjectOf(obj).target.objectKey;
    const int fd = zvtest::ConnectFrom(server.port, "127.0.0.3");
    ASSERT_GE(fd, 0) << std::strerror(errno);
    sockaddr_in own{};
    socklen_t length = sizeof(own);
    ASSERT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length));
    EXPECT_TRUE(zvtest::SendAll(fd, ValueChangedRequest(key)) && zvtest::IsAnswer(zvtest::Receive(fd, 5000ms)));
    int calls = 0;
    EXPECT_EQ("127.0.0.3:" + std::to_string(ntohs(own.sin_port)), recorder.LastPeer(calls));
    EXPECT_EQ(1, calls);
    ::close(fd);
    EXPECT_EQ(nullptr, remote::GateChannelOf(nullptr));
    EXPECT_EQ(-1, remote::OrbSocketOf(nullptr));
    server.Deactivate(&recorder);
}

// What an endpoint whose object is here answers to a GIOP 1.2 message: a
// LocateReply (object here) to a LocateRequest, a Reply (no exception)
// carrying result to a Request.
std::string AnswerOfObjectHere(const std::string& message, const std::string& result = std::string())
{
    uint32_t id = 0;
    std::memcpy(&id, &message[12], 4);
    zvtest::Cdr answer;
    answer.ULong(id);
    const bool locate = message[7] == 3;
    answer.ULong(locate ? 1 : 0);
    if (!locate) {
        answer.ULong(0); // no service contexts
        answer.Raw(result);
    }
    return answer.Message(locate ? 4 : 1);
}

// An endpoint that answers the ORB's requests (GIOP 1.2) as they come, the
// second one before reading it: what of that one does not fit into its
// small receive buffer stays queued on the ORB's side.
class SlowEndpoint {
public:
    SlowEndpoint()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_listener, 4) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no endpoint";
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~SlowEndpoint()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    SlowEndpoint(const SlowEndpoint&) = delete;
    SlowEndpoint& operator=(const SlowEndpoint&) = delete;

    unsigned short Port() const { return m_port; }

private:
    void Serve()
    {
        m_fd = ::accept(m_listener, nullptr, nullptr);
        if (m_fd < 0) {
            return;
        }
        // Small messages whole; of a large one only its start.
        for (;;) {
            std::string start(16, '\0');
            if (::recv(m_fd, &start[0], start.size(), MSG_PEEK | MSG_WAITALL) != static_cast<ssize_t>(start.size())) {
                return;
            }
            const bool large = zvtest::MessageSize(start) > 4096;
            const std::string message = large ? start : zvtest::Receive(m_fd, 10000ms);
            if (large && ::recv(m_fd, &start[0], start.size(), 0) != static_cast<ssize_t>(start.size())) {
                return;
            }
            if (!zvtest::SendAll(m_fd, AnswerOfObjectHere(message)) || large) {
                return;
            }
        }
    }

    int m_listener = -1;
    int m_fd = -1;
    unsigned short m_port = 0;
    std::thread m_thread;
};

// The ORB's outgoing connection to a client, quiet between calls, shows
// the bytes the client has not taken; an object of this process is known
// as such, one of another endpoint is not.
TEST(OrbAdapter, OutgoingConnectionsShowWhatTheirClientHasNotRead)
{
    Server server;
    SlowEndpoint client;
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var obj =
        orb->string_to_object(("corbaloc::1.2@127.0.0.1:" + std::to_string(client.Port()) + "/Slow").c_str());
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_unchecked_narrow(obj);
    omniORB::setClientCallTimeout(callback, 10000);
    const remote::RemoteObject remote = remote::RemoteObjectOf(callback);
    EXPECT_FALSE(remote.inProcess);
    EXPECT_EQ("giop:tcp:127.0.0.1:" + std::to_string(client.Port()), remote.orbAddress);

    callback->ValueChanged("first", zemtra_REMOTE::StringSeq(), 0);
    zemtra_REMOTE::StringSeq values;
    values.length(1);
    values[0] = std::string(12000, 'v').c_str(); // fits the ORB's send buffer, not the client's receive buffer
    callback->ValueChanged("second", values, 0);
    std::set<std::string> seen;
    std::size_t queued = 0;
    remote::ForEachQuietOutgoingConnection([&](const char* address, int socket) {
        seen.insert(address);
        int unsent = 0;
        if (address == remote.orbAddress && ::ioctl(socket, SIOCOUTQ, &unsent) == 0) {
            queued = static_cast<std::size_t>(unsent);
        }
    });
    EXPECT_EQ(1u, seen.count(remote.orbAddress));
    EXPECT_GT(queued, 4096u);
    remote::OutgoingConnections connections;
    const remote::OutgoingState state = connections.To(remote.orbAddress);
    EXPECT_TRUE(state.connected);
    EXPECT_EQ(queued, state.unsent);

    Recorder local;
    CORBA::Object_var localObj = server.Activate(&local);
    EXPECT_TRUE(remote::IsInProcess(localObj));
    EXPECT_TRUE(remote::RemoteObjectOf(localObj).inProcess);
    server.Deactivate(&local);
    callback = zemtra_REMOTE::ValueCallback::_nil();
}

// An endpoint that stands for a client process: it answers every message
// of the ORB as an object that exists (_non_existent false), though holds
// its answers until AnswerAll. Close ends one of the connections it
// accepted, as a client gone ends its own; it goes on accepting and
// answering the others.
class ClientEndpoint {
public:
    ClientEndpoint() : m_port(FreePort())
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_listener, 8) != 0) {
            ADD_FAILURE() << "no endpoint on port " << m_port;
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~ClientEndpoint()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
        for (const int fd : m_accepted) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    ClientEndpoint(const ClientEndpoint&) = delete;
    ClientEndpoint& operator=(const ClientEndpoint&) = delete;

    unsigned short Port() const { return m_port; }
    // The connections whose answers are held.
    std::size_t Held()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_held.size();
    }
    // The connection (its index in the order accepted, from 0) that the
    // last message came on.
    std::size_t LastMessageOn()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastOn;
    }
    // Answers all, and from now on at once.
    void AnswerAll()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holding = false;
        for (const auto& held : m_held) {
            zvtest::SendAll(held.first, held.second);
        }
        m_held.clear();
    }
    void Close(std::size_t index)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ::shutdown(m_accepted.at(index), SHUT_RDWR);
    }

private:
    void Serve()
    {
        std::map<int, std::string> received; // by socket
        while (!m_stop) {
            std::vector<pollfd> polled{{m_listener, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const int fd : m_accepted) {
                    if (fd >= 0) {
                        polled.push_back({fd, POLLIN, 0});
                    }
                }
            }
            if (::poll(polled.data(), polled.size(), 10) <= 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            if (polled[0].revents != 0) {
                m_accepted.push_back(::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC));
            }
            for (std::size_t i = 1; i < polled.size(); ++i) {
                if (polled[i].revents == 0) {
                    continue;
                }
                const int fd = polled[i].fd;
                char buffer[4096];
                const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    *std::find(m_accepted.begin(), m_accepted.end(), fd) = -1;
                    ::close(fd);
                    continue;
                }
                std::string& bytes = received[fd];
                bytes.append(buffer, static_cast<std::size_t>(n));
                m_lastOn =
                    static_cast<std::size_t>(std::find(m_accepted.begin(), m_accepted.end(), fd) - m_accepted.begin());
                for (std::size_t size; (size = zvtest::MessageSize(bytes)) != 0 && bytes.size() >= size;) {
                    const std::string answer = AnswerOfObjectHere(bytes, std::string(1, '\0'));
                    if (m_holding) {
                        m_held[fd] += answer;
                    } else {
                        zvtest::SendAll(fd, answer);
                    }
                    bytes.erase(0, size);
                }
            }
        }
    }

    const unsigned short m_port;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<int> m_accepted; // -1 once closed
    std::size_t m_lastOn = 0;
    bool m_holding = true;
    std::map<int, std::string> m_held; // answers by socket
    std::thread m_thread;
};

// The ORB's quiet connections to the endpoint, and how many of them read
// as closed by their peer.
struct QuietConnections {
    std::size_t count = 0;
    std::size_t closedByPeer = 0;
};
QuietConnections QuietConnectionsTo(const std::string& orbAddress)
{
    QuietConnections quiet;
    remote::ForEachQuietOutgoingConnection([&](const char* address, int socket) {
        if (orbAddress == address) {
            ++quiet.count;
            pollfd p{socket, POLLRDHUP, 0};
            quiet.closedByPeer += ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        }
    });
    return quiet;
}

// A client gone leaves the ORB idle connections to its endpoint, which the
// next process there takes up: reaching an object of that process leaves
// none of those that their client closed, whether the ORB hands a call
// that one or a live one first. Two calls at once make two connections.
TEST(RemoteReachConcurrency, LeavesNoConnectionClosedByItsClient)
{
    Server server;
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    for (const bool closedFirst : {true, false}) {
        SCOPED_TRACE(closedFirst ? "closed: the connection taken first" : "closed: the other one");
        ClientEndpoint client;
        CORBA::Object_var obj =
            orb->string_to_object(("corbaloc::1.2@127.0.0.1:" + std::to_string(client.Port()) + "/Next").c_str());
        omniORB::setClientCallTimeout(obj, 10000);
        const std::string address = remote::RemoteObjectOf(obj).orbAddress;
        std::atomic<int> answered{0};
        const auto call = [&] {
            try {
                answered += obj->_non_existent() ? 0 : 1;
            } catch (const CORBA::Exception&) {
            }
        };
        {
            const std::future<void> calls[] = {std::async(std::launch::async, call),
                                               std::async(std::launch::async, call)};
            EXPECT_TRUE(zvtest::WaitFor([&] { return client.Held() == 2; }, 10000ms));
            client.AnswerAll();
        }
        ASSERT_EQ(2, answered.load());
        ASSERT_EQ(2u, QuietConnectionsTo(address).count);
        call();
        ASSERT_EQ(3, answered.load());
        client.Close(closedFirst ? client.LastMessageOn() : 1 - client.LastMessageOn());
        ASSERT_TRUE(zvtest::WaitFor([&] { return QuietConnectionsTo(address).closedByPeer == 1; }, 10000ms));

        std::string reason;
        EXPECT_TRUE(remote::Reach(obj, reason)) << reason;
        const QuietConnections left = QuietConnectionsTo(address);
        EXPECT_EQ(0u, left.closedByPeer);
        EXPECT_GE(left.count, 1u);
    }
}

// A one-shot read that waits for the rest of the minute, from clients that
// then go away with a reset: the gate keeps each local connection until its
// reply, and the service asks the gate about the client behind it, so the
// reads end at once and leave their places to others. The trace names each
// client's TCP address.
TEST(RemoteCallerConcurrency, ReadsWhoseCallersWentAwayThroughTheGateAreFreedAndNamed)
{
    Server server;
    qstd::CaptureScope capture;
    const std::string held = zvtest::GiopRequest("ZemtraRemote", "ReadSignal", [](zvtest::Cdr& c) {
        c.String("signals.adc");
        c.ULong(10); // mode: once, from the time on
        c.ULong(1);
        c.ULongLong(0); // offset
        c.ULongLong(MemoryDodSource::c_heldTime);
        c.ULong(60000); // wait
    });
    zvtest::Sockets callers;
    std::vector<unsigned short> ports;
    for (std::size_t i = 0; i < remote::c_maxOneShotReads; ++i) {
        const std::string from = "127.0.0." + std::to_string(2 + i);
        callers.fds.push_back(zvtest::ConnectFrom(server.port, from.c_str()));
        ASSERT_TRUE(zvtest::SendAll(callers.fds.back(), held)) << from;
        sockaddr_in own{};
        socklen_t length = sizeof(own);
        ::getsockname(callers.fds.back(), reinterpret_cast<sockaddr*>(&own), &length);
        ports.push_back(ntohs(own.sin_port));
    }
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.tree.adc->m_held.load() == 8; }, 10000ms));
    const auto reset = std::chrono::steady_clock::now();
    for (int& fd : callers.fds) {
        zvtest::Reset(fd);
        fd = -1;
    }
    // Another client's read finds a place within a few looks at the callers.
    std::string refused = "not tried";
    EXPECT_TRUE(zvtest::WaitFor(
        [&] {
            refused = RemoteMessage([&] {
                zemtra_REMOTE::SignalData_var d = server.registry->ReadSignal("signals.adc", 10, 1, 0, 0, 1000);
            });
            return refused.empty();
        },
        3000ms))
        << refused;
    EXPECT_LT(std::chrono::steady_clock::now() - reset, 2000ms);
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.tree.adc->m_held.load() == 0; }, 3000ms));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_TRUE(capture.TracedSubstring("Remote read of 'signals.adc': its caller 127.0.0." +
                                            std::to_string(2 + i) + ":" + std::to_string(ports[i]) + " has gone"))
            << i;
    }
}

// The sockets of this process that listen on TCP, by port.
std::set<unsigned short> ListeningPorts()
{
    std::set<std::string> inodes;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            char target[64] = {0};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (::readlink(link.c_str(), target, sizeof(target) - 1) > 0 && std::strncmp(target, "socket:[", 8) == 0) {
                inodes.insert(std::string(target + 8, std::strlen(target) - 9));
            }
        }
        ::closedir(d);
    }
    std::set<unsigned short> ports;
    for (const TcpSocket& s : TcpSockets()) {
        if (s.state == "0A" && inodes.count(s.inode) != 0) {
            ports.insert(s.localPort);
        }
    }
    return ports;
}

// The ORB has no endpoint of its own that a client reaches: the gate's
// port is the only one the server listens on, and the references it makes
// name it.
TEST(RemoteOrbEndpoint, TheGatesPortIsTheOnlyOneServed)
{
    Server server;
    Recorder recorder;
    CORBA::Object_var obj = server.Activate(&recorder);
    const remote::RemoteObject published = remote::RemoteObjectOf(obj);
    EXPECT_EQ("127.0.0.1", published.target.host);
    EXPECT_EQ(server.port, published.target.port);
    EXPECT_EQ(std::set<unsigned short>{server.port}, ListeningPorts());
    server.Deactivate(&recorder);
}

} // namespace
