#include "platform/bmc/board.h"

#include "sim/board.h"

#include <sstream>

namespace bmc {

std::ostream& operator<<(std::ostream& os, BoardType_e type)
{
    switch (type) {
    case eBoardTim:
        return os << "TIM (" << static_cast<unsigned>(type) << ")";
    case eBoardGdx:
        return os << "GDX (" << static_cast<unsigned>(type) << ")";
    case eBoardRaf:
        return os << "RAF (" << static_cast<unsigned>(type) << ")";
    case eBoardEvrx:
        return os << "EVRX (" << static_cast<unsigned>(type) << ")";
    default:
        return os << "unknown (" << static_cast<unsigned>(type) << ")";
    }
}

std::string ToString(BoardType_e type)
{
    std::ostringstream os;
    os << type;
    return os.str();
}

std::string Uri::ToString() const
{
    return "zemtra://" + m_host + "/" + m_id;
}

std::string Board::CreateDeviceName(DataStreamAccessType_e type, int index) const
{
    if (m_sim != nullptr) {
        // The simulated board's devices are found under the names it gives them.
        return m_sim->DeviceName(static_cast<int>(type), index);
    }
    const char* kind = "stream";
    if (type == eAccessRandom) {
        kind = "ram";
    } else if (type == eAccessEvents) {
        kind = "event";
    }
    return "/dev/zemtra/" + m_name + "/" + kind + std::to_string(index);
}

} // namespace bmc
