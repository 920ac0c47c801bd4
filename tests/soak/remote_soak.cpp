// Soak of the remote export: the "zemtra-vuna" server on the default
// simulated chassis with a crowd of client processes for a given time.
// Clients make get/set loops, watch nodes, read the PLL stream and the GDX
// board's on-demand FA signal, make one-shot reads, flood a quiet node with
// subscriptions, send requests with bytes after their arguments (or whose
// rest never comes), or send one-shot reads and reset the connection; one of
// them is killed (SIGKILL) and started anew every few seconds. Once a period
// the server's resident memory, threads and open descriptors are printed;
// the run fails when they grew past the bounds below between the end of the
// warm-up and the end of the run (after the clients are gone), when the
// memory of a long run grew past its bound from before the clients came, or
// when the server dies or does not end cleanly on SIGTERM. A server built with
// AddressSanitizer keeps freed memory, so its memory is not judged: it ends
// with an error status on a leak (detect_leaks=1) or a fault.
//
//   remote_soak [--seconds N] [--period S] [--clients N] [--kill-every S]
//               [--port N] [--server-binary PATH]
//   remote_soak --client KIND --server HOST:PORT [--count N] [--for S] [--path P] [--listen PORT]
//
// The second form is one client (getset, watch, stream, ondemand, read,
// flood, trailing, readreset, subscribe, values, stuck); "subscribe" makes N
// subscriptions of one callback object to a node (P, by default the quiet
// "clock_info.adc_frequency"), prints "ready" and the last id and idles until
// killed (used by the tests); "values" does the same and prints the first
// element of each value it gets on a line; "stuck" does it with a callback
// object that takes no value: its first call never returns, and its ORB reads
// no more of that connection (it answers liveness probes on others).
// Every client ends by itself after --for seconds (default 3600); its
// callback objects live on --listen PORT (default any port).
// Traffic stays on the loopback interface.

#include "tests/common/free_port.h"
#include "tests/common/giop_client.h"
#include "tests/common/resident_memory.h"

#include "zemtra_remote.hh"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
// After the clients are gone, time for the server to notice and settle:
// subscriptions probed, idle connections and request threads reaped.
constexpr auto c_settle = 15s;

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

// Clients that talk GIOP over raw sockets, each request on a connection of
// its own: "trailing" sends requests with bytes after their arguments, and
// long ones whose rest never comes or that no object serves, reset midway;
// "readreset" sends one-shot reads and resets the connection before, while
// or after the server answers.
int RunRawClient(const std::string& kind, const std::string& server, long seconds)
{
    const auto port = static_cast<unsigned short>(std::atoi(server.substr(server.rfind(':') + 1).c_str()));
    const auto getText = [](zvtest::Cdr& c) {
        c.String("custom");
        c.ULong(0);
        c.ULong(0);
    };
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

int RunClient(const std::string& kind, const std::string& server, long count, long seconds, const std::string& path,
              const std::string& listen)
{
    if (kind == "trailing" || kind == "readreset") {
        return RunRawClient(kind, server, seconds);
    }
    int argc = 0;
    char* argv[] = {nullptr};
    const bool stuck = kind == "stuck";
    const std::string endpoint = "giop:tcp:127.0.0.1:" + listen;
    const char* options[][2] = {{"endPoint", endpoint.c_str()},
                                {"clientCallTimeOutPeriod", "10000"},
                                {"maxServerThreadPerConnection", "1"},
                                {nullptr, nullptr}};
    if (!stuck) {
        options[2][0] = nullptr; // the ORB's default
    }
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    zemtra_REMOTE::ValueCallback_var callback = Activate<zemtra_REMOTE::ValueCallback>(
        poa, stuck ? static_cast<PortableServer::Servant>(new StuckSink()) : new ValueSink(kind == "values"));
    q_NET::SignalReceiver_var receiver = Activate<q_NET::SignalReceiver>(poa, new ReceiverSink());
    obj = orb->string_to_object(("corbaloc::" + server + "/ZemtraRemote").c_str());
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_narrow(obj);

    const auto end = Clock::now() + std::chrono::seconds(seconds);
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
    orb->shutdown(true);
    orb->destroy();
    return 0;
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

pid_t Spawn(const std::vector<std::string>& args, const std::string& log)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!log.empty() && std::freopen(log.c_str(), "a", stdout) != nullptr) {
            ::dup2(::fileno(stdout), 2);
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

bool Alive(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

void Print(const char* what, long elapsed, const Sample& s)
{
    std::printf("soak %-8s t=%5lds  rss=%7ld kB  threads=%4ld  fds=%4ld\n", what, elapsed, s.rssKb, s.threads, s.fds);
    std::fflush(stdout);
}

int RunSoak(int argc, char** argv)
{
    const long seconds = std::atol(Arg(argc, argv, "--seconds", "60").c_str());
    const long period = std::atol(Arg(argc, argv, "--period", seconds >= 600 ? "60" : "10").c_str());
    const std::vector<std::string> kinds = {"getset", "watch",    "stream",    "ondemand", "read",
                                            "flood",  "trailing", "readreset", "getset",   "watch"};
    const int clients = std::atoi(Arg(argc, argv, "--clients", std::to_string(kinds.size()).c_str()).c_str());
    const long killEvery = std::max(1L, std::atol(Arg(argc, argv, "--kill-every", "4").c_str()));
    const std::string self = SelfPath();
    const std::string serverBinary =
        Arg(argc, argv, "--server-binary", self.substr(0, self.rfind('/')) + "/../app/zemtra-vuna");
    char dirTemplate[] = "/tmp/zv_soak_XXXXXX";
    const char* made = ::mkdtemp(dirTemplate);
    if (made == nullptr) {
        std::fprintf(stderr, "soak: cannot make a temporary directory\n");
        return 1;
    }
    const std::string dir = made;
    ::mkdir((dir + "/cfg").c_str(), 0755);
    ::mkdir((dir + "/root").c_str(), 0755);
    const long portArg = std::atol(Arg(argc, argv, "--port", "0").c_str());
    const unsigned short port = portArg > 0 ? static_cast<unsigned short>(portArg) : zvtest::FreePort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    std::printf("soak: %ld s, %d clients, server %s on %s, files in %s\n", seconds, clients, serverBinary.c_str(),
                address.c_str(), dir.c_str());
    std::fflush(stdout); // before the children inherit the buffer

    const pid_t server =
        Spawn({serverBinary, "--conf-dir", dir + "/cfg", "--root", dir + "/root", "--port", std::to_string(port)},
              dir + "/server.log");
    // Ready once it answers.
    {
        int orbArgc = 0;
        char* orbArgv[] = {nullptr};
        CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv, "omniORB4");
        bool ready = false;
        for (auto end = Clock::now() + 60s; !ready && Clock::now() < end && Alive(server);) {
            try {
                CORBA::Object_var obj = orb->string_to_object(("corbaloc::" + address + "/ZemtraRemote").c_str());
                ready = !obj->_non_existent();
            } catch (const CORBA::Exception&) {
                std::this_thread::sleep_for(200ms);
            }
        }
        orb->destroy();
        if (!ready) {
            std::printf("soak: FAILED: the server did not start (see %s/server.log)\n", dir.c_str());
            ::kill(server, SIGKILL);
            return 1;
        }
    }

    const Sample start = Measure(server);
    Print("start", 0, start);
    auto startClient = [&](int i) {
        return Spawn({self, "--client", kinds[static_cast<size_t>(i) % kinds.size()], "--server", address, "--count",
                      "200", "--for", std::to_string(seconds + 60)},
                     dir + "/client.log");
    };
    std::vector<pid_t> pids;
    for (int i = 0; i < clients; ++i) {
        pids.push_back(startClient(i));
    }

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
        if (!Alive(server)) {
            serverDied = true;
            break;
        }
        // A client is killed and started anew every few seconds.
        if (elapsed() % killEvery == 0) {
            ::kill(pids[static_cast<size_t>(victim)], SIGKILL);
            ::waitpid(pids[static_cast<size_t>(victim)], nullptr, 0);
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
    for (pid_t pid : pids) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    int rc = 0;
    if (serverDied) {
        std::printf("soak: FAILED: the server died (see %s/server.log)\n", dir.c_str());
        return 1;
    }
    std::this_thread::sleep_for(c_settle);
    const Sample last = Measure(server);
    Print("final", elapsed(), last);
    std::printf("soak: %ld clients killed and restarted\n", kills);
    std::printf("soak: rss %+ld kB from the start, %+ld kB from the baseline\n", last.rssKb - start.rssKb,
                last.rssKb - baseline.rssKb);
    const bool judgeRss = zvtest::c_freedMemoryGoesBack;
    if (last.threads > baseline.threads + c_maxThreadGrowth || last.fds > baseline.fds + c_maxFdGrowth ||
        (judgeRss && (last.rssKb > baseline.rssKb + c_maxRssGrowthKb ||
                      (seconds >= c_longRunSeconds && last.rssKb > start.rssKb + c_maxRssGrowthFromStartKb)))) {
        std::printf("soak: FAILED: growth past the bounds (threads +%ld, fds +%ld, rss +%ld kB from the baseline and "
                    "+%ld kB from the start)\n",
                    c_maxThreadGrowth, c_maxFdGrowth, c_maxRssGrowthKb, c_maxRssGrowthFromStartKb);
        rc = 1;
    }
    ::kill(server, SIGTERM);
    int status = 0;
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
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("soak: FAILED: the server ended with status %d\n", status);
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
