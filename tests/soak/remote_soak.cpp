// Soak of the remote export: the "zemtra-vuna" server on the default
// simulated chassis with a crowd of client processes for a given time.
// Clients make get/set loops, watch nodes, read the PLL stream and the GDX
// board's on-demand FA signal, make one-shot reads, flood a quiet node with
// subscriptions, send requests with bytes after their arguments (or whose
// rest never comes), or send one-shot reads and reset the connection; one of
// them is killed (SIGKILL) and started anew every few seconds. Once a period
// the server's resident memory, threads and open descriptors are printed;
// the run fails when they grew past the bounds below between the end of the
// warm-up and the end of the run (once the server has settled after the
// clients are gone), when the memory of a long run grew past its bound from
// before the clients came, when a client crashes, or when the server dies or
// does not end cleanly on SIGTERM. A server built with AddressSanitizer keeps
// freed memory, so its memory is not judged: it ends with an error status on
// a leak (detect_leaks=1) or a fault.
// The server runs in the soak's folder and the clients in its clients/
// folder, where a core they dump goes when the core pattern is a plain file
// name. When the server dies, the soak prints how it ended, the stack of each
// of its threads (gdb, from its core) and the end of its log; a failed soak
// keeps its folder.
//
//   remote_soak [--seconds N] [--period S] [--clients N] [--kill-every S]
//               [--port N] [--server-binary PATH]
//   remote_soak --client KIND --server HOST:PORT [--count N] [--for S] [--path P] [--listen PORT]
//
// The second form is one client (getset, watch, stream, ondemand, read,
// flood, trailing, readreset, pipeline, messages, subscribe, values, stuck);
// "subscribe" makes N subscriptions of one callback object to a node (P, by
// default the quiet "clock_info.adc_frequency"), prints "ready" and the last
// id and idles until killed (used by the tests); "values" does the same and
// prints the first element of each value it gets on a line; "stuck" does it
// with a callback object that takes no value: its first call never returns,
// and its ORB reads no more of that connection (it answers liveness probes on
// others).
// Every client ends by itself after --for seconds (default 3600); its
// callback objects live on --listen PORT (default any port).
// Traffic stays on the loopback interface.

#include "tests/common/free_port.h"
#include "tests/common/giop_client.h"
#include "tests/common/resident_memory.h"

#include "zemtra_remote.hh"

#include <arpa/inet.h>
#include <dirent.h>
#include <glob.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Growth allowed between the warm-up sample and the final one.
constexpr long c_maxThreadGrowth = 4;
constexpr long c_maxFdGrowth = 8;
constexpr long c_maxRssGrowthKb = 24 * 1024;
// Growth allowed from before the clients came to the final sample, in runs
// of at least c_longRun (in a short one the warm-up takes most of it: the
// chassis' buffers that the readers touch, an allocator arena per thread).
constexpr long c_maxRssGrowthFromStartKb = 30 * 1024;
constexpr long c_longRunSeconds = 600;
// After the clients are gone, the server is judged no earlier than this
// (time to notice and settle: subscriptions probed, idle connections closed,
// request threads idle for the pool's idle time of 10 s gone), then as soon
// as it is within the bounds, at the latest at the deadline (a busy machine
// delays the threads' leaving).
constexpr auto c_settle = 15s;
constexpr auto c_settleDeadline = 120s;
// A client tries to start its ORB for this long, a pause between tries.
constexpr auto c_orbStartDeadline = 30s;
constexpr auto c_orbStartPause = 500ms;

std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (name == argv[i]) {
            return argv[i + 1];
        }
    }
    return fallback;
}

// ----------------------------------------------------------------- client

class ValueSink : public POA_zemtra_REMOTE::ValueCallback {
public:
    // print: each value's first element on a line of its own.
    explicit ValueSink(bool print = false) : m_print(print) {}
    void ValueChanged(const char*, const zemtra_REMOTE::StringSeq& values, CORBA::ULong) override
    {
        if (m_print && values.length() > 0) {
            std::cout << values[0].in() << std::endl;
        }
    }

private:
    const bool m_print;
};

class StuckSink : public POA_zemtra_REMOTE::ValueCallback {
public:
    void ValueChanged(const char*, const zemtra_REMOTE::StringSeq&, CORBA::ULong) override
    {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
};

class ReceiverSink : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq&, const q_NET::MetaSeq&) override { return 0; }
};

template <typename T> typename T::_ptr_type Activate(PortableServer::POA_ptr poa, PortableServer::Servant servant)
{
    PortableServer::ObjectId_var id = poa->activate_object(servant);
    CORBA::Object_var obj = poa->id_to_reference(id);
    servant->_remove_ref();
    return T::_narrow(obj);
}

// The arguments of GetText of the node "custom".
void GetTextArgs(zvtest::Cdr& c)
{
    c.String("custom");
    c.ULong(0);
    c.ULong(0);
}

// What no client sends a server, or a cancel of the request of the id: a
// Reply or LocateReply, a CloseConnection or a CancelRequest of GIOP 1.minor.
std::string OddMessage(remote::giop::MsgType_e type, unsigned char minor, uint32_t id)
{
    zvtest::Cdr cdr;
    switch (type) {
    case remote::giop::MsgType_e::eReply:
        if (minor < 2) {
            cdr.ULong(0); // no service contexts
        }
        cdr.ULong(id);
        cdr.ULong(0); // NO_EXCEPTION
        if (minor == 2) {
            cdr.ULong(0);
        }
        break;
    case remote::giop::MsgType_e::eLocateReply:
        cdr.ULong(id);
        cdr.ULong(1); // OBJECT_HERE
        break;
    case remote::giop::MsgType_e::eCancelRequest:
        return zvtest::CancelRequest(minor, id);
    default:
        break;
    }
    return cdr.Message(static_cast<unsigned char>(type), zvtest::Framing(), minor);
}

// "pipeline": requests sent one after another on one connection without
// reading a reply, as long as the connection takes them, for a second or
// two; the connection is then closed or reset and the next one opened.
void RunPipelineClient(unsigned short port, Clock::time_point end)
{
    for (unsigned long round = 0; Clock::now() < end; ++round) {
        const int fd = zvtest::ConnectFrom(port);
        if (fd < 0) {
            std::this_thread::sleep_for(100ms);
            continue;
        }
        const auto until = std::min(end, Clock::now() + std::chrono::milliseconds(1000 + 250 * (round % 5)));
        for (uint32_t id = 1; Clock::now() < until; ++id) {
            const std::string request = zvtest::GiopRequestOf(2, id, "ZemtraRemote", "GetText", GetTextArgs);
            const ssize_t n = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                break;
            }
            if (n != static_cast<ssize_t>(request.size())) {
                // Full (or a request sent in part: the rest never comes).
                std::this_thread::sleep_for(20ms);
                if (n > 0) {
                    break;
                }
            }
        }
        if (round % 2 == 0) {
            zvtest::Reset(fd);
        } else {
            ::close(fd);
        }
    }
}

// "messages": on each connection a request, then a Reply, LocateReply,
// CloseConnection or CancelRequest (a cancel of the request before it), then
// another request, all of GIOP 1.0 to 1.2 in turn; what the server answers
// is read for a while, and the connection closed.
void RunMessagesClient(unsigned short port, Clock::time_point end)
{
    const remote::giop::MsgType_e types[] = {remote::giop::MsgType_e::eCancelRequest, remote::giop::MsgType_e::eReply,
                                             remote::giop::MsgType_e::eLocateReply,
                                             remote::giop::MsgType_e::eCloseConnection};
    for (unsigned long round = 0; Clock::now() < end; ++round) {
        const auto type = types[round % 4];
        const auto minor = static_cast<unsigned char>((round / 4) % 3);
        const auto id = static_cast<uint32_t>(2 * round + 1);
        const int fd = zvtest::ConnectFrom(port);
        const auto get = [&](uint32_t n) {
            return zvtest::GiopRequestOf(minor, n, "ZemtraRemote", "GetText", GetTextArgs);
        };
        if (fd < 0 || !zvtest::SendAll(fd, get(id) + OddMessage(type, minor, id) + get(id + 1))) {
            std::this_thread::sleep_for(100ms);
        } else {
            bool closed = false;
            for (int i = 0; i < 3 && !closed; ++i) {
                zvtest::Receive(fd, 200ms, closed);
            }
        }
        if (fd >= 0) {
            ::close(fd);
        }
        std::this_thread::sleep_for(5ms);
    }
}

// Clients that talk GIOP over raw sockets: "pipeline" and "messages" above;
// the others each request on a connection of its own: "trailing" sends
// requests with bytes after their arguments, and long ones whose rest never
// comes or that no object serves, reset midway; "readreset" sends one-shot
// reads and resets the connection before, while or after the server answers.
int RunRawClient(const std::string& kind, const std::string& server, long seconds)
{
    const auto port = static_cast<unsigned short>(std::atoi(server.substr(server.rfind(':') + 1).c_str()));
    if (kind == "pipeline") {
        RunPipelineClient(port, Clock::now() + std::chrono::seconds(seconds));
        return 0;
    }
    if (kind == "messages") {
        RunMessagesClient(port, Clock::now() + std::chrono::seconds(seconds));
        return 0;
    }
    const auto getText = GetTextArgs;
    const std::string tail(8, '\0');
    const std::string longTail(9000, '\0');
    const auto withTail = [](const std::function<void(zvtest::Cdr&)>& args, const std::string& bytes) {
        return [=](zvtest::Cdr& c) {
            args(c);
            c.Raw(bytes);
        };
    };
    const auto read = [](uint32_t count) {
        return [=](zvtest::Cdr& c) {
            c.String("raf3.signals.adc");
            c.ULong(10); // mode: from an index
            c.ULong(count);
            c.ULongLong(0); // offset
            c.ULongLong(0); // time
            c.ULong(2000);  // wait
        };
    };
    struct Sent {
        std::string message;
        bool reset; // reset once sent, else read the answer
    };
    std::vector<Sent> sent;
    if (kind == "trailing") {
        sent = {
            {zvtest::GiopRequest("ZemtraRemote", "GetText", withTail(getText, tail)), false},
            {zvtest::GiopRequest("ZemtraRemote", "_is_a",
                                 withTail([](zvtest::Cdr& c) { c.String("IDL:zemtra_REMOTE/Registry:1.0"); }, tail)),
             false},
            {zvtest::GiopRequest("ZemtraRemote", "_non_existent", withTail([](zvtest::Cdr&) {}, tail)), false},
            {zvtest::GiopRequest("ZemtraRemote", "GetText", withTail(getText, longTail), zvtest::ClaimingMore(20000)),
             true},
            {zvtest::GiopRequest("ZemtraRemote", "NoSuchOperation", withTail(getText, longTail),
                                 zvtest::ClaimingMore(20000)),
             true},
            {zvtest::GiopRequest("NoSuchObject", "GetText", withTail(getText, longTail), zvtest::ClaimingMore(20000)),
             true}};
    } else if (kind == "readreset") {
        sent = {{zvtest::GiopRequest("ZemtraRemote", "ReadSignal", read(1000)), true},
                {zvtest::GiopRequest("ZemtraRemote", "ReadSignal", read(8192)), true}};
    } else {
        std::cerr << "unknown client kind " << kind << "\n";
        return 2;
    }
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (unsigned long round = 0; Clock::now() < end; ++round) {
        const Sent& s = sent[round % sent.size()];
        const int fd = zvtest::ConnectFrom(port);
        if (fd < 0 || !zvtest::SendAll(fd, s.message)) {
            std::this_thread::sleep_for(100ms);
        } else if (s.reset) {
            // Before, while or after the server answers.
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 7));
            zvtest::Reset(fd);
            continue;
        } else {
            zvtest::Receive(fd, 2000ms);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        std::this_thread::sleep_for(5ms);
    }
    return 0;
}

int RunOrbClient(const std::string& kind, const std::string& server, long count, Clock::time_point end,
                 const std::string& path, CORBA::ORB_ptr orb, PortableServer::POA_ptr poa)
{
    const bool stuck = kind == "stuck";
    zemtra_REMOTE::ValueCallback_var callback = Activate<zemtra_REMOTE::ValueCallback>(
        poa, stuck ? static_cast<PortableServer::Servant>(new StuckSink()) : new ValueSink(kind == "values"));
    q_NET::SignalReceiver_var receiver = Activate<q_NET::SignalReceiver>(poa, new ReceiverSink());
    CORBA::Object_var obj = orb->string_to_object(("corbaloc::" + server + "/ZemtraRemote").c_str());
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_narrow(obj);

    long round = 0;
    long made = 0; // subscriptions of flood and subscribe
    while (Clock::now() < end) {
        try {
            if (kind == "getset") {
                zemtra_REMOTE::StringSeq v;
                v.length(1);
                v[0] = (round % 2) ? "fa_clk" : "fofb_switch";
                registry->SetText("custom", 0, v);
                zemtra_REMOTE::StringSeq_var got = registry->GetText("custom", 0, 0);
                zemtra_REMOTE::NodeInfoSeq_var list = registry->List("tim.pll");
                try {
                    registry->GetText("no.such.node", 0, 0);
                } catch (const zemtra_REMOTE::RemoteError&) {
                }
                std::this_thread::sleep_for(2ms);
            } else if (kind == "watch") {
                const CORBA::ULongLong a = registry->Subscribe("custom", callback);
                const CORBA::ULongLong b = registry->Subscribe("tim.pll.locked", callback);
                std::this_thread::sleep_for(2s);
                registry->Unsubscribe(a);
                registry->Unsubscribe(b);
            } else if (kind == "stream" || kind == "ondemand") {
                const bool stream = kind == "stream";
                const CORBA::ULongLong s =
                    registry->OpenSignal(stream ? "tim.pll" : "gdx.signals.fa", receiver, 13, stream ? 0 : 100, 0);
                std::this_thread::sleep_for(3s);
                registry->CloseSignal(s);
            } else if (kind == "read") {
                // One-shot reads of the history (the soak kills the client
                // while one is on its way).
                zemtra_REMOTE::SignalData_var data = registry->ReadSignal("raf3.signals.adc", 10, 8192, 0, 0, 2000);
                std::this_thread::sleep_for(20ms);
            } else if (kind == "flood" || kind == "subscribe" || kind == "values" || stuck) {
                // Refusals (a bound reached) are tried again in the next round.
                const bool done = made == count;
                CORBA::ULongLong last = 0;
                while (made < count) {
                    last = registry->Subscribe(path.c_str(), callback);
                    ++made;
                }
                if (!done && kind != "flood") {
                    std::cout << "ready " << last << std::endl;
                }
                std::this_thread::sleep_for(200ms);
            } else {
                std::cerr << "unknown client kind " << kind << "\n";
                return 2;
            }
        } catch (const CORBA::Exception&) {
            // The server may refuse (bounds) or be busy: keep going, slowly.
            std::this_thread::sleep_for(100ms);
        }
        ++round;
    }
    if (stuck) {
        std::_Exit(0); // its call never returns: no shutdown waits for it
    }
    return 0;
}

// Starts a client's ORB with its root POA active. Its endpoint (a port of
// its own for the callbacks) may fail to start while the machine is short of
// ports: tried again until the deadline.
bool StartOrb(Clock::time_point deadline, const std::string& listen, bool stuck, CORBA::ORB_var& orb,
              PortableServer::POA_var& poa, std::string& failure)
{
    const std::string endpoint = "giop:tcp:127.0.0.1:" + listen;
    for (;;) {
        try {
            int argc = 0;
            char* argv[] = {nullptr};
            // A stuck client serves one callback of a connection at a time.
            const char* options[][2] = {{"endPoint", endpoint.c_str()},
                                        {"clientCallTimeOutPeriod", "10000"},
                                        {stuck ? "maxServerThreadPerConnection" : nullptr, "1"},
                                        {nullptr, nullptr}};
            orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
            CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
            poa = PortableServer::POA::_narrow(obj);
            PortableServer::POAManager_var manager = poa->the_POAManager();
            manager->activate();
            return true;
        } catch (const CORBA::SystemException& e) {
            failure = std::string(e._name()) + " (minor " + std::to_string(e.minor()) + ")";
        }
        if (!CORBA::is_nil(orb)) {
            try {
                orb->destroy();
            } catch (const CORBA::Exception&) {
            }
            orb = CORBA::ORB::_nil();
        }
        if (Clock::now() + c_orbStartPause >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(c_orbStartPause);
    }
}

int RunClient(const std::string& kind, const std::string& server, long count, long seconds, const std::string& path,
              const std::string& listen)
{
    if (kind == "trailing" || kind == "readreset" || kind == "pipeline" || kind == "messages") {
        return RunRawClient(kind, server, seconds);
    }
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    CORBA::ORB_var orb;
    PortableServer::POA_var poa;
    std::string failure;
    if (!StartOrb(std::min(end, Clock::now() + c_orbStartDeadline), listen, kind == "stuck", orb, poa, failure)) {
        std::cerr << "soak client " << kind << ": its ORB did not start: " << failure << "\n";
        return 3;
    }
    try {
        const int rc = RunOrbClient(kind, server, count, end, path, orb, poa);
        orb->shutdown(true);
        orb->destroy();
        return rc;
    } catch (const CORBA::SystemException& e) {
        std::cerr << "soak client " << kind << ": " << e._name() << " (minor " << e.minor() << ")\n";
        return 3;
    } catch (const CORBA::Exception& e) {
        std::cerr << "soak client " << kind << ": " << e._name() << "\n";
        return 3;
    }
}

// ------------------------------------------------------------------ parent

struct Sample {
    long rssKb = 0;
    long threads = 0;
    long fds = 0;
};

Sample Measure(pid_t pid)
{
    Sample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            s.rssKb = std::atol(line.c_str() + 6);
        } else if (line.rfind("Threads:", 0) == 0) {
            s.threads = std::atol(line.c_str() + 8);
        }
    }
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = ::readdir(d)) {
            s.fds += e->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(d);
    }
    return s;
}

std::string SelfPath()
{
    char exe[4096] = {0};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    return n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
}

// Starts a program in the folder given, its output (and error) appended to
// log.
pid_t Spawn(const std::vector<std::string>& args, const std::string& folder, const std::string& log)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!log.empty() && std::freopen(log.c_str(), "a", stdout) != nullptr) {
            ::dup2(::fileno(stdout), 2);
        }
        if (::chdir(folder.c_str()) != 0) {
            std::_Exit(127);
        }
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    return pid;
}

// Whether a child runs; when it has ended, status says how.
bool Alive(pid_t pid, int& status)
{
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

std::string Ending(int status)
{
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")" +
               (WCOREDUMP(status) ? ", core dumped" : "");
    }
    return "status " + std::to_string(status);
}

std::string FirstLine(const std::string& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The core file that a process which dumped core left, found as
// /proc/sys/kernel/core_pattern says: a file pattern (relative to the
// process's folder; %p is its pid, other specifiers match any text), or a
// helper: systemd-coredump (the core is written out with coredumpctl) or
// apport (which keeps cores of programs outside packages in its folder).
// Empty when none is found within a few seconds.
std::string FindCore(pid_t pid, const std::string& folder)
{
    const std::string pattern = FirstLine("/proc/sys/kernel/core_pattern");
    const std::string id = std::to_string(pid);
    const auto end = Clock::now() + 10s;
    if (pattern.find("systemd-coredump") != std::string::npos) {
        const std::string core = folder + "/core." + id;
        const std::string dump = "coredumpctl --quiet dump " + id + " --output '" + core + "' >/dev/null 2>&1";
        while (std::system(dump.c_str()) != 0) {
            if (Clock::now() > end) {
                return {};
            }
            std::this_thread::sleep_for(500ms);
        }
        return core;
    }
    std::vector<std::string> patterns;
    if (pattern.rfind("|", 0) == 0) {
        patterns = {"/var/lib/apport/coredump/core.*." + id + ".*", folder + "/core"};
    } else {
        std::string file;
        bool withPid = false;
        for (size_t i = 0; i < pattern.size(); ++i) {
            if (pattern[i] != '%' || i + 1 == pattern.size()) {
                file += pattern[i];
            } else if (pattern[++i] == 'p') {
                file += id;
                withPid = true;
            } else {
                file += pattern[i] == '%' ? "%" : "*";
            }
        }
        if (file.empty()) {
            file = "core";
        }
        if (!withPid && FirstLine("/proc/sys/kernel/core_uses_pid") == "1") {
            file += "." + id;
        }
        patterns = {file[0] == '/' ? file : folder + "/" + file};
    }
    for (;;) {
        for (const std::string& p : patterns) {
            glob_t found{};
            const bool any = ::glob(p.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0;
            const std::string first = any ? found.gl_pathv[0] : "";
            ::globfree(&found);
            if (any) {
                return first;
            }
        }
        if (Clock::now() > end) {
            return {};
        }
        std::this_thread::sleep_for(500ms);
    }
}

void PrintCommand(const std::string& command)
{
    if (FILE* out = ::popen(command.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof(line), out) != nullptr) {
            std::fputs(line, stdout);
        }
        ::pclose(out);
    }
    std::fflush(stdout);
}

// What a server that died left: its core's threads, each with its stack
// (by gdb), and the end of its log (from a sanitizer's first report on).
void ReportDeath(pid_t pid, int status, const std::string& binary, const std::string& folder)
{
    std::printf("soak: FAILED: the server died: %s; its log: %s/server.log\n", Ending(status).c_str(), folder.c_str());
    if (WIFSIGNALED(status) && WCOREDUMP(status)) {
        const std::string core = FindCore(pid, folder);
        if (core.empty()) {
            std::printf("soak: its core was not found (core_pattern '%s')\n",
                        FirstLine("/proc/sys/kernel/core_pattern").c_str());
        } else if (std::system("command -v gdb >/dev/null 2>&1") != 0) {
            std::printf("soak: its core: %s (no gdb here to print its stacks)\n", core.c_str());
        } else {
            std::printf("soak: its core: %s; the stack of every thread:\n", core.c_str());
            std::fflush(stdout);
            PrintCommand("gdb -batch -nx -ex 'thread apply all bt' '" + binary + "' '" + core +
                         "' 2>&1 | grep -v '^\\[New LWP'");
        }
    } else if (WIFSIGNALED(status)) {
        rlimit limit{};
        ::getrlimit(RLIMIT_CORE, &limit);
        std::printf("soak: no core dumped%s\n",
                    limit.rlim_cur == 0 ? " (the core size limit is 0: ulimit -c unlimited keeps one)" : "");
    }
    std::printf("soak: the end of the server's log:\n");
    std::fflush(stdout);
    const std::string log = "'" + folder + "/server.log'";
    PrintCommand("line=$(grep -n -m 1 -E 'Sanitizer|runtime error' " + log + " | cut -d: -f1); if [ -n \"$line\" ]; " +
                 "then tail -n +$line " + log + " | head -n 400; else tail -n 40 " + log + "; fi");
}

void Print(const char* what, long elapsed, const Sample& s)
{
    std::printf("soak %-8s t=%5lds  rss=%7ld kB  threads=%4ld  fds=%4ld\n", what, elapsed, s.rssKb, s.threads, s.fds);
    std::fflush(stdout);
}

// Growth of the server between samples, and whether it is within the
// bounds.
struct Growth {
    long threads = 0;
    long fds = 0;
    long rssKb = 0;          // from the baseline
    long rssFromStartKb = 0; // from before the clients came

    Growth(const Sample& start, const Sample& baseline, const Sample& last)
        : threads(last.threads - baseline.threads), fds(last.fds - baseline.fds), rssKb(last.rssKb - baseline.rssKb),
          rssFromStartKb(last.rssKb - start.rssKb)
    {
    }

    bool Within(long seconds) const
    {
        const bool judgeRss = zvtest::c_freedMemoryGoesBack;
        return threads <= c_maxThreadGrowth && fds <= c_maxFdGrowth &&
               !(judgeRss && (rssKb > c_maxRssGrowthKb ||
                              (seconds >= c_longRunSeconds && rssFromStartKb > c_maxRssGrowthFromStartKb)));
    }
};

int RunSoak(int argc, char** argv)
{
    const long seconds = std::atol(Arg(argc, argv, "--seconds", "60").c_str());
    const long period = std::atol(Arg(argc, argv, "--period", seconds >= 600 ? "60" : "10").c_str());
    const std::vector<std::string> kinds = {"getset",   "watch",     "stream", "ondemand", "read",     "flood",
                                            "trailing", "readreset", "getset", "watch",    "pipeline", "messages"};
    const int clients = std::atoi(Arg(argc, argv, "--clients", std::to_string(kinds.size()).c_str()).c_str());
    const long killEvery = std::max(1L, std::atol(Arg(argc, argv, "--kill-every", "4").c_str()));
    const std::string self = SelfPath();
    // The server runs in the soak's folder, where its core goes.
    const std::string given =
        Arg(argc, argv, "--server-binary", self.substr(0, self.rfind('/')) + "/../app/zemtra-vuna");
    char* resolved = ::realpath(given.c_str(), nullptr);
    if (resolved == nullptr) {
        std::fprintf(stderr, "soak: no server %s: %s\n", given.c_str(), std::strerror(errno));
        return 1;
    }
    const std::string serverBinary = resolved;
    std::free(resolved);
    char dirTemplate[] = "/tmp/zv_soak_XXXXXX";
    const char* made = ::mkdtemp(dirTemplate);
    if (made == nullptr) {
        std::fprintf(stderr, "soak: cannot make a temporary directory\n");
        return 1;
    }
    const std::string dir = made;
    ::mkdir((dir + "/cfg").c_str(), 0755);
    ::mkdir((dir + "/root").c_str(), 0755);
    ::mkdir((dir + "/clients").c_str(), 0755);
    const long portArg = std::atol(Arg(argc, argv, "--port", "0").c_str());
    const unsigned short port = portArg > 0 ? static_cast<unsigned short>(portArg) : zvtest::FreePort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    std::printf("soak: %ld s, %d clients, server %s on %s, files in %s\n", seconds, clients, serverBinary.c_str(),
                address.c_str(), dir.c_str());
    std::fflush(stdout); // before the children inherit the buffer

    const pid_t server =
        Spawn({serverBinary, "--conf-dir", dir + "/cfg", "--root", dir + "/root", "--port", std::to_string(port)}, dir,
              dir + "/server.log");
    int status = 0;
    // Ready once it answers.
    {
        int orbArgc = 0;
        char* orbArgv[] = {nullptr};
        CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv, "omniORB4");
        bool ready = false;
        for (auto end = Clock::now() + 60s; !ready && Clock::now() < end && Alive(server, status);) {
            try {
                CORBA::Object_var obj = orb->string_to_object(("corbaloc::" + address + "/ZemtraRemote").c_str());
                ready = !obj->_non_existent();
            } catch (const CORBA::Exception&) {
                std::this_thread::sleep_for(200ms);
            }
        }
        orb->destroy();
        if (!ready) {
            if (Alive(server, status)) {
                ::kill(server, SIGKILL);
                ::waitpid(server, &status, 0);
                std::printf("soak: FAILED: the server did not start (see %s/server.log)\n", dir.c_str());
            } else {
                ReportDeath(server, status, serverBinary, dir);
            }
            return 1;
        }
    }

    const Sample start = Measure(server);
    Print("start", 0, start);
    auto startClient = [&](int i) {
        return Spawn({self, "--client", kinds[static_cast<size_t>(i) % kinds.size()], "--server", address, "--count",
                      "200", "--for", std::to_string(seconds + 60)},
                     dir + "/clients", dir + "/client.log");
    };
    std::vector<pid_t> pids;
    for (int i = 0; i < clients; ++i) {
        pids.push_back(startClient(i));
    }
    // Clients run until they are killed: one whose ORB could not start
    // (status 3) is reported, and one that ended otherwise (a crash, a
    // sanitizer's report) fails the soak.
    int crashedClients = 0;
    auto stopClient = [&](int i) {
        int ending = 0;
        ::kill(pids[static_cast<size_t>(i)], SIGKILL);
        ::waitpid(pids[static_cast<size_t>(i)], &ending, 0);
        if (WIFSIGNALED(ending) && WTERMSIG(ending) == SIGKILL) {
            return;
        }
        const bool crashed = !WIFEXITED(ending) || WEXITSTATUS(ending) != 3;
        crashedClients += crashed ? 1 : 0;
        std::printf("soak: %sclient %s ended by itself: %s (see %s/client.log%s)\n", crashed ? "FAILED: " : "",
                    kinds[static_cast<size_t>(i) % kinds.size()].c_str(), Ending(ending).c_str(), dir.c_str(),
                    WCOREDUMP(ending) ? (" and its core in " + dir + "/clients").c_str() : "");
    };

    const auto begin = Clock::now();
    auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count(); };
    const long warmup = std::min<long>(period, std::max<long>(seconds / 4, 5));
    Sample baseline;
    bool haveBaseline = false;
    long nextReport = warmup;
    long kills = 0;
    int victim = 0;
    bool serverDied = false;
    while (elapsed() < seconds) {
        std::this_thread::sleep_for(1s);
        if (!Alive(server, status)) {
            serverDied = true;
            break;
        }
        // A client is killed and started anew every few seconds.
        if (elapsed() % killEvery == 0) {
            stopClient(victim);
            pids[static_cast<size_t>(victim)] = startClient(victim);
            victim = (victim + 1) % clients;
            ++kills;
        }
        if (elapsed() >= nextReport) {
            const Sample s = Measure(server);
            if (!haveBaseline) {
                baseline = s;
                haveBaseline = true;
            }
            Print(nextReport == warmup ? "baseline" : "running", elapsed(), s);
            nextReport += period;
        }
    }
    for (int i = 0; i < clients; ++i) {
        stopClient(i);
    }
    if (serverDied) {
        std::printf("soak: at t=%lds\n", static_cast<long>(elapsed()));
        ReportDeath(server, status, serverBinary, dir);
        return 1;
    }
    // The server settles once the clients are gone: subscriptions probed,
    // idle connections closed, request threads leaving the pool after its
    // idle time. Judged once within the bounds, at the latest at the
    // deadline.
    const auto gone = Clock::now();
    std::this_thread::sleep_for(c_settle);
    Sample last = Measure(server);
    while (!Growth(start, baseline, last).Within(seconds) && Clock::now() < gone + c_settleDeadline &&
           Alive(server, status)) {
        std::this_thread::sleep_for(1s);
        last = Measure(server);
    }
    if (!Alive(server, status)) {
        ReportDeath(server, status, serverBinary, dir);
        return 1;
    }
    const Growth growth(start, baseline, last);
    Print("final", elapsed(), last);
    const long settled = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - gone).count();
    std::printf("soak: %ld clients killed and restarted\n", kills);
    std::printf("soak: %ld s after the clients stopped: threads %+ld, fds %+ld, rss %+ld kB from the baseline, rss "
                "%+ld kB from the start\n",
                settled, growth.threads, growth.fds, growth.rssKb, growth.rssFromStartKb);
    int rc = crashedClients > 0 ? 1 : 0;
    if (!growth.Within(seconds)) {
        const bool fromStart = seconds >= c_longRunSeconds;
        std::printf("soak: FAILED: growth past the bounds: threads %+ld (bound +%ld), fds %+ld (bound +%ld), rss %+ld "
                    "kB from the baseline (bound +%ld)",
                    growth.threads, c_maxThreadGrowth, growth.fds, c_maxFdGrowth, growth.rssKb, c_maxRssGrowthKb);
        if (fromStart) {
            std::printf(", rss %+ld kB from the start (bound +%ld)", growth.rssFromStartKb, c_maxRssGrowthFromStartKb);
        }
        std::printf("\n");
        rc = 1;
    }
    ::kill(server, SIGTERM);
    bool ended = false;
    for (auto end = Clock::now() + 30s; !ended && Clock::now() < end;) {
        ended = ::waitpid(server, &status, WNOHANG) == server;
        std::this_thread::sleep_for(50ms);
    }
    if (!ended) {
        ::kill(server, SIGKILL);
        ::waitpid(server, &status, 0);
        std::printf("soak: FAILED: the server did not stop on SIGTERM\n");
        rc = 1;
    } else if (WIFSIGNALED(status)) {
        ReportDeath(server, status, serverBinary, dir);
        rc = 1;
    } else if (WEXITSTATUS(status) != 0) {
        std::printf("soak: FAILED: the server ended with %s\n", Ending(status).c_str());
        // What a sanitizer reported.
        std::ifstream log(dir + "/server.log");
        for (std::string line; std::getline(log, line);) {
            if (line.find("Sanitizer") != std::string::npos || line.find("leak of") != std::string::npos) {
                std::printf("soak: server: %s\n", line.c_str());
            }
        }
        rc = 1;
    }
    if (rc == 0) {
        std::system(("rm -rf '" + dir + "'").c_str());
        std::printf("soak passed\n");
    } else {
        std::printf("soak: its files are kept in %s\n", dir.c_str());
    }
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string kind = Arg(argc, argv, "--client", "");
    if (!kind.empty()) {
        return RunClient(kind, Arg(argc, argv, "--server", "127.0.0.1:18150"),
                         std::atol(Arg(argc, argv, "--count", "100").c_str()),
                         std::atol(Arg(argc, argv, "--for", "3600").c_str()),
                         Arg(argc, argv, "--path", "clock_info.adc_frequency"), Arg(argc, argv, "--listen", ""));
    }
    return RunSoak(argc, argv);
}
