#include "acquisition/average_sum.h"

#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_node.h"

#include <cstdint>
#include <exception>
#include <limits>

const char* const AverageSum::c_fa_client_name = "average_sum_fa_client";
const char* const AverageSum::c_event_client_name = "average_sum_event_client";

AverageSum::AverageSum(RafBoard& board, const std::string& name) : qapp::ZemtraFeature(board, name), m_board(board)
{
    QSTD_TRACE_FNC();
}

AverageSum::~AverageSum()
{
    QSTD_TRACE_FNC();
    // The streams end the reads when the board's signals shut down; a feature
    // destroyed before that cancels its own clients.
    if (m_event_thread.joinable()) {
        m_events->Cancel(c_event_client_name);
        m_event_thread.join();
    }
    if (m_fa_thread.joinable()) {
        m_fa->Cancel(c_fa_client_name);
        m_fa_thread.join();
    }
}

void AverageSum::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using mci::factory::Create;
    using U64Ref = qreg::RegReferenceNode<unsigned long long, std::atomic<unsigned long long>>;

    mci::TreeNodePtr timestamp = node->Add(Create<U64Ref>("timestamp", m_timestamp, c_readOnly));
    mci::TreeNodePtr sum = node->Add(Create<U64Ref>("sum", m_sum, c_readOnly));
    mci::TreeNodePtr used = node->Add(Create<U64Ref>("used_atoms", m_used_atoms, c_readOnly));
    node->Add(Create<qreg::RegFncNode<unsigned int>>("trigger_count", this, &AverageSum::_SetTriggerCount,
                                                     &AverageSum::_GetTriggerCount, c_setting));
    mci::TreeNodePtr progress = node->Add(
        Create<qreg::RegReferenceNode<unsigned int, std::atomic<unsigned int>>>("progress", m_progress, c_readOnly));
    m_timestamp_node = mci::Node(timestamp, mci::c_noRelPath);
    m_sum_node = mci::Node(sum, mci::c_noRelPath);
    m_used_atoms_node = mci::Node(used, mci::c_noRelPath);
    m_progress_node = mci::Node(progress, mci::c_noRelPath);
}

void AverageSum::OnPostConfig()
{
    QSTD_TRACE_FNC();
    Signals* signals = m_board.GetSignals();
    Start(signals ? signals->GetFaStream() : nullptr, signals ? signals->GetEventStream() : nullptr);
}

void AverageSum::Start(FaStream* fa, qsig::ZemtraEventStream* events)
{
    QSTD_TRACE_FNC();
    if (m_event_thread.joinable() || m_fa_thread.joinable()) {
        return;
    }
    m_events = events;
    m_event_client = Signals::OpenEventClient(events, c_event_client_name, c_trigger_event);
    if (m_event_client) {
        m_event_thread = std::thread(&AverageSum::EventThread, this);
    }

    m_fa = fa;
    m_fa_client = std::make_unique<qsig::StreamClient<SaFaTraits>>(fa, c_fa_client_name, c_fa_queue);
    const qsig::SuccessCode_e faOpen = m_fa_client->Open();
    if (faOpen == qsig::eSuccess) {
        m_fa_thread = std::thread(&AverageSum::FaThread, this);
    } else {
        QSTD_TRACE(1, c_fa_client_name << ": can't open: " << faOpen);
    }
}

bool AverageSum::_GetTriggerCount(unsigned& value) const
{
    value = m_trigger_count.load();
    return true;
}

bool AverageSum::_SetTriggerCount(const unsigned& value)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> publish(m_publish_mutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (value == m_trigger_count.load()) {
            return true;
        }
        m_accumulator = Accumulator();
        m_atom_count = 0;
        m_last_lmt = 0;
        m_trigger_counter = 0;
        m_trigger_count.store(value);
    }
    m_progress_node.SetValue(0u, 0);
    m_used_atoms_node.SetValue(0ull, 0);
    return true;
}

void AverageSum::AddFaBuffer(const FaBuffer& buffer)
{
    const unsigned n = buffer.GetLength();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_trigger_count.load() == 0 || n == 0) {
        return;
    }
    const uint64_t overflows = m_accumulator.overflows;
    for (unsigned i = 0; i < n; ++i) {
        m_accumulator.Add(buffer[i].Sum);
    }
    if (m_accumulator.overflows != overflows) {
        m_overflows.fetch_add(m_accumulator.overflows - overflows);
    }
    const SaFaAtom& last = buffer[n - 1];
    m_last_lmt = static_cast<uint32_t>(last.LMT_l) | (static_cast<uint64_t>(static_cast<uint32_t>(last.LMT_h)) << 32);
    m_atom_count += n;
}

void AverageSum::Accumulator::Add(int64_t value)
{
    int64_t next = 0;
    if (__builtin_add_overflow(sum, value, &next)) {
        next = value > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
        ++overflows;
    }
    sum = next;
}

unsigned AverageSum::Progress(unsigned counter, unsigned count)
{
    // The counter times 100 passes 2^32 from 42949673 triggers on.
    return static_cast<unsigned>(static_cast<uint64_t>(counter) * 100 / count);
}

void AverageSum::OnTrigger()
{
    std::lock_guard<std::mutex> publish(m_publish_mutex);
    bool completed = false;
    bool newProgress = false;
    unsigned progress = 0;
    uint64_t atoms = 0;
    uint64_t mean = 0;
    uint64_t lmt = 0;
    uint64_t overflows = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const unsigned count = m_trigger_count.load();
        if (count == 0) {
            return;
        }
        ++m_trigger_counter;
        if (m_trigger_counter < count) {
            progress = Progress(m_trigger_counter, count);
            newProgress = progress != m_progress.load();
        } else {
            completed = true;
            atoms = m_atom_count;
            if (atoms != 0) {
                // The Sum fields are signed: so is their mean. The node keeps
                // it as its two's complement.
                mean = static_cast<uint64_t>(m_accumulator.sum / static_cast<int64_t>(atoms));
                lmt = m_last_lmt;
                overflows = m_accumulator.overflows;
                m_atom_count = 0;
                m_accumulator = Accumulator();
                m_last_lmt = 0;
            }
            m_trigger_counter = 0;
            progress = 100;
            newProgress = true;
        }
    }
    if (completed && atoms != 0) {
        if (overflows != 0) {
            qstd::LogWarning(m_board.GetName() + " average_sum: the sum of " + std::to_string(atoms) +
                             " atoms passed the 64-bit range " + std::to_string(overflows) +
                             " times; the mean published is that of the sum held at its limit.");
        }
        m_sum_node.SetValue(static_cast<unsigned long long>(mean), 0);
        m_timestamp_node.SetValue(static_cast<unsigned long long>(lmt), 0);
        m_used_atoms_node.SetValue(static_cast<unsigned long long>(atoms), 0);
    }
    if (newProgress) {
        m_progress_node.SetValue(progress, 0);
    }
}

void AverageSum::FaThread()
{
    QSTD_TRACE_FNC();
    try {
        // One buffer for every read: each read refills it whole.
        const SaFaTraits& traits = m_fa_client->GetTraits();
        FaBuffer buffer(traits, traits.GroupSize());
        for (;;) {
            const qsig::SuccessCode_e rc = m_fa_client->Read(buffer);
            if (rc != qsig::eSuccess) {
                QSTD_TRACE(1,
                           c_fa_client_name
                               << ": the source stream or stream client has been closed/canceled from outside world.");
                break;
            }
            AddFaBuffer(buffer);
        }
    } catch (const std::exception& e) {
        QSTD_TRACE(1, c_fa_client_name << ": " << e.what());
    }
    m_fa_client->Close();
}

void AverageSum::EventThread()
{
    QSTD_TRACE_FNC();
    try {
        for (;;) {
            qsig::EventStruct event;
            const qsig::SuccessCode_e rc = m_event_client->Read(event);
            if (rc != qsig::eSuccess) {
                QSTD_TRACE(1, c_event_client_name << ": stream client read failed: " << rc);
                break;
            }
            OnTrigger();
        }
    } catch (const std::exception& e) {
        QSTD_TRACE(1, c_event_client_name << ": " << e.what());
    }
    m_event_client->Close();
}
