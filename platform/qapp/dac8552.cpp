#include "platform/qapp/dac8552.h"

#include "platform/qstd/trace.h"

namespace qapp {

DAC8552::DAC8552(ZemtraObject& parent, const std::string& name, Output output)
    : ZemtraObject(&parent, name), m_output(std::move(output))
{
}

bool DAC8552::SetValueA(const unsigned& code)
{
    if (code > c_maxCode) {
        QSTD_TRACE(1, GetName() << ": DAC code " << code << " out of range.");
        return false;
    }
    m_a.store(code);
    if (m_output) {
        m_output(code);
    }
    return true;
}

bool DAC8552::SetValueB(const unsigned& code)
{
    if (code > c_maxCode) {
        return false;
    }
    m_b.store(code);
    return true;
}

} // namespace qapp
