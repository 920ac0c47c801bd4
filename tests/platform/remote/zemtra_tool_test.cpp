// The command-line tool run as a separate process against an in-process
// server: its commands, output formats, error messages and exit codes; and
// its output and callback endpoint as parts.

#include "remote_test_support.h"
#include "zemtra_vuna_server.h"

#include "platform/remote/giop_refusal.h"
#include "tests/common/giop_client.h"
#include "tests/common/resident_memory.h"
#include "tests/common/temp_dir.h"
#include "tests/common/wait_for.h"
#include "tools/zemtra-tool/row_printer.h"
#include "tools/zemtra-tool/tool_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

// argv as execv takes it, made before a fork: the child only calls execv.
std::vector<char*> ExecArgs(std::vector<std::string>& argv)
{
    std::vector<char*> cargv;
    for (std::string& a : argv) {
        cargv.push_back(&a[0]);
    }
    cargv.push_back(nullptr);
    return cargv;
}

// The entries of directory dir of /proc/PID (the threads of "task", the
// files of "fd"), as paths.
std::vector<std::string> Entries(pid_t pid, const std::string& dir)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/" + dir + "/";
    std::vector<std::string> entries;
    if (DIR* d = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') {
                entries.push_back(path + e->d_name);
            }
        }
        ::closedir(d);
    }
    return entries;
}

// Whether a thread of process pid waits to write into a full pipe.
bool WritingIntoAFullPipe(pid_t pid)
{
    const auto threads = Entries(pid, "task");
    return std::any_of(threads.begin(), threads.end(), [](const std::string& thread) {
        std::string channel;
        std::ifstream(thread + "/wchan") >> channel;
        return channel.find("pipe_write") != std::string::npos;
    });
}

class ZemtraToolTest : public ::testing::Test {
protected:
    Server server;
    ToolResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--server", server.Address()});
        return RunTool(args);
    }
    // Whether a watch of "tim.pll.locked" subscribed within 10 s: values
    // change for it once the node tells its subscription (the export counts
    // one a moment before that), and the tool sees them once its Subscribe
    // call has returned.
    bool WatchSubscribed()
    {
        return zvtest::WaitFor(
            [&] {
                return server.tree.locked->GetSubscriberCount() == 1 && server.exporter.GetSubscriptionCount() == 1 &&
                       server.exporter.GetActiveRequestCount() == 0;
            },
            std::chrono::seconds(10));
    }
    // Whether a read of a signal opened its session within 10 s.
    bool ReadOpened()
    {
        return zvtest::WaitFor([&] { return server.exporter.GetSignalSessionCount() == 1; }, std::chrono::seconds(10));
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

TEST_F(ZemtraToolTest, EnumNodesRefuseUnknownNamesAndNumbersByNamingTheirOwn)
{
    for (const char* value : {"bogus", "fa_clk2", "7", "-1"}) {
        const ToolResult r = Tool({"set", "custom", value});
        EXPECT_EQ(1, r.exitCode) << value;
        EXPECT_EQ(std::string("custom takes fofb_switch, fa_clk (or their numbers), not '") + value + "'\n", r.err);
    }
    ToolResult r = Tool({"set", "name", "bogus"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0, Tool({"set", "custom", "1"}).exitCode);
    EXPECT_EQ("fa_clk\n", Tool({"get", "custom"}).out);
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
        {{"read", "signals.pll", "--count", "0"},
         "zemtra-tool: --count must be a whole number from 1 to 4294967295, not '0'"},
        {{"read", "signals.pll", "--count", "many"},
         "zemtra-tool: --count must be a whole number from 1 to 4294967295, not 'many'"},
        {{"watch", "custom", "--count", "-1"},
         "zemtra-tool: --count must be a whole number from 0 to 4294967295, not '-1'"},
        {{"read", "signals.pll", "--count", "4294967296"},
         "zemtra-tool: --count must be a whole number from 1 to 4294967295, not '4294967296'"},
        {{"watch", "custom", "--count", "4294967296"},
         "zemtra-tool: --count must be a whole number from 0 to 4294967295, not '4294967296'"},
        {{"ls", "--bogus"}, "zemtra-tool: unrecognised option '--bogus'"},
        {{"read", "signals.adc", "--mode", "9"}, "zemtra-tool: --mode must be an access mode from 10 to 14, not 9"},
        {{"read", "signals.adc", "--time", "-1"},
         "zemtra-tool: --time must be a whole number from 0 to 18446744073709551615, not '-1'"},
        {{"read", "signals.adc", "--timeout", "-1"}, "zemtra-tool: --timeout must be a number of seconds, 0 or more"},
    };
    for (const auto& c : cases) {
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(2, r.exitCode) << c.first;
        EXPECT_EQ(c.first, r.err.substr(0, r.err.find('\n'))) << c.first;
        EXPECT_NE(std::string::npos, r.err.find("usage: zemtra-tool")) << c.first;
    }
}

TEST_F(ZemtraToolTest, ShortHelpOptionPrintsTheUsage)
{
    const ToolResult r = Tool({"-h"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(0u, r.out.rfind("usage: zemtra-tool", 0)) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("0 waits for ever")) << r.out;
}

TEST_F(ZemtraToolTest, UnreachableOrMalformedServer)
{
    ToolResult r = RunTool({"--server", "127.0.0.1:" + std::to_string(FreePort()), "get", "custom"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.err.rfind("Can't reach server 127.0.0.1:", 0)) << r.err;
    // A name that names no address (".invalid" never does) is no server down.
    r = RunTool({"--server", "nosuchhost.invalid:18150", "get", "custom"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(0u, r.err.rfind("Can't reach server nosuchhost.invalid:18150: no address is known for the name "
                              "'nosuchhost.invalid' (",
                              0))
        << r.err;
    r = RunTool({"--server", "localhost", "ls"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Bad server address localhost: HOST:PORT expected\n", r.err);
    r = RunTool({"--server", "::1:18150", "ls"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Bad server address ::1:18150: write an IPv6 address in brackets, e.g. [::1]:18150\n", r.err);
}

// Whether signal is pending for process pid: sent, not taken yet (true too
// when its status cannot be read).
bool SignalPending(pid_t pid, int signal)
{
    const unsigned long long bit = 1ull << (signal - 1);
    const std::string shared = ProcessStatus(pid, "ShdPnd:");
    const std::string own = ProcessStatus(pid, "SigPnd:");
    return shared.empty() || own.empty() || ((std::stoull(shared, nullptr, 16) | std::stoull(own, nullptr, 16)) & bit);
}

// A stand-in for the server on a loopback port that the kernel picks: it
// tells the tool that the object is there, and answers each request by
// answer(operation, request): a whole reply, or nothing to refuse the
// request for want of resources (NO_RESOURCES with the minor code refusal).
// It records the operations requested.
class StandIn {
public:
    // The request's GIOP minor version and id, and the whole message.
    struct Request {
        char version;
        std::uint32_t id;
        std::string message;
    };
    using Answer = std::function<std::string(const std::string& operation, const Request& request)>;

    StandIn(CORBA::ULong refusal, Answer answer) : m_refusal(refusal), m_answer(std::move(answer))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        EXPECT_EQ(0, ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        EXPECT_EQ(0, ::listen(m_listen, 4));
        EXPECT_EQ(0, ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length));
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~StandIn()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::vector<std::string> Operations()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_operations;
    }

    // A reply to the request whose body body writes, in the request's
    // version (1.0 and 1.1: the service contexts first, no alignment of the
    // body), of the reply status (0: no exception, 1: a user exception, 2: a
    // system exception).
    static std::string Reply(const Request& request, const std::function<void(zvtest::Cdr&)>& body,
                             std::uint32_t status = 0)
    {
        zvtest::Cdr cdr;
        if (request.version < 2) {
            cdr.ULong(0);
        }
        cdr.ULong(request.id);
        cdr.ULong(status);
        if (request.version == 2) {
            cdr.ULong(0);
            cdr.Align(8);
        }
        body(cdr);
        std::string reply = cdr.Message(1);
        reply[5] = request.version;
        return reply;
    }

    // The reply of a server that lacks the operation asked for.
    static std::string NoSuchOperation(const Request& request)
    {
        return Reply(
            request,
            [](zvtest::Cdr& cdr) {
                cdr.String("IDL:omg.org/CORBA/BAD_OPERATION:1.0");
                cdr.ULong(0); // minor
                cdr.ULong(1); // not completed
            },
            2);
    }

private:
    void Run()
    {
        std::vector<int> fds;
        while (!m_stop) {
            std::vector<pollfd> polled{{m_listen, POLLIN, 0}};
            for (const int fd : fds) {
                polled.push_back({fd, POLLIN, 0});
            }
            if (::poll(polled.data(), polled.size(), 20) <= 0) {
                continue;
            }
            if (polled[0].revents & POLLIN) {
                fds.push_back(::accept(m_listen, nullptr, nullptr));
            }
            for (size_t i = 1; i < polled.size(); ++i) {
                if ((polled[i].revents & (POLLIN | POLLHUP)) && !Serve(polled[i].fd)) {
                    ::close(polled[i].fd);
                    fds.erase(std::find(fds.begin(), fds.end(), polled[i].fd));
                }
            }
        }
        for (const int fd : fds) {
            ::close(fd);
        }
    }

    // Answers one message of fd; false when the connection is done.
    bool Serve(int fd)
    {
        bool closed = false;
        std::string message = zvtest::Receive(fd, 10000ms, closed);
        if (message.size() < 16 || (message[7] != 0 && message[7] != 3)) {
            return false;
        }
        if (message[7] == 3) {
            // A LocateRequest: the object is here (a LocateReply of its
            // version with its request id and OBJECT_HERE).
            message.resize(16);
            message[7] = 4;
            message.replace(8, 4, std::string("\x08\0\0\0", 4));
            return zvtest::SendAll(fd, message + std::string("\x01\0\0\0", 4));
        }
        // Little-endian: in GIOP 1.2 the request id, flags and the target's
        // key after its discriminator; in 1.0 and 1.1 no service contexts,
        // the id, a flag and the key; then the operation.
        Request request{message[5], 0, message};
        std::uint32_t keyLength = 0;
        std::uint32_t operationLength = 0;
        std::memcpy(&request.id, &message[request.version == 2 ? 12 : 16], 4);
        std::memcpy(&keyLength, &message[24], 4);
        const size_t at = (28 + keyLength + 3) & ~size_t{3};
        if (message.size() < at + 4) {
            return false;
        }
        std::memcpy(&operationLength, &message[at], 4);
        const std::string operation = message.substr(at + 4, operationLength > 0 ? operationLength - 1 : 0);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_operations.push_back(operation);
        }
        std::string reply = m_answer(operation, request);
        if (reply.empty()) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
            reply = remote::GiopRefusalReply(bytes, message.size(), m_refusal);
        }
        return zvtest::SendAll(fd, reply);
    }

    const CORBA::ULong m_refusal;
    const Answer m_answer;
    int m_listen = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::string> m_operations;
    std::thread m_thread;
};

// The server refuses for want of resources with a minor code that says
// which bound was reached: the tool says it in words. A stand-in server
// refuses its request as the server refuses the first request of a
// connection past a bound.
TEST(ZemtraToolRefusals, SayWhichBoundTheServerReached)
{
    const struct {
        CORBA::ULong minor;
        const char* printed;
    } cases[] = {
        {zemtra_REMOTE::RefusedArrivingFromAddress, "the server refused the connection: too many connections from "
                                                    "this address are still sending a request\n"},
        {zemtra_REMOTE::RefusedArrivingInAll,
         "the server refused the connection: too many connections are still sending a request\n"},
        {zemtra_REMOTE::RefusedConnectionsBusy,
         "the server refused the connection: all the connections it serves are busy\n"},
        {zemtra_REMOTE::RefusedLargeRequestsBusy,
         "the server refused the request: it is busy with other large requests (try again)\n"},
        {zemtra_REMOTE::RefusedGoneFromAddress,
         "the server refused the connection: too many connections from this address went away before it had "
         "answered them (try again)\n"},
        {7, "the server refused the request for want of resources (NO_RESOURCES, minor code 7): try again later\n"},
    };
    for (const auto& c : cases) {
        StandIn standIn(c.minor, [](const std::string&, const StandIn::Request&) { return std::string(); });
        const ToolResult r = RunTool({"--server", standIn.Address(), "get", "name"});
        EXPECT_EQ(1, r.exitCode) << c.minor;
        EXPECT_EQ(c.printed, r.err) << c.minor;
    }
}

// The server itself refuses the tool while the one connection it serves is
// busy: the tool's ORB opens its connection with a GIOP 1.0 LocateRequest,
// and the tool still says which bound it met.
TEST(ZemtraToolRefusals, ARefusedConnectionSaysWhichBound)
{
    remote::RemoteExport::Settings settings;
    settings.maxConnections = 1;
    Server server(settings);
    zvtest::Sockets busy;
    busy.fds.push_back(zvtest::ConnectFrom(server.port));
    ASSERT_TRUE(zvtest::SendAll(
        busy.fds.back(), zvtest::GiopRequest("ZemtraRemote", "Execute", [](zvtest::Cdr& c) { c.String("block"); })));
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetActiveRequestCount() == 1; }, 10000ms));
    // Once a raw client is refused, the gate holds that connection busy.
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            zvtest::Sockets probe;
            probe.fds.push_back(zvtest::ConnectFrom(server.port));
            std::string id;
            uint32_t minor = 0;
            return zvtest::SendAll(probe.fds.back(), zvtest::GetNameRequest()) &&
                   zvtest::SystemException(zvtest::Receive(probe.fds.back(), 5000ms), id, minor) &&
                   minor == zemtra_REMOTE::RefusedConnectionsBusy;
        },
        10000ms));
    const ToolResult r = RunTool({"--server", server.Address(), "get", "name"});
    server.tree.owner.Release();
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("the server refused the connection: all the connections it serves are busy\n", r.err);
}

TEST(ZemtraToolCallbackEndpoint, LoopbackServersAreCalledBackOnTheLoopbackOfTheirFamily)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"127.0.0.1", "giop:tcp:127.0.0.1:"},
        {"127.3.2.1", "giop:tcp:127.0.0.1:"},
        {"localhost", "giop:tcp:127.0.0.1:"},
        {"[::1]", "giop:tcp:[::1]:"},
        {"[::ffff:127.0.0.1]", "giop:tcp:127.0.0.1:"},
        {"192.0.2.7", "giop:tcp::"},
        {"[2001:db8::1]", "giop:tcp::"},
        {"bpm.example", "giop:tcp::"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, tool::Connection::CallbackEndpoint(c.first)) << c.first;
    }
}

TEST(ZemtraToolRowPrinter, PrintsLmtHalvesUnsignedAndNoMoreThanTheCount)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(nullptr, out);
    {
        tool::RowPrinter printer({"X", "LMT_l", "LMT_h3"}, 2, out);
        printer.PrintHeader();
        const int values[] = {-1, -1, -2, 5, 6, 7, 8, 9, 10};
        EXPECT_EQ(2u, printer.Print(values, 9));
        EXPECT_EQ(0u, printer.Print(values, 3));
        EXPECT_TRUE(printer.Done());
    }
    std::rewind(out);
    char text[256] = {};
    const size_t n = std::fread(text, 1, sizeof(text) - 1, out);
    std::fclose(out);
    EXPECT_EQ("X,LMT_l,LMT_h3\n-1,4294967295,4294967294\n5,6,7\n", std::string(text, n));
}

// Text goes out whole, in writes of whole lines that the output takes whole
// before the tool could be ended while it waits: a regular file all of it, an
// empty pipe as much as it holds, a pipe holding bytes PIPE_BUF at a time; a
// line longer than that alone, a last line without its end as it is.
TEST(ZemtraToolRowPrinter, WritesWholeLinesThatTheOutputTakesAtOnce)
{
    const std::string line(100, 'x');
    const std::string longLine(PIPE_BUF + 10, 'y');
    const auto lines = [&](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += line + "\n";
        }
        return text;
    };
    enum Output { eEmptyPipe, eFilledPipe, eFile };
    const struct {
        Output output;
        std::string text;                // at most what a pipe holds: read once written
        std::vector<std::size_t> writes; // the lines of each
    } cases[] = {
        {eEmptyPipe, "a\nb\n", {2}},
        {eFilledPipe, "a\nb\n", {2}},
        {eEmptyPipe, lines(600), {600}},
        {eFilledPipe, lines(60), {40, 20}},
        {eFile, lines(1000), {1000}},
        {eFilledPipe, std::string(PIPE_BUF / 101, 'z') + "\n" + std::string(PIPE_BUF, 'w'), {1, 0}},
        {eFilledPipe, line + "\n" + longLine + "\n" + line + "\n", {1, 1, 1}},
        {eFile, line + "\n" + longLine + "\n" + line, {2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.output) + ": " + std::to_string(c.text.size()) + " bytes");
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        std::FILE* file = c.output == eFile ? std::tmpfile() : nullptr;
        ASSERT_TRUE(c.output != eFile || file != nullptr);
        if (c.output == eFilledPipe) {
            ASSERT_EQ(1, ::write(fds[1], "-", 1));
        }
        std::vector<std::size_t> writes;
        EXPECT_EQ(
            0, tool::WriteLines(file ? ::fileno(file) : fds[1], c.text, [&](std::size_t n) { writes.push_back(n); }));
        ::close(fds[1]);
        std::string read(c.text.size() + 2, '\0');
        if (file) {
            std::rewind(file);
            read.resize(std::fread(&read[0], 1, read.size(), file));
            std::fclose(file);
        } else {
            size_t got = 0;
            for (ssize_t n; (n = ::read(fds[0], &read[got], read.size() - got)) > 0;) {
                got += static_cast<size_t>(n);
            }
            read.resize(got);
        }
        ::close(fds[0]);
        EXPECT_EQ((c.output == eFilledPipe ? "-" : "") + c.text, read);
        EXPECT_EQ(c.writes, writes);
    }
}

TEST(ZemtraToolAtomSink, BuffersDeliveredAfterTheReadEndedAreDropped)
{
    // A frozen tool gets, once it runs on, buffers that the server sent before
    // it gave up: the read has ended and its printer may be gone.
    std::FILE* out = std::tmpfile();
    ASSERT_NE(nullptr, out);
    q_NET::LongSeq longs;
    longs.length(2);
    q_NET::ULongLongSeq ulonglongs;
    ulonglongs.length(2);
    const q_NET::MetaSeq meta;
    {
        tool::RowPrinter printer({"X"}, 10, out);
        tool::AtomSink sink(printer);
        sink.ReceiveLong("x", longs, meta);
        EXPECT_EQ(2u, printer.Printed());
        sink.Close();
        sink.ReceiveLong("x", longs, meta);
        sink.ReceiveULongLong("x", ulonglongs, meta);
        EXPECT_EQ(2u, printer.Printed());
    }
    std::fclose(out);
}

// The losses expected, each where (after how many atoms) and how many atoms.
void ExpectLosses(const std::vector<tool::Loss>& expected, const std::vector<tool::Loss>& got,
                  const std::string& context = "")
{
    ASSERT_EQ(expected.size(), got.size()) << context;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(expected[i].after, got[i].after) << i;
        EXPECT_EQ(expected[i].count, got[i].count) << i;
    }
}

// The signal's own numbers of forwarded buffers (the number of their first
// atom, or of the buffer) tell no loss: the server's number of the atoms it
// offered (below) counts all that the signal passed over.
TEST(ZemtraToolAtomSink, TheSignalsOwnNumbersTellNoLoss)
{
    using Buffers = std::vector<std::pair<CORBA::LongLong, CORBA::ULong>>; // number, atoms
    const Buffers cases[] = {
        {{0, 2}, {2, 2}, {7, 2}}, // numbers of atoms
        {{5, 2}, {6, 2}, {9, 2}}, // numbers of buffers
    };
    for (const Buffers& buffers : cases) {
        SCOPED_TRACE(testing::PrintToString(buffers));
        std::FILE* out = std::tmpfile();
        ASSERT_NE(nullptr, out);
        tool::RowPrinter printer({"X", "Y"}, 6, out);
        tool::AtomSink sink(printer);
        for (const auto& b : buffers) {
            q_NET::ShortSeq values;
            values.length(b.second * 2);
            q_NET::MetaSeq meta;
            meta.length(2);
            meta[0].id = 2; // the signal's number
            meta[0].value = b.first;
            meta[1].id = 0; // the LMT: no number
            meta[1].value = 1000;
            sink.ReceiveShort("x", values, meta);
        }
        sink.Close();
        ExpectLosses({}, sink.Losses());
        EXPECT_EQ(6u, printer.Printed());
        std::fclose(out);
    }
}

// The server numbers the first atom of every buffer of a stream among the
// atoms that it offered the reader: a number past the atoms before is a
// loss, exactly that many atoms, noted after the atoms printed before it,
// also of what the signal passed over (sections of a history overwritten
// before they were read), whatever the signal's own numbers (the sections').
// A buffer whose place a later one passed (it came late) is not printed, its
// atoms in that loss.
TEST(ZemtraToolAtomSink, TheServersNumbersOfTheAtomsOfferedTellLossesExactly)
{
    struct Buffer {
        CORBA::LongLong offered; // the server's number of its first atom
        CORBA::ULong atoms;
        CORBA::LongLong own; // the signal's number (-1: none)
    };
    const struct {
        std::vector<Buffer> buffers;
        std::vector<tool::Loss> losses;
        std::string rows; // the atoms printed, by their numbers
    } cases[] = {
        {{{0, 2, -1}, {2, 2, -1}, {4, 2, -1}}, {}, "0 1 2 3 4 5 "},
        {{{0, 2, -1}, {2, 1, -1}, {3, 1, -1}}, {}, "0 1 2 3 "}, // pieces of one buffer
        {{{0, 2, -1}, {5, 2, -1}}, {{2, 3}}, "0 1 5 6 "},
        {{{3, 2, -1}, {5, 2, -1}}, {{0, 3}}, "3 4 5 6 "},
        {{{0, 2, -1}, {6, 2, -1}, {2, 2, -1}, {8, 2, -1}}, {{2, 4}}, "0 1 6 7 8 9 "}, // came late
        {{{0, 4, -1}, {2, 4, -1}}, {}, "0 1 2 3 4 5 "},                               // in part
        {{{0, 2, 0}, {2, 2, 9}, {4, 2, 20}}, {}, "0 1 2 3 4 5 "},
        {{{0, 2, 0}, {2, 2, 2}, {4, 4, 4}, {12, 2, 12}}, {}, "0 1 2 3 4 5 "}, // past the count
        {{{0, 2, 5}, {2, 2, 5}, {4, 2, 6}}, {}, "0 1 2 3 4 5 "},              // a section in parts
        {{{0, 2, 5}, {2, 1, 6}, {6, 2, 8}}, {{3, 3}}, "0 1 2 6 7 "},          // a section passed over
        {{{0, 2, 5}, {2, 1, 6}, {3, 2, 8}}, {}, "0 1 2 3 4 "},                // its number alone tells none
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rows);
        std::FILE* out = std::tmpfile();
        ASSERT_NE(nullptr, out);
        {
            tool::RowPrinter printer({"X"}, 6, out);
            tool::AtomSink sink(printer);
            for (const Buffer& b : c.buffers) {
                q_NET::LongSeq values;
                values.length(b.atoms);
                for (CORBA::ULong i = 0; i < b.atoms; ++i) {
                    values[i] = static_cast<CORBA::Long>(b.offered + i);
                }
                q_NET::MetaSeq meta;
                meta.length(b.own < 0 ? 1 : 2);
                meta[0].id = zemtra_REMOTE::MetaOfferedAtom;
                meta[0].value = b.offered;
                if (b.own >= 0) {
                    meta[1].id = 2; // the signal's number
                    meta[1].value = b.own;
                }
                sink.ReceiveLong("x", values, meta);
            }
            sink.Close();
            ExpectLosses(c.losses, sink.Losses());
        }
        std::rewind(out);
        std::string rows;
        char line[64];
        while (std::fgets(line, sizeof(line), out) != nullptr) {
            rows += std::string(line, std::strcspn(line, "\n")) + " ";
        }
        std::fclose(out);
        EXPECT_EQ("X " + c.rows, rows);
    }
}

// Whether thread tid of this process sleeps on a lock or condition.
bool AsleepOnAFutex(pid_t tid)
{
    std::string channel;
    std::ifstream("/proc/self/task/" + std::to_string(tid) + "/wchan") >> channel;
    return channel.find("futex") != std::string::npos;
}

// While the output is blocked (its reader takes no rows, as `less` on its
// first page), the server's calls that time out leave their buffers in the
// tool, each call waiting, and it sends the same buffer again (read ahead)
// or the next (a stream). A buffer whose atoms were all taken already
// returns at once, at most 17 are held (the 16 of the largest capture, and
// one more), one more returns at once unprinted and is told as a loss by the
// next one printed; once the output takes rows, the buffers held print in
// the order they came.
TEST(ZemtraToolAtomSinkConcurrency, BuffersHeldWhileTheOutputIsBlockedAreBoundedAndPrintInTheOrderTheyCame)
{
    constexpr CORBA::ULong c_blocking = 2000; // atoms 0..1999 fill the pipe: their call waits
    struct Piece {
        CORBA::LongLong offered;
        CORBA::ULong atoms;
        bool held; // while the output is blocked
    };
    const auto run = [](CORBA::LongLong from, int pieces, bool held) {
        std::vector<Piece> run;
        for (int i = 0; i < pieces; ++i) {
            run.push_back({from + 10 * i, 10, held});
        }
        return run;
    };
    const auto cat = [](std::vector<Piece> a, const std::vector<Piece>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const struct {
        const char* name;
        std::vector<Piece> blocked; // delivered after the blocking one, one after another
        std::vector<Piece> after;   // delivered once the output takes rows
        std::vector<tool::Loss> losses;
        std::vector<std::pair<long, long>> rows; // runs of atoms printed: first, end
    } cases[] = {
        {"in order", run(2000, 6, true), {}, {}, {{0, 2060}}},
        {"sent again",
         {{2000, 10, true}, {2000, 10, false}, {0, 2000, false}, {2005, 10, true}, {2010, 5, false}},
         {},
         {},
         {{0, 2015}}},
        {"bounded",
         cat(run(2000, 16, true), run(2160, 2, false)),
         {{2180, 10, true}},
         {{2160, 20}},
         {{0, 2160}, {2180, 2190}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
        ASSERT_GT(::fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
        std::FILE* out = ::fdopen(fds[1], "w");
        ASSERT_NE(nullptr, out);
        std::string text;
        std::thread reader;
        std::vector<tool::Loss> losses;
        {
            tool::RowPrinter printer({"X"}, 1000000, out);
            tool::AtomSink sink(printer);
            struct Call {
                std::thread thread;
                std::atomic<pid_t> tid{0};
                std::atomic<bool> returned{false};
            };
            std::vector<std::unique_ptr<Call>> calls;
            const auto deliver = [&](const Piece& p) -> Call& {
                calls.push_back(std::make_unique<Call>());
                Call* call = calls.back().get();
                call->thread = std::thread([&sink, p, call] {
                    q_NET::LongSeq values;
                    values.length(p.atoms);
                    for (CORBA::ULong i = 0; i < p.atoms; ++i) {
                        values[i] = static_cast<CORBA::Long>(p.offered + i);
                    }
                    q_NET::MetaSeq meta;
                    meta.length(1);
                    meta[0].id = zemtra_REMOTE::MetaOfferedAtom;
                    meta[0].value = p.offered;
                    call->tid = static_cast<pid_t>(::syscall(SYS_gettid));
                    sink.ReceiveLong("x", values, meta);
                    call->returned = true;
                });
                return *call;
            };
            deliver({0, c_blocking, true});
            EXPECT_TRUE(zvtest::WaitFor([] { return WritingIntoAFullPipe(::getpid()); }));
            for (const Piece& p : c.blocked) {
                SCOPED_TRACE(std::to_string(p.offered) + " +" + std::to_string(p.atoms));
                const Call& call = deliver(p);
                if (!p.held) {
                    EXPECT_TRUE(zvtest::WaitFor([&] { return call.returned.load(); }));
                    continue;
                }
                // Held: waiting in the sink, seen asleep twice a while apart
                // (a call that returns at once may sleep a moment on the
                // sink's lock, as the arrival wakes the calls held).
                const auto asleep = [&] { return !call.returned && call.tid && AsleepOnAFutex(call.tid); };
                EXPECT_TRUE(zvtest::WaitFor(asleep));
                std::this_thread::sleep_for(20ms);
                EXPECT_TRUE(zvtest::WaitFor(asleep));
                EXPECT_FALSE(call.returned);
            }
            reader = std::thread([&] {
                char buffer[4096];
                for (ssize_t n; (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;) {
                    text.append(buffer, static_cast<size_t>(n));
                }
            });
            EXPECT_TRUE(zvtest::WaitFor([&] {
                return std::all_of(calls.begin(), calls.end(), [](const auto& call) { return call->returned.load(); });
            }));
            for (const Piece& p : c.after) {
                const Call& call = deliver(p);
                EXPECT_TRUE(zvtest::WaitFor([&] { return call.returned.load(); }));
            }
            sink.Close();
            for (const auto& call : calls) {
                call->thread.join();
            }
            losses = sink.Losses();
        }
        std::fclose(out);
        reader.join();
        ::close(fds[0]);
        ExpectLosses(c.losses, losses);
        std::string expected = "X\n";
        for (const auto& r : c.rows) {
            for (long atom = r.first; atom < r.second; ++atom) {
                expected += std::to_string(atom) + "\n";
            }
        }
        EXPECT_EQ(expected, text);
    }
}

// A loss is told by what is known, blaming neither the server nor the tool:
// how many atoms, where, and that the rows are not contiguous there.
TEST(ZemtraToolAtomSink, ALossIsToldAsWhatIsKnown)
{
    tool::Loss loss;
    loss.after = 7;
    loss.count = 3;
    EXPECT_EQ("Lost 3 atoms of raf3.signals.sa after atom 7: they were dropped on their way to the tool, as happens "
              "when the server or the tool is held up (a busy machine, a slow output, a stop); the rows are not "
              "contiguous there, read again",
              tool::LossLine(loss, "raf3.signals.sa"));
}

TEST(ZemtraToolValueSink, KeepsNoValueOnceTaken)
{
    // A watch runs for days: the values it has shown must not pile up.
    if (!zvtest::c_freedMemoryGoesBack) {
        GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
    }
    tool::ValueSink sink;
    zemtra_REMOTE::StringSeq values;
    values.length(1);
    values[0] = CORBA::string_dup(std::string(200, 'v').c_str());
    const std::atomic<bool> stop{false};
    std::string line;
    const long before = zvtest::ResidentKb();
    for (int i = 0; i < 200000; ++i) {
        sink.ValueChanged("p", values, 0);
        ASSERT_TRUE(sink.Next(line, 1s, stop));
    }
    EXPECT_EQ(values[0].in(), line);
    EXPECT_LT(zvtest::ResidentKb() - before, 8 * 1024) << "kB kept by 200,000 values shown";
}

TEST(ZemtraToolProgress, ShownOnATerminalUnlessTheRowsGoThereToo)
{
    int terminal = -1;
    int other = -1;
    ASSERT_EQ(0, ::openpty(&other, &terminal, nullptr, nullptr, nullptr));
    std::FILE* file = std::tmpfile();
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(tool::ProgressWanted(::fileno(file), terminal));
    EXPECT_FALSE(tool::ProgressWanted(terminal, terminal));
    EXPECT_FALSE(tool::ProgressWanted(terminal, ::fileno(file)));
    std::fclose(file);
    ::close(terminal);
    ::close(other);
}

// A continue (after Ctrl-Z) is counted by the first thread that asks once
// the tool runs again, not when the thread that the signal reached has run
// its handler: that may come later, on a busy machine, and a stopped watch
// then told that its restarted server was lost. Here no thread runs the
// handler (the only one blocks the signal): the continue is still counted.
TEST(ZemtraToolContinues, AContinueIsCountedByTheFirstThreadThatAsksAfterIt)
{
    int ready[2];
    int continued[2];
    int counted[2];
    ASSERT_EQ(0, ::pipe(ready));
    ASSERT_EQ(0, ::pipe(continued));
    ASSERT_EQ(0, ::pipe(counted));
    const pid_t child = ::fork();
    ASSERT_LE(0, child);
    if (child == 0) {
        tool::CountContinues();
        sigset_t cont;
        sigemptyset(&cont);
        sigaddset(&cont, SIGCONT);
        ::pthread_sigmask(SIG_BLOCK, &cont, nullptr);
        const unsigned before = tool::Continues();
        char c = 0;
        if (::write(ready[1], "r", 1) != 1 || ::read(continued[0], &c, 1) != 1) {
            ::_exit(2);
        }
        const unsigned seen = tool::Continues() - before;
        ::_exit(::write(counted[1], &seen, sizeof(seen)) == sizeof(seen) ? 0 : 2);
    }
    char c = 0;
    ASSERT_EQ(1, ::read(ready[0], &c, 1));
    ASSERT_EQ(0, ::kill(child, SIGSTOP));
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const size_t end = text.rfind(')');
            return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'T';
        },
        20s));
    ASSERT_EQ(0, ::kill(child, SIGCONT));
    ASSERT_EQ(1, ::write(continued[1], "c", 1));
    unsigned seen = 0;
    EXPECT_EQ(static_cast<ssize_t>(sizeof(seen)), ::read(counted[0], &seen, sizeof(seen)));
    EXPECT_EQ(1u, seen);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int* fds : {ready, continued, counted}) {
        ::close(fds[0]);
        ::close(fds[1]);
    }
}

TEST_F(ZemtraToolTest, WatchPrintsValuesAsTheyChange)
{
    auto watch = std::async(std::launch::async, [&] {
        return Tool({"watch", "tim.pll.locked", "--count", "2", "--timeout", "10"});
    });
    ASSERT_TRUE(WatchSubscribed());
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

// An interrupted watch exits as an interrupted read does, whatever it has
// shown, with 128 + the signal; a time-out too long for the clock waits for
// ever.
TEST_F(ZemtraToolTest, WatchExits130WhenInterruptedAndWaitsForEverForHugeTimeOuts)
{
    const struct {
        const char* timeout;
        int signal;
    } cases[] = {{"0", SIGINT}, {"1e10", SIGINT}, {"inf", SIGTERM}};
    for (const auto& c : cases) {
        const char* timeout = c.timeout;
        SCOPED_TRACE(timeout);
        ToolProcess watch(
            {"--server", server.Address(), "watch", "tim.pll.locked", "--count", "3", "--timeout", timeout});
        ASSERT_TRUE(WatchSubscribed());
        std::this_thread::sleep_for(300ms); // no time-out meanwhile
        server.tree.locked->SetValue(true, 0);
        ASSERT_TRUE(zvtest::WaitFor([&] { return watch.Out() == "true\n"; }, 10s)) << watch.Out();
        ::kill(watch.Pid(), c.signal);
        const ToolResult r = watch.Wait();
        EXPECT_EQ(128 + c.signal, r.exitCode) << r.err;
        EXPECT_EQ("true\n", r.out);
        EXPECT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSubscriptionCount() == 0; }, 10s));
        server.tree.locked->SetValue(false, 0);
    }
}

TEST_F(ZemtraToolTest, WatchEndsWhenItsReaderClosesTheOutput)
{
    auto watch = std::async(std::launch::async, [&] {
        return RunToolPiped({"--server", server.Address(), "watch", "tim.pll.locked"}, "head -1");
    });
    ASSERT_TRUE(WatchSubscribed());
    // Values come until the tool, writing into the closed pipe, ends.
    bool value = false;
    EXPECT_TRUE(zvtest::WaitFor([&] {
        value = !value;
        server.tree.locked->SetValue(value, 0);
        return watch.wait_for(0s) == std::future_status::ready;
    }));
    const ToolResult r = watch.get();
    EXPECT_EQ(128 + SIGPIPE, r.exitCode) << r.err;
    EXPECT_EQ("true\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, server.exporter.GetSubscriptionCount());
}

// The system calls of the main thread of the tool run with args from its
// first write to standard output on (those of a watch's values), by number,
// found by tracing that thread (not those it starts) until the tool ends;
// none when it cannot be traced. Its output goes to /dev/null.
std::map<long, int> CallsAfterFirstOutput(std::vector<std::string> args)
{
    args.insert(args.begin(), ToolPath());
    std::vector<char*> cargv = ExecArgs(args);
    const pid_t tool = ::fork();
    if (tool == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0 || ::dup2(null, STDERR_FILENO) < 0 ||
            ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            std::_Exit(126);
        }
        ::execv(cargv[0], cargv.data());
        std::_Exit(127);
    }
    std::map<long, int> calls;
    int status = 0;
    if (tool < 0 || ::waitpid(tool, &status, 0) != tool || !WIFSTOPPED(status)) {
        return calls; // not traced
    }
    ::ptrace(PTRACE_SETOPTIONS, tool, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    bool written = false;
    int signal = 0;
    while (::ptrace(PTRACE_SYSCALL, tool, nullptr, signal) == 0 && ::waitpid(tool, &status, 0) == tool &&
           WIFSTOPPED(status)) {
        // A stop at a call, or a signal to pass on.
        signal = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
        __ptrace_syscall_info call{};
        if (signal == 0 && ::ptrace(PTRACE_GET_SYSCALL_INFO, tool, sizeof(call), &call) > 0 &&
            call.op == PTRACE_SYSCALL_INFO_ENTRY) {
            written = written || (call.entry.nr == SYS_write && call.entry.args[0] == STDOUT_FILENO);
            if (written) {
                ++calls[static_cast<long>(call.entry.nr)];
            }
        }
    }
    return calls;
}

// A watch does not look at its output again for every value (fstat, fcntl,
// ioctl), nor ask whether it was continued after a stop (rt_sigtimedwait)
// while values come: its calls per value are a write and waits.
TEST_F(ZemtraToolTest, AWatchMakesNoCallsPerValueBeyondItsWrite)
{
    constexpr int c_values = 200;
    auto traced = std::async(std::launch::async, [&] {
        return CallsAfterFirstOutput(
            {"--server", server.Address(), "watch", "tim.pll.locked", "--count", std::to_string(c_values)});
    });
    bool value = false;
    while (traced.wait_for(1ms) != std::future_status::ready) {
        value = !value;
        server.tree.locked->SetValue(value, 0);
    }
    const std::map<long, int> calls = traced.get();
    if (calls.empty()) {
        GTEST_SKIP() << "the tool cannot be traced here";
    }
    int looks = 0;
    for (const long call : {
#ifdef SYS_newfstatat
             static_cast<long>(SYS_newfstatat),
#endif
             static_cast<long>(SYS_fstat), static_cast<long>(SYS_fcntl), static_cast<long>(SYS_ioctl),
             static_cast<long>(SYS_rt_sigtimedwait)}) {
        looks += calls.count(call) ? calls.at(call) : 0;
    }
    EXPECT_LT(looks, c_values / 4) << testing::PrintToString(calls);
}

// Values keep the watch from asking whether the server is there, so that
// its connection to the server idles for seconds; the server keeps it.
TEST_F(ZemtraToolTest, WatchOutlastsIdleGapsOfItsConnection)
{
    auto watch = std::async(std::launch::async, [&] {
        return Tool({"watch", "tim.pll.locked", "--count", "6", "--timeout", "20"});
    });
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.tree.locked->GetSubscriberCount() == 1; }, 10000ms));
    for (int i = 0; i < 6; ++i) {
        server.tree.locked->SetValue(i % 2 == 0, 0);
        std::this_thread::sleep_for(800ms); // the pace of the values
    }
    const ToolResult r = watch.get();
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("true\nfalse\ntrue\nfalse\ntrue\nfalse\n", r.out);
}

// The client ports of the connections from 127.0.0.1 to the port, open or
// closed within the last minute.
std::set<unsigned short> LoopbackClientPorts(unsigned short port)
{
    const std::string loopback = "0100007F";
    std::set<unsigned short> ports;
    for (const TcpSocket& s : TcpSockets()) {
        if (s.localAddress == loopback && s.remoteAddress == loopback) {
            if (s.localPort == port) {
                ports.insert(s.remotePort); // the server's end
            } else if (s.remotePort == port) {
                ports.insert(s.localPort); // the client's end
            }
        }
    }
    return ports;
}

// A watch whose connection the server closes to make room, and whose probes
// it refuses while every connection it serves is busy, watches on.
TEST(ZemtraToolWatch, OutlastsRefusalsOfABusyServer)
{
    remote::RemoteExport::Settings settings;
    settings.maxConnections = 2;
    Server server(settings);
    auto watch = std::async(std::launch::async, [&] {
        return RunTool({"--server", server.Address(), "watch", "tim.pll.locked", "--count", "1", "--timeout", "60"});
    });
    ASSERT_TRUE(zvtest::WaitFor([&] { return server.tree.locked->GetSubscriberCount() == 1; }, 10000ms));
    // Two clients that each run a command until it is released take both
    // places (the second one when the watch's connection is idle).
    const std::string block = zvtest::GiopRequest("ZemtraRemote", "Execute", [](zvtest::Cdr& c) { c.String("block"); });
    zvtest::Sockets busy;
    std::vector<int> running;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        ASSERT_TRUE(zvtest::WaitFor(
            [&] {
                busy.fds.push_back(zvtest::ConnectFrom(server.port, from));
                return zvtest::SendAll(busy.fds.back(), block) &&
                       zvtest::WaitFor([&] { return server.exporter.GetActiveRequestCount() == running.size() + 1; },
                                       300ms);
            },
            10000ms));
        running.push_back(busy.fds.back());
    }
    // From now on the server refuses every connection: each one that the
    // watch opens (from 127.0.0.1, where the busy clients are not) is a
    // probe refused. It probes on until two have been.
    const std::set<unsigned short> before = LoopbackClientPorts(server.port);
    size_t refused = 0;
    EXPECT_TRUE(zvtest::WaitFor(
        [&] {
            const std::set<unsigned short> now = LoopbackClientPorts(server.port);
            refused = static_cast<size_t>(
                std::count_if(now.begin(), now.end(), [&](unsigned short p) { return before.count(p) == 0; }));
            return refused >= 2;
        },
        30s))
        << refused << " probes refused";
    // Once the commands have answered, their connections are idle: the
    // watch's calls make room again.
    server.tree.owner.Release();
    for (int fd : running) {
        EXPECT_TRUE(zvtest::IsReply(zvtest::Receive(fd, 20000ms)));
    }
    server.tree.locked->SetValue(true, 0);
    const ToolResult r = watch.get();
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("true\n", r.out);
}

TEST_F(ZemtraToolTest, ReadPrintsAtomsAsCsvWithComponentNames)
{
    // On demand: read-ahead mode by default, 5 atoms from offset 10.
    ToolResult r = Tool({"read", "signals.adc", "--count", "5", "--offset", "10"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("a,b,c,d\n40,41,42,43\n44,45,46,47\n48,49,50,51\n52,53,54,55\n56,57,58,59\n", r.out);

    // Once, in mode 10: from atom 7 + 3 on.
    r = Tool({"read", "signals.adc", "--count", "2", "--mode", "10", "--time", "7", "--offset", "3"});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("a,b,c,d\n40,41,42,43\n44,45,46,47\n", r.out);
    r = Tool({"read", "signals.adc", "--mode", "14"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("qsig: Can't open signal signals.adc in access mode 14: -1 (bad request)\n", r.err);
    EXPECT_EQ("", r.out); // refused: no header

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

TEST_F(ZemtraToolTest, ReadsOnceInChunksEachWhereThePreviousEnded)
{
    // 300000 atoms of 8 bytes: three calls of at most 131072 atoms, from
    // atom 5 on, by time in mode 10 and by offset in mode 12.
    for (const char* mode : {"10", "12"}) {
        const int reads = server.tree.adc->m_reads.load();
        const ToolResult r = Tool({"read", "signals.adc", "--count", "300000", "--mode", mode, "--time", "5"});
        ASSERT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ(3, server.tree.adc->m_reads.load() - reads) << mode;
        std::istringstream lines(r.out);
        std::string line;
        std::getline(lines, line);
        size_t k = 0;
        size_t wrong = 0;
        while (std::getline(lines, line)) {
            const int a = static_cast<int>((5 + k) % 64) * 4;
            wrong += line != std::to_string(a) + "," + std::to_string(a + 1) + "," + std::to_string(a + 2) + "," +
                                 std::to_string(a + 3);
            ++k;
        }
        EXPECT_EQ(300000u, k) << mode;
        EXPECT_EQ(0u, wrong) << mode;
    }
}

// A read once whose reader takes no rows for longer than the server keeps
// an idle connection (as one stopped with Ctrl-Z) reads its next chunk on a
// new connection: the server closed the idle one unasked.
TEST(ZemtraToolIdle, ChunksGoOnAfterTheServerClosedTheIdleConnection)
{
    remote::RemoteExport::Settings settings;
    settings.idleConnectionTimeout = 1s;
    Server server(settings);
    const ToolResult r = RunToolPiped(
        {"--server", server.Address(), "read", "signals.adc", "--count", "300000", "--mode", "10", "--time", "5"},
        "{ sleep 5; wc -l; }");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("300001\n", r.out);
}

TEST_F(ZemtraToolTest, InterruptedReadPrintsWhatCameAndExits130)
{
    ToolProcess tool({"--server", server.Address(), "read", "signals.pll", "--count", "5", "--timeout", "0"});
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (server.exporter.GetSignalSessionCount() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(1u, server.exporter.GetSignalSessionCount());
    server.tree.PushPll(0.5, 1);
    server.tree.PushPll(1.5, 2);
    // Rows appear as they arrive, not at the end.
    while (tool.Out() != "phase,dac\n0.5,1\n1.5,2\n" && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ("phase,dac\n0.5,1\n1.5,2\n", tool.Out());
    ::kill(tool.Pid(), SIGINT);
    const ToolResult r = tool.Wait();
    EXPECT_EQ(130, r.exitCode);
    EXPECT_EQ("phase,dac\n0.5,1\n1.5,2\n", r.out);
    EXPECT_EQ("Interrupted after 2 of 5 atoms of signals.pll\n", r.err);
    EXPECT_EQ(0u, server.exporter.GetSignalSessionCount());
}

// A TCP relay in front of the server that stops passing bytes on when
// frozen: a server that no longer answers (a frozen process, a host gone),
// as its clients see it.
class FreezableRelay {
public:
    explicit FreezableRelay(unsigned short target) : m_target(target)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int attempt = 0; attempt < 20 && m_port == 0; ++attempt) {
            addr.sin_port = htons(FreePort());
            if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
                m_port = ntohs(addr.sin_port);
            }
        }
        ::listen(m_listen, 16);
        m_thread = std::thread([this] { Run(); });
    }
    ~FreezableRelay()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds) {
            ::close(fd);
        }
        ::close(m_listen);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    void Freeze() { m_frozen = true; }
    // Freezes once a client sends more (its next request), which is not
    // passed on: what the server sent before still reaches the client.
    void FreezeAtNextRequest() { m_freezeAtRequest = true; }
    bool Frozen() const { return m_frozen; }

private:
    // Accepts and passes bytes on until frozen; then holds every connection
    // open without a byte more.
    void Run()
    {
        while (!m_stop) {
            if (m_frozen) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            std::vector<pollfd> polled{{m_listen, POLLIN, 0}};
            for (int fd : m_fds) {
                polled.push_back({fd, POLLIN, 0});
            }
            if (::poll(polled.data(), polled.size(), 10) <= 0) {
                continue;
            }
            if (polled[0].revents & POLLIN) {
                Accept();
            }
            char buffer[65536];
            for (size_t i = 1; i < polled.size() && !m_frozen; ++i) {
                if (polled[i].revents & (POLLIN | POLLHUP)) {
                    const ssize_t n = ::read(polled[i].fd, buffer, sizeof(buffer));
                    if (n > 0 && (i - 1) % 2 == 0 && m_freezeAtRequest) {
                        m_frozen = true;
                        break;
                    }
                    // Pairs are neighbours: 0 with 1, 2 with 3...
                    const int peer = m_fds[(i - 1) ^ 1];
                    if (n <= 0 || ::send(peer, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                        ::shutdown(peer, SHUT_RDWR);
                    }
                }
            }
        }
    }
    void Accept()
    {
        const int client = ::accept(m_listen, nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(m_target);
        ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        m_fds.push_back(client);
        m_fds.push_back(server);
    }

    const unsigned short m_target;
    int m_listen = -1;
    unsigned short m_port = 0;
    std::vector<int> m_fds; // client, server, client, server...
    std::atomic<bool> m_frozen{false};
    std::atomic<bool> m_freezeAtRequest{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Ctrl-C ends a watch or read within a moment also when the server has
// stopped answering meanwhile (its liveness probe and the closing call then
// get no answer), as an interrupt: not after the call time-out as a lost server.
TEST_F(ZemtraToolTest, CtrlCEndsWatchAndReadPromptlyWhenTheServerNoLongerAnswers)
{
    const struct {
        std::vector<std::string> args;
        std::function<bool()> started;
        std::string err;
    } cases[] = {
        {{"watch", "tim.pll.locked"}, [&] { return WatchSubscribed(); }, ""},
        {{"read", "signals.pll", "--count", "5", "--timeout", "0"},
         [&] { return ReadOpened(); },
         "Interrupted after 0 of 5 atoms of signals.pll\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        FreezableRelay relay(server.port);
        std::vector<std::string> args = {"--server", relay.Address()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolProcess tool(args);
        ASSERT_TRUE(c.started());
        relay.Freeze();
        std::this_thread::sleep_for(1200ms); // a liveness probe waits for its answer
        const auto interrupted = std::chrono::steady_clock::now();
        ::kill(tool.Pid(), SIGINT);
        const ToolResult r = tool.Wait();
        EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 5s);
        EXPECT_EQ(130, r.exitCode) << r.err;
        EXPECT_EQ(c.err, r.err);
    }
}

// A watch or read whose server no longer answers (frozen, as one stopped
// with SIGSTOP) times out within its time-out and a moment: neither its
// first call (the server frozen before the tool starts), nor the question
// whether the server is still there (the first, a second after the start,
// finds it frozen) nor the call of a read once (frozen once at the server)
// waits longer (they waited for the 30 s of a call, and the time-out and
// 10 s).
TEST_F(ZemtraToolTest, TheTimeOutAlsoBoundsTheWaitForAServerThatNoLongerAnswers)
{
    enum Freeze { eBeforeTheStart, eAtTheNextRequest, eAtOnce };
    const struct {
        std::vector<std::string> args;
        std::function<bool()> started;
        Freeze freeze;
        std::string err;
    } cases[] = {
        {{"watch", "tim.pll.locked"}, nullptr, eBeforeTheStart, "Timed out waiting for a value of tim.pll.locked\n"},
        {{"read", "signals.pll", "--count", "5"},
         nullptr,
         eBeforeTheStart,
         "Timed out after 0 of 5 atoms of signals.pll\n"},
        {{"watch", "tim.pll.locked"},
         [&] { return WatchSubscribed(); },
         eAtTheNextRequest,
         "Timed out waiting for a value of tim.pll.locked\n"},
        {{"read", "signals.pll", "--count", "5"},
         [&] { return ReadOpened(); },
         eAtTheNextRequest,
         "Timed out after 0 of 5 atoms of signals.pll\n"},
        {{"read", "signals.adc", "--mode", "10", "--time", std::to_string(MemoryDodSource::c_heldTime)},
         [&] { return zvtest::WaitFor([&] { return server.tree.adc->m_held.load() == 1; }, 10s); },
         eAtOnce,
         "Timed out after 0 of 10 atoms of signals.adc\n"},
    };
    // The cases run side by side, each through a relay of its own, started
    // in this order so that what tells one started is not another's doing:
    // none of the first two reaches the server, the watch alone subscribes,
    // the read alone opens a session, the mode-10 read alone is held.
    struct Run {
        std::unique_ptr<FreezableRelay> relay;
        std::unique_ptr<ToolProcess> tool;
        std::chrono::steady_clock::time_point frozen{}, exited{};
    };
    std::vector<Run> runs;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " frozen " + std::to_string(c.freeze));
        Run run;
        run.relay = std::make_unique<FreezableRelay>(server.port);
        std::vector<std::string> args = {"--server", run.relay->Address()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--timeout", "2"});
        if (c.freeze == eBeforeTheStart) {
            run.relay->Freeze();
        }
        run.tool = std::make_unique<ToolProcess>(args);
        if (c.freeze != eBeforeTheStart) {
            ASSERT_TRUE(c.started());
            if (c.freeze == eAtTheNextRequest) {
                run.relay->FreezeAtNextRequest();
            } else {
                run.relay->Freeze();
            }
        }
        runs.push_back(std::move(run));
    }
    // Each is timed from the moment its relay froze to its exit.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (size_t ended = 0; ended < runs.size() && std::chrono::steady_clock::now() < deadline;) {
        ended = 0;
        const auto now = std::chrono::steady_clock::now();
        for (Run& run : runs) {
            if (run.frozen == std::chrono::steady_clock::time_point{} && run.relay->Frozen()) {
                run.frozen = now;
            }
            if (run.exited == std::chrono::steady_clock::time_point{} && run.tool->HasExited()) {
                run.exited = now;
            }
            ended += run.exited != std::chrono::steady_clock::time_point{};
        }
        std::this_thread::sleep_for(5ms);
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(cases[i].args[1] + " frozen " + std::to_string(cases[i].freeze));
        const ToolResult r = runs[i].tool->Wait();
        ASSERT_NE(std::chrono::steady_clock::time_point{}, runs[i].frozen);
        ASSERT_NE(std::chrono::steady_clock::time_point{}, runs[i].exited);
        EXPECT_LT(runs[i].exited - runs[i].frozen, 6s); // 2 s and a moment, on a loaded machine
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(cases[i].err, r.err);
    }
    server.tree.adc->ReleaseHeld();
}

// Long reads stop as soon as asked, read once per chunk (mode 10) or
// forwarded (mode 13), however fast the chunks come: at Ctrl-C, and when the
// reader of the output has closed it (the tool then ends by SIGPIPE, quietly).
TEST_F(ZemtraToolTest, LongReadsStopAtAnInterruptOrAClosedOutput)
{
    for (const char* mode : {"10", "13"}) {
        SCOPED_TRACE(std::string("mode ") + mode);
        const std::vector<std::string> read = {"--server", server.Address(), "read",   "signals.adc",
                                               "--count",  "4294967295",     "--mode", mode};
        const int reads = server.tree.adc->m_reads.load() + server.tree.adc->m_openClients.load();
        ToolProcess tool(read, false);
        ASSERT_TRUE(zvtest::WaitFor(
            [&] { return server.tree.adc->m_reads.load() + server.tree.adc->m_openClients.load() > reads; }, 10s));
        ::kill(tool.Pid(), SIGINT);
        const ToolResult interrupted = tool.Wait();
        EXPECT_EQ(130, interrupted.exitCode);
        EXPECT_EQ(0u, interrupted.err.rfind("Interrupted after ", 0)) << interrupted.err;

        const ToolResult piped = RunToolPiped(read, "head -3");
        EXPECT_EQ(128 + SIGPIPE, piped.exitCode) << piped.err;
        EXPECT_EQ("a,b,c,d\n0,1,2,3\n4,5,6,7\n", piped.out);
        EXPECT_EQ("", piped.err);
    }
    EXPECT_TRUE(zvtest::WaitFor([&] { return server.tree.adc->m_openClients.load() == 0; }));
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
    // In words, whether the connection was gone or the server stopping.
    const std::string lost = "Lost the server " + server.Address() + ": it ";
    for (auto* tool : {&watch, &read}) {
        ASSERT_EQ(std::future_status::ready, tool->wait_for(10s));
        const ToolResult r = tool->get();
        EXPECT_EQ(1, r.exitCode);
        EXPECT_TRUE(r.err == lost + "stopped or went away\n" || r.err == lost + "is shutting down\n") << r.err;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
}

TEST_F(ZemtraToolTest, ReadTimesOutOnAQuietSignal)
{
    // A time-out below the clock's tick is a short one, not "for ever".
    for (const char* timeout : {"0.3", "1e-12"}) {
        const ToolResult r = Tool({"read", "signals.pll", "--count", "3", "--timeout", timeout});
        EXPECT_EQ(1, r.exitCode) << timeout;
        EXPECT_EQ("phase,dac\n", r.out) << timeout;
        EXPECT_EQ("Timed out after 0 of 3 atoms of signals.pll\n", r.err) << timeout;
    }

    // A read once waits on the server as long as the time-out, however short.
    const ToolResult once = Tool({"read", "signals.adc", "--mode", "10", "--timeout", "0.0001", "--time",
                                  std::to_string(MemoryDodSource::c_heldTime)});
    server.tree.adc->ReleaseHeld();
    EXPECT_EQ(1, once.exitCode);
    EXPECT_EQ("qsig: Can't read signal signals.adc in access mode 10: -3 (timeout), no data within 1 ms\n", once.err);
}

// The holes in rows whose first column numbers them from 0 by one (after
// the header): where, by the rows before, and how many are missing.
std::vector<tool::Loss> Holes(const std::string& rows)
{
    std::vector<tool::Loss> holes;
    std::istringstream lines(rows);
    std::string line;
    std::getline(lines, line);
    std::uint64_t printed = 0;
    std::uint64_t next = 0;
    while (std::getline(lines, line)) {
        const auto number = static_cast<std::uint64_t>(std::stoull(line.substr(0, line.find(','))));
        if (number != next) {
            holes.push_back({printed, number - next});
        }
        next = number + 1;
        ++printed;
    }
    return holes;
}

// The losses that a read of path told: "Lost N atoms of PATH after atom K: ...".
std::vector<tool::Loss> LossesTold(const std::string& err, const std::string& path)
{
    std::vector<tool::Loss> losses;
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long long count = 0;
        unsigned long long after = 0;
        char name[256] = {};
        if (std::sscanf(line.c_str(), "Lost %llu atoms of %255s after atom %llu: ", &count, name, &after) == 3 &&
            name == path) {
            losses.push_back({after, count});
        }
    }
    return losses;
}

// A read of a stream that falls behind the server (the tool stopped while
// more buffers come than the server keeps for it, which then drops them)
// reads on to its count, says how many atoms were dropped and after which
// (as the rows, which number themselves, show), and exits 1. One that keeps
// up says nothing and succeeds.
TEST_F(ZemtraToolTest, ReadsWhoseBuffersSkipANumberSayWhatWasLost)
{
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped" : "keeping up");
        ToolProcess tool({"--server", server.Address(), "read", "signals.pll", "--count", "200"}, true, true);
        ASSERT_TRUE(ReadOpened());
        if (stopped) {
            ::kill(tool.Pid(), SIGSTOP);
            ASSERT_TRUE(zvtest::WaitFor(
                [&] { return ProcessStatus(tool.Pid(), "State:").find('T') != std::string::npos; }, 10s));
        }
        // Buffers of an atom, numbered by their first value: to a stopped
        // tool 100 at once (more than the 64 the server keeps for a reader),
        // then, once it has printed those kept, at most 32 ahead of the last
        // row printed (of the 100 at once), until the tool has its count.
        long long pushed = 0;
        if (stopped) {
            for (; pushed < 100; ++pushed) {
                server.tree.PushPll(static_cast<double>(pushed), 0);
            }
            ::kill(tool.Pid(), SIGCONT);
        }
        EXPECT_TRUE(zvtest::WaitFor(
            [&] {
                const std::string out = tool.Out();
                const size_t end = out.rfind('\n');
                const size_t start = end == std::string::npos ? end : out.rfind('\n', end - 1);
                const std::string last = start == std::string::npos ? "" : out.substr(start + 1, end - start - 1);
                const long long printed =
                    last.empty() || !std::isdigit(static_cast<unsigned char>(last[0])) ? -1 : std::stoll(last);
                if (stopped && std::count(out.begin(), out.end(), '\n') <= 64) {
                    return tool.HasExited();
                }
                for (; pushed < std::max(printed, stopped ? 99LL : -1LL) + 32; ++pushed) {
                    server.tree.PushPll(static_cast<double>(pushed), 0);
                }
                return tool.HasExited();
            },
            60s));
        const ToolResult r = tool.Wait();
        const std::vector<tool::Loss> holes = Holes(r.out);
        EXPECT_EQ(201, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
        EXPECT_EQ(stopped ? 1 : 0, r.exitCode) << r.err;
        EXPECT_EQ(stopped, !holes.empty());
        ExpectLosses(holes, LossesTold(r.err, "signals.pll"), r.err);
        ASSERT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSignalSessionCount() == 0; }, 10s));
    }
}

// A read that lost atoms and is cut short tells the losses in the rows it
// wrote (which hold the hole): when its reader leaves (`| head`, the tool
// ends by the pipe), and when Ctrl-C comes while its output is blocked by a
// reader that takes no rows (`less`; the tool leaves a second later).
TEST_F(ZemtraToolTest, AReadCutShortTellsTheLossesInTheRowsItWrote)
{
    constexpr int c_taken = 80; // rows read (after the header) before the reader leaves or stops
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "Ctrl-C, its output blocked" : "its reader gone");
        int out[2];
        int err[2];
        ASSERT_EQ(0, ::pipe2(out, O_CLOEXEC));
        ASSERT_EQ(0, ::pipe2(err, O_CLOEXEC));
        if (interrupted) {
            ::fcntl(out[1], F_SETPIPE_SZ, 4096); // (filled by fewer rows)
        }
        std::vector<std::string> argv = {ToolPath(),    "--server", server.Address(), "read",
                                         "signals.pll", "--count",  "1000000"};
        std::vector<char*> cargv = ExecArgs(argv);
        const pid_t tool = ::fork();
        if (tool == 0) {
            if (::dup2(out[1], STDOUT_FILENO) < 0 || ::dup2(err[1], STDERR_FILENO) < 0) {
                std::_Exit(126);
            }
            ::execv(cargv[0], cargv.data());
            std::_Exit(127);
        }
        ASSERT_GT(tool, 0);
        ::close(out[1]);
        ::close(err[1]);
        ASSERT_TRUE(ReadOpened());
        // Stopped, the tool is sent more buffers of an atom than the server
        // keeps for it (64): those past them are lost.
        ::kill(tool, SIGSTOP);
        ASSERT_TRUE(zvtest::WaitFor([&] { return ProcessStatus(tool, "State:").find('T') != std::string::npos; }, 10s));
        long long pushed = 0;
        for (; pushed < 100; ++pushed) {
            server.tree.PushPll(static_cast<double>(pushed), 0);
        }
        ::kill(tool, SIGCONT);
        // The reader takes the header and c_taken rows.
        std::string rows;
        const auto lines = [&] { return std::count(rows.begin(), rows.end(), '\n'); };
        const auto readRows = [&](int timeoutMs) {
            pollfd ready{out[0], POLLIN, 0};
            char text[4096];
            while (::poll(&ready, 1, timeoutMs) == 1) {
                const ssize_t n = ::read(out[0], text, sizeof(text));
                if (n <= 0) {
                    break;
                }
                rows.append(text, static_cast<size_t>(n));
            }
        };
        ASSERT_TRUE(zvtest::WaitFor(
            [&] {
                readRows(100);
                if (lines() <= c_taken && lines() > 64) {
                    server.tree.PushPll(static_cast<double>(pushed++), 0);
                }
                return lines() > c_taken;
            },
            60s));
        int status = 0;
        if (interrupted) {
            // Then takes none: the tool's output fills, and Ctrl-C comes.
            ASSERT_TRUE(zvtest::WaitFor(
                [&] {
                    for (int i = 0; i < 16; ++i) { // (fewer than the server keeps)
                        server.tree.PushPll(static_cast<double>(pushed++), 0);
                    }
                    return WritingIntoAFullPipe(tool);
                },
                20s));
            ::kill(tool, SIGINT);
            EXPECT_TRUE(zvtest::WaitFor([&] { return ::waitpid(tool, &status, WNOHANG) == tool; }, 20s));
            readRows(0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
        } else {
            // Then leaves; rows come on until the tool finds it gone.
            std::size_t end = 0;
            for (int i = 0; i <= c_taken; ++i) {
                end = rows.find('\n', end) + 1;
            }
            rows.resize(end);
            ::close(out[0]);
            EXPECT_TRUE(zvtest::WaitFor(
                [&] {
                    server.tree.PushPll(static_cast<double>(pushed++), 0);
                    return ::waitpid(tool, &status, WNOHANG) == tool;
                },
                60s));
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
        }
        if (interrupted) {
            ::close(out[0]);
        }
        std::string said;
        char text[4096];
        for (ssize_t n; (n = ::read(err[0], text, sizeof(text))) > 0;) {
            said.append(text, static_cast<size_t>(n));
        }
        ::close(err[0]);
        // The atoms missing from the rows, and those told lost within them
        // (where exactly, the server's numbers tell, which are not the subject
        // here).
        const auto written = static_cast<std::uint64_t>(lines() - 1);
        const auto atoms = [written](const std::vector<tool::Loss>& losses) {
            std::uint64_t n = 0;
            for (const tool::Loss& loss : losses) {
                n += loss.after < written ? loss.count : 0;
            }
            return n;
        };
        const std::uint64_t missing = atoms(Holes(rows));
        EXPECT_GT(missing, 0u) << rows;
        EXPECT_EQ(missing, atoms(LossesTold(said, "signals.pll"))) << said;
        ASSERT_TRUE(zvtest::WaitFor([&] { return server.exporter.GetSignalSessionCount() == 0; }, 10s));
    }
}

// The time that the tool's output is blocked (its reader takes no rows for
// longer than --timeout) is no wait for data: the read goes on once the
// reader takes the rows.
TEST_F(ZemtraToolTest, AnOutputBlockedLongerThanTheTimeOutIsNoTimeOut)
{
    auto read = std::async(std::launch::async, [&] {
        return RunToolPiped({"--server", server.Address(), "read", "signals.pll", "--count", "20000", "--timeout", "3"},
                            "{ sleep 8; wc -l; }");
    });
    ASSERT_TRUE(ReadOpened());
    // More rows than the pipe holds, in one buffer.
    const std::vector<double> values(40000, 1.0);
    server.tree.pll->Dispatch(values.data(), static_cast<unsigned>(values.size()), qsig::c_noMeta);
    const ToolResult r = read.get();
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ("20001\n", r.out);
}

// ---- Failures and pauses of the tool's calls ----

// A call that failed is the tool's last: no second call asks the server,
// that failed to answer, for more (an ls asks for the children first). The
// stand-in refuses every request.
TEST(ZemtraToolStandIn, AFailedCallIsTheLast)
{
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"ls", "name"}, {"List"}},
        {{"set", "name", "x"}, {"SetText"}},
        {{"get", "name"}, {"GetText"}},
        {{"exec", "reset"}, {"Execute"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first[0] + " " + c.first[1]);
        StandIn standIn(7, [](const std::string&, const StandIn::Request&) { return std::string(); });
        std::vector<std::string> args = {"--server", standIn.Address()};
        args.insert(args.end(), c.first.begin(), c.first.end());
        const ToolResult r = RunTool(args);
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(0u, r.err.rfind("the server refused the request for want of resources", 0)) << r.err;
        EXPECT_EQ(c.second, standIn.Operations());
    }
}

// Ctrl-C that comes while a call is being answered ends the tool before its
// next call: an ls of a leaf interrupted while it asks for the leaf's
// description lists nothing (it would ask for its branch's children next),
// and exits 130. The stand-in answers the description once the tool has
// taken the interrupt.
TEST(ZemtraToolStandIn, AnInterruptEndsTheToolBeforeItsNextCall)
{
    std::atomic<pid_t> tool{0};
    StandIn standIn(7, [&](const std::string& operation, const StandIn::Request& request) {
        if (operation == "List") {
            return StandIn::Reply(request, [](zvtest::Cdr& cdr) { cdr.ULong(0); }); // no children
        }
        if (operation != "Describe" || !zvtest::WaitFor([&] { return tool.load() > 0; }, 10s)) {
            return std::string();
        }
        ::kill(tool, SIGINT);
        EXPECT_TRUE(zvtest::WaitFor([&] { return !SignalPending(tool, SIGINT); }, 10s));
        return StandIn::Reply(request, [](zvtest::Cdr& cdr) {
            cdr.String("name");
            cdr.String("value");
            cdr.ULong(0);       // value type
            cdr.ULong(1);       // size
            cdr.ULongLong(0x6); // flags
            cdr.ULong(0);       // no enum values
            cdr.String("");     // no validator
        });
    });
    ToolProcess process({"--server", standIn.Address(), "ls", "name"});
    tool = process.Pid();
    const ToolResult r = process.Wait();
    EXPECT_EQ(130, r.exitCode) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ((std::vector<std::string>{"List", "Describe"}), standIn.Operations());
}

// The body of a reply to ReadSignal: atoms, values shorts (0, 1, 2...) and
// the metadata entries (id, value).
void SignalData(zvtest::Cdr& cdr, std::uint32_t atoms, std::uint32_t values,
                const std::vector<std::pair<std::int32_t, std::int64_t>>& meta = {})
{
    cdr.ULong(atoms);
    cdr.ULong(values);
    for (std::uint32_t i = 0; i < values; ++i) {
        cdr.Octet(static_cast<unsigned char>(i));
        cdr.Octet(0);
    }
    for (int empty = 0; empty < 3; ++empty) {
        cdr.ULong(0); // long, double, unsigned 64-bit values
    }
    cdr.ULong(static_cast<std::uint32_t>(meta.size()));
    for (const auto& entry : meta) {
        cdr.ULong(static_cast<std::uint32_t>(entry.first));
        cdr.ULongLong(static_cast<std::uint64_t>(entry.second));
    }
}

// The access mode of a read once of "sig": its argument after the path
// (little-endian, as the stand-in takes the requests).
int ReadMode(const StandIn::Request& request)
{
    const std::string path("\x04\0\0\0sig\0", 8);
    const size_t at = request.message.rfind(path);
    std::int32_t mode = -1;
    if (at != std::string::npos && at + path.size() + 4 <= request.message.size()) {
        std::memcpy(&mode, &request.message[at + path.size()], 4);
    }
    return mode;
}

// The body of the reply to a read once, or null to refuse the read.
using ReadAnswer = std::function<void(zvtest::Cdr&)>;

// The answers of a stand-in for a server of the on-demand signal "sig" (four
// shorts "a" to "d" an atom): its description, and every read once answered
// by what readIn gives for its access mode; an older server (older) has no
// coded read.
// The reply to GetSignal of "sig", whose atoms take atomSize bytes (in the
// values that a read gives, 4 shorts).
std::string SignalReply(const StandIn::Request& request, std::uint32_t atomSize = 8)
{
    return StandIn::Reply(request, [atomSize](zvtest::Cdr& cdr) {
        cdr.String("sig");
        cdr.String("");
        cdr.ULong(2); // on demand
        cdr.ULong(atomSize);
        cdr.ULong(1);
        cdr.ULong(4);
        cdr.ULong(4);
        for (const char* name : {"a", "b", "c", "d"}) {
            cdr.String(name);
        }
    });
}

StandIn::Answer SignalAnswersByMode(std::function<ReadAnswer(int mode)> readIn, bool older = false)
{
    return [readIn, older](const std::string& operation, const StandIn::Request& request) {
        if (operation == "GetSignal") {
            return SignalReply(request);
        }
        if (older && operation == "ReadSignalCoded") {
            return StandIn::NoSuchOperation(request);
        }
        if (operation != "ReadSignal" && operation != "ReadSignalCoded") {
            return std::string();
        }
        const ReadAnswer read = readIn(ReadMode(request));
        return read ? StandIn::Reply(request, read) : std::string();
    };
}

// As SignalAnswersByMode, every read once answered by read.
StandIn::Answer SignalAnswers(ReadAnswer read, bool older = false)
{
    return SignalAnswersByMode([read](int) { return read; }, older);
}

// A server that answers a read once with more atoms than asked, or with
// values that are no whole atoms, is refused: nothing of the answer is
// printed. Reads of more than a chunk in mode 11 start with reads of one
// and two atoms. So also by an older server, which has no coded read.
TEST(ZemtraToolStandIn, AnswersOfMoreAtomsThanAskedAreRefused)
{
    const struct {
        std::vector<std::string> args;
        std::uint32_t atoms;
        std::uint32_t values;
        std::string err;
    } cases[] = {
        {{"--mode", "11", "--count", "200000"},
         2,
         8,
         "The server sent 2 atoms of sig for a read of 1: refused, none printed\n"},
        {{"--mode", "10", "--count", "1"},
         3,
         12,
         "The server sent 3 atoms of sig for a read of 1: refused, none printed\n"},
        {{"--mode", "10", "--count", "2"},
         2,
         7,
         "The server sent 7 values for 2 atoms of 4 components of sig: refused, none printed\n"},
    };
    for (const bool older : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.args[1] + " " + c.args[3] + (older ? ", older server" : ""));
            StandIn standIn(7, SignalAnswers([&](zvtest::Cdr& cdr) { SignalData(cdr, c.atoms, c.values); }, older));
            std::vector<std::string> args = {"--server", standIn.Address(), "read", "sig"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            const ToolResult r = RunTool(args);
            EXPECT_EQ(1, r.exitCode);
            EXPECT_EQ(c.err, r.err);
            EXPECT_EQ("", r.out);
        }
    }
}

// A server that stops fails the calls of its clients with the ORB's
// exceptions, whichever comes first: the tool says in words that it is
// shutting down, or stopped or went away. The stand-in answers a call with
// the exception (of the minor code), every call before it as the server.
TEST(ZemtraToolStandIn, AServerThatStopsIsSaidToInWords)
{
    const std::string shuttingDown = "Remote call to ADDRESS failed: the server is shutting down\n";
    const struct {
        std::vector<std::string> args;
        std::string operation;
        std::string exception;
        std::uint32_t minor;
        std::string err;
    } cases[] = {
        {{"get", "name"}, "GetText", "OBJ_ADAPTER", 0x4f4d0001, shuttingDown},
        {{"read", "sig", "--mode", "10"}, "ReadSignal", "OBJECT_NOT_EXIST", 0x4f4d0001, shuttingDown},
        {{"read", "sig"}, "IsServed", "OBJ_ADAPTER", 0x4f4d0001, "Lost the server ADDRESS: it is shutting down\n"},
        {{"watch", "name"},
         "IsServed",
         "COMM_FAILURE",
         0x41540007,
         "Lost the server ADDRESS: it stopped or went away\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.exception);
        const StandIn::Answer signal = SignalAnswers([](zvtest::Cdr& cdr) { SignalData(cdr, 1, 4); });
        StandIn standIn(7, [&](const std::string& operation, const StandIn::Request& request) {
            // (The tool asks the coded form of a read or question first.)
            if (operation == c.operation || operation == c.operation + "Coded") {
                return StandIn::Reply(
                    request,
                    [&](zvtest::Cdr& cdr) {
                        cdr.String("IDL:omg.org/CORBA/" + c.exception + ":1.0");
                        cdr.ULong(c.minor);
                        cdr.ULong(1); // not completed
                    },
                    2);
            }
            if (operation == "Subscribe" || operation == "OpenSignal") {
                return StandIn::Reply(request, [](zvtest::Cdr& cdr) { cdr.ULongLong(1); });
            }
            return signal(operation, request);
        });
        std::vector<std::string> args = {"--server", standIn.Address()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = RunTool(args);
        EXPECT_EQ(1, r.exitCode);
        std::string err = c.err;
        err.replace(err.find("ADDRESS"), 7, standIn.Address());
        EXPECT_EQ(err, r.err);
    }
}

// The tool against the "zemtra-vuna" server run as a process.
class ZemtraToolOnTheServer : public ZemtraVunaRemote {
protected:
    static std::string Status(pid_t pid, const std::string& name) { return ProcessStatus(pid, name); }
    // The state letter of process pid ('T': stopped).
    static char State(pid_t pid)
    {
        const std::string state = Status(pid, "State:");
        const size_t letter = state.find_first_not_of(" \t");
        return letter == std::string::npos ? '?' : state[letter];
    }
    std::vector<std::string> WithServer(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(port)});
        return args;
    }
    // Starts the tool on the server with args, its standard output into the
    // pipe end out and its standard error into err (-1: this process's).
    pid_t Start(const std::vector<std::string>& args, int out, int err = -1) const
    {
        std::vector<std::string> argv = WithServer(args);
        argv.insert(argv.begin(), ToolPath());
        std::vector<char*> cargv = ExecArgs(argv);
        const pid_t tool = ::fork();
        if (tool == 0) {
            if (::dup2(out, STDOUT_FILENO) < 0 || (err >= 0 && ::dup2(err, STDERR_FILENO) < 0)) {
                std::_Exit(126);
            }
            ::execv(cargv[0], cargv.data());
            std::_Exit(127);
        }
        return tool;
    }
    // Whether every thread of process pid is stopped: a stop signal stops
    // the threads one by one, and one not stopped yet still serves.
    static bool Stopped(pid_t pid)
    {
        const auto threads = Entries(pid, "task");
        return !threads.empty() && std::all_of(threads.begin(), threads.end(), [](const std::string& thread) {
            std::string line;
            std::getline(std::ifstream(thread + "/stat"), line); // "TID (NAME) STATE ..."
            const size_t name = line.rfind(')');
            return name != std::string::npos && line.compare(name, 3, ") T") == 0;
        });
    }
    // Whether a request of process tool waits, unread, at the (stopped)
    // server: the server's end of a connection from a socket of tool holds
    // bytes.
    bool RequestWaiting(pid_t tool) const
    {
        std::set<std::string> sockets; // of tool, by inode
        for (const std::string& fd : Entries(tool, "fd")) {
            char target[64] = {0};
            if (::readlink(fd.c_str(), target, sizeof(target) - 1) > 0 && std::strncmp(target, "socket:[", 8) == 0) {
                sockets.insert(std::string(target + 8, std::strlen(target) - 9));
            }
        }
        std::set<unsigned long> toolPorts;
        std::vector<std::pair<unsigned long, unsigned long>> serverEnds; // peer port, bytes unread
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line); // heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            // The hex number after a field's last colon: an address's port,
            // the receive queue of "TX:RX".
            const auto last = [](const std::string& field) {
                return std::stoul(field.substr(field.rfind(':') + 1), nullptr, 16);
            };
            if (sockets.count(inode) != 0 && last(remote) == port) {
                toolPorts.insert(last(local));
            } else if (last(local) == port) {
                serverEnds.emplace_back(last(remote), last(queues));
            }
        }
        return std::any_of(serverEnds.begin(), serverEnds.end(),
                           [&](const auto& end) { return toolPorts.count(end.first) != 0 && end.second > 0; });
    }
    // Waits at most timeout for process pid to end, else kills it: its
    // status, and whether it ended in time.
    static bool Ended(pid_t pid, std::chrono::milliseconds timeout, int& status)
    {
        const bool ended = zvtest::WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        return ended;
    }
    // What is left to read from fd, up to its end.
    static std::string Rest(int fd)
    {
        std::string text;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof(buffer))) > 0;) {
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }
};

// Ctrl-C ends every command within a moment, with 130, also while the
// server does not answer (stopped with SIGSTOP): no command waits for its
// call's time-out. The bound checked is 3 s, for a loaded machine; the tool
// leaves within about half a second of the interrupt.
TEST_F(ZemtraToolOnTheServer, CtrlCEndsEveryCommandPromptlyWhileTheServerIsStopped)
{
    const std::vector<std::vector<std::string>> commands = {
        {"ls"},
        {"get", "custom"},
        {"set", "custom", "fa_clk"},
        {"exec", "raf3.postmortem.capture"},
        {"watch", "custom"},
        {"read", "raf3.signals.sa"},
        {"read", "raf3.signals.adc", "--mode", "10"},
    };
    ASSERT_EQ(0, ::kill(pid, SIGSTOP));
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{pid};
    ASSERT_TRUE(zvtest::WaitFor([&] { return Stopped(pid); }, 20s));
    for (const auto& command : commands) {
        SCOPED_TRACE(testing::PrintToString(command));
        ToolProcess tool(WithServer(command));
        ASSERT_TRUE(zvtest::WaitFor([&] { return RequestWaiting(tool.Pid()); }, 20s));
        const auto interrupted = std::chrono::steady_clock::now();
        ::kill(tool.Pid(), SIGINT);
        const ToolResult r = tool.Wait();
        EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 3s);
        EXPECT_EQ(130, r.exitCode) << r.err;
    }
    ::kill(pid, SIGCONT);
    EXPECT_EQ(0, Tool({"get", "custom"}).exitCode);
}

// A tool stopped (Ctrl-Z) for longer than its time-out and continued goes
// on: the paused time is no wait for data. Each is stopped for 6 s once
// its first line came; the read waits 3 s at most for its next atom, the
// watch 4 s for its next value (a value set by another tool run on a loaded
// machine).
// A read interrupted while its output is blocked, whose reader leaves with
// the interrupt (Ctrl-C ends every process of a pipeline: `| sleep 60`,
// `| head`), ends as an interrupted read does: with 130 and its line, not
// by SIGPIPE (nor with 255); also while the server does not answer (its
// last calls abandoned).
TEST_F(ZemtraToolOnTheServer, AnInterruptedReadWhoseReaderLeavesWithItExits130)
{
    for (const bool serverStopped : {false, true}) {
        SCOPED_TRACE(serverStopped ? "server stopped" : "server answering");
        int fds[2];
        int errs[2];
        ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
        ASSERT_EQ(0, ::pipe2(errs, O_CLOEXEC));
        const pid_t tool = Start({"read", "raf3.signals.tdp_synthetic", "--count", "10000000"}, fds[1], errs[1]);
        ::close(fds[1]);
        ::close(errs[1]);
        // The rows fill the pipe: the tool's writer waits.
        EXPECT_TRUE(zvtest::WaitFor([&] { return WritingIntoAFullPipe(tool); }, 20s));
        if (serverStopped) {
            ASSERT_EQ(0, ::kill(pid, SIGSTOP));
        }
        struct Resume {
            pid_t pid;
            ~Resume() { ::kill(pid, SIGCONT); }
        } resume{pid};
        ::kill(tool, SIGINT);
        ::close(fds[0]);
        int status = 0;
        EXPECT_TRUE(Ended(tool, 20s, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130)
            << (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                  : "signal " + std::to_string(WTERMSIG(status)));
        const std::string said = Rest(errs[0]);
        ::close(errs[0]);
        EXPECT_EQ(0u, said.rfind("Interrupted after ", 0)) << said;
        EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << said;
    }
}

// Ctrl-C ends a read or watch within a moment, with 130 and its usual line,
// also while its output is blocked: its reader ignores Ctrl-C and takes no
// rows, as `less` does. The rows written are whole, as many as it says. The
// bound checked is 10 s, for a loaded machine; the tool leaves within about
// a second. A watch's output is filled beforehand, a read fills it itself.
// An ls or get that Ctrl-C comes to once it has its answer, while it waits to
// write it, ends with 130 too, also when its reader takes the output after
// the tool took the interrupt.
TEST_F(ZemtraToolOnTheServer, CtrlCEndsCommandsWhoseOutputIsBlocked)
{
    const struct {
        std::vector<std::string> args;
        std::string said; // before the number of atoms written; empty: nothing
        bool readsOn;     // the reader takes the output once the interrupt is taken
    } cases[] = {
        {{"read", "raf3.signals.tdp_synthetic", "--count", "10000000"}, "Interrupted after ", false},
        {{"read", "raf3.signals.adc", "--mode", "10", "--count", "10000000"}, "Interrupted after ", false},
        {{"read", "raf3.signals.ddc_synthetic", "--mode", "11", "--count", "100000"}, "Interrupted after ", false},
        {{"watch", "custom"}, "", false},
        {{"ls"}, "", true},
        {{"get", "custom"}, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        int fds[2];
        int errs[2];
        ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
        ASSERT_EQ(0, ::pipe2(errs, O_CLOEXEC));
        if (c.said.empty()) {
            ASSERT_EQ(0, ::fcntl(fds[1], F_SETFL, O_NONBLOCK));
            while (::write(fds[1], "x\n", 2) == 2) {
            }
            ASSERT_EQ(0, ::fcntl(fds[1], F_SETFL, 0));
        }
        const pid_t tool = Start(c.args, fds[1], errs[1]);
        ::close(fds[1]);
        ::close(errs[1]);
        bool custom = false;
        EXPECT_TRUE(zvtest::WaitFor(
            [&] {
                custom = !custom; // a new value for the watch
                return WritingIntoAFullPipe(tool) ||
                       (c.args[0] == "watch" &&
                        Tool({"set", "custom", custom ? "fa_clk" : "fofb_switch"}).exitCode != 0);
            },
            20s));
        ::kill(tool, SIGINT);
        if (c.readsOn) {
            EXPECT_TRUE(zvtest::WaitFor([&] { return !SignalPending(tool, SIGINT); }, 20s));
            Rest(fds[0]);
        }
        int status = 0;
        EXPECT_TRUE(Ended(tool, 10s, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130)
            << (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : "signal");
        const std::string out = Rest(fds[0]);
        const std::string said = Rest(errs[0]);
        ::close(fds[0]);
        ::close(errs[0]);
        if (c.said.empty()) {
            EXPECT_EQ("", said);
            continue;
        }
        const auto rows = std::count(out.begin(), out.end(), '\n') - 1; // after the header
        EXPECT_EQ(c.said + std::to_string(rows) + " of " + c.args[c.args.size() - 1] + " atoms of " + c.args[1] + "\n",
                  said);
        EXPECT_EQ('\n', out.empty() ? '\n' : out.back());
    }
}

TEST_F(ZemtraToolOnTheServer, AToolContinuedAfterAStopGoesOn)
{
    const auto pause = [&](ToolProcess& tool, const std::function<void()>& poke) {
        ASSERT_TRUE(zvtest::WaitFor(
            [&] {
                poke();
                return tool.Out().find('\n') != std::string::npos;
            },
            20s));
        ::kill(tool.Pid(), SIGTSTP);
        ASSERT_TRUE(zvtest::WaitFor([&] { return State(tool.Pid()) == 'T'; }, 10s));
        std::this_thread::sleep_for(6s);
        ::kill(tool.Pid(), SIGCONT);
    };
    {
        // SA atoms come at about 9.5 Hz.
        ToolProcess read(WithServer({"read", "raf3.signals.sa", "--count", "40", "--timeout", "3"}), true, true);
        pause(read, [] {});
        const ToolResult r = read.Wait();
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ(41, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
    }
    // A watch shows a value set after it went on, until Ctrl-C.
    ASSERT_EQ(0, Tool({"set", "custom", "fofb_switch"}).exitCode);
    ToolProcess watch(WithServer({"watch", "custom", "--timeout", "4"}), true, true);
    pause(watch, [&] { Tool({"set", "custom", "fa_clk"}); });
    ASSERT_EQ(0, Tool({"set", "custom", "fofb_switch"}).exitCode);
    EXPECT_TRUE(zvtest::WaitFor([&] { return watch.Out().find("fofb_switch\n") != std::string::npos; }, 10s));
    ::kill(watch.Pid(), SIGINT);
    const ToolResult r = watch.Wait();
    EXPECT_EQ(130, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
}

// A watch and a read stopped (Ctrl-Z) while their server is stopped (by
// SIGINT, or killed) and started again on its port, and continued as soon
// as it starts, before it listens, say that the server no longer knows them
// as it may have restarted (their subscription and read were the old
// server's), once the new server answers, and exit 1.
TEST_F(ZemtraToolOnTheServer, ToolsStoppedAcrossARestartOfTheServerSaySo)
{
    for (const int stop : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(stop == SIGINT ? "SIGINT" : "SIGKILL");
        ToolProcess watch(WithServer({"watch", "custom"}), true, true);
        ToolProcess read(WithServer({"read", "raf3.signals.sa", "--count", "100000"}), true, true);
        bool custom = false;
        ASSERT_TRUE(zvtest::WaitFor(
            [&] {
                custom = !custom; // a new value for the watch
                Tool({"set", "custom", custom ? "fa_clk" : "fofb_switch"});
                return watch.Out().find('\n') != std::string::npos && read.Out().find('\n') != std::string::npos;
            },
            20s));
        for (ToolProcess* tool : {&watch, &read}) {
            ::kill(tool->Pid(), SIGSTOP);
            ASSERT_TRUE(zvtest::WaitFor([&] { return Stopped(tool->Pid()); }, 10s));
        }
        ::kill(pid, stop);
        int status = 0;
        ASSERT_TRUE(Ended(pid, 30s, status));
        pid = -1;
        ASSERT_TRUE(Launch());
        for (ToolProcess* tool : {&watch, &read}) {
            ::kill(tool->Pid(), SIGCONT);
        }
        const ToolResult w = watch.Wait();
        const ToolResult r = read.Wait();
        const std::string server = "The server 127.0.0.1:" + std::to_string(port) + " no longer knows the ";
        EXPECT_EQ(1, w.exitCode);
        EXPECT_EQ(server + "subscription of custom: it may have restarted\n", w.err);
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(server + "read of raf3.signals.sa: it may have restarted\n", r.err);
        ASSERT_TRUE(Serving()) << ReadLog();
    }
}

// A read once of a live signal, in access mode 11 or 14 (on by LMT after
// the first chunk, mode 11 in mode 12), whose next chunk was overwritten
// while its reader did not take the rows says so, in the server's words. The
// history of "ddc_synthetic" holds about 2 s of turns.
TEST_F(ZemtraToolOnTheServer, ReadsThatFallBehindALiveSignalSayWhatHappened)
{
    const std::string read = "qsig: Can't read signal raf3.signals.ddc_synthetic in access mode ";
    const std::string after = " (after 32768 of 100000 atoms of raf3.signals.ddc_synthetic";
    const struct {
        const char* mode;
        std::string starts;
        std::string ends;
    } cases[] = {
        {"11", read + "12: -1 (bad request), the 32768 atoms at LMT ",
         after + ", reading on by LMT what access mode 11 began)\n"},
        {"14", read + "14: -1 (bad request), the 32768 atoms at LMT ", after + ")\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const ToolResult r =
            RunToolPiped(WithServer({"read", "raf3.signals.ddc_synthetic", "--mode", c.mode, "--count", "100000"}),
                         "{ sleep 6; wc -l; }");
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ("32769\n", r.out); // the header and the first chunk
        EXPECT_EQ(0u, r.err.rfind(c.starts, 0)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(" were overwritten: the history holds ")) << r.err;
        EXPECT_EQ(c.ends, r.err.substr(r.err.size() - std::min(r.err.size(), c.ends.size()))) << r.err;
    }
}

// Refusals say what is wrong: an enum value the node does not know, a
// coefficient file the FIR filter refuses (as the log says it), a server
// address that is none. A refused read prints no header.
TEST_F(ZemtraToolOnTheServer, RefusalsSayWhatIsWrong)
{
    const std::string fir = "raf3.signal_processing.filter_coefs.fir";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"set", "raf3.postmortem.source_select", "99"},
         "raf3.postmortem.source_select takes external, interlock, limits (or their numbers), not '99'\n"},
        {{"set", "raf3.postmortem.source_select", "limit"},
         "raf3.postmortem.source_select takes external, interlock, limits (or their numbers), not 'limit'\n"},
        // A read-only enum takes no value.
        {{"set", "gdx.fofb.state.mode", "bogus"}, "qreg: Node is not writable: mode\n"},
        {{"set", fir, "/nonexistent"},
         "qreg: Can't set value: setter function failed: fir: Error opening FIR coefficient file - /nonexistent. "
         "Error: 2 - No such file or directory\n"},
        {{"set", fir, "relative.conf"},
         "qreg: Can't set value: setter function failed: fir: Error opening FIR coefficient file - relative.conf. "
         "Error: 22 - not an absolute path\n"},
        {{"read", "raf3.tbt.tbt_window", "--mode", "10", "--time", "5000"},
         "qsig: Can't read signal raf3.tbt.tbt_window in access mode 10: -1 (bad request), atom 5000 lies past the "
         "buffer's end: the buffer holds 2048 atoms, 0 to 2047\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args.back());
        const ToolResult r = Tool(c.args);
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ("", r.out);
    }
    EXPECT_EQ("/var/opt/zemtra/cfg/fircoef_sr.conf\n", Tool({"get", fir}).out);

    const std::vector<std::pair<std::string, std::string>> addresses = {
        {"[::1", "no ']' closes the IPv6 address"},
        {"[::1]", "no port after the address, e.g. [::1]:18150"},
        {"[]:18150", "no address in the brackets"},
        {"[bpm]:18150", "'bpm' in brackets is no IPv6 address"},
        {"[::1]18150", "':' and the port expected after ']'"},
        {"::1", "write an IPv6 address in brackets, with the port, e.g. [::1]:18150"},
        {"127.0.0.1:99999", "the port must be from 1 to 65535, not 99999"},
        {"127.0.0.1:0", "the port must be from 1 to 65535, not 0"},
        {"127.0.0.1:", "no port after ':'"},
        {"127.0.0.1:http", "the port 'http' is no number"},
        {":18150", "no host before the port"},
        {"bpm/x:18150", "'bpm/x' is no host name or address"},
    };
    for (const auto& a : addresses) {
        const ToolResult r = RunTool({"--server", a.first, "ls"});
        EXPECT_EQ(1, r.exitCode) << a.first;
        EXPECT_EQ("Bad server address " + a.first + ": " + a.second + "\n", r.err);
    }
    EXPECT_EQ(0, Terminate());
}

// A start that the server refuses is said once on standard error, in words
// that say what is wrong, and the server exits 1 without serving: a bad
// command line in one line; a link in the place of the configuration's lock
// file (which the lock does not follow) named with where it leads.
TEST(ZemtraVunaCommandLine, ARefusedStartIsSaidOnceWithTheReason)
{
    zvtest::TempDir dir;
    const std::string d = dir.Path();
    ASSERT_EQ(0, ::mkdir((d + "/root").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((d + "/cfg").c_str(), 0755));
    ASSERT_EQ(0, ::symlink((d + "/nowhere").c_str(), (d + "/cfg/.zemtra-vuna.conf.lock").c_str()));
    const struct {
        std::string args;
        std::string said;
        bool alone; // the only line on standard error
    } cases[] = {
        {"--port 80000", "Bad command line: port must be a number from 1 to 65535, not '80000'.\n", true},
        {"--bogus", "Bad command line: unrecognised option '--bogus'\n", true},
        {"--trace-level 7", "Bad command line: trace level must be 0 to 4.\n", true},
        {"--root " + d + "/root --conf-dir " + d + "/cfg",
         "Configuration file " + d + "/cfg/zemtra-vuna.conf cannot be locked: its lock file " + d +
             "/cfg/.zemtra-vuna.conf.lock is a symbolic link (to " + d +
             "/nowhere), which the lock does not follow (remove the link); the start is refused.\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        // Standard error only, into the pipe; a server that started after all
        // is ended.
        FILE* server = ::popen(
            ("timeout -s KILL 60 " + ServerPath() + " --no-remote " + c.args + " 2>&1 >/dev/null").c_str(), "r");
        ASSERT_NE(nullptr, server);
        std::string err;
        char text[256];
        for (size_t n; (n = std::fread(text, 1, sizeof(text), server)) > 0;) {
            err.append(text, n);
        }
        const int status = ::pclose(server);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const size_t at = err.find(c.said);
        EXPECT_NE(std::string::npos, at) << err;
        EXPECT_EQ(std::string::npos, err.find(c.said, at + 1)) << err;
        if (c.alone) {
            EXPECT_EQ(c.said, err);
        }
    }
}

// A watch of a node without a value (a branch, a signal) is refused at
// once, in the words a get of it is refused in.
TEST_F(ZemtraToolTest, WatchOfANodeWithoutAValueIsRefusedAsItsGetIs)
{
    for (const char* path : {"tim", "clock_info", "signals.pll"}) {
        SCOPED_TRACE(path);
        const ToolResult get = Tool({"get", path});
        const ToolResult watch = Tool({"watch", path, "--timeout", "5"});
        EXPECT_EQ(1, get.exitCode);
        EXPECT_FALSE(get.err.empty());
        EXPECT_EQ(get.err, watch.err);
        EXPECT_EQ(get.exitCode, watch.exitCode);
        EXPECT_EQ("", watch.out);
    }
    EXPECT_EQ(0u, server.exporter.GetSubscriptionCount());
}

// ---- What the tool says, and how it exits ----

// Every command says so when it cannot write its output (into /dev/full: a
// full disk) and exits 1; one that prints nothing succeeds. An ls of a leaf
// shows it as its branch's ls does; an enum node given more values than it
// takes says how many it takes.
TEST_F(ZemtraToolTest, MessagesAndExitsOfTheCommands)
{
    const std::string full = ": No space left on device\n";
    const std::string takesOne = "custom takes one value (fofb_switch, fa_clk or their numbers), not 2\n";
    const struct {
        std::vector<std::string> args;
        const char* outFile;
        int exit;
        std::string out;
        std::string err;
    } cases[] = {
        {{"ls"}, "/dev/full", 1, "", "Can't write the list of the root" + full},
        {{"ls", "clock_info"}, "/dev/full", 1, "", "Can't write the list of clock_info" + full},
        {{"ls", "reset"}, "/dev/full", 1, "", "Can't write the list of reset" + full},
        {{"get", "custom"}, "/dev/full", 1, "", "Can't write the value of custom" + full},
        {{"read", "signals.adc", "--mode", "10", "--count", "2"},
         "/dev/full",
         1,
         "",
         "Can't write the atoms of signals.adc" + full},
        {{"-h"}, "/dev/full", 1, "", "Can't write the usage" + full},
        {{"set", "custom", "fa_clk"}, "/dev/full", 0, "", ""},
        {{"exec", "reset"}, "/dev/full", 0, "", ""},
        {{"set", "custom", "fa_clk", "extra"}, "", 1, "", takesOne},
        {{"set", "custom", "fa_clk", "fofb_switch"}, "", 1, "", takesOne},
        {{"set", "custom", "extra"}, "", 1, "", "custom takes fofb_switch, fa_clk (or their numbers), not 'extra'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " > " + c.outFile);
        std::vector<std::string> args = {"--server", server.Address()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolResult r = RunTool(args, c.outFile);
        EXPECT_EQ(c.exit, r.exitCode);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
    }
    // A leaf (a value, a command, a signal) in the line of its branch's
    // ls, byte for byte: its name padded as its siblings' are.
    for (const std::string leaf : {"clock_info.decimation.tbt", "reset", "signals.adc"}) {
        SCOPED_TRACE(leaf);
        const size_t dot = leaf.rfind('.');
        const std::string name = leaf.substr(dot == std::string::npos ? 0 : dot + 1);
        const ToolResult branch = Tool(dot == std::string::npos ? std::vector<std::string>{"ls"}
                                                                : std::vector<std::string>{"ls", leaf.substr(0, dot)});
        const size_t at = ("\n" + branch.out).find("\n" + name + " ");
        ASSERT_NE(std::string::npos, at) << branch.out;
        const ToolResult one = Tool({"ls", leaf});
        EXPECT_EQ(0, one.exitCode) << one.err;
        EXPECT_EQ(branch.out.substr(at, branch.out.find('\n', at) + 1 - at), one.out);
    }
    auto watch = std::async(std::launch::async, [&] {
        return RunTool({"--server", server.Address(), "watch", "tim.pll.locked", "--timeout", "20"}, "/dev/full");
    });
    ASSERT_TRUE(WatchSubscribed());
    server.tree.locked->SetValue(true, 0);
    const ToolResult r = watch.get();
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Can't write the values of tim.pll.locked" + full, r.err);
}

// A watch or read whose server was started anew meanwhile (here while the
// tool was stopped) is told that the server no longer knows it, and why that
// may be.
TEST_F(ZemtraToolTest, WatchAndReadSayThatTheServerMayHaveRestarted)
{
    const struct {
        std::vector<std::string> args;
        std::function<bool()> started;
        std::string what;
    } cases[] = {
        {{"watch", "tim.pll.locked"}, [&] { return WatchSubscribed(); }, "subscription of tim.pll.locked"},
        {{"read", "signals.pll", "--count", "5", "--timeout", "0"},
         [&] { return ReadOpened(); },
         "read of signals.pll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {"--server", server.Address()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolProcess tool(args);
        ASSERT_TRUE(c.started());
        ::kill(tool.Pid(), SIGSTOP);
        ASSERT_TRUE(
            zvtest::WaitFor([&] { return ProcessStatus(tool.Pid(), "State:").find('T') != std::string::npos; }, 10s));
        server.exporter.Stop();
        server.exporter.Start(server.tree.root, "127.0.0.1", server.port);
        ::kill(tool.Pid(), SIGCONT);
        const ToolResult r = tool.Wait();
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ("The server " + server.Address() + " no longer knows the " + c.what + ": it may have restarted\n",
                  r.err);
    }
}

// A read once that comes to the end of what the signal holds names the atom
// it ends at, numbered as the signal numbers them, unless it reads a history
// kept in sections, whose reads give the atoms of their section (and number
// the sections): then it says how many atoms the section holds (from the LMT
// given, in modes 12 and 14 with a time). In mode 10 the number of the first
// atom is the index asked for (the time plus the offset) when the read does
// not give it. An answer to the one-atom read that fixes a moving moment
// holds one atom at most, or none at the end.
TEST(ZemtraToolStandIn, ReadsThatComeToTheEndSayWhere)
{
    using Meta = std::vector<std::pair<std::int32_t, std::int64_t>>;
    // The answer to every read in an access mode (of no mode given: refused).
    struct Answer {
        int mode;
        std::uint32_t atoms;
        Meta meta;
    };
    const Answer read{0, 3, {{2, 17586}}};
    const Answer section{0, 3, {{2, 17586}, {zemtra_REMOTE::MetaSectionAtoms, 40}}};
    const auto in = [](int mode, Answer answer) {
        answer.mode = mode;
        return answer;
    };
    const std::string noMore = "No more atoms after 3 of 5 atoms of sig: ";
    const struct {
        std::vector<std::string> args;
        std::vector<Answer> answers;
        std::string err;
    } cases[] = {
        {{"--mode", "10"}, {in(10, section)}, noMore + "the section holds 3 atoms\n"},
        {{"--mode", "10", "--offset", "2"}, {in(10, section)}, noMore + "the section holds 5 atoms\n"},
        {{"--mode", "10", "--time", "100"}, {{10, 3, {}}}, noMore + "it ends at atom 102\n"},
        {{"--mode", "10", "--time", "90", "--offset", "10"},
         {{10, 3, {{0, 7}, {2, 100}}}},
         noMore + "it ends at atom 102\n"},
        {{"--mode", "10", "--time", "4"}, {in(10, read)}, noMore + "it ends at atom 17588\n"},
        {{"--mode", "12", "--time", "100"}, {in(12, read)}, noMore + "it ends at atom 17588\n"},
        {{"--mode", "11"}, {in(11, read)}, noMore + "it ends at atom 17588\n"},
        {{"--mode", "14"}, {in(14, read)}, noMore + "it ends at atom 17588\n"},
        {{"--mode", "11"}, {in(11, section)}, noMore + "the section holds 3 atoms\n"},
        {{"--mode", "14", "--offset", "2"}, {in(14, section)}, noMore + "the section holds 5 atoms\n"},
        {{"--mode", "12", "--time", "100"}, {in(12, section)}, noMore + "the section holds 3 atoms from LMT 100 on\n"},
        {{"--mode", "14", "--time", "100", "--offset", "-4"},
         {in(14, section)},
         noMore + "the section holds 3 atoms from LMT 100 on\n"},
        {{"--mode", "14", "--count", "200000"},
         {{14, 2, {}}},
         "The server sent 2 atoms of sig for a read of 1: refused, none printed\n"},
        {{"--mode", "11", "--count", "200000"}, {{11, 0, {}}}, "No more atoms after 0 of 200000 atoms of sig\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        StandIn standIn(7, SignalAnswersByMode([&](int mode) -> ReadAnswer {
                            for (const Answer& a : c.answers) {
                                if (a.mode == mode) {
                                    return [&a](zvtest::Cdr& cdr) { SignalData(cdr, a.atoms, a.atoms * 4, a.meta); };
                                }
                            }
                            return nullptr;
                        }));
        std::vector<std::string> args = {"--server", standIn.Address(), "read", "sig"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(args.begin(), args.end(), "--count") == args.end()) {
            args.insert(args.end(), {"--count", "5"});
        }
        const ToolResult r = RunTool(args);
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(c.err, r.err);
    }
}

// A history kept in sections whose section's number is, by chance, the index
// that a mode-10 read asks for (the time plus the offset) is read as a
// section all the same: its read gives the atoms of the section. The read
// ends with the section, and asks nothing more.
TEST(ZemtraToolStandIn, ASectionNumberedAsTheIndexAskedIsStillASection)
{
    std::atomic<int> reads{0};
    StandIn standIn(7, SignalAnswersByMode([&](int mode) -> ReadAnswer {
                        if (mode != 10) {
                            return nullptr;
                        }
                        reads.fetch_add(1);
                        return [](zvtest::Cdr& cdr) {
                            SignalData(cdr, 3, 12, {{2, 4}, {zemtra_REMOTE::MetaSectionAtoms, 3}});
                        };
                    }));
    const ToolResult r =
        RunTool({"--server", standIn.Address(), "read", "sig", "--mode", "10", "--time", "4", "--count", "5"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("No more atoms after 3 of 5 atoms of sig: the section holds 3 atoms\n", r.err);
    EXPECT_EQ(1, reads.load());
}

// A mode-10 read of a section longer than a chunk reads on in it by its place
// back from the newest, moved on by the sections that came meanwhile (their
// numbers tell), never by the LMT of its atoms: a section from before a
// synchronisation holds LMTs that a read by LMT no longer finds (the
// stand-in refuses it as not recorded yet). Its sections hold 10 atoms, a
// chunk 4, and one comes after the first read; an atom holds its section's
// number and its place in it.
TEST(ZemtraToolStandIn, ASectionLongerThanAChunkIsReadOnByItsPlaceBackFromTheNewest)
{
    std::atomic<int> reads{0};
    StandIn standIn(7, [&](const std::string& operation, const StandIn::Request& request) {
        if (operation == "GetSignal") {
            return SignalReply(request, 262144);
        }
        if (operation != "ReadSignalCoded") {
            return std::string();
        }
        // The arguments after the path "sig": mode, count, offset, time.
        const std::string& m = request.message;
        const size_t at = m.rfind(std::string("\x04\0\0\0sig\0", 8)) + 8;
        std::int32_t mode = 0;
        std::uint32_t count = 0;
        std::int64_t offset = 0;
        std::uint64_t time = 0;
        std::memcpy(&mode, &m[at], 4);
        std::memcpy(&count, &m[at + 4], 4);
        const size_t wide = (at + 8 + 7) / 8 * 8;
        std::memcpy(&offset, &m[wide], 8);
        std::memcpy(&time, &m[wide + 8], 8);
        const std::int64_t number = (reads.fetch_add(1) == 0 ? 100 : 101) - static_cast<std::int64_t>(time);
        const std::int64_t from = std::max<std::int64_t>(offset, 0);
        if (mode != 10 || from >= 10) {
            return StandIn::Reply(
                request,
                [&](zvtest::Cdr& cdr) {
                    cdr.String("IDL:zemtra_REMOTE/ReadRefusal:1.0");
                    cdr.String("refused");
                    cdr.ULong(static_cast<std::uint32_t>(mode == 10 ? -1 : -7));
                    cdr.Octet(1); // past the end
                    cdr.ULongLong(10);
                },
                1);
        }
        const std::uint32_t atoms = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(10 - from));
        return StandIn::Reply(request, [&](zvtest::Cdr& cdr) {
            cdr.ULong(atoms);
            cdr.ULong(atoms * 4);
            for (std::uint32_t i = 0; i < atoms; ++i) {
                for (const std::int64_t v : {number, from + i, std::int64_t{0}, std::int64_t{0}}) {
                    cdr.Octet(static_cast<unsigned char>(v));
                    cdr.Octet(static_cast<unsigned char>(v >> 8));
                }
            }
            for (int empty = 0; empty < 3; ++empty) {
                cdr.ULong(0);
            }
            cdr.ULong(3);
            for (const auto& entry : std::vector<std::pair<std::int32_t, std::int64_t>>{
                     {0, 1000 + from}, {2, number}, {zemtra_REMOTE::MetaSectionAtoms, 10}}) {
                cdr.ULong(static_cast<std::uint32_t>(entry.first));
                cdr.ULongLong(static_cast<std::uint64_t>(entry.second));
            }
        });
    });
    const ToolResult r = RunTool({"--server", standIn.Address(), "read", "sig", "--mode", "10", "--time", "2",
                                  "--offset", "1", "--count", "20"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("No more atoms after 9 of 20 atoms of sig: the section holds 10 atoms\n", r.err);
    std::string rows = "a,b,c,d\n";
    for (int i = 1; i < 10; ++i) {
        rows += "98," + std::to_string(i) + ",0,0\n";
    }
    EXPECT_EQ(rows, r.out);
}

// A refusal of the chunk after a whole one ends the read where the signal
// ends when its codes say that the read starts past the end of what the
// signal holds there (bad request or try again, past the end), whatever its
// words; any other refusal, and that of a server without codes, is told in
// the server's words. The stand-in's atoms are so large that a chunk holds 4.
TEST(ZemtraToolStandIn, ARefusalPastTheEndEndsTheReadByItsCodes)
{
    const std::string words = "refused";
    const std::string noMore = "No more atoms after 4 of 10 atoms of sig: it ends at atom 3\n";
    const std::string told = words + " (after 4 of 10 atoms of sig)\n";
    const struct {
        bool older;
        std::int32_t code;
        bool past;
        std::string err;
    } cases[] = {
        {false, -1, true, noMore}, {false, -7, true, noMore}, {false, -1, false, told},
        {false, -3, true, told},   {true, -1, true, told},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << (c.past ? ", past the end" : "")
                                        << (c.older ? ", older server" : ""));
        std::atomic<int> reads{0};
        StandIn standIn(7, [&](const std::string& operation, const StandIn::Request& request) {
            if (operation == "GetSignal") {
                return SignalReply(request, 262144);
            }
            if (c.older && operation == "ReadSignalCoded") {
                return StandIn::NoSuchOperation(request);
            }
            if (operation != "ReadSignal" && operation != "ReadSignalCoded") {
                return std::string();
            }
            if (reads.fetch_add(1) == 0) {
                return StandIn::Reply(request, [](zvtest::Cdr& cdr) { SignalData(cdr, 4, 16); });
            }
            return StandIn::Reply(
                request,
                [&](zvtest::Cdr& cdr) {
                    cdr.String(c.older ? "IDL:zemtra_REMOTE/RemoteError:1.0" : "IDL:zemtra_REMOTE/ReadRefusal:1.0");
                    cdr.String(words);
                    if (!c.older) {
                        cdr.ULong(static_cast<std::uint32_t>(c.code));
                        cdr.Octet(c.past ? 1 : 0);
                        cdr.ULongLong(0); // no section
                    }
                },
                1); // a user exception
        });
        const ToolResult r = RunTool({"--server", standIn.Address(), "read", "sig", "--mode", "10", "--count", "10"});
        EXPECT_EQ(1, r.exitCode);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(5u, static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')));
    }
}

// A read whose progress shows on a terminal, stopped (Ctrl-Z) for 5 s once
// it showed its progress and then continued, gives the rate over the time
// it ran: the time that each line's rate stands for (atoms / rate) grows by
// about half a second from the last line before the stop to the first one
// after it, not by the 5 s. Its atoms all come at once, many of them, so
// that the rate, printed as a whole number, tells that time to a
// millisecond however long a loaded machine takes to show the first line.
TEST_F(ZemtraToolTest, TheProgressRateLeavesOutTheTimeTheToolWasStopped)
{
    // 32 buffers, as many as the stream forwards at once, of 1000 atoms.
    constexpr unsigned c_buffers = 32;
    constexpr unsigned c_atoms = c_buffers * 1000;
    int terminal = -1;
    int errSide = -1;
    ASSERT_EQ(0, ::openpty(&terminal, &errSide, nullptr, nullptr, nullptr));
    const std::string path = ToolPath();
    std::vector<std::string> argv = {path,      "--server", server.Address(), "read", "signals.pll",
                                     "--count", "1000000",  "--timeout",      "0"};
    std::vector<char*> cargv = ExecArgs(argv);
    const pid_t tool = ::fork();
    if (tool == 0) {
        ::close(terminal);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(errSide, STDERR_FILENO);
        ::execv(path.c_str(), cargv.data());
        std::_Exit(127);
    }
    ::close(errSide);
    struct End {
        pid_t pid;
        int fd;
        ~End()
        {
            ::kill(pid, SIGCONT);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(fd);
        }
    } end{tool, terminal};
    std::string shown;
    // The seconds that the rate of a whole progress line read from the
    // terminal stands for, when that line counts every atom: the last line,
    // or the first after from.
    const auto lineOf = [&](size_t from, bool first, double& seconds) {
        const size_t close = first ? shown.find("\033[K", from) : shown.rfind("\033[K");
        const size_t open = close == std::string::npos ? close : shown.rfind('\r', close);
        unsigned long long atoms = 0;
        unsigned long long count = 0;
        double rate = 0;
        if (open == std::string::npos || open < from ||
            std::sscanf(shown.c_str() + open, "\r%llu of %llu atoms, %lf atoms/s", &atoms, &count, &rate) != 3 ||
            atoms != c_atoms || rate <= 0) {
            return false;
        }
        seconds = static_cast<double>(atoms) / rate;
        return true;
    };
    const auto readFor = [&](std::chrono::milliseconds wait) {
        pollfd polled{terminal, POLLIN, 0};
        char bytes[4096];
        while (::poll(&polled, 1, static_cast<int>(wait.count())) > 0) {
            const ssize_t n = ::read(terminal, bytes, sizeof(bytes));
            if (n <= 0) {
                return;
            }
            shown.append(bytes, static_cast<size_t>(n));
        }
    };
    ASSERT_TRUE(ReadOpened());
    const std::vector<double> values(2 * c_atoms / c_buffers, 1.0);
    for (unsigned i = 0; i < c_buffers; ++i) {
        server.tree.pll->Dispatch(values.data(), static_cast<unsigned>(values.size()), qsig::c_noMeta);
    }
    double before = 0;
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            readFor(10ms);
            return lineOf(0, false, before);
        },
        60s))
        << shown;
    ::kill(tool, SIGSTOP);
    ASSERT_TRUE(zvtest::WaitFor([&] { return ProcessStatus(tool, "State:").find('T') != std::string::npos; }, 10s));
    // Stopped for 5 s, while every line it wrote before comes in.
    const auto continued = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < continued) {
        readFor(100ms);
    }
    ASSERT_TRUE(lineOf(0, false, before)) << shown;
    const size_t stopped = shown.size();
    ::kill(tool, SIGCONT);
    double after = 0;
    ASSERT_TRUE(zvtest::WaitFor(
        [&] {
            readFor(10ms);
            return lineOf(stopped, true, after);
        },
        60s))
        << shown;
    // A rate that counted the 5 s stopped would stand for 5 s more; a busy
    // machine may delay the next line by a second or two.
    EXPECT_LT(after - before, 4.0) << shown;
}

// What a read says on standard error while it shows its progress on a
// terminal starts a line of its own, the progress line cleared first: how
// far it came at Ctrl-C while its output is blocked (a reader that takes no
// rows, as `less`), and that it lost its server.
TEST_F(ZemtraToolTest, WhatAReadSaysStartsALineOfItsOwnNotAfterItsProgress)
{
    const struct {
        const char* said;
        bool interrupted; // else the server goes away
        int exitCode;
    } cases[] = {
        {"Interrupted after ", true, 130}, {"Lost the server ", false, 1}, // (last: the server is gone)
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        int terminal = -1;
        int errSide = -1;
        ASSERT_EQ(0, ::openpty(&terminal, &errSide, nullptr, nullptr, nullptr));
        int out[2];
        ASSERT_EQ(0, ::pipe2(out, O_CLOEXEC));
        ::fcntl(out[1], F_SETPIPE_SZ, 4096); // (filled by fewer rows)
        std::vector<std::string> argv = {ToolPath(), "--server", server.Address(), "read", "signals.pll",
                                         "--count",  "1000000",  "--timeout",      "0"};
        std::vector<char*> cargv = ExecArgs(argv);
        const pid_t tool = ::fork();
        if (tool == 0) {
            ::close(terminal);
            if (::dup2(out[1], STDOUT_FILENO) < 0 || ::dup2(errSide, STDERR_FILENO) < 0) {
                std::_Exit(126);
            }
            ::execv(cargv[0], cargv.data());
            std::_Exit(127);
        }
        ::close(errSide);
        ::close(out[1]);
        std::string shown;
        const auto readFor = [&](std::chrono::milliseconds wait) {
            pollfd polled{terminal, POLLIN, 0};
            char bytes[4096];
            for (ssize_t n; ::poll(&polled, 1, static_cast<int>(wait.count())) > 0 &&
                            (n = ::read(terminal, bytes, sizeof(bytes))) > 0;) {
                shown.append(bytes, static_cast<size_t>(n));
            }
        };
        ASSERT_TRUE(ReadOpened());
        if (c.interrupted) {
            // More rows than the pipe holds, in one buffer; the progress
            // shows once the read has taken a second.
            const std::vector<double> values(20000, 1.0);
            server.tree.pll->Dispatch(values.data(), static_cast<unsigned>(values.size()), qsig::c_noMeta);
        }
        EXPECT_TRUE(zvtest::WaitFor(
            [&] {
                readFor(10ms);
                return shown.find("atoms/s\033[K") != std::string::npos &&
                       (!c.interrupted || WritingIntoAFullPipe(tool));
            },
            20s))
            << shown;
        if (c.interrupted) {
            ::kill(tool, SIGINT);
        } else {
            server.exporter.Stop();
        }
        int status = 0;
        EXPECT_TRUE(zvtest::WaitFor(
            [&] {
                readFor(10ms);
                return ::waitpid(tool, &status, WNOHANG) == tool;
            },
            20s));
        readFor(100ms);
        ::close(terminal);
        ::close(out[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status;
        const size_t at = shown.find(c.said);
        ASSERT_NE(std::string::npos, at) << shown;
        EXPECT_TRUE(at >= 4 && shown.compare(at - 4, 4, "\r\033[K") == 0) << shown;
    }
}

} // namespace
