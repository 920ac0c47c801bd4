#include "platform/remote/giop_input.h"

#include <algorithm>

namespace remote {

namespace {

// GIOP 1.2 fragmented messages open at once on one connection: more is no
// client's traffic (each waits for its fragments while the next comes).
constexpr std::size_t c_maxOpen12 = 16;

} // namespace

GiopInput::Status_e GiopInput::Fail(Error_e error)
{
    m_error = error;
    return Status_e::eError;
}

GiopInput::Status_e GiopInput::Scan(const unsigned char* data, std::size_t size)
{
    if (m_error != Error_e::eNone) {
        return Status_e::eError;
    }
    if (m_done) {
        return Status_e::eUnit;
    }
    while (size > m_scanned) {
        const unsigned char* message = data + m_scanned;
        const std::size_t available = size - m_scanned;
        giop::Header header;
        switch (giop::ParseHeader(message, available, header)) {
        case giop::HeaderStatus_e::eIncomplete:
            m_missing = 0;
            return Status_e::eMore;
        case giop::HeaderStatus_e::eNotGiop:
            return Fail(Error_e::eNotGiop);
        case giop::HeaderStatus_e::eUnsupported:
            return Fail(Error_e::eUnsupported);
        case giop::HeaderStatus_e::eOk:
            break;
        }
        if (m_scanned == 0) {
            m_minor = header.minor;
        }
        if (m_bodies + header.bodySize > m_limits.maxMessageSize) {
            m_minor = header.minor;
            return Fail(Error_e::eTooLarge);
        }
        if (header.type > static_cast<unsigned char>(giop::MsgType_e::eFragment) ||
            (header.Is(giop::MsgType_e::eFragment) && header.minor == 0)) {
            m_minor = header.minor;
            return Fail(Error_e::eBadType);
        }
        if (available < header.MessageSize()) {
            m_missing = static_cast<std::size_t>(header.MessageSize() - available);
            return Status_e::eMore;
        }
        m_missing = 0;
        const Status_e status = Message(header, message);
        if (status != Status_e::eMore) {
            return status;
        }
    }
    m_missing = 0;
    return Status_e::eMore;
}

GiopInput::Status_e GiopInput::Message(const giop::Header& header, const unsigned char* message)
{
    const auto size = static_cast<std::size_t>(header.MessageSize());
    if (header.moreFragments && !giop::MayFragment(header)) {
        m_minor = header.minor;
        return Fail(Error_e::eBadFragment);
    }
    giop::RequestRef ref;
    const giop::RefStatus_e refStatus = giop::ReadRequestRef(header, message, size, ref);
    if (header.Is(giop::MsgType_e::eFragment)) {
        // A fragment continues the message of its version that waits for it.
        if (header.minor != m_minor) {
            return Fail(Error_e::eBadFragment);
        }
        if (header.minor < 2) {
            if (!m_open11) {
                return Fail(Error_e::eBadFragment);
            }
            m_open11 = header.moreFragments;
        } else {
            const auto open = std::find(m_open12.begin(), m_open12.end(), ref.requestId);
            if (refStatus != giop::RefStatus_e::eOk || open == m_open12.end()) {
                return Fail(Error_e::eBadFragment);
            }
            if (!header.moreFragments) {
                m_open12.erase(open);
            }
        }
    } else {
        const bool request = header.Is(giop::MsgType_e::eRequest) || header.Is(giop::MsgType_e::eLocateRequest);
        if (refStatus == giop::RefStatus_e::eIncomplete) {
            // Only a GIOP 1.1 request may go on with its header in the next fragment.
            if (!(request && header.moreFragments && header.minor < 2)) {
                m_minor = header.minor;
                return Fail(Error_e::eBadHeader);
            }
            ++m_unknownReplies;
        } else if (request && ref.responseExpected) {
            m_replies.push_back(ref.requestId);
        } else if (header.Is(giop::MsgType_e::eCancelRequest)) {
            m_cancels.push_back({m_scanned, size});
        }
        if (header.moreFragments) {
            if (header.minor != m_minor) {
                return Fail(Error_e::eBadFragment);
            }
            if (header.minor < 2) {
                if (m_open11) {
                    return Fail(Error_e::eBadFragment);
                }
                m_open11 = true;
            } else {
                if (m_open12.size() >= c_maxOpen12 ||
                    std::find(m_open12.begin(), m_open12.end(), ref.requestId) != m_open12.end()) {
                    return Fail(Error_e::eBadFragment);
                }
                m_open12.push_back(ref.requestId);
            }
        }
    }
    if (header.moreFragments || header.Is(giop::MsgType_e::eFragment)) {
        m_large = true;
    }
    m_scanned += size;
    m_bodies += header.bodySize;
    if (m_scanned >= m_limits.largeRequestSize) {
        m_large = true;
    }
    if (m_open11 || !m_open12.empty()) {
        return Status_e::eMore;
    }
    m_done = true;
    return Status_e::eUnit;
}

void GiopInput::Take()
{
    m_scanned = 0;
    m_bodies = 0;
    m_large = false;
    m_done = false;
    m_replies.clear();
    m_unknownReplies = 0;
    m_cancels.clear();
    m_missing = 0;
}

void GiopInput::Reset()
{
    Take();
    m_minor = 0;
    m_open11 = false;
    m_open12.clear();
    m_error = Error_e::eNone;
}

} // namespace remote
