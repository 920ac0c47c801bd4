#include "platform/remote/connection_table.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace mci {

ConnectionTable::ConnectionTable(const Limits& limits, Wake wake) : m_limits(limits), m_wake(std::move(wake)) {}

bool ConnectionTable::Admit(const std::shared_ptr<GateEntry>& entry)
{
    // The loop to wake, taken under the lock: once it is released, the
    // entry's own loop may remove and free it.
    std::optional<unsigned> evict;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_entries.size() - m_evicting >= m_limits.maxConnections) {
            GateEntry* idlest = nullptr;
            for (const auto& e : m_entries) {
                GateEntry& candidate = *e.second;
                if (!candidate.evict && candidate.idle.load() &&
                    (idlest == nullptr || candidate.lastActive.load() < idlest->lastActive.load())) {
                    idlest = &candidate;
                }
            }
            if (idlest == nullptr) {
                return false;
            }
            idlest->evict = true;
            ++m_evicting;
            evict = idlest->loop;
        }
        m_entries.emplace(entry->localName, entry);
    }
    if (evict) {
        // (The entry stays listed until its loop removes it.)
        m_wake(*evict);
    }
    return true;
}

void ConnectionTable::Remove(const GateEntry& entry)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_entries.find(entry.localName);
        if (it == m_entries.end() || it->second.get() != &entry) {
            return;
        }
        ArrivedLocked(*it->second);
        if (it->second->evict) {
            --m_evicting;
        }
        m_entries.erase(it);
        ResumeLocked(wake);
    }
    WakeLoops(wake);
}

ConnectionTable::Arriving_e ConnectionTable::Arriving(GateEntry& entry, std::size_t bytes)
{
    std::vector<unsigned> wake; // the loops to wake (see Admit)
    Arriving_e result = Arriving_e::eOk;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (entry.refuseInAll) {
            entry.refuseInAll = false;
            return Arriving_e::eInAll;
        }
        if (!entry.arriving) {
            unsigned& fromPeer = m_arrivingPerPeer[entry.peer];
            if (fromPeer >= m_limits.maxArrivingPerPeer) {
                if (fromPeer == 0) {
                    m_arrivingPerPeer.erase(entry.peer);
                }
                return Arriving_e::eFromPeer;
            }
            ++fromPeer;
            entry.arriving = true;
        }
        m_arrivingBytes += bytes - entry.arrivingBytes;
        entry.arrivingBytes = bytes;
        if (m_arrivingBytes > m_limits.maxArrivingBytes) {
            GateEntry* largest = &entry;
            for (const auto& e : m_entries) {
                if (e.second->arriving && e.second->arrivingBytes > largest->arrivingBytes) {
                    largest = e.second.get();
                }
            }
            ArrivedLocked(*largest);
            if (largest == &entry) {
                result = Arriving_e::eInAll;
            } else {
                largest->refuseInAll = true;
                wake.push_back(largest->loop);
            }
            ResumeLocked(wake);
        }
    }
    WakeLoops(wake);
    return result;
}

void ConnectionTable::Arrived(GateEntry& entry)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!entry.arriving) {
            return;
        }
        ArrivedLocked(entry);
        ResumeLocked(wake);
    }
    WakeLoops(wake);
}

void ConnectionTable::ArrivedLocked(GateEntry& entry)
{
    if (!entry.arriving) {
        return;
    }
    m_arrivingBytes -= entry.arrivingBytes;
    entry.arrivingBytes = 0;
    entry.arriving = false;
    entry.mayWait = false;
    if (entry.waiting) {
        entry.waiting = false;
        --m_waiting;
    }
    entry.resume = false;
    const auto it = m_arrivingPerPeer.find(entry.peer);
    if (it != m_arrivingPerPeer.end() && --it->second == 0) {
        m_arrivingPerPeer.erase(it);
    }
}

bool ConnectionTable::MayRead(GateEntry& entry)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!entry.arriving) {
            return true; // (refused meanwhile: its loop learns it)
        }
        entry.mayWait = true;
        entry.resume = false;
        if (!PastHalfLocked() || LongestLocked() == &entry) {
            return true;
        }
        if (!entry.waiting) {
            entry.waiting = true;
            ++m_waiting;
        }
        ResumeLocked(wake); // (the one that holds the most reads on)
    }
    WakeLoops(wake);
    return false;
}

bool ConnectionTable::TakeResume(GateEntry& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(entry.resume, false);
}

bool ConnectionTable::StopWaiting(GateEntry& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::exchange(entry.resume, false)) {
        return false;
    }
    if (entry.waiting) {
        entry.waiting = false;
        --m_waiting;
    }
    return true;
}

void ConnectionTable::ResumeLocked(std::vector<unsigned>& wake)
{
    if (m_waiting == 0) {
        return;
    }
    const auto resume = [&](GateEntry& e) {
        e.waiting = false;
        e.resume = true;
        --m_waiting;
        if (std::find(wake.begin(), wake.end(), e.loop) == wake.end()) {
            wake.push_back(e.loop);
        }
    };
    if (!PastHalfLocked()) {
        for (const auto& e : m_entries) {
            if (e.second->waiting) {
                resume(*e.second);
            }
        }
        return;
    }
    // The long message that holds the most reads on, whatever the others hold.
    if (GateEntry* longest = LongestLocked(); longest != nullptr && longest->waiting) {
        resume(*longest);
    }
}

bool ConnectionTable::PastHalfLocked() const
{
    return m_arrivingBytes > m_limits.maxArrivingBytes / 2;
}

GateEntry* ConnectionTable::LongestLocked() const
{
    GateEntry* longest = nullptr;
    for (const auto& e : m_entries) {
        GateEntry& candidate = *e.second;
        // (Of equals, the oldest: one reads on, whatever the order of the table.)
        if (candidate.arriving && candidate.mayWait &&
            (longest == nullptr || candidate.arrivingBytes > longest->arrivingBytes ||
             (candidate.arrivingBytes == longest->arrivingBytes && candidate.serial < longest->serial))) {
            longest = &candidate;
        }
    }
    return longest;
}

void ConnectionTable::WakeLoops(const std::vector<unsigned>& loops) const
{
    for (const unsigned loop : loops) {
        m_wake(loop);
    }
}

bool ConnectionTable::EvictAsked(const GateEntry& entry) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return entry.evict;
}

void ConnectionTable::Keep(GateEntry& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (entry.evict) {
        entry.evict = false;
        --m_evicting;
    }
}

bool ConnectionTable::TakeRefuse(GateEntry& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool asked = entry.refuseInAll;
    entry.refuseInAll = false;
    return asked;
}

std::size_t ConnectionTable::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

std::size_t ConnectionTable::ArrivingFrom(const std::string& peer) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_arrivingPerPeer.find(peer);
    return it != m_arrivingPerPeer.end() ? it->second : 0;
}

} // namespace mci
