#include "sim/stream_device.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace sim {

namespace {

std::mutex& RegistryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::shared_ptr<StreamDevice>>& Registry()
{
    static std::map<std::string, std::shared_ptr<StreamDevice>> registry;
    return registry;
}

} // namespace

std::shared_ptr<StreamDevice> StreamDevice::Create(const std::string& path, std::size_t capacityBytes)
{
    auto device = std::make_shared<StreamDevice>(path, capacityBytes);
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry()[path] = device;
    return device;
}

std::shared_ptr<StreamDevice> StreamDevice::Find(const std::string& path)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(path);
    return it == Registry().end() ? nullptr : it->second;
}

void StreamDevice::Remove(const std::string& path)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().erase(path);
}

StreamDevice::StreamDevice(const std::string& path, std::size_t capacityBytes) : m_path(path), m_capacity(capacityBytes)
{
}

void StreamDevice::Open(std::size_t groupBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_groupBytes = groupBytes;
    ++m_opens;
}

std::size_t StreamDevice::GroupBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open ? m_groupBytes : 0;
}

void StreamDevice::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    m_groupBytes = 0;
    ++m_generation;
    m_chunks.clear();
    m_frontOffset = 0;
    m_pending = 0;
    m_droppedSince = 0;
    m_cond.notify_all();
}

bool StreamDevice::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

void StreamDevice::Feed(const void* data, std::size_t bytes)
{
    const auto* p = static_cast<const uint8_t*>(data);
    Feed(std::vector<uint8_t>(p, p + bytes));
}

void StreamDevice::Feed(std::vector<uint8_t>&& bytes, uint64_t lostBefore)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) {
            return;
        }
        m_dropped += lostBefore;
        m_droppedSince += lostBefore;
        if (bytes.empty()) {
            return;
        }
        m_fed += bytes.size();
        if (m_pending + bytes.size() > m_capacity) {
            m_dropped += bytes.size();
            m_droppedSince += bytes.size();
            return;
        }
        m_pending += bytes.size();
        m_chunks.push_back(Chunk{std::move(bytes), m_droppedSince});
        m_droppedSince = 0;
    }
    // Woken after the unlock, the reader finds the lock free.
    m_cond.notify_one();
}

StreamDevice::ReadResult_e StreamDevice::Read(void* dest, std::size_t maxBytes, std::size_t unit, std::size_t& got,
                                              std::chrono::milliseconds timeout)
{
    uint64_t droppedBefore = 0;
    return Read(dest, maxBytes, unit, got, droppedBefore, timeout);
}

StreamDevice::ReadResult_e StreamDevice::Read(void* dest, std::size_t maxBytes, std::size_t unit, std::size_t& got,
                                              uint64_t& droppedBefore, std::chrono::milliseconds timeout)
{
    got = 0;
    droppedBefore = 0;
    if (unit == 0) {
        unit = 1;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t generation = m_generation;
    auto ready = [&] { return !m_open || generation != m_generation || m_pending >= unit; };
    if (timeout.count() <= 0) {
        m_cond.wait(lock, ready);
    } else if (!m_cond.wait_until(lock, std::chrono::steady_clock::now() + timeout, ready)) {
        return c_readTimeout;
    }
    if (!m_open || generation != m_generation) {
        return c_readClosed;
    }
    // Up to the next hole, when at least a unit lies before it (feeds of
    // whole units keep every hole on a unit's edge); else across it, its
    // bytes told with the others.
    std::size_t before = m_chunks.front().bytes.size() - m_frontOffset;
    for (auto it = m_chunks.begin() + 1; it != m_chunks.end() && it->droppedBefore == 0 && before < maxBytes; ++it) {
        before += it->bytes.size();
    }
    const std::size_t want = std::min(maxBytes, before >= unit ? before : m_pending) / unit * unit;
    auto* out = static_cast<uint8_t*>(dest);
    while (got < want) {
        Chunk& chunk = m_chunks.front();
        droppedBefore += chunk.droppedBefore;
        chunk.droppedBefore = 0;
        const std::vector<uint8_t>& front = chunk.bytes;
        const std::size_t n = std::min(want - got, front.size() - m_frontOffset);
        std::memcpy(out + got, front.data() + m_frontOffset, n);
        got += n;
        m_frontOffset += n;
        if (m_frontOffset == front.size()) {
            m_chunks.pop_front();
            m_frontOffset = 0;
        }
    }
    m_pending -= got;
    m_read += got;
    return c_readOk;
}

uint64_t StreamDevice::BytesFed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fed;
}

uint64_t StreamDevice::BytesRead() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_read;
}

uint64_t StreamDevice::BytesDropped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

std::size_t StreamDevice::BytesPending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending;
}

uint64_t StreamDevice::Opens() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
}

} // namespace sim
