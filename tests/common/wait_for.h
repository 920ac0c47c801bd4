#pragma once
// Waiting for a condition that another thread brings about.

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace zvtest {

// True as soon as condition holds; false when the time-out passes first
// (condition is asked once more at the end). The deadline is generous:
// threads start late on a loaded machine, and only a failing test waits it
// out. Asked every millisecond at first, then less often, up to every 10 ms,
// so that a long wait does not take the core from the threads it waits for.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::chrono::milliseconds pause(1);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace zvtest
