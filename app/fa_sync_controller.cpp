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

uint64_t FaSyncController::SetFaRunning()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t mark = m_running_rounds;
    if (m_counter < m_size) {
        if (++m_counter == m_size) {
            ++m_running_rounds;
        }
    } else {
        // More chains reported running than there are boards: keep the count.
        QSTD_ASSERT(m_counter < m_size);
    }
    return mark;
}

uint64_t FaSyncController::SetFaStopped()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t mark = m_stopped_rounds;
    if (m_counter != 0) {
        if (--m_counter == 0) {
            ++m_stopped_rounds;
        }
    } else {
        // A stop without a matching run would wrap the unsigned count: keep it.
        ::qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "m_counter !=0");
    }
    return mark;
}

uint32_t FaSyncController::GetCounter() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counter;
}

uint64_t FaSyncController::GetStoppedRounds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped_rounds;
}

uint64_t FaSyncController::GetRunningRounds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running_rounds;
}

bool FaSyncController::WaitForCounter(unsigned int target)
{
    return WaitFor(target, nullptr, 0, GiveUp()) == Wait_e::eMet;
}

FaSyncController::Wait_e FaSyncController::WaitFor(unsigned int target, const uint64_t* rounds, uint64_t mark,
                                                   const GiveUp& giveUp)
{
    QSTD_TRACE_FNC();
    for (unsigned check = 0; check < c_wait_checks; ++check) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_counter == target || (rounds != nullptr && *rounds > mark)) {
                return Wait_e::eMet;
            }
        }
        if (giveUp && giveUp()) {
            return Wait_e::eGivenUp;
        }
        std::this_thread::sleep_for(c_wait_period);
    }
    return Wait_e::eTimedOut;
}

bool FaSyncController::WaitForAll(bool running, uint64_t mark, const GiveUp& giveUp)
{
    const char* what = running ? "running" : "stopped";
    QSTD_TRACE(1, "FaSyncController: Waiting for all " << what << "...");
    switch (WaitFor(running ? m_size : 0, running ? &m_running_rounds : &m_stopped_rounds, mark, giveUp)) {
    case Wait_e::eMet:
        QSTD_TRACE(1, "FaSyncController: All " << what << ".");
        return true;
    case Wait_e::eGivenUp:
        QSTD_TRACE(1, "FaSyncController: Wait for all " << what << " given up.");
        return false;
    case Wait_e::eTimedOut:
        break;
    }
    QSTD_TRACE(1, "Timeout waiting for all FA chains " << what << ".");
    return false;
}

bool FaSyncController::WaitForAllRunning()
{
    return WaitForAllRunning(GetRunningRounds());
}

bool FaSyncController::WaitForAllRunning(uint64_t mark, const GiveUp& giveUp)
{
    QSTD_TRACE_FNC();
    return WaitForAll(true, mark, giveUp);
}

bool FaSyncController::WaitForAllStopped()
{
    return WaitForAllStopped(GetStoppedRounds());
}

bool FaSyncController::WaitForAllStopped(uint64_t mark, const GiveUp& giveUp)
{
    QSTD_TRACE_FNC();
    return WaitForAll(false, mark, giveUp);
}
