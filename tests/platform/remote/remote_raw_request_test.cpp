// The remote export against raw GIOP traffic that no well-behaved client
// sends: requests sent in part, headers that claim more than the message
// bound, floods of connections from one address, and sequence counts that
// no message can hold. Every socket is on loopback; the hostile ones come
// from 127.0.0.2 (and the next addresses) so that the server tells them
// apart from the clients that must still be served.

#include "remote_test_support.h"

#include "platform/mci/remote_subscription.h"
#include "tests/common/resident_memory.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

const char* const c_hostilePeer = "127.0.0.2";

// Little-endian CDR of one GIOP 1.2 message; alignment counts from the
// start of the message, header included.
class Cdr {
public:
    Cdr() : m_bytes(12, '\0') {}
    void Align(size_t n) { m_bytes.resize((m_bytes.size() + n - 1) / n * n, '\0'); }
    void Octet(unsigned char v) { m_bytes.push_back(static_cast<char>(v)); }
    void ULong(uint32_t v)
    {
        Align(4);
        for (int i = 0; i < 4; ++i) {
            Octet(static_cast<unsigned char>(v >> (8 * i)));
        }
    }
    void String(const std::string& s)
    {
        ULong(static_cast<uint32_t>(s.size() + 1));
        m_bytes.append(s);
        Octet(0);
    }
    void Octets(const std::string& s)
    {
        ULong(static_cast<uint32_t>(s.size()));
        m_bytes.append(s);
    }
    // The whole message: GIOP header (version 1.2, little-endian, type 0
    // Request) with the body's size.
    std::string Message() const
    {
        std::string m = m_bytes;
        const uint32_t size = static_cast<uint32_t>(m.size() - 12);
        const char header[8] = {'G', 'I', 'O', 'P', 1, 2, 1, 0};
        m.replace(0, 8, header, 8);
        std::memcpy(&m[8], &size, 4);
        return m;
    }

private:
    std::string m_bytes;
};

// A request to the object of the key, with the arguments written by args.
std::string Request(const std::string& objectKey, const std::string& operation, const std::function<void(Cdr&)>& args)
{
    Cdr cdr;
    cdr.ULong(1); // request id
    cdr.Octet(3); // response expected
    cdr.Octet(0); // reserved
    cdr.Octet(0);
    cdr.Octet(0);
    cdr.Octet(0); // target address: object key (short 0)
    cdr.Octet(0);
    cdr.Octets(objectKey);
    cdr.String(operation);
    cdr.ULong(0); // no service contexts
    cdr.Align(8); // the body starts on an 8-octet boundary
    args(cdr);
    return cdr.Message();
}

// A connected socket to the server, from the given local address.
int Connect(unsigned short port, const char* from = "127.0.0.1")
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) {
        ADD_FAILURE() << "can't connect from " << from << ": " << std::strerror(errno);
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Size of the GIOP message at the start of bytes (little-endian), or 0
// while its header is incomplete.
size_t MessageSize(const std::string& bytes)
{
    uint32_t body = 0;
    if (bytes.size() < 12) {
        return 0;
    }
    std::memcpy(&body, &bytes[8], 4);
    return 12 + body;
}

// What the server sent until one whole message was in, the connection
// closed or the time-out passed; closed tells whether it closed.
std::string Receive(int fd, std::chrono::milliseconds timeout, bool& closed)
{
    std::string received;
    closed = false;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (MessageSize(received) == 0 || received.size() < MessageSize(received)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
            return received;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            closed = true;
            return received;
        }
        received.append(buffer, static_cast<size_t>(n));
    }
    return received;
}

// True when the server closes the connection (after whatever it sends)
// within the time-out.
bool ClosedWithin(int fd, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() < end) {
        Receive(fd, std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()),
                closed);
    }
    return closed;
}

struct Sockets {
    std::vector<int> fds;
    ~Sockets()
    {
        for (int fd : fds) {
            ::close(fd);
        }
    }
};

// A whole request: the value of "name".
std::string GetNameRequest()
{
    return Request("ZemtraRemote", "GetText", [](Cdr& c) {
        c.String("name");
        c.ULong(0);
        c.ULong(0);
    });
}

// A GIOP header whose body is on its way: a few bytes of it are sent, the
// rest never comes.
std::string HalfSentRequest()
{
    return GetNameRequest().substr(0, 12 + 10);
}

// The time a get by the command-line tool takes, from 127.0.0.1.
std::chrono::milliseconds TimedGet(const Server& server)
{
    const auto start = std::chrono::steady_clock::now();
    const ToolResult r = RunTool({"--server", server.Address(), "get", "name"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("bpm\n", r.out);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

// Sockets that each send a request header and part of its body.
void SendHalfRequests(const Server& server, Sockets& hostile, int addresses)
{
    for (int i = 0; i < 100; ++i) {
        const std::string from = "127.0.0." + std::to_string(2 + i % addresses);
        hostile.fds.push_back(Connect(server.port, from.c_str()));
        SendAll(hostile.fds.back(), HalfSentRequest());
    }
}

TEST(RemoteRawRequest, HalfSentRequestsDoNotStopTheService)
{
    // From one address, its bound of connections keeps request threads
    // free; from ten, they hold every request thread until the receive
    // time-out drops them, while the normal client's request waits.
    for (const int addresses : {1, 10}) {
        Server server;
        Sockets hostile;
        SendHalfRequests(server, hostile, addresses);
        EXPECT_LT(TimedGet(server), 3000ms) << "a normal client waited behind half-sent requests from " << addresses;
    }
}

TEST(RemoteRawRequest, PartialMessagesAndOversizeHeadersAreDropped)
{
    Server server;
    Sockets s;
    // A connection that sends nothing, or a message that never comes
    // whole, first or after a whole request, is dropped after the receive
    // time-out.
    const std::string sent[] = {"", HalfSentRequest(), GetNameRequest() + HalfSentRequest()};
    for (const std::string& bytes : sent) {
        s.fds.push_back(Connect(server.port, c_hostilePeer));
        SendAll(s.fds.back(), bytes);
    }
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < s.fds.size(); ++i) {
        EXPECT_TRUE(ClosedWithin(s.fds[i], 5000ms)) << i;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms) << "a slow sender gets some time";
    // A header that claims a body above the message bound is refused at once.
    for (const uint32_t size : {(8u << 20) + 1, 0xfffffff0u}) {
        s.fds.push_back(Connect(server.port, c_hostilePeer));
        std::string header = HalfSentRequest().substr(0, 12);
        std::memcpy(&header[8], &size, 4);
        SendAll(s.fds.back(), header);
        EXPECT_TRUE(ClosedWithin(s.fds.back(), 900ms)) << size; // before any receive time-out
    }
    // A request that takes longer than the receive time-out to serve is
    // still answered.
    auto blocked = std::async(std::launch::async, [&] {
        return RunTool({"--server", server.Address(), "exec", "block"});
    });
    ASSERT_TRUE(server.tree.owner.WaitEntered(10000ms));
    std::this_thread::sleep_for(2500ms); // the command runs on
    server.tree.owner.Release();
    const ToolResult r = blocked.get();
    EXPECT_EQ(0, r.exitCode) << r.err;
}

TEST(RemoteRawRequest, ConnectionsAreBoundedPerPeerAddressAndInAll)
{
    mci::RemoteExport::Settings settings;
    settings.maxConnectionsPerPeer = 4;
    settings.maxConnections = 6;
    Server server(settings);
    const std::string request = GetNameRequest();
    // A connection is served (its request answered) or closed.
    const auto served = [&](int fd) {
        bool closed = false;
        const std::string reply = SendAll(fd, request) ? Receive(fd, 2000ms, closed) : std::string();
        return !closed && reply.size() > 7 && reply.compare(0, 4, "GIOP") == 0 && reply[7] == 1;
    };
    Sockets s;
    for (unsigned i = 0; i < settings.maxConnectionsPerPeer; ++i) {
        s.fds.push_back(Connect(server.port, c_hostilePeer));
        EXPECT_TRUE(served(s.fds.back())) << i;
    }
    const int refused = Connect(server.port, c_hostilePeer);
    EXPECT_FALSE(served(refused));
    EXPECT_TRUE(ClosedWithin(refused, 1000ms));
    ::close(refused);
    // A refused client that sends a long request learns it at once (not
    // once the server's closed socket times out, a minute later).
    const std::string longRequest = Request("ZemtraRemote", "SetText", [](Cdr& c) {
        c.String("name");
        c.ULong(0);
        c.ULong(1u << 19);
        for (uint32_t i = 0; i < (1u << 19); ++i) {
            c.String("x");
        }
    });
    for (int i = 0; i < 3; ++i) {
        const int sending = Connect(server.port, c_hostilePeer);
        const timeval patience{5, 0};
        ::setsockopt(sending, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof(patience));
        const auto start = std::chrono::steady_clock::now();
        bool reset = false;
        while (!reset && std::chrono::steady_clock::now() - start < 5000ms) {
            reset = !SendAll(sending, longRequest); // (what the buffers take goes through)
        }
        EXPECT_TRUE(reset) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms) << i;
        ::close(sending);
    }
    // Other addresses are served.
    EXPECT_LT(TimedGet(server), 3000ms);
    // A connection that closes gives its place back (once the server saw it close).
    const auto servedOnce = [&](int& fd, const char* from) {
        return zvtest::WaitFor(
            [&] {
                fd = Connect(server.port, from);
                if (served(fd)) {
                    return true;
                }
                ::close(fd);
                fd = -1;
                return false;
            },
            5000ms);
    };
    ::close(s.fds.back());
    EXPECT_TRUE(servedOnce(s.fds.back(), c_hostilePeer));
    // Up to the bound in all.
    for (int i = 0; i < 2; ++i) {
        s.fds.push_back(-1);
        EXPECT_TRUE(servedOnce(s.fds.back(), "127.0.0.3"));
    }
    s.fds.push_back(Connect(server.port, "127.0.0.4"));
    EXPECT_FALSE(served(s.fds.back()));
}

TEST(RemoteRawRequest, LargeRequestsAreServedAFewAtATime)
{
    mci::RemoteExport::Settings settings;
    settings.receiveTimeout = 30s; // the held requests wait for their rest
    Server server(settings);
    const auto texts = [](uint32_t count) {
        return Request("ZemtraRemote", "SetText", [&](Cdr& c) {
            c.String("name");
            c.ULong(0);
            c.ULong(count);
            for (uint32_t i = 0; i < count; ++i) {
                c.String("x");
            }
        });
    };
    const std::string large = texts(settings.largeRequestSize / 8);
    // Sent whole from 127.0.0.1: refused as one too many, or served (the
    // node refuses that many values).
    const auto refused = [&] {
        const int fd = Connect(server.port);
        bool closed = false;
        const std::string reply = SendAll(fd, large) ? Receive(fd, 5000ms, closed) : std::string();
        ::close(fd);
        return reply.find("NO_RESOURCES") != std::string::npos;
    };
    EXPECT_FALSE(refused());
    // Requests whose rest never comes hold every place. Through a small
    // send buffer, a megabyte of one is sent once the server reads it.
    const std::string held = texts(1u << 18).substr(0, 1u << 20);
    Sockets holding;
    for (unsigned i = 0; i < settings.maxLargeRequests; ++i) {
        holding.fds.push_back(Connect(server.port, c_hostilePeer));
        const int small = 4096;
        ::setsockopt(holding.fds.back(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        ASSERT_TRUE(SendAll(holding.fds.back(), held));
    }
    EXPECT_TRUE(refused());
    EXPECT_LT(TimedGet(server), 3000ms) << "smaller requests are served";
    // Their clients go: the places are free again.
    for (const int fd : holding.fds) {
        ::shutdown(fd, SHUT_RDWR);
    }
    EXPECT_TRUE(zvtest::WaitFor([&] { return !refused(); }, 5000ms));
}

// Clients connect, ask and close at a high rate from many addresses while
// the export counts the connections of each address: every one is answered,
// and the count looks only at sockets of connections the ORB holds.
TEST(RemoteRawRequestConcurrency, ConnectionsComingAndGoingAreCounted)
{
    Server server;
    const std::string request = GetNameRequest();
    std::vector<std::future<int>> clients;
    for (int c = 0; c < 4; ++c) {
        clients.push_back(std::async(std::launch::async, [&, c] {
            int answered = 0;
            for (int i = 0; i < 100; ++i) {
                const std::string from = "127.0." + std::to_string(10 + c) + "." + std::to_string(2 + i);
                const int fd = Connect(server.port, from.c_str());
                bool closed = false;
                const std::string reply = SendAll(fd, request) ? Receive(fd, 5000ms, closed) : std::string();
                ::close(fd);
                answered += reply.size() > 7 && reply[7] == 1 ? 1 : 0;
            }
            return answered;
        }));
    }
    for (auto& c : clients) {
        EXPECT_EQ(100, c.get());
    }
}

// Decoded, a list of one-character texts takes ten times its size, on the
// request thread that decodes it. Twelve clients send such lists at once
// (again while one is refused as one too many): the server's memory is
// back where it was soon after, whichever threads decoded them.
TEST(RemoteRawRequest, LargeRequestsLeaveNoMemoryBehind)
{
    Server server;
    const std::string texts = Request("ZemtraRemote", "SetText", [](Cdr& c) {
        c.String("name");
        c.ULong(0);
        c.ULong(1u << 19);
        for (uint32_t i = 0; i < (1u << 19); ++i) {
            c.String("x");
        }
    });
    const long rss = zvtest::ResidentKb();
    std::vector<std::thread> clients;
    std::atomic<int> served{0};
    for (int i = 0; i < 12; ++i) {
        clients.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(2 + i);
            for (int attempt = 0; attempt < 1000; ++attempt) {
                const int fd = Connect(server.port, from.c_str());
                bool closed = false;
                const std::string reply = SendAll(fd, texts) ? Receive(fd, 10000ms, closed) : std::string();
                ::close(fd);
                if (reply.size() > 7 && reply.find("NO_RESOURCES") == std::string::npos) {
                    ++served; // the node refuses that many values
                    return;
                }
            }
        });
    }
    for (auto& c : clients) {
        c.join();
    }
    EXPECT_EQ(12, served.load());
    if (zvtest::c_freedMemoryGoesBack) {
        EXPECT_TRUE(zvtest::WaitFor([&] { return zvtest::ResidentKb() < rss + 32 * 1024; }, 5000ms))
            << zvtest::ResidentKb() - rss << " kB kept";
    }
}

// The object key of a servant activated in this process's ORB (the server's).
std::string ObjectKeyOf(CORBA::Object_ptr obj)
{
    std::string identity;
    mci::CallbackClientKey(obj, &identity);
    return identity.substr(identity.find('/') + 1);
}

// Every operation of the remote interface that receives a sequence, sent
// with a count that no message can hold: the request is refused with a
// system exception before anything is sized by the count, and the servant
// never runs.
TEST(RemoteRawRequest, ImpossibleSequenceCountsAreRefused)
{
    Server server;
    Callback callback;
    Receiver receiver;
    CORBA::Object_var callbackObj = server.Activate(&callback);
    CORBA::Object_var receiverObj = server.Activate(&receiver);
    const std::string registryKey = "ZemtraRemote";
    const std::string callbackKey = ObjectKeyOf(callbackObj);
    const std::string receiverKey = ObjectKeyOf(receiverObj);
    const auto setter = [](Cdr& c, uint32_t count) {
        c.String("arr");
        c.ULong(0);
        c.ULong(count);
    };
    const auto buffer = [](Cdr& c, uint32_t count) {
        c.String("remote_1");
        c.ULong(count);
    };
    const auto meta = [](Cdr& c, uint32_t count) {
        c.String("remote_1");
        c.ULong(0); // no values
        c.ULong(count);
    };
    const struct {
        const std::string& key;
        const char* operation;
        std::function<void(Cdr&, uint32_t)> args;
    } operations[] = {
        {registryKey, "SetInteger", setter},
        {registryKey, "SetDouble", setter},
        {registryKey, "SetText", setter},
        {callbackKey, "ValueChanged",
         [](Cdr& c, uint32_t count) {
             c.String("arr");
             c.ULong(count);
         }},
        {receiverKey, "ReceiveShort", buffer},
        {receiverKey, "ReceiveLong", buffer},
        {receiverKey, "ReceiveDouble", buffer},
        {receiverKey, "ReceiveULongLong", buffer},
        {receiverKey, "ReceiveDouble", meta},
    };
    for (const auto& op : operations) {
        for (const uint32_t count : {1u << 29, 1u << 30, 1u << 31, 0xffffffffu}) {
            const std::string request = Request(op.key, op.operation, [&](Cdr& c) {
                op.args(c, count);
                c.ULong(0x01010101); // a few bytes where the values would be
                c.ULong(0x01010101);
            });
            const int fd = Connect(server.port);
            bool closed = false;
            const std::string reply = SendAll(fd, request) ? Receive(fd, 5000ms, closed) : std::string();
            ::close(fd);
            const bool refused = closed || (reply.size() >= 20 && reply[7] == 1 && reply[16] == 2);
            EXPECT_TRUE(refused) << op.operation << " with " << count << " elements: not refused";
        }
    }
    EXPECT_TRUE(callback.Lines().empty());
    EXPECT_EQ(0u, receiver.Buffers());
    EXPECT_LT(TimedGet(server), 3000ms) << "still serving";
    server.Deactivate(&callback);
    server.Deactivate(&receiver);
}

} // namespace
