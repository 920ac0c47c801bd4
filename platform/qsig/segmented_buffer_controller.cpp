#include "platform/qsig/segmented_buffer_controller.h"

#include <algorithm>

namespace qsig {

SegmentedBufferController::SegmentedBufferController(size_t size, size_t sections, RequestPriorityLevel_e priority)
    : DodHistoryController(size, 0, priority), m_sections(sections == 0 ? 1 : sections),
      m_sectionSize(size / (sections == 0 ? 1 : sections))
{
    SetSupportedModes({eAccessDefault, eAccessNow, eAccessAtTime, eAccessStreaming, eAccessClone});
}

SegmentedBufferController::SegmentedBufferController(const SegmentedBufferController& other)
    : DodPositionController(other), DodHistoryController(other), Clonable<SegmentedBufferController>(other),
      m_sections(other.m_sections), m_sectionSize(other.m_sectionSize),
      m_acquisitionOffset(other.m_acquisitionOffset.load())
{
}

void SegmentedBufferController::Reset(const uint64_t& lmt)
{
    // After a restart a streaming clone begins with the next section written.
    m_streaming.store(false);
    DodPositionController::Reset(lmt);
}

uint64_t SegmentedBufferController::Intact(const sim::HistoryMemory::State& state) const
{
    // A section that is being written has begun to overwrite the slot of the
    // oldest section, which then no longer holds its own data. A memory of
    // one section has no other: its section is served as it stands.
    const bool writing = state.written % m_sectionSize != 0;
    return writing && m_sections > 1 ? m_sections - 1 : m_sections;
}

size_t SegmentedBufferController::GetMaxReadSize(int64_t offset, AccessMode_e) const
{
    return Remaining(m_sectionSize, offset);
}

size_t SegmentedBufferController::GetMaxReadSizeFrom(size_t position) const
{
    // Positions are slot * section size + the atom in the section.
    return m_sectionSize == 0 ? 0 : m_sectionSize - position % m_sectionSize;
}

SuccessCode_e SegmentedBufferController::GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t, LMT& lmt,
                                                     size_t& position, SignalMeta& meta)
{
    if (const SuccessCode_e admitted = Admit(mode, true); admitted != eSuccess) {
        return admitted;
    }
    auto track = GetHistory();
    if (!track || m_sectionSize == 0) {
        return eTryAgain;
    }
    const uint64_t atomOffset = offset > 0 ? static_cast<uint64_t>(offset) : 0;
    if (atomOffset >= m_sectionSize) {
        return eBadRequest;
    }
    if (mode == eAccessClone) {
        mode = time != 0 ? eAccessAtTime : eAccessNow;
    }
    TrackState state = track->Snapshot();
    uint64_t section = 0; // number of the section since the restart
    uint64_t inSection = atomOffset;
    const SuccessCode_e found = mode == eAccessStreaming ? NextSection(track, state, section)
                                                         : FindSection(mode, time, state, section, inSection);
    if (found != eSuccess) {
        return found;
    }
    const uint64_t index = section * m_sectionSize + inSection;
    lmt = LmtOf(state, index);
    position = static_cast<size_t>((section % m_sections) * m_sectionSize + inSection);
    meta[eMetaLmt] = static_cast<int64_t>(lmt);
    meta[eMetaPosition] = static_cast<int64_t>(position);
    meta[eMetaSequence] = static_cast<int64_t>(section);
    return eSuccess;
}

SuccessCode_e SegmentedBufferController::NextSection(const std::shared_ptr<const Track>& track, TrackState& state,
                                                     uint64_t& section)
{
    if (const SuccessCode_e waited = WaitForNextSection(track, state); waited != eSuccess) {
        return waited;
    }
    const uint64_t complete = state.written / m_sectionSize;
    section = m_nextSection.load();
    if (complete - section > Intact(state)) {
        // Overwritten before it was read: go on with the newest section.
        m_nextSection.store(complete);
        return eIncompleteData;
    }
    m_nextSection.store(section + 1);
    return eSuccess;
}

SuccessCode_e SegmentedBufferController::WaitForNextSection(const std::shared_ptr<const Track>& track,
                                                            TrackState& state)
{
    auto waiter = Watch(track);
    Pace pace(*this);
    return WaitForData([&](Duration& next) {
        state = track->Snapshot();
        const uint64_t complete = state.written / m_sectionSize;
        if (!m_streaming.load()) {
            m_nextSection.store(complete);
            m_streaming.store(true);
        }
        const uint64_t wanted = m_nextSection.load();
        if (complete > wanted) {
            return true;
        }
        // Woken by the append that completes the next section.
        sim::HistoryMemory::Target target;
        target.written = (wanted + 1) * m_sectionSize;
        waiter.Arm(target, state.generation);
        next = pace.Next(state, 0);
        return false;
    });
}

SuccessCode_e SegmentedBufferController::FindSection(AccessMode_e mode, uint64_t time, const TrackState& state,
                                                     uint64_t& section, uint64_t& inSection) const
{
    const uint64_t complete = state.written / m_sectionSize;
    if (complete == 0) {
        return eTryAgain;
    }
    const uint64_t intact = Intact(state);
    const uint64_t kept = complete < intact ? complete : intact;
    switch (mode) {
    case eAccessDefault:
        if (time >= kept) {
            return eBadRequest;
        }
        section = complete - 1 - time;
        return eSuccess;
    case eAccessNow:
        section = complete - 1;
        return eSuccess;
    default: // at an LMT
        return FindLmt(time, state, complete, kept, section, inSection);
    }
}

SuccessCode_e SegmentedBufferController::FindLmt(uint64_t lmt, const TrackState& state, uint64_t complete,
                                                 uint64_t kept, uint64_t& section, uint64_t& inSection) const
{
    if (lmt > state.newestLmt) {
        return eTryAgain;
    }
    const uint64_t back = (state.newestLmt - lmt) / GetDecimation();
    if (back >= state.written) {
        return eBadRequest;
    }
    const uint64_t index = state.written - 1 - back;
    section = index / m_sectionSize;
    if (section >= complete) {
        return eTryAgain; // its section is still being written
    }
    if (complete - section > kept) {
        return eBadRequest;
    }
    inSection += index % m_sectionSize;
    if (inSection >= m_sectionSize) {
        return eBadRequest;
    }
    return eSuccess;
}

std::string SegmentedBufferController::Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                               SuccessCode_e code) const
{
    if (std::string words = DodPositionController::Explain(mode, time, offset, count, code); !words.empty()) {
        return words;
    }
    auto track = GetHistory();
    if (!track || m_sectionSize == 0) {
        return code == eTryAgain ? "the signal has no history to read" : std::string();
    }
    const std::string size = std::to_string(m_sectionSize);
    if (code == eBadRequest && offset > 0 && static_cast<uint64_t>(offset) >= m_sectionSize) {
        return "the offset " + std::to_string(offset) + " lies outside a section of " + size + " atoms";
    }
    if (mode == eAccessClone) {
        mode = time != 0 ? eAccessAtTime : eAccessNow;
    }
    const TrackState state = track->Snapshot();
    const uint64_t complete = state.written / m_sectionSize;
    const uint64_t kept = std::min(complete, Intact(state));
    const std::string holds = "sections of " + size + " atoms; " + Holds(state, (complete - kept) * m_sectionSize) +
                              ", " + std::to_string(kept) + " complete section" + (kept == 1 ? "" : "s");
    if (mode == eAccessStreaming) {
        if (code == eIncompleteData) {
            return "sections were overwritten before they were read; the reader goes on with the newest: " + holds;
        }
        return code == eTimeout ? "no section came within " + TimeoutText() + ": " + holds : std::string();
    }
    if (code == eTryAgain && complete == 0) {
        return "no section is complete yet: " + holds;
    }
    if (mode == eAccessDefault) {
        return code == eBadRequest ? "section " + std::to_string(time) + " back from the newest is not held: " + holds
                                   : std::string();
    }
    if (mode != eAccessAtTime) {
        return std::string();
    }
    const std::string at = "LMT " + std::to_string(time);
    if (code == eTryAgain) {
        return time > state.newestLmt ? at + " is not recorded yet: " + holds
                                      : "the section of " + at + " is still being written: " + holds;
    }
    if (code != eBadRequest) {
        return std::string();
    }
    if (time < state.firstLmt) {
        return at + " lies before the history's last restart (LMT " + std::to_string(state.firstLmt) + ")";
    }
    const uint64_t back = time <= state.newestLmt ? (state.newestLmt - time) / GetDecimation() : 0;
    if (back >= state.written) {
        return at + " is older than what the history holds: " + holds;
    }
    const uint64_t index = state.written - 1 - back;
    if (complete - index / m_sectionSize > kept) {
        return "the section of " + at + " was overwritten: " + holds;
    }
    return "the offset " + std::to_string(offset) + " from " + at + " runs past the end of its section: " + holds;
}

} // namespace qsig
