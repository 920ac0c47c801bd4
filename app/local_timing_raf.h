#pragma once
// Local timing of a RAF or GDX board: the framework's LMT synchronisation,
// extended by the board's synchronisation state machine (published as
// "sync_state_machine") and the trigger and post-mortem delays of its block.

#include "app/sync_state_machine.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/tree_node.h"
#include "platform/qfeature/local_timing.h"

#include <atomic>
#include <string>

namespace qsig {
class ZemtraEventStream;
}
namespace qfeature {
class HistoryBuffer;
}

class LocalTimingRaf : public qfeature::LocalTimingSync {
public:
    // Size of the local-timing block and the byte offsets of its delay words.
    static constexpr int c_block_size = 16;
    static constexpr unsigned c_post_mortem_delay_offset = 0x0;
    static constexpr unsigned c_trigger_delay_offset = 0x8;
    static constexpr unsigned c_delay_max = 32767; // 15 bits

    // The board's application must be the VunaApplication (else std::bad_cast).
    LocalTimingRaf(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name,
                   qsig::ZemtraEventStream* events, qfeature::HistoryBuffer* history);
    ~LocalTimingRaf() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnAcceptRequests() override;

    // Sets the state through the "sync_state_machine" node, so that its
    // setter and notifications run; false when the transition is refused.
    bool SetSyncState(const SyncStateMachine::State_e& state);
    SyncStateMachine::State_e GetSyncState() const;
    bool IsAccepting() const { return m_accept.load(); }

    bool _SetSyncStateMachine(const SyncStateMachine::State_e& state);
    bool _GetSyncStateMachine(SyncStateMachine::State_e& state) const;

protected:
    void OnAnnounced() override;
    void OnStopAdjustment(bool success) override;

private:
    volatile FPGAMem_t* m_block;
    SyncStateMachine m_sync_state_machine;
    mci::Node m_sync_node;
    std::atomic<bool> m_accept{false};
};
