#include "platform/qsig/circular_buffer_controller.h"

namespace qsig {

CircularBufferController::CircularBufferController(size_t size, uint64_t adcFrequency, RequestPriorityLevel_e priority)
    : DodHistoryController(size, adcFrequency, priority)
{
    SetSupportedModes({eAccessDefault, eAccessNow, eAccessAtTime, eAccessStreaming, eAccessClone});
}

CircularBufferController::CircularBufferController(const CircularBufferController& other)
    : DodPositionController(other), DodHistoryController(other), Clonable<CircularBufferController>(other)
{
    // A clone streams from its own first read on.
}

void CircularBufferController::Reset(const uint64_t& lmt)
{
    // A streaming clone goes on at the restart LMT.
    m_nextLmt.store(lmt);
    m_streaming.store(true);
    DodPositionController::Reset(lmt);
}

size_t CircularBufferController::GetMaxReadSize(int64_t, AccessMode_e) const
{
    return m_size;
}

SuccessCode_e CircularBufferController::GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                                    LMT& lmt, size_t& position, SignalMeta& meta)
{
    if (const SuccessCode_e admitted = Admit(mode, true); admitted != eSuccess) {
        return admitted;
    }
    auto track = GetHistory();
    if (!track || m_size == 0) {
        return eTryAgain;
    }
    if (mode == eAccessClone) {
        mode = time != 0 ? eAccessAtTime : eAccessNow;
    }
    const uint64_t dec = GetDecimation();
    const uint64_t span = (count > 0 ? count - 1 : 0) * dec;
    const uint64_t shift = static_cast<uint64_t>(offset) * dec; // wraps for negative offsets

    sim::HistoryMemory::State state = track->Snapshot();
    uint64_t start = 0;
    // Start of the read in the current state; false while it cannot be told.
    auto startOf = [&](const sim::HistoryMemory::State& st, uint64_t& s) {
        switch (mode) {
        case eAccessDefault:
            s = st.firstLmt + (time + static_cast<uint64_t>(offset)) * dec;
            return true;
        case eAccessNow:
            if (st.written == 0) {
                return false;
            }
            s = st.newestLmt + dec + shift;
            return true;
        case eAccessAtTime:
            s = time + shift;
            return true;
        default: // streaming
            if (!m_streaming.load()) {
                if (st.written == 0) {
                    return false;
                }
                m_nextLmt.store(st.newestLmt + dec + shift);
                m_streaming.store(true);
            }
            s = m_nextLmt.load();
            return true;
        }
    };
    auto written = [&](const sim::HistoryMemory::State& st, uint64_t s) {
        return st.written > 0 && s >= st.firstLmt && (count == 0 || s + span <= st.newestLmt);
    };
    // The append that a wait for the read at s needs is one that writes its
    // last atom; there is none for a start before the restart (only a
    // restart helps). Returns the interval after which to look again.
    Pace pace(*this);
    auto waitFor = [&](sim::HistoryMemory::Waiter& waiter, const sim::HistoryMemory::State& st, bool known,
                       uint64_t s) {
        sim::HistoryMemory::Target target;
        uint64_t last = 0;
        if (known && s < st.firstLmt) {
            target.written = UINT64_MAX;
        } else if (known) {
            last = s + span;
            target.newestLmt = last;
        }
        waiter.Arm(target, st.generation);
        return pace.Next(st, last);
    };

    if (mode == eAccessStreaming) {
        auto waiter = Watch(track);
        const SuccessCode_e waited = WaitForData(
            [&](Duration& next) {
                state = track->Snapshot();
                const bool known = startOf(state, start);
                if (known && written(state, start)) {
                    return true;
                }
                next = waitFor(waiter, state, known, start);
                return false;
            });
        if (waited != eSuccess) {
            return waited;
        }
    } else {
        if (!startOf(state, start)) {
            return eTryAgain;
        }
        if (!written(state, start)) {
            if (start < state.firstLmt) {
                return eBadRequest; // before the last restart
            }
            // Not written yet: wait only when the data are due within the time-out.
            const uint64_t behind = start + span - (state.written > 0 ? state.newestLmt : state.firstLmt);
            const double due = GetAdcFrequency() > 0 ? static_cast<double>(behind) / GetAdcFrequency() : 0.0;
            if (due > std::chrono::duration<double>(GetTimeout()).count()) {
                return eTryAgain;
            }
            auto waiter = Watch(track);
            const SuccessCode_e waited = WaitForData(
                [&](Duration& next) {
                    state = track->Snapshot();
                    if (written(state, start)) {
                        return true;
                    }
                    next = waitFor(waiter, state, true, start);
                    return false;
                });
            if (waited != eSuccess) {
                return waited;
            }
        }
    }

    const uint64_t index = (start - state.firstLmt) / dec;
    if (state.written > m_size && index < state.written - m_size) {
        if (mode == eAccessStreaming) {
            // The reader fell a whole region behind: go on with the next atom
            // and report the gap.
            m_nextLmt.store(state.newestLmt + dec);
            return eIncompleteData;
        }
        return eBadRequest; // already overwritten
    }
    if (mode == eAccessStreaming) {
        m_nextLmt.store(start + count * dec);
    }
    lmt = state.firstLmt + index * dec;
    position = static_cast<size_t>(index % m_size);
    meta[eMetaLmt] = static_cast<int64_t>(lmt);
    meta[eMetaPosition] = static_cast<int64_t>(position);
    meta[eMetaSequence] = static_cast<int64_t>(index);
    return eSuccess;
}

} // namespace qsig
