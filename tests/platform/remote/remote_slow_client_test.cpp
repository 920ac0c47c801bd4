// Clients that stop answering: frozen subscribers (endpoints that accept
// TCP and never answer) delay no other client's values and hold no thread;
// a paused tool (SIGSTOP) keeps its subscription and its forwarding read and
// goes on once continued; a subscription or read that the server ended is
// reported by the tool.

#include "remote_test_support.h"

#include "platform/mci/client_access.h"
#include "platform/remote/remote_probe.h"
#include "platform/remote/remote_subscription.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <vector>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

// A callback endpoint that accepts TCP connections (the kernel does, into
// the backlog) and never reads or answers.
class FrozenEndpoint {
public:
    FrozenEndpoint()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_fd, 16) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            ADD_FAILURE() << "no frozen endpoint";
        }
        m_port = ntohs(addr.sin_port);
    }
    ~FrozenEndpoint() { ::close(m_fd); }
    FrozenEndpoint(const FrozenEndpoint&) = delete;
    FrozenEndpoint& operator=(const FrozenEndpoint&) = delete;

    unsigned short Port() const { return m_port; }
    zemtra_REMOTE::ValueCallback_ptr Callback() const
    {
        int argc = 0;
        char* argv[] = {nullptr};
        CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
        CORBA::Object_var obj =
            orb->string_to_object(("corbaloc::127.0.0.1:" + std::to_string(m_port) + "/Frozen").c_str());
        return zemtra_REMOTE::ValueCallback::_unchecked_narrow(obj);
    }

private:
    int m_fd = -1;
    unsigned short m_port = 0;
};

// The last line of a tool's output, without its newline.
std::string LastLine(std::string out)
{
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    const size_t newline = out.rfind('\n');
    return newline == std::string::npos ? out : out.substr(newline + 1);
}

std::string ULong(std::uint32_t v, bool littleEndian = true)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<size_t>(littleEndian ? i : 3 - i)] = static_cast<char>((v >> (8 * i)) & 0xff);
    }
    return bytes;
}

std::string Giop(unsigned minor, unsigned char flags, unsigned char type, const std::string& body)
{
    return std::string("GIOP\1") + static_cast<char>(minor) + static_cast<char>(flags) + static_cast<char>(type) +
           ULong(static_cast<std::uint32_t>(body.size()), (flags & 1) != 0) + body;
}

// The answers of a client's ORB to the liveness probes are taken apart in
// either byte order; bytes that are no whole GIOP answer are found out
// without reading past them.
TEST(RemoteProbeMessages, AnswersAreTakenApartAndOtherBytesRefused)
{
    using remote::giop::Parsed;
    const std::string gone = "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0";
    const std::string here = Giop(2, 1, 4, ULong(7) + ULong(1));
    const std::string exception = ULong(3) + ULong(4) + ULong(static_cast<std::uint32_t>(gone.size() + 1)) + gone;
    const struct {
        const char* what;
        std::string bytes;
        Parsed parsed;
        std::size_t used;
        std::uint32_t requestId;
        std::uint32_t status;
        std::string exceptionId;
    } cases[] = {
        {"object here, the next message begun", here + "GIOP", Parsed::eMessage, 20, 7, 1, ""},
        {"unknown object, big-endian GIOP 1.0", Giop(0, 0, 4, ULong(9, false) + ULong(0, false)), Parsed::eMessage, 20,
         9, 0, ""},
        {"system exception", Giop(2, 1, 4, exception + '\0'), Parsed::eMessage, 24 + gone.size() + 1, 3, 4, gone},
        {"exception id longer than the message", Giop(2, 1, 4, ULong(3) + ULong(4) + ULong(99) + "IDL"),
         Parsed::eMessage, 27, 3, 4, ""},
        {"close connection", Giop(1, 1, 5, ""), Parsed::eMessage, 12, 0, 0, ""},
        {"header cut short", here.substr(0, 7), Parsed::eIncomplete, 0, 0, 0, ""},
        {"body cut short", here.substr(0, 15), Parsed::eIncomplete, 0, 0, 0, ""},
        {"no GIOP", "HTTP/1.1 400 Bad", Parsed::eMalformed, 0, 0, 0, ""},
        {"a fragment", Giop(2, 3, 4, ULong(7) + ULong(1)), Parsed::eMalformed, 0, 0, 0, ""},
        {"GIOP 1.3", Giop(3, 1, 4, ULong(7) + ULong(1)), Parsed::eMalformed, 0, 0, 0, ""},
        {"claims 1 MiB", here.substr(0, 8) + ULong(1u << 20), Parsed::eMalformed, 0, 0, 0, ""},
        {"locate reply without status", Giop(2, 1, 4, ULong(7)), Parsed::eMalformed, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        remote::giop::Message message;
        std::size_t used = 0;
        const Parsed parsed = remote::giop::ParseMessage(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                                         c.bytes.size(), message, used);
        EXPECT_EQ(c.parsed, parsed) << c.what;
        EXPECT_EQ(c.used, used) << c.what;
        EXPECT_EQ(c.requestId, message.requestId) << c.what;
        EXPECT_EQ(c.status, message.locateStatus) << c.what;
        EXPECT_EQ(c.exceptionId, message.exceptionId) << c.what;
    }
    // A probe reads back as one whole LocateRequest in every version.
    for (unsigned minor = 0; minor <= 2; ++minor) {
        const std::string request = remote::giop::LocateRequest(5, "key", minor);
        remote::giop::Message message;
        std::size_t used = 0;
        EXPECT_EQ(Parsed::eMessage, remote::giop::ParseMessage(reinterpret_cast<const unsigned char*>(request.data()),
                                                               request.size(), message, used));
        EXPECT_EQ(request.size(), used) << minor;
        EXPECT_EQ(remote::giop::c_locateRequest, message.type) << minor;
    }
}

// Probes tell, without waiting, an object that is there from one its ORB
// does not know (in every GIOP version), a client that is gone from one
// that does not answer.
TEST(RemoteProberConcurrency, ProbesTellAnsweringGoneAndSilentClients)
{
    using State = remote::RemoteProber::State_e;
    Server server; // an ORB of this process, answering on its endpoint
    const FrozenEndpoint frozen;
    const unsigned short closed = FreePort();
    const std::string host = "127.0.0.1";
    const struct {
        const char* what;
        remote::RemoteProber::Target target;
        State state;
    } cases[] = {
        {"registry, GIOP 1.0", {host, server.port, "ZemtraRemote", 0}, State::eAnswering},
        {"registry, GIOP 1.1", {host, server.port, "ZemtraRemote", 1}, State::eAnswering},
        {"registry, GIOP 1.2", {host, server.port, "ZemtraRemote", 2}, State::eAnswering},
        {"unknown key, GIOP 1.0", {host, server.port, "NoSuchObject", 0}, State::eObjectGone},
        {"unknown key, GIOP 1.2", {host, server.port, "NoSuchObject", 2}, State::eObjectGone},
        {"closed port", {host, closed, "ZemtraRemote", 2}, State::eClientGone},
        {"frozen endpoint", {host, frozen.Port(), "ZemtraRemote", 2}, State::eUnknown},
    };
    remote::RemoteProber prober;
    for (const auto& c : cases) {
        EXPECT_EQ(State::eUnknown, prober.Probe(c.target).state) << c.what;
    }
    for (const auto& c : cases) {
        if (c.state != State::eUnknown) {
            EXPECT_TRUE(zvtest::WaitFor([&] { return prober.Peek(c.target).state == c.state; }, 5s)) << c.what;
        }
    }
    for (const auto& c : cases) {
        const remote::RemoteProber::Status status = prober.Peek(c.target);
        EXPECT_EQ(c.state, status.state) << c.what;
        EXPECT_EQ(c.state == State::eUnknown, status.Waiting()) << c.what;
    }
    prober.Stop();
}

// A host name is looked up on the prober's own thread: neither the probe
// that names it nor a probe of another client waits for the lookup (here
// one that holds until released); once it ends, the probe goes out to the
// address found, and a name that names nothing reports its client gone.
TEST(RemoteProberConcurrency, HostNamesAreLookedUpWithoutHoldingOtherProbes)
{
    using State = remote::RemoteProber::State_e;
    using Target = remote::RemoteProber::Target;
    Server server;
    std::mutex mutex;
    std::condition_variable changed;
    bool lookingUp = false;
    bool released = false;
    remote::RemoteProber prober([&](const char* host, const char* service, const addrinfo* hints, addrinfo** found) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            lookingUp = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        }
        return std::strcmp(host, "client.test") == 0 ? ::getaddrinfo("127.0.0.1", service, hints, found) : EAI_NONAME;
    });
    const Target named{"client.test", server.port, "ZemtraRemote", 2};
    const Target numeric{"127.0.0.1", server.port, "ZemtraRemote", 2};
    const Target nameless{"nowhere.test", server.port, "ZemtraRemote", 2};
    const auto release = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    };
    // Released whatever happens, before the prober stops (it waits for its lookup).
    const struct ReleaseAtEnd {
        std::function<void()> release;
        ~ReleaseAtEnd() { release(); }
    } releaseAtEnd{release};

    std::future<remote::RemoteProber::Status> first =
        std::async(std::launch::async, [&] { return prober.Probe(named); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return lookingUp; }));
    }
    // While the lookup holds: the probe that named the host has returned,
    // waiting, and another client is probed and answers.
    if (first.wait_for(20s) != std::future_status::ready) {
        release(); // (before the future waits for the probe)
        FAIL() << "the probe waited for the lookup";
    }
    const remote::RemoteProber::Status status = first.get();
    EXPECT_EQ(State::eUnknown, status.state);
    EXPECT_TRUE(status.Waiting());
    EXPECT_EQ(State::eUnknown, prober.Probe(numeric).state);
    EXPECT_TRUE(zvtest::WaitFor([&] { return prober.Peek(numeric).state == State::eAnswering; }, 20s))
        << "another client's answer waited for the lookup";
    EXPECT_EQ(State::eUnknown, prober.Peek(named).state);
    release();
    EXPECT_TRUE(zvtest::WaitFor([&] { return prober.Peek(named).state == State::eAnswering; }, 20s));
    EXPECT_EQ(State::eUnknown, prober.Probe(nameless).state);
    EXPECT_TRUE(zvtest::WaitFor([&] { return prober.Peek(nameless).state == State::eClientGone; }, 20s));
    EXPECT_EQ("no address for host nowhere.test", prober.Peek(nameless).reason);
    prober.Stop();
}

// Many more frozen subscribers than the delivery pool has threads: each set
// reaches a healthy subscriber at once (within 5 s on a loaded machine; one
// that waited behind the frozen ones' calls, a second each, four at a time,
// would take ten), and the frozen ones hold no delivery thread.
TEST(RemoteSlowClientConcurrency, FrozenSubscribersDelayNoOtherClientAndHoldNoThread)
{
    Server server;
    constexpr int c_frozen = 40;
    std::vector<std::unique_ptr<FrozenEndpoint>> frozen;
    for (int i = 0; i < c_frozen; ++i) {
        frozen.push_back(std::make_unique<FrozenEndpoint>());
    }
    // Subscribed at once: each first subscription of a client waits for its
    // answer as long as a call to it may take.
    std::vector<std::future<void>> subscribed;
    for (const auto& endpoint : frozen) {
        subscribed.push_back(std::async(std::launch::async, [&server, &endpoint] {
            zemtra_REMOTE::ValueCallback_var callback = endpoint->Callback();
            server.registry->Subscribe("arr", callback);
        }));
    }
    for (auto& s : subscribed) {
        s.get();
    }
    Callback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    server.registry->Subscribe("arr", zemtra_REMOTE::ValueCallback::_narrow(obj));
    const long threads = ThreadCount();
    for (int value = 1; value <= 3; ++value) {
        server.tree.arr->SetValue(value, 0);
        EXPECT_TRUE(sink.WaitFor(static_cast<size_t>(value), 5s))
            << "value " << value << " waited behind frozen clients";
    }
    // Threads the pool added while it connected to the frozen clients leave
    // it once idle; none stays held by a client that never answers.
    EXPECT_TRUE(zvtest::WaitFor([&] { return ThreadCount() <= threads + 2; }, 10s))
        << "threads held by frozen clients: " << ThreadCount() << " from " << threads;
    EXPECT_EQ(static_cast<size_t>(c_frozen + 1), server.exporter.GetSubscriptionCount());
    server.Deactivate(&sink);
}

// A subscription removed while its values wait for its frozen client is let
// go of by the liveness thread, and the other subscriber of the node, whose
// registration stays, goes on getting values. The locks are taken in the
// order of a busy server (under TSan, an order that could deadlock is
// reported): the emitting thread asks the hub under the node's registration
// lock, the removal takes that lock under the subscription's close lock, and
// the liveness thread lets go of the closed subscription.
TEST(RemoteSlowClientConcurrency, SubscriptionRemovedWhileItsValuesWaitIsLetGo)
{
    Server server; // the ORB, and the tree
    Callback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    const zemtra_REMOTE::ValueCallback_var kept = zemtra_REMOTE::ValueCallback::_narrow(obj);
    const FrozenEndpoint frozen;
    const zemtra_REMOTE::ValueCallback_var held = frozen.Callback();
    const std::string client = remote::RemoteObjectOf(held.in()).clientKey;
    mci::ClientAccess access(server.tree.root);
    remote::RemoteProber prober;
    remote::RemoteSubscriptions::Limits limits;
    limits.livenessPeriod = 100ms; // the frozen client's probe goes out soon
    limits.unreachableAfter = 20s; // and it is not ended meanwhile
    {
        remote::RemoteSubscriptions hub(access, limits, prober);
        hub.Add(1, "arr", "arr", held.in());
        hub.Add(2, "arr", "arr", kept.in());
        // Values go to the frozen client until its probe has waited too
        // long for an answer; from then on they wait for it.
        int value = 0;
        ASSERT_TRUE(zvtest::WaitFor(
            [&] {
                server.tree.arr->SetValue(++value, 0);
                return hub.IsSlow(client);
            },
            15s));
        server.tree.arr->SetValue(++value, 0); // waits with its client
        ASSERT_TRUE(hub.Remove(1));
        // The client holds nothing once its closed subscription is let go of.
        EXPECT_TRUE(zvtest::WaitFor([&] { return !hub.IsSlow(client); }, 40s));
        server.tree.arr->SetValue(++value, 0);
        const std::string latest = "arr@0: " + std::to_string(value);
        EXPECT_TRUE(zvtest::WaitFor([&] {
            const std::vector<std::string> lines = sink.Lines();
            return !lines.empty() && lines.back() == latest;
        })) << "the node's other subscriber got no value since";
        hub.CloseAll();
    }
    server.Deactivate(&sink);
}

class RemotePausedToolConcurrency : public ::testing::Test {
protected:
    // A watch of "arr" and a forwarding read of the quiet stream, both
    // subscribed and open.
    void StartTools()
    {
        watch = std::make_unique<ToolProcess>(std::vector<std::string>{"--server", server->Address(), "watch", "arr"});
        read = std::make_unique<ToolProcess>(std::vector<std::string>{
            "--server", server->Address(), "read", "signals.pll", "--count", "1000", "--timeout", "0"});
        ASSERT_TRUE(zvtest::WaitFor([&] {
            return server->exporter.GetSubscriptionCount() == 1 && server->exporter.GetSignalSessionCount() == 1 &&
                   server->tree.arr->GetSubscriberCount() == 1 && server->exporter.GetActiveRequestCount() == 0;
        }));
    }
    void Signal(int signal)
    {
        for (ToolProcess* tool : {watch.get(), read.get()}) {
            if (!tool->HasExited()) {
                ::kill(tool->Pid(), signal);
            }
        }
    }

    std::unique_ptr<Server> server;
    std::unique_ptr<ToolProcess> watch;
    std::unique_ptr<ToolProcess> read;
};

// Stopped (Ctrl-Z) for longer than a call to it may take and continued, a
// watch prints the latest value and goes on, and a read goes on or ends
// with a message; the server closes their idle connections meanwhile.
TEST_F(RemotePausedToolConcurrency, PausedWatchAndReadGoOnOnceContinued)
{
    remote::RemoteExport::Settings settings;
    settings.idleConnectionTimeout = 2s;
    server = std::make_unique<Server>(settings);
    StartTools();
    Signal(SIGSTOP);
    for (int value = 1; value <= 5; ++value) {
        server->tree.arr->SetValue(value, 0);
        server->tree.PushPll(value, value);
        std::this_thread::sleep_for(1200ms);
    }
    Signal(SIGCONT);
    EXPECT_TRUE(zvtest::WaitFor([&] { return LastLine(watch->Out()) == "5"; }, 20s)) << watch->Out();
    server->tree.arr->SetValue(6, 0);
    EXPECT_TRUE(zvtest::WaitFor([&] { return LastLine(watch->Out()) == "6"; }, 20s)) << watch->Out();
    // The read goes on with the atoms pushed from now on, or ends with a
    // message and exit code 1.
    server->tree.PushPll(7, 7);
    EXPECT_TRUE(zvtest::WaitFor([&] { return LastLine(read->Out()) == "7,7" || read->HasExited(); }, 20s))
        << read->Out();
    Signal(SIGINT);
    EXPECT_EQ(130, watch->Wait().exitCode); // interrupted, as read
    const ToolResult r = read->Wait();
    if (LastLine(r.out) == "7,7") {
        EXPECT_EQ(130, r.exitCode) << r.err;
    } else {
        EXPECT_EQ(1, r.exitCode);
        EXPECT_NE("", r.err);
    }
}

// A subscription and a read that the server ended (their tools did not
// answer for longer than it waits) make the tools say so and exit 1 once
// they run on (their probes, a second apart, learn it; on a loaded machine
// within 20 s).
TEST_F(RemotePausedToolConcurrency, ServerEndedSubscriptionAndReadAreReported)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 200ms;
    settings.subscriptions.unreachableAfter = 1s;
    server = std::make_unique<Server>(settings);
    StartTools();
    Signal(SIGSTOP);
    ASSERT_TRUE(zvtest::WaitFor(
        [&] { return server->exporter.GetSubscriptionCount() == 0 && server->exporter.GetSignalSessionCount() == 0; },
        10s));
    Signal(SIGCONT);
    const auto continued = std::chrono::steady_clock::now();
    const struct {
        ToolProcess* tool;
        std::string message;
    } cases[] = {{watch.get(), "The server ended the subscription of arr: client not reachable for "},
                 {read.get(), "The server ended the read of signals.pll: receiver not reachable for "}};
    for (const auto& c : cases) {
        const ToolResult r = c.tool->Wait();
        EXPECT_EQ(1, r.exitCode) << r.err;
        EXPECT_EQ(0u, r.err.rfind(c.message, 0)) << r.err;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - continued, 20s);
}

} // namespace
