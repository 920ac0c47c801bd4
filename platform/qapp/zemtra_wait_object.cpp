#include "platform/qapp/zemtra_wait_object.h"

namespace qapp {

constexpr std::chrono::milliseconds ZemtraWaitObject::c_stopPoll;

ZemtraWaitObject::ZemtraWaitObject(ZemtraObject& parent, std::string name, std::condition_variable& condition,
                                   std::mutex& mutex)
    : ZemtraObject(&parent, name), m_condition(condition), m_mutex(mutex)
{
}

bool ZemtraWaitObject::WaitForData(const bool* stop)
{
    auto stopped = [stop] { return stop != nullptr && __atomic_load_n(stop, __ATOMIC_ACQUIRE); };
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!stopped()) {
        if (m_condition.wait_for(lock, c_stopPoll) == std::cv_status::no_timeout) {
            return true;
        }
    }
    return false;
}

bool ZemtraWaitObject::WaitForData(const bool* stop, const std::function<bool()>& ready)
{
    auto stopped = [stop] { return stop != nullptr && __atomic_load_n(stop, __ATOMIC_ACQUIRE); };
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!ready()) {
        if (stopped()) {
            return false;
        }
        m_condition.wait_for(lock, c_stopPoll);
    }
    return true;
}

void ZemtraWaitObject::Notify()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_condition.notify_all();
}

} // namespace qapp
