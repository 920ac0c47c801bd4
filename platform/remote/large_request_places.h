#pragma once
// remote::LargeRequestPlaces: the places of large requests that the gate lets
// the ORB take at once, shared by the gate's event loops. A connection
// whose large request has arrived whole asks for a place: it takes one that
// is free when nobody waits, waits its turn (first come, first served) when
// none is, or is refused when too many wait already. A place that comes
// free goes to the first that waits, and its event loop is woken to look
// (Granted). A connection gives its place back once the ORB has taken the
// request, and withdraws when it stops waiting.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace remote {

class LargeRequestPlaces {
public:
    // Wakes the event loop of the given index: a connection of it got a place.
    using Wake = std::function<void(unsigned loop)>;

    LargeRequestPlaces(unsigned places, unsigned maxWaiting, Wake wake);

    enum class Ask_e { eTaken, eWaiting, eRefused };

    // The connection of serial, served by the loop of that index, asks for a place.
    Ask_e Ask(std::uint64_t serial, unsigned loop);
    // A waiting connection: true once it holds a place.
    bool Granted(std::uint64_t serial);
    // The connection stops waiting; a place given to it meanwhile goes on.
    void Withdraw(std::uint64_t serial);
    // The connection gives its place back.
    void Release(std::uint64_t serial);
    // Connections that wait for a place, and places given.
    std::size_t Waiting() const;
    std::size_t Taken() const;

private:
    struct Waiter {
        std::uint64_t serial;
        unsigned loop;
    };

    // Caller holds m_mutex: gives free places to the first waiters; the
    // loops to wake go to wake.
    void GrantLocked(std::vector<unsigned>& wake);
    void WakeAll(const std::vector<unsigned>& loops);

    const unsigned m_places;
    const unsigned m_maxWaiting;
    const Wake m_wake;
    mutable std::mutex m_mutex;
    std::deque<Waiter> m_queue;
    std::vector<std::uint64_t> m_granted; // given a place, not collected yet
    std::vector<std::uint64_t> m_holders;
};

} // namespace remote
