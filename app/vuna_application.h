#pragma once
// The application object of zemtra-vuna: makes the board objects of the
// chassis, refuses chassis it cannot serve, copies the clock settings that
// all RAF boards share, runs the timing board's software PLL with its "pll"
// stream and DAC output, publishes its own register nodes, and synchronises
// all boards to one LMT.

#include "app/phase_locked_loop.h"
#include "app/pll_hooks.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/synchronizer.h"
#include "qsig/synthetic_stream.h"
#include "raf/house_keeping.h"
#include "raf/raf_id.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PllOutput;
class FaSyncController;
class RafBoard;
class GdxBoard;
namespace qboard {
class TimBoard;
}
namespace qreg {
class SignalNode;
}

// Function of the timing board's custom connector.
enum CustomFnc_e : int { fofb_switch = 0, fa_clk = 1 };
template <> qstd::BiMap<CustomFnc_e> qstd::EnumMap<CustomFnc_e>::items;

// The "pll" stream: one PLL atom per PLL event of the timing board.
using PllSignal = qsig::SyntheticStream<qsig::EventTraits, PllTraits>;

// The clock values are those of the first RAF board (all boards agree, and
// the ADC frequency is the timing board's too).
class VunaApplication : public PllHooks, public virtual qapp::ZemtraApplication, private RafClockValues {
public:
    static constexpr const char* c_name = "zemtra-vuna";
    // Connector control codes of the custom connector functions.
    static constexpr unsigned c_lemo_fa_clk = 33;
    static constexpr unsigned c_lemo_fofb_switch = 0;
    // The "pll" stream's source queue: event id and time-out.
    static constexpr uint64_t c_pll_event_id = 16;
    static constexpr uint64_t c_pll_timeout_ms = 500;
    // Trigger-oversampling adjustment: passes and their spacing.
    static constexpr unsigned c_oversampling_passes = 64;
    static constexpr unsigned c_oversampling_pause_us = 10000;
    // Oversampling word adjusted at start: the trigger signal.
    static constexpr SignalType_e c_trigger_signal = eSignalTrigger;
    // Pause between the start synchronisation and the external trigger.
    static constexpr long c_external_trigger_pause_ns = 40000000;

    VunaApplication();
    ~VunaApplication() override;

    // PllHooks.
    unsigned GetDefAdcFreq() const override { return m_adc_freq; }
    double GetDefRfFreq() const override { return m_rf_freq; }
    double GetDefIfFreq() const override { return m_if_freq; }
    double GetDefNCOFreq() const override { return m_nco_freq; }
    unsigned GetDefTbtDecimation() const override { return m_tbt_decimation; }
    unsigned GetDefFaDecimation() const override { return m_fa_decimation; }
    unsigned GetDefHarmonicNumber() const override { return m_harmonic_number; }
    bool SetNCOFreq(unsigned value) override;
    void SetSyncStateMachines(SyncStateMachine::State_e state) override;
    void SetPllStatusLocked(bool locked) override;

    std::string ApplicationName() const override;
    void OnSyncAnnounced(qfeature::LocalTimingSync& sync) override;
    void OnSynchronized(qfeature::LocalTimingSync& sync) override;
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPreInit() override;
    void OnPostInit() override;
    void OnPreConfig() override;
    void OnPostConfig() override;
    void OnStartRunning() override;
    void OnShutdown() override;
    qapp::ZemtraBoard* CreateBoard(const bmc::Board* board) override;

    // False while there is no PLL, else the PLL's lock.
    bool IsPllLocked() const;
    bool GetCustomConnFnc(CustomFnc_e& f) const;
    bool SetCustomConnFnc(const CustomFnc_e& f);
    bool GetSynchronizeLMT(unsigned long long& lmt) const;
    // Announces lmt to every RAF board and the GDX board. A board that
    // refuses or raises is logged and the others are still told; the result
    // is then false and the LMT is not stored.
    bool SetSynchronizeLMT(const unsigned long long& lmt);
    // All boards to LMT 0: announce, one trigger, wait for the boards.
    void ApplyLocalSynchronization();

    // Mask of the RAF boards' slots (bit n: slot n + 3).
    uint32_t GetPresentRafs() const;
    // Largest ADC duration of the RAF boards' timing state machines; false
    // without a RAF board.
    bool GetMaxAdcDuration(uint32_t& out) const;

    qboard::TimBoard* GetTim() const { return m_tim; }
    PhaseLockedLoop* GetPll() const { return m_pll; }
    PllSignal* GetPllSignal() const { return m_pll_signal; }
    PllOutput* GetPllOutput() const { return m_pll_output; }
    FaSyncController* GetFaSyncController() const { return m_fa_sync_controller; }
    const qstd::Synchronizer& GetSynchronizer() const { return m_synchronizer; }
    std::vector<RafBoard*> GetRafBoards() const;
    GdxBoard* GetGdxBoard() const;

private:
    void RetrieveCommonData();
    void AdjustOversampling();
    void EnableFaBuf();
    // Reports the missing timing board; true when it is there.
    bool CheckTim(int line, const char* function) const;

    PhaseLockedLoop* m_pll = nullptr;
    PllSignal* m_pll_signal = nullptr;
    PllOutput* m_pll_output = nullptr;
    FaSyncController* m_fa_sync_controller = nullptr;
    qboard::TimBoard* m_tim = nullptr;
    std::atomic<uint64_t> m_sync_lmt;
    // The custom connector's function: written by a client, read by the
    // configuration's store on its own thread. The mutex keeps the connector
    // control and the value it reports in step.
    mutable std::mutex m_custom_mutex;
    CustomFnc_e m_custom_fnc = fofb_switch;
    qstd::Synchronizer m_synchronizer;
    std::shared_ptr<qreg::SignalNode> m_pll_node;
};
