#include "sim/event_device.h"

#include <map>

namespace sim {

namespace {

std::mutex& RegistryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, EventDevice*>& Registry()
{
    static std::map<std::string, EventDevice*> registry;
    return registry;
}

} // namespace

EventDevice::EventDevice(const std::string& name)
    : m_name(name), m_ownClock(std::make_unique<MachineClock>()), m_clock(m_ownClock.get())
{
    if (!m_name.empty()) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[m_name] = this;
    }
}

EventDevice::EventDevice(const std::string& name, const MachineClock& clock) : m_name(name), m_clock(&clock)
{
    if (!m_name.empty()) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[m_name] = this;
    }
}

EventDevice::~EventDevice()
{
    Close();
    if (!m_name.empty()) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto it = Registry().find(m_name);
        if (it != Registry().end() && it->second == this) {
            Registry().erase(it);
        }
    }
}

EventDevice* EventDevice::Find(const std::string& name)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(name);
    return it == Registry().end() ? nullptr : it->second;
}

void EventDevice::Open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
}

void EventDevice::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    ++m_generation;
    m_discarded += m_records.size();
    m_records.clear();
    m_cond.notify_all();
}

bool EventDevice::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

EventDevice::ReadResult_e EventDevice::Read(EventRecord& record, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t generation = m_generation;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto ready = [&] { return !m_open || generation != m_generation || !m_records.empty(); };
    if (timeout.count() <= 0) {
        m_cond.wait(lock, ready);
    } else if (!m_cond.wait_until(lock, deadline, ready)) {
        return c_readTimeout;
    }
    if (!m_open || generation != m_generation) {
        return c_readClosed;
    }
    record = m_records.front();
    m_records.pop_front();
    ++m_delivered;
    return c_readOk;
}

void EventDevice::Feed(const EventRecord& record)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) {
            ++m_discarded;
            return;
        }
        ++m_fed;
        if (m_records.size() >= c_capacity) {
            ++m_dropped;
            return;
        }
        m_records.push_back(record);
    }
    // Woken after the unlock, the reader finds the lock free.
    m_cond.notify_one();
}

void EventDevice::SetRequestHandler(std::function<void(const EventRecord&)> handler)
{
    std::lock_guard<std::mutex> lock(m_handlerMutex);
    m_handler = std::move(handler);
}

void EventDevice::WriteRequest(const EventRecord& record)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_requests;
    }
    std::function<void(const EventRecord&)> handler;
    {
        std::lock_guard<std::mutex> lock(m_handlerMutex);
        handler = m_handler;
    }
    if (handler) {
        handler(record);
    }
}

void EventDevice::WriteControl(uint64_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_control = value;
}

uint64_t EventDevice::LastControl() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_control;
}

uint64_t EventDevice::Fed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fed;
}

uint64_t EventDevice::Dropped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

uint64_t EventDevice::Delivered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

uint64_t EventDevice::Discarded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_discarded;
}

uint64_t EventDevice::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::size_t EventDevice::Pending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

} // namespace sim
