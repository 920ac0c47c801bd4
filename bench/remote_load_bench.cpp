// Load test of the remote export over loopback TCP. A server process serves
// a small tree and a stream fed at about 2 kHz.
//
// Every process of the bench (the server, the echo and all clients) runs on
// the same two cores, the first two that the bench may use, so that the
// ratios to the echo do not depend on how many cores the machine has.
//
// First the judged figures: 8 client processes make gets as fast as they
// can for a while (the bytes an ORB sends for a get, each client on a
// connection of its own), and, taking turns with them round after round, 8
// client processes make the same exchange with a bare loopback TCP echo
// server (a thread per connection, as the ORB serves: it answers each request
// with the bytes the export answered a get with). Prints both rates and their
// ratio, the ratio of the processor time that each side's server takes per
// exchange (echo / get: it falls as a get costs more), both the medians of
// the rounds (short ones, so that a change in the machine's other load
// falls on both sides alike), and the gets' latency percentiles. With --floor F (rate) or
// --cpu-floor C (processor time) it fails, in one line, when a ratio is
// below its floor.
//
// Then the mixed load: 8 client processes each make N get/set pairs on their
// own array element (checking that every answer is their own), while 2
// client processes read the stream through forwarding (checking that atoms
// arrive in order, none twice). Prints requests per second and latency
// percentiles, and the server's open sessions, subscriptions and resident
// memory after the clients have gone.
//
//   remote_load_bench [--requests N] [--rounds R] [--seconds S] [--floor F] [--cpu-floor C]
//       N get/set pairs per client (default 10000); R rounds of S seconds
//       (default 20 of 0.25 s) of gets and of the echo
// Any --benchmark_* argument (the CI smoke run) selects a short run.
// Bounded: every client stops after its count or time; the whole run is
// killed after 180 s.

#include "bench/server_process.h"
#include "bench/timed_clients.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/signal_traits.h"
#include "platform/remote/remote_export.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"
#include "tests/common/free_port.h"

#include "zemtra_remote.hh"

#include <omniORB4/omniORB.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using zvbench::ConnectNoDelay;
using zvbench::Exchange;
using zvbench::Median;
using zvbench::Percentile;
using zvbench::ReadMessage;
using zvbench::RunClients;
using zvbench::TimedRun;

struct SeqAtom {
    double sequence;
    double value;
};
using SeqTraits = qsig::SignalTraits<double, SeqAtom, 1>;

constexpr int c_setters = 8;
constexpr int c_readers = 2;

std::atomic<bool> g_stop{false};
extern "C" void OnTerm(int)
{
    g_stop.store(true);
}

long ResidentKiB()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

template <typename N> std::shared_ptr<N> Add(const mci::TreeNodePtr& parent, std::shared_ptr<N> node)
{
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    node->Init();
    parent->Add(node);
    return node;
}

// Server process: serves until SIGTERM, then reports on the report fd.
int Server(unsigned short port, int readyFd, int reportFd)
{
    ::signal(SIGTERM, OnTerm);
    auto root = std::make_shared<qreg::RegNode>("root", 0);
    root->SetNodeStructure(new mci::LocalNodeStructure(root.get()));
    auto arr = Add(root, std::make_shared<qreg::RegValueNode<long long>>("arr", 0, 0x206));
    arr->OnResize(c_setters, mci::c_noRelPath);
    SeqTraits::names = {"sequence", "value"};
    qsig::Stream<SeqTraits> stream("seq", "load", 1, qsig::ePassive);
    auto signals = Add(root, std::make_shared<qreg::RegNode>("signals", 0));
    auto node = Add(signals, std::make_shared<qreg::SignalNode>("seq", &stream));

    remote::RemoteExport exporter;
    exporter.Start(root, "127.0.0.1", port);
    const long rssStart = ResidentKiB();
    if (::write(readyFd, "r", 1) != 1) {
        return 1;
    }
    // 10 atoms every 5 ms.
    double sequence = 0;
    while (!g_stop.load()) {
        double values[20];
        for (int i = 0; i < 10; ++i) {
            values[2 * i] = sequence;
            values[2 * i + 1] = sequence * 0.5;
            ++sequence;
        }
        stream.Dispatch(values, 20, qsig::c_noMeta);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string report = "sessions " + std::to_string(exporter.GetSignalSessionCount()) + " subscriptions " +
                               std::to_string(exporter.GetSubscriptionCount()) + " stream_queues " +
                               std::to_string(stream.GetQueueCount()) + " rss_start_kib " + std::to_string(rssStart) +
                               " rss_end_kib " + std::to_string(ResidentKiB()) + "\n";
    exporter.Stop();
    node->DetachSource();
    if (::write(reportFd, report.data(), report.size()) != static_cast<ssize_t>(report.size())) {
        return 1;
    }
    return 0;
}

zemtra_REMOTE::Registry_var Connect(CORBA::ORB_ptr orb, unsigned short port)
{
    CORBA::Object_var obj =
        orb->string_to_object(("corbaloc::127.0.0.1:" + std::to_string(port) + "/ZemtraRemote").c_str());
    return zemtra_REMOTE::Registry::_narrow(obj);
}

CORBA::ORB_var InitOrb(bool callbacks)
{
    const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"}, {"traceLevel", "0"}, {nullptr, nullptr}};
    int argc = 0;
    char* argv[] = {nullptr};
    return CORBA::ORB_init(argc, argv, "omniORB4", callbacks ? options : options + 1);
}

// Setter client: writes its element, reads it back, n times each.
int Setter(unsigned short port, int index, int n, const std::string& out)
{
    CORBA::ORB_var orb = InitOrb(false);
    zemtra_REMOTE::Registry_var reg = Connect(orb, port);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(2 * n));
    long wrong = 0;
    long failed = 0;
    for (int i = 0; i < n; ++i) {
        zemtra_REMOTE::LongLongSeq v;
        v.length(1);
        v[0] = static_cast<long long>(index) * 1000000000LL + i;
        try {
            auto t0 = Clock::now();
            reg->SetInteger("arr", static_cast<CORBA::ULong>(index), v);
            auto t1 = Clock::now();
            zemtra_REMOTE::LongLongSeq_var back = reg->GetInteger("arr", static_cast<CORBA::ULong>(index), 1);
            auto t2 = Clock::now();
            latencies.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            latencies.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
            if (back->length() != 1 || back[0] != v[0]) {
                ++wrong;
            }
        } catch (const CORBA::Exception&) {
            ++failed;
        }
    }
    std::ofstream f(out, std::ios::binary);
    f.write(reinterpret_cast<const char*>(&wrong), sizeof(wrong));
    f.write(reinterpret_cast<const char*>(&failed), sizeof(failed));
    f.write(reinterpret_cast<const char*>(latencies.data()),
            static_cast<std::streamsize>(latencies.size() * sizeof(double)));
    orb->destroy();
    return 0;
}

class SeqReceiver : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq& v, const q_NET::MetaSeq&) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (CORBA::ULong i = 0; i + 1 < v.length(); i += 2) {
            if (v[i] <= m_last || v[i + 1] != v[i] * 0.5) {
                ++m_disorder;
            }
            m_gaps += (m_last >= 0 && v[i] > m_last + 1) ? 1 : 0;
            m_last = v[i];
            ++m_atoms;
        }
        return 0;
    }
    std::mutex m_mutex;
    double m_last = -1;
    long m_atoms = 0;
    long m_disorder = 0;
    long m_gaps = 0;
};

// Stream reader: reads until the flag file says the setters are done.
int Reader(unsigned short port, const std::string& doneFlag, const std::string& out)
{
    CORBA::ORB_var orb = InitOrb(true);
    CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    auto* rx = new SeqReceiver();
    PortableServer::ObjectId_var id = poa->activate_object(rx);
    CORBA::Object_var rxObj = poa->id_to_reference(id);
    zemtra_REMOTE::Registry_var reg = Connect(orb, port);
    const CORBA::ULongLong session = reg->OpenSignal("signals.seq", q_NET::SignalReceiver::_narrow(rxObj), 0, 0, 0);
    const auto end = Clock::now() + std::chrono::seconds(170);
    // Reads on until the setters are done and at least one buffer arrived.
    auto fed = [&] {
        std::lock_guard<std::mutex> lock(rx->m_mutex);
        return rx->m_atoms > 0;
    };
    while ((::access(doneFlag.c_str(), F_OK) != 0 || !fed()) && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reg->CloseSignal(session);
    long values[3];
    {
        std::lock_guard<std::mutex> lock(rx->m_mutex);
        values[0] = rx->m_atoms;
        values[1] = rx->m_disorder;
        values[2] = rx->m_gaps;
    }
    std::ofstream f(out, std::ios::binary);
    f.write(reinterpret_cast<const char*>(values), sizeof(values));
    orb->shutdown(true);
    orb->destroy();
    return 0;
}

// The bare loopback echo: answers every message of a connection with
// answer, on a thread per connection, until killed.
int EchoServer(int listener, const std::string& answer)
{
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        std::thread([fd, answer] {
            std::string message;
            while (ReadMessage(fd, message) && zvtest::SendAll(fd, answer)) {
            }
            ::close(fd);
        }).detach();
    }
}

} // namespace

int main(int argc, char** argv)
{
    int n = 10000;
    int rounds = 20;
    double roundSeconds = 0.25;
    double floor = 0;
    double cpuFloor = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--requests" && i + 1 < argc) {
            n = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--seconds" && i + 1 < argc) {
            roundSeconds = std::max(0.05, std::atof(argv[++i]));
        } else if (a == "--floor" && i + 1 < argc) {
            floor = std::atof(argv[++i]);
        } else if (a == "--cpu-floor" && i + 1 < argc) {
            cpuFloor = std::atof(argv[++i]);
        } else if (a.rfind("--benchmark", 0) == 0) {
            n = 200;
            rounds = 1;
            roundSeconds = 0.1;
        }
    }
    const std::string cores = zvbench::FirstCores(2);
    if (!zvbench::KeepToCores(cores)) {
        std::cerr << "can't keep the bench to cores " << cores << "\n";
        return 1;
    }
    std::printf("on cores %s\n", cores.c_str());
    const unsigned short port = zvtest::FreePort();
    const std::string base = "/tmp/zv_remote_load_" + std::to_string(::getpid());
    const std::string doneFlag = base + ".done";
    std::remove(doneFlag.c_str());

    int ready[2];
    int report[2];
    if (::pipe(ready) != 0 || ::pipe(report) != 0) {
        return 1;
    }
    const pid_t server = ::fork();
    if (server == 0) {
        ::alarm(180);
        std::_Exit(Server(port, ready[1], report[1]));
    }
    char c = 0;
    if (::read(ready[0], &c, 1) != 1) {
        std::cerr << "server did not start\n";
        return 1;
    }

    // The judged figure: gets, and the same exchange with a bare echo that
    // answers as the export answered a get, in turns.
    const std::string getRequest = zvtest::GiopRequest("ZemtraRemote", "GetInteger", [](zvtest::Cdr& cdr) {
        cdr.String("arr");
        cdr.ULong(0);
        cdr.ULong(1);
    });
    std::string getAnswer;
    {
        const int fd = ConnectNoDelay(port);
        const bool answered = fd >= 0 && zvtest::SendAll(fd, getRequest) && ReadMessage(fd, getAnswer);
        ::close(fd);
        if (!answered || !zvtest::IsAnswer(getAnswer)) {
            std::cerr << "the export did not answer a get\n";
            ::kill(server, SIGKILL);
            return 1;
        }
    }
    const unsigned short echoPort = zvtest::FreePort();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in echoAddress{};
    echoAddress.sin_family = AF_INET;
    echoAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    echoAddress.sin_port = htons(echoPort);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&echoAddress), sizeof(echoAddress)) != 0 ||
        ::listen(listener, 64) != 0) {
        std::cerr << "no port for the echo\n";
        ::kill(server, SIGKILL);
        return 1;
    }
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::alarm(180);
        std::_Exit(EchoServer(listener, getAnswer));
    }
    ::close(listener);
    std::vector<double> ratios;
    std::vector<double> cpuRatios;
    std::vector<double> getRates;
    std::vector<double> echoRates;
    std::vector<double> getLatencies;
    long judgedFailures = 0;
    // Processor time of each side's server per exchange, in microseconds.
    double getCpu = 0;
    double echoCpu = 0;
    const auto measured = [](pid_t pid, double& cpu, const std::function<TimedRun()>& run) {
        const double before = zvbench::CpuSeconds(pid);
        TimedRun result = run();
        const double n = static_cast<double>(result.latencies.size());
        cpu = n > 0 ? 1e6 * (zvbench::CpuSeconds(pid) - before) / n : 0;
        return result;
    };
    for (int r = 0; r < rounds; ++r) {
        const auto gets = [&] {
            return measured(server, getCpu, [&] {
                return RunClients(c_setters, roundSeconds, base,
                                  [&](int) { return zvbench::RawExchange(port, "127.0.0.1", getRequest); });
            });
        };
        const auto echoes = [&] {
            return measured(echo, echoCpu, [&] {
                return RunClients(c_setters, roundSeconds, base,
                                  [&](int) { return zvbench::RawExchange(echoPort, "127.0.0.1", getRequest, true); });
            });
        };
        // Which goes first alternates.
        TimedRun g;
        TimedRun e;
        if (r % 2 == 0) {
            g = gets();
            e = echoes();
        } else {
            e = echoes();
            g = gets();
        }
        judgedFailures += g.failed + e.failed;
        getRates.push_back(g.rate);
        echoRates.push_back(e.rate);
        ratios.push_back(e.rate > 0 ? g.rate / e.rate : 0);
        cpuRatios.push_back(getCpu > 0 ? echoCpu / getCpu : 0);
        getLatencies.insert(getLatencies.end(), g.latencies.begin(), g.latencies.end());
        std::printf("round %d: gets %.0f/s, echo %.0f/s, ratio %.3f; server cpu us per get %.1f, per echo %.1f, "
                    "ratio %.3f\n",
                    r + 1, g.rate, e.rate, ratios.back(), getCpu, echoCpu, cpuRatios.back());
    }
    ::kill(echo, SIGKILL);
    ::waitpid(echo, nullptr, 0);
    const double ratio = Median(ratios);
    const double cpuRatio = Median(cpuRatios);
    std::printf("gets, %d clients: %.0f requests/s (median of %d rounds of %.2f s); latency us: p50 %.1f  p99 %.1f\n",
                c_setters, Median(getRates), rounds, roundSeconds, Percentile(getLatencies, 50),
                Percentile(getLatencies, 99));
    std::printf("bare loopback echo, %d clients: %.0f exchanges/s\n", c_setters, Median(echoRates));
    std::printf("ratio gets / echo: %.3f of the rate, %.3f of the server's processor time per exchange%s\n", ratio,
                cpuRatio, judgedFailures > 0 ? " (with failed calls)" : "");

    std::vector<pid_t> clients;
    const auto t0 = Clock::now();
    for (int r = 0; r < c_readers; ++r) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(180);
            std::_Exit(Reader(port, doneFlag, base + ".reader" + std::to_string(r)));
        }
        clients.push_back(pid);
    }
    std::vector<pid_t> setters;
    for (int s = 0; s < c_setters; ++s) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(180);
            std::_Exit(Setter(port, s, n, base + ".setter" + std::to_string(s)));
        }
        setters.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : setters) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    {
        std::ofstream(doneFlag) << "done";
    }
    for (pid_t pid : clients) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ::kill(server, SIGTERM);
    std::string serverReport(512, '\0');
    const ssize_t got = ::read(report[0], &serverReport[0], serverReport.size());
    serverReport.resize(got > 0 ? static_cast<size_t>(got) : 0);
    int status = 0;
    ::waitpid(server, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;

    std::vector<double> latencies;
    long wrong = 0;
    long failed = 0;
    for (int s = 0; s < c_setters; ++s) {
        const std::string file = base + ".setter" + std::to_string(s);
        std::ifstream f(file, std::ios::binary);
        long w = 0;
        long e = 0;
        f.read(reinterpret_cast<char*>(&w), sizeof(w));
        f.read(reinterpret_cast<char*>(&e), sizeof(e));
        double d = 0;
        while (f.read(reinterpret_cast<char*>(&d), sizeof(d))) {
            latencies.push_back(d);
        }
        wrong += w;
        failed += e;
        std::remove(file.c_str());
    }
    long atoms = 0;
    long disorder = 0;
    long gaps = 0;
    // Every reader must have been fed: a reader that got nothing read no stream.
    bool everyReaderFed = true;
    for (int r = 0; r < c_readers; ++r) {
        const std::string file = base + ".reader" + std::to_string(r);
        std::ifstream f(file, std::ios::binary);
        long v[3] = {0, 0, 0};
        f.read(reinterpret_cast<char*>(v), sizeof(v));
        everyReaderFed = everyReaderFed && v[0] > 0;
        atoms += v[0];
        disorder += v[1];
        gaps += v[2];
        std::remove(file.c_str());
    }
    std::remove(doneFlag.c_str());

    const size_t expected = static_cast<size_t>(c_setters) * static_cast<size_t>(n) * 2;
    std::printf("clients: %d get/set x %d pairs, %d stream readers\n", c_setters, n, c_readers);
    std::printf("requests: %zu answered of %zu, %ld wrong answers, %ld failed calls\n", latencies.size(), expected,
                wrong, failed);
    std::printf("throughput: %.0f requests/s over %.2f s\n", static_cast<double>(latencies.size()) / seconds, seconds);
    std::printf("latency us: p50 %.1f  p90 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n", Percentile(latencies, 50),
                Percentile(latencies, 90), Percentile(latencies, 99), Percentile(latencies, 99.9),
                Percentile(latencies, 100));
    std::printf("stream: %ld atoms forwarded to %d readers, %ld out of order, %ld gaps (dropped buffers)\n", atoms,
                c_readers, disorder, gaps);
    std::printf("server after the run: %s", serverReport.c_str());
    const bool clean = ok && wrong == 0 && failed == 0 && latencies.size() == expected && disorder == 0 &&
                       everyReaderFed && serverReport.rfind("sessions 0 subscriptions 0 stream_queues 0", 0) == 0;
    std::printf("%s\n", clean ? "load test passed" : "load test FAILED");
    if ((floor > 0 && ratio < floor) || (cpuFloor > 0 && cpuRatio < cpuFloor) || judgedFailures > 0) {
        std::printf("remote_load_bench: FAILED: gets with %d clients at %.3f of a bare loopback echo's rate (floor "
                    "%.3f) and %.3f of its processor time per exchange (floor %.3f)%s\n",
                    c_setters, ratio, floor, cpuRatio, cpuFloor, judgedFailures > 0 ? ", with failed calls" : "");
        return 1;
    }
    return clean && judgedFailures == 0 ? 0 : 1;
}
