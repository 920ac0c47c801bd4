#include "platform/remote/refusal_log.h"

#include "platform/qstd/log.h"

namespace remote {

void RefusalLog::Warn(const std::string& address, const std::string& why)
{
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_warned.size() >= c_maxAddresses) {
            for (auto it = m_warned.begin(); it != m_warned.end();) {
                it = now - it->second >= c_period ? m_warned.erase(it) : std::next(it);
            }
        }
        const auto it = m_warned.find(address);
        if ((it != m_warned.end() && now - it->second < c_period) ||
            (it == m_warned.end() && m_warned.size() >= c_maxAddresses)) {
            return;
        }
        m_warned[address] = now;
    }
    qstd::LogWarning("Remote export: connection from " + address + " refused: " + why +
                     " (refusals of this address are logged once a minute)");
}

} // namespace remote
