// Concurrency of the remote export: many clients at once get their own
// answers, and Stop refuses new requests while it waits for the running
// ones.

#include "remote_test_support.h"

#include "platform/remote/remote_request_gate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

TEST(RemoteRequestGateConcurrency, CloseRefusesNewAndWaitsForRunning)
{
    remote::RemoteRequestGate gate;
    ASSERT_TRUE(gate.Enter());
    EXPECT_EQ(1u, gate.Active());
    gate.Close();
    EXPECT_FALSE(gate.Enter());
    EXPECT_FALSE(gate.WaitIdle(20ms));
    std::thread leaver([&] {
        std::this_thread::sleep_for(30ms);
        gate.Leave();
    });
    EXPECT_TRUE(gate.WaitIdle(5s));
    EXPECT_EQ(0u, gate.Active());
    leaver.join();
    {
        remote::RemoteRequestGate::Pass pass(gate);
        EXPECT_FALSE(pass.Admitted());
    }
    EXPECT_EQ(0u, gate.Active());
}

TEST(RemoteExportConcurrency, ClientsGetTheirOwnAnswers)
{
    Server server;
    // Each client owns one element of "arr" and checks every answer it reads.
    constexpr int c_clients = 4;
    constexpr int c_rounds = 300;
    std::vector<std::future<int>> results;
    for (int c = 0; c < c_clients; ++c) {
        results.push_back(std::async(std::launch::async, [&server, c] {
            int wrong = 0;
            for (int i = 0; i < c_rounds; ++i) {
                zemtra_REMOTE::LongLongSeq v;
                v.length(1);
                v[0] = c * 100000 + i;
                server.registry->SetInteger("arr", static_cast<CORBA::ULong>(c), v);
                zemtra_REMOTE::LongLongSeq_var back =
                    server.registry->GetInteger("arr", static_cast<CORBA::ULong>(c), 1);
                if (back->length() != 1 || back[0] != c * 100000 + i) {
                    ++wrong;
                }
            }
            return wrong;
        }));
    }
    for (auto& r : results) {
        EXPECT_EQ(0, r.get());
    }
    EXPECT_EQ(0u, server.exporter.GetActiveRequestCount());
}

TEST(RemoteExportConcurrency, StopDrainsTheRequestInProgressAndRefusesNewOnes)
{
    Server server;
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_duplicate(server.registry);
    auto running = std::async(std::launch::async, [&] { registry->Execute("block"); });
    server.tree.owner.WaitEntered();
    EXPECT_EQ(1u, server.exporter.GetActiveRequestCount());

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        server.exporter.Stop();
        stopped = true;
    });
    // Stop waits for the command; meanwhile a new request is refused.
    std::string refused;
    int admitted = 0;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (refused.empty() && std::chrono::steady_clock::now() < end) {
        refused = RemoteMessage([&] { registry->Execute("reset"); });
        if (refused.empty()) {
            ++admitted;
            std::this_thread::sleep_for(1ms);
        }
    }
    EXPECT_EQ("Server is shutting down", refused);
    EXPECT_FALSE(stopped.load());
    server.tree.owner.Release();
    running.get(); // the request in progress completed normally
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(server.exporter.IsRunning());
    // Refused requests never reached their node.
    EXPECT_EQ(admitted, server.tree.owner.executed.load());
}

TEST(RemoteExportConcurrency, StopDrainsARequestOfAnotherProcessOnAnOrbThread)
{
    Server server;
    auto blocked = std::async(std::launch::async, [&] {
        return RunTool({"--server", server.Address(), "exec", "block"});
    });
    ASSERT_TRUE(server.tree.owner.WaitEntered(10000ms));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        server.exporter.Stop();
        stopped = true;
    });
    // While Stop waits, another client is refused with the server's message.
    ToolResult refused;
    const auto end = std::chrono::steady_clock::now() + 10s;
    do {
        refused = RunTool({"--server", server.Address(), "get", "name"});
    } while (refused.exitCode == 0 && std::chrono::steady_clock::now() < end);
    EXPECT_EQ(1, refused.exitCode);
    EXPECT_EQ("Server is shutting down\n", refused.err);
    EXPECT_FALSE(stopped.load());
    server.tree.owner.Release();
    const ToolResult done = blocked.get();
    EXPECT_EQ(0, done.exitCode) << done.err;
    stopper.join();
    EXPECT_TRUE(stopped.load());
}

TEST(RemoteExportConcurrency, StartTwiceIsRefusedAndRestartServesAgain)
{
    TestTree tree;
    remote::RemoteExport exporter;
    const unsigned short port = FreePort();
    exporter.Start(tree.root, "127.0.0.1", port);
    EXPECT_EQ("corbaloc::127.0.0.1:" + std::to_string(port) + "/ZemtraRemote", exporter.GetUri());
    EXPECT_THROW(exporter.Start(tree.root, "127.0.0.1", port), qstd::Exception);
    exporter.Stop();
    exporter.Stop(); // a second stop is harmless
    EXPECT_EQ("", exporter.GetUri());

    exporter.Start(tree.root, "127.0.0.1", port);
    const ToolResult r = RunTool({"--server", "127.0.0.1:" + std::to_string(port), "get", "clock_info.decimation.tbt"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("382\n", r.out);
    exporter.Stop();
}

TEST(RemoteSubscriptionConcurrency, EachSubscriberGetsItsValuesInOrderWhileOthersComeAndGo)
{
    Server server;
    constexpr int c_subscribers = 6;
    constexpr int c_values = 200;
    std::vector<std::unique_ptr<Callback>> sinks;
    for (int i = 0; i < c_subscribers; ++i) {
        sinks.push_back(std::make_unique<Callback>());
        CORBA::Object_var obj = server.Activate(sinks.back().get());
        server.registry->Subscribe("synchronize_lmt", zemtra_REMOTE::ValueCallback::_narrow(obj));
    }
    // Subscriptions made and ended meanwhile share the delivery threads.
    Callback churn;
    CORBA::Object_var churnObj = server.Activate(&churn);
    zemtra_REMOTE::ValueCallback_var churnCallback = zemtra_REMOTE::ValueCallback::_narrow(churnObj);
    std::atomic<bool> done{false};
    std::thread comings([&] {
        while (!done.load()) {
            server.registry->Unsubscribe(server.registry->Subscribe("synchronize_lmt", churnCallback));
        }
    });
    for (int v = 1; v <= c_values; ++v) {
        zemtra_REMOTE::LongLongSeq seq;
        seq.length(1);
        seq[0] = v;
        server.registry->SetInteger("synchronize_lmt", 0, seq);
    }
    done = true;
    comings.join();
    for (auto& sink : sinks) {
        ASSERT_TRUE(sink->WaitFor(c_values, 10s));
        const auto lines = sink->Lines();
        for (int v = 1; v <= c_values; ++v) {
            EXPECT_EQ("synchronize_lmt@0: " + std::to_string(v), lines[static_cast<size_t>(v - 1)]);
        }
        server.Deactivate(sink.get());
    }
    server.Deactivate(&churn);
    EXPECT_EQ(static_cast<size_t>(c_subscribers), server.exporter.GetSubscriptionCount());
}

TEST(RemoteExportConcurrency, PortInUseIsReportedAndLeavesNoOrbBehind)
{
    TestTree tree;
    const unsigned short port = FreePort();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, ::listen(fd, 1));
    remote::RemoteExport exporter;
    try {
        exporter.Start(tree.root, "127.0.0.1", port);
        ADD_FAILURE() << "a port in use was served";
    } catch (const qstd::Exception& e) {
        EXPECT_EQ("Remote export: can't bind 127.0.0.1 port " + std::to_string(port) + ": Address already in use",
                  std::string(e.what()));
    }
    EXPECT_FALSE(exporter.IsRunning());
    ::close(fd);
    // Once the port is free, the same export serves.
    exporter.Start(tree.root, "127.0.0.1", port);
    EXPECT_TRUE(exporter.IsRunning());
    exporter.Stop();
}

} // namespace
