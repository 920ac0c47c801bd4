#include "platform/qsig/segmented_buffer_controller.h"

#include <algorithm>
#include <utility>

namespace qsig {

namespace {
using LmtRun = sim::HistoryMemory::LmtRun;
} // namespace

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
    // A clone streams from its own first read on.
}

void SegmentedBufferController::Reset(const uint64_t& lmt)
{
    {
        std::lock_guard<std::mutex> lock(m_readerMutex);
        m_resume = true;
        m_resumeLmt = lmt;
    }
    DodPositionController::Reset(lmt);
}

const SegmentedBufferController::Section* SegmentedBufferController::Look::Newest() const
{
    for (auto s = sections.rbegin(); s != sections.rend(); ++s) {
        if (s->complete) {
            return &*s;
        }
    }
    return nullptr;
}

size_t SegmentedBufferController::Look::Kept() const
{
    return static_cast<size_t>(
        std::count_if(sections.begin(), sections.end(), [](const Section& s) { return s.intact; }));
}

SegmentedBufferController::Look SegmentedBufferController::LookAt(const Track& track) const
{
    Look look;
    look.state = track.Snapshot(look.runs);
    const TrackState& state = look.state;
    // A section is intact while the region still holds all its atoms.
    const uint64_t oldest = state.written > m_size ? state.written - m_size : 0;
    if (!look.runs.empty() && look.runs.back().block != LmtRun::c_noBlock) {
        for (const LmtRun& run : look.runs) {
            if (run.block != LmtRun::c_noBlock) {
                look.sections.push_back({run.block, run.firstIndex, run.count, true, run.firstIndex >= oldest});
            }
        }
    } else if (m_sectionSize > 0 && state.written > 0) {
        const uint64_t size = m_sectionSize;
        for (uint64_t k = oldest / size; k * size < state.written; ++k) {
            const bool complete = (k + 1) * size <= state.written;
            look.sections.push_back({k, k * size, size, complete, complete && k * size >= oldest});
        }
    }
    return look;
}

uint64_t SegmentedBufferController::LmtAt(const Look& look, uint64_t index) const
{
    // The run of the atom: the last one that starts at or before it.
    auto run = std::upper_bound(look.runs.begin(), look.runs.end(), index,
                                [](uint64_t i, const LmtRun& r) { return i < r.firstIndex; });
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
    // The newest run that holds the LMT; an LMT between two atoms of a run
    // names the later one. The runs follow each other in LMT order unless
    // the acquisition offset grew by more than the time between two
    // triggers: then a section starts before those already held, so every
    // run is asked. Only the runs of the time line of the board's clock: the
    // sections from before it was last set carry LMTs of another clock,
    // which may be the same numbers.
    const TrackState& state = look.state;
    const bool any = state.written > state.lineStart; // an atom of the time line
    bool before = false;                              // a run starts at or before the LMT
    for (auto run = look.runs.rbegin(); any && run != look.runs.rend() && run->firstIndex >= state.lineStart; ++run) {
        if (run->firstLmt <= lmt) {
            before = true;
            const uint64_t i = (lmt - run->firstLmt + run->step - 1) / run->step;
            if (i < run->count) {
                index = run->firstIndex + i;
                return eHeld;
            }
        }
    }
    if (!any || lmt > state.newestLmt) {
        // After the newest atom: still to come, unless the acquisition has
        // passed it without a section.
        return lmt < state.settled ? ePassed : eNotYet;
    }
    if (lmt < state.lineLmt) {
        return eBeforeRestart;
    }
    return before ? eBetween : eOlder;
}

const SegmentedBufferController::Section* SegmentedBufferController::SectionOf(const Look& look, uint64_t index)
{
    auto s = std::upper_bound(look.sections.begin(), look.sections.end(), index,
                              [](uint64_t i, const Section& x) { return i < x.first; });
    if (s == look.sections.begin()) {
        return nullptr;
    }
    --s;
    return index < s->End() ? &*s : nullptr;
}

uint64_t SegmentedBufferController::Bound(const Look& look) const
{
    uint64_t least = 0;
    uint64_t most = 0;
    SizeRange(look, least, most);
    return most;
}

void SegmentedBufferController::SizeRange(const Look& look, uint64_t& least, uint64_t& most) const
{
    least = UINT64_MAX;
    most = 0;
    for (const Section& s : look.sections) {
        if (s.intact) {
            least = std::min(least, s.count);
            most = std::max(most, s.count);
        }
    }
    if (most == 0) {
        least = most = m_sectionSize;
    }
}

std::string SegmentedBufferController::Sizes(const Look& look) const
{
    uint64_t least = 0;
    uint64_t most = 0;
    SizeRange(look, least, most);
    return "sections of " + (least == most ? std::string() : std::to_string(least) + " to ") + std::to_string(most) +
           " atoms";
}

size_t SegmentedBufferController::GetMaxReadSize(int64_t offset, AccessMode_e mode) const
{
    auto track = GetHistory();
    const uint64_t bound = track && m_size > 0 ? Bound(LookAt(*track)) : m_sectionSize;
    const size_t most = Remaining(static_cast<size_t>(bound), offset);
    // A reader ahead sizes its buffers once, at its open: it takes each later
    // section whole up to its count, however long the sections become.
    return mode == eAccessStreaming && most > 0 ? Remaining(m_size, offset) : most;
}

size_t SegmentedBufferController::GetMaxReadSizeFrom(size_t position) const
{
    auto track = GetHistory();
    if (!track || m_size == 0) {
        return 0;
    }
    // The newest intact section whose slots hold the position: that of the
    // read (an older one's slots are written over).
    const Look look = LookAt(*track);
    const uint64_t at = position % m_size;
    for (auto s = look.sections.rbegin(); s != look.sections.rend(); ++s) {
        if (!s->intact) {
            continue;
        }
        const uint64_t into = (at + m_size - s->first % m_size) % m_size;
        if (into < s->count) {
            return static_cast<size_t>(s->count - into);
        }
    }
    return 0;
}

SuccessCode_e SegmentedBufferController::GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t, LMT& lmt,
                                                     size_t& position, SignalMeta& meta)
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
    Look look = LookAt(*track);
    const uint64_t atomOffset = offset > 0 ? static_cast<uint64_t>(offset) : 0;
    // A reader ahead learns of the section it is handed out whether the
    // offset lies in it.
    if (mode != eAccessStreaming && atomOffset >= Bound(look)) {
        return eBadRequest;
    }
    const Section* section = nullptr;
    uint64_t inSection = atomOffset;
    const SuccessCode_e found = mode == eAccessStreaming ? NextSection(track, look, atomOffset, section)
                                                         : FindSection(mode, time, look, section, inSection);
    if (found != eSuccess) {
        return found;
    }
    if (inSection >= section->count) {
        if (mode == eAccessStreaming) {
            // Handed out, but shorter than the offset (the duration shrank):
            // said by Explain.
            std::lock_guard<std::mutex> lock(m_readerMutex);
            m_short = {section->number, section->count};
        }
        return eBadRequest;
    }
    const uint64_t index = section->first + inSection;
    lmt = LmtAt(look, index);
    position = static_cast<size_t>(index % m_size);
    meta[eMetaLmt] = static_cast<int64_t>(lmt);
    meta[eMetaPosition] = static_cast<int64_t>(position);
    meta[eMetaSequence] = static_cast<int64_t>(section->number);
    meta[eMetaSectionAtoms] = static_cast<int64_t>(section->count);
    std::lock_guard<std::mutex> lock(m_placedMutex);
    m_placed[std::this_thread::get_id()] = {position, index, look.state.restarts};
    return eSuccess;
}

SuccessCode_e SegmentedBufferController::CheckCopied(size_t position)
{
    Placed placed{};
    {
        std::lock_guard<std::mutex> lock(m_placedMutex);
        auto it = m_placed.find(std::this_thread::get_id());
        if (it == m_placed.end()) {
            return eSuccess; // placed by nothing here: nothing to check
        }
        placed = it->second;
        m_placed.erase(it);
    }
    auto track = GetHistory();
    if (!track || placed.position != position) {
        return eSuccess;
    }
    // The appends go on from the oldest slot: the read's atoms are all still
    // held while its first one is (as a seqlock, the count of atoms written
    // is looked at after the copy). A restart drops every atom.
    const TrackState state = track->Snapshot();
    if (state.restarts != placed.restarts || state.written > placed.index + m_size) {
        return eIncompleteData;
    }
    return eSuccess;
}

void SegmentedBufferController::PlaceReader(const Look& look)
{
    const Section* newest = look.Newest();
    if (!m_streaming) {
        // A reader begins with the next section written.
        m_streaming = true;
        m_epoch = look.state.restarts;
        m_resume = false;
        m_nextSection = newest ? newest->number + 1 : look.sections.empty() ? 0 : look.sections.front().number;
        m_nextFirst = newest ? newest->End() : look.sections.empty() ? 0 : look.sections.front().first;
        return;
    }
    if (look.state.restarts != m_epoch) {
        // The history restarted: its first section is the first of the new
        // LMTs.
        m_epoch = look.state.restarts;
        m_nextSection = 0;
        m_nextFirst = 0;
        m_resume = false;
    }
    // After a reset the sections of an earlier time line (the synchronising
    // trigger's begins the new one), and those that end before its LMT, are
    // passed over.
    for (auto s = look.sections.begin(); m_resume && s != look.sections.end() && s->complete; ++s) {
        if (s->number < m_nextSection) {
            continue;
        }
        if (s->first >= look.state.lineStart && LmtAt(look, s->End() - 1) >= m_resumeLmt) {
            m_resume = false;
        } else {
            m_nextSection = s->number + 1;
            m_nextFirst = s->End();
        }
    }
}

SuccessCode_e SegmentedBufferController::NextSection(const std::shared_ptr<const Track>& track, Look& look,
                                                     uint64_t atomOffset, const Section*& section)
{
    if (const SuccessCode_e waited = WaitForNextSection(track, look); waited != eSuccess) {
        return waited;
    }
    std::lock_guard<std::mutex> lock(m_readerMutex);
    const Section* newest = look.Newest();
    const Section* next = nullptr;
    if (!look.sections.empty() && m_nextSection >= look.sections.front().number) {
        next = &look.sections[static_cast<size_t>(m_nextSection - look.sections.front().number)];
    }
    if (!next || !next->intact) {
        // Overwritten before it was read: go on with the next section
        // written, the sections up to it passed over.
        m_passedOver += PassedOver(look, *newest, atomOffset);
        m_nextSection = newest->number + 1;
        m_nextFirst = newest->End();
        return eIncompleteData;
    }
    m_nextSection = next->number + 1;
    m_nextFirst = next->End();
    section = next;
    return eSuccess;
}

uint64_t SegmentedBufferController::PassedOver(const Look& look, const Section& last, uint64_t atomOffset) const
{
    // The sections follow one another from the reader's next atom on; those
    // that the look no longer holds lie before the first one it holds, and
    // are taken to hold the offset at least (a shorter one would have ended
    // the read).
    uint64_t passed = 0;
    uint64_t number = m_nextSection;
    uint64_t first = m_nextFirst;
    for (const Section& s : look.sections) {
        if (s.number < number || s.number > last.number) {
            continue;
        }
        const uint64_t gone = s.first > first ? s.first - first : 0;
        passed += gone - std::min(gone, (s.number - number) * atomOffset);
        passed += s.count - std::min(s.count, atomOffset);
        number = s.number + 1;
        first = s.End();
    }
    return passed;
}

uint64_t SegmentedBufferController::TakePassedOver()
{
    std::lock_guard<std::mutex> lock(m_readerMutex);
    return std::exchange(m_passedOver, 0);
}

SuccessCode_e SegmentedBufferController::WaitForNextSection(const std::shared_ptr<const Track>& track, Look& look)
{
    auto waiter = Watch(track);
    Pace pace(*this);
    return WaitForData([&](Duration& next) {
        look = LookAt(*track);
        uint64_t wanted = 0;
        {
            std::lock_guard<std::mutex> lock(m_readerMutex);
            PlaceReader(look);
            wanted = m_nextSection;
        }
        const Section* newest = look.Newest();
        if (newest && newest->number >= wanted) {
            return true;
        }
        // Woken by the next append (or a restart).
        sim::HistoryMemory::Target target;
        target.written = look.state.written + 1;
        waiter.Arm(target, look.state.generation);
        next = pace.Next(look.state, 0);
        return false;
    });
}

SuccessCode_e SegmentedBufferController::FindSection(AccessMode_e mode, uint64_t time, const Look& look,
                                                     const Section*& section, uint64_t& inSection) const
{
    const Section* newest = look.Newest();
    if (!newest) {
        return eTryAgain;
    }
    switch (mode) {
    case eAccessDefault: {
        // The sections are numbered one after the other.
        const uint64_t back = static_cast<uint64_t>(newest - look.sections.data());
        if (time > back || !newest[-static_cast<std::ptrdiff_t>(time)].intact) {
            return eBadRequest;
        }
        section = newest - static_cast<std::ptrdiff_t>(time);
        return eSuccess;
    }
    case eAccessNow:
        if (!newest->intact) {
            return eTryAgain; // being written over
        }
        section = newest;
        return eSuccess;
    default: // at an LMT
        return FindLmt(time, look, section, inSection);
    }
}

SuccessCode_e SegmentedBufferController::FindLmt(uint64_t lmt, const Look& look, const Section*& section,
                                                 uint64_t& inSection) const
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
    const Section* held = SectionOf(look, index);
    if (!held) {
        return eBadRequest;
    }
    if (!held->complete) {
        return eTryAgain; // its section is still being written
    }
    if (!held->intact) {
        return eBadRequest;
    }
    inSection += index - held->first;
    section = held;
    return eSuccess;
}

std::string SegmentedBufferController::Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
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
    const Look look = LookAt(*track);
    const TrackState& state = look.state;
    const uint64_t atomOffset = offset > 0 ? static_cast<uint64_t>(offset) : 0;
    const std::string from = "the offset " + std::to_string(offset);
    uint64_t least = 0;
    uint64_t most = 0;
    SizeRange(look, least, most);
    Short shortOne;
    if (mode == eAccessStreaming) {
        std::lock_guard<std::mutex> lock(m_readerMutex);
        shortOne = m_short;
    }
    // A read that starts after the last atom of its section (of atoms, 0:
    // not known).
    const auto past = [kind](uint64_t atoms) {
        if (kind != nullptr) {
            kind->pastTheEnd = true;
            kind->sectionAtoms = atoms;
        }
    };
    if (code == eBadRequest && atomOffset >= most && shortOne.count == 0) {
        const Section* read = nullptr;
        uint64_t inSection = 0;
        if (mode == eAccessStreaming || FindSection(mode, time, look, read, inSection) != eSuccess) {
            read = nullptr;
        }
        past(read ? read->count : least == most ? most : 0);
        return from + " lies outside " + (least == most ? "a section of " : "the largest section held, of ") +
               std::to_string(most) + " atoms";
    }
    const size_t kept = look.Kept();
    auto oldestKept =
        std::find_if(look.sections.begin(), look.sections.end(), [](const Section& s) { return s.intact; });
    const uint64_t oldest = oldestKept != look.sections.end() ? oldestKept->first
                            : state.written > m_size          ? state.written - m_size
                                                              : 0;
    const std::string holds = Sizes(look) + "; " +
                              Holds(state, oldest, oldest < state.written ? LmtAt(look, oldest) : 0) + ", " +
                              std::to_string(kept) + " complete section" + (kept == 1 ? "" : "s");
    if (mode == eAccessStreaming) {
        if (code == eBadRequest && shortOne.count > 0) {
            past(shortOne.count);
            return "section " + std::to_string(shortOne.number) + " holds " + std::to_string(shortOne.count) +
                   " atoms, fewer than the offset " + std::to_string(offset) + ": " + holds;
        }
        if (code == eIncompleteData) {
            return "sections were overwritten before or while they were read; the reader goes on with the next "
                   "one: " +
                   holds;
        }
        return code == eTimeout ? "no section came within " + TimeoutText() + ": " + holds : std::string();
    }
    if (code == eIncompleteData) {
        return "the section was overwritten while it was read (by the sections of the triggers after it): " + holds;
    }
    const Section* newest = look.Newest();
    if (code == eTryAgain && !newest) {
        return "no section is complete yet: " + holds;
    }
    const auto outside = [&](const Section& s, const std::string& which) {
        past(s.count);
        return from + " lies outside " + which + ", of " + std::to_string(s.count) + " atoms: " + holds;
    };
    if (mode == eAccessDefault) {
        if (code != eBadRequest) {
            return std::string();
        }
        const uint64_t back = newest ? static_cast<uint64_t>(newest - look.sections.data()) : 0;
        if (newest && time <= back && newest[-static_cast<std::ptrdiff_t>(time)].intact) {
            return outside(newest[-static_cast<std::ptrdiff_t>(time)],
                           "section " + std::to_string(time) + " back from the newest");
        }
        return "section " + std::to_string(time) + " back from the newest is not held: " + holds;
    }
    if (mode == eAccessNow) {
        if (code == eTryAgain) {
            return "the newest complete section is being written over: " + holds;
        }
        return code == eBadRequest && newest ? outside(*newest, "the newest section") : std::string();
    }
    if (mode != eAccessAtTime) {
        return std::string();
    }
    const std::string at = "LMT " + std::to_string(time);
    uint64_t index = 0;
    const Where_e where = Locate(time, look, index);
    if (code == eTryAgain) {
        if (where == eNotYet) {
            past(0);
            return at + " is not recorded yet: " + holds;
        }
        return "the section of " + at + " is still being written: " + holds;
    }
    if (code != eBadRequest) {
        return std::string();
    }
    switch (where) {
    case ePassed:
        return at + " lies after the newest section, in a gap of the acquisition that no section will fill: " + holds;
    case eBeforeRestart:
        if (state.lineStart > 0) {
            return at + " lies before the history's time line, which begins at LMT " + std::to_string(state.lineLmt) +
                   " (the board's clock was set there): " + holds;
        }
        return at + " lies before the history's last restart (LMT " + std::to_string(state.firstLmt) + ")";
    case eOlder:
        return at + " is older than what the history holds: " + holds;
    case eBetween:
        return at + " lies between two sections, in a gap of the acquisition: " + holds;
    default:
        break;
    }
    const Section* held = SectionOf(look, index);
    if (!held || !held->intact) {
        return "the section of " + at + " was overwritten: " + holds;
    }
    past(held->count);
    return from + " from " + at + " runs past the end of its section: " + holds;
}

} // namespace qsig
