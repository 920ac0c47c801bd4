#pragma once
// Common part of the position controllers over a board's history memory: the
// region's size in atoms, the LMT span of one atom (decimation), the time-out
// of waits for data, and the track of the history memory from which the
// controller learns which LMTs the region holds. A wait for data sleeps until
// the track's writer signals the append that brings them, or until they are
// due at the acquisition rate (a lazily written track writes them only when
// looked at); while nothing comes it looks less and less often, at most every
// c_fallbackPoll.

#include "platform/qsig/dod_position_controller.h"
#include "platform/qsig/random_access_buffer.h"
#include "sim/history_memory.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace qsig {

class DodHistoryController : public virtual DodPositionController {
public:
    using Track = sim::HistoryMemory::Track;
    using TrackState = sim::HistoryMemory::State;

    DodHistoryController(size_t size, uint64_t adcFrequency, RequestPriorityLevel_e priority);
    DodHistoryController(const DodHistoryController& other);

    size_t GetSize() const { return m_size; }
    uint64_t GetAdcFrequency() const { return m_adcFrequency; }
    RequestPriorityLevel_e GetPriority() const { return m_priority; }

    // Longest wait of GetPosition for data that are due.
    void SetTimeout(std::chrono::steady_clock::duration timeout);
    void SetTimeout(unsigned seconds) { SetTimeout(std::chrono::seconds(seconds)); }
    std::chrono::steady_clock::duration GetTimeout() const;
    // LMT counts per atom; 0 is taken as 1.
    void SetDecimation(uint64_t decimation);
    uint64_t GetDecimation() const { return m_decimation.load(); }

    // The board's event client. In the simulated chassis the history track
    // tells the controller what the region holds, so the client is only
    // recorded as given.
    template <class Client> void SetEventClient(const Client&) { m_hasEventClient.store(true); }
    bool HasEventClient() const { return m_hasEventClient.load(); }

    // The track of the region that this controller positions in (set by the
    // chassis simulation that writes it). Without one no data are available.
    void SetHistory(std::shared_ptr<const Track> track);
    std::shared_ptr<const Track> GetHistory() const;

    bool IsPositionValid(const uint64_t& position) const override { return position < m_size; }

protected:
    // Words on what the region holds in state, its oldest intact atom at
    // index oldest: "the history holds LMT A to B (atoms I to J since its
    // last restart at LMT F)".
    std::string Holds(const sim::HistoryMemory::State& state, uint64_t oldest) const;
    // The same, where A, the LMT of atom oldest, is given.
    static std::string Holds(const sim::HistoryMemory::State& state, uint64_t oldest, uint64_t oldestLmt);
    // "the time-out (N s)".
    std::string TimeoutText() const;
    // LMT of atom index i of a track state (i < state.written).
    uint64_t LmtOf(const sim::HistoryMemory::State& state, uint64_t index) const;
    // Deadline of a wait that starts now.
    std::chrono::steady_clock::time_point Deadline() const;
    // WaitFor until the time-out, looking again at least every
    // c_fallbackPoll: eSuccess when ready() holds, eCancelled when the
    // controller is stopped, eTimeout when the time-out has passed.
    // whileDisabled: see WaitFor.
    SuccessCode_e WaitForData(const std::function<bool(Duration& next)>& ready,
                              const std::function<bool(Duration& next)>& whileDisabled = nullptr);
    // A waiter on the track whose signal wakes this controller's waits; the
    // wait's ready() arms it with what it waits for.
    sim::HistoryMemory::Waiter Watch(const std::shared_ptr<const Track>& track)
    {
        return {track, [this] { Wake(); }};
    }

    // When one wait looks at the track again if nothing wakes it.
    class Pace {
    public:
        explicit Pace(const DodHistoryController& controller) : m_controller(controller) {}
        // After a look at state that found the data incomplete; lmt is the
        // LMT of the last atom waited for (0 when not known). When the track
        // has changed since the last look: when that atom is due. Otherwise
        // twice the last interval.
        Duration Next(const sim::HistoryMemory::State& state, uint64_t lmt);

    private:
        const DodHistoryController& m_controller;
        uint64_t m_generation = UINT64_MAX;
        Duration m_interval{0};
    };
    static constexpr std::chrono::microseconds c_minRecheck{100};
    static constexpr std::chrono::seconds c_fallbackPoll{1};

    const size_t m_size;

private:
    const uint64_t m_adcFrequency;
    const RequestPriorityLevel_e m_priority;
    std::atomic<uint64_t> m_decimation{1};
    std::atomic<int64_t> m_timeoutNs;
    std::atomic<bool> m_hasEventClient{false};
    mutable std::mutex m_trackMutex;
    std::shared_ptr<const Track> m_track;
};

// Gives a history controller that has no track yet the track of the region
// [byteOffset, byteOffset + atoms × atomSize) of a board's history memory,
// which the board's acquisition writes. Other controllers, and buffers that
// are no history memory, are left as they are.
void AttachHistoryTrack(DodPositionController& controller, const RandomAccessBufferPtr& buffer, size_t byteOffset,
                        size_t atoms, size_t atomSize);

} // namespace qsig
