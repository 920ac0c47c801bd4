#include "gdx/gdx_house_keeping.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"

#include <algorithm>

namespace {

// Bit positions inside a cage's field of the control and status words.
constexpr unsigned c_rate_bit = 0;
constexpr uint32_t c_rate_mask = 0x3;
constexpr unsigned c_tx_bit = 2;
constexpr unsigned c_signal_lost_bit = 0;
constexpr unsigned c_tx_fault_bit = 1;
constexpr unsigned c_absent_bit = 2;

} // namespace

GdxHouseKeeping::GdxHouseKeeping(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
    QSTD_TRACE_FNC();
    fpga::Write32(m_block, c_clear, 0);
    if ((fpga::Read32(m_block, c_adc_clock_status) & c_adc_clock_missing) != 0) {
        throw qstd::Exception("ADC clock is not detected", true);
    }
    {
        std::lock_guard<std::mutex> lock(m_control_mutex);
        fpga::Write32(m_block, c_sfp_control, c_sfp_control_init);
    }
    const bool on[c_sfp_max] = {true, true, true, true};
    const uint32_t rates[c_sfp_max] = {0, 0, 3, 3};
    SetSfpTx(on, 0, c_sfp_max);
    SetSfpRate(rates, 0, c_sfp_max);
}

GdxHouseKeeping::~GdxHouseKeeping()
{
    QSTD_TRACE_FNC();
}

size_t GdxHouseKeeping::CagesWithin(size_t start, size_t count, const char* function)
{
    if (start > c_sfp_max || count > c_sfp_max - start) {
        qstd::LoggedAssert(__FILE__, __LINE__, function, "end <= c_sfp_max");
        return start >= c_sfp_max ? 0 : c_sfp_max - start;
    }
    return count;
}

template <typename T>
bool GdxHouseKeeping::WriteFields(const T* values, size_t start, size_t count, unsigned shift, uint32_t mask,
                                  const char* function)
{
    if (CagesWithin(start, count, function) != count) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_control_mutex);
    for (size_t i = 0; i < count; ++i) {
        const unsigned bit = c_bits_per_sfp * static_cast<unsigned>(start + i) + shift;
        uint32_t word = fpga::Read32(m_block, c_sfp_control);
        word = (word & ~(mask << bit)) | ((static_cast<uint32_t>(values[i]) & mask) << bit);
        fpga::Write32(m_block, c_sfp_control, word);
    }
    return true;
}

template <typename T>
size_t GdxHouseKeeping::ReadFields(T* values, size_t start, size_t count, size_t offset, unsigned shift, uint32_t mask,
                                   bool invert, const char* function) const
{
    const size_t served = CagesWithin(start, count, function);
    // The control word is written under the control mutex.
    std::lock_guard<std::mutex> lock(m_control_mutex);
    for (size_t i = 0; i < served; ++i) {
        const unsigned bit = c_bits_per_sfp * static_cast<unsigned>(start + i) + shift;
        const uint32_t field = (fpga::Read32(m_block, offset) >> bit) & mask;
        values[i] = static_cast<T>(invert ? field == 0 : field);
    }
    return served;
}

bool GdxHouseKeeping::SetSfpTx(const bool* values, size_t start, size_t count)
{
    return WriteFields(values, start, count, c_tx_bit, 1u, __PRETTY_FUNCTION__);
}

size_t GdxHouseKeeping::GetSfpTx(bool* values, size_t start, size_t count) const
{
    return ReadFields(values, start, count, c_sfp_control, c_tx_bit, 1u, false, __PRETTY_FUNCTION__);
}

bool GdxHouseKeeping::SetSfpRate(const uint32_t* values, size_t start, size_t count)
{
    // A larger code would spill into the cage's transmit enable.
    for (size_t i = 0; i < count && i < c_sfp_max; ++i) {
        if (values[i] > c_sfp_rate_max) {
            QSTD_TRACE(1, "Invalid SFP rate value." << values[i]);
            return false;
        }
    }
    return WriteFields(values, start, count, c_rate_bit, c_rate_mask, __PRETTY_FUNCTION__);
}

size_t GdxHouseKeeping::GetSfpRate(uint32_t* values, size_t start, size_t count) const
{
    return ReadFields(values, start, count, c_sfp_control, c_rate_bit, c_rate_mask, false, __PRETTY_FUNCTION__);
}

size_t GdxHouseKeeping::GetSfpPresent(bool* values, size_t start, size_t count) const
{
    return ReadFields(values, start, count, c_sfp_status, c_absent_bit, 1u, true, __PRETTY_FUNCTION__);
}

size_t GdxHouseKeeping::GetSfpTxFault(bool* values, size_t start, size_t count) const
{
    return ReadFields(values, start, count, c_sfp_status, c_tx_fault_bit, 1u, false, __PRETTY_FUNCTION__);
}

size_t GdxHouseKeeping::GetSfpSignalPresent(bool* values, size_t start, size_t count) const
{
    return ReadFields(values, start, count, c_sfp_status, c_signal_lost_bit, 1u, true, __PRETTY_FUNCTION__);
}

bool GdxHouseKeeping::IsSfpPresent(unsigned int slot) const
{
    bool present = false;
    if (GetSfpPresent(&present, slot, 1) != 1) {
        throw qstd::Exception("Internal error: failure while checking if SFP is present.", true);
    }
    return present;
}

void GdxHouseKeeping::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using BoolNode = qreg::RegFncNode<bool>;
    using UNode = qreg::RegFncNode<unsigned>;
    using Self = GdxHouseKeeping;
    mci::TreeNodePtr sfp = mci::factory::Create<qreg::RegNode>("sfp", c_branch);
    sfp->Add(mci::factory::Create<BoolNode>("enable", c_sfp_max, this, &Self::SetSfpTx, &Self::GetSfpTx, c_writable));
    sfp->Add(mci::factory::Create<UNode>(qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(0u, c_sfp_rate_max), "rate",
                                         c_sfp_max, this, &Self::SetSfpRate, &Self::GetSfpRate, c_writable));
    sfp->Add(mci::factory::Create<BoolNode>("present", c_sfp_max, this, 0, &Self::GetSfpPresent, c_readOnly));
    sfp->Add(mci::factory::Create<BoolNode>("tx_fault", c_sfp_max, this, 0, &Self::GetSfpTxFault, c_readOnly));
    sfp->Add(mci::factory::Create<BoolNode>("signal", c_sfp_max, this, 0, &Self::GetSfpSignalPresent, c_readOnly));
    node->Add(sfp);
}

void GdxHouseKeeping::OnPostConfig()
{
    QSTD_TRACE_FNC();
}

void GdxHouseKeeping::OnShutdown()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_control_mutex);
    fpga::Write32(m_block, c_sfp_control, 0);
}
