#pragma once
// The gain controller's thread mutex: its tuning thread holds it except while
// it waits, and the board lends it to the TBT DSP while it moves the ADC
// delay, so that no gain-control step runs during the change.

#include <memory>
#include <mutex>

class GainControllerLock {
public:
    using Lock_t = std::unique_ptr<std::unique_lock<std::mutex>>;

    // The mutex, held until Unlock (or until the returned lock goes).
    Lock_t Lock() { return std::make_unique<std::unique_lock<std::mutex>>(m_mutex); }
    // Releases a lock made by Lock and leaves the pointer empty.
    void Unlock(Lock_t& lock) { lock.reset(); }

    // For the owner's scoped locks and condition waits.
    std::mutex& Mutex() { return m_mutex; }

private:
    std::mutex m_mutex;
};
