#pragma once
// Position controller of a small buffer that is captured anew for every read
// (the TBT debug RAM): every mode reads the whole buffer from the offset on
// (mode 10: from time + offset), and mode 13 never waits because each read
// captures fresh data. Positions at or past the size give -1; a disabled
// controller gives -7, a stopped one -5.

#include "platform/qsig/clonable.h"
#include "platform/qsig/dod_position_controller.h"

namespace qsig {

class SimplePositionController : public virtual DodPositionController, public Clonable<SimplePositionController> {
public:
    explicit SimplePositionController(size_t size);
    SimplePositionController(const SimplePositionController& other);

    size_t GetSize() const { return m_size; }
    size_t GetMaxReadSize(int64_t offset, AccessMode_e mode) const override;
    SuccessCode_e GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, LMT& lmt,
                              size_t& position, SignalMeta& meta) override;
    bool IsPositionValid(const uint64_t& position) const override { return position < m_size; }
    std::string Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, SuccessCode_e code,
                        RefusalKind* kind = nullptr) const override;

private:
    const size_t m_size;
};

} // namespace qsig
