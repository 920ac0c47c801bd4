// The remote export against raw GIOP traffic: requests sent in part or
// trickled, headers that claim more than the message bound, floods of idle
// and of busy connections, large requests, and sequence counts that no
// message can hold. Every socket is on loopback; the hostile ones come
// from 127.0.0.2 (and the next addresses) so that the server tells them
// apart from the clients that must still be served.

#include "remote_test_support.h"

#include "platform/qstd/capture.h"
#include "platform/remote/giop_framing.h"
#include "platform/remote/giop_refusal.h"
#include "platform/remote/remote_outgoing.h"
#include "platform/remote/remote_signal_session.h"
#include "tests/common/giop_client.h"
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
using namespace zvtest;
using namespace std::chrono_literals;

namespace {

const char* const c_hostilePeer = "127.0.0.2";

// How long a client waits for what the server owes it: far longer than
// any answer takes on a loaded machine. A check that the server answered
// one client while it held others to a time-out gives that time-out twice
// this, so that an answer that waited for it comes too late.
constexpr std::chrono::milliseconds c_deadline = 20s;
constexpr std::chrono::milliseconds c_heldLonger = 2 * c_deadline;

// A connected socket to the server, from the given local address.
int Connect(unsigned short port, const char* from = "127.0.0.1")
{
    const int fd = zvtest::ConnectFrom(port, from);
    if (fd < 0) {
        ADD_FAILURE() << "can't connect from " << from << ": " << std::strerror(errno);
    }
    return fd;
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

// The minor code of the NO_RESOURCES exception that a reply carries, or
// -1 when it carries none.
int64_t RefusalOf(const std::string& reply)
{
    std::string id;
    uint32_t minor = 0;
    return SystemException(reply, id, minor) && id == "IDL:omg.org/CORBA/NO_RESOURCES:1.0" ? int64_t{minor} : -1;
}

// The minor codes of the NO_RESOURCES replies that the server sent on the
// sockets (-1 where none came), once at least that many came or the
// deadline passed.
std::vector<int64_t> Refusals(const std::vector<int>& fds, size_t atLeast)
{
    std::vector<std::string> replies(fds.size());
    std::vector<int64_t> minors(fds.size(), -1);
    zvtest::WaitFor(
        [&] {
            for (size_t i = 0; i < fds.size(); ++i) {
                bool closed = false;
                replies[i] += minors[i] < 0 ? Receive(fds[i], 10ms, closed) : std::string();
                minors[i] = RefusalOf(replies[i]);
            }
            return static_cast<size_t>(std::count_if(minors.begin(), minors.end(), [](int64_t m) { return m >= 0; })) >=
                   atLeast;
        },
        c_deadline);
    return minors;
}

// Connections whose message is still arriving cost the server only their
// buffer: past the bound of one address, or of the bytes they hold in all,
// the server answers the request as far as its header is in with a
// NO_RESOURCES refusal saying which bound, and closes the connection; a
// whole request is served at once meanwhile: while the half-sent requests
// kept are still held, which a receive time-out of a minute leaves them
// for as long as any loaded machine takes to serve it (a server that they
// stopped would serve it only once they were dropped, if before the
// tool's call time-out).
TEST(RemoteRawRequest, HalfSentRequestsDoNotStopTheService)
{
    const struct {
        int addresses;
        std::size_t maxArrivingBytes;
        std::size_t kept; // of the 100 half-sent requests, the rest refused
        uint32_t refusal;
    } cases[] = {{1, 64u << 20, 4, zemtra_REMOTE::RefusedArrivingFromAddress},
                 {10, 64u << 20, 40, zemtra_REMOTE::RefusedArrivingFromAddress},
                 {100, 64u << 20, 100, 0},
                 {100, 8 * HalfSentRequest().size(), 8, zemtra_REMOTE::RefusedArrivingInAll}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.addresses) + " addresses, " + std::to_string(c.maxArrivingBytes) + " bytes");
        remote::RemoteExport::Settings settings;
        settings.maxArrivingBytes = c.maxArrivingBytes;
        settings.receiveTimeout = 60000ms;
        Server server(settings);
        Sockets hostile;
        SendHalfRequests(server, hostile, c.addresses);
        TimedGet(server);
        const std::vector<int64_t> minors = Refusals(hostile.fds, hostile.fds.size() - c.kept);
        EXPECT_EQ(hostile.fds.size() - c.kept,
                  static_cast<size_t>(std::count(minors.begin(), minors.end(), c.refusal)));
        EXPECT_EQ(c.kept, static_cast<size_t>(std::count(minors.begin(), minors.end(), -1)));
        size_t held = 0;
        for (size_t i = 0; i < hostile.fds.size(); ++i) {
            bool closed = false;
            held += minors[i] == -1 && Receive(hostile.fds[i], 1ms, closed).empty() && !closed;
        }
        EXPECT_EQ(c.kept, held) << "a normal client was served only once half-sent requests were dropped";
    }
}

TEST(RemoteRawRequest, PartialMessagesAndOversizeHeadersAreDropped)
{
    {
        Server server;
        Sockets s;
        // A message that never comes whole, first or after a whole request,
        // is dropped after the receive time-out. (A connection that sends
        // nothing holds no thread: it is idle, closed to make room or after
        // the idle time-out.)
        const std::string sent[] = {HalfSentRequest(), GetNameRequest() + HalfSentRequest()};
        for (const std::string& bytes : sent) {
            s.fds.push_back(Connect(server.port, c_hostilePeer));
            SendAll(s.fds.back(), bytes);
        }
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < s.fds.size(); ++i) {
            EXPECT_TRUE(ClosedWithin(s.fds[i], c_deadline)) << i;
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms) << "a slow sender gets some time";
        // A request that takes longer than the receive time-out to serve is
        // still answered.
        auto blocked = std::async(std::launch::async, [&] {
            return RunTool({"--server", server.Address(), "exec", "block"});
        });
        ASSERT_TRUE(server.tree.owner.WaitEntered(c_deadline));
        std::this_thread::sleep_for(2500ms); // the command runs on
        server.tree.owner.Release();
        const ToolResult r = blocked.get();
        EXPECT_EQ(0, r.exitCode) << r.err;
    }
    // A header that claims a body above the message bound is refused at
    // once, not after the receive time-out.
    remote::RemoteExport::Settings settings;
    settings.receiveTimeout = c_heldLonger;
    Server server(settings);
    Sockets s;
    for (const uint32_t size : {(8u << 20) + 1, 0xfffffff0u}) {
        s.fds.push_back(Connect(server.port, c_hostilePeer));
        std::string header = HalfSentRequest().substr(0, 12);
        std::memcpy(&header[8], &size, 4);
        SendAll(s.fds.back(), header);
        EXPECT_TRUE(ClosedWithin(s.fds.back(), c_deadline)) << size;
    }
}

// Of connections whose first message is still arriving, one past the bound
// of its address, or one that takes the bytes they hold past the bound in
// all, is refused; of open connections, one past the bound makes room by
// closing an idle one, or is refused when none is idle. A refused client
// gets a NO_RESOURCES reply saying which bound, none of its requests runs,
// and its connection is closed; the server logs the refusals of an address
// once a minute.
TEST(RemoteRawRequest, ConnectionsAreBoundedPerPeerAddressAndInAll)
{
    remote::RemoteExport::Settings settings;
    settings.maxArrivingPerPeer = 1;
    settings.maxArrivingBytes = 2 * HalfSentRequest().size();
    settings.maxConnections = 3;
    settings.receiveTimeout = 30s; // the half-sent requests stay
    Server server(settings);
    qstd::CaptureScope capture;
    // What a connection from the address gets for the bytes; closed tells
    // whether the server closed it then.
    const auto answer = [&](const char* from, const std::string& bytes, bool& closed) {
        const int fd = Connect(server.port, from);
        std::string reply = SendAll(fd, bytes) ? Receive(fd, c_deadline, closed) : std::string();
        closed = closed || (!reply.empty() && ClosedWithin(fd, c_deadline));
        ::close(fd);
        return reply;
    };
    // Of two connections from one address whose request is still arriving,
    // one is refused; then of two from two more addresses, one.
    Sockets held;
    bool closed = false;
    for (const auto& group : {std::vector<const char*>{"127.0.0.2", "127.0.0.2"}, {"127.0.0.3", "127.0.0.4"}}) {
        std::vector<int> fds;
        for (const char* from : group) {
            held.fds.push_back(Connect(server.port, from));
            fds.push_back(held.fds.back());
            ASSERT_TRUE(SendAll(held.fds.back(), HalfSentRequest()));
        }
        const std::vector<int64_t> minors = Refusals(fds, 1);
        EXPECT_EQ(1, std::count(minors.begin(), minors.end(),
                                group[0] == group[1] ? zemtra_REMOTE::RefusedArrivingFromAddress
                                                     : zemtra_REMOTE::RefusedArrivingInAll))
            << group[1];
        for (size_t i = 0; i < fds.size(); ++i) {
            EXPECT_EQ(minors[i] >= 0, ClosedWithin(fds[i], minors[i] >= 0 ? c_deadline : 100ms)) << group[1];
        }
    }
    // The third connection is idle once answered; a fourth closes it.
    const int idle = Connect(server.port, "127.0.0.5");
    held.fds.push_back(idle);
    ASSERT_TRUE(SendAll(idle, GetNameRequest()));
    ASSERT_TRUE(IsAnswer(Receive(idle, c_deadline, closed)));
    std::this_thread::sleep_for(200ms); // (noted idle just after its answer went)
    const int busy = Connect(server.port, "127.0.0.6");
    held.fds.push_back(busy);
    ASSERT_TRUE(SendAll(busy, GiopRequest("ZemtraRemote", "Execute", [](Cdr& c) { c.String("block"); })));
    EXPECT_TRUE(IsCloseConnection(Receive(idle, c_deadline, closed)));
    EXPECT_TRUE(ClosedWithin(idle, c_deadline));
    // Now none is idle: two wait for the rest of a request, one runs one.
    ASSERT_TRUE(server.tree.owner.WaitEntered(5000ms));
    const std::string setRequest = GiopRequest("ZemtraRemote", "SetText", [](Cdr& c) {
        c.String("custom");
        c.ULong(0);
        c.ULong(1);
        c.String("fa_clk");
    });
    EXPECT_EQ(zemtra_REMOTE::RefusedConnectionsBusy, RefusalOf(answer("127.0.0.7", setRequest, closed)));
    EXPECT_TRUE(closed);
    EXPECT_EQ(eFofbSwitch, server.tree.owner.custom.load()) << "a refused request ran";
    // The tool's first message is a GIOP 1.0 LocateRequest, whose reply
    // cannot carry the refusal: the tool fails without being told why.
    for (int i = 0; i < 2; ++i) {
        const ToolResult r = RunTool({"--server", server.Address(), "get", "name"});
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ("", r.out);
    }
    size_t warnings = 0;
    for (const std::string& text : capture.Sink().Texts(qstd::Record::Kind::Log)) {
        warnings +=
            text.find("connection from 127.0.0.1 refused: 3 connections are open and none is idle") != std::string::npos
                ? 1
                : 0;
    }
    EXPECT_EQ(1u, warnings) << "refusals of one address are logged once a minute";
    // Once the request is over, its connection is idle: a new client is served.
    server.tree.owner.Release();
    EXPECT_TRUE(IsAnswer(Receive(busy, c_deadline, closed)));
    EXPECT_LT(TimedGet(server), c_deadline);
}

// Idle connections, however many from one address, do not lock out a new
// client: one past the bound of open connections closes the one idle the
// longest (with a GIOP CloseConnection), and the rest are still served.
TEST(RemoteRawRequest, IdleConnectionsDoNotLockOutNewClients)
{
    Server server;
    const remote::RemoteExport::Settings settings;
    const auto ping = [](int fd) {
        bool closed = false;
        return SendAll(fd, GetNameRequest()) && IsAnswer(Receive(fd, c_deadline, closed));
    };
    // 31 connections from 127.0.0.2 and 15 from each of 15 more addresses:
    // the bound in all.
    Sockets idle;
    for (unsigned i = 0; i < settings.maxConnections; ++i) {
        const std::string from = "127.0.0." + std::to_string(i < 31 ? 2 : 3 + (i - 31) / 15);
        idle.fds.push_back(Connect(server.port, from.c_str()));
        ASSERT_TRUE(ping(idle.fds.back())) << i << " from " << from;
    }
    // All but one ask again a while later: that one is idle the longest.
    const size_t idlest = 40;
    std::this_thread::sleep_for(1300ms); // the ORB counts idle time in seconds
    for (size_t i = 0; i < idle.fds.size(); ++i) {
        if (i != idlest) {
            ASSERT_TRUE(ping(idle.fds[i])) << i;
        }
    }
    EXPECT_LT(TimedGet(server), c_deadline);
    bool closed = false;
    EXPECT_TRUE(IsCloseConnection(Receive(idle.fds[idlest], c_deadline, closed)));
    EXPECT_TRUE(ClosedWithin(idle.fds[idlest], c_deadline));
    size_t served = 0;
    for (size_t i = 0; i < idle.fds.size(); ++i) {
        served += i != idlest && ping(idle.fds[i]) ? 1 : 0;
    }
    EXPECT_EQ(idle.fds.size() - 1, served);
}

// Runs a command that waits for the owner's release on each of count
// connections (from 127.0.0.3 on): with that many request threads, the ORB
// reads nothing more meanwhile.
void TakeEveryRequestThread(Server& server, Sockets& sockets, unsigned count)
{
    const std::string block = GiopRequest("ZemtraRemote", "Execute", [](Cdr& c) { c.String("block"); });
    for (unsigned i = 0; i < count; ++i) {
        const std::string from = "127.0.0." + std::to_string(3 + i);
        sockets.fds.push_back(Connect(server.port, from.c_str()));
        ASSERT_TRUE(SendAll(sockets.fds.back(), block));
    }
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetActiveRequestCount() == count; }, 10000ms));
}

// Requests far larger than a local connection takes at once, from the
// hostile peer: while the ORB reads nothing, each keeps a place.
void HoldLargeRequestPlaces(const Server& server, Sockets& holding, unsigned count)
{
    const std::string held = SetTextsRequest("name", 1u << 18);
    for (unsigned i = 0; i < count; ++i) {
        holding.fds.push_back(Connect(server.port, c_hostilePeer));
        ASSERT_TRUE(SendAll(holding.fds.back(), held));
    }
    std::this_thread::sleep_for(200ms); // arrived whole, handed on in part
}

// At most two large requests are handed to the ORB at once: each takes a
// place once it has arrived whole and gives it back once the ORB has read
// it. One more waits its turn and is served when a place comes free within
// the wait, else refused with a NO_RESOURCES that says so.
TEST(RemoteRawRequest, LargeRequestsAreServedAFewAtATime)
{
    remote::RemoteExport::Settings settings;
    settings.serverThreads = 2;
    // Long enough for the ORB, its threads back, to read the held requests
    // on a loaded machine (under ASan more than 1.5 s).
    settings.largeRequestWait = c_deadline / 2;
    Server server(settings);
    const std::string large = SetTextsRequest("name", static_cast<uint32_t>(settings.largeRequestSize / 8));
    // Sent whole from 127.0.0.1: the minor code of its refusal, or -1 when
    // served (the node refuses that many values).
    const auto refusal = [&] {
        const int fd = Connect(server.port);
        bool closed = false;
        const std::string reply = SendAll(fd, large) ? Receive(fd, c_deadline, closed) : std::string();
        ::close(fd);
        EXPECT_FALSE(reply.empty());
        return RefusalOf(reply);
    };
    EXPECT_EQ(-1, refusal());
    Sockets busy;
    TakeEveryRequestThread(server, busy, settings.serverThreads);
    Sockets holding;
    HoldLargeRequestPlaces(server, holding, settings.maxLargeRequests);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zemtra_REMOTE::RefusedLargeRequestsBusy, refusal());
    EXPECT_GE(std::chrono::steady_clock::now() - start, settings.largeRequestWait) << "refused without waiting";
    // One more waits while the ORB gets its threads back and reads the
    // held requests: it is served.
    auto waiting = std::async(std::launch::async, refusal);
    std::this_thread::sleep_for(200ms);
    server.tree.owner.Release();
    EXPECT_EQ(-1, waiting.get());
    for (const int fd : holding.fds) {
        EXPECT_EQ(-1, RefusalOf(Receive(fd, c_deadline)));
    }
}

// A large request that waits for a place longer than the receive time-out
// is still told why it is refused: it arrived whole before it waited.
TEST(RemoteRawRequest, LargeRequestRefusedAfterALongWaitIsToldWhy)
{
    remote::RemoteExport::Settings settings;
    settings.serverThreads = 1;
    settings.maxLargeRequests = 1;
    settings.receiveTimeout = 1000ms;
    settings.largeRequestWait = 2500ms;
    Server server(settings);
    Sockets busy;
    TakeEveryRequestThread(server, busy, settings.serverThreads);
    Sockets holding;
    HoldLargeRequestPlaces(server, holding, settings.maxLargeRequests);
    const auto start = std::chrono::steady_clock::now();
    const int fd = Connect(server.port);
    bool closed = false;
    const std::string large = SetTextsRequest("name", static_cast<uint32_t>(settings.largeRequestSize / 8));
    const std::string reply = SendAll(fd, large) ? Receive(fd, c_deadline, closed) : std::string();
    ::close(fd);
    EXPECT_EQ(zemtra_REMOTE::RefusedLargeRequestsBusy, RefusalOf(reply)) << "closed: " << closed;
    EXPECT_GE(std::chrono::steady_clock::now() - start, settings.largeRequestWait);
    server.tree.owner.Release();
    EXPECT_EQ(-1, RefusalOf(Receive(holding.fds[0], c_deadline)));
}

// While the rest of a refused large request trickles in to be skipped,
// every other client is served at once.
TEST(RemoteRawRequest, RefusedLargeRequestWhoseRestTricklesHoldsUpNoOne)
{
    remote::RemoteExport::Settings settings;
    settings.maxLargeRequests = 1;
    settings.maxLargeRequestsWaiting = 0;
    settings.receiveTimeout = c_heldLonger;
    Server server(settings);
    const std::string large = SetTextsRequest("name", 1u << 18);
    Sockets sockets;
    sockets.fds.push_back(Connect(server.port, c_hostilePeer));
    std::thread holder([&large, fd = sockets.fds.back()] { SendAll(fd, large.substr(0, 1u << 20)); });
    std::this_thread::sleep_for(200ms);
    // Refused at once: its rest, skipped, comes a few bytes at a time.
    sockets.fds.push_back(Connect(server.port, "127.0.0.3"));
    ASSERT_TRUE(SendAll(sockets.fds.back(), large.substr(0, 64u << 10)));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (size_t at = 64u << 10; !stop.load() && SendAll(sockets.fds[1], large.substr(at, 10)); at += 10) {
            std::this_thread::sleep_for(100ms);
        }
    });
    std::this_thread::sleep_for(500ms);
    const auto start = std::chrono::steady_clock::now();
    const int fd = Connect(server.port);
    bool closed = false;
    EXPECT_TRUE(SendAll(fd, GetNameRequest()) && IsAnswer(Receive(fd, c_deadline, closed)));
    ::close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - start, c_deadline);
    stop = true;
    for (const int s : sockets.fds) {
        ::shutdown(s, SHUT_RDWR);
    }
    holder.join();
    trickle.join();
}

// Senders that trickle a large request in at about 100 bytes a second hold
// no place of the bound (they are dropped after the receive time-out); of
// a request in fragments, whose size is not known, for that long at most.
// Meanwhile a large request sent whole is served.
TEST(RemoteRawRequest, SlowSendersDoNotHoldOffLargeRequests)
{
    const std::string large = SetTextsRequest("name", 1u << 14);
    const std::string fragmentStart = GiopRequest(
        "ZemtraRemote", "SetText",
        [](Cdr& c) {
            c.String("name");
            c.ULong(0);
            c.ULong(1u << 14);
        },
        FirstFragment());
    Cdr fragment; // the next fragment: the request's id, then texts
    fragment.ULong(1);
    for (int i = 0; i < 1000; ++i) {
        fragment.String("x");
    }
    const struct {
        const char* kind;
        std::string first; // sent at once
        std::string rest;  // trickles
    } cases[] = {{"whole message", large.substr(0, 8192), large.substr(8192)},
                 {"fragments", fragmentStart, fragment.Message(7)}};
    for (const auto& c : cases) {
        Server server;
        std::atomic<bool> stop{false};
        std::vector<std::thread> slow;
        Sockets senders;
        for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
            senders.fds.push_back(Connect(server.port, from));
            ASSERT_TRUE(SendAll(senders.fds.back(), c.first));
            slow.emplace_back([&stop, &c, fd = senders.fds.back()] {
                for (size_t at = 0; at < c.rest.size() && !stop.load() && SendAll(fd, c.rest.substr(at, 10));
                     at += 10) {
                    std::this_thread::sleep_for(100ms);
                }
            });
        }
        std::this_thread::sleep_for(300ms);
        const auto start = std::chrono::steady_clock::now();
        const int fd = Connect(server.port);
        bool closed = false;
        const std::string reply = SendAll(fd, large) ? Receive(fd, c_deadline, closed) : std::string();
        ::close(fd);
        EXPECT_FALSE(reply.empty()) << c.kind;
        EXPECT_EQ(-1, RefusalOf(reply)) << c.kind;
        EXPECT_LT(std::chrono::steady_clock::now() - start, c_deadline) << c.kind;
        stop = true;
        for (auto& t : slow) {
            t.join();
        }
    }
}

// The request id of a Reply (of any GIOP version), or -1 for anything else.
int64_t ReplyId(const std::string& message)
{
    const auto* data = reinterpret_cast<const unsigned char*>(message.data());
    remote::giop::Header header;
    remote::giop::RequestRef ref;
    if (!HeaderOf(message, header) || !header.Is(remote::giop::MsgType_e::eReply) ||
        remote::giop::ReadRequestRef(header, data, message.size(), ref) != remote::giop::RefStatus_e::eOk) {
        return -1;
    }
    return ref.requestId;
}

// A CancelRequest is advisory, and the server answers the request all the
// same. One that comes while its request runs, of any GIOP version, leaves
// the connection served as before: the cancelled request is answered once
// it ends, and the next one after it (GIOP 1.2, whose requests may come
// while another runs: also one sent right after the cancel); nothing of
// either is left behind once the server stops (the ASan build checks for
// leaks at the end).
TEST(RemoteRawRequest, CancelledRequestsAreAnsweredAnyway)
{
    const auto block = [](Cdr& c) { c.String("block"); };
    const auto getName = [](Cdr& c) {
        c.String("name");
        c.ULong(0);
        c.ULong(0);
    };
    for (unsigned char minor = 0; minor <= 2; ++minor) {
        Server server;
        Sockets client;
        client.fds.push_back(Connect(server.port));
        const int fd = client.fds.back();
        ASSERT_TRUE(SendAll(fd, GiopRequestOf(minor, 7, "ZemtraRemote", "Execute", block)));
        ASSERT_TRUE(server.tree.owner.WaitEntered(10000ms)) << int{minor};
        if (minor == 2) {
            ASSERT_TRUE(
                SendAll(fd, CancelRequest(minor, 7) + GiopRequestOf(minor, 8, "ZemtraRemote", "GetText", getName)));
            EXPECT_EQ(8, ReplyId(Receive(fd, 10000ms))) << "GIOP 1." << int{minor};
        } else {
            ASSERT_TRUE(SendAll(fd, CancelRequest(minor, 7)));
            pollfd p{fd, POLLIN, 0};
            EXPECT_EQ(0, ::poll(&p, 1, 1000)) << "GIOP 1." << int{minor} << ": an answer or a close";
        }
        server.tree.owner.Release();
        EXPECT_EQ(7, ReplyId(Receive(fd, 10000ms))) << "GIOP 1." << int{minor};
        ASSERT_TRUE(SendAll(fd, GiopRequestOf(minor, 9, "ZemtraRemote", "GetText", getName)));
        EXPECT_EQ(9, ReplyId(Receive(fd, 10000ms))) << "GIOP 1." << int{minor};
    }
}

// Clients connect, ask and close at a high rate, from many addresses or
// all from one, while the export counts connections: every one is answered
// (connections that their clients closed do not count).
TEST(RemoteRawRequestConcurrency, ConnectionsComingAndGoingAreCounted)
{
    const struct {
        int clients;
        int requests; // of each at most
        std::chrono::milliseconds duration;
        bool oneAddress;
    } cases[] = {{4, 100, 60s, false}, {12, 100000, 1500ms, true}};
    for (const auto& c : cases) {
        Server server;
        const std::string request = GetNameRequest();
        std::vector<std::future<std::pair<int, int>>> clients; // asked, answered
        for (int client = 0; client < c.clients; ++client) {
            clients.push_back(std::async(std::launch::async, [&, client] {
                std::pair<int, int> counts{0, 0};
                const auto end = std::chrono::steady_clock::now() + c.duration;
                for (int i = 0; i < c.requests && std::chrono::steady_clock::now() < end; ++i) {
                    const std::string from = c.oneAddress
                                                 ? std::string(c_hostilePeer)
                                                 : "127.0." + std::to_string(10 + client) + "." + std::to_string(2 + i);
                    const int fd = Connect(server.port, from.c_str());
                    bool closed = false;
                    const std::string reply = SendAll(fd, request) ? Receive(fd, 5000ms, closed) : std::string();
                    ::close(fd);
                    ++counts.first;
                    counts.second += IsAnswer(reply) ? 1 : 0;
                }
                return counts;
            }));
        }
        for (auto& client : clients) {
            const auto counts = client.get();
            EXPECT_EQ(counts.first, counts.second) << (c.oneAddress ? "from one address" : "from many");
        }
    }
}

// Decoded, a list of one-character texts takes ten times its size, on the
// request thread that decodes it. Twelve clients send such lists at once
// (again while one is refused as one too many): the server's memory is
// back where it was soon after, whichever threads decoded them.
TEST(RemoteRawRequest, LargeRequestsLeaveNoMemoryBehind)
{
    Server server;
    const std::string texts = SetTextsRequest("name", 1u << 19);
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

// The refusal the server writes itself answers the request at the start of
// the socket, of any GIOP version and byte order, with a reply of its
// version: the request's id, SYSTEM_EXCEPTION (LOC_SYSTEM_EXCEPTION of a
// locate request) and NO_RESOURCES with the minor code; nothing where the
// bytes hold no request up to its id.
TEST(RemoteRawRequest, RefusalRepliesAnswerTheRequestAtHand)
{
    const auto bytes = [](std::initializer_list<int> b) {
        std::string s;
        for (int v : b) {
            s.push_back(static_cast<char>(v));
        }
        return s;
    };
    // GIOP 1.1, big-endian, one service context of 3 bytes, request id 0x01020304.
    const std::string bigEndian = bytes({'G', 'I', 'O', 'P', 1, 1, 0,   0,   0,   0, 0, 24, 0, 0, 0, 1, 0, 0,
                                         0,   9,   0,   0,   0, 3, 'a', 'b', 'c', 0, 1, 2,  3, 4, 1, 0, 0, 0});
    // GIOP 1.2 LocateRequest, little-endian, request id 7.
    const std::string locate = bytes({'G', 'I', 'O', 'P', 1, 2, 1, 3, 8, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0});
    const struct {
        std::string request;
        char type;   // of the reply; 0: none
        size_t idAt; // of the request id in the reply
        uint32_t id;
        uint32_t status; // after the id
    } cases[] = {
        {bigEndian, 1, 16, 0x01020304, 2},
        {locate, 4, 12, 7, 4},
        {HalfSentRequest(), 1, 12, 1, 2},
        {bytes({'G', 'I', 'O', 'P', 1, 0, 1, 3, 8, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}), 0, 0, 0, 0},   // 1.0 locate
        {bytes({'G', 'I', 'O', 'P', 1, 0, 1, 0, 8, 0, 0, 0, 0, 0, 0, 128, 1, 0, 0, 0}), 0, 0, 0, 0}, // 2^31 contexts
        {bigEndian.substr(0, 30), 0, 0, 0, 0},
        {HalfSentRequest().substr(0, 14), 0, 0, 0, 0},
        {"GIOX" + HalfSentRequest().substr(4), 0, 0, 0, 0},
        {bytes({'G', 'I', 'O', 'P', 1, 2, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0}), 0, 0, 0, 0}, // a reply
    };
    const uint32_t minor = zemtra_REMOTE::RefusedArrivingInAll;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const auto& c = cases[i];
        const std::string reply =
            remote::GiopRefusalReply(reinterpret_cast<const unsigned char*>(c.request.data()), c.request.size(), minor);
        if (c.type == 0) {
            EXPECT_EQ("", reply) << i;
            continue;
        }
        uint32_t field[3] = {};
        ASSERT_GE(reply.size(), c.idAt + 8) << i;
        std::memcpy(&field[0], &reply[c.idAt], 4);
        std::memcpy(&field[1], &reply[c.idAt + 4], 4);
        std::memcpy(&field[2], &reply[reply.size() - 8], 4);
        EXPECT_EQ(c.request.substr(0, 6) + bytes({1, c.type}), reply.substr(0, 8)) << i;
        EXPECT_EQ(reply.size(), MessageSize(reply)) << i;
        EXPECT_EQ(c.id, field[0]) << i;
        EXPECT_EQ(c.status, field[1]) << i;
        EXPECT_EQ(minor, field[2]) << i;
        EXPECT_NE(std::string::npos, reply.find("IDL:omg.org/CORBA/NO_RESOURCES:1.0")) << i;
    }
}

// The object key of a servant activated in this process's ORB (the server's).
std::string ObjectKeyOf(CORBA::Object_ptr obj)
{
    return remote::RemoteObjectOf(obj).target.objectKey;
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
            const std::string request = GiopRequest(op.key, op.operation, [&](Cdr& c) {
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
    EXPECT_LT(TimedGet(server), c_deadline) << "still serving";
    server.Deactivate(&callback);
    server.Deactivate(&receiver);
}

// A relay of signal buffers serves the signal clients of the server's own
// process: what another process sends it is refused, and reaches no receiver.
TEST(RemoteRawRequest, RelaysServeTheirOwnProcessOnly)
{
    Server server;
    Receiver receiver;
    CORBA::Object_var receiverObj = server.Activate(&receiver);
    q_NET::SignalReceiver_var target = q_NET::SignalReceiver::_narrow(receiverObj);
    remote::RemoteReceiverRelay relay(target);
    CORBA::Object_var relayObj = server.Activate(&relay);
    const std::string request = GiopRequest(ObjectKeyOf(relayObj), "ReceiveShort", [](Cdr& c) {
        c.String("remote_1");
        c.ULong(2); // values
        c.ULong(0x00070007);
        c.ULong(0); // metadata
    });
    const int fd = Connect(server.port);
    bool closed = false;
    const std::string reply = SendAll(fd, request) ? Receive(fd, 5000ms, closed) : std::string();
    ::close(fd);
    EXPECT_TRUE(closed || (reply.size() >= 20 && reply[7] == 1 && reply[16] == 2)) << "not refused";
    // In this process the relay passes buffers on.
    q_NET::SignalReceiver_var local = q_NET::SignalReceiver::_narrow(relayObj);
    local->ReceiveShort("remote_1", q_NET::ShortSeq(), q_NET::MetaSeq());
    EXPECT_EQ(1u, receiver.Buffers());
    server.Deactivate(&relay);
    server.Deactivate(&receiver);
}

} // namespace
