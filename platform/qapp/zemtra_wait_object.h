#pragma once
// Waits for the notifications of a condition variable that another object
// owns, under that object's mutex, and ends early when the caller's stop
// flag is set.

#include "platform/qapp/zemtra_object.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace qapp {

class ZemtraWaitObject : public ZemtraObject {
public:
    // How often a wait looks at the stop flag.
    static constexpr std::chrono::milliseconds c_stopPoll{10};

    ZemtraWaitObject(ZemtraObject& parent, std::string name, std::condition_variable& condition, std::mutex& mutex);

    // Blocks until the condition is notified after the call began (true) or
    // *stop becomes true (false). The stop flag is read atomically; the
    // caller sets it from another thread.
    bool WaitForData(const bool* stop);
    // Blocks until ready() holds (true) or *stop becomes true (false).
    // ready() is asked under the owner's mutex, at once, at every
    // notification and at every look at the stop flag, so a change that the
    // owner made under its mutex before the call is never missed and a
    // spurious wake-up is never taken for data.
    bool WaitForData(const bool* stop, const std::function<bool()>& ready);

    // Wakes the waiters as the owner's notification does (for owners that do
    // not notify through their own condition).
    void Notify();

private:
    std::condition_variable& m_condition;
    std::mutex& m_mutex;
};

} // namespace qapp
