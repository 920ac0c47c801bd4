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
    // A streaming clone goes on at the restart LMT, in the history that the
    // acquisition's restart begins there.
    m_nextLmt.store(lmt);
    m_lineFrom.store(lmt);
    m_streaming.store(true);
    DodPositionController::Reset(lmt);
}

size_t CircularBufferController::GetMaxReadSize(int64_t, AccessMode_e) const
{
    return m_size;
}

size_t CircularBufferController::GetMaxReadSizeFrom(size_t position) const
{
    const size_t cut = m_cut.exchange(0);
    return cut > 0 ? cut : DodPositionController::GetMaxReadSizeFrom(position);
}

// A clone's mode is resolved; span and shift are in LMT counts: from the
// first to the last atom, and the offset's move (which wraps for negative
// offsets).
struct CircularBufferController::Read {
    AccessMode_e mode;
    uint64_t time;
    int64_t offset;
    size_t count;
    uint64_t dec;
    uint64_t span;
    uint64_t shift;
};

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
    const Read read{mode, time, offset, count, dec, span, static_cast<uint64_t>(offset) * dec};
    TrackState state = track->Snapshot();
    uint64_t start = 0;
    size_t cut = 0;
    const SuccessCode_e found = mode == eAccessStreaming ? WaitForStream(track, read, state, start, cut)
                                                         : WaitForRead(track, read, state, start);
    if (found != eSuccess) {
        return found;
    }
    if (cut == 0) {
        return Place(read, state, start, lmt, position, meta);
    }
    const Read shorter{read.mode, read.time, read.offset, cut, dec, (cut - 1) * dec, read.shift};
    const SuccessCode_e placed = Place(shorter, state, start, lmt, position, meta);
    if (placed == eSuccess) {
        m_cut.store(cut);
    }
    return placed;
}

bool CircularBufferController::StartOf(const Read& read, const TrackState& state, uint64_t& start)
{
    switch (read.mode) {
    case eAccessDefault:
        start = state.firstLmt + (read.time + static_cast<uint64_t>(read.offset)) * read.dec;
        return true;
    case eAccessNow:
        if (state.written == 0) {
            return false;
        }
        start = state.newestLmt + read.dec + read.shift;
        return true;
    case eAccessAtTime:
        start = read.time + read.shift;
        return true;
    default: // streaming
        if (!m_streaming.load()) {
            if (state.written == 0) {
                return false;
            }
            m_nextLmt.store(state.newestLmt + read.dec + read.shift);
            m_streaming.store(true);
        }
        start = StreamingStart(m_nextLmt.load(), state, read.dec);
        return true;
    }
}

uint64_t CircularBufferController::StreamingStart(uint64_t next, const TrackState& state, uint64_t dec)
{
    // A history that restarted less than one atom after the LMT the reader
    // goes on at (a chain started at that LMT, whose first atom comes on its
    // source's grid) goes on with its first atom.
    return next < state.firstLmt && state.firstLmt - next < dec ? state.firstLmt : next;
}

bool CircularBufferController::IsWritten(const Read& read, const TrackState& state, uint64_t start)
{
    return state.written > 0 && start >= state.firstLmt && (read.count == 0 || start + read.span <= state.newestLmt);
}

SuccessCode_e CircularBufferController::WaitForStream(const std::shared_ptr<const Track>& track, const Read& read,
                                                      TrackState& state, uint64_t& start, size_t& cut)
{
    auto waiter = Watch(track);
    Pace pace(*this);
    cut = 0;
    return WaitForData(
        [&](Duration& next) {
            m_cutTaken.store(false);
            state = track->Snapshot();
            const bool known = StartOf(read, state, start);
            // A history begun before the last reset's LMT is of the time line
            // before it, whichever LMTs its atoms carry: the reader waits for
            // the restart.
            const bool before = state.firstLmt < m_lineFrom.load();
            if (known && !before && start >= state.firstLmt) {
                m_line.store(state.restarts); // the time line of the buffer waited for
            }
            if (known && !before && IsWritten(read, state, start)) {
                return true;
            }
            next = ArmWait(waiter, pace, read, state, known, start, before);
            return false;
        },
        [&](Duration&) {
            // Disabled: a synchronisation ends the time line of the buffer
            // that the reader waits for. What of it is acquired by now is
            // its last buffer of that time line.
            if (m_cutTaken.load() || !m_streaming.load()) {
                return false;
            }
            state = track->Snapshot();
            if (state.restarts != m_line.load() || state.written == 0 || state.firstLmt < m_lineFrom.load() ||
                !StartOf(read, state, start) || start < state.firstLmt || start > state.newestLmt) {
                return false;
            }
            m_cutTaken.store(true);
            if (!IsWritten(read, state, start)) {
                cut = static_cast<size_t>((state.newestLmt - start) / read.dec + 1);
            }
            return true;
        });
}

SuccessCode_e CircularBufferController::WaitForRead(const std::shared_ptr<const Track>& track, const Read& read,
                                                    TrackState& state, uint64_t& start)
{
    if (!StartOf(read, state, start)) {
        return eTryAgain;
    }
    if (IsWritten(read, state, start)) {
        return eSuccess;
    }
    if (start < state.firstLmt) {
        return eBadRequest; // before the last restart
    }
    if (!IsDueInTime(read, state, start)) {
        return eTryAgain; // not written yet, and not due within the time-out
    }
    auto waiter = Watch(track);
    Pace pace(*this);
    return WaitForData([&](Duration& next) {
        state = track->Snapshot();
        if (IsWritten(read, state, start)) {
            return true;
        }
        next = ArmWait(waiter, pace, read, state, true, start, false);
        return false;
    });
}

bool CircularBufferController::IsDueInTime(const Read& read, const TrackState& state, uint64_t start) const
{
    const uint64_t behind = start + read.span - (state.written > 0 ? state.newestLmt : state.firstLmt);
    const double due = GetAdcFrequency() > 0 ? static_cast<double>(behind) / GetAdcFrequency() : 0.0;
    return due <= std::chrono::duration<double>(GetTimeout()).count();
}

DodPositionController::Duration CircularBufferController::ArmWait(sim::HistoryMemory::Waiter& waiter, Pace& pace,
                                                                  const Read& read, const TrackState& state, bool known,
                                                                  uint64_t start, bool restart)
{
    sim::HistoryMemory::Target target;
    uint64_t last = 0;
    if (restart || (known && start < state.firstLmt)) {
        target.written = UINT64_MAX;
    } else if (known) {
        last = start + read.span;
        target.newestLmt = last;
    }
    waiter.Arm(target, state.generation);
    return pace.Next(state, last);
}

SuccessCode_e CircularBufferController::Place(const Read& read, const TrackState& state, uint64_t start, LMT& lmt,
                                              size_t& position, SignalMeta& meta)
{
    const uint64_t index = (start - state.firstLmt) / read.dec;
    if (state.written > m_size && index < state.written - m_size) {
        if (read.mode == eAccessStreaming) {
            // The reader fell a whole region behind: go on with the next atom
            // and report the gap, the atoms from its start to the newest.
            m_nextLmt.store(state.newestLmt + read.dec);
            m_passedOver.fetch_add(state.written - index);
            return eIncompleteData;
        }
        return eBadRequest; // already overwritten
    }
    if (read.mode == eAccessStreaming) {
        m_nextLmt.store(start + read.count * read.dec);
    }
    lmt = state.firstLmt + index * read.dec;
    position = static_cast<size_t>(index % m_size);
    meta[eMetaLmt] = static_cast<int64_t>(lmt);
    meta[eMetaPosition] = static_cast<int64_t>(position);
    meta[eMetaSequence] = static_cast<int64_t>(index);
    return eSuccess;
}

std::string CircularBufferController::Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                              SuccessCode_e code, RefusalKind* kind) const
{
    if (std::string words = DodPositionController::Explain(mode, time, offset, count, code, kind); !words.empty()) {
        return words;
    }
    auto track = GetHistory();
    if (!track || m_size == 0) {
        return code == eTryAgain ? "the signal has no history to read" : std::string();
    }
    if (mode == eAccessClone) {
        mode = time != 0 ? eAccessAtTime : eAccessNow;
    }
    const TrackState state = track->Snapshot();
    const uint64_t dec = GetDecimation();
    const std::string holds = Holds(state, state.written > m_size ? state.written - m_size : 0);
    const uint64_t shift = static_cast<uint64_t>(offset) * dec;
    uint64_t start = 0;
    switch (mode) {
    case eAccessDefault:
        start = state.firstLmt + (time + static_cast<uint64_t>(offset)) * dec;
        break;
    case eAccessNow:
        if (state.written == 0) {
            return code == eTryAgain ? holds : std::string();
        }
        start = state.newestLmt + dec + shift;
        break;
    case eAccessAtTime:
        start = time + shift;
        break;
    default: // streaming
        if (code == eIncompleteData) {
            return "the reader fell more than the " + std::to_string(m_size) +
                   " atoms of the history behind and goes on with the newest: " + holds;
        }
        if (!m_streaming.load()) {
            return std::string();
        }
        start = StreamingStart(m_nextLmt.load(), state, dec);
        break;
    }
    const bool one = count <= 1;
    const std::string atoms = one ? "the atom at LMT " + std::to_string(start)
                                  : "the " + std::to_string(count) + " atoms at LMT " + std::to_string(start) + " to " +
                                        std::to_string(start + (count - 1) * dec);
    switch (code) {
    case eBadRequest:
        if (start < state.firstLmt) {
            return atoms + (one ? " lies" : " lie") + " before the history's last restart (LMT " +
                   std::to_string(state.firstLmt) + ")";
        }
        return atoms + (one ? " was" : " were") + " overwritten: " + holds;
    case eTryAgain:
        if (kind != nullptr) {
            kind->pastTheEnd = true;
        }
        return atoms + (one ? " is" : " are") + " not recorded yet and not due within " + TimeoutText() + ": " + holds;
    case eTimeout:
        return atoms + " did not come within " + TimeoutText() + ": " + holds;
    default:
        return std::string();
    }
}

} // namespace qsig
