#pragma once
// Machine time of a board: its LMT, a count of ADC clock periods.

#include <cstdint>
#include <ostream>

namespace qsig {

class ZemtraMachineTime {
public:
    ZemtraMachineTime() = default;
    explicit ZemtraMachineTime(uint64_t lmt) : m_lmt(lmt) {}

    uint64_t Value() const { return m_lmt; }

    bool operator==(const ZemtraMachineTime& other) const { return m_lmt == other.m_lmt; }
    bool operator!=(const ZemtraMachineTime& other) const { return m_lmt != other.m_lmt; }

private:
    uint64_t m_lmt = 0;
};

// Written as the LMT's decimal value.
inline std::ostream& operator<<(std::ostream& os, const ZemtraMachineTime& time)
{
    return os << time.Value();
}

} // namespace qsig
