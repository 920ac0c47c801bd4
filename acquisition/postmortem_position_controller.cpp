#include "acquisition/postmortem_position_controller.h"

#include "acquisition/postmortem.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <algorithm>
#include <memory>

namespace {

// |offset| larger than length: no read at that offset touches the capture.
bool OffsetTooLarge(int64_t offset, uint32_t length)
{
    const uint64_t magnitude = offset < 0 ? static_cast<uint64_t>(-(offset + 1)) + 1 : static_cast<uint64_t>(offset);
    return magnitude > length;
}

// time + offset in decimal, however large or negative.
std::string SumText(uint64_t time, int64_t offset)
{
    if (offset < 0) {
        const uint64_t magnitude = static_cast<uint64_t>(-(offset + 1)) + 1;
        return magnitude > time ? "-" + std::to_string(magnitude - time) : std::to_string(time - magnitude);
    }
    const uint64_t sum = time + static_cast<uint64_t>(offset);
    return sum >= time ? std::to_string(sum) : std::to_string(time) + "+" + std::to_string(offset);
}

// The number of the atom nearest to lmt in a capture of length atoms from
// first, d LMT counts apart: halves up as LmtToMt, so half a turn before the
// first atom is the first, but half a turn after the last is the last (no
// atom follows it). Negative before the capture; saturated far from it.
int64_t NearestAtom(uint64_t lmt, uint64_t first, uint32_t length, uint64_t d)
{
    // Farther than this many atoms from the first, an LMT is out of the
    // capture whatever the offset (at most the length, below 2^32).
    constexpr uint64_t far = uint64_t(1) << 40;
    const uint64_t half = d / 2;
    if (lmt < first) {
        const uint64_t back = first - lmt;
        return back <= half ? 0 : -static_cast<int64_t>(std::min(far, (back - half + d - 1) / d));
    }
    const uint64_t q = (lmt - first) / d;
    const uint64_t r = (lmt - first) % d;
    const bool up = r >= d - half && !(q + 1 == length && 2 * r == d);
    return static_cast<int64_t>(std::min(far, q + (up ? 1 : 0)));
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
    if (mode == qsig::eAccessDefault) {
        if (time >= (uint64_t(1) << 32) || time >= capture.length) {
            return qsig::eBadRequest;
        }
        position = static_cast<size_t>(time);
        return qsig::eSuccess;
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
    const uint64_t d = m_decimation;
    if (mode != qsig::eAccessAtTime) {
        // The count atoms whose last one lies the capture's offset after the event.
        base = capture.event_lmt +
               static_cast<uint64_t>(static_cast<int64_t>(capture.offset) + 1 - static_cast<int64_t>(count)) * d;
    }
    const uint64_t start = base + static_cast<uint64_t>(offset) * d;
    // Mode 12 starts offset atoms after the atom nearest to the LMT given,
    // so that an LMT within half a turn outside the capture is its first or
    // last atom: the event's "timestamp" (in turns) times the decimation lies
    // within half a turn of the event's atom, often after it, and the event's
    // atom is the last with "offset" 0. A window (modes 11, 13) lies on the
    // atoms.
    int64_t index = 0;
    if (mode == qsig::eAccessAtTime) {
        index = NearestAtom(time, first, capture.length, d) + offset;
    } else if (start < first) {
        index = -1;
    } else if (start > capture.last_lmt) {
        index = capture.length;
    } else {
        index = LmtToMt(start - first);
    }
    // A read ahead whose window the capture it waited for does not hold
    // (the capacity was lowered after it opened) is refused: asked again, it
    // would wait for the next capture and leave its reader without a word.
    const qsig::SuccessCode_e outside = mode == qsig::eAccessStreaming ? qsig::eBadRequest : qsig::eTryAgain;
    if (index < 0) {
        QSTD_TRACE(2, "LMT out of range: " << start << " < " << first);
        return outside;
    }
    if (index >= int64_t(capture.length)) {
        QSTD_TRACE(2, "LMT out of range: " << start << " > " << capture.last_lmt);
        return outside;
    }
    lmt = start;
    position = static_cast<size_t>(index);
    meta[qsig::eMetaLmt] = static_cast<int64_t>(start);
    meta[qsig::eMetaPosition] = static_cast<int64_t>(LmtToMt(start));
    meta[qsig::eMetaSequence] = index;
    return qsig::eSuccess;
}

bool PostmortemPositionController::ReadAheadFits(size_t count, int64_t offset) const
{
    unsigned int capacity = 0;
    m_postmortem._GetCapacity(capacity);
    return offset <= 0 && count >= 1 && static_cast<int64_t>(count) <= static_cast<int64_t>(capacity) + offset;
}

std::string PostmortemPositionController::Explain(qsig::AccessMode_e mode, uint64_t time, int64_t offset, size_t count,
                                                  qsig::SuccessCode_e code, qsig::RefusalKind* kind) const
{
    if (kind != nullptr) {
        *kind = qsig::RefusalKind();
    }
    // Said of a read that starts after the capture's last atom.
    const auto past = [kind](bool after) {
        if (kind != nullptr) {
            kind->pastTheEnd = after;
        }
    };
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
        if (code != qsig::eBadRequest) {
            return std::string();
        }
        const std::string number = SumText(time, offset);
        past(number[0] != '-');
        return "atom " + number + (number[0] == '-' ? " is no atom number: " : " lies past the capture's end: ") +
               holds;
    }
    if (code == qsig::eBadRequest && OffsetTooLarge(offset, c.length)) {
        past(offset > 0);
        return "the offset " + std::to_string(offset) + " reaches past the capture: " + holds;
    }
    if (code != qsig::eTryAgain) {
        return std::string();
    }
    if (mode == qsig::eAccessAtTime) {
        if (time == 0) {
            return "time 0 is no LMT: " + holds;
        }
        const bool before = NearestAtom(time, c.first_lmt, c.length, d) + offset < 0;
        past(!before);
        return "LMT " + std::to_string(time + static_cast<uint64_t>(offset) * d) +
               (before ? " lies before the capture: " : " lies past the capture's end: ") + holds;
    }
    // The window's last atom, by number (before the capture: negative).
    const int64_t last =
        (static_cast<int64_t>(c.event_lmt - c.first_lmt) / static_cast<int64_t>(d)) + c.offset + offset;
    const bool before = last + 1 < static_cast<int64_t>(count);
    past(!before);
    const std::string where = before ? " before the capture: " : " past the capture's end: ";
    if (count == 1) {
        return "atom " + std::to_string(last) + " lies" + where + holds;
    }
    return "the " + std::to_string(count) + " atoms up to atom " + std::to_string(last) + " start" + where + holds;
}
