#include "acquisition/postmortem_position_controller.h"

#include "acquisition/postmortem.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <memory>

PostmortemPositionController::PostmortemPositionController(PostMortem& postmortem) : m_postmortem(postmortem)
{
    SetSupportedModes({qsig::eAccessDefault, qsig::eAccessNow, qsig::eAccessAtTime, qsig::eAccessStreaming});
}

PostmortemPositionController::PostmortemPositionController(const PostmortemPositionController& other)
    : qsig::DodPositionController(other), qsig::Clonable<PostmortemPositionController>(other),
      m_postmortem(other.m_postmortem), m_decimation(other.m_decimation),
      m_stop(__atomic_load_n(&other.m_stop, __ATOMIC_ACQUIRE)), m_seen(other.m_seen)
{
}

qsig::PosControllerPtr PostmortemPositionController::Clone() const
{
    auto clone = std::make_shared<PostmortemPositionController>(*this);
    // A reader that gets the clone now waits for the next capture.
    clone->m_seen = m_postmortem.GetCapture().generation;
    return clone;
}

void PostmortemPositionController::SetDecimation(uint32_t decimation)
{
    m_decimation = decimation;
}

void PostmortemPositionController::Stop()
{
    __atomic_store_n(&m_stop, true, __ATOMIC_RELEASE);
}

uint32_t PostmortemPositionController::LmtToMt(uint64_t lmt) const
{
    return static_cast<uint32_t>((lmt + m_decimation / 2) / m_decimation);
}

size_t PostmortemPositionController::GetMaxReadSize(int64_t offset, qsig::AccessMode_e mode) const
{
    unsigned int capacity = 0;
    if (!m_postmortem._GetCapacity(capacity)) {
        throw qstd::Exception("Failed to retrieve post mortem buffer capacity.", true);
    }
    switch (mode) {
    case qsig::eAccessNow:
    case qsig::eAccessStreaming:
        return capacity - static_cast<uint32_t>(offset);
    case qsig::eAccessDefault:
    case qsig::eAccessAtTime:
        // A read is bounded by this size: mode 12 reads as far as mode 10.
        return capacity;
    default:
        return 0;
    }
}

qsig::SuccessCode_e PostmortemPositionController::GetPosition(qsig::AccessMode_e mode, uint64_t time, int64_t offset,
                                                              size_t count, qsig::LMT& lmt, size_t& position,
                                                              qsig::SignalMeta& meta)
{
    PostMortem::tCapture capture = m_postmortem.GetCapture();
    if (mode == qsig::eAccessDefault) {
        if (time >= (uint64_t(1) << 32) || time >= capture.length) {
            return qsig::eBadRequest;
        }
        position = static_cast<size_t>(time);
        return qsig::eSuccess;
    }

    // Mode 13 checks the offset against the capture it waited for.
    auto offsetTooLarge = [offset](uint32_t length) {
        const uint64_t magnitude =
            offset < 0 ? static_cast<uint64_t>(-(offset + 1)) + 1 : static_cast<uint64_t>(offset);
        if (magnitude <= length) {
            return false;
        }
        QSTD_TRACE(1, "Offset too large:" << offset);
        return true;
    };
    if (mode != qsig::eAccessStreaming && offsetTooLarge(capture.length)) {
        return qsig::eBadRequest;
    }
    uint64_t base = 0;
    switch (mode) {
    case qsig::eAccessNow:
        base = capture.first_lmt;
        break;
    case qsig::eAccessAtTime:
        base = time;
        break;
    case qsig::eAccessStreaming:
        if (!m_postmortem.WaitForNextUpdate(&m_stop, m_seen)) {
            QSTD_TRACE(1, "Failed to capture postmortem data at next PM event.");
            return qsig::eCancelled;
        }
        // The capture waited for; a newer one, should it have come in the
        // meantime, is served instead and counts as served.
        capture = m_postmortem.GetCapture();
        m_seen = capture.generation;
        if (offsetTooLarge(capture.length)) {
            return qsig::eBadRequest;
        }
        base = capture.first_lmt;
        break;
    default:
        return qsig::eDerivedError;
    }
    if (base == 0) {
        return qsig::eTryAgain;
    }

    const uint64_t first = capture.first_lmt;
    const uint64_t d = m_decimation;
    if (mode != qsig::eAccessAtTime) {
        // The count atoms whose last one lies the capture's offset after the event.
        base = capture.event_lmt +
               static_cast<uint64_t>(static_cast<int64_t>(capture.offset) + 1 - static_cast<int64_t>(count)) * d;
    }
    const uint64_t start = base + static_cast<uint64_t>(offset) * d;
    if (start < first) {
        QSTD_TRACE(2, "LMT out of range: " << start << " < " << first);
        return qsig::eTryAgain;
    }
    if (start > capture.last_lmt) {
        QSTD_TRACE(2, "LMT out of range: " << start << " > " << capture.last_lmt);
        return qsig::eTryAgain;
    }
    lmt = start;
    position = LmtToMt(start - first);
    meta[qsig::eMetaLmt] = static_cast<int64_t>(start);
    meta[qsig::eMetaPosition] = static_cast<int64_t>(LmtToMt(start));
    meta[qsig::eMetaSequence] = static_cast<int64_t>(position);
    return qsig::eSuccess;
}
