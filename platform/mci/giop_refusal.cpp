#include "platform/mci/giop_refusal.h"

#include <cstring>

namespace mci {

namespace {

constexpr std::size_t c_headerSize = 12;
constexpr unsigned char c_request = 0;
constexpr unsigned char c_reply = 1;
constexpr unsigned char c_locateRequest = 3;
constexpr unsigned char c_locateReply = 4;
constexpr std::uint32_t c_systemException = 2;       // reply status
constexpr std::uint32_t c_locateSystemException = 4; // locate status (GIOP 1.2)
constexpr std::uint32_t c_completedNo = 1;
constexpr const char* c_noResources = "IDL:omg.org/CORBA/NO_RESOURCES:1.0";

// CDR input of one message: alignment counts from the start of the message.
class Input {
public:
    Input(const unsigned char* bytes, std::size_t size, bool littleEndian)
        : m_bytes(bytes), m_size(size), m_littleEndian(littleEndian)
    {
    }

    bool ULong(std::uint32_t& value)
    {
        m_position = (m_position + 3) & ~std::size_t{3};
        if (m_position > m_size || m_size - m_position < 4) {
            return false;
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<std::uint32_t>(m_bytes[m_position + (m_littleEndian ? i : 3 - i)]) << (8 * i);
        }
        m_position += 4;
        return true;
    }

    bool Skip(std::uint32_t count)
    {
        if (m_size - m_position < count) {
            return false;
        }
        m_position += count;
        return true;
    }

private:
    const unsigned char* m_bytes;
    std::size_t m_size;
    bool m_littleEndian;
    std::size_t m_position = c_headerSize;
};

// Little-endian CDR output of one message, its header first.
class Output {
public:
    Output() : m_bytes(c_headerSize, '\0') {}

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

    std::string Message(unsigned char minorVersion, unsigned char type)
    {
        const char header[8] = {'G', 'I', 'O', 'P', 1, static_cast<char>(minorVersion), 1, static_cast<char>(type)};
        m_bytes.replace(0, 8, header, 8);
        const auto size = static_cast<std::uint32_t>(m_bytes.size() - c_headerSize);
        for (int i = 0; i < 4; ++i) {
            m_bytes[8 + static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
        }
        return m_bytes;
    }

private:
    std::string m_bytes;
};

} // namespace

std::string GiopRefusalReply(const unsigned char* message, std::size_t size, std::uint32_t minor)
{
    if (size < c_headerSize || std::memcmp(message, "GIOP", 4) != 0 || message[4] != 1 || message[5] > 2) {
        return {};
    }
    const unsigned char version = message[5];
    const unsigned char type = message[7];
    Input in(message, size, (message[6] & 1) != 0);
    std::uint32_t requestId = 0;
    Output out;
    if (version == 2) {
        // The request id comes first in the headers of both.
        if ((type != c_request && type != c_locateRequest) || !in.ULong(requestId)) {
            return {};
        }
        out.ULong(requestId);
        if (type == c_locateRequest) {
            out.ULong(c_locateSystemException);
        } else {
            out.ULong(c_systemException);
            out.ULong(0); // no service contexts
            out.Align(8); // the body of a GIOP 1.2 reply
        }
    } else {
        // The service contexts come first; each takes at least 8 bytes, so
        // that a count larger than the bytes ends the loop early.
        std::uint32_t contexts = 0;
        if (type != c_request || !in.ULong(contexts)) {
            return {};
        }
        for (std::uint32_t i = 0; i < contexts; ++i) {
            std::uint32_t id = 0;
            std::uint32_t length = 0;
            if (!in.ULong(id) || !in.ULong(length) || !in.Skip(length)) {
                return {};
            }
        }
        if (!in.ULong(requestId)) {
            return {};
        }
        out.ULong(0); // no service contexts
        out.ULong(requestId);
        out.ULong(c_systemException);
    }
    out.String(c_noResources);
    out.ULong(minor);
    out.ULong(c_completedNo);
    return out.Message(version, type == c_request ? c_reply : c_locateReply);
}

} // namespace mci
