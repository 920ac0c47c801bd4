#pragma once
// Position controller of a history region that is filled in sections: each
// trigger of the acquisition writes one section (the ADC history). A read
// stays inside the section it starts in: it gets the atoms up to the
// section's end, fewer than asked when its count runs past it, never those
// of the next section.
//
// The sections are what the history's track tells: a track written in
// blocks (one per trigger) has a section per block, of the block's size,
// which follows the acquisition's duration from the trigger on at which it
// changed; the sections lie one after the other in the region, wrapping at
// its end. A track written as one stream is cut into sections of size /
// sections atoms, from its atom 0 on. The sections are numbered from 0 since
// the history's last restart; a synchronisation (the board's clock set) does
// not restart the history but begins a new time line in it (State::lineStart),
// with the synchronising trigger's section.
//
// Modes: 10 the time counts sections back from the newest complete one (0 is
// the newest), of any time line; 11 and 14 without a time the newest complete
// section; 12 and 14 with a time the section of the newest time line that
// holds the LMT given as time, read from that LMT on; 13 (a client's own clone) every section once, in order,
// waiting for the next one. The offset is an atom offset inside the section
// (negative counts as 0), from the LMT's atom on in modes 12 and 14 with a
// time.
//
// The LMTs are those at which the atoms were acquired: each section from its
// trigger on, so an LMT keeps naming its atom while later sections come, and
// an LMT that falls between two sections names none, nor does one after the
// newest section that the acquisition has passed (the track tells up to
// where, State::settled).
//
// A reset (the synchronisation's adjusted LMT) makes a mode-13 reader go on
// with the first section of the newest time line that reaches the new LMT;
// a restart of the history with its first section. Neither loses anything; a
// reader that falls behind does: it goes on with the next section written,
// and TakePassedOver tells the atoms that it would have read of the sections
// it passed over.
//
// Every read's metadata give the atoms of its section (eMetaSectionAtoms).
//
// A read is checked once its atoms are copied (CheckCopied): when the next
// triggers wrote over its section after GetPosition placed it (a section as
// large as the region, or nearly), the copy may hold the new section's atoms
// under the old one's LMT, and the read is refused; a reader ahead goes on
// with the next section.
//
// Results: -7 while no section is complete (modes 10, 11, 12, 14) or the LMT
// is not written yet, -1 for a section or LMT that the region no longer holds,
// an LMT between sections or an offset outside the section, -2 in mode 13 after sections were
// overwritten before they were read, and in every mode for a read whose
// section was overwritten while it was read, -3 when no section came within
// the time-out, -5 once stopped.

#include "platform/qsig/clonable.h"
#include "platform/qsig/dod_history_controller.h"

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qsig {

class SegmentedBufferController : public virtual DodPositionController,
                                  public DodHistoryController,
                                  public Clonable<SegmentedBufferController> {
public:
    SegmentedBufferController(size_t size, size_t sections, RequestPriorityLevel_e priority);
    SegmentedBufferController(size_t size, size_t sections, int priority)
        : SegmentedBufferController(size, sections, static_cast<RequestPriorityLevel_e>(priority))
    {
    }
    SegmentedBufferController(const SegmentedBufferController& other);

    // The sections made at construction: those of a track written as one
    // stream, and the bound of reads before a track written in blocks has any.
    size_t GetSections() const { return m_sections; }
    size_t GetSectionSize() const { return m_sectionSize; }
    // Atoms acquired before the trigger in each section; the metadata give
    // the trigger's LMT as the first atom's LMT plus this many atoms.
    void SetAcquisitionOffset(uint64_t offset) { m_acquisitionOffset.store(offset); }
    uint64_t GetAcquisitionOffset() const { return m_acquisitionOffset.load(); }

    void Reset(const uint64_t& lmt) override;
    // Atoms from the offset to the end of the largest section held (before
    // any, of GetSectionSize): the most that a read may get. A read starts
    // in a section of its own, at the offset or at an LMT plus the offset;
    // GetMaxReadSizeFrom bounds it once its position is known. A reader
    // ahead (mode 13), whose buffers are sized at its open, may get up to
    // the region from the offset on (0 while the offset lies outside every
    // section held): later sections may be longer.
    size_t GetMaxReadSize(int64_t offset, AccessMode_e mode) const override;
    // The atoms from the position to the end of the section that holds it.
    size_t GetMaxReadSizeFrom(size_t position) const override;
    // -2 when the section that this thread's last GetPosition placed at
    // position was overwritten since (or the history restarted).
    SuccessCode_e CheckCopied(size_t position) override;
    SuccessCode_e GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, LMT& lmt,
                              size_t& position, SignalMeta& meta) override;
    bool IsPositionValid(const uint64_t& position) const override
    {
        return DodHistoryController::IsPositionValid(position);
    }
    std::string Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, SuccessCode_e code,
                        RefusalKind* kind = nullptr) const override;
    uint64_t TakePassedOver() override;

private:
    struct Section {
        uint64_t number; // since the restart
        uint64_t first;  // index of its first atom since the restart
        uint64_t count;
        bool complete;
        bool intact; // complete, and none of its atoms overwritten
        uint64_t End() const { return first + count; }
    };
    // One look at the track: what it holds, the LMTs of its atoms and its
    // sections, oldest first (each with an atom still held).
    struct Look {
        TrackState state;
        std::vector<sim::HistoryMemory::LmtRun> runs;
        std::vector<Section> sections;
        // The newest complete section, and the intact ones; null without.
        const Section* Newest() const;
        size_t Kept() const;
    };
    Look LookAt(const Track& track) const;
    // LMT of atom index i of a look (i < state.written).
    uint64_t LmtAt(const Look& look, uint64_t index) const;
    // Where an LMT lies in a look, among the atoms of the newest time line:
    // at an atom (eHeld, index set), after the newest atom (not yet, or
    // passed for good), before the time line's start (the last restart or
    // synchronisation), before the oldest atom still held, or between two
    // runs of atoms (sections).
    enum Where_e { eHeld, eNotYet, ePassed, eBeforeRestart, eOlder, eBetween };
    static Where_e Locate(uint64_t lmt, const Look& look, uint64_t& index);
    // The section that holds atom index, or null.
    static const Section* SectionOf(const Look& look, uint64_t index);
    // Sizes of the intact sections of a look (GetSectionSize without one):
    // the least and the most, the most, and the words "sections of N atoms"
    // (or "N to M").
    void SizeRange(const Look& look, uint64_t& least, uint64_t& most) const;
    uint64_t Bound(const Look& look) const;
    std::string Sizes(const Look& look) const;
    // Mode 13: waits for the next section to hand out and takes it; a
    // reader at atomOffset in each section.
    SuccessCode_e NextSection(const std::shared_ptr<const Track>& track, Look& look, uint64_t atomOffset,
                              const Section*& section);
    // Mode 13: the atoms that a reader at atomOffset would have read of the
    // sections from its next one to last (caller holds m_readerMutex).
    uint64_t PassedOver(const Look& look, const Section& last, uint64_t atomOffset) const;
    // Waits until the reader's next section is complete; places the reader
    // first (its start, a restart of the history, a reset).
    SuccessCode_e WaitForNextSection(const std::shared_ptr<const Track>& track, Look& look);
    void PlaceReader(const Look& look);
    // Other modes: the section of the read in the look.
    SuccessCode_e FindSection(AccessMode_e mode, uint64_t time, const Look& look, const Section*& section,
                              uint64_t& inSection) const;
    // Mode 12: the section and the atom in it that hold lmt; inSection
    // comes with the read's offset and leaves with the atom's added.
    SuccessCode_e FindLmt(uint64_t lmt, const Look& look, const Section*& section, uint64_t& inSection) const;

    const size_t m_sections;
    const size_t m_sectionSize;
    std::atomic<uint64_t> m_acquisitionOffset{0};
    // Mode 13, under m_readerMutex: the number of the next section to hand
    // out and the index of its first atom, of the history's restart m_epoch
    // (valid once m_streaming); a reset's LMT that the reader's next section
    // must reach (m_resume); the atoms passed over, until taken.
    mutable std::mutex m_readerMutex;
    bool m_streaming = false;
    uint64_t m_nextSection = 0;
    uint64_t m_nextFirst = 0;
    uint64_t m_passedOver = 0;
    uint64_t m_epoch = 0;
    bool m_resume = false;
    uint64_t m_resumeLmt = 0;
    // The section handed out last that ended before the reader's offset
    // (count 0: none).
    struct Short {
        uint64_t number = 0;
        uint64_t count = 0;
    } m_short;
    // The start that GetPosition last placed for each reading thread (the
    // atom's index since the restart, of the history's restart restarts),
    // which CheckCopied checks and forgets. The readers of modes 10, 11 and
    // 12 share the controller; each reads on the thread that placed it.
    struct Placed {
        size_t position;
        uint64_t index;
        uint64_t restarts;
    };
    std::mutex m_placedMutex;
    std::map<std::thread::id, Placed> m_placed;
};

} // namespace qsig
