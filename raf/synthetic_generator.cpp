#include "raf/synthetic_generator.h"

#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qfeature/tsm.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "raf/raf_registers.h"

#include <cmath>
#include <iomanip>

namespace {

constexpr double c_two_pi = 6.283185307179586;

int32_t Sample(unsigned amplitude, double s)
{
    // std::lround rounds halves away from zero; the result is held to the
    // 16 bits of a table half, so a full-scale +1.0 never turns into -32768.
    const long v = std::lround(static_cast<double>(amplitude) * s);
    return static_cast<int32_t>(std::max(-32768L, std::min(32767L, v)));
}

} // namespace

SyntheticGenerator::SyntheticGenerator(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name,
                                       qfeature::Tsm* tsm)
    : qapp::ZemtraFpgaObject(board, base, name), m_reg(base), m_tsm(tsm)
{
    QSTD_TRACE_FNC();
    SetEnabled(false);
    UpdateMill();
}

SyntheticGenerator::~SyntheticGenerator()
{
    QSTD_TRACE_FNC();
}

bool SyntheticGenerator::SetEnabled(const bool& enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write64(m_reg, c_control, enabled ? c_on : 0);
    if (m_tsm) {
        m_tsm->SetContinuous(enabled);
    }
    m_enabled = enabled;
    return true;
}

bool SyntheticGenerator::GetEnabled(bool& enabled) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    enabled = m_enabled;
    return true;
}

bool SyntheticGenerator::SetAmp1(const unsigned& amplitude)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_amp1 = amplitude;
    }
    UpdateMill();
    return true;
}

bool SyntheticGenerator::SetAmp2(const unsigned& amplitude)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_amp2 = amplitude;
    }
    UpdateMill();
    return true;
}

bool SyntheticGenerator::GetAmp1(unsigned& amplitude) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    amplitude = m_amp1;
    return true;
}

bool SyntheticGenerator::GetAmp2(unsigned& amplitude) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    amplitude = m_amp2;
    return true;
}

uint32_t SyntheticGenerator::TableEntry(unsigned i, double w, unsigned amp1, unsigned amp2)
{
    const double s = std::sin(static_cast<double>(i) * w);
    const uint32_t a1 = static_cast<uint32_t>(Sample(amp1, s));
    const uint32_t a2 = static_cast<uint32_t>(Sample(amp2, s));
    return (a2 << 16) + (a1 & 0xFFFFu);
}

void SyntheticGenerator::UpdateMill()
{
    QSTD_TRACE_FNC();
    RafBoard& board = raf::ParentRaf(*this);
    const double ifHz = std::trunc(board.GetIFFrequency());
    const double adcHz = board.GetADCFrequency();
    // One table at a time: the last writer's amplitudes are the ones the
    // table ends with.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (adcHz == 0.0) {
        QSTD_TRACE(1, "Synthetic signal generator table not written: ADC frequency is 0.");
        return;
    }
    const double w = ifHz * c_two_pi / adcHz;
    fpga::Write64(m_reg, c_table_state, 0);
    const bool detail = qstd::TraceOn(qstd::TraceDetail);
    if (detail) {
        QSTD_TRACE(4, "synthetic signal generator table:");
    }
    for (unsigned i = 0; i < c_table_entries; ++i) {
        const uint32_t entry = TableEntry(i, w, m_amp1, m_amp2);
        fpga::Write32(m_reg, c_table + 4 * i, entry);
        if (detail) {
            QSTD_TRACE(4, std::setw(12) << i << std::hex << std::setw(12) << entry);
        }
    }
    fpga::Write64(m_reg, c_table_state, 1);
    fpga::Write64(m_reg, c_tbt_decimation, board.GetTbtDecimation());
    fpga::Write64(m_reg, c_reserved, 0);
}

void SyntheticGenerator::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using UNode = qreg::RegFncNode<unsigned>;
    using Range = qreg::expr::Range<unsigned, unsigned>;
    using G = SyntheticGenerator;
    node->Add(
        mci::factory::Create<qreg::RegFncNode<bool>>("enabled", this, &G::SetEnabled, &G::GetEnabled, c_auxWritable));
    node->Add(mci::factory::Create<UNode>(qreg::Expr<Range>(0u, c_max_amplitude), "amp1", this, &G::SetAmp1,
                                          &G::GetAmp1, c_auxWritable));
    node->Add(mci::factory::Create<UNode>(qreg::Expr<Range>(0u, c_max_amplitude), "amp2", this, &G::SetAmp2,
                                          &G::GetAmp2, c_auxWritable));
}
