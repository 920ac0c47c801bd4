#pragma once
// The timing board's machine-clock PLL: divides the machine clock by a
// prescaler (turns between two PLL events, id 16) and reports its lock.

#include "platform/qapp/zemtra_feature.h"

namespace sim {
class TimingBoard;
}

namespace qboard {

class McPll : public qapp::ZemtraFeature {
public:
    McPll(qapp::ZemtraObject& parent, const std::string& name, sim::TimingBoard* board);

    bool GetMcLock() const;
    // A prescaler of 0 is refused (false).
    bool SetMcPrescaler(unsigned turns);
    unsigned GetMcPrescaler() const;

    // Nodes "locked" (read-only) and "prescaler".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    sim::TimingBoard* m_board;
};

} // namespace qboard
