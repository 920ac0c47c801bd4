#include "app/local_timing_raf.h"

#include "app/vuna_application.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_reference_bit_node.h"

namespace {

const VunaApplication& ApplicationOf(qapp::ZemtraBoard& board)
{
    return dynamic_cast<const VunaApplication&>(board.GetApplication());
}

} // namespace

LocalTimingRaf::LocalTimingRaf(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name,
                               qsig::ZemtraEventStream* events, qfeature::HistoryBuffer* history)
    : qfeature::LocalTimingSync(board, name, events, history), m_block(block),
      m_sync_state_machine(ApplicationOf(board))
{
    QSTD_TRACE_FNC();
    qapp::RequireMapped(m_block);
}

LocalTimingRaf::~LocalTimingRaf()
{
    QSTD_TRACE_FNC();
}

void LocalTimingRaf::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    qfeature::LocalTimingSync::OnRegistryAdd(node);

    using State = SyncStateMachine::State_e;
    mci::TreeNodePtr sync = mci::factory::Create<qreg::RegFncEnumNode<State>>(
        "sync_state_machine", this, &LocalTimingRaf::_SetSyncStateMachine, &LocalTimingRaf::_GetSyncStateMachine,
        c_writable);
    node->Add(sync);
    m_sync_node = mci::Node(sync, mci::c_noRelPath);

    using BitNode = qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>;
    node->Add(mci::factory::Create<BitNode>(qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(0u, c_delay_max),
                                            "trigger_delay", fpga::Word32(m_block, c_trigger_delay_offset), 0ll, 15ll,
                                            c_setting));
    node->Add(mci::factory::Create<BitNode>(qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(0u, c_delay_max),
                                            "post_mortem_delay", fpga::Word32(m_block, c_post_mortem_delay_offset), 0ll,
                                            15ll, c_auxWritable));
}

bool LocalTimingRaf::SetSyncState(const SyncStateMachine::State_e& state)
{
    QSTD_TRACE_FNC();
    if (m_sync_node) {
        return m_sync_node.SetValue(state, 0);
    }
    // Before the node exists the state machine is set directly.
    try {
        return m_sync_state_machine.SetState(state);
    } catch (const qstd::Exception& e) {
        QSTD_TRACE(1, GetName() << ": " << e.what());
        return false;
    }
}

SyncStateMachine::State_e LocalTimingRaf::GetSyncState() const
{
    return m_sync_state_machine.GetState();
}

bool LocalTimingRaf::_SetSyncStateMachine(const SyncStateMachine::State_e& state)
{
    return m_sync_state_machine.SetState(state);
}

bool LocalTimingRaf::_GetSyncStateMachine(SyncStateMachine::State_e& state) const
{
    state = m_sync_state_machine.GetState();
    return true;
}

void LocalTimingRaf::OnAcceptRequests()
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "LocalTimingRaf::OnAcceptRequests");
    SetSyncState(SyncStateMachine::NoSync);
    m_accept = true;
}

void LocalTimingRaf::OnAnnounced()
{
    QSTD_TRACE_FNC();
    if (m_accept.load()) {
        SetSyncState(SyncStateMachine::Tracking);
    }
}

void LocalTimingRaf::OnStopAdjustment(bool success)
{
    QSTD_TRACE_FNC();
    if (!m_accept.load()) {
        return;
    }
    if (success) {
        SetSyncState(SyncStateMachine::Synchronized);
        return;
    }
    qstd::LogError("Sync on " + GetBoard().GetName() +
                   " board failed. Problem with Sync announcements on multiple boards.");
    SetSyncState(SyncStateMachine::NoSync);
}
