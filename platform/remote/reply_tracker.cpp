#include "platform/remote/reply_tracker.h"

#include <algorithm>
#include <cstring>

namespace remote {

bool ReplyTracker::Feed(const unsigned char* data, std::size_t size)
{
    while (size > 0 && !m_broken) {
        if (m_have < giop::c_headerSize) {
            const std::size_t n = std::min(size, giop::c_headerSize - m_have);
            std::memcpy(m_head + m_have, data, n);
            m_have += n;
            data += n;
            size -= n;
            if (m_have == giop::c_headerSize) {
                Header();
            }
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_bodyLeft));
        if (!m_refDone) {
            const std::size_t copied = std::min(n, c_capture - m_have);
            std::memcpy(m_head + m_have, data, copied);
            m_have += copied;
            if (m_have == c_capture || n == m_bodyLeft) {
                Ref();
            } else {
                giop::RequestRef ref;
                if (giop::ReadRequestRef(m_header, m_head, m_have, ref) == giop::RefStatus_e::eOk) {
                    Ref();
                }
            }
        }
        data += n;
        size -= n;
        m_bodyLeft -= n;
        if (m_bodyLeft == 0) {
            MessageDone();
        }
    }
    return !m_broken;
}

void ReplyTracker::Header()
{
    if (giop::ParseHeader(m_head, m_have, m_header) != giop::HeaderStatus_e::eOk) {
        m_broken = true;
        m_expected.clear();
        m_unknown = 0;
        return;
    }
    m_minor = m_header.minor;
    m_bodyLeft = m_header.bodySize;
    m_completes = false;
    m_refDone = false;
    const bool fragment = m_header.Is(giop::MsgType_e::eFragment);
    if (!(m_header.Is(giop::MsgType_e::eReply) || m_header.Is(giop::MsgType_e::eLocateReply) || fragment)) {
        m_refDone = true;
    } else if (fragment && m_header.minor < 2) {
        // A GIOP 1.1 fragment continues the one reply in fragments.
        m_refDone = true;
        if (m_fragmenting11 && !m_header.moreFragments) {
            m_fragmenting11 = false;
            m_completes = true;
            m_completesKnown = m_fragmenting11Known;
            m_completesId = m_fragmenting11Id;
        }
    }
    if (m_bodyLeft == 0) {
        if (!m_refDone) {
            Ref();
        }
        MessageDone();
    }
}

void ReplyTracker::Ref()
{
    m_refDone = true;
    giop::RequestRef ref;
    const bool known = giop::ReadRequestRef(m_header, m_head, m_have, ref) == giop::RefStatus_e::eOk;
    if (m_header.Is(giop::MsgType_e::eFragment)) {
        const auto it = std::find(m_fragmenting12.begin(), m_fragmenting12.end(), ref.requestId);
        if (known && it != m_fragmenting12.end() && !m_header.moreFragments) {
            m_fragmenting12.erase(it);
            m_completes = true;
            m_completesKnown = true;
            m_completesId = ref.requestId;
        }
        return;
    }
    if (!m_header.moreFragments) {
        m_completes = true;
        m_completesKnown = known;
        m_completesId = ref.requestId;
    } else if (m_header.minor < 2) {
        m_fragmenting11 = true;
        m_fragmenting11Known = known;
        m_fragmenting11Id = ref.requestId;
    } else if (known) {
        m_fragmenting12.push_back(ref.requestId);
    }
}

void ReplyTracker::Complete(bool known, std::uint32_t requestId)
{
    const auto it = known ? std::find(m_expected.begin(), m_expected.end(), requestId) : m_expected.end();
    if (it != m_expected.end()) {
        m_expected.erase(it);
    } else if (m_unknown > 0) {
        --m_unknown;
    } else if (!known && !m_expected.empty()) {
        m_expected.erase(m_expected.begin());
    }
}

void ReplyTracker::MessageDone()
{
    if (m_completes) {
        Complete(m_completesKnown, m_completesId);
    }
    m_completes = false;
    m_have = 0;
    m_bodyLeft = 0;
}

void ReplyTracker::Reset()
{
    m_have = 0;
    m_bodyLeft = 0;
    m_refDone = false;
    m_broken = false;
    m_minor = 2;
    m_completes = false;
    m_fragmenting11 = false;
    m_fragmenting12.clear();
    m_expected.clear();
    m_unknown = 0;
}

} // namespace remote
