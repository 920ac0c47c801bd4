#include "raf/dsc_conf.h"

#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "raf/raf_registers.h"

template <>
qstd::BiMap<SecMaxRestart_e> qstd::EnumMap<SecMaxRestart_e>::items = {{eSecMaxOnTrigger, "OnTrigger"},
                                                                      {eSecMaxOnRead, "OnRead"}};
template <>
qstd::BiMap<TbtSigSel_e> qstd::EnumMap<TbtSigSel_e>::items = {{eTbtSigInternal, "Internal"},
                                                              {eTbtSigExternal, "External"}};

namespace {

constexpr unsigned c_restart_bit = 32;
constexpr unsigned c_source_bit = 31;
constexpr unsigned c_switch_disabled_bit = 63;

// A register field as a value of an enumeration with a name table; a value
// without a name raises "invalid value".
template <typename E> E ToEnum(uint64_t field)
{
    const E value = static_cast<E>(field);
    qstd::EnumMap<E>::ToString(value);
    return value;
}

} // namespace

DSCConfig::DSCConfig(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_reg(base)
{
    QSTD_TRACE_FNC();
    const uint64_t onRead = static_cast<uint64_t>(eSecMaxOnRead) << c_restart_bit;
    fpga::Write64(m_reg, c_second_max_a, onRead);
    fpga::Write64(m_reg, c_second_max_b, onRead);
    fpga::Write64(m_reg, c_analog_to_dsp, 25);
    fpga::Write64(m_reg, c_disable_length, 50);
    fpga::Write64(m_reg, c_sif_prescaler, 16);
    fpga::Write64(m_reg, c_switch_mark, static_cast<uint64_t>(c_default_offset) << c_mark_delay_shift);
    fpga::Write64(m_reg, c_tbt_div, 0);
}

DSCConfig::~DSCConfig()
{
    QSTD_TRACE_FNC();
}

bool DSCConfig::Get2ndMaxA(unsigned int& value) const
{
    value = static_cast<unsigned>(raf::ReadBits64(m_reg, c_second_max_a, 0, 16));
    return true;
}

bool DSCConfig::Get2ndMaxRestartA(SecMaxRestart_e& value) const
{
    value = ToEnum<SecMaxRestart_e>(raf::ReadBits64(m_reg, c_second_max_a, c_restart_bit, 1));
    return true;
}

bool DSCConfig::_Get2ndMaxRestartB(SecMaxRestart_e& value) const
{
    value = ToEnum<SecMaxRestart_e>(raf::ReadBits64(m_reg, c_second_max_b, c_restart_bit, 1));
    return true;
}

bool DSCConfig::_Set2ndMaxRestartB(const SecMaxRestart_e& value)
{
    if (value != eSecMaxOnTrigger && value != eSecMaxOnRead) {
        QSTD_TRACE(1, "Invalid 2nd Max Restart type." << static_cast<int>(value));
        return false;
    }
    raf::WriteBits64(m_reg, c_second_max_b, c_restart_bit, 1, static_cast<uint64_t>(value));
    return true;
}

uint32_t DSCConfig::MarkDelay() const
{
    return static_cast<uint32_t>(raf::ReadBits64(m_reg, c_switch_mark, c_mark_delay_shift, c_mark_delay_bits));
}

bool DSCConfig::GetSwitch2HistoryDelay(unsigned int& value) const
{
    value = MarkDelay();
    return true;
}

bool DSCConfig::SetSwitch2HistoryDelay(const unsigned int& value)
{
    if (value >= c_mark_delay_limit) {
        QSTD_TRACE(1, "Invalid History Buffer Mark Control Delay value." << value);
        return false;
    }
    raf::WriteBits64(m_reg, c_switch_mark, c_mark_delay_shift, c_mark_delay_bits, value);
    return true;
}

bool DSCConfig::_SetSwitch2HistoryDelay(const unsigned int& value)
{
    if (!SetSwitch2HistoryDelay(value)) {
        return false;
    }
    m_sw_his_delay_offset.store(value - GetADCDelay());
    return true;
}

bool DSCConfig::GetTbtSignalSelect(TbtSigSel_e& value) const
{
    value = ToEnum<TbtSigSel_e>(raf::ReadBits64(m_reg, c_tbt_div, c_source_bit, 1));
    return true;
}

bool DSCConfig::_SetTbtSignalSelect(const TbtSigSel_e& value)
{
    if (value != eTbtSigInternal && value != eTbtSigExternal) {
        QSTD_TRACE(1, "Invalid TBT Signal Select type." << static_cast<int>(value));
        return false;
    }
    raf::WriteBits64(m_reg, c_tbt_div, c_source_bit, 1, static_cast<uint64_t>(value));
    return true;
}

bool DSCConfig::GetTbtDivSwitchDisabled(bool& value) const
{
    value = raf::ReadBits64(m_reg, c_tbt_div, c_switch_disabled_bit, 1) != 0;
    return true;
}

bool DSCConfig::_SetTbtDivSwitchDisabled(const bool& value)
{
    raf::WriteBits64(m_reg, c_tbt_div, c_switch_disabled_bit, 1, value ? 1 : 0);
    return true;
}

bool DSCConfig::GetAnalog2DSPDelay(unsigned int& value) const
{
    return m_analog_to_dsp_delay.GetValue(value, 0);
}

bool DSCConfig::GetTbtDivExecutionDelay(unsigned int& value) const
{
    return m_switching_delay.GetValue(value, 0);
}

bool DSCConfig::GetTbtDivCount(unsigned int& value) const
{
    return m_tbt_div_count.GetValue(value, 0);
}

bool DSCConfig::GetSIFPrescaler(unsigned int& value) const
{
    return m_sif_prescaler.GetValue(value, 0);
}

bool DSCConfig::InRunningStates() const
{
    const int state = GetApplicationState();
    return state == qapp::ZemtraApplication::eStateConfig || state == qapp::ZemtraApplication::eStateRunning;
}

bool DSCConfig::GetSwitchMarkPosition(unsigned int& value) const
{
    return InRunningStates() && m_switch_mark_position.GetValue(value, 0);
}

bool DSCConfig::SetSwitchMarkPosition(const unsigned int& value)
{
    return InRunningStates() && m_switch_mark_position.SetValue(value, 0);
}

uint32_t DSCConfig::GetTbtDecimation() const
{
    return raf::ParentRaf(*this).GetTbtDecimation();
}

uint32_t DSCConfig::GetADCDelay() const
{
    return raf::ParentRaf(*this).GetADCDelay();
}

void DSCConfig::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using Bits = qreg::RegReferenceBitNode<unsigned int, volatile uint64_t>;
    using UNode = qreg::RegFncNode<unsigned int>;
    const uint32_t markDelay = MarkDelay();
    const auto keep = [](const mci::TreeNodePtr& n) { return mci::Node(n, mci::c_noRelPath); };

    node->Add(mci::factory::Create<qreg::RegFncEnumNode<SecMaxRestart_e>>(
        "second_max_reset", this, &DSCConfig::_Set2ndMaxRestartB, &DSCConfig::_Get2ndMaxRestartB, c_setting));
    m_second_max = keep(
        node->Add(mci::factory::Create<Bits>("second_max", raf::Word64(m_reg, c_second_max_b), 0ll, 16ll, c_readOnly)));
    m_analog_to_dsp_delay = keep(node->Add(mci::factory::Create<Bits>(
        "analog_to_dsp_delay", raf::Word64(m_reg, c_analog_to_dsp), 0ll, 12ll, c_auxSetting)));
    node->Add(mci::factory::Create<Bits>("second_max_disable_length", raf::Word64(m_reg, c_disable_length), 0ll, 8ll,
                                         c_auxSetting));
    m_switch_to_history_delay =
        keep(node->Add(mci::factory::Create<UNode>("switch_to_history_delay", this, &DSCConfig::_SetSwitch2HistoryDelay,
                                                   &DSCConfig::GetSwitch2HistoryDelay, c_auxSetting)));
    _SetSwitch2HistoryDelay(markDelay);
    m_switch_mark_position = keep(node->Add(
        mci::factory::Create<Bits>("switch_mark_position", raf::Word64(m_reg, c_switch_mark), 0ll, 4ll, c_auxSetting)));
    node->Add(mci::factory::Create<qreg::RegFncNode<bool>>("tbt_div_switch_disabled", this,
                                                           &DSCConfig::_SetTbtDivSwitchDisabled,
                                                           &DSCConfig::GetTbtDivSwitchDisabled, c_auxSetting));
    m_switching_delay = keep(node->Add(
        mci::factory::Create<Bits>(qreg::Expr<qreg::expr::Range<unsigned int, unsigned int>>(0u, GetTbtDecimation()),
                                   "switching_delay", raf::Word64(m_reg, c_tbt_div), 32ll, 10ll, c_setting)));
    node->Add(mci::factory::Create<qreg::RegFncEnumNode<TbtSigSel_e>>(
        "switching_source", this, &DSCConfig::_SetTbtSignalSelect, &DSCConfig::GetTbtSignalSelect, c_setting));
    m_tbt_div_count = keep(
        node->Add(mci::factory::Create<Bits>("tbt_div_count", raf::Word64(m_reg, c_tbt_div), 0ll, 16ll, c_auxSetting)));
    m_sif_prescaler = keep(node->Add(
        mci::factory::Create<Bits>("sif_prescaler", raf::Word64(m_reg, c_sif_prescaler), 0ll, 8ll, c_auxSetting)));
}

void DSCConfig::OnPostInit()
{
    QSTD_TRACE_FNC();
    RafBoard& board = raf::ParentRaf(*this);
    // The switching divides the TBT clock by the switching decimation: the
    // division count is one less. The values go into their fields only; a
    // count or mark delay that does not fit is cut to the field and traced.
    const uint32_t swDecimation = board.GetSwitchDecimation();
    if (swDecimation == 0) {
        QSTD_TRACE(1, "Invalid switching decimation value." << swDecimation);
    } else {
        const uint64_t count = swDecimation - 1;
        if (count > raf::Mask(c_tbt_div_count_bits)) {
            QSTD_TRACE(1, "TBT division count " << count << " does not fit its field.");
        }
        fpga::Write64(m_reg, c_tbt_div, count & raf::Mask(c_tbt_div_count_bits));
    }

    const uint64_t d = board.GetTbtDecimation();
    const uint64_t markDelay = 2 * d;
    if (markDelay > raf::Mask(c_mark_delay_bits)) {
        QSTD_TRACE(1, "Switch to history delay " << markDelay << " does not fit its field.");
    }
    const uint64_t field = markDelay & raf::Mask(c_mark_delay_bits);
    m_sw_his_delay_offset.store(static_cast<uint32_t>(field));
    fpga::Write64(m_reg, c_switch_mark, field << c_mark_delay_shift);
}

void DSCConfig::OnPostConfig()
{
    QSTD_TRACE_FNC();
    m_sw_his_delay_offset.store(MarkDelay() - GetADCDelay());
}

void DSCConfig::SetDefault()
{
    if (m_reg == nullptr) {
        qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "m_reg != NULL");
    }
}
