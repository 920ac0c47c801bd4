#include "raf/house_keeping.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_enum_bit_node.h"

template <>
qstd::BiMap<OversamplingShiftMode_e> qstd::EnumMap<OversamplingShiftMode_e>::items = {{eSpeedUp, "speed_up"},
                                                                                      {eSlowDown, "slow_down"}};

HouseKeeping::HouseKeeping(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_reg(base)
{
    QSTD_TRACE_FNC();
    fpga::Write64(m_reg, c_adc_clock_status, 0);
    if ((fpga::Read64(m_reg, c_adc_clock_status) & 0x3) != 0) {
        throw qstd::Exception("ADC clock is not detected", true);
    }
    fpga::Write64(m_reg, c_control0, 27);
    fpga::Write64(m_reg, c_control1, 0);
}

HouseKeeping::~HouseKeeping()
{
    QSTD_TRACE_FNC();
}

volatile tOverSmpl& HouseKeeping::Word(size_t offset)
{
    return *reinterpret_cast<volatile tOverSmpl*>(m_reg + offset);
}

bool HouseKeeping::AdjustSignalOversampling(SignalType_e type)
{
    switch (type) {
    case eSignalMC:
        return AdjustSignalOversampling(Word(c_oversampling_mc), m_expected_mc);
    case eSignalTrigger:
        return AdjustSignalOversampling(Word(c_oversampling_trigger), m_expected_trigger);
    case eSignalPM:
        return AdjustSignalOversampling(Word(c_oversampling_pm), m_expected_pm);
    }
    return true;
}

bool HouseKeeping::AdjustSignalOversampling(volatile tOverSmpl& word, std::atomic<uint32_t>& expected)
{
    volatile FPGAMem_t* address = reinterpret_cast<volatile FPGAMem_t*>(&word);
    const uint32_t pattern = (fpga::Read32(address, 0) >> c_pattern_shift) & c_pattern_mask;
    QSTD_TRACE(1, "AdjustSignalOversampling: pattern: " << pattern);
    if (pattern == 0 || pattern == 15) {
        QSTD_TRACE(1, "Pattern: " << pattern << " To fast");
        fpga::Write32(address, 0, c_slow_down);
        expected.store(c_settled_after_slow_down);
        return false;
    }
    if (pattern == 1) {
        QSTD_TRACE(1, "Pattern: " << pattern << " To slow");
        fpga::Write32(address, 0, c_speed_up);
        expected.store(c_settled_after_speed_up);
        return false;
    }
    const uint32_t wanted = expected.load();
    if (wanted == 0) {
        return true;
    }
    if (pattern == wanted) {
        expected.store(0);
        return true;
    }
    return false;
}

uint32_t HouseKeeping::GetExpectedPattern(SignalType_e type) const
{
    switch (type) {
    case eSignalMC:
        return m_expected_mc.load();
    case eSignalTrigger:
        return m_expected_trigger.load();
    case eSignalPM:
        return m_expected_pm.load();
    }
    return 0;
}

void HouseKeeping::DefineOversamplingRegistry(mci::TreeNodePtr& parent, volatile tOverSmpl& word)
{
    using namespace mci::flags;
    using Bits = qreg::RegReferenceBitNode<unsigned int, volatile uint32_t>;
    using Mode = qreg::RegReferenceEnumBitNode<OversamplingShiftMode_e, volatile uint32_t>;
    parent->Add(mci::factory::Create<Bits>("counts", word, 0ll, 6ll, c_writable));
    parent->Add(mci::factory::Create<Mode>("mode", word, 8ll, 1ll, c_writable));
    parent->Add(mci::factory::Create<Bits>("reset", word, 16ll, 1ll, c_writable));
    parent->Add(mci::factory::Create<Bits>("pattern", word, 24ll, 4ll, c_readOnly));
}

void HouseKeeping::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    mci::TreeNodePtr adjustment = mci::factory::Create<qreg::RegNode>("signal_adjustment", c_aux);
    mci::TreeNodePtr mc = mci::factory::Create<qreg::RegNode>("MC", c_branch);
    mci::TreeNodePtr trigger = mci::factory::Create<qreg::RegNode>("Trigger", c_branch);
    mci::TreeNodePtr pm = mci::factory::Create<qreg::RegNode>("PM", c_branch);
    DefineOversamplingRegistry(mc, Word(c_oversampling_mc));
    DefineOversamplingRegistry(trigger, Word(c_oversampling_trigger));
    DefineOversamplingRegistry(pm, Word(c_oversampling_pm));
    adjustment->Add(mc);
    adjustment->Add(trigger);
    adjustment->Add(pm);
    node->Add(adjustment);
}
