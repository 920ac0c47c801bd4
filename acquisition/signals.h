#pragma once
// The RAF board's signals ("signals"). Today it owns the board's event stream
// "event", exports it as a signal node, and restarts the board's TBT, SA and
// FA acquisition at a synchronised LMT together with the other boards' FA
// chains. The SA and FA streams, the DMA buffer and the ADC, TDP and DDC
// on-demand sources with their derived sources join this object with the
// board's data signals.

#include "platform/qapp/zemtra_feature.h"
#include "platform/qsig/zemtra_event_stream.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class RafBoard;
class FaSyncController;

namespace qreg {
class SignalNode;
}

class Signals : public qapp::ZemtraFeature {
public:
    // Request records of the restart (bytes 4 to 7 of the record).
    static constexpr uint32_t c_stop_request = 0x00000AA8;
    static constexpr uint32_t c_start_request = 0x00000554;
    // Event that confirms the restart.
    static constexpr uint64_t c_start_event = 34;
    // Least lead of the start LMT over the synchronised LMT, before it is
    // rounded up to whole decimation periods.
    static constexpr uint32_t c_start_lead = 31800000;
    // Longest wait for the confirmation event. The FPGA answers at the start
    // LMT, about 0.27 s after the request at the nominal ADC frequency; the
    // bound keeps a board that never answers from holding the thread that
    // delivers the board's events.
    static constexpr std::chrono::milliseconds c_start_timeout{3000};

    Signals(RafBoard& board, const std::string& name);
    ~Signals() override;

    // Keeps the node and adds the signal node "event".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Shuts the event stream down (its consumers' reads end) and withdraws it
    // from its node; the stream itself is deleted by the destructor, after
    // the board's event consumers have been joined.
    void OnShutdown() override;

    // Stops TBT, SA and FA, waits for the FA peers, re-arms the TBT history
    // buffer and restarts all three at the first whole decimation period
    // c_start_lead after lmt. True when both FA peer waits succeeded; false
    // also when the start event did not arrive in time. Raises when the
    // event stream is closed while waiting.
    bool TbtSaFaRestart(uint64_t lmt);

    // Start LMT of a restart at lmt with the product of the TBT, FA and SA
    // decimations.
    static uint64_t RestartLmt(uint64_t lmt, uint32_t period);

    qsig::ZemtraEventStream* GetEventStream() const { return m_event.get(); }

private:
    FaSyncController* FaPeers() const;

    RafBoard& m_board;
    std::unique_ptr<qsig::ZemtraEventStream> m_event;
    mci::TreeNodePtr m_node;
    std::shared_ptr<qreg::SignalNode> m_event_node;
};
