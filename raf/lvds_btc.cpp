#include "raf/lvds_btc.h"

#include "platform/qstd/trace.h"
#include "qreg/register_word.h"

LvdsBusTrafCop::LvdsBusTrafCop(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_reg(base)
{
    QSTD_TRACE_FNC();
}

LvdsBusTrafCop::~LvdsBusTrafCop()
{
    QSTD_TRACE_FNC();
}

void LvdsBusTrafCop::SetBit(bool on)
{
    std::lock_guard<std::mutex> lock(qreg::RegisterWordLock(m_reg + c_control));
    const uint32_t word = fpga::Read32(m_reg, c_control);
    fpga::Write32(m_reg, c_control, on ? (word | 1u) : (word & ~1u));
}

void LvdsBusTrafCop::EnableFaBuf()
{
    SetBit(true);
}

void LvdsBusTrafCop::DisableFaBuf()
{
    SetBit(false);
}

void LvdsBusTrafCop::OnShutdown()
{
    QSTD_TRACE_FNC();
    DisableFaBuf();
}
