#pragma once
// remote::RefusalLog: the WARNING of refused connections, one per peer
// address and minute however often its connections are refused, so that a
// flood does not flood the log.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace remote {

class RefusalLog {
public:
    // Logs that a connection from address (without the port) was refused
    // and why, unless its address was logged less than a minute ago.
    void Warn(const std::string& address, const std::string& why);

private:
    static constexpr std::chrono::minutes c_period{1};
    // Addresses remembered at most: beyond, a flood from more addresses
    // than that in a minute is not logged address by address.
    static constexpr std::size_t c_maxAddresses = 4096;

    std::mutex m_mutex;
    std::map<std::string, std::chrono::steady_clock::time_point> m_warned;
};

} // namespace remote
