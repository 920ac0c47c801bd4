#pragma once
// Position controller of the post-mortem signals: turns a client's access
// mode, time, offset and count into a start position in the captured buffer
// and the metadata of the read, from one snapshot of the last capture's
// bookkeeping. Atoms are numbered from 0, the capture's first.
//
//   10  the time is the number of the first atom (the offset is not used)
//   11  the count atoms whose last one is the capture's event plus "offset"
//       plus the offset
//   12  the time is an LMT: the read starts offset atoms after the atom
//       nearest to it (within half a turn outside the capture: its first or
//       last atom)
//   13  as 11, after waiting for the next capture: a client gets exactly one
//       buffer per capture (its clone remembers the last capture it served)
//
// A read that starts outside the capture is refused (modes 10 and 13: -1,
// the others: -7); one that runs past its end gets the atoms up to it (the
// source reads no further). Explain says in words why a read was refused.

#include "platform/qsig/clonable.h"
#include "platform/qsig/dod_position_controller.h"

#include <cstdint>
#include <string>

class PostMortem;

class PostmortemPositionController : public virtual qsig::DodPositionController,
                                     public qsig::Clonable<PostmortemPositionController> {
public:
    explicit PostmortemPositionController(PostMortem& postmortem);
    // A copy: same post-mortem object, decimation, stop flag and last capture
    // served.
    PostmortemPositionController(const PostmortemPositionController& other);
    ~PostmortemPositionController() override = default;

    // A copy that waits for the captures after the current one.
    qsig::PosControllerPtr Clone() const override;

    void SetDecimation(uint32_t decimation);
    // Ends a mode-13 wait in progress on this controller, and all later ones.
    void Stop() override;

    // LMT span in TBT samples, to the nearest sample, halves up; truncated to
    // 32 bits.
    uint32_t LmtToMt(uint64_t lmt) const;

    size_t GetMaxReadSize(int64_t offset, qsig::AccessMode_e mode) const override;
    qsig::SuccessCode_e GetPosition(qsig::AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                    qsig::LMT& lmt, size_t& position, qsig::SignalMeta& meta) override;

    // Whether a read ahead (mode 13) of count atoms at offset fits into a
    // capture of the present capacity: its window ends at or before the
    // capture's last atom and starts at or after its first.
    bool ReadAheadFits(size_t count, int64_t offset) const;
    // What the refusal code of a read (mode, time, offset, count) means for
    // the last capture, in words for its reader; empty when the code says
    // all. In mode 10 the time plus the offset names the atom, as a remote
    // reader's client asks for it (PostMortem::CaptureClient).
    std::string Explain(qsig::AccessMode_e mode, uint64_t time, int64_t offset, size_t count, qsig::SuccessCode_e code,
                        qsig::RefusalKind* kind = nullptr) const override;

private:
    PostMortem& m_postmortem;
    uint32_t m_decimation = 1;
    // Read atomically by the capture wait; set by Stop from another thread.
    bool m_stop = false;
    // Generation of the last capture this controller waited for.
    uint64_t m_seen = 0;
};
