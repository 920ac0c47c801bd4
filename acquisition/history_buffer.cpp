#include "acquisition/history_buffer.h"

#include "platform/qstd/trace.h"

namespace {

std::vector<qfeature::HistoryBuffer::tControl> Controls(volatile tHB* block)
{
    volatile FPGAMem_t* base = qapp::RequireMapped(block)->bytes;
    return {
        {base + tHB::c_adc_control, qfeature::HistoryBuffer::eStartImmediately},
        {base + tHB::c_tbt1_control, qfeature::HistoryBuffer::eStartOnEvent},
        {base + tHB::c_tbt2_control, qfeature::HistoryBuffer::eStartOnEvent},
    };
}

} // namespace

HistoryBuffer::HistoryBuffer(qapp::ZemtraBoard& board, volatile tHB* block, const std::string& name)
    : qfeature::HistoryBuffer(board, name, Controls(block)), m_block(block)
{
}

volatile FPGAMem_t* HistoryBuffer::Base() const
{
    return m_block->bytes;
}

void HistoryBuffer::WriteWord(size_t offset, uint64_t value)
{
    fpga::Write64(Base(), offset, value);
}

void HistoryBuffer::StartAdcImmediately()
{
    QSTD_TRACE_FNC();
    WriteWord(tHB::c_adc_control, c_stop);
    WriteWord(tHB::c_adc_control, c_start_now);
}

void HistoryBuffer::StopAdc()
{
    QSTD_TRACE_FNC();
    WriteWord(tHB::c_adc_control, c_stop);
}

void HistoryBuffer::StartTbtOnEvent()
{
    QSTD_TRACE_FNC();
    WriteWord(tHB::c_tbt1_control, c_stop);
    WriteWord(tHB::c_tbt1_control, c_start_on_event);
    WriteWord(tHB::c_tbt2_control, c_stop);
    WriteWord(tHB::c_tbt2_control, c_start_on_event);
}
