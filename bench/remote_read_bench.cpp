// A long read through the command-line tool: starts the built "zemtra-vuna"
// on the default chassis on a free loopback port and has the built
// "zemtra-tool" read "tdp_synthetic" of a RAF board (read ahead, at the
// chassis' TBT rate of about 533.8 k atoms/s) into a file. Reports the tool's
// wall time and peak memory (VmHWM, as the kernel's maximum resident set of
// the finished process) next to "cat" reading the same bytes from that local
// file, and their ratio.
//
//   remote_read_bench [--atoms N]     (default 10,000,000)
// Any --benchmark_* argument (the CI smoke run) selects 100,000 atoms.
// Target: the tool's peak memory stays under 64 MB whatever the count.

#include "bench/server_process.h"
#include "tests/common/free_port.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    int status = -1;
    double seconds = 0;
    long peakKb = 0; // maximum resident set of the process
};

// Runs argv with standard output to out (and nothing on standard error
// unless err is given); waits for it.
Run Execute(const std::vector<std::string>& args, const std::string& out, const std::string& err = "/dev/null")
{
    const auto t0 = Clock::now();
    const pid_t pid = zvbench::Spawn(args, out, err);
    Run run;
    rusage usage{};
    int status = 0;
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakKb = usage.ru_maxrss;
    return run;
}

long long FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long long atoms = 10000000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--atoms" && i + 1 < argc) {
            atoms = std::max(1ull, std::strtoull(argv[++i], nullptr, 10));
        } else if (a.rfind("--benchmark", 0) == 0) {
            atoms = 100000;
        }
    }
    const std::string build = zvbench::BuildDir();
    const std::string server = build + "/app/zemtra-vuna";
    const std::string tool = build + "/tools/zemtra-tool/zemtra-tool";
    const unsigned short port = zvtest::FreePort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::string dir = "/tmp/zv_read_bench_" + std::to_string(::getpid());
    if (std::system(("mkdir -p '" + dir + "/root' '" + dir + "/cfg'").c_str()) != 0) {
        return 1;
    }
    const pid_t pid = zvbench::StartServer(dir, port);
    int rc = 0;
    if (!zvbench::WaitServing(tool, address)) {
        std::cerr << "the server did not start (" << server << ")\n";
        rc = 1;
    } else {
        const std::string csv = dir + "/tdp.csv";
        const Run read = Execute({tool, "--server", address, "read", "raf4.signals.tdp_synthetic", "--count",
                                  std::to_string(atoms), "--timeout", "30"},
                                 csv, dir + "/tool.err");
        const long long bytes = FileSize(csv);
        const Run local = Execute({"/bin/cat", csv}, "/dev/null");
        if (read.status != 0 || local.status != 0) {
            std::cerr << "the read failed (tool " << read.status << ", cat " << local.status << "); see " << dir
                      << "\n";
            rc = 1;
        } else {
            const double acquisition = static_cast<double>(atoms) / 533800.0;
            std::printf("%llu atoms of tdp_synthetic, %lld bytes of CSV\n", atoms, bytes);
            std::printf("  zemtra-tool read        %8.3f s  peak %6.1f MB  target < 64 MB\n", read.seconds,
                        read.peakKb / 1024.0);
            std::printf("  cat of the same file    %8.3f s  peak %6.1f MB  (reference)\n", local.seconds,
                        local.peakKb / 1024.0);
            std::printf("  ratio tool / cat        %8.1f\n", local.seconds > 0 ? read.seconds / local.seconds : 0.0);
            std::printf("  acquisition of the atoms at 533.8 k/s takes %.3f s: the tool's lower bound\n", acquisition);
            rc = read.peakKb < 64 * 1024 ? 0 : 1;
        }
    }
    zvbench::StopServer(pid);
    if (rc == 0 && std::system(("rm -rf '" + dir + "'").c_str()) != 0) {
        std::cerr << "could not remove " << dir << "\n";
    }
    return rc;
}
