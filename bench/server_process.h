#pragma once
// The built server as a benchmark starts and stops it: the build folder the
// benchmark runs from (it lies in its "bench" folder), a server started on
// a loopback port with its own root, and its stop.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace zvbench {

inline std::string BuildDir()
{
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./bench/x");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/..";
}

// Starts the built server on port with the root dir/root and the
// configuration folder dir/cfg; its output goes to dir/server.log.
inline pid_t StartServer(const std::string& dir, unsigned short port)
{
    const std::string server = BuildDir() + "/app/zemtra-vuna";
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
