#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/exception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

qapp::RunOptions ParseArgs(std::vector<std::string> args)
{
    args.insert(args.begin(), "zemtra-vuna");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    return qapp::RunOptions::Parse(static_cast<int>(argv.size()), argv.data());
}

TEST(RunOptions, DefaultsServeLoopbackWithTracingOff)
{
    const auto o = ParseArgs({});
    EXPECT_EQ(o.traceLevel, 0);
    EXPECT_EQ(o.root, "/");
    EXPECT_EQ(o.bindAddress, "127.0.0.1");
    EXPECT_TRUE(o.remote);
    EXPECT_TRUE(o.scenario.empty());
}

TEST(RunOptions, TraceFileWithoutLevelTracesWarnings)
{
    EXPECT_EQ(ParseArgs({"--trace", "t.log"}).traceLevel, 2);
    EXPECT_EQ(ParseArgs({"--trace", "t.log", "--trace-level", "4"}).traceLevel, 4);
    EXPECT_EQ(ParseArgs({"--trace-level", "0", "--trace", "t.log"}).traceLevel, 0);
}

TEST(RunOptions, BadCommandLinesAreRefusedWithTheReason)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"--trace-level", "5"},
                                                                  {"--trace-level", "-1"},
                                                                  {"--port", "70000"},
                                                                  {"--port", "0"},
                                                                  {"--port", "-1"},
                                                                  {"--port=-65535"},
                                                                  {"--port", "+80"},
                                                                  {"--port", " 80"},
                                                                  {"--port", "0x50"},
                                                                  {"--bind", ""},
                                                                  {"--bogus"}}) {
        try {
            ParseArgs(args);
            FAIL() << "accepted " << args[0];
        } catch (const qstd::Exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Bad command line: ", 0), 0u) << e.what();
        }
    }
}

TEST(RunOptions, PortsAtTheEdgesOfTheRange)
{
    EXPECT_EQ(ParseArgs({"--port", "1"}).port, 1);
    EXPECT_EQ(ParseArgs({"--port=65535"}).port, 65535);
    EXPECT_EQ(ParseArgs({}).port, 18150);
    EXPECT_EQ(ParseArgs({"--bind", "::1"}).bindAddress, "::1");
}

TEST(RunOptions, ScenarioMayBeGivenByPosition)
{
    EXPECT_EQ(ParseArgs({"chassis.xml", "--no-remote"}).scenario, "chassis.xml");
    EXPECT_FALSE(ParseArgs({"--no-remote"}).remote);
}

} // namespace
