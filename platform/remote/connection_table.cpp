#include "platform/remote/connection_table.h"

#include <algorithm>
#include <utility>

namespace remote {

ConnectionTable::ConnectionTable(const Limits& limits, Wake wake) : m_limits(limits), m_wake(std::move(wake)) {}

ConnectionTable::Admit_e ConnectionTable::Admit(const std::shared_ptr<GateEntry>& entry)
{
    // The loop to wake, taken under the lock: once it is released, the
    // entry's own loop may remove and free it.
    unsigned wake = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto gone = m_gonePerPeer.find(entry->peer);
        if (gone != m_gonePerPeer.end() && GoneShare() > 0 && gone->second >= GoneShare()) {
            return Admit_e::eFromPeer;
        }
        if (m_entries.size() < m_limits.maxConnections) {
            ListLocked(entry);
            return Admit_e::eServed;
        }
        std::shared_ptr<GateEntry> idlest = IdlestLocked(nullptr);
        if (!idlest) {
            return Admit_e::eRefused;
        }
        wake = idlest->loop;
        m_newcomers.push_back(Newcomer{entry, std::move(idlest), {}, Admit_e::eWaiting});
    }
    m_wake(wake);
    return Admit_e::eWaiting;
}

ConnectionTable::Admit_e ConnectionTable::Admission(const GateEntry& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find_if(m_newcomers.begin(), m_newcomers.end(),
                                 [&](const Newcomer& n) { return n.entry.get() == &entry; });
    if (it == m_newcomers.end()) {
        return Admit_e::eRefused; // (not a newcomer: never served)
    }
    const Admit_e admission = it->admission;
    if (admission != Admit_e::eWaiting) {
        m_newcomers.erase(it);
    }
    return admission;
}

void ConnectionTable::Remove(GateEntry& entry)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_entries.find(entry.localName);
        if (it != m_entries.end() && it->second.get() == &entry) {
            const std::shared_ptr<GateEntry> removed = it->second; // (kept while its newcomer looks)
            ArrivedLocked(*removed);
            removed->listed = false;
            if (removed->gone) {
                --m_goneListed;
                GoneOverLocked(*removed);
            }
            m_entries.erase(it);
            RoomLocked(removed, wake);
        } else if (entry.countedGone) {
            // Its room among those of clients gone goes to a listed one
            // whose client has gone, the room of which goes to a newcomer.
            entry.countedGone = false;
            --m_gone;
            GoneOverLocked(entry);
            if (m_goneListed > 0) {
                std::shared_ptr<GateEntry> oldest;
                for (const auto& e : m_entries) {
                    if (e.second->gone && (!oldest || e.second->serial < oldest->serial)) {
                        oldest = e.second;
                    }
                }
                if (oldest) {
                    CountGoneLocked(*oldest, wake);
                }
            }
        } else {
            return;
        }
        ResumeLocked(wake);
    }
    WakeLoops(wake);
}

void ConnectionTable::ClientGone(GateEntry& entry, bool left)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!entry.listed || entry.gone) {
            return;
        }
        entry.gone = true;
        ++m_goneListed;
        if (left) {
            entry.left = true;
            ++m_gonePerPeer[entry.peer];
        }
        ArrivedLocked(entry);
        if (m_gone < m_limits.maxConnections) {
            const auto it = m_entries.find(entry.localName);
            CountGoneLocked(*it->second, wake);
        }
        ResumeLocked(wake);
    }
    WakeLoops(wake);
}

void ConnectionTable::CountGoneLocked(GateEntry& entry, std::vector<unsigned>& wake)
{
    const auto it = m_entries.find(entry.localName);
    const std::shared_ptr<GateEntry> left = it->second;
    m_entries.erase(it);
    entry.listed = false;
    --m_goneListed;
    entry.countedGone = true;
    ++m_gone;
    RoomLocked(left, wake);
}

void ConnectionTable::GoneOverLocked(const GateEntry& entry)
{
    if (!entry.left) {
        return;
    }
    const auto it = m_gonePerPeer.find(entry.peer);
    if (it != m_gonePerPeer.end() && --it->second == 0) {
        m_gonePerPeer.erase(it);
    }
}

void ConnectionTable::RoomLocked(const std::shared_ptr<GateEntry>& left, std::vector<unsigned>& wake)
{
    for (Newcomer& n : m_newcomers) {
        if (n.admission == Admit_e::eWaiting && n.victim == left) {
            DecideLocked(n, wake);
        }
    }
    for (Newcomer& n : m_newcomers) {
        if (n.admission == Admit_e::eWaiting && m_entries.size() < m_limits.maxConnections) {
            DecideLocked(n, wake);
        }
    }
}

void ConnectionTable::ListLocked(const std::shared_ptr<GateEntry>& entry)
{
    entry->listed = true;
    m_entries.emplace(entry->localName, entry);
}

std::shared_ptr<GateEntry> ConnectionTable::IdlestLocked(const Newcomer* newcomer) const
{
    std::shared_ptr<GateEntry> idlest;
    for (const auto& e : m_entries) {
        const GateEntry& candidate = *e.second;
        if (candidate.idle.Idle() &&
            (!idlest || candidate.idle.LastActive() < idlest->idle.LastActive() ||
             (candidate.idle.LastActive() == idlest->idle.LastActive() && candidate.serial < idlest->serial)) &&
            !AskedLocked(candidate) &&
            (newcomer == nullptr ||
             std::find(newcomer->busy.begin(), newcomer->busy.end(), candidate.serial) == newcomer->busy.end())) {
            idlest = e.second;
        }
    }
    return idlest;
}

bool ConnectionTable::AskedLocked(const GateEntry& entry) const
{
    return std::any_of(m_newcomers.begin(), m_newcomers.end(),
                       [&](const Newcomer& n) { return n.admission == Admit_e::eWaiting && n.victim.get() == &entry; });
}

void ConnectionTable::DecideLocked(Newcomer& newcomer, std::vector<unsigned>& wake)
{
    const auto wakeLoop = [&wake](unsigned loop) {
        if (std::find(wake.begin(), wake.end(), loop) == wake.end()) {
            wake.push_back(loop);
        }
    };
    newcomer.victim.reset();
    if (m_entries.size() < m_limits.maxConnections) {
        ListLocked(newcomer.entry);
        newcomer.admission = Admit_e::eServed;
        wakeLoop(newcomer.entry->loop);
        return;
    }
    newcomer.victim = IdlestLocked(&newcomer);
    if (newcomer.victim) {
        wakeLoop(newcomer.victim->loop);
        return;
    }
    newcomer.admission = Admit_e::eRefused;
    wakeLoop(newcomer.entry->loop);
}

ConnectionTable::Arriving_e ConnectionTable::Arriving(GateEntry& entry, std::size_t bytes)
{
    std::vector<unsigned> wake; // the loops to wake (see Admit)
    Arriving_e result = Arriving_e::eOk;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!entry.listed || entry.gone) {
            return Arriving_e::eOk; // (its connection is closing: nothing of it counts)
        }
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
            // (Of equals, this one, else the oldest: whatever the order of the table.)
            GateEntry* largest = &entry;
            for (const auto& e : m_entries) {
                const GateEntry& candidate = *e.second;
                if (candidate.arriving && (candidate.arrivingBytes > largest->arrivingBytes ||
                                           (candidate.arrivingBytes == largest->arrivingBytes && largest != &entry &&
                                            candidate.serial < largest->serial))) {
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
        // A refusal asked for the message that has arrived is for none of
        // its next ones.
        entry.refuseInAll = false;
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
    SetWaitingLocked(entry, false);
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
            SetWaitingLocked(entry, false);
            return true;
        }
        SetWaitingLocked(entry, true);
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
    SetWaitingLocked(entry, false);
    return true;
}

void ConnectionTable::SetWaitingLocked(GateEntry& entry, bool waiting)
{
    if (entry.waiting != waiting) {
        entry.waiting = waiting;
        waiting ? ++m_waiting : --m_waiting;
    }
}

void ConnectionTable::ResumeLocked(std::vector<unsigned>& wake)
{
    if (m_waiting == 0) {
        return;
    }
    const auto resume = [&](GateEntry& e) {
        SetWaitingLocked(e, false);
        e.resume = true;
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
    return AskedLocked(entry);
}

void ConnectionTable::Keep(const GateEntry& entry)
{
    std::vector<unsigned> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Newcomer& n : m_newcomers) {
            if (n.admission == Admit_e::eWaiting && n.victim.get() == &entry) {
                n.busy.push_back(entry.serial);
                DecideLocked(n, wake);
            }
        }
    }
    WakeLoops(wake);
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
    return m_entries.size() + m_gone;
}

ConnectionTable::Counts ConnectionTable::Counted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Counts counts;
    counts.connections = m_entries.size();
    counts.gone = m_gone;
    counts.newcomers = static_cast<std::size_t>(std::count_if(
        m_newcomers.begin(), m_newcomers.end(), [](const Newcomer& n) { return n.admission == Admit_e::eWaiting; }));
    for (const auto& peer : m_arrivingPerPeer) {
        counts.arriving += peer.second;
    }
    counts.arrivingBytes = m_arrivingBytes;
    counts.waiting = m_waiting;
    return counts;
}

std::size_t ConnectionTable::GoneFrom(const std::string& peer) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_gonePerPeer.find(peer);
    return it != m_gonePerPeer.end() ? it->second : 0;
}

std::size_t ConnectionTable::ArrivingFrom(const std::string& peer) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_arrivingPerPeer.find(peer);
    return it != m_arrivingPerPeer.end() ? it->second : 0;
}

} // namespace remote
