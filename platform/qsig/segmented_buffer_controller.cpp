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

SegmentedBufferController::Look SegmentedBufferController::LookAt(const Track& track)
{
    Look look;
    look.state = track.Snapshot(look.runs);
    return look;
}

uint64_t SegmentedBufferController::LmtAt(const Look& look, uint64_t index) const
{
    // The run of the atom: the last one that starts at or before it.
    auto run = std::upper_bound(look.runs.begin(), look.runs.end(), index,
                                [](uint64_t i, const sim::HistoryMemory::LmtRun& r) { return i < r.firstIndex; });
    if (run == look.runs.begin()) {
        // No run tells (not so for an atom that the region holds): as if
        // acquired without a gap up to the newest atom.
        return LmtOf(look.state, index);
    }
    --run;
    return run->firstLmt + (index - run->firstIndex) * run->step;
}

SegmentedBufferController::Where_e SegmentedBufferController::Locate(uint64_t lmt, const Look& look, uint64_t& index)
{
    if (look.state.written == 0 || lmt > look.state.newestLmt) {
        return eNotYet;
    }
    if (lmt < look.state.firstLmt) {
        return eBeforeRestart;
    }
    // The newest run that starts at or before the LMT holds it, unless the
    // LMT comes after its last atom; an LMT between two atoms of a run names
    // the later one.
    for (auto run = look.runs.rbegin(); run != look.runs.rend(); ++run) {
        if (run->firstLmt <= lmt) {
            const uint64_t i = (lmt - run->firstLmt + run->step - 1) / run->step;
            if (i >= run->count) {
                return eBetween;
            }
            index = run->firstIndex + i;
            return eHeld;
        }
    }
    return eOlder;
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
    Look look = LookAt(*track);
    uint64_t section = 0; // number of the section since the restart
    uint64_t inSection = atomOffset;
    const SuccessCode_e found = mode == eAccessStreaming ? NextSection(track, look, section)
                                                         : FindSection(mode, time, look, section, inSection);
    if (found != eSuccess) {
        return found;
    }
    const uint64_t index = section * m_sectionSize + inSection;
    lmt = LmtAt(look, index);
    position = static_cast<size_t>((section % m_sections) * m_sectionSize + inSection);
    meta[eMetaLmt] = static_cast<int64_t>(lmt);
    meta[eMetaPosition] = static_cast<int64_t>(position);
    meta[eMetaSequence] = static_cast<int64_t>(section);
    return eSuccess;
}

SuccessCode_e SegmentedBufferController::NextSection(const std::shared_ptr<const Track>& track, Look& look,
                                                     uint64_t& section)
{
    if (const SuccessCode_e waited = WaitForNextSection(track, look); waited != eSuccess) {
        return waited;
    }
    const uint64_t complete = look.state.written / m_sectionSize;
    section = m_nextSection.load();
    if (complete - section > Intact(look.state)) {
        // Overwritten before it was read: go on with the newest section.
        m_nextSection.store(complete);
        return eIncompleteData;
    }
    m_nextSection.store(section + 1);
    return eSuccess;
}

SuccessCode_e SegmentedBufferController::WaitForNextSection(const std::shared_ptr<const Track>& track, Look& look)
{
    auto waiter = Watch(track);
    Pace pace(*this);
    return WaitForData([&](Duration& next) {
        look = LookAt(*track);
        const TrackState& state = look.state;
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

SuccessCode_e SegmentedBufferController::FindSection(AccessMode_e mode, uint64_t time, const Look& look,
                                                     uint64_t& section, uint64_t& inSection) const
{
    const uint64_t complete = look.state.written / m_sectionSize;
    if (complete == 0) {
        return eTryAgain;
    }
    const uint64_t intact = Intact(look.state);
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
        return FindLmt(time, look, complete, kept, section, inSection);
    }
}

SuccessCode_e SegmentedBufferController::FindLmt(uint64_t lmt, const Look& look, uint64_t complete, uint64_t kept,
                                                 uint64_t& section, uint64_t& inSection) const
{
    uint64_t index = 0;
    switch (Locate(lmt, look, index)) {
    case eHeld:
        break;
    case eNotYet:
        return eTryAgain;
    default:
        return eBadRequest;
    }
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
    const Look look = LookAt(*track);
    const TrackState& state = look.state;
    const uint64_t complete = state.written / m_sectionSize;
    const uint64_t kept = std::min(complete, Intact(state));
    const uint64_t oldest = (complete - kept) * m_sectionSize;
    const std::string holds = "sections of " + size + " atoms; " +
                              Holds(state, oldest, oldest < state.written ? LmtAt(look, oldest) : 0) + ", " +
                              std::to_string(kept) + " complete section" + (kept == 1 ? "" : "s");
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
    uint64_t index = 0;
    const Where_e where = Locate(time, look, index);
    if (code == eTryAgain) {
        return where == eNotYet ? at + " is not recorded yet: " + holds
                                : "the section of " + at + " is still being written: " + holds;
    }
    if (code != eBadRequest) {
        return std::string();
    }
    switch (where) {
    case eBeforeRestart:
        return at + " lies before the history's last restart (LMT " + std::to_string(state.firstLmt) + ")";
    case eOlder:
        return at + " is older than what the history holds: " + holds;
    case eBetween:
        return at + " lies between two sections, in a gap of the acquisition: " + holds;
    default:
        break;
    }
    if (complete - index / m_sectionSize > kept) {
        return "the section of " + at + " was overwritten: " + holds;
    }
    return "the offset " + std::to_string(offset) + " from " + at + " runs past the end of its section: " + holds;
}

} // namespace qsig
