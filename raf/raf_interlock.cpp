#include "raf/raf_interlock.h"

#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_node.h"
#include "qreg/register_word.h"
#include "raf/position_limits.h"
#include "raf/raf_registers.h"

#include <exception>

template <>
qstd::BiMap<OverflowDetectionMode_e> qstd::EnumMap<OverflowDetectionMode_e>::items = {{eOverflowAdc, "adc"},
                                                                                      {eOverflowTbt, "tbt"}};

const char* const RafInterlock::c_status_names[RafInterlock::c_status_bits] = {
    "x", "y", "attenuator", "adc_overflow_filtered", "adc_overflow", "adc_underflow"};
const char* const RafInterlock::c_client_name = "raf_interlock_event_client";

namespace {

// Event id of an interlock on the board's event stream.
constexpr uint64_t c_interlock_event = 3;
// An attenuator value no table holds: the conversion did not write it.
constexpr unsigned int c_not_converted = ~0u;

} // namespace

RafInterlock::RafInterlock(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base)
{
    QSTD_TRACE_FNC();
    WriteRegister(c_control, 0);
    WriteRegister(c_filter_position, c_default_position_filter);
    WriteRegister(c_filter_overflow, 0);
    WriteRegister(c_filter_underflow, 0);
    position_limits::WriteDefaults(m_base, c_position_window);
    WriteRegister(c_overflow_duration, c_default_duration);
    WriteRegister(c_underflow_duration, c_default_duration);
}

RafInterlock::~RafInterlock()
{
    QSTD_TRACE_FNC();
    // The reader ends when the board's event stream shuts down.
    if (m_event_reader.joinable()) {
        m_event_reader.join();
    }
}

RafBoard& RafInterlock::Board() const
{
    return dynamic_cast<RafBoard&>(GetParentBoard());
}

RafInterlock::Word& RafInterlock::At(size_t offset) const
{
    return *reinterpret_cast<Word*>(m_base + offset);
}

uint64_t RafInterlock::ReadRegister(size_t offset) const
{
    return fpga::Read64(m_base, offset);
}

void RafInterlock::WriteRegister(size_t offset, uint64_t value)
{
    fpga::Write64(m_base, offset, value);
}

void RafInterlock::ModifyControl(uint64_t mask, uint64_t bits)
{
    // The bit node "gain_dependent/enabled" takes the same lock.
    std::lock_guard<std::mutex> lock(qreg::RegisterWordLock(&At(c_control)));
    const uint64_t value = ReadRegister(c_control);
    WriteRegister(c_control, (value & ~mask) | (bits & mask));
}

void RafInterlock::SetDefault()
{
    QSTD_TRACE_FNC();
}

void RafInterlock::OnPostInit()
{
    QSTD_TRACE_FNC();
    SetOverflowThreshold(m_overflow_threshold.load());
    SetUnderflowThreshold(m_underflow_threshold.load());
    try {
        SetGainDependentThreshold(c_default_gain_threshold);
    } catch (const std::exception& e) {
        QSTD_TRACE(1, GetName() << ": default gain-dependent threshold refused: " << e.what());
    }
}

void RafInterlock::OnPostConfig()
{
    QSTD_TRACE_FNC();
    ApplyInterlockState(m_enabled.load());
    if (m_event_reader.joinable()) {
        return;
    }
    Signals* signals = Board().GetSignals();
    m_client =
        Signals::OpenEventClient(signals ? signals->GetEventStream() : nullptr, c_client_name, c_interlock_event);
    if (!m_client) {
        return;
    }
    m_event_reader = std::thread(&RafInterlock::EventReaderThreadFnc, this);
}

bool RafInterlock::GetEnabled(bool& value) const
{
    QSTD_TRACE_FNC();
    value = (raf::ReadWord64(m_base, c_control) & c_enable_bit) != 0;
    return true;
}

bool RafInterlock::SetEnabled(const bool& value)
{
    QSTD_TRACE_FNC();
    const int state = GetApplicationState();
    if (state == qapp::ZemtraApplication::eStateRunning) {
        ApplyInterlockState(value);
        return true;
    }
    if (state >= qapp::ZemtraApplication::eStatePreInit && state <= qapp::ZemtraApplication::eStateConfig) {
        // Applied by OnPostConfig.
        m_enabled.store(value);
        return true;
    }
    return false;
}

void RafInterlock::ApplyInterlockState(const bool& enabled)
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(2, "Applying new interlock enabled/disabled state: " << (enabled ? 1 : 0));
    ModifyControl(c_enable_bit, enabled ? c_enable_bit : 0);
}

void RafInterlock::EnableInterlockStatusLatching()
{
    QSTD_TRACE_FNC();
    ModifyControl(c_latch_bit, c_latch_bit);
}

bool RafInterlock::GetOverflowThreshold(unsigned int& value) const
{
    QSTD_TRACE_FNC();
    value = m_overflow_threshold.load();
    return true;
}

void RafInterlock::WriteOverflowThreshold(unsigned int count)
{
    const bool tbt = (raf::ReadWord64(m_base, c_control) & c_mode_bit) != 0;
    WriteRegister(c_overflow_threshold, tbt ? count : RafBoard::Count2Threshold(static_cast<int>(count)));
    m_overflow_threshold.store(count);
}

bool RafInterlock::SetOverflowThreshold(const unsigned int& value)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_threshold_mutex);
    WriteOverflowThreshold(value);
    return true;
}

bool RafInterlock::GetOverflowDetectionMode(OverflowDetectionMode_e& value) const
{
    QSTD_TRACE_FNC();
    value = (raf::ReadWord64(m_base, c_control) & c_mode_bit) != 0 ? eOverflowTbt : eOverflowAdc;
    return true;
}

bool RafInterlock::SetOverflowDetectionMode(const OverflowDetectionMode_e& value)
{
    QSTD_TRACE_FNC();
    // The mode and the threshold in its unit change together.
    std::lock_guard<std::mutex> lock(m_threshold_mutex);
    ModifyControl(c_mode_bit, value == eOverflowTbt ? c_mode_bit : 0);
    WriteOverflowThreshold(m_overflow_threshold.load());
    return true;
}

bool RafInterlock::GetUnderflowThreshold(unsigned int& value) const
{
    QSTD_TRACE_FNC();
    value = m_underflow_threshold.load();
    return true;
}

bool RafInterlock::SetUnderflowThreshold(const unsigned int& value)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_threshold_mutex);
    WriteRegister(c_underflow_threshold, RafBoard::Count2Threshold(static_cast<int>(value)));
    m_underflow_threshold.store(value);
    return true;
}

bool RafInterlock::GetGainDependentThreshold(int& value) const
{
    QSTD_TRACE_FNC();
    value = m_gain_dependent_threshold.load();
    return true;
}

bool RafInterlock::SetGainDependentThreshold(const int& value)
{
    QSTD_TRACE_FNC();
    unsigned int att = c_not_converted;
    // A level outside the attenuator table raises before anything changes.
    Board().ConvertPowerLevel(value, att);
    if (att == c_not_converted) {
        QSTD_TRACE(2, GetName() << ": gain-dependent threshold " << value
                                << " dBm not applied: no attenuator table to convert it; register unchanged.");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_threshold_mutex);
    m_gain_dependent_threshold.store(value);
    WriteRegister(c_gain_threshold, 2ull * att);
    return true;
}

unsigned RafInterlock::GetTbtDecimation() const
{
    return Board().GetTbtDecimation();
}

size_t RafInterlock::UpdateCumulative(uint64_t status, uint64_t timestamp, bool orWith)
{
    std::lock_guard<std::mutex> lock(m_status_mutex);
    m_cumulative_status.store(orWith ? (m_cumulative_status.load() | status) : status);
    m_last_timestamp.store(timestamp);
    if (timestamp == 0 || m_first_timestamp.load() == 0) {
        m_first_timestamp.store(timestamp);
        return 0;
    }
    return 1;
}

void RafInterlock::EmitCumulative(size_t from)
{
    for (size_t i = from; i < m_cumulative_nodes.size(); ++i) {
        m_cumulative_nodes[i].Emit();
    }
}

void RafInterlock::ApplyCumulativeStatus(uint64_t status, uint64_t timestamp)
{
    QSTD_TRACE_FNC();
    EmitCumulative(UpdateCumulative(status, timestamp, false));
}

bool RafInterlock::ResetCumulativeStatus()
{
    QSTD_TRACE_FNC();
    ApplyCumulativeStatus(0, 0);
    return true;
}

void RafInterlock::EventReaderThreadFnc()
{
    QSTD_TRACE_FNC();
    try {
        for (;;) {
            // Re-armed before every wait; the status is read once the event is there.
            EnableInterlockStatusLatching();
            qsig::EventStruct event;
            const qsig::SuccessCode_e rc = m_client->Read(event);
            if (rc != qsig::eSuccess) {
                QSTD_TRACE(1, c_client_name << ": Terminating thread, can't read: " << rc);
                break;
            }
            QSTD_TRACE(1, "Received Interlock event: event ID: " << event.id << " Timestamp: " << event.lmt
                                                                 << " Count: " << event.count);
            bool latched = false;
            {
                std::lock_guard<std::mutex> lock(m_status_mutex);
                if (m_latching_armed.exchange(false)) {
                    m_latched_status.store(ReadRegister(c_status_latched));
                    m_latched_timestamp.store(event.lmt);
                    latched = true;
                }
            }
            if (latched) {
                for (const mci::Node& node : m_latched_nodes) {
                    node.Emit();
                }
            }
            EmitCumulative(UpdateCumulative(ReadRegister(c_status_latched), event.lmt, true));
        }
    } catch (const std::exception& e) {
        QSTD_TRACE(1, c_client_name << ": Terminating thread: " << e.what());
    }
    // Removes the queue from the stream unless the stream cancelled it.
    m_client.reset();
}

void RafInterlock::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using mci::factory::Create;
    using qreg::Expr;
    using U64 = unsigned long long;
    using UIntBit = qreg::RegReferenceBitNode<unsigned int, Word>;
    using BoolBit = qreg::RegReferenceBitNode<bool, Word>;
    using StatusBit = qreg::RegReferenceBitNode<bool, StatusWord>;
    using StatusRef = qreg::RegReferenceNode<U64, StatusWord>;
    using URange = qreg::expr::Range<unsigned int, unsigned int>;
    using IRange = qreg::expr::Range<int, int>;
    using IL = RafInterlock;

    node->Add(Create<qreg::RegFncNode<bool>>("enabled", this, &IL::SetEnabled, &IL::GetEnabled, c_writable));

    // A status word of the FPGA with its six cause bits.
    auto registerStatus = [&](const char* name, size_t offset) {
        mci::TreeNodePtr word = Create<UIntBit>(name, At(offset), 0ll, 6ll, c_auxReadOnly);
        for (unsigned bit = 0; bit < c_status_bits; ++bit) {
            word->Add(Create<BoolBit>(c_status_names[bit], At(offset), static_cast<long long>(bit), 1ll, c_readOnly));
        }
        return word;
    };
    mci::TreeNodePtr current = registerStatus("current", c_status_current);
    mci::TreeNodePtr interlock = registerStatus("interlock", c_status_latched);

    mci::TreeNodePtr latched = Create<StatusRef>("latched", m_latched_status, c_auxReadOnly);
    m_latched_nodes[0] = mci::Node(latched, mci::c_noRelPath);
    latched->Add(Create<qreg::RegReferenceNode<bool, std::atomic<bool>>>("enabled", m_latching_armed, c_writable));
    mci::TreeNodePtr latchedTs = latched->Add(Create<StatusRef>("timestamp", m_latched_timestamp, c_readOnly));
    m_latched_nodes[1] = mci::Node(latchedTs, mci::c_noRelPath);
    for (unsigned bit = 0; bit < c_status_bits; ++bit) {
        mci::TreeNodePtr b = latched->Add(
            Create<StatusBit>(c_status_names[bit], m_latched_status, static_cast<long long>(bit), 1ll, c_readOnly));
        m_latched_nodes[2 + bit] = mci::Node(b, mci::c_noRelPath);
    }

    mci::TreeNodePtr ilStatus = Create<StatusRef>("il_status", m_cumulative_status, c_writable);
    m_cumulative_nodes[1] = mci::Node(ilStatus, mci::c_noRelPath);
    ilStatus->Add(Create<qreg::RegExecNode>("reset", this, &IL::ResetCumulativeStatus));
    mci::TreeNodePtr timestamps = Create<qreg::RegNode>("timestamps", c_aux);
    mci::TreeNodePtr first = timestamps->Add(Create<StatusRef>("first", m_first_timestamp, c_readOnly));
    mci::TreeNodePtr last = timestamps->Add(Create<StatusRef>("last", m_last_timestamp, c_readOnly));
    m_cumulative_nodes[0] = mci::Node(first, mci::c_noRelPath);
    m_cumulative_nodes[2] = mci::Node(last, mci::c_noRelPath);
    for (unsigned bit = 0; bit < c_status_bits; ++bit) {
        const unsigned long long flags = bit + 1 == c_status_bits ? c_auxReadOnly : c_readOnly;
        mci::TreeNodePtr b = ilStatus->Add(
            Create<StatusBit>(c_status_names[bit], m_cumulative_status, static_cast<long long>(bit), 1ll, flags));
        m_cumulative_nodes[3 + bit] = mci::Node(b, mci::c_noRelPath);
    }
    ilStatus->Add(timestamps);

    mci::TreeNodePtr status = Create<qreg::RegNode>("status", c_branch);
    status->Add(ilStatus);
    status->Add(latched);
    status->Add(interlock);
    status->Add(current);

    mci::TreeNodePtr filter = Create<qreg::RegNode>("filter", c_branch);
    filter->Add(Create<UIntBit>("position", At(c_filter_position), 0ll, 8ll, c_setting));
    filter->Add(Create<UIntBit>(Expr<URange>(0u, 6u), "overflow", At(c_filter_overflow), 0ll, 3ll, c_setting));
    filter->Add(Create<UIntBit>(Expr<URange>(0u, 6u), "underflow", At(c_filter_underflow), 0ll, 3ll, c_auxWritable));

    mci::TreeNodePtr limits = Create<qreg::RegNode>("limits", c_branch);
    limits->Add(position_limits::MakeNodes(m_base, c_position_window));

    mci::TreeNodePtr overflow = Create<qreg::RegNode>("overflow", c_branch);
    overflow->Add(Create<qreg::RegFncNode<unsigned int>>(
        Expr<URange>(0u, 32766u), "threshold", this, &IL::SetOverflowThreshold, &IL::GetOverflowThreshold, c_setting));
    overflow->Add(Create<UIntBit>(Expr<URange>(0u, 4095u), "duration", At(c_overflow_duration), 0ll, 12ll, c_setting));
    overflow->Add(Create<qreg::RegFncEnumNode<OverflowDetectionMode_e>>(
        "mode", this, &IL::SetOverflowDetectionMode, &IL::GetOverflowDetectionMode, c_persistentReadOnly));
    limits->Add(overflow);

    mci::TreeNodePtr underflow = Create<qreg::RegNode>("underflow", c_aux);
    underflow->Add(Create<qreg::RegFncNode<unsigned int>>(Expr<URange>(0u, 32766u), "threshold", this,
                                                          &IL::SetUnderflowThreshold, &IL::GetUnderflowThreshold,
                                                          c_setting));
    underflow->Add(Create<UIntBit>(Expr<URange>(0u, GetTbtDecimation()), "duration", At(c_underflow_duration), 0ll,
                                   12ll, c_setting));
    limits->Add(underflow);

    mci::TreeNodePtr gain = Create<qreg::RegNode>("gain_dependent", c_branch);
    gain->Add(Create<BoolBit>("enabled", At(c_control), 1ll, 1ll, c_setting));
    gain->Add(Create<qreg::RegFncNode<int>>(Expr<IRange>(-80, 0), "threshold", this, &IL::SetGainDependentThreshold,
                                            &IL::GetGainDependentThreshold, c_setting));
    gain->Add(Create<UIntBit>("threshold_dB", At(c_gain_threshold), 1ll, 5ll, c_readOnly));

    node->Add(gain);
    node->Add(filter);
    node->Add(limits);
    node->Add(status);
}
