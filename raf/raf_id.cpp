#include "raf/raf_id.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_reference_node.h"

RafIdSpecific::RafIdSpecific(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base)
{
    QSTD_TRACE_FNC();
    // Each word is read once, in block order.
    m_adc_freq = fpga::Read32(m_base, c_adc_freq);
    m_tbt_decimation = fpga::Read32(m_base, c_tbt_decimation);
    m_fir_decimation = fpga::Read32(m_base, c_fir_decimation);
    m_cic_decimation = fpga::Read32(m_base, c_cic_decimation);
    m_sa_decimation = fpga::Read32(m_base, c_sa_decimation);
    m_sw_decimation = fpga::Read32(m_base, c_sw_decimation);
    m_harmonic_number = fpga::Read32(m_base, c_harmonic_number);

    m_fa_decimation = m_fir_decimation * m_cic_decimation;

    if (m_tbt_decimation == 0) {
        throw qstd::Exception("Invalid FPGA value for TBT decimation", true);
    }

    m_tbt_freq = static_cast<double>(m_adc_freq) / static_cast<double>(m_tbt_decimation);
    m_rf_freq = static_cast<double>(m_harmonic_number) * m_tbt_freq;
    // The product wraps in 32 bits, as the FPGA's own arithmetic does.
    const uint32_t q = m_harmonic_number / m_tbt_decimation;
    const uint32_t aliased = q * m_adc_freq;
    m_if_freq = m_rf_freq - static_cast<double>(aliased);
    m_nco_freq = m_if_freq / static_cast<double>(m_adc_freq) * 4294967296.0;
}

bool RafIdSpecific::operator!=(const RafIdSpecific& other) const
{
    return m_adc_freq != other.m_adc_freq || m_tbt_decimation != other.m_tbt_decimation ||
           m_cic_decimation != other.m_cic_decimation || m_fir_decimation != other.m_fir_decimation ||
           m_sa_decimation != other.m_sa_decimation || m_sw_decimation != other.m_sw_decimation ||
           m_harmonic_number != other.m_harmonic_number;
}

void RafIdSpecific::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using UNode = qreg::RegReferenceNode<unsigned int, uint32_t>;
    using DNode = qreg::RegReferenceNode<double, double>;

    node->Add(mci::factory::Create<UNode>("adc_frequency", m_adc_freq, c_readOnly));

    mci::TreeNodePtr decimation = mci::factory::Create<qreg::RegNode>("decimation", c_branch);
    decimation->Add(mci::factory::Create<UNode>("tbt", m_tbt_decimation, c_readOnly));
    mci::TreeNodePtr fa = mci::factory::Create<UNode>("fa", m_fa_decimation, c_readOnly);
    fa->Add(mci::factory::Create<UNode>("cic", m_cic_decimation, c_auxReadOnly));
    fa->Add(mci::factory::Create<UNode>("fir", m_fir_decimation, c_auxReadOnly));
    decimation->Add(fa);
    decimation->Add(mci::factory::Create<UNode>("sa", m_sa_decimation, c_readOnly));
    decimation->Add(mci::factory::Create<UNode>("sw", m_sw_decimation, c_readOnly));
    node->Add(decimation);

    node->Add(mci::factory::Create<UNode>("harmonic_number", m_harmonic_number, c_readOnly));
    node->Add(mci::factory::Create<DNode>("rf_frequency", m_rf_freq, c_readOnly));
    node->Add(mci::factory::Create<DNode>("if_frequency", m_if_freq, c_auxReadOnly));
    node->Add(mci::factory::Create<DNode>("tbt_frequency", m_tbt_freq, c_readOnly));
    node->Add(mci::factory::Create<DNode>("nco_frequency", m_nco_freq, c_auxReadOnly));
}
