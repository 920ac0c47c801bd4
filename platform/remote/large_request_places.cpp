#include "platform/remote/large_request_places.h"

#include <algorithm>

namespace remote {

namespace {

bool Erase(std::vector<std::uint64_t>& serials, std::uint64_t serial)
{
    const auto it = std::find(serials.begin(), serials.end(), serial);
    if (it == serials.end()) {
        return false;
    }
    serials.erase(it);
    return true;
}

} // namespace

LargeRequestPlaces::LargeRequestPlaces(unsigned places, unsigned maxWaiting, Wake wake)
    : m_places(places), m_maxWaiting(maxWaiting), m_wake(std::move(wake))
{
}

LargeRequestPlaces::Ask_e LargeRequestPlaces::Ask(std::uint64_t serial, unsigned loop)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty() && m_holders.size() + m_granted.size() < m_places) {
        m_holders.push_back(serial);
        return Ask_e::eTaken;
    }
    if (m_queue.size() >= m_maxWaiting) {
        return Ask_e::eRefused;
    }
    m_queue.push_back(Waiter{serial, loop});
    return Ask_e::eWaiting;
}

bool LargeRequestPlaces::Granted(std::uint64_t serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Erase(m_granted, serial)) {
        return false;
    }
    m_holders.push_back(serial);
    return true;
}

void LargeRequestPlaces::Withdraw(std::uint64_t serial)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it =
            std::find_if(m_queue.begin(), m_queue.end(), [&](const Waiter& w) { return w.serial == serial; });
        if (it != m_queue.end()) {
            m_queue.erase(it);
        } else if (Erase(m_granted, serial)) {
            GrantLocked(wake);
        }
    }
    WakeAll(wake);
}

void LargeRequestPlaces::Release(std::uint64_t serial)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Erase(m_holders, serial)) {
            GrantLocked(wake);
        }
    }
    WakeAll(wake);
}

std::size_t LargeRequestPlaces::Waiting() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

std::size_t LargeRequestPlaces::Taken() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_holders.size() + m_granted.size();
}

void LargeRequestPlaces::GrantLocked(std::vector<unsigned>& wake)
{
    while (!m_queue.empty() && m_holders.size() + m_granted.size() < m_places) {
        m_granted.push_back(m_queue.front().serial);
        wake.push_back(m_queue.front().loop);
        m_queue.pop_front();
    }
}

void LargeRequestPlaces::WakeAll(const std::vector<unsigned>& loops)
{
    for (unsigned loop : loops) {
        m_wake(loop);
    }
}

} // namespace remote
