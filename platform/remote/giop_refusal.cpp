#include "platform/remote/giop_refusal.h"

#include "platform/remote/giop_framing.h"

#include <cstring>

namespace remote {

namespace {

constexpr std::uint32_t c_systemException = 2;       // reply status
constexpr std::uint32_t c_locateSystemException = 4; // locate status (GIOP 1.2)
constexpr std::uint32_t c_objectHere = 1;            // locate status
constexpr std::uint32_t c_completedNo = 1;
constexpr const char* c_noResources = "IDL:omg.org/CORBA/NO_RESOURCES:1.0";

// Little-endian CDR output of one message, its header first.
class Output {
public:
    Output() : m_bytes(giop::c_headerSize, '\0') {}

    void Align(std::size_t n) { m_bytes.resize((m_bytes.size() + n - 1) / n * n, '\0'); }

    void ULong(std::uint32_t value)
    {
        Align(4);
        for (int i = 0; i < 4; ++i) {
            m_bytes.push_back(static_cast<char>(value >> (8 * i)));
        }
    }

    void String(const char* text)
    {
        const std::size_t length = std::strlen(text) + 1;
        ULong(static_cast<std::uint32_t>(length));
        m_bytes.append(text, length);
    }

    std::string Message(unsigned char minorVersion, giop::MsgType_e type)
    {
        const auto header =
            giop::MakeHeader(minorVersion, type, static_cast<std::uint32_t>(m_bytes.size() - giop::c_headerSize));
        m_bytes.replace(0, header.size(), header.data(), header.size());
        return m_bytes;
    }

private:
    std::string m_bytes;
};

} // namespace

std::string GiopRefusalReply(const unsigned char* message, std::size_t size, std::uint32_t minor)
{
    giop::Header header;
    giop::RequestRef ref;
    if (giop::ParseHeader(message, size, header) != giop::HeaderStatus_e::eOk ||
        !(header.Is(giop::MsgType_e::eRequest) || (header.Is(giop::MsgType_e::eLocateRequest) && header.minor == 2)) ||
        giop::ReadRequestRef(header, message, size, ref) != giop::RefStatus_e::eOk) {
        return {};
    }
    Output out;
    const bool locate = header.Is(giop::MsgType_e::eLocateRequest);
    if (header.minor == 2) {
        // The request id comes first in the headers of both.
        out.ULong(ref.requestId);
        if (locate) {
            out.ULong(c_locateSystemException);
        } else {
            out.ULong(c_systemException);
            out.ULong(0); // no service contexts
            out.Align(8); // the body of a GIOP 1.2 reply
        }
    } else {
        out.ULong(0); // no service contexts
        out.ULong(ref.requestId);
        out.ULong(c_systemException);
    }
    out.String(c_noResources);
    out.ULong(minor);
    out.ULong(c_completedNo);
    return out.Message(header.minor, locate ? giop::MsgType_e::eLocateReply : giop::MsgType_e::eReply);
}

GiopLocateHere GiopLocateHereReply(const unsigned char* message, std::size_t size)
{
    GiopLocateHere here;
    giop::Header header;
    giop::RequestRef ref;
    if (giop::ParseHeader(message, size, header) != giop::HeaderStatus_e::eOk ||
        !header.Is(giop::MsgType_e::eLocateRequest) || header.minor == 2) {
        return here;
    }
    here.size = header.MessageSize();
    if (size >= here.size &&
        giop::ReadRequestRef(header, message, static_cast<std::size_t>(here.size), ref) == giop::RefStatus_e::eOk) {
        Output out;
        out.ULong(ref.requestId);
        out.ULong(c_objectHere);
        here.reply = out.Message(header.minor, giop::MsgType_e::eLocateReply);
    }
    return here;
}

} // namespace remote
