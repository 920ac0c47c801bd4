#pragma once
// Dual 16-bit DAC of the timing board; channel A tunes the oscillator that
// clocks the ADCs.

#include "platform/qapp/zemtra_object.h"

#include <atomic>
#include <functional>

namespace qapp {

class DAC8552 : public ZemtraObject {
public:
    static constexpr unsigned c_maxCode = 0xFFFF;
    using Output = std::function<void(unsigned code)>;

    // output receives every code written to channel A.
    DAC8552(ZemtraObject& parent, const std::string& name, Output output);

    // False (nothing written) for a code above 16 bits.
    bool SetValueA(const unsigned& code);
    bool SetValueB(const unsigned& code);
    unsigned GetValueA() const { return m_a.load(); }
    unsigned GetValueB() const { return m_b.load(); }

private:
    Output m_output;
    std::atomic<unsigned> m_a{0};
    std::atomic<unsigned> m_b{0};
};

} // namespace qapp
