// The command-line tool run as a separate process against an in-process
// server: its commands, output formats, error messages and exit codes.

#include "remote_test_support.h"

#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

class ZemtraToolTest : public ::testing::Test {
protected:
    Server server;
    ToolResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--server", server.Address()});
        return RunTool(args);
    }
};

TEST_F(ZemtraToolTest, LsShowsChildrenWithTypeSizeAndFlags)
{
    const ToolResult root = Tool({"ls"});
    ASSERT_EQ(0, root.exitCode) << root.err;
    EXPECT_EQ("synchronize_lmt  uint64         1  0x6\n"
              "custom           enum           1  0xe\n"
              "clock_info       branch         0  0x40\n"
              "name             string         1  0x6\n"
              "arr              int            4  0x206\n"
              "reset            command        1  0x6\n"
              "fail             command        1  0x6\n"
              "block            command        1  0x6\n"
              "tim              branch         0  0x0\n"
              "signals          branch         0  0x0\n",
              root.out);
    const ToolResult deep = Tool({"ls", "clock_info.decimation"});
    ASSERT_EQ(0, deep.exitCode) << deep.err;
    EXPECT_EQ("tbt   uint           1  0x2\n", deep.out);
}

TEST_F(ZemtraToolTest, GetSetAndExec)
{
    EXPECT_EQ("117440000.5\n", Tool({"get", "clock_info.adc_frequency"}).out);
    EXPECT_EQ("fofb_switch\n", Tool({"get", "custom"}).out);

    ToolResult set = Tool({"set", "custom", "fa_clk"});
    EXPECT_EQ(0, set.exitCode) << set.err;
    EXPECT_EQ("", set.out);
    EXPECT_EQ("fa_clk\n", Tool({"get", "custom"}).out);
    EXPECT_EQ(eFaClk, server.tree.owner.custom);

    // Several values fill an array from position 0; negative numbers are values, not options.
    set = Tool({"set", "arr", "-3", "4", "-5"});
    EXPECT_EQ(0, set.exitCode) << set.err;
    EXPECT_EQ("-3 4 -5 0\n", Tool({"get", "arr"}).out);

    EXPECT_EQ(0, Tool({"exec", "reset"}).exitCode);
    EXPECT_EQ(1, server.tree.owner.executed.load());
}

TEST_F(ZemtraToolTest, ServerRefusalsArePrintedAndExitNonZero)
{
    ToolResult r = Tool({"set", "clock_info.adc_frequency", "1"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("qreg: Node is not writable: adc_frequency\n", r.err);
    EXPECT_EQ("", r.out);

    r = Tool({"set", "synchronize_lmt", "1001"});
    EXPECT_EQ(1, r.exitCode);
    const std::string outOfRange = RemoteMessage([&] {
        zemtra_REMOTE::StringSeq v;
        v.length(1);
        v[0] = "1001";
        server.registry->SetText("synchronize_lmt", 0, v);
    });
    EXPECT_FALSE(outOfRange.empty());
    EXPECT_EQ(outOfRange + "\n", r.err);

    r = Tool({"get", "tim.pll.nothing"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("mci: No such node: tim.pll.nothing\n", r.err);

    r = Tool({"exec", "fail"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("qreg: Command failed: fail\n", r.err);
}

TEST_F(ZemtraToolTest, BadCommandLinesExitWithUsage)
{
    struct Case {
        std::vector<std::string> args;
        std::string first;
    };
    const std::vector<Case> cases = {
        {{}, "zemtra-tool: no command given"},
        {{"frobnicate"}, "zemtra-tool: unknown command: frobnicate"},
        {{"get"}, "zemtra-tool: wrong number of arguments for get"},
        {{"get", "a", "b"}, "zemtra-tool: wrong number of arguments for get"},
        {{"set", "custom"}, "zemtra-tool: wrong number of arguments for set"},
        {{"read", "signals.pll", "--count", "0"}, "zemtra-tool: --count must be at least 1"},
        {{"read", "signals.pll", "--count", "many"},
         "zemtra-tool: --count must be a whole number from 0 to 4294967295, not 'many'"},
        {{"watch", "custom", "--count", "-1"}, "zemtra-tool: --count must be a whole number from 0 to 4294967295, not '-1'"},
        {{"read", "signals.pll", "--count", "4294967296"},
         "zemtra-tool: --count must be a whole number from 0 to 4294967295, not '4294967296'"},
        {{"ls", "--bogus"}, "zemtra-tool: unrecognised option '--bogus'"},
    };
    for (const auto& c : cases) {
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(2, r.exitCode) << c.first;
        EXPECT_EQ(c.first, r.err.substr(0, r.err.find('\n'))) << c.first;
        EXPECT_NE(std::string::npos, r.err.find("usage: zemtra-tool")) << c.first;
    }
}

TEST_F(ZemtraToolTest, UnreachableOrMalformedServer)
{
    ToolResult r = RunTool({"--server", "127.0.0.1:" + std::to_string(FreePort()), "get", "custom"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.err.rfind("Can't reach server 127.0.0.1:", 0)) << r.err;
    r = RunTool({"--server", "localhost", "ls"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Bad server address (HOST:PORT expected): localhost\n", r.err);
}

TEST_F(ZemtraToolTest, WatchPrintsValuesAsTheyChange)
{
    auto watch = std::async(std::launch::async, [&] { return Tool({"watch", "tim.pll.locked", "--count", "2", "--timeout", "10"}); });
    // The values change once the node tells the tool's subscription (the
    // export counts a subscription a moment before that).
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.tree.locked->GetSubscriberCount() == 1; }, 10000ms));
    ASSERT_EQ(1u, server.exporter.GetSubscriptionCount());
    server.tree.locked->SetValue(true, 0);
    server.tree.locked->SetValue(false, 0);
    const ToolResult r = watch.get();
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("true\nfalse\n", r.out);
    // The tool unsubscribed on its way out.
    EXPECT_EQ(0u, server.exporter.GetSubscriptionCount());

    const ToolResult timedOut = Tool({"watch", "tim.pll.locked", "--count", "1", "--timeout", "0.2"});
    EXPECT_EQ(1, timedOut.exitCode);
    EXPECT_EQ("Timed out waiting for a value of tim.pll.locked\n", timedOut.err);
}

// Values keep the watch from asking whether the server is there, so that
// its connection to the server idles for seconds; the server keeps it.
TEST_F(ZemtraToolTest, WatchOutlastsIdleGapsOfItsConnection)
{
    auto watch = std::async(std::launch::async,
                            [&] { return Tool({"watch", "tim.pll.locked", "--count", "6", "--timeout", "20"}); });
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.tree.locked->GetSubscriberCount() == 1; }, 10000ms));
    for (int i = 0; i < 6; ++i) {
        server.tree.locked->SetValue(i % 2 == 0, 0);
        std::this_thread::sleep_for(800ms); // the pace of the values
    }
    const ToolResult r = watch.get();
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("true\nfalse\ntrue\nfalse\ntrue\nfalse\n", r.out);
}

TEST_F(ZemtraToolTest, ReadPrintsAtomsAsCsvWithComponentNames)
{
    // On demand: read-ahead mode by default, 5 atoms from offset 10.
    ToolResult r = Tool({"read", "signals.adc", "--count", "5", "--offset", "10"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("a,b,c,d\n40,41,42,43\n44,45,46,47\n48,49,50,51\n52,53,54,55\n56,57,58,59\n", r.out);

    r = Tool({"read", "signals.adc", "--mode", "11"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.err.rfind("qsig: Can't forward signal signals.adc in access mode 11: -7", 0)) << r.err;

    // Stream: atoms pushed while the tool reads.
    std::atomic<bool> done{false};
    std::thread producer([&] {
        int i = 0;
        while (!done.load()) {
            server.tree.PushPll(i * 0.5, 1000 + i);
            ++i;
            std::this_thread::sleep_for(2ms);
        }
    });
    r = Tool({"read", "tim.pll", "--count", "10"});
    done = true;
    producer.join();
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("phase,dac", line);
    int rows = 0;
    double previousDac = -1;
    while (std::getline(lines, line)) {
        ++rows;
        const size_t comma = line.find(',');
        ASSERT_NE(std::string::npos, comma) << line;
        const double phase = std::stod(line.substr(0, comma));
        const double dac = std::stod(line.substr(comma + 1));
        // Each row is one whole atom, in order.
        EXPECT_EQ(phase, (dac - 1000) * 0.5) << line;
        EXPECT_GT(dac, previousDac);
        previousDac = dac;
    }
    EXPECT_EQ(10, rows);
    EXPECT_EQ(0u, server.exporter.GetSignalSessionCount());
}

TEST_F(ZemtraToolTest, WatchAndReadEndWhenTheServerGoesAway)
{
    auto watch = std::async(std::launch::async, [&] { return Tool({"watch", "tim.pll.locked"}); });
    auto read = std::async(std::launch::async, [&] { return Tool({"read", "signals.pll", "--timeout", "60"}); });
    const auto end = std::chrono::steady_clock::now() + 10s;
    while ((server.exporter.GetSubscriptionCount() == 0 || server.exporter.GetSignalSessionCount() == 0) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    const auto stopped = std::chrono::steady_clock::now();
    server.exporter.Stop();
    for (auto* tool : {&watch, &read}) {
        ASSERT_EQ(std::future_status::ready, tool->wait_for(10s));
        const ToolResult r = tool->get();
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(0u, r.err.rfind("Lost the server " + server.Address() + ": not reachable (", 0)) << r.err;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
}

TEST_F(ZemtraToolTest, ReadTimesOutOnAQuietStream)
{
    const ToolResult r = Tool({"read", "signals.pll", "--count", "3", "--timeout", "0.3"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("phase,dac\n", r.out);
    EXPECT_EQ("Timed out after 0 of 3 atoms of signals.pll\n", r.err);
}

} // namespace
