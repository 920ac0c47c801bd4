#pragma once
// The RAF board's signals ("signals"): the board's event stream "event", the
// SA and FA device streams "sa" and "fa", the DMA buffer of the board's data
// device split into the ADC, TDP and DDC history regions, the on-demand
// sources over them and the derived sources that compute amplitudes,
// positions and phases ("ddc_synthetic", "ddc_phase", "tdp_synthetic"). It
// exports them as signal nodes, follows the FA block's and the TBT DSP's
// coefficient and spike-removal nodes, switches the sources' position
// controllers around a synchronisation and restarts TBT, SA and FA at a
// synchronised LMT together with the other boards' FA chains.

#include "acquisition/position_arithmetic.h"
#include "acquisition/tbt_atoms.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_feature.h"
#include "platform/qsig/random_access_buffer.h"
#include "platform/qsig/segmented_buffer_controller.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "qsig/data_on_demand_source.h"
#include "qsig/data_on_demand_synthetic_source.h"
#include "qsig/zemtra_stream.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class RafBoard;
class FaSyncController;

namespace qreg {
class SignalNode;
}

class Signals : public qapp::ZemtraFeature, public PositionArithmetic {
public:
    using SaFaStream = qsig::ZemtraStream<SaFaTraits>;
    using AdcSource = qsig::DataOnDemandSource<AdcTraits>;
    using DdcSource = qsig::DataOnDemandSource<DdcTraits>;
    using TdpSource = qsig::DataOnDemandSource<TdpTraits>;
    using DdcAmplSource = qsig::DataOnDemandSyntheticSource<DdcTraits, TbtAmplTraits>;
    using DdcPhaseSource = qsig::DataOnDemandSyntheticSource<DdcTraits, TbtPhaseTraits>;
    using TdpAmplSource = qsig::DataOnDemandSyntheticSource<TdpTraits, TbtAmplTraits>;
    using DdcClient = qsig::DodClient<DdcTraits>;

    // Read chunks of the history sources in atoms.
    static constexpr std::size_t c_adc_chunk = 500000;
    static constexpr std::size_t c_tdp_chunk = 250000;
    static constexpr std::size_t c_ddc_chunk = 125000;
    // Device reads of the SA and FA streams in atoms.
    static constexpr unsigned c_sa_group = 1;
    static constexpr unsigned c_fa_group = 1024;
    // Longest wait of the history controllers for data that are due.
    static constexpr unsigned c_controller_timeout_s = 60;
    // Control word handed to the event device once the ADC controller is set.
    static constexpr uint64_t c_adc_event_control = 2;

    // Request records of the restart (bytes 4 to 7 of the record).
    static constexpr uint32_t c_stop_request = 0x00000AA8;
    static constexpr uint32_t c_start_request = 0x00000554;
    // Event that confirms the restart.
    static constexpr uint64_t c_start_event = 34;
    // Least lead of the start LMT over the synchronised LMT, before it is
    // rounded up to whole decimation periods.
    static constexpr uint64_t c_start_lead = 31800000;
    // The wait for the confirmation event ends this long after the start LMT
    // is due (about 0.3 s after the request at the nominal rates), and never
    // later than c_start_wait_max after the request: a board that never
    // answers does not hold the thread that delivers the board's events.
    static constexpr std::chrono::milliseconds c_start_margin{1000};
    static constexpr std::chrono::milliseconds c_start_wait_max{60000};

    Signals(RafBoard& board, const std::string& name);
    ~Signals() override;

    // Keeps the node and adds the signal nodes "ddc_raw", "ddc_synthetic",
    // "ddc_phase", "tdp_synthetic", "sa", "fa" and "event".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Creates the ADC source and, when it exists, adds "adc".
    void OnPostConfig() override;
    // Shuts every source and stream down and withdraws them from their
    // nodes; the destructor releases them, after the board's threads that
    // use them have been joined.
    void OnShutdown() override;

    // Takes the current values of the FA block's coefficient nodes and the
    // TBT DSP's spike-removal nodes and subscribes to them. An object that
    // is not part of the board or has no nodes (no handle of its group) is
    // traced and its parameters keep their defaults. Raises "Signals cannot attach to the
    // registry" when a read or subscription of an existing node failed.
    void AttachToRegistry();
    // Every position controller of the DDC, TDP and ADC sources (those that
    // exist), one source at a time.
    void EnableControllers(bool enable);

    // A new client of "ddc-source".
    std::shared_ptr<DdcClient> GetDdcClient(const std::string& name);
    // A client of the event stream with a queue for every event id twice.
    qsig::ZemtraEventStream::Client GetEventClient(const std::string& name);
    // A client of an event stream (with the same queue) that queues only
    // the events of id, opened; empty, with the trace "<name>: can't open: "
    // and the code, when it cannot be opened.
    static std::unique_ptr<qsig::ZemtraEventStream::Client> OpenEventClient(qsig::ZemtraEventStream* stream,
                                                                            const std::string& name, uint64_t id);

    // Stops TBT, SA and FA, waits for the FA peers, re-arms the TBT history
    // buffer and restarts all three at the first whole decimation period
    // c_start_lead after lmt; then re-anchors the DDC and TDP controllers at
    // the start. True when both FA peer waits succeeded. False when the
    // restart client cannot be opened, the decimation period is 0 or the
    // start event did not come in time. Raises when the event stream is
    // closed while waiting. Whatever happens after the stop, the board's FA
    // chain counts as running again; on every way out the DDC and TDP
    // controllers are enabled again, except when a newer synchronisation is
    // announced while the restart runs: the restart then gives way to that
    // synchronisation's, which follows at the next trigger (it neither waits
    // for its peers any longer nor starts or re-anchors anything on the time
    // line that the trigger replaces) and returns false.
    bool TbtSaFaRestart(uint64_t lmt);
    // The board's OnAnnounceSync: a restart in progress, overtaken, counts
    // its chain as running again at once, so that the FA peers' meeting of
    // the newer restart counts only the stops for that one.
    void OnSyncAnnounced();

    // start = lmt + (c_start_lead / period + 1) x period, in 64 bits; false
    // for a period of 0 or a start past the 64-bit range.
    static bool RestartLmt(uint64_t lmt, uint64_t period, uint64_t& start);
    // Product of the TBT, FA and SA decimations in 64 bits; 0 when it does
    // not fit.
    static uint64_t DecimationPeriod(uint32_t tbt, uint32_t fa, uint32_t sa);

    void CreateSaFaSignal();
    void CreateTbtTdpSignal();
    void CreateTbtDdcSignal();
    // The ADC source over the first quarter of the buffer with a controller
    // of one section per acquisition of the board's timing state machine;
    // nothing (and a trace) without an acquisition duration.
    void CreateAdcSignal();

    qsig::ZemtraEventStream* GetEventStream() const { return m_event.get(); }
    SaFaStream* GetSaStream() const { return m_sa.get(); }
    SaFaStream* GetFaStream() const { return m_fa.get(); }
    const std::shared_ptr<qsig::RandomAccessBuffer>& GetDmaBuffer() const { return m_dma; }
    const std::shared_ptr<AdcSource>& GetAdcSource() const { return m_adc; }
    const std::shared_ptr<DdcSource>& GetDdcSource() const { return m_ddc; }
    const std::shared_ptr<TdpSource>& GetTdpSource() const { return m_tdp; }
    const std::shared_ptr<DdcAmplSource>& GetDdcAmplSource() const { return m_ddc_ampl; }
    const std::shared_ptr<DdcPhaseSource>& GetDdcPhaseSource() const { return m_ddc_phase; }
    const std::shared_ptr<TdpAmplSource>& GetTdpAmplSource() const { return m_tdp_ampl; }

private:
    class RunningAgain;

    FaSyncController* FaPeers() const;
    // True when a synchronisation newer than the one being restarted is
    // announced.
    bool RestartOvertaken() const;
    // When it is: traces so, closes the restart's client and returns true.
    bool GiveWay(qsig::ZemtraEventStream::Client& client) const;
    // Counts the chain stopped with its peers, unless a newer
    // synchronisation is announced already; true, with the mark of the stop
    // for WaitForAllStopped, when it counted.
    bool CountFaStopped(FaSyncController& peers, uint64_t& mark);
    // Counts the chain running again when it counts as stopped; true, with
    // the mark for WaitForAllRunning, when it did.
    bool CountFaRunning(uint64_t& mark);
    std::string SourceName(const std::string& base) const;
    // Source over [start, start + length) of the buffer with a circular
    // controller of one atom per TBT decimation.
    template <typename Traits>
    std::shared_ptr<qsig::DataOnDemandSource<Traits>>
    CreateTbtSource(const std::string& base, std::size_t start, std::size_t length, std::size_t chunk,
                    const std::string& client, const char* configuring);
    void AddSignalNode(const char* name, qsig::SignalSource* source, unsigned long long flags);
    // Wait for the start event of a restart at start, in milliseconds.
    uint64_t StartWait(const qsig::ZemtraEventStream::Client& client, uint64_t start) const;
    // The DDC and TDP controllers re-anchored at start (when given) and
    // enabled, one source at a time.
    void RestartControllers(const uint64_t* start);

    RafBoard& m_board;
    mci::NotificationClient m_notification_client;
    std::unique_ptr<qsig::ZemtraEventStream> m_event;
    std::unique_ptr<SaFaStream> m_sa;
    std::unique_ptr<SaFaStream> m_fa;
    std::shared_ptr<qsig::RandomAccessBuffer> m_dma;
    std::shared_ptr<qsig::SegmentedBufferController> m_adc_controller;
    std::shared_ptr<AdcSource> m_adc;
    std::shared_ptr<DdcSource> m_ddc;
    std::shared_ptr<DdcAmplSource> m_ddc_ampl;
    std::shared_ptr<DdcPhaseSource> m_ddc_phase;
    std::shared_ptr<TdpSource> m_tdp;
    std::shared_ptr<TdpAmplSource> m_tdp_ampl;
    mci::TreeNodePtr m_node;
    // Every signal node with the source it exports.
    std::vector<std::pair<qsig::SignalSource*, std::shared_ptr<qreg::SignalNode>>> m_signal_nodes;
    // The peers with which the chain counts as stopped, from a restart's stop
    // until it counts running again; null otherwise.
    std::mutex m_fa_count_mutex;
    FaSyncController* m_fa_counted_stopped = nullptr;
};
