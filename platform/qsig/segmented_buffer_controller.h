#pragma once
// Position controller of a history region that is filled in sections: each
// trigger of the acquisition writes one section of size / sections atoms
// (the ADC history). A read stays inside the section it starts in: it gets
// the atoms up to the section's end, fewer than asked when its count runs
// past it, never those of the next slot.
//
// Modes: 10 the time counts sections back from the newest complete one (0 is
// the newest); 11 and 14 without a time the newest complete section; 12 and
// 14 with a time the section that holds the LMT given as time, read from
// that LMT on; 13 (a client's own clone) every section once, in order,
// waiting for the next one. The offset is an atom offset inside the section
// (negative counts as 0), from the LMT's atom on in modes 12 and 14 with a
// time.
//
// The LMTs are those at which the atoms were acquired: each section from its
// trigger on, so an LMT keeps naming its atom while later sections come, and
// an LMT that falls between two sections names none.
//
// Results: -7 while no section is complete (modes 10, 11, 12, 14) or the LMT
// is not written yet, -1 for a section or LMT that the region no longer holds,
// an LMT between sections or an offset outside the section, -2 in mode 13 after sections were
// overwritten before they were read, -3 when no section came within the
// time-out, -5 once stopped.

#include "platform/qsig/clonable.h"
#include "platform/qsig/dod_history_controller.h"

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

    size_t GetSections() const { return m_sections; }
    size_t GetSectionSize() const { return m_sectionSize; }
    // Atoms acquired before the trigger in each section; the metadata give
    // the trigger's LMT as the first atom's LMT plus this many atoms.
    void SetAcquisitionOffset(uint64_t offset) { m_acquisitionOffset.store(offset); }
    uint64_t GetAcquisitionOffset() const { return m_acquisitionOffset.load(); }

    void Reset(const uint64_t& lmt) override;
    // Atoms from the offset to the end of a section: where a read starts in
    // modes 10, 11, 13 and 14 without a time. A read at an LMT (modes 12 and
    // 14 with a time) starts further into its section, at the LMT's atom
    // plus the offset; GetMaxReadSizeFrom bounds it once its position is known.
    size_t GetMaxReadSize(int64_t offset, AccessMode_e mode) const override;
    // The atoms from the position to the end of its section's slot.
    size_t GetMaxReadSizeFrom(size_t position) const override;
    SuccessCode_e GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, LMT& lmt,
                              size_t& position, SignalMeta& meta) override;
    bool IsPositionValid(const uint64_t& position) const override
    {
        return DodHistoryController::IsPositionValid(position);
    }
    std::string Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                        SuccessCode_e code) const override;

private:
    // One look at the track: what it holds, and the LMTs of its atoms.
    struct Look {
        TrackState state;
        std::vector<sim::HistoryMemory::LmtRun> runs;
    };
    static Look LookAt(const Track& track);
    // LMT of atom index i of a look (i < state.written).
    uint64_t LmtAt(const Look& look, uint64_t index) const;
    // Where an LMT lies in a look: at an atom (eHeld, index set), after the
    // newest atom, before the last restart, before the oldest atom still
    // held, or between two runs of atoms (sections).
    enum Where_e { eHeld, eNotYet, eBeforeRestart, eOlder, eBetween };
    static Where_e Locate(uint64_t lmt, const Look& look, uint64_t& index);
    // Sections whose slots still hold their own data.
    uint64_t Intact(const sim::HistoryMemory::State& state) const;
    // Mode 13: waits for the next section to hand out and takes it.
    SuccessCode_e NextSection(const std::shared_ptr<const Track>& track, Look& look, uint64_t& section);
    // Waits until the section after the last one handed out is complete.
    SuccessCode_e WaitForNextSection(const std::shared_ptr<const Track>& track, Look& look);
    // Other modes: the section of the read in the look.
    SuccessCode_e FindSection(AccessMode_e mode, uint64_t time, const Look& look, uint64_t& section,
                              uint64_t& inSection) const;
    // Mode 12: the section and the atom in it that hold lmt; inSection
    // comes with the read's offset and leaves with the atom's added.
    SuccessCode_e FindLmt(uint64_t lmt, const Look& look, uint64_t complete, uint64_t kept, uint64_t& section,
                          uint64_t& inSection) const;

    const size_t m_sections;
    const size_t m_sectionSize;
    std::atomic<uint64_t> m_acquisitionOffset{0};
    // Mode 13: number of the next section to hand out; valid once m_streaming.
    std::atomic<uint64_t> m_nextSection{0};
    std::atomic<bool> m_streaming{false};
};

} // namespace qsig
