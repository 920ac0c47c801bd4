#include "acquisition/postmortem.h"

#include "acquisition/postmortem_position_controller.h"
#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/create.h"
#include "platform/qapp/zemtra_wait_object.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qsig/zemtra_machine_time.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_enum_bit_node.h"
#include "qreg/reg_reference_node.h"
#include "raf/position_limits.h"

#include <exception>

template <>
qstd::BiMap<PostmortemSource_e> qstd::EnumMap<PostmortemSource_e>::items = {
    {ePostmortemExternal, "external"}, {ePostmortemInterlock, "interlock"}, {ePostmortemLimits, "limits"}};

const char* const PostMortem::c_client_name = "postmortem_event_client";

PostMortem::PostMortem(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base),
      m_tbt_decimation(dynamic_cast<RafBoard&>(board).GetTbtDecimation()), m_raw(DdcTraits(), c_initial_atoms),
      m_ampl(TbtAmplTraits(), c_initial_atoms)
{
    QSTD_TRACE_FNC();
    position_limits::WriteDefaults(m_base, c_position_window);
    WriteRegister(c_overflow_duration, c_default_duration);

    m_wait = qapp::Create<qapp::ZemtraWaitObject>(*this, std::string("postmortem_wait"), m_cond, m_mutex);
    m_controller = std::make_shared<PostmortemPositionController>(*this);
    m_controller->SetDecimation(static_cast<uint32_t>(m_tbt_decimation));

    m_raw_source = std::make_shared<RawSource>(board.GetDecoratedName("postmortem_raw"), m_raw, board.GetName(), *this);
    m_raw_source->SetPositionController(m_controller);
    m_ampl_source =
        std::make_shared<AmplSource>(board.GetDecoratedName("postmortem_ampl"), m_ampl, board.GetName(), *this);
    m_ampl_source->SetPositionController(m_controller);
}

PostMortem::~PostMortem()
{
    QSTD_TRACE_FNC();
    // The capture thread ends when the board's event stream shuts down.
    if (m_thread.joinable()) {
        m_thread.join();
    }
    StopSource(m_raw_source, m_raw_node);
    StopSource(m_ampl_source, m_ampl_node);
}

RafBoard& PostMortem::Board() const
{
    return dynamic_cast<RafBoard&>(GetParentBoard());
}

void PostMortem::WriteRegister(size_t offset, uint64_t value)
{
    fpga::Write64(m_base, offset, value);
}

void PostMortem::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using mci::factory::Create;
    using qreg::Expr;
    using URange = qreg::expr::Range<unsigned int, unsigned int>;
    using IRange = qreg::expr::Range<int, int>;
    using PM = PostMortem;
    using Word = volatile uint64_t;

    m_capture_node =
        node->Add(Create<qreg::RegReferenceNode<bool, std::atomic<bool>>>("capture", m_capture, c_writable));
    node->Add(Create<qreg::RegReferenceEnumBitNode<PostmortemSource_e, Word>>(
        "source_select", fpga::Word64(m_base, c_source), 0ll, 2ll, c_setting));

    mci::TreeNodePtr limits = Create<qreg::RegNode>("limits", c_branch);
    limits->Add(position_limits::MakeNodes(m_base, c_position_window));
    mci::TreeNodePtr overflow = Create<qreg::RegNode>("overflow", c_branch);
    overflow->Add(Create<qreg::RegFncNode<unsigned int>>(
        Expr<URange>(0u, 32766u), "threshold", this, &PM::SetOverflowThreshold, &PM::GetOverflowThreshold, c_setting));
    overflow->Add(Create<qreg::RegReferenceBitNode<unsigned int, Word>>(
        Expr<URange>(0u, 4095u), "duration", fpga::Word64(m_base, c_overflow_duration), 0ll, 12ll, c_setting));
    limits->Add(overflow);
    node->Add(limits);

    m_timestamp_node = node->Add(
        Create<qreg::RegFncNode<unsigned long long>>("timestamp", this, 0, &PM::GetPostmortemTimestamp, c_readOnly));
    m_os_time_node = mci::Node(node->Add(Create<qreg::RegValueNode<std::string>>("os_time", std::string(), c_readOnly)),
                               mci::c_noRelPath);
    node->Add(Create<qreg::RegFncNode<int>>(Expr<IRange>(-c_max_offset, c_max_offset), "offset", this, &PM::SetOffset,
                                            &PM::GetOffset, c_setting));
    node->Add(Create<qreg::RegFncNode<unsigned int>>(Expr<URange>(0u, c_max_capacity), "capacity", this,
                                                     &PM::_SetCapacity, &PM::_GetCapacity, c_setting));
    m_length_node =
        mci::Node(node->Add(Create<qreg::RegValueNode<unsigned int>>("length", 0u, c_readOnly)), mci::c_noRelPath);

    mci::TreeNodePtr signals = Create<qreg::RegNode>("signals", c_branch);
    mci::TreeNodePtr raw = signals->Add(Create<qreg::SignalNode>("ddc_raw", m_raw_source.get(), c_readOnly));
    mci::TreeNodePtr ampl = signals->Add(Create<qreg::SignalNode>("ddc_synthetic", m_ampl_source.get(), c_readOnly));
    m_raw_node = std::dynamic_pointer_cast<qreg::SignalNode>(raw);
    m_ampl_node = std::dynamic_pointer_cast<qreg::SignalNode>(ampl);
    node->Add(signals);
}

void PostMortem::OnPostInit()
{
    QSTD_TRACE_FNC();
    SetOverflowThreshold(m_overflow_threshold.load());
}

void PostMortem::OnPostConfig()
{
    QSTD_TRACE_FNC();
    if (m_thread.joinable()) {
        return;
    }
    // Opened here rather than in the thread, so that the thread never
    // reaches for a board being taken down and misses no event after start.
    Signals* signals = Board().GetSignals();
    m_client =
        Signals::OpenEventClient(signals ? signals->GetEventStream() : nullptr, c_client_name, c_postmortem_event);
    if (!m_client) {
        return;
    }
    m_thread = std::thread(&PostMortem::UpdateBuffer, this);
}

template <typename S> void PostMortem::StopSource(std::shared_ptr<S>& source, std::shared_ptr<qreg::SignalNode>& node)
{
    if (node) {
        node->DetachSource();
        node.reset();
    }
    if (source) {
        {
            // Mode-13 readers stop waiting for a capture that will not come.
            std::lock_guard<std::mutex> lock(source->m_mutex);
            for (auto& controller : source->m_controller_copies) {
                controller->Stop();
            }
        }
        source->ShutDown();
        source.reset();
    }
}

void PostMortem::OnShutdown()
{
    QSTD_TRACE_FNC();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    StopSource(m_raw_source, m_raw_node);
    StopSource(m_ampl_source, m_ampl_node);
}

void PostMortem::UpdateBuffer()
{
    QSTD_TRACE_FNC();
    qsig::SuccessCode_e rc = qsig::eSuccess;
    for (;;) {
        qsig::EventStruct event;
        rc = m_client->Read(event);
        if (rc != qsig::eSuccess) {
            break;
        }
        if (!m_capture.load()) {
            continue;
        }
        try {
            Capture(event.lmt);
        } catch (const std::exception& e) {
            // The capture stays armed for the next event.
            QSTD_TRACE(1, "Postmortem capture at lmt " << event.lmt << " failed: " << e.what());
        }
    }
    QSTD_TRACE(1, c_client_name << ": can't read: " << rc);
    m_client->Close();
}

bool PostMortem::Capture(uint64_t eventLmt)
{
    QSTD_TRACE_FNC();
    const int32_t offset = m_offset.load();
    const uint64_t d = m_tbt_decimation;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopped) {
        return false;
    }
    const uint32_t capacity = m_raw.GetLength();
    // 64-bit arithmetic that wraps: the window's last atom lies offset TBT
    // samples after the event.
    const uint64_t start =
        eventLmt + static_cast<uint64_t>(static_cast<int64_t>(offset) + 1 - static_cast<int64_t>(capacity)) * d;
    qsig::ZemtraMachineTime time(start);
    QSTD_TRACE(3, "Capture PostMortem Buffer:"
                      << " PM Timestamp: " << eventLmt << " offset: " << offset << " number of atoms: " << capacity
                      << " reading from timestamp: " << time);
    const uint32_t n = Board().ReadDDC(m_raw, time, qsig::ePriorityLow);
    // A short read may leave the buffer shorter; "capacity" stays as set.
    m_raw.Resize(capacity);
    if (n != capacity) {
        QSTD_TRACE(1, "Postmortem buffer of size " << capacity << " is partially filled with " << n << " tbt atoms.");
    }
    if (n == 0) {
        QSTD_TRACE(1, "Could not capture ddc_raw buffer at lmt " << eventLmt << " and offset " << offset);
        return false;
    }
    QSTD_TRACE(1, "capture of " << n << " ddc_raw atoms to be used as postmortem data at lmt " << eventLmt
                                << " and offset " << offset);
    m_ampl.Resize(n);
    const RawBuffer captured(m_raw.GetTraits(), m_raw.GetData(), n);
    const qsig::SuccessCode_e converted = Board().ConvertDdcAmplSynthSignal(captured, qsig::eSuccess, m_ampl);
    if (converted != qsig::eSuccess) {
        QSTD_TRACE(1, "Postmortem amplitude conversion failed: " << converted);
    }
    m_first_lmt = start;
    m_last_lmt = start + static_cast<uint64_t>(n - 1) * d;
    m_event_lmt = eventLmt;
    m_captured_offset = offset;
    m_length = n;
    ++m_generation;
    m_timestamp.store((eventLmt + d / 2) / d);
    m_cond.notify_all();
    lock.unlock();

    m_os_time_node.SetValue(qstd::Time::ToText(qstd::Time::Now()), 0);
    PublishLength();
    // Disarmed last: a client that sees "capture" false reads the new
    // "length", "os_time" and "timestamp".
    m_capture.store(false);
    mci::Node(m_timestamp_node, mci::c_noRelPath).Emit();
    mci::Node(m_capture_node, mci::c_noRelPath).Emit();
    return true;
}

PostMortem::tCapture PostMortem::GetCapture() const
{
    tCapture c;
    std::lock_guard<std::mutex> lock(m_mutex);
    c.event_lmt = m_event_lmt;
    c.first_lmt = m_first_lmt;
    c.last_lmt = m_last_lmt;
    c.offset = m_captured_offset;
    c.length = m_length;
    c.capacity = m_capacity.load();
    c.generation = m_generation;
    return c;
}

bool PostMortem::WaitForNextUpdate(const bool* stop, uint64_t seen)
{
    return m_wait->WaitForData(stop, [this, seen] { return m_generation != seen; });
}

uint32_t PostMortem::GetDataLength() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_length;
}

void PostMortem::PublishLength()
{
    std::lock_guard<std::mutex> publish(m_publish_mutex);
    m_length_node.SetValue(GetDataLength(), 0);
}

bool PostMortem::GetOverflowThreshold(unsigned int& value) const
{
    value = m_overflow_threshold.load();
    return true;
}

bool PostMortem::SetOverflowThreshold(const unsigned int& value)
{
    QSTD_TRACE_FNC();
    // The register and the kept value change as one: two clients' writes
    // never leave the register with one value and the node with the other.
    std::lock_guard<std::mutex> lock(m_threshold_mutex);
    WriteRegister(c_overflow_threshold, RafBoard::Count2Threshold(static_cast<int>(value)));
    m_overflow_threshold.store(value);
    return true;
}

bool PostMortem::GetOffset(int& value) const
{
    value = m_offset.load();
    return true;
}

bool PostMortem::SetOffset(const int& value)
{
    m_offset.store(value);
    return true;
}

bool PostMortem::GetPostmortemTimestamp(unsigned long long& value) const
{
    value = m_timestamp.load();
    return true;
}

bool PostMortem::_GetCapacity(unsigned int& value) const
{
    value = m_capacity.load();
    return true;
}

bool PostMortem::_SetCapacity(const unsigned int& value)
{
    QSTD_TRACE_FNC();
    AssureBuffer(value);
    return true;
}

void PostMortem::AssureBuffer(uint32_t count)
{
    bool cut = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (count != m_raw.GetLength()) {
            m_raw.Resize(count);
            m_capacity.store(count);
        }
        if (m_length > count) {
            // The atoms served end with the buffer.
            m_length = count;
            if (count > 0) {
                m_last_lmt = m_first_lmt + static_cast<uint64_t>(count - 1) * m_tbt_decimation;
            }
            cut = true;
        }
    }
    if (cut) {
        PublishLength();
    }
}
