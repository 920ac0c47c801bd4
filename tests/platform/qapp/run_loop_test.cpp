// The framework's run loop: hook order, application states, board creation,
// failures of hooks and board constructors, the register tree of objects.

#include "test_app.h"

#include "platform/mci/client_access.h"
#include "platform/qapp/create.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "tests/common/free_port.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace qapptest;

namespace {

class RunLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        Hooks().Clear();
        SetHookAction(nullptr);
    }
    void TearDown() override { SetHookAction(nullptr); }

    // Entries of the given objects only, in order.
    static std::vector<std::string> Only(const std::vector<std::string>& who)
    {
        std::vector<std::string> out;
        for (const std::string& e : Hooks().Entries()) {
            const std::string name = e.substr(0, e.find(':'));
            if (std::find(who.begin(), who.end(), name) != who.end()) {
                out.push_back(e);
            }
        }
        return out;
    }

    TempDir m_dir;
};

TEST_F(RunLoop, HooksRunInOrderWithTheApplicationState)
{
    TestApplication app;
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3, 4})));

    const std::vector<std::string> expected = {
        "app:CreateBoard tim@0",
        "app:CreateBoard raf3@0",
        "app:CreateBoard raf4@0",
        "app:OnPreInit@1",
        "raf3:OnPreInit@1",
        "raf3/feature:OnPreInit@1",
        "app:OnRegistryAdd@2",
        "raf3:OnRegistryAdd@2",
        "raf3/feature:OnRegistryAdd@2",
        "app:OnPostInit@2",
        "raf3:OnPostInit@2",
        "raf3/feature:OnPostInit@2",
        "app:OnPreConfig@3",
        "raf3:OnPreConfig@3",
        "raf3/feature:OnPreConfig@3",
        "raf3:OnPostConfig@3",
        "raf3/feature:OnPostConfig@3",
        "app:OnPostConfig@3",
        "app:OnStartRunning@4",
        "raf3:OnStartRunning@4",
        "raf3/feature:OnStartRunning@4",
        "app:OnAcceptRequests@4",
        "raf3:OnAcceptRequests@4",
        "raf3/feature:OnAcceptRequests@4",
        "app:OnShutdown@4",
        "raf3/feature:OnShutdown@4",
        "raf3:OnShutdown@4",
    };
    EXPECT_EQ(Only({"app", "raf3", "raf3/feature"}), expected);
    // The second board's children follow the first board's in every round.
    EXPECT_LT(Hooks().IndexOf("raf3/feature:OnPreInit@1"), Hooks().IndexOf("raf4:OnPreInit@1"));
    // The state is back at 0 after Run.
    EXPECT_EQ(app.GetState(), 0);
}

TEST_F(RunLoop, BoardsAreListedInChassisOrderPerType)
{
    TestApplication app;
    std::vector<std::string> rafs;
    std::string tim;
    bool noGdx = false;
    app.whileRunning = [&](TestApplication& a) {
        std::vector<qapp::ZemtraBoard*> boards;
        a.GetBoards(boards, bmc::eBoardRaf);
        for (qapp::ZemtraBoard* b : boards) {
            rafs.push_back(b->GetName() + "@" + b->Uri().GetId());
        }
        tim = a.GetBoard(bmc::eBoardTim) ? a.GetBoard(bmc::eBoardTim)->GetName() : "";
        noGdx = a.GetBoard(bmc::eBoardGdx) == nullptr;
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({5, 3, 6})));
    EXPECT_EQ(rafs, (std::vector<std::string>{"raf5@5", "raf3@3", "raf6@6"}));
    EXPECT_EQ(tim, "tim");
    EXPECT_TRUE(noGdx);
    // The board list is empty again after Run.
    EXPECT_EQ(app.GetBoard(bmc::eBoardRaf), nullptr);
}

TEST_F(RunLoop, BoardTypesWithoutObjectAreSkipped)
{
    TestApplication app;
    app.makeBoard = [](TestApplication& a, const bmc::Board* b) -> qapp::ZemtraBoard* {
        return b->GetType() == bmc::eBoardRaf ? new TestBoard(a, b) : nullptr;
    };
    size_t count = 99;
    app.whileRunning = [&](TestApplication& a) {
        count = a.GetAllBoards().size();
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_EQ(count, 1u);
}

TEST_F(RunLoop, ThrowingHookEndsRunWithFalseAndShutsDownWhatExists)
{
    qstd::CaptureScope capture;
    SetHookAction([](const std::string& who, const std::string& hook) {
        if (who == "raf3" && hook == "OnPostInit") {
            throw qstd::Exception("post-init refused", true);
        }
    });
    TestApplication app;
    EXPECT_FALSE(RunOn(app, m_dir, Scenario({3, 4})));
    EXPECT_TRUE(capture.Logged("Application failure: post-init refused"));
    EXPECT_EQ(Hooks().IndexOf("app:OnPreConfig@3"), -1);
    EXPECT_EQ(Hooks().IndexOf("app:OnAcceptRequests@4"), -1);
    EXPECT_GE(Hooks().IndexOf("app:OnShutdown@2"), 0);
    EXPECT_GE(Hooks().IndexOf("raf4:OnShutdown@2"), 0);
    EXPECT_GE(Hooks().IndexOf("raf3/feature:OnShutdown@2"), 0);
    EXPECT_FALSE(m_dir.Path().empty());
}

TEST_F(RunLoop, ThrowingCreateBoardEndsRunWithFalse)
{
    qstd::CaptureScope capture;
    TestApplication app;
    app.makeBoard = [](TestApplication& a, const bmc::Board* b) -> qapp::ZemtraBoard* {
        if (b->GetName() == "raf4") {
            throw qstd::Exception("second board refused", true);
        }
        return new TestBoard(a, b);
    };
    EXPECT_FALSE(RunOn(app, m_dir, Scenario({3, 4, 5})));
    EXPECT_TRUE(capture.Logged("Application failure: second board refused"));
    EXPECT_EQ(Hooks().IndexOf("app:OnPreInit@1"), -1);
    EXPECT_EQ(Hooks().IndexOf("app:CreateBoard raf5@0"), -1);
    // The boards made before the failure are shut down.
    EXPECT_GE(Hooks().IndexOf("raf3:OnShutdown@0"), 0);
}

TEST_F(RunLoop, ThrowingShutdownHookIsLoggedAndTheOthersStillRun)
{
    qstd::CaptureScope capture;
    SetHookAction([](const std::string& who, const std::string& hook) {
        if (who == "raf3" && hook == "OnShutdown") {
            throw qstd::Exception("cannot stop", true);
        }
    });
    TestApplication app;
    EXPECT_TRUE(RunOn(app, m_dir, Scenario({3, 4})));
    EXPECT_TRUE(capture.Logged("Shutdown failure of raf3: cannot stop"));
    EXPECT_GE(Hooks().IndexOf("raf4:OnShutdown@4"), 0);
}

TEST_F(RunLoop, BadCommandLineEndsRunWithFalse)
{
    qstd::CaptureScope capture;
    TestApplication app;
    EXPECT_FALSE(RunOn(app, m_dir, Scenario({3}), {"--trace-level", "9"}));
    EXPECT_FALSE(RunOn(app, m_dir, Scenario({3}), {"--no-such-option"}));
    EXPECT_TRUE(Hooks().Entries().empty());
}

TEST_F(RunLoop, MissingScenarioFileEndsRunWithFalse)
{
    qstd::CaptureScope capture;
    TestApplication app;
    std::vector<std::string> args = {
        "test-app", "--scenario",          m_dir.Path() + "/none.xml", "--conf-dir", m_dir.Path() + "/cfg",
        "--root",   m_dir.Path() + "/root"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    EXPECT_FALSE(app.Run(static_cast<int>(args.size()), argv.data()));
    EXPECT_TRUE(capture.LoggedSubstring("Application failure: "));
    EXPECT_TRUE(capture.LoggedSubstring("none.xml"));
    // Nothing but the application existed: only it is shut down.
    EXPECT_EQ(Hooks().Entries(), std::vector<std::string>{"app:OnShutdown@0"});
}

// An object that publishes one node named after its value.
class NodeFeature : public qapp::ZemtraFeature {
public:
    NodeFeature(qapp::ZemtraObject& parent, const std::string& name, const std::string& node)
        : qapp::ZemtraFeature(parent, name), m_node(node)
    {
    }
    void OnRegistryAdd(mci::TreeNodePtr& node) override
    {
        node->Add(qapp::MakeFncNode<unsigned>(m_node, 2, [](unsigned& v) {
            v = 7;
            return true;
        }));
    }

private:
    std::string m_node;
};

TEST_F(RunLoop, ObjectsOfOneNameUnderOneParentShareTheirTreeNode)
{
    TestApplication app;
    app.makeBoard = [](TestApplication& a, const bmc::Board* b) -> qapp::ZemtraBoard* {
        auto* board = new TestBoard(a, b);
        qapp::Create<NodeFeature>(*board, "conditioning", "gain");
        qapp::Create<NodeFeature>(*board, "conditioning", "att");
        auto* inner = qapp::Create<NodeFeature>(*board, "outer", "x");
        qapp::Create<NodeFeature>(*inner, "inner", "y");
        return board;
    };
    std::vector<std::string> conditioning, root, board;
    std::string innerDecorated;
    long long inner = 0;
    app.whileRunning = [&](TestApplication& a) {
        mci::ClientAccess access(a.GetTreeNode());
        conditioning = access.List("raf3/conditioning");
        root = access.List("");
        board = access.List("raf3");
        inner = access.GetInteger("raf3/outer/inner/y");
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_EQ(conditioning, (std::vector<std::string>{"gain", "att"}));
    EXPECT_EQ(root, (std::vector<std::string>{"tim", "raf3"}));
    EXPECT_EQ(std::count(board.begin(), board.end(), "conditioning"), 1);
    EXPECT_EQ(inner, 7);
}

TEST_F(RunLoop, RegistryFlagsReachTheObjectsNode)
{
    TestApplication app;
    app.makeBoard = [](TestApplication& a, const bmc::Board* b) -> qapp::ZemtraBoard* {
        auto* board = new TestBoard(a, b);
        qapp::Create<RecordingFeature>(*board, "hk")->SetRegistryFlags(64);
        return board;
    };
    unsigned long long flags = 0;
    app.whileRunning = [&](TestApplication& a) {
        flags = mci::ClientAccess(a.GetTreeNode()).GetFlags("raf3/hk");
        a.RequestStop();
    };
    ASSERT_TRUE(RunOn(app, m_dir, Scenario({3})));
    EXPECT_EQ(flags, 64u);
}

TEST(Objects, DecoratedNamesAndAdoption)
{
    TestApplication app;
    qapp::ZemtraFeature* a = qapp::Create<RecordingFeature>(app, "a");
    qapp::ZemtraFeature* b = qapp::Create<RecordingFeature>(a, "b");
    EXPECT_EQ(app.GetDecoratedName("pll"), "pll");
    EXPECT_EQ(a->GetDecoratedName("event"), "a.event");
    EXPECT_EQ(b->GetDecoratedName("event"), "a.b.event");
    EXPECT_EQ(b->GetParent(), a);
    EXPECT_TRUE(b->IsAdopted());
    // Adopting the same child twice keeps one entry; null is ignored.
    a->QueryChild(b);
    EXPECT_EQ(a->GetChildren().size(), 1u);
    EXPECT_EQ(a->QueryChild(nullptr), nullptr);
    EXPECT_EQ(&qapp::ZemtraApplication::Instance(), &app);
    EXPECT_EQ(a->GetApplicationState(), 0);
}

} // namespace

namespace {

TEST_F(RunLoop, RemoteClientsAreServedOnlyWhileRunning)
{
    TestApplication app;
    std::string uri;
    bool serving = false;
    std::thread watcher;
    app.whileRunning = [&](TestApplication& a) {
        // OnAcceptRequests comes before serving starts; wait for it on the side.
        watcher = std::thread([&a, &uri, &serving] {
            serving = zvtest::WaitFor([&a] { return a.IsServing(); });
            uri = a.RemoteUri();
            a.RequestStop();
        });
    };
    const std::string port = std::to_string(zvtest::FreePort());
    const bool ok = RunOn(app, m_dir, Scenario({3}), {"--port", port});
    watcher.join();
    ASSERT_TRUE(ok);
    EXPECT_TRUE(serving);
    EXPECT_EQ(uri, "corbaloc::127.0.0.1:" + port + "/ZemtraRemote");
    EXPECT_FALSE(app.IsServing());
    EXPECT_EQ(app.RemoteUri(), "");
}

// Times a thread of this process went to sleep, -1 if it cannot be read.
long VoluntarySwitches(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

// The serving thread sleeps until a stop comes, whether RequestStop or a
// signal that another thread catches brings it.
TEST_F(RunLoop, ServingSleepsUntilAStopComes)
{
    for (const bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "RequestStop");
        TestApplication app;
        std::thread watcher;
        long wakes = -1;
        app.whileRunning = [&](TestApplication& a) {
            const auto serving = static_cast<pid_t>(::syscall(SYS_gettid));
            watcher = std::thread([&a, &wakes, serving, bySignal] {
                zvtest::WaitFor([&a] { return a.IsServing(); });
                const long before = VoluntarySwitches(serving);
                // A window to count the serving thread's wakes in, not a
                // wait for something to happen.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                wakes = VoluntarySwitches(serving) - before;
                if (bySignal) {
                    ::raise(SIGTERM); // caught on this thread
                } else {
                    a.RequestStop();
                }
            });
        };
        const bool ok = RunOn(app, m_dir, Scenario({3}));
        watcher.join();
        EXPECT_TRUE(ok);
        EXPECT_GE(wakes, 0);
        EXPECT_LE(wakes, 2);
    }
}

TEST_F(RunLoop, PortInUseEndsRunWithFalseAfterShutdown)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0; // a port the system picks, held by this test
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    socklen_t length = sizeof(addr);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    qstd::CaptureScope capture;
    TestApplication app;
    EXPECT_FALSE(RunOn(app, m_dir, Scenario({3}), {"--port", std::to_string(ntohs(addr.sin_port))}));
    ::close(fd);
    EXPECT_TRUE(capture.LoggedSubstring("Application failure: "));
    EXPECT_GE(Hooks().IndexOf("raf3:OnShutdown@4"), 0);
}

} // namespace
