#include "platform/remote/remote_request_gate.h"

namespace remote {

bool RemoteRequestGate::Enter()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open) {
        return false;
    }
    ++m_active;
    return true;
}

void RemoteRequestGate::Leave()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_active > 0 && --m_active == 0) {
        m_idle.notify_all();
    }
}

void RemoteRequestGate::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
}

bool RemoteRequestGate::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

bool RemoteRequestGate::WaitIdle(std::chrono::steady_clock::duration timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_until(lock, std::chrono::steady_clock::now() + timeout, [this] { return m_active == 0; });
}

std::size_t RemoteRequestGate::Active() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_active;
}

} // namespace remote
