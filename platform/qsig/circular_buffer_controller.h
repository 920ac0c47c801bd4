#pragma once
// Position controller of a circular history region in which every atom is one
// LMT step (the decimation) after the previous one: TBT, TDP, DDC and the GDX
// board's FA data.
//
// Modes: 10 the time is an atom index counted from the last restart; 11 the
// latest data ("now"): the read ends with the newest atom when the offset is
// minus the count, starts with the next atom when it is 0; 12 the read starts
// at the LMT given as time; 13 (a client's own clone) each read starts where
// the previous one ended, the first one at the next atom, and waits until all
// its atoms are written (after a Reset at the LMT at which the acquisition
// restarts, with the restart's first atom, which may come up to one atom
// later, in a history restarted at or after that LMT: never with the atoms of
// a history begun before it); 14 as 12 with a time, as 11 with time 0. The
// offset moves the start by whole atoms in every mode.
//
// A synchronisation announced (the controller disabled until the restart's
// reset) ends the time line: a mode-13 reader waiting for a buffer of it
// takes, once, the atoms of that buffer acquired by then, as a shorter buffer
// (GetMaxReadSizeFrom bounds its read), rather than lose them with a buffer
// that the restarted time line never completes; then it waits for the reset.
//
// Results: -2 in mode 13 when the reader fell a whole region behind (it goes
// on with the next atom; TakePassedOver tells the atoms it jumped over); -1 for data that the region no longer (or
// never) holds, -7 for data not yet written that are not due within the time-out and for a disabled controller outside
// mode 13 (mode 13 waits until it is enabled again), -3 when due data did not come within the time-out, -5 once
// stopped.

#include "platform/qsig/clonable.h"
#include "platform/qsig/dod_history_controller.h"

namespace qsig {

class CircularBufferController : public virtual DodPositionController,
                                 public DodHistoryController,
                                 public Clonable<CircularBufferController> {
public:
    CircularBufferController(size_t size, uint64_t adcFrequency, RequestPriorityLevel_e priority);
    CircularBufferController(size_t size, uint64_t adcFrequency, int priority)
        : CircularBufferController(size, adcFrequency, static_cast<RequestPriorityLevel_e>(priority))
    {
    }
    CircularBufferController(const CircularBufferController& other);

    void Reset(const uint64_t& lmt) override;
    size_t GetMaxReadSize(int64_t offset, AccessMode_e mode) const override;
    // The atoms of the buffer that mode 13 cut at a synchronisation, once,
    // after the GetPosition that placed it; else no bound.
    size_t GetMaxReadSizeFrom(size_t position) const override;
    SuccessCode_e GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, LMT& lmt,
                              size_t& position, SignalMeta& meta) override;
    bool IsPositionValid(const uint64_t& position) const override
    {
        return DodHistoryController::IsPositionValid(position);
    }
    std::string Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, SuccessCode_e code,
                        RefusalKind* kind = nullptr) const override;
    // The atoms that mode 13 jumped over when it fell a whole region behind.
    uint64_t TakePassedOver() override { return m_passedOver.exchange(0); }

private:
    // The read that one GetPosition places.
    struct Read;
    // LMT at which the read starts in state; false while it cannot be told.
    // Mode 13 fixes its start at the first look that can tell it.
    bool StartOf(const Read& read, const TrackState& state, uint64_t& start);
    // Mode 13: the LMT at which a reader that goes on at next starts in state.
    static uint64_t StreamingStart(uint64_t next, const TrackState& state, uint64_t dec);
    // True when every atom of the read from start on is written.
    static bool IsWritten(const Read& read, const TrackState& state, uint64_t start);
    // Mode 13: waits until the start is known and the atoms are written;
    // cut is set to the atoms of a buffer cut at a synchronisation (else 0).
    SuccessCode_e WaitForStream(const std::shared_ptr<const Track>& track, const Read& read, TrackState& state,
                                uint64_t& start, size_t& cut);
    // Other modes: the start in state; atoms not yet written are waited for
    // when they are due within the time-out.
    SuccessCode_e WaitForRead(const std::shared_ptr<const Track>& track, const Read& read, TrackState& state,
                              uint64_t& start);
    // True when the atoms of a read from start on are due within the time-out.
    bool IsDueInTime(const Read& read, const TrackState& state, uint64_t start) const;
    // Arms waiter for the append that the read at start needs (a restart
    // when it starts before the last one or restart is set, any append when
    // the start is not known); returns when to look again.
    static Duration ArmWait(sim::HistoryMemory::Waiter& waiter, Pace& pace, const Read& read, const TrackState& state,
                            bool known, uint64_t start, bool restart);
    // LMT, position and metadata of the read at start, unless its first
    // atom is overwritten already.
    SuccessCode_e Place(const Read& read, const TrackState& state, uint64_t start, LMT& lmt, size_t& position,
                        SignalMeta& meta);

    // Mode 13: LMT at which the next read starts; valid once m_streaming.
    std::atomic<uint64_t> m_nextLmt{0};
    std::atomic<bool> m_streaming{false};
    // Mode 13: the LMT of the last Reset; a history that began before it is
    // not read.
    std::atomic<uint64_t> m_lineFrom{0};
    // Mode 13: the restart count of the history (its time line) in which
    // the reader last waited for its buffer while enabled; whether the buffer
    // of this disabled period was cut already; the atoms of the cut buffer
    // placed last, for GetMaxReadSizeFrom.
    std::atomic<uint64_t> m_line{UINT64_MAX};
    std::atomic<bool> m_cutTaken{false};
    mutable std::atomic<size_t> m_cut{0};
    // Mode 13: the atoms passed over by the last jump, until taken.
    std::atomic<uint64_t> m_passedOver{0};
};

} // namespace qsig
