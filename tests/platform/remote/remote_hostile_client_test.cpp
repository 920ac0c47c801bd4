// The remote export against clients that misbehave or vanish: subscribers
// that are killed, floods of subscriptions and idle connections, huge paths,
// and bind addresses that must be refused or explained.

#include "remote_test_support.h"

#include "platform/mci/tree_node.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "tests/common/resident_memory.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

// A client process (the soak program's client mode): by default one that
// subscribes count times to path (the quiet "clock_info.adc_frequency") with
// one callback object and then idles; "stuck" does so with a callback that
// takes no value; "stream" keeps the stream "tim.pll" open for 3 s at a time.
class SubscriberProcess {
public:
    SubscriberProcess(const std::string& address, int count, const char* kind = "subscribe",
                      const char* path = "clock_info.adc_frequency", const std::string& listen = "")
    {
        const std::string tool = ToolPath();
        const std::string soak = tool.substr(0, tool.rfind("/tools/")) + "/tests/remote_soak";
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::execl(soak.c_str(), soak.c_str(), "--client", kind, "--server", address.c_str(), "--count",
                    std::to_string(count).c_str(), "--for", "120", "--path", path, "--listen", listen.c_str(),
                    static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(fds[1]);
        m_out = fds[0];
    }
    ~SubscriberProcess()
    {
        Kill();
        if (m_out >= 0) {
            ::close(m_out);
        }
    }
    // True once the client printed "ready".
    bool WaitReady(std::chrono::milliseconds timeout)
    {
        pollfd p{m_out, POLLIN, 0};
        char buffer[16] = {0};
        return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1 && ::read(m_out, buffer, 5) == 5 &&
               std::string(buffer) == "ready";
    }
    // The next line it prints (without its end), or what came of it within
    // the time-out.
    std::string Line(std::chrono::milliseconds timeout = 5s)
    {
        std::string line;
        char c = 0;
        pollfd p{m_out, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(timeout.count())) == 1 && ::read(m_out, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    // The id of its last subscription, which it prints after "ready" (0: none).
    CORBA::ULongLong LastId() { return std::strtoull(Line().c_str(), nullptr, 10); }
    // Stops the process: it still accepts connections but answers no call.
    void Freeze() { ::kill(m_pid, SIGSTOP); }
    void Kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// A callback in this process whose calls wait until it is released.
struct SlowCallback : Callback {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;
    void ValueChanged(const char* path, const zemtra_REMOTE::StringSeq& values, CORBA::ULong position) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [this] { return released; });
        lock.unlock();
        Callback::ValueChanged(path, values, position);
    }
    bool WaitEntered(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return entered; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cv.notify_all();
    }
};

zemtra_REMOTE::StringSeq Text(size_t bytes, char c)
{
    zemtra_REMOTE::StringSeq v;
    v.length(1);
    v[0] = std::string(bytes, c).c_str();
    return v;
}

TEST(RemoteHostileClient, KilledSubscriberOf1000SubscriptionsLeavesNothingBehind)
{
    remote::RemoteExport::Settings settings;
    settings.idleConnectionTimeout = 2s;
    settings.idleThreadTimeout = 1s;
    settings.subscriptions.livenessPeriod = 500ms;
    Server server(settings);
    // Warm up with one remote subscriber, killed: the delivery pool and the
    // ORB's own threads for outgoing calls exist from then on.
    {
        SubscriberProcess warm(server.Address(), 1);
        ASSERT_TRUE(warm.WaitReady(30s));
    }
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSubscriptionCount() == 0; }, 10s));
    std::this_thread::sleep_for(3s); // idle request threads leave
    const long threads = ThreadCount();
    const long rss = zvtest::ResidentKb();

    SubscriberProcess client(server.Address(), 1000);
    ASSERT_TRUE(client.WaitReady(60s));
    EXPECT_EQ(1000u, server.exporter.GetSubscriptionCount());
    // No thread per subscription.
    EXPECT_LE(ThreadCount(), threads + 12);
    client.Kill();

    // Nothing is written to the node: the liveness probe finds the client gone.
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSubscriptionCount() == 0; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 3s) << "two liveness periods";
    // Request threads of the flood leave after their idle time-out.
    EXPECT_TRUE(zvtest::WaitFor([&] { return ThreadCount() <= threads; }, 5s))
        << ThreadCount() << " threads, " << threads << " before";
    if (zvtest::c_freedMemoryGoesBack) {
        EXPECT_LT(zvtest::ResidentKb(), rss + 16 * 1024);
    }
}

TEST(RemoteHostileClient, KilledReaderOfAQuietSignalEndsItsSession)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 500ms;
    Server server(settings);
    SubscriberProcess reader(server.Address(), 0, "stream");
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSignalSessionCount() == 1; }, 30s));
    reader.Kill();
    // Nothing is pushed into the stream: the probe of its receiver ends it.
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSignalSessionCount() == 0; }, 3s));
}

// A callback object answers as many liveness probes as an object of one
// subscription, however many subscriptions it serves.
TEST(RemoteHostileClient, LivenessIsProbedOncePerCallbackObject)
{
    struct Probed : Callback {
        std::atomic<int> probes{0};
        CORBA::Boolean _non_existent() override
        {
            ++probes;
            return false;
        }
    };
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 50ms;
    Server server(settings);
    Probed many;
    Probed one;
    for (Probed* sink : {&many, &one}) {
        CORBA::Object_var obj = server.Activate(sink);
        zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
        for (int i = 0; i < (sink == &many ? 50 : 1); ++i) {
            server.registry->Subscribe("arr", callback);
        }
    }
    ASSERT_TRUE(zvtest::WaitFor([&] { return one.probes.load() >= 3; }, 10s));
    // Read first: in each round the object of 50 is probed before the other.
    const int manyProbes = many.probes.load();
    EXPECT_LE(manyProbes, one.probes.load() + 1) << "the object of 50 subscriptions is probed 50 times a round";
    server.Deactivate(&many);
    server.Deactivate(&one);
}

TEST(RemoteHostileClient, SubscriptionsAreBoundedPerClientAndInAll)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.perClient = 3;
    settings.subscriptions.total = 4;
    Server server(settings);
    Callback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    std::vector<CORBA::ULongLong> ids;
    for (int i = 0; i < 3; ++i) {
        ids.push_back(server.registry->Subscribe("custom", callback));
    }
    const std::string client = "127.0.0.1:" + std::to_string(server.port); // the in-process ORB's endpoint
    EXPECT_EQ("mci: Too many subscriptions of client " + client + " (at most 3)",
              RemoteMessage([&] { server.registry->Subscribe("custom", callback); }));
    // A place that is given back can be taken again.
    server.registry->Unsubscribe(ids.back());
    ids.back() = server.registry->Subscribe("arr", callback);
    EXPECT_EQ(3u, server.exporter.GetSubscriptionCount());

    // The bound in all counts every client: a second one gets one place.
    SubscriberProcess other(server.Address(), 1);
    ASSERT_TRUE(other.WaitReady(30s));
    EXPECT_EQ(4u, server.exporter.GetSubscriptionCount());
    other.Kill();
    SubscriberProcess third(server.Address(), 1);
    // Refused while the killed one still counts; served once it was reaped.
    EXPECT_TRUE(third.WaitReady(30s));
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSubscriptionCount() == 4; }, 10s));
    // Values still reach the first client's subscriptions.
    server.tree.arr->SetValue(7, 0);
    EXPECT_TRUE(sink.WaitFor(1, 5s));
    server.Deactivate(&sink);
}

// A client that stops answering, with many subscriptions, holds no
// delivery thread: the values of other clients still flow.
TEST(RemoteHostileClient, FrozenSubscriberDoesNotStallTheOthers)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 60s; // its calls alone must not stall anyone
    Server server(settings);
    SubscriberProcess frozen(server.Address(), 16, "subscribe", "arr");
    ASSERT_TRUE(frozen.WaitReady(30s));
    Callback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    server.registry->Subscribe("arr", callback);
    frozen.Freeze();
    // The frozen client's 16 subscriptions get the value first; the
    // in-process subscription comes last in line.
    server.tree.arr->SetValue(7, 0);
    EXPECT_TRUE(sink.WaitFor(1, 4s)) << "stalled behind a frozen client";
    frozen.Kill();
    server.Deactivate(&sink);
}

// Clients that stop answering, more of them than the pool has delivery
// threads, delay no other client's value by more than a second.
TEST(RemoteHostileClient, FrozenSubscribersDoNotDelayOtherClients)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 60s; // their calls alone must not stall anyone
    Server server(settings);
    std::vector<std::unique_ptr<SubscriberProcess>> frozen;
    for (unsigned i = 0; i < 2 * remote::RemoteSubscriptions::c_deliveryThreads; ++i) {
        frozen.push_back(std::make_unique<SubscriberProcess>(server.Address(), 1, "subscribe", "arr"));
        ASSERT_TRUE(frozen.back()->WaitReady(30s));
        frozen.back()->Freeze();
    }
    Callback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    server.registry->Subscribe("arr", callback);
    for (int value = 1; value <= 3; ++value) {
        server.tree.arr->SetValue(value, 0);
        EXPECT_TRUE(sink.WaitFor(static_cast<size_t>(value), 1s))
            << "value " << value << " waited behind frozen clients";
    }
    for (auto& f : frozen) {
        f->Kill();
    }
    server.Deactivate(&sink);
}

// While a client is slow to take a value, newer values of the same
// elements replace the queued ones: it gets the latest, not a backlog.
TEST(RemoteHostileClient, ValuesForASlowClientAreCoalesced)
{
    Server server;
    SlowCallback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    server.registry->Subscribe("arr", callback);
    server.tree.arr->SetValue(1, 0);
    ASSERT_TRUE(sink.WaitEntered(5s));
    // The client has been in its call for a while when the values come.
    std::this_thread::sleep_for(remote::RemoteSubscriptions::c_slowCall + 50ms);
    for (int value = 2; value <= 100; ++value) {
        server.tree.arr->SetValue(value, 0);
    }
    server.tree.arr->SetValue(7, 1);
    sink.Release();
    ASSERT_TRUE(sink.WaitFor(3, 5s));
    EXPECT_FALSE(sink.WaitFor(4, 200ms));
    EXPECT_EQ((std::vector<std::string>{"arr@0: 1", "arr@0: 100", "arr@1: 7"}), sink.Lines());
    server.Deactivate(&sink);
}

// A client that answers liveness probes but takes no value (its connection
// for values is no longer read) holds a value that waits for many of its
// subscriptions once, and has them ended once its values have waited for
// the time after which a silent client counts as unreachable.
TEST(RemoteHostileClient, ClientThatTakesNoValueHoldsItOnceAndIsEndedInTime)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 500ms;
    settings.subscriptions.unreachableAfter = 4s;
    Server server(settings);
    SubscriberProcess stuck(server.Address(), 200, "stuck", "name");
    ASSERT_TRUE(stuck.WaitReady(60s));
    const CORBA::ULongLong id = stuck.LastId();
    const long rss = zvtest::ResidentKb();
    // Its first value fills what its connection takes; the others wait.
    for (char c = 'a'; c < 'i'; ++c) {
        server.registry->SetText("name", 0, Text(256 * 1024, c));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(200u, server.exporter.GetSubscriptionCount());
    if (zvtest::c_freedMemoryGoesBack) {
        // A copy for each subscription would take 50 MB.
        EXPECT_LT(zvtest::ResidentKb(), rss + 16 * 1024);
    }
    CORBA::String_var reason;
    EXPECT_TRUE(zvtest::WaitFor([&] { return !server.registry->IsServed(id, reason.out()); }, 30s));
    EXPECT_EQ(0u, std::string(reason.in()).rfind("client took no value for ", 0)) << reason.in();
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSubscriptionCount() == 0; }, 10s));
}

// The values waiting for one client take no more memory than its bound,
// each counted once however many of its subscriptions it waits for: past
// the bound, the client's subscriptions end, for a reason it can read.
TEST(RemoteHostileClient, ValuesWaitingForOneClientAreBounded)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.waitingBytesPerClient = 256 * 1024;
    Server server(settings);
    auto texts = std::make_shared<qreg::RegValueNode<std::string>>("texts", std::string(), 0x206);
    texts->SetNodeStructure(new mci::LocalNodeStructure(texts.get()));
    texts->OnResize(2, mci::c_noRelPath);
    server.tree.root->Add(texts);
    SlowCallback sink;
    CORBA::Object_var obj = server.Activate(&sink);
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    std::vector<CORBA::ULongLong> ids;
    for (int i = 0; i < 20; ++i) {
        ids.push_back(server.registry->Subscribe("texts", callback));
    }
    const size_t c_bytes = 100 * 1024;
    server.registry->SetText("texts", 0, Text(c_bytes, 'a'));
    ASSERT_TRUE(sink.WaitEntered(5s));
    std::this_thread::sleep_for(remote::RemoteSubscriptions::c_slowCall + 50ms);
    // The value in the call and the latest of its elements wait: 200 kB
    // however many subscriptions they wait for.
    server.registry->SetText("texts", 0, Text(c_bytes, 'b'));
    server.registry->SetText("texts", 0, Text(c_bytes, 'c'));
    CORBA::String_var reason;
    for (const auto id : ids) {
        EXPECT_TRUE(server.registry->IsServed(id, reason.out())) << reason.in();
    }
    // A value of other elements is one too many: every subscription of the
    // client ends, one after another, each for that reason.
    server.registry->SetText("texts", 1, Text(c_bytes, 'd'));
    for (const auto id : ids) {
        EXPECT_TRUE(zvtest::WaitFor([&] { return !server.registry->IsServed(id, reason.out()); }, 20s));
        EXPECT_STREQ("values waiting for the client would take more than 256 kB", reason.in());
    }
    sink.Release();
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSubscriptionCount() == 0; }, 10s));
    server.Deactivate(&sink);
}

// Ids are not counted out: a client that ends every id of a count, and asks
// about them, ends nothing of another client's, whose watch goes on.
TEST(RemoteHostileClient, GuessedIdsEndNothingOfAnotherClient)
{
    Server server;
    ToolProcess watch({"--server", server.Address(), "watch", "arr"});
    ASSERT_TRUE(zvtest::WaitFor(
        [&] { return server.exporter.GetSubscriptionCount() == 1 && server.exporter.GetActiveRequestCount() == 0; },
        10s));
    Receiver receiver;
    CORBA::Object_var obj = server.Activate(&receiver);
    const CORBA::ULongLong session =
        server.registry->OpenSignal("signals.pll", q_NET::SignalReceiver::_narrow(obj), 0, 0, 0);
    size_t served = 0;
    for (CORBA::ULongLong id = 1; id <= 100000; ++id) {
        RemoteMessage([&] { server.registry->Unsubscribe(id); });
        RemoteMessage([&] { server.registry->CloseSignal(id); });
        CORBA::String_var reason;
        served += server.registry->IsServed(id, reason.out()) ? 1 : 0;
    }
    EXPECT_EQ(0u, served);
    EXPECT_EQ(1u, server.exporter.GetSubscriptionCount());
    EXPECT_EQ(1u, server.exporter.GetSignalSessionCount());
    server.tree.arr->SetValue(5, 0);
    EXPECT_TRUE(zvtest::WaitFor([&] { return watch.Out().find('5') != std::string::npos; }, 10s)) << watch.Out();
    server.tree.PushPll(1.5, 2);
    EXPECT_TRUE(receiver.WaitForValues(2, 10s));
    server.registry->CloseSignal(session);
    ::kill(watch.Pid(), SIGINT);
    EXPECT_EQ(130, watch.Wait().exitCode);
    server.Deactivate(&receiver);
}

// A client that comes at the endpoint (address and port) of one that is
// gone, as a new process may, gets its buffers and values: the server's
// connections to the one gone are not the new one's.
TEST(RemoteHostileClient, ClientAtTheEndpointOfOneGoneIsServed)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 500ms;
    Server server(settings);
    const std::string port = std::to_string(FreePort());
    int value = 0;
    const struct {
        const char* kind;
        const char* path;
        std::function<size_t()> served;
        std::function<void()> push;
    } cases[] = {
        {"stream", "", [&] { return server.exporter.GetSignalSessionCount(); }, [&] { server.tree.PushPll(1, 2); }},
        {"values", "arr", [&] { return server.exporter.GetSubscriptionCount(); },
         [&] { server.tree.arr->SetValue(++value, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        qstd::CaptureScope capture;
        {
            SubscriberProcess gone(server.Address(), 1, c.kind, c.path, port);
            ASSERT_TRUE(zvtest::WaitFor([&] { return c.served() == 1; }, 30s));
            c.push(); // the server connects to it
            std::this_thread::sleep_for(200ms);
        }
        ASSERT_TRUE(zvtest::WaitFor([&] { return c.served() == 0; }, 10s));
        SubscriberProcess next(server.Address(), 1, c.kind, c.path, port);
        ASSERT_TRUE(zvtest::WaitFor([&] { return c.served() == 1; }, 30s));
        const bool values = std::string(c.kind) == "values";
        // A subscription is counted from its request on, and takes values
        // once it has started, before its request returns.
        ASSERT_TRUE(!values || next.Line(30s).rfind("ready", 0) == 0);
        const int first = value + 1;
        for (int i = 0; i < 5; ++i) {
            c.push();
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_EQ(1u, c.served());
        EXPECT_FALSE(capture.LoggedSubstring("not reachable"));
        if (values) {
            EXPECT_EQ(std::to_string(first), next.Line()) << "the first value is lost";
        }
    }
}

// Every signal session holds threads of the server: like subscriptions,
// they are bounded per client and in all.
TEST(RemoteHostileClient, SignalSessionsAreBoundedPerClientAndInAll)
{
    const std::string client = "127.0.0.1:"; // the in-process ORB's endpoint, its port follows
    const struct {
        size_t perClient;
        size_t total;
        std::string refusal;
    } cases[] = {{2, 5, "mci: Too many signal sessions of client " + client},
                 {5, 2, "mci: Too many signal sessions on this server (at most 2)"}};
    for (const auto& c : cases) {
        remote::RemoteExport::Settings settings;
        settings.subscriptions.sessionsPerClient = c.perClient;
        settings.subscriptions.sessionsTotal = c.total;
        Server server(settings);
        Receiver sink;
        CORBA::Object_var obj = server.Activate(&sink);
        q_NET::SignalReceiver_var receiver = q_NET::SignalReceiver::_narrow(obj);
        std::vector<CORBA::ULongLong> ids;
        for (int i = 0; i < 2; ++i) {
            ids.push_back(server.registry->OpenSignal("signals.pll", receiver, 0, 0, 0));
        }
        const std::string refused =
            RemoteMessage([&] { server.registry->OpenSignal("signals.pll", receiver, 0, 0, 0); });
        EXPECT_EQ(0u, refused.rfind(c.refusal, 0)) << refused;
        EXPECT_EQ(2u, server.exporter.GetSignalSessionCount());
        // A place that is given back can be taken again.
        server.registry->CloseSignal(ids.back());
        ids.back() = server.registry->OpenSignal("signals.pll", receiver, 0, 0, 0);
        EXPECT_EQ(2u, server.exporter.GetSignalSessionCount());
        for (const auto id : ids) {
            server.registry->CloseSignal(id);
        }
        server.Deactivate(&sink);
    }
}

// Stopping with values on their way to clients that stopped answering waits
// for the calls in progress once, not for one call after another.
TEST(RemoteHostileClient, StopWaitsForTheCallsInProgressToFrozenClientsOnce)
{
    remote::RemoteExport::Settings settings;
    settings.subscriptions.livenessPeriod = 60s;
    auto server = std::make_unique<Server>(settings);
    // Twice as many clients as delivery threads, each with a value to get.
    std::vector<std::unique_ptr<SubscriberProcess>> clients;
    for (unsigned i = 0; i < 2 * remote::RemoteSubscriptions::c_deliveryThreads; ++i) {
        clients.push_back(std::make_unique<SubscriberProcess>(server->Address(), 1, "subscribe", "arr"));
        ASSERT_TRUE(clients.back()->WaitReady(30s));
    }
    for (auto& c : clients) {
        c->Freeze();
    }
    server->tree.arr->SetValue(7, 0);
    std::this_thread::sleep_for(200ms); // the delivery threads are in their calls
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    // One call times out after 5 s; a second wave would take 10.
    EXPECT_LT(took, 8s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST(RemoteHostileClient, IdleConnectionsGetNoThreadsAndAreClosed)
{
    remote::RemoteExport::Settings settings;
    settings.idleConnectionTimeout = 1s;
    Server server(settings);
    const long threads = ThreadCount();
    std::vector<int> sockets;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(server.port);
        ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        sockets.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(ThreadCount(), threads + 4) << "a thread per connection";
    // The server closes them once they were idle for the time-out (after a
    // GIOP CloseConnection message).
    size_t closed = 0;
    const auto end = std::chrono::steady_clock::now() + 10s;
    for (int fd : sockets) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            char buffer[64];
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) != 1) {
                break;
            }
            if (::read(fd, buffer, sizeof(buffer)) <= 0) {
                ++closed;
                break;
            }
        }
        ::close(fd);
    }
    EXPECT_EQ(sockets.size(), closed);
    // And the server still serves.
    EXPECT_EQ(10u, zemtra_REMOTE::NodeInfoSeq_var(server.registry->List(""))->length());
}

// A request longer than the message bound is refused by the server's ORB
// before it is read whole; the server goes on serving.
TEST(RemoteHostileClient, RequestsPastTheMessageBoundAreRefused)
{
    const std::string path(100 * 1024, 'p'); // within the tool's own bound
    for (const unsigned long bound : {16ul * 1024, 8ul << 20}) {
        remote::RemoteExport::Settings settings;
        settings.maxMessageSize = bound;
        Server server(settings);
        const ToolResult big = RunTool({"--server", server.Address(), "get", path});
        EXPECT_EQ(1, big.exitCode) << bound;
        EXPECT_EQ(bound > path.size(), big.err.find("mci: No such node: ppp") != std::string::npos)
            << bound << ": " << big.err.substr(0, 200);
        const ToolResult small = RunTool({"--server", server.Address(), "get", "clock_info.decimation.tbt"});
        EXPECT_EQ(0, small.exitCode) << bound << ": " << small.err;
    }
}

TEST(RemoteHostileClient, RefusalsEchoAShortenedPath)
{
    Server server;
    const std::string path(1 << 20, 'p');
    const std::string message = RemoteMessage([&] { server.registry->GetText(path.c_str(), 0, 0); });
    EXPECT_EQ("mci: No such node: " + path.substr(0, 256) + "...", message);
    const std::string dotted = "a." + std::string(300, 'b');
    EXPECT_EQ("mci: No such node: " + dotted.substr(0, 256) + "...",
              RemoteMessage([&] { server.registry->SetText(dotted.c_str(), 0, zemtra_REMOTE::StringSeq()); }));
    // Short paths are echoed whole.
    EXPECT_EQ("mci: No such node: a.b", RemoteMessage([&] { server.registry->Describe("a.b"); }));
}

TEST(RemoteBindAddress, LoopbackIPv6AndRefusedAddresses)
{
    using remote::RemoteExport;
    struct Case {
        const char* address;
        const char* endpointHost;
        bool loopback;
    };
    for (const Case& c : std::vector<Case>{{"127.0.0.1", "127.0.0.1", true},
                                           {"127.1.2.3", "127.1.2.3", true},
                                           {"::1", "[::1]", true},
                                           {"[::1]", "[::1]", true},
                                           {"0.0.0.0", "0.0.0.0", false},
                                           {"::", "[::]", false},
                                           {"192.0.2.1", "192.0.2.1", false}}) {
        const auto a = RemoteExport::ResolveBindAddress(c.address);
        EXPECT_EQ(c.endpointHost, a.endpointHost) << c.address;
        EXPECT_EQ(c.loopback, a.loopback) << c.address;
    }
    for (const char* bad : {"", "[]", "no such host.invalid"}) {
        EXPECT_THROW(RemoteExport::ResolveBindAddress(bad), qstd::Exception) << bad;
    }

    TestTree tree;
    RemoteExport exporter;
    const unsigned short port = FreePort();
    // An address of no interface here: the reason comes from the system.
    {
        qstd::CaptureScope capture;
        try {
            exporter.Start(tree.root, "192.0.2.1", port);
            ADD_FAILURE() << "served on a foreign address";
        } catch (const qstd::Exception& e) {
            EXPECT_EQ("Remote export: can't bind 192.0.2.1 port " + std::to_string(port) +
                          ": Cannot assign requested address",
                      std::string(e.what()));
        }
        EXPECT_TRUE(capture.Logged("Remote export on 192.0.2.1, not a loopback address: remote clients can change "
                                   "the instrument without authentication."));
    }
    EXPECT_THROW(exporter.Start(tree.root, "127.0.0.1", 0), qstd::Exception);
    // IPv6 loopback, where the machine has it.
    const int fd6 = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_loopback;
    const bool haveIPv6 = fd6 >= 0 && ::bind(fd6, reinterpret_cast<sockaddr*>(&any6), sizeof(any6)) == 0;
    if (fd6 >= 0) {
        ::close(fd6);
    }
    if (!haveIPv6) {
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    exporter.Start(tree.root, "::1", port);
    EXPECT_EQ("corbaloc::[::1]:" + std::to_string(port) + "/ZemtraRemote", exporter.GetUri());
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var obj = orb->string_to_object(exporter.GetUri().c_str());
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_narrow(obj);
    EXPECT_EQ(10u, zemtra_REMOTE::NodeInfoSeq_var(registry->List(""))->length());
    registry = zemtra_REMOTE::Registry::_nil();
    exporter.Stop();
}

} // namespace
