#include "raf/tbt.h"

#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/simple_position_controller.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "raf/raf_registers.h"
#include "raf/tbt_window_signal.h"

#include <algorithm>
#include <cstring>
#include <thread>

template <>
qstd::BiMap<TBTDataSwitch_e> qstd::EnumMap<TBTDataSwitch_e>::items = {
    {eTbtDDC, "DDC"}, {eTbtTDP, "TDP"}, {eTbtDisabled, "Disabled"}};

constexpr std::chrono::milliseconds TurnByTurnDSP::c_capture_poll;
constexpr std::chrono::milliseconds TurnByTurnDSP::c_capture_timeout;
constexpr std::chrono::milliseconds TurnByTurnDSP::c_settle;

namespace {

constexpr int c_signed_min = -16;
constexpr int c_signed_max = 15;
constexpr unsigned c_spike_bits = 5;
constexpr unsigned c_spike_window_bits = 7;

int SignExtend5(uint64_t field)
{
    const int v = static_cast<int>(field & 0x1F);
    return (v & 0x10) != 0 ? v - 0x20 : v;
}

} // namespace

TurnByTurnDSP::TurnByTurnDSP(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_reg(base)
{
    QSTD_TRACE_FNC();
    auto controller = std::make_shared<qsig::SimplePositionController>(m_debug_ram_size);
    m_window = std::make_shared<TbtWindowSignal>(board.GetDecoratedName("tbt_window"), this, board.GetName());
    m_window->SetPositionController(controller);
    SetDefault();
}

TurnByTurnDSP::~TurnByTurnDSP()
{
    QSTD_TRACE_FNC();
    ReleaseWindow();
}

void TurnByTurnDSP::ReleaseWindow()
{
    // The node keeps a plain pointer to the signal and clients may keep the
    // signal itself: the node lets go first, then the signal lets go of this
    // object (after a read in progress), then this object of the signal.
    if (m_window_node) {
        m_window_node->DetachSource();
    }
    if (m_window) {
        m_window->ShutDown();
    }
    m_window.reset();
}

void TurnByTurnDSP::OnShutdown()
{
    QSTD_TRACE_FNC();
    ReleaseWindow();
}

bool TurnByTurnDSP::_GetDataSwitch(TBTDataSwitch_e& value) const
{
    const auto v = static_cast<TBTDataSwitch_e>(raf::ReadBits64(m_reg, c_data_switch, 0, 2));
    qstd::EnumMap<TBTDataSwitch_e>::ToString(v);
    value = v;
    return true;
}

bool TurnByTurnDSP::_SetDataSwitch(const TBTDataSwitch_e& value)
{
    if (static_cast<unsigned>(value) >= 4) {
        QSTD_TRACE(1, "Invalid TBT data switch value." << static_cast<int>(value));
        return false;
    }
    raf::WriteBits64(m_reg, c_data_switch, 0, 2, static_cast<uint64_t>(value));
    return true;
}

bool TurnByTurnDSP::_GetADCDelay(unsigned int& value) const
{
    value = static_cast<unsigned>(raf::ReadBits64(m_reg, c_adc_delay, 0, 11));
    return true;
}

bool TurnByTurnDSP::_SetADCDelay(const unsigned int& delay)
{
    if (delay > c_adc_delay_max) {
        QSTD_TRACE(1, "Invalid ADC delay value." << delay);
        return false;
    }
    RafBoard& board = raf::ParentRaf(*this);
    // No gain-control step may run while the delay and the mark move.
    GainControllerLock::Lock_t lock = board.LockSignalController();
    bool ok = true;
    if (GetApplicationState() == qapp::ZemtraApplication::eStateRunning) {
        ok = board.SetSwitch2HistoryDelay(board.GetSwHisDelayOffset() + delay);
    }
    if (ok) {
        raf::WriteBits64(m_reg, c_adc_delay, 0, 11, delay);
    }
    std::this_thread::sleep_for(c_settle);
    board.UnlockSignalController(lock);
    return ok;
}

bool TurnByTurnDSP::_GetNCOFreq(unsigned int& value) const
{
    value = static_cast<unsigned>(raf::ReadBits64(m_reg, c_nco, 0, 32));
    return true;
}

bool TurnByTurnDSP::_SetNCOFreq(const unsigned int& value)
{
    raf::WriteBits64(m_reg, c_nco, 0, 32, value);
    return true;
}

bool TurnByTurnDSP::_GetDbgFreq(unsigned int& value) const
{
    value = static_cast<unsigned>(raf::ReadBits64(m_reg, c_dbg_nco, 0, 32));
    return true;
}

bool TurnByTurnDSP::_SetDbgFreq(const unsigned int& value)
{
    raf::WriteBits64(m_reg, c_dbg_nco, 0, 32, value);
    return true;
}

bool TurnByTurnDSP::_GetDbgEnable(bool& value) const
{
    value = raf::ReadBits64(m_reg, c_dbg_enable, 0, 1) != 0;
    return true;
}

bool TurnByTurnDSP::_SetDbgEnable(const bool& value)
{
    raf::WriteBits64(m_reg, c_dbg_enable, 0, 1, value ? 1 : 0);
    return true;
}

// The enable is read and written under the spike mutex, which a reset holds
// throughout: a client's write is never undone by a reset that switched the
// removal off before it, and a read gives the client's value, not the
// moment of a reset.
bool TurnByTurnDSP::_GetSpikeRemovalEnable(bool& value) const
{
    std::lock_guard<std::mutex> lock(m_spike_mutex);
    value = raf::ReadBits64(m_reg, c_spike_enable, 0, 1) != 0;
    return true;
}

bool TurnByTurnDSP::_SetSpikeRemovalEnable(const bool& value)
{
    std::lock_guard<std::mutex> lock(m_spike_mutex);
    raf::WriteBits64(m_reg, c_spike_enable, 0, 1, value ? 1 : 0);
    return true;
}

void TurnByTurnDSP::ResetSpikeRemoval()
{
    std::lock_guard<std::mutex> lock(m_spike_mutex);
    if (raf::ReadBits64(m_reg, c_spike_enable, 0, 1) == 0) {
        return;
    }
    raf::WriteBits64(m_reg, c_spike_enable, 0, 1, 0);
    std::this_thread::sleep_for(c_settle);
    raf::WriteBits64(m_reg, c_spike_enable, 0, 1, 1);
}

bool TurnByTurnDSP::SetSpikeField(size_t offset, unsigned width, uint64_t value)
{
    raf::WriteBits64(m_reg, offset, 0, width, value);
    ResetSpikeRemoval();
    return true;
}

bool TurnByTurnDSP::SetSignedSpikeField(size_t offset, int value)
{
    // The low half keeps its upper bits, the high half is cleared.
    raf::Modify64(m_reg, offset, [value](uint64_t v) {
        return (v & 0xFFFFFFE0ull) | (static_cast<uint64_t>(static_cast<uint32_t>(value)) & 0x1F);
    });
    ResetSpikeRemoval();
    return true;
}

bool TurnByTurnDSP::_GetSpikeAveragingStop(int& value) const
{
    value = SignExtend5(raf::ReadBits64(m_reg, c_averaging_stop, 0, c_spike_bits));
    return true;
}

bool TurnByTurnDSP::_SetSpikeAveragingStop(const int& value)
{
    if (value < c_signed_min || value > c_signed_max) {
        QSTD_TRACE(1, "Invalid Spike Averaging Stop value." << value);
        return false;
    }
    return SetSignedSpikeField(c_averaging_stop, value);
}

bool TurnByTurnDSP::_GetSpikeAveragingWindow(unsigned int& value) const
{
    value = static_cast<unsigned>(raf::ReadBits64(m_reg, c_averaging_window, 0, c_spike_bits));
    return true;
}

bool TurnByTurnDSP::_SetSpikeAveragingWindow(const unsigned int& value)
{
    if (value >= 32) {
        QSTD_TRACE(1, "Invalid Spike Averaging Window value." << value);
        return false;
    }
    return SetSpikeField(c_averaging_window, c_spike_bits, value);
}

bool TurnByTurnDSP::_GetSpikeStart(int& value) const
{
    value = SignExtend5(raf::ReadBits64(m_reg, c_spike_start, 0, c_spike_bits));
    return true;
}

bool TurnByTurnDSP::_SetSpikeStart(const int& value)
{
    if (value < c_signed_min || value > c_signed_max) {
        QSTD_TRACE(1, "Invalid Spike Start value." << value);
        return false;
    }
    return SetSignedSpikeField(c_spike_start, value);
}

bool TurnByTurnDSP::_GetSpikeWindow(unsigned int& value) const
{
    value = static_cast<unsigned>(raf::ReadBits64(m_reg, c_spike_window, 0, c_spike_window_bits));
    return true;
}

bool TurnByTurnDSP::_SetSpikeWindow(const unsigned int& value)
{
    if (value >= 128) {
        QSTD_TRACE(1, "Invalid Spike Window value." << value);
        return false;
    }
    return SetSpikeField(c_spike_window, c_spike_window_bits, value);
}

bool TurnByTurnDSP::IsAdcMaskWord(unsigned int index)
{
    if (index >= c_adc_mask_words) {
        qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "index < c_adc_mask_words");
        return false;
    }
    return true;
}

void TurnByTurnDSP::GetAdcMask(const unsigned int& index, unsigned short& mask) const
{
    if (IsAdcMaskWord(index)) {
        mask = static_cast<unsigned short>(raf::ReadBits64(m_reg, c_adc_mask + 8 * index, 0, c_adc_mask_bits));
    }
}

void TurnByTurnDSP::SetAdcMask(const unsigned int& index, const unsigned short& mask)
{
    if (IsAdcMaskWord(index)) {
        raf::Modify64(m_reg, c_adc_mask + 8 * index, [mask](uint64_t v) { return (v & 0xFFFF0000ull) | mask; });
    }
}

unsigned int TurnByTurnDSP::_GetAdcMask(unsigned int* values, unsigned int position, unsigned int count) const
{
    const unsigned bits = c_adc_mask_words * c_adc_mask_bits;
    if (position >= bits || count == 0) {
        return 0;
    }
    count = std::min(count, bits - position);
    unsigned short mask = 0;
    for (unsigned k = 0; k < count; ++k) {
        const unsigned p = position + k;
        if (k == 0 || p % c_adc_mask_bits == 0) {
            GetAdcMask(p / c_adc_mask_bits, mask);
        }
        values[k] = (mask >> (p % c_adc_mask_bits)) & 1u;
    }
    return count;
}

bool TurnByTurnDSP::_SetAdcMask(const unsigned int* values, unsigned int position, unsigned int count)
{
    const unsigned bits = c_adc_mask_words * c_adc_mask_bits;
    if (position >= bits || count > bits - position) {
        return false;
    }
    // The bits of one word change in one read-modify-write: a client's bits
    // of the same word written meanwhile stay.
    unsigned k = 0;
    while (k < count) {
        const unsigned index = (position + k) / c_adc_mask_bits;
        uint64_t set = 0;
        uint64_t clear = 0;
        for (; k < count && (position + k) / c_adc_mask_bits == index; ++k) {
            const uint64_t bit = 1ull << ((position + k) % c_adc_mask_bits);
            (values[k] == 1 ? set : clear) |= bit;
        }
        // As SetAdcMask: the low half keeps its upper bits, the high half is
        // cleared.
        raf::Modify64(m_reg, c_adc_mask + 8 * index,
                      [set, clear](uint64_t v) { return (v & 0xFFFF0000ull) | ((v & 0xFFFFull & ~clear) | set); });
    }
    return true;
}

size_t TurnByTurnDSP::ReadDebugRamData(uint64_t* buffer, size_t count, size_t offset)
{
    if (count == 0 || offset >= m_debug_ram_size) {
        return 0;
    }
    // The end is formed from the room left after the offset, so that no
    // count can wrap it.
    const size_t end = offset + std::min<size_t>(count, m_debug_ram_size - offset);

    std::unique_lock<std::mutex> lock(m_debug_ram_mutex);
    raf::WriteBits64(m_reg, c_capture, 0, 1, 1);
    const auto deadline = std::chrono::steady_clock::now() + c_capture_timeout;
    while (raf::ReadBits64(m_reg, c_capture, 0, 1) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            QSTD_TRACE(1, "Debug RAM capture not completed within " << c_capture_timeout.count() << " ms.");
            return 0;
        }
        std::this_thread::sleep_for(c_capture_poll);
    }
    fpga::Write32(m_reg, c_data_port, fpga::Read32(m_reg, c_data_port) | 1u);
    // The port is sequential: the words before the offset are read and dropped.
    for (size_t k = 0; k < end; ++k) {
        const uint64_t word = fpga::Read64(m_reg, c_data_port);
        if (k >= offset) {
            std::memcpy(buffer + (k - offset), &word, sizeof(word));
        }
    }
    return end - offset;
}

bool TurnByTurnDSP::SetNCOFreq(const uint32_t& value)
{
    if (!m_nco) {
        return _SetNCOFreq(value);
    }
    return m_nco.SetValue(static_cast<unsigned int>(value), 0);
}

uint32_t TurnByTurnDSP::GetTbtDecimation() const
{
    return raf::ParentRaf(*this).GetTbtDecimation();
}

uint32_t TurnByTurnDSP::GetNcoFrequency() const
{
    const double f = raf::ParentRaf(*this).GetNcoFrequency();
    // A board that reports no ADC frequency has no NCO value to truncate.
    if (!(f >= 0.0 && f < 4294967296.0)) {
        QSTD_TRACE(1, "NCO frequency " << f << " is not a phase increment; 0 is used.");
        return 0;
    }
    return static_cast<uint32_t>(f);
}

mci::Node TurnByTurnDSP::NodeSpikeWindow() const
{
    return mci::Node(m_spike_window, mci::c_noRelPath);
}

mci::Node TurnByTurnDSP::NodeSpikeStart() const
{
    return mci::Node(m_spike_start, mci::c_noRelPath);
}

mci::Node TurnByTurnDSP::NodeAveragingWindow() const
{
    return mci::Node(m_averaging_window, mci::c_noRelPath);
}

mci::Node TurnByTurnDSP::NodeAveragingStop() const
{
    return mci::Node(m_averaging_stop, mci::c_noRelPath);
}

void TurnByTurnDSP::SetDefault()
{
    QSTD_TRACE_FNC();
    fpga::Write64(m_reg, c_adc_delay, 0);
    _SetDataSwitch(eTbtDDC);
    const uint32_t f = GetNcoFrequency();
    _SetNCOFreq(f);
    _SetDbgFreq(f);
    QSTD_TRACE(3, "NCO frequency set to default, hardcoded value: " << f);
    raf::WriteBits64(m_reg, c_dbg_enable, 0, 1, 0);
}

void TurnByTurnDSP::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using qreg::expr::Range;
    using UNode = qreg::RegFncNode<unsigned int>;
    using INode = qreg::RegFncNode<int>;
    using BNode = qreg::RegFncNode<bool>;
    using T = TurnByTurnDSP;
    const uint32_t tbtDecimation = GetTbtDecimation();

    node->Add(mci::factory::Create<qreg::RegFncEnumNode<TBTDataSwitch_e>>("data_type", this, &T::_SetDataSwitch,
                                                                          &T::_GetDataSwitch, c_setting));
    node->Add(mci::factory::Create<UNode>(qreg::Expr<Range<unsigned int, unsigned int>>(0u, tbtDecimation),
                                          "phase_offset", this, &T::_SetADCDelay, &T::_GetADCDelay, c_setting));
    _SetADCDelay(0);
    m_nco = mci::Node(
        node->Add(mci::factory::Create<UNode>("nco_frequency", this, &T::_SetNCOFreq, &T::_GetNCOFreq, c_auxReadOnly)),
        mci::c_noRelPath);
    node->Add(mci::factory::Create<UNode>("dbg_frequency", this, &T::_SetDbgFreq, &T::_GetDbgFreq, c_auxWritable));
    node->Add(mci::factory::Create<BNode>("dbg_enable", this, &T::_SetDbgEnable, &T::_GetDbgEnable, c_auxSetting));

    mci::TreeNodePtr spike = mci::factory::Create<qreg::RegNode>("spike_removal", c_branch);
    mci::TreeNodePtr mode = spike->Add(mci::factory::Create<qreg::RegNode>("mode", c_branch));
    mode->Add(mci::factory::Create<BNode>("hw_enable", this, &T::_SetSpikeRemovalEnable, &T::_GetSpikeRemovalEnable,
                                          c_setting));
    const bool swEnable = raf::ReadBits64(m_reg, c_spike_enable, 0, 1) != 0;
    m_sw_spike_removal = mci::Node(
        mode->Add(mci::factory::Create<qreg::RegValueNode<bool>>("sw_enable", swEnable, c_setting)), mci::c_noRelPath);
    m_averaging_stop = spike->Add(mci::factory::Create<INode>(qreg::Expr<Range<int, int>>(c_signed_min, c_signed_max),
                                                              "averaging_stop", this, &T::_SetSpikeAveragingStop,
                                                              &T::_GetSpikeAveragingStop, c_setting));
    m_averaging_window = spike->Add(mci::factory::Create<UNode>(
        qreg::Expr<qreg::expr::Set<unsigned int, unsigned int>>(0u, 1u, 2u, 4u, 8u, 16u), "averaging_window", this,
        &T::_SetSpikeAveragingWindow, &T::_GetSpikeAveragingWindow, c_setting));
    m_spike_start =
        spike->Add(mci::factory::Create<INode>(qreg::Expr<Range<int, int>>(c_signed_min, c_signed_max), "start", this,
                                               &T::_SetSpikeStart, &T::_GetSpikeStart, c_setting));
    m_spike_window =
        spike->Add(mci::factory::Create<UNode>(qreg::Expr<Range<unsigned int, unsigned int>>(0u, 127u), "window", this,
                                               &T::_SetSpikeWindow, &T::_GetSpikeWindow, c_setting));
    node->Add(spike);

    const unsigned maskSize = std::min(tbtDecimation, m_debug_ram_size);
    node->Add(mci::factory::Create<UNode>(qreg::Expr<Range<unsigned int, unsigned int>>(0u, 1u), "adc_mask", maskSize,
                                          this, &T::_SetAdcMask, &T::_GetAdcMask, c_setting));

    if (m_window) {
        m_window_node = std::dynamic_pointer_cast<qreg::SignalNode>(
            node->Add(mci::factory::Create<qreg::SignalNode>("tbt_window", m_window.get(), c_readOnly)));
    }
}
