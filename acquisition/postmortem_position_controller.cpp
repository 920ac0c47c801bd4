#include "acquisition/postmortem_position_controller.h"

#include "acquisition/postmortem.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <memory>

namespace {

// |offset| larger than length: no read at that offset touches the capture.
bool OffsetTooLarge(int64_t offset, uint32_t length)
{
    const uint64_t magnitude = offset < 0 ? static_cast<uint64_t>(-(offset + 1)) + 1 : static_cast<uint64_t>(offset);
    return magnitude > length;
}

} // namespace

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
    const uint64_t d = m_decimation;
    // The read starts at atom index (at most the length: no atoms).
    auto place = [&](uint64_t index, uint64_t start) {
        lmt = start;
        position = static_cast<size_t>(index);
        meta[qsig::eMetaLmt] = static_cast<int64_t>(start);
        meta[qsig::eMetaPosition] = static_cast<int64_t>(LmtToMt(start));
        meta[qsig::eMetaSequence] = static_cast<int64_t>(index);
        return qsig::eSuccess;
    };
    if (mode == qsig::eAccessDefault) {
        // The number of the first atom, in 64 bits: no offset can wrap it.
        const int64_t index = static_cast<int64_t>(time) + offset;
        if (time >= (uint64_t(1) << 32) || capture.length == 0 || offset >= (int64_t(1) << 32) || index < 0) {
            return qsig::eBadRequest;
        }
        const uint64_t first = std::min<uint64_t>(static_cast<uint64_t>(index), capture.length);
        return place(first, capture.first_lmt + first * d);
    }

    // Mode 13 checks the offset against the capture it waited for.
    if (mode != qsig::eAccessStreaming && OffsetTooLarge(offset, capture.length)) {
        QSTD_TRACE(1, "Offset too large:" << offset);
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
        if (OffsetTooLarge(offset, capture.length)) {
            QSTD_TRACE(1, "Offset too large:" << offset);
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
    if (mode != qsig::eAccessAtTime) {
        // The count atoms whose last one lies the capture's offset after the event.
        base = capture.event_lmt +
               static_cast<uint64_t>(static_cast<int64_t>(capture.offset) + 1 - static_cast<int64_t>(count)) * d;
    }
    const uint64_t start = base + static_cast<uint64_t>(offset) * d;
    if (capture.length == 0) {
        QSTD_TRACE(2, "LMT out of range: " << start << " > " << capture.last_lmt);
        return qsig::eTryAgain;
    }
    // An LMT is taken to its nearest atom, so half a turn before the first
    // atom is still the first; a window (modes 11, 13) lies on the atoms.
    const uint64_t early = mode == qsig::eAccessAtTime ? d / 2 : 0;
    if (start < first && first - start > early) {
        QSTD_TRACE(2, "LMT out of range: " << start << " < " << first);
        return qsig::eTryAgain;
    }
    // Halves up, as LmtToMt, without a sum that could wrap.
    const uint64_t span = start < first ? 0 : start - first;
    const uint64_t index = span / d + (span % d >= d - d / 2 ? 1 : 0);
    if (index >= capture.length) {
        if (mode == qsig::eAccessStreaming) {
            QSTD_TRACE(2, "LMT out of range: " << start << " > " << capture.last_lmt);
            return qsig::eTryAgain;
        }
        // Past the last atom: the read ends where the capture does.
        return place(capture.length, start);
    }
    return place(index, start);
}

bool PostmortemPositionController::ReadAheadFits(size_t count, int64_t offset) const
{
    unsigned int capacity = 0;
    m_postmortem._GetCapacity(capacity);
    return offset <= 0 && count >= 1 && static_cast<int64_t>(count) <= static_cast<int64_t>(capacity) + offset;
}

std::string PostmortemPositionController::Explain(qsig::AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                                  qsig::SuccessCode_e code) const
{
    if (mode < qsig::eAccessDefault || mode > qsig::eAccessStreaming) {
        return "the post-mortem signals serve access modes 10 to 13";
    }
    const PostMortem::tCapture c = m_postmortem.GetCapture();
    const uint64_t d = m_decimation;
    if (mode == qsig::eAccessStreaming) {
        if (code != qsig::eBadRequest) {
            return std::string();
        }
        unsigned int capacity = 0;
        m_postmortem._GetCapacity(capacity);
        return "a read ahead gets the window of a capture, which holds at most " + std::to_string(capacity) +
               " atoms (\"capacity\"): ask for at most that many, fewer by a negative offset (a positive one ends "
               "the window past the capture)";
    }
    if (c.first_lmt == 0) {
        return "nothing is captured yet (\"capture\" arms the next)";
    }
    const std::string holds = "the capture holds " + std::to_string(c.length) + " atoms, LMT " +
                              std::to_string(c.first_lmt) + " to " + std::to_string(c.last_lmt) + " (" +
                              std::to_string(d) + " a turn), the event at atom " +
                              std::to_string((c.event_lmt - c.first_lmt) / d);
    if (mode == qsig::eAccessDefault) {
        return code == qsig::eBadRequest
                   ? "atom " + std::to_string(static_cast<int64_t>(time) + offset) + " is no atom number: " + holds
                   : std::string();
    }
    if (code == qsig::eBadRequest && OffsetTooLarge(offset, c.length)) {
        return "the offset " + std::to_string(offset) + " reaches past the capture: " + holds;
    }
    if (code != qsig::eTryAgain) {
        return std::string();
    }
    if (mode == qsig::eAccessAtTime) {
        if (time == 0) {
            return "time 0 is no LMT: " + holds;
        }
        return "LMT " + std::to_string(time + static_cast<uint64_t>(offset) * d) + " lies before the capture: " + holds;
    }
    // The window's last atom, by number (before the capture: negative).
    const int64_t last =
        (static_cast<int64_t>(c.event_lmt - c.first_lmt) / static_cast<int64_t>(d)) + c.offset + offset;
    return "the " + std::to_string(count) + " atoms up to atom " + std::to_string(last) +
           " start before the capture: " + holds;
}
