#pragma once
// History buffer of a board: acquisitions into the board's history memory,
// each driven by one 64-bit control word (2 stops, 1 starts at once, 4
// starts at the next timing event).

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_feature.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace qfeature {

class HistoryBuffer : public qapp::ZemtraFeature {
public:
    // How a control word starts its acquisition.
    enum flags : uint64_t {
        eStartImmediately = 1,
        eStop = 2,
        eStartOnEvent = 4,
    };

    struct tControl {
        volatile void* word; // the 64-bit control word
        flags start;
    };

    HistoryBuffer(qapp::ZemtraBoard& board, const std::string& name, const std::vector<tControl>& controls);

    // Stops and restarts every acquisition with its start flags.
    virtual void ForceEnable();
    // ForceEnable unless enabled.
    virtual void AssureEnable();
    // Stops every acquisition.
    virtual void Disable();
    virtual bool IsEnabled() const;

    const std::vector<tControl>& GetControls() const { return m_controls; }

private:
    std::vector<tControl> m_controls;
    std::atomic<bool> m_enabled{false};
};

} // namespace qfeature
