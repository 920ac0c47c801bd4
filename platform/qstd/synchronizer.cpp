#include "platform/qstd/synchronizer.h"

#include <algorithm>
#include <chrono>

namespace qstd {

Synchronizer::Synchronizer(unsigned start, unsigned pollMs, unsigned timeoutMs)
    : m_count(start), m_pollMs(std::max(1u, pollMs)), m_timeoutMs(timeoutMs)
{
}

void Synchronizer::Reset(unsigned count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count = count;
    m_cv.notify_all();
}

void Synchronizer::Increment()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    m_cv.notify_all();
}

void Synchronizer::Decrement()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count > 0) {
        --m_count;
    }
    m_cv.notify_all();
}

unsigned Synchronizer::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

bool Synchronizer::Wait()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_count != 0) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        const auto slice = std::min<Clock::time_point>(deadline, now + std::chrono::milliseconds(m_pollMs));
        m_cv.wait_until(lock, slice);
    }
    return true;
}

} // namespace qstd
