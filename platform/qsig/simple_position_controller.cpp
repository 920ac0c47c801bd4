#include "platform/qsig/simple_position_controller.h"

namespace qsig {

SimplePositionController::SimplePositionController(size_t size) : m_size(size)
{
    SetSupportedModes({eAccessDefault, eAccessNow, eAccessAtTime, eAccessStreaming, eAccessClone});
}

SimplePositionController::SimplePositionController(const SimplePositionController& other)
    : DodPositionController(other), Clonable<SimplePositionController>(other), m_size(other.m_size)
{
}

size_t SimplePositionController::GetMaxReadSize(int64_t offset, AccessMode_e) const
{
    return Remaining(m_size, offset);
}

SuccessCode_e SimplePositionController::GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t, LMT& lmt,
                                                    size_t& position, SignalMeta& meta)
{
    if (const SuccessCode_e admitted = Admit(mode, false); admitted != eSuccess) {
        return admitted;
    }
    uint64_t p = offset > 0 ? static_cast<uint64_t>(offset) : 0;
    if (mode == eAccessDefault) {
        p += time;
        if (p < time) {
            return eBadRequest;
        }
    }
    if (p >= m_size) {
        return eBadRequest;
    }
    lmt = 0;
    position = static_cast<size_t>(p);
    meta[eMetaPosition] = static_cast<int64_t>(p);
    return eSuccess;
}

std::string SimplePositionController::Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                              SuccessCode_e code, RefusalKind* kind) const
{
    if (std::string words = DodPositionController::Explain(mode, time, offset, count, code, kind); !words.empty()) {
        return words;
    }
    if (code != eBadRequest) {
        return std::string();
    }
    const std::string holds =
        m_size == 0 ? std::string("the buffer holds no atoms")
                    : "the buffer holds " + std::to_string(m_size) + " atoms, 0 to " + std::to_string(m_size - 1);
    const uint64_t p = offset > 0 ? static_cast<uint64_t>(offset) : 0;
    // Every read refused but one whose atom number overflows starts past the end.
    const bool overflows = mode == eAccessDefault && p + time < time;
    if (kind != nullptr) {
        kind->pastTheEnd = !overflows;
    }
    if (overflows) {
        return "the time " + std::to_string(time) + " plus the offset " + std::to_string(offset) +
               " is no atom number: " + holds;
    }
    if (mode == eAccessDefault) {
        return "atom " + std::to_string(p + time) + " lies past the buffer's end: " + holds;
    }
    return "the offset " + std::to_string(offset) + " lies past the buffer's end: " + holds;
}

} // namespace qsig
