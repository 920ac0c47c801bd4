#pragma once
// The built server as a benchmark starts and stops it: the build folder the
// benchmark runs from (it lies in its "bench" folder), a server started on
// a loopback port with its own root, the wait until it serves, and its stop;
// and the built programs started with their output to files; what a process
// has used: its CPU time, context switches and resident memory; and the
// cores a benchmark keeps its processes to.

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zvbench {

inline std::string BuildDir()
{
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./bench/x");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/..";
}

// Starts the built server (or the one of another build folder) on port
// with the root dir/root and the configuration folder dir/cfg; its output
// goes to dir/server.log.
inline pid_t StartServer(const std::string& dir, unsigned short port, const std::string& build = BuildDir())
{
    const std::string server = build + "/app/zemtra-vuna";
    const pid_t pid = ::fork();
    if (pid == 0) {
        FILE* out = std::freopen((dir + "/server.log").c_str(), "w", stdout);
        (void)out;
        ::dup2(::fileno(stdout), 2);
        const std::string portText = std::to_string(port);
        ::execl(server.c_str(), server.c_str(), "--root", (dir + "/root").c_str(), "--conf-dir", (dir + "/cfg").c_str(),
                "--port", portText.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    return pid;
}

// Starts args (the program's path first) with standard output and error to
// the files out and err.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err = "/dev/null")
{
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        std::vector<std::string> copy = args;
        for (std::string& a : copy) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0) {
            std::_Exit(126);
        }
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    return pid;
}

// Whether the server at address ("HOST:PORT") answers the tool's "ls"
// within 60 s of its start.
inline bool WaitServing(const std::string& tool, const std::string& address)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        int status = 0;
        const pid_t pid = Spawn({tool, "--server", address, "ls"}, "/dev/null");
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// SIGTERM, and SIGKILL when the server has not ended within 30 s.
inline void StopServer(pid_t pid)
{
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

// User plus system CPU time of a process in seconds, or -1.
inline double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Context switches of all threads of a process (voluntary and not), or -1.
// A thread that has ended no longer counts.
inline long long ContextSwitches(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) {
        return -1;
    }
    long long switches = 0;
    while (const dirent* task = ::readdir(dir)) {
        if (task->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(tasks + "/" + task->d_name + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                switches += std::atoll(line.c_str() + line.find(':') + 1);
            }
        }
    }
    ::closedir(dir);
    return switches;
}

// Keeps this process (and the processes it starts from now on) to the
// cores of a list such as "2-4" or "2,3,5"; an empty list changes nothing.
inline bool KeepToCores(const std::string& list)
{
    if (list.empty()) {
        return true;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    std::istringstream in(list);
    for (std::string range; std::getline(in, range, ',');) {
        const std::size_t dash = range.find('-');
        const int first = std::atoi(range.substr(0, dash).c_str());
        const int last = dash == std::string::npos ? first : std::atoi(range.substr(dash + 1).c_str());
        for (int cpu = first; cpu <= last && cpu < CPU_SETSIZE; ++cpu) {
            CPU_SET(cpu, &set);
        }
    }
    return CPU_COUNT(&set) > 0 && ::sched_setaffinity(0, sizeof(set), &set) == 0;
}

// The first count cores this process may run on, as a list for
// KeepToCores (fewer when it may run on fewer).
inline std::string FirstCores(int count)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::string list;
    if (::sched_getaffinity(0, sizeof(set), &set) != 0) {
        return list;
    }
    for (int cpu = 0; cpu < CPU_SETSIZE && count > 0; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            list += (list.empty() ? "" : ",") + std::to_string(cpu);
            --count;
        }
    }
    return list;
}

// Resident memory (VmRSS) of a process in kB, or -1.
inline long ResidentKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

} // namespace zvbench
