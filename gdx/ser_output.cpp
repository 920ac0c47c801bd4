#include "gdx/ser_output.h"

#include "gdx/fofb_state_machine.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/register_word.h"

#include <mutex>

template <>
qstd::BiMap<soMode_e> qstd::EnumMap<soMode_e>::items = {
    {eSoAuto, "auto"},
    {eSoManual, "manual"},
};

namespace {

using fpga::Word32;
using fpga::Word64;

MagnetConfig Output(volatile FPGAMem_t* base, unsigned k)
{
    const unsigned i = k - 1;
    return MagnetConfig("m" + std::to_string(k), Word64(base, SerOutput::c_value + 8 * i),
                        Word32(base, SerOutput::c_id), 8 * i, Word32(base, SerOutput::c_enable), i,
                        Word32(base, SerOutput::c_source), 3 * i);
}

} // namespace

SerOutput::SerOutput(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name,
                     FofbStateMachine* state)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base),
      m_state(state), m_magnets{Output(base, 1), Output(base, 2), Output(base, 3), Output(base, 4)}
{
    QSTD_TRACE_FNC();
    fpga::Write32(m_base, c_prescaler, c_default_prescalers);
    fpga::Write32(m_base, c_prescaler + 4, c_default_prescalers);
    fpga::Write32(m_base, c_id, 0);
    fpga::Write32(m_base, c_enable, c_all_enabled);
}

SerOutput::~SerOutput()
{
    QSTD_TRACE_FNC();
}

void SerOutput::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    node->Add(mci::factory::Create<qreg::RegFncEnumNode<soMode_e>>("mode", this, 0, &SerOutput::GetMode, c_readOnly));
    mci::TreeNodePtr link = mci::factory::Create<qreg::RegNode>("link", c_branch);
    node->Add(link);
    link->Add(
        mci::factory::Create<qreg::RegFncNode<double>>("baud_rate", this, 0, &SerOutput::GetBaudRate, c_readOnly));
    using Prescaler = qreg::RegReferenceBitNode<unsigned, volatile uint64_t>;
    const auto range = [] { return qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(50u, 65535u); };
    volatile uint64_t& word = Word64(m_base, c_prescaler);
    link->Add(mci::factory::Create<Prescaler>(range(), "presc_A", word, 0ll, 16ll, c_persistentReadOnly));
    link->Add(mci::factory::Create<Prescaler>(range(), "presc_B", word, 16ll, 16ll, c_persistentReadOnly));
    link->Add(mci::factory::Create<Prescaler>(range(), "presc_C", word, 32ll, 16ll, c_persistentReadOnly));
    link->Add(mci::factory::Create<Prescaler>(range(), "presc_D", word, 48ll, 16ll, c_persistentReadOnly));
    for (MagnetConfig& magnet : m_magnets) {
        magnet.DefineRegistry(node);
    }
}

void SerOutput::OnShutdown()
{
    QSTD_TRACE_FNC();
    // The enable bits are shared with the "enable" nodes' read-modify-writes.
    std::lock_guard<std::mutex> lock(qreg::RegisterWordLock(m_base + c_enable));
    fpga::Write32(m_base, c_enable, 0);
}

bool SerOutput::GetMode(soMode_e& mode) const
{
    fsmState_e state = eFsmOff;
    mode = m_state && m_state->GetState(state) && state == eFsmOn ? eSoAuto : eSoManual;
    return true;
}

bool SerOutput::GetBaudRate(double& rate) const
{
    const uint64_t word = fpga::Read64(m_base, c_prescaler);
    if (word == 0) {
        rate = c_line_clock;
        return true;
    }
    double sum = 0.0;
    for (unsigned shift = 0; shift < 64; shift += 16) {
        sum += static_cast<double>((word >> shift) & 0xFFFF);
    }
    rate = c_line_clock / (sum * 0.25);
    return true;
}
