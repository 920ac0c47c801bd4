#pragma once
// The timing board: trigger generation, the machine-clock PLL, the DAC of
// the oscillator, its identification and its event stream. Both timing board
// kinds (type 62 and the event-receiver board, type 235) are made from it.

#include "platform/qapp/dac8552.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qboard/mc_pll.h"
#include "platform/qboard/tim_id.h"
#include "platform/qfeature/events.h"
#include "platform/qfeature/tim_trigger_generation.h"

#include <atomic>
#include <memory>
#include <vector>

namespace sim {
class TimingBoard;
}
namespace qsig {
class ZemtraEventStream;
}

namespace qboard {

class TimBoard : public qapp::ZemtraBoard {
public:
    // The framework's event table of the timing boards.
    static const std::vector<qfeature::Events::Description> c_evtDesc;

    // events: the event table; triggers: the trigger configurations; nodes:
    // flags of trigger nodes (may be null); withEvents: also read the event
    // table with an events feature (the board then only traces the events).
    TimBoard(qapp::ZemtraApplication& application, const bmc::Board* board,
             const std::vector<qfeature::Events::Description>& events,
             const std::vector<qfeature::TimTriggerGeneration::TrigConfiguration>& triggers,
             const std::vector<qfeature::TimTriggerGeneration::RegNodeConfiguration>* nodes, bool withEvents);
    ~TimBoard() override;

    // One trigger event now: every board of the chassis sees event id 2.
    void CreateTrigEvent();
    // Trigger source of the chassis: off, or the external input.
    void SetTrigSourceOff();
    void SetTrigSourceExt();
    bool IsTrigSourceExt() const;

    qfeature::TimTriggerGeneration* GetTriggerGeneration() const { return m_trigGen; }
    TimIdSpecific* GetIdSpecific() const { return m_id; }
    // Null when the board has no machine-clock PLL.
    McPll* GetMcPll() const { return m_mcPll; }
    qapp::DAC8552& GetDac() const { return *m_dac; }
    qsig::ZemtraEventStream* GetEventStream() const { return m_events.get(); }
    sim::TimingBoard* SimTiming() const { return m_sim; }

    void OnShutdown() override;

private:
    sim::TimingBoard* m_sim;
    qfeature::TimTriggerGeneration* m_trigGen = nullptr;
    TimIdSpecific* m_id = nullptr;
    McPll* m_mcPll = nullptr;
    qapp::DAC8552* m_dac = nullptr;
    std::unique_ptr<qsig::ZemtraEventStream> m_events;
};

// The event-receiver timing board (type 235): a timing board with a
// backplane T0 switch.
class EvrxBoard : public TimBoard {
public:
    EvrxBoard(qapp::ZemtraApplication& application, const bmc::Board* board,
              const std::vector<qfeature::Events::Description>& events,
              const std::vector<qfeature::TimTriggerGeneration::TrigConfiguration>& triggers,
              const std::vector<qfeature::TimTriggerGeneration::RegNodeConfiguration>* nodes);

    void SetBackplaneT0Switch(unsigned value);
    unsigned GetBackplaneT0Switch() const { return m_t0.load(); }

private:
    std::atomic<unsigned> m_t0{0};
};

} // namespace qboard
