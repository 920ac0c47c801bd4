#include "app/fa_sync_controller.h"

#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <thread>

FaSyncController::FaSyncController(qapp::ZemtraObject& parent, const std::string& name, uint32_t rafs)
    : qapp::ZemtraFeature(parent, name), m_size(rafs), m_counter(rafs)
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "FaSyncController: " << rafs << " RAFs.");
}

void FaSyncController::SetFaRunning()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_counter < m_size) {
        ++m_counter;
    } else {
        // More chains reported running than there are boards: keep the count.
        QSTD_ASSERT(m_counter < m_size);
    }
}

void FaSyncController::SetFaStopped()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_counter != 0) {
        --m_counter;
    } else {
        // A stop without a matching run would wrap the unsigned count: keep it.
        ::qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "m_counter !=0");
    }
}

uint32_t FaSyncController::GetCounter() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counter;
}

bool FaSyncController::WaitForCounter(unsigned int target)
{
    QSTD_TRACE_FNC();
    for (unsigned check = 0; check < c_wait_checks; ++check) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_counter == target) {
                return true;
            }
        }
        std::this_thread::sleep_for(c_wait_period);
    }
    return false;
}

bool FaSyncController::WaitForAllRunning()
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "FaSyncController: Waiting for all running...");
    if (WaitForCounter(m_size)) {
        QSTD_TRACE(1, "FaSyncController: All running.");
        return true;
    }
    QSTD_TRACE(1, "Timeout waiting for all FA chains running.");
    return false;
}

bool FaSyncController::WaitForAllStopped()
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "FaSyncController: Waiting for all stopped...");
    if (WaitForCounter(0)) {
        QSTD_TRACE(1, "FaSyncController: All stopped.");
        return true;
    }
    QSTD_TRACE(1, "Timeout waiting for all FA chains stopped.");
    return false;
}
