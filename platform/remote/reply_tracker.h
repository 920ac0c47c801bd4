#pragma once
// remote::ReplyTracker: the replies one gate channel owes its client. The
// gate notes each request it relays that expects a reply (a Request whose
// header says so, a LocateRequest), and feeds the tracker the bytes the ORB
// sends back as they come: a reply counts once its last byte (of its last
// fragment) has come. So the gate knows when a connection whose client went
// away may be closed without cutting the ORB short: no reply owed, and no
// message of the ORB's half read.
//
// It holds no bytes but the start of the message being read (its header
// and as much of its body as a request id may take).

#include "platform/remote/giop_framing.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace remote {

class ReplyTracker {
public:
    // A request relayed to the ORB expects a reply.
    void Expect(std::uint32_t requestId) { m_expected.push_back(requestId); }
    // Requests expecting a reply whose ids are not known.
    void ExpectUnknown(unsigned count) { m_unknown += count; }

    // The ORB sent these bytes next. False once its bytes are no GIOP
    // (nothing is tracked from then on).
    bool Feed(const unsigned char* data, std::size_t size);

    // Replies owed and not yet whole.
    std::size_t Outstanding() const { return m_expected.size() + m_unknown; }
    // No message of the ORB's has been read in part.
    bool BetweenMessages() const { return m_have == 0; }
    // The GIOP minor version of the ORB's last message (2 before any).
    unsigned char Minor() const { return m_minor; }

    void Reset();

private:
    // A reply's request id follows its service contexts in GIOP 1.0/1.1:
    // an id not found in this many bytes of the message counts as unknown.
    static constexpr std::size_t c_capture = 256;

    void Header();
    void Ref();
    void Complete(bool known, std::uint32_t requestId);
    void MessageDone();

    unsigned char m_head[c_capture] = {};
    std::size_t m_have = 0; // bytes of the current message in m_head, or counted past it
    giop::Header m_header;
    std::uint64_t m_bodyLeft = 0;
    bool m_refDone = false;
    bool m_broken = false;
    unsigned char m_minor = 2;
    // What the end of the current message does.
    bool m_completes = false;
    bool m_completesKnown = false;
    std::uint32_t m_completesId = 0;
    // Replies in fragments whose last fragment has not come.
    bool m_fragmenting11 = false;
    bool m_fragmenting11Known = false;
    std::uint32_t m_fragmenting11Id = 0;
    std::vector<std::uint32_t> m_fragmenting12;
    std::vector<std::uint32_t> m_expected;
    unsigned m_unknown = 0;
};

} // namespace remote
