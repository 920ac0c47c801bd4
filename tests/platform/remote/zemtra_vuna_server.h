#pragma once
// The "zemtra-vuna" server built beside the tests, run as a process on a free
// loopback port for a test and driven with zemtra-tool: on the default
// simulated chassis, or on a scenario of the test's own.

#include "remote_test_support.h"

#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace remotetest {

inline std::string ServerPath()
{
    const std::string tool = ToolPath();
    return tool.substr(0, tool.rfind("/tools/")) + "/app/zemtra-vuna";
}

class ZemtraVunaRemote : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = "/tmp/zv_remote_e2e_" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0755);
        ::mkdir((dir + "/cfg").c_str(), 0755);
        ::mkdir((dir + "/root").c_str(), 0755);
        // The port found free may be taken (by a client of another test)
        // before the server binds it: then the server starts on another.
        for (int attempt = 0; attempt < 3 && !Start(); ++attempt) {
            if (ReadLog().find("can't bind") == std::string::npos) {
                FAIL() << "the server ended before serving:\n" << ReadLog();
            }
        }
        ASSERT_EQ(0, root.exitCode) << root.err << ReadLog();
    }

    std::string ReadLog() const
    {
        std::ifstream in(dir + "/server.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Starts the server on a free port; false when it ended before serving.
    bool Start()
    {
        port = FreePort();
        if (!Launch()) {
            return true; // the check of the tool's answer fails
        }
        return Serving();
    }

    // Starts the server on port, without waiting for it to serve; false when
    // it could not be started.
    bool Launch()
    {
        const std::string log = dir + "/server.log";
        const std::string server = ServerPath();
        const std::string portText = std::to_string(port);
        // The default chassis, or the fixture's own.
        const std::string scenario = Scenario().empty() ? "" : dir + "/chassis.xml";
        if (!scenario.empty()) {
            std::ofstream(scenario) << Scenario();
        }
        pid = ::fork();
        if (pid == 0) {
            BeforeExec();
            FILE* out = std::freopen(log.c_str(), "w", stdout);
            (void)out;
            ::dup2(::fileno(stdout), 2);
            if (scenario.empty()) {
                ::execl(server.c_str(), server.c_str(), "--conf-dir", (dir + "/cfg").c_str(), "--root",
                        (dir + "/root").c_str(), "--port", portText.c_str(), static_cast<char*>(nullptr));
            } else {
                ::execl(server.c_str(), server.c_str(), "--conf-dir", (dir + "/cfg").c_str(), "--root",
                        (dir + "/root").c_str(), "--port", portText.c_str(), "--scenario", scenario.c_str(),
                        static_cast<char*>(nullptr));
            }
            std::_Exit(127);
        }
        return pid > 0;
    }

    // Waits (at most a minute) until the server started last answers; false
    // when it ended before.
    bool Serving()
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end) {
            root = Tool({"ls"});
            if (root.exitCode == 0) {
                return true;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    // Text of the chassis scenario the server runs on; empty: the default.
    virtual std::string Scenario() const { return ""; }
    // Runs in the server's process before it starts.
    virtual void BeforeExec() const {}

    void TearDown() override
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    ToolResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(port)});
        return RunTool(args);
    }

    // Has raf3 take a post-mortem capture, armed before (ArmPostMortem):
    // its limits window is moved left of the beam.
    void ArmPostMortem() { ASSERT_EQ(0, Tool({"set", "raf3.postmortem.capture", "true"}).exitCode); }
    void CapturePostMortem()
    {
        ASSERT_EQ(0, Tool({"set", "raf3.postmortem.source_select", "limits"}).exitCode);
        ASSERT_EQ(0, Tool({"set", "raf3.postmortem.limits.position.max.x", "-1000"}).exitCode);
        ASSERT_TRUE(zvtest::WaitFor(
            [&] {
                return Tool({"get", "raf3.postmortem.capture"}).out == "false\n";
            },
            std::chrono::seconds(10)));
        ASSERT_EQ("65536\n", Tool({"get", "raf3.postmortem.length"}).out);
    }

    // Exit status of the server after SIGTERM, or -1 when it does not end.
    int Terminate()
    {
        ::kill(pid, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    unsigned short port = 0;
    std::string dir;
    pid_t pid = -1;
    ToolResult root;
};

} // namespace remotetest
