#pragma once
// The gain controller's mutex, which the board lends to the TBT DSP while it
// moves the ADC delay, so that no gain-control step runs during the change.
// The board holds this object until the gain controller is part of it; the
// gain controller then owns it and its thread locks the same mutex while it
// works.

#include <memory>
#include <mutex>

class GainControllerLock {
public:
    using Lock_t = std::unique_ptr<std::unique_lock<std::mutex>>;

    // The mutex, held until Unlock (or until the returned lock goes).
    Lock_t Lock() { return std::make_unique<std::unique_lock<std::mutex>>(m_mutex); }
    // Releases a lock made by Lock and leaves the pointer empty.
    void Unlock(Lock_t& lock) { lock.reset(); }

private:
    std::mutex m_mutex;
};
