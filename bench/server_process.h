#pragma once
// The built server as a benchmark starts and stops it: the build folder the
// benchmark runs from (it lies in its "bench" folder), a server started on
// a loopback port with its own root, the wait until it serves, and its stop;
// and the built programs started with their output to files.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Starts the built server (or the one at binary) on port with the root
// dir/root and the configuration folder dir/cfg; its output goes to
// dir/server.log.
inline pid_t StartServer(const std::string& dir, unsigned short port, const std::string& binary = "")
{
    const std::string server = binary.empty() ? BuildDir() + "/app/zemtra-vuna" : binary;
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

} // namespace zvbench
