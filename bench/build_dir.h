#pragma once
// The build folder a benchmark program runs from (it lies in its "bench"
// folder), for the server and tool programs it starts.

#include <unistd.h>

#include <string>

namespace zvbench {

inline std::string BuildDir()
{
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./bench/x");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/..";
}

} // namespace zvbench
