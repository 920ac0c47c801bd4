#include "platform/qfeature/history_buffer.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qstd/trace.h"

namespace qfeature {

namespace {
void WriteControl(volatile void* word, uint64_t value)
{
    if (word) {
        fpga::Write64(static_cast<volatile FPGAMem_t*>(word), 0, value);
    }
}
} // namespace

HistoryBuffer::HistoryBuffer(qapp::ZemtraBoard& board, const std::string& name, const std::vector<tControl>& controls)
    : qapp::ZemtraFeature(board, name), m_controls(controls)
{
}

void HistoryBuffer::ForceEnable()
{
    QSTD_TRACE_FNC();
    for (const tControl& c : m_controls) {
        WriteControl(c.word, eStop);
        WriteControl(c.word, c.start);
    }
    m_enabled.store(true);
}

void HistoryBuffer::AssureEnable()
{
    if (!IsEnabled()) {
        ForceEnable();
    }
}

void HistoryBuffer::Disable()
{
    QSTD_TRACE_FNC();
    for (const tControl& c : m_controls) {
        WriteControl(c.word, eStop);
    }
    m_enabled.store(false);
}

bool HistoryBuffer::IsEnabled() const
{
    return m_enabled.load();
}

} // namespace qfeature
