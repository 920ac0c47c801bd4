// CPU of the whole server on the default chassis with its simulated beam at
// the chassis' real rates. Starts the built "zemtra-vuna" on a free loopback
// port, lets start-up settle, then measures the server process's CPU time
// from /proc/<pid>/stat: first idle (the reference), then while 4 remote
// clients each read "fa" of a different RAF board through forwarding.
// Prints both figures in percent of one core, their ratio, and the FA atoms
// each client received per second (about 9.5 k expected).
//
//   server_cpu_bench [--seconds N]     (default 60 per phase)
// Any --benchmark_* argument (the CI smoke run) selects 1 s per phase.
// Targets: idle below 1 %, with the 4 clients below 2 %.

#include "bench/server_process.h"
#include "tests/common/free_port.h"

#include "zemtra_remote.hh"

#include <omniORB4/omniORB.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Percent of one core that the process used over seconds of wall time.
double MeasureCpu(pid_t pid, double seconds)
{
    const double c0 = zvbench::CpuSeconds(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double c1 = zvbench::CpuSeconds(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (c1 - c0) / wall;
}

class FaReceiver : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq& v, const q_NET::MetaSeq&) override
    {
        atoms.fetch_add(v.length() / 16);
        return 0;
    }
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq&, const q_NET::MetaSeq&) override { return 0; }
    std::atomic<unsigned long> atoms{0};
};

} // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(1.0, std::atof(argv[++i]));
        } else if (a.rfind("--benchmark", 0) == 0) {
            seconds = 1;
        }
    }
    const unsigned short port = zvtest::FreePort();
    const std::string dir = "/tmp/zv_cpu_bench_" + std::to_string(::getpid());
    if (std::system(("mkdir -p '" + dir + "/root' '" + dir + "/cfg'").c_str()) != 0) {
        return 1;
    }
    const std::string server = zvbench::BuildDir() + "/app/zemtra-vuna";
    const pid_t pid = zvbench::StartServer(dir, port);

    const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"}, {"traceLevel", "0"}, {nullptr, nullptr}};
    int orbArgc = 0;
    char* orbArgv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv, "omniORB4", options);
    CORBA::Object_var obj =
        orb->string_to_object(("corbaloc::127.0.0.1:" + std::to_string(port) + "/ZemtraRemote").c_str());
    zemtra_REMOTE::Registry_var reg;
    bool serving = false;
    for (const auto end = Clock::now() + std::chrono::seconds(60); !serving && Clock::now() < end;) {
        try {
            reg = zemtra_REMOTE::Registry::_narrow(obj);
            zemtra_REMOTE::NodeInfoSeq_var root = reg->List("");
            serving = root->length() > 0;
        } catch (const CORBA::Exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    int rc = 0;
    if (!serving) {
        std::cerr << "the server did not start (" << server << ")\n";
        rc = 1;
    } else {
        // Start-up work (synchronisation, PLL lock) settles first.
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(2.0, seconds)));
        const double idle = MeasureCpu(pid, seconds);

        CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObj);
        poa->the_POAManager()->activate();
        std::vector<FaReceiver*> receivers;
        std::vector<CORBA::ULongLong> sessions;
        for (int slot = 3; slot <= 6; ++slot) {
            auto* rx = new FaReceiver();
            PortableServer::ObjectId_var id = poa->activate_object(rx);
            CORBA::Object_var ref = poa->id_to_reference(id);
            sessions.push_back(reg->OpenSignal(("raf" + std::to_string(slot) + ".signals.fa").c_str(),
                                               q_NET::SignalReceiver::_narrow(ref), 0, 0, 0));
            receivers.push_back(rx);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::vector<unsigned long> before;
        for (FaReceiver* rx : receivers) {
            before.push_back(rx->atoms.load());
        }
        const auto t0 = Clock::now();
        const double loaded = MeasureCpu(pid, seconds);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        for (CORBA::ULongLong session : sessions) {
            reg->CloseSignal(session);
        }

        std::printf("server CPU over %.0f s, percent of one core\n", seconds);
        std::printf("  idle (reference)          %6.2f %%   target < 1 %%\n", idle);
        std::printf("  4 clients reading \"fa\"    %6.2f %%   target < 2 %%\n", loaded);
        std::printf("  ratio loaded / idle       %6.2f\n", idle > 0 ? loaded / idle : 0.0);
        for (size_t i = 0; i < receivers.size(); ++i) {
            std::printf("  raf%zu.signals.fa          %8.0f atoms/s\n", i + 3,
                        static_cast<double>(receivers[i]->atoms.load() - before[i]) / wall);
        }
    }
    zvbench::StopServer(pid);
    orb->shutdown(true);
    orb->destroy();
    if (std::system(("rm -rf '" + dir + "'").c_str()) != 0) {
        std::cerr << "could not remove " << dir << "\n";
    }
    return rc;
}
