#include "gdx/fofb_state_machine.h"

#include "gdx/fofb.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qsig/event_filter.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_reference_enum_bit_node.h"

template <>
qstd::BiMap<fsmState_e> qstd::EnumMap<fsmState_e>::items = {
    {eFsmOff, "off"},
    {eFsmOn, "on"},
    {eFsmStandby, "standby"},
};

FofbStateMachine::FofbStateMachine(qapp::ZemtraObject& parent, const std::string& name, volatile uint32_t& state,
                                   qsig::ZemtraEventStream* events)
    : qapp::ZemtraFeature(parent, name), m_fofb(dynamic_cast<FOFB*>(&parent)), m_state(state), m_events(events)
{
    QSTD_TRACE_FNC();
}

FofbStateMachine::~FofbStateMachine()
{
    QSTD_TRACE_FNC();
    Stop();
}

bool FofbStateMachine::GetState(fsmState_e& state) const
{
    state = static_cast<fsmState_e>(fpga::Read32(reinterpret_cast<const volatile FPGAMem_t*>(&m_state), 0));
    return true;
}

void FofbStateMachine::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using ModeNode = qreg::RegReferenceEnumBitNode<fsmState_e, volatile uint32_t>;
    mci::TreeNodePtr mode = mci::factory::Create<ModeNode>("mode", m_state, 0ll, 3ll, c_readOnly);
    node->Add(mode);
    std::lock_guard<std::mutex> lock(m_mode_mutex);
    m_mode = mci::Node(mode, mci::c_noRelPath);
}

void FofbStateMachine::OnPostConfig()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_client_mutex);
    if (m_stopping || m_thread.joinable()) {
        return;
    }
    m_thread = std::thread(&FofbStateMachine::StateMonitor, this);
}

void FofbStateMachine::Stop()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_client_mutex);
        m_stopping = true;
        if (m_client) {
            // Takes the queue out of the stream and wakes the blocked read.
            m_client->Close();
        }
        thread = std::move(m_thread);
    }
    if (thread.joinable()) {
        thread.join();
    }
    std::lock_guard<std::mutex> lock(m_client_mutex);
    m_client.reset();
}

void FofbStateMachine::EmitMode()
{
    mci::Node mode;
    {
        std::lock_guard<std::mutex> lock(m_mode_mutex);
        mode = m_mode;
    }
    if (mode) {
        mode.Emit();
    }
}

void FofbStateMachine::StateMonitor()
{
    QSTD_TRACE_FNC();
    qsig::ZemtraEventStream::Client* client = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_client_mutex);
        if (m_stopping) {
            return;
        }
        m_client = std::make_unique<qsig::ZemtraEventStream::Client>(
            m_events, c_client_name, static_cast<unsigned>(2 * (qsig::c_maxEventId + 1)));
        m_client->GetQueue().SetFilter(
            std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{c_event_state, c_event_interlock}));
        const qsig::SuccessCode_e rc = m_client->Open();
        if (rc != qsig::eSuccess) {
            QSTD_TRACE(1, c_client_name << ": can't open: " << rc);
            return;
        }
        client = m_client.get();
    }
    for (;;) {
        qsig::EventStruct event;
        const qsig::SuccessCode_e rc = client->Read(event);
        if (rc != qsig::eSuccess) {
            QSTD_TRACE(1, c_client_name << ": stream client read failed: " << rc);
            break;
        }
        if (event.id == c_event_interlock) {
            EmitMode();
        } else if (event.id == c_event_state) {
            switch (event.code) {
            case 1:
            case 2:
            case 3:
            case 5:
                EmitMode();
                break;
            case c_code_double_buffer:
                if (m_fofb) {
                    m_fofb->OnDoubleBufferEvent();
                }
                break;
            default:
                break;
            }
        }
    }
    client->Close();
}
