#include "platform/qsig/dod_history_controller.h"

#include "platform/qsig/random_access_zemtra.h"

#include <algorithm>
#include <sstream>

namespace qsig {

namespace {
// Time-out before SetTimeout is called.
constexpr std::chrono::seconds c_defaultTimeout{60};
} // namespace

DodHistoryController::DodHistoryController(size_t size, uint64_t adcFrequency, RequestPriorityLevel_e priority)
    : m_size(size), m_adcFrequency(adcFrequency), m_priority(priority),
      m_timeoutNs(std::chrono::duration_cast<std::chrono::nanoseconds>(c_defaultTimeout).count())
{
}

DodHistoryController::DodHistoryController(const DodHistoryController& other)
    : DodPositionController(other), m_size(other.m_size), m_adcFrequency(other.m_adcFrequency),
      m_priority(other.m_priority), m_decimation(other.m_decimation.load()), m_timeoutNs(other.m_timeoutNs.load()),
      m_hasEventClient(other.m_hasEventClient.load()), m_track(other.GetHistory())
{
}

void DodHistoryController::SetTimeout(std::chrono::steady_clock::duration timeout)
{
    m_timeoutNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
}

std::chrono::steady_clock::duration DodHistoryController::GetTimeout() const
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::nanoseconds(m_timeoutNs.load()));
}

void DodHistoryController::SetDecimation(uint64_t decimation)
{
    m_decimation.store(decimation == 0 ? 1 : decimation);
}

void DodHistoryController::SetHistory(std::shared_ptr<const Track> track)
{
    {
        std::lock_guard<std::mutex> lock(m_trackMutex);
        m_track = std::move(track);
    }
    Wake();
}

std::shared_ptr<const DodHistoryController::Track> DodHistoryController::GetHistory() const
{
    std::lock_guard<std::mutex> lock(m_trackMutex);
    return m_track;
}

uint64_t DodHistoryController::LmtOf(const sim::HistoryMemory::State& state, uint64_t index) const
{
    return state.newestLmt - (state.written - 1 - index) * GetDecimation();
}

std::string DodHistoryController::Holds(const sim::HistoryMemory::State& state, uint64_t oldest) const
{
    return Holds(state, oldest, oldest < state.written ? LmtOf(state, oldest) : 0);
}

std::string DodHistoryController::Holds(const sim::HistoryMemory::State& state, uint64_t oldest, uint64_t oldestLmt)
{
    const std::string restart = "its last restart at LMT " + std::to_string(state.firstLmt);
    if (state.written == 0 || oldest >= state.written) {
        return "the history holds nothing since " + restart;
    }
    return "the history holds LMT " + std::to_string(oldestLmt) + " to " + std::to_string(state.newestLmt) +
           " (atoms " + std::to_string(oldest) + " to " + std::to_string(state.written - 1) + " since " + restart + ")";
}

std::string DodHistoryController::TimeoutText() const
{
    std::ostringstream text;
    text << "the time-out (" << std::chrono::duration<double>(GetTimeout()).count() << " s)";
    return text.str();
}

std::chrono::steady_clock::time_point DodHistoryController::Deadline() const
{
    return std::chrono::steady_clock::now() + GetTimeout();
}

DodPositionController::Duration DodHistoryController::Pace::Next(const sim::HistoryMemory::State& state, uint64_t lmt)
{
    const bool changed = state.generation != m_generation;
    m_generation = state.generation;
    const uint64_t rate = m_controller.GetAdcFrequency();
    Duration interval = m_interval * 2;
    if (changed && lmt != 0 && rate > 0 && state.written > 0 && lmt > state.newestLmt) {
        // Capped before the conversion: a start far ahead (a wrapped offset)
        // is centuries away, beyond what a duration holds.
        const double seconds = static_cast<double>(lmt - state.newestLmt) / static_cast<double>(rate);
        const double cap = std::chrono::duration<double>(c_fallbackPoll).count();
        interval = std::chrono::duration_cast<Duration>(std::chrono::duration<double>(std::min(seconds, cap)));
    }
    m_interval = std::min<Duration>(std::max<Duration>(interval, c_minRecheck), c_fallbackPoll);
    return m_interval;
}

SuccessCode_e DodHistoryController::WaitForData(const std::function<bool(Duration&)>& ready,
                                                const std::function<bool(Duration&)>& whileDisabled)
{
    switch (WaitFor(ready, Deadline(), c_fallbackPoll, whileDisabled)) {
    case eReady:
        return eSuccess;
    case eStoppedWait:
        return eCancelled;
    default:
        return eTimeout;
    }
}

void AttachHistoryTrack(DodPositionController& controller, const RandomAccessBufferPtr& buffer, size_t byteOffset,
                        size_t atoms, size_t atomSize)
{
    auto* history = dynamic_cast<DodHistoryController*>(&controller);
    auto zemtra = std::dynamic_pointer_cast<RandomAccessZemtra>(buffer);
    if (history && zemtra && !history->GetHistory() && atoms > 0) {
        history->SetHistory(sim::HistoryMemory::GetTrack(zemtra->GetMemory(), byteOffset, atoms, atomSize));
    }
}

} // namespace qsig
