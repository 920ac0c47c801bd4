#pragma once
// Cross-thread counter: reset, increment, decrement, and a wait until the
// count is back at 0 bounded by a time-out measured on the steady clock.

#include <condition_variable>
#include <mutex>

namespace qstd {

class Synchronizer {
public:
    // start: initial count; pollMs: longest single sleep of a wait (the wait
    // also wakes at once on every change of the count); timeoutMs: time-out.
    Synchronizer(unsigned start, unsigned pollMs, unsigned timeoutMs);

    void Reset(unsigned count);
    void Increment();
    // Decrements; a decrement at 0 leaves the count at 0.
    void Decrement();
    // True as soon as the count is 0; false when the time-out passes first.
    bool Wait();
    unsigned Timeout() const { return m_timeoutMs; }
    unsigned Count() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    unsigned m_count;
    unsigned m_pollMs;
    unsigned m_timeoutMs;
};

} // namespace qstd
