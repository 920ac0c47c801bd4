#pragma once
// Waiting for a condition that another thread brings about.

#include <chrono>
#include <functional>
#include <thread>

namespace zvtest {

// True as soon as condition holds (asked every millisecond); false when the
// time-out passes first.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace zvtest
