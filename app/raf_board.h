#pragma once
// A RAF board (board type 175): the board that samples the four RF input
// channels. Its constructor maps the FPGA block of each of its objects and
// creates them in the board's fixed order; afterwards the board is the hub
// through which the application and the board's own objects reach each
// other.
//
// Objects made today, in the board's order: the gain controller
// "conditioning", "clock_info", "conf", the signal conditioning
// "conditioning", "tbt", "house_keeping", "tsm", "synth_tsm", "hb",
// "interlock", "postmortem", "synth_generator", "signal_processing" (the FA
// block), "LvdsBusTrafCop", "LvdsTx", "hp_temp", "signals" (with the board's
// event stream and data signals), "events", "local_timing", "average_sum"
// and "beam".

#include "acquisition/tbt_atoms.h"
#include "app/sync_state_machine.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qfeature/events.h"
#include "platform/qsig/signal_types.h"
#include "platform/qsig/zemtra_machine_time.h"
#include "qsig/array.h"
#include "raf/gain_controller_lock.h"
#include "raf/house_keeping.h"

#include <cstdint>
#include <string>
#include <vector>

struct tCompensationEntry;
class DigSigCond;
class SignalController;
class RafIdSpecific;
class RafInterlock;
class PostMortem;
class AverageSum;
class BeamInfo;
class DSCConfig;
class TurnByTurnDSP;
class HighPrecisionTemperature;
class SyntheticGenerator;
class LvdsBusTrafCop;
class HistoryBuffer;
class FastAcquisition;
class Signals;
class LocalTimingRaf;
namespace qfeature {
class Tsm;
}
namespace qapp {
class ZemtraLvdsTransmitter;
}

class RafBoard : public qapp::ZemtraBoard {
public:
    // FPGA blocks (offset, length in bytes) that the board maps itself.
    static constexpr int c_clock_info_offset = 0x100;
    static constexpr int c_conf_offset = 0x800000;
    static constexpr int c_conditioning_offset = 0x880000;
    static constexpr int c_tbt_offset = 0x900000;
    static constexpr int c_house_keeping_offset = 0x300000;
    static constexpr int c_synth_generator_offset = 0xC00000;
    static constexpr int c_lvds_btc_offset = 0xD00000;
    static constexpr int c_hp_temp_offset = 0x300000;
    static constexpr int c_tsm_offset = 0x500000;
    static constexpr int c_synth_tsm_offset = 0x500020;
    static constexpr int c_hb_offset = 0x400000;
    static constexpr int c_hb_length = 0xF8;
    static constexpr int c_interlock_offset = 0x700000;
    static constexpr int c_postmortem_offset = 0x700300;
    static constexpr int c_fa_offset = 0xA00000;
    static constexpr int c_lvds_tx_offset = 0x600000;
    static constexpr int c_local_timing_offset = 0x202000;
    static constexpr int c_local_timing_length = 0x10;

    // The board's event table: {0 "sync"}, {2 "trigger"}, {3 "interlock"}.
    static const std::vector<qfeature::Events::Description> c_event_table;

    // Raises "Failure while mapping to FPGA memory registers" when a block
    // cannot be mapped; an object's constructor's exception passes.
    RafBoard(qapp::ZemtraApplication& application, const bmc::Board* board);
    ~RafBoard() override;

    // Keeps the board's tree node; every object adds its own nodes.
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Subscribes the signals to the coefficient and spike-removal nodes.
    void OnPostInit() override;
    // Starts the ADC history acquisition.
    void OnPostConfig() override;
    void OnShutdown() override;
    // Switches the position controllers of the on-demand sources off.
    void OnAnnounceSync() override;
    // Restarts TBT, SA and FA at the LMT taken; the result is the restart's.
    void OnAdjustedTimestamp(long long timestamp, unsigned long long lmt) override;

    // Handler of the board's event table: the trigger (id 2) completes the
    // local timing's synchronisation with the trigger's LMT.
    void EventReceived(unsigned long long id, unsigned long long first, unsigned long long second);

    // Announces lmt to the board's local timing; false when not accepted.
    bool AnnounceLMTSync(unsigned long long lmt);
    bool SetSyncState(SyncStateMachine::State_e state);
    bool EnableEvent(unsigned char id);
    bool DisableEvent(unsigned char id);

    // Clock information.
    double GetADCFrequency() const;
    unsigned GetTbtDecimation() const;
    unsigned GetFIRDecimation() const;
    unsigned GetSwitchDecimation() const;
    double GetIFFrequency() const;
    double GetTbtFrequency() const;
    double GetNcoFrequency() const;
    // The board's slot (the id of its URI).
    std::string GetId() const;

    // Forwarders to the board's objects: each returns false (0, or does
    // nothing) while its object is missing.
    bool SetPllStatusLocked(const bool& locked);
    bool SetNCOFreq(const unsigned int& value);
    bool GetNCOFreq(unsigned int& value) const;
    unsigned GetADCDelay() const;
    unsigned GetSwHisDelayOffset() const;
    bool SetSwitch2HistoryDelay(unsigned int value);
    bool AdjustSignalOversampling(SignalType_e signal);
    void EnableFaBuf();
    void AttachToNotifications();
    qsig::SuccessCode_e ConvertDdcAmplSynthSignal(const qsig::Array<DdcTraits>& input, qsig::SuccessCode_e code,
                                                  qsig::Array<TbtAmplTraits>& output);

    // DDC reads through a new client of the DDC source. "Now": |count|
    // atoms, ending with the newest one for a negative count; at a machine
    // time: as many atoms as data holds. The atom count read when the read
    // succeeds or reports incomplete data, else 0.
    int ReadDDC(qsig::Array<DdcTraits>& data, int count);
    unsigned ReadDDC(qsig::Array<DdcTraits>& data, qsig::ZemtraMachineTime& time,
                     qsig::RequestPriorityLevel_e priority);

    bool Get2ndMax(unsigned int& value) const;
    bool GetSwitchMarkPosition(unsigned int& value) const;
    bool SetSwitchMarkPosition(const unsigned int& value);
    // Moves the switch mark to the pattern's first position unless it is at
    // one of the four; false when the mark cannot be read (or set).
    bool UpdateMarkerPosition(unsigned (&pattern)[4]);

    // The gain controller's lock (its tuning thread holds it except while it
    // waits), lent to the TBT DSP while it moves the ADC delay (held until
    // UnlockSignalController).
    GainControllerLock::Lock_t LockSignalController();
    void UnlockSignalController(GainControllerLock::Lock_t& lock);

    // Handles of the nodes that the signals compute with: the FA block's
    // coefficients and offsets, the TBT DSP's spike-removal settings. Empty
    // while the object is not part of the board (or before its
    // OnRegistryAdd).
    mci::Node NodeKx() const;
    mci::Node NodeKy() const;
    mci::Node NodeOfsX() const;
    mci::Node NodeOfsY() const;
    mci::Node NodeOfsQ() const;
    mci::Node NodeSwSpikeRemovalEnable() const;
    mci::Node NodeAveragingStop() const;
    mci::Node NodeAveragingWindow() const;
    mci::Node NodeSpikeStart() const;
    mci::Node NodeSpikeWindow() const;

    // Signal conditioning and gain controller. The forwarders do nothing, or
    // return false, while their object is missing.
    bool IsSwitchingEnabled() const;
    bool GetSwPattern(unsigned int (&pattern)[4]) const;
    void SetUnitCompensation();
    void SetCompensation(const tCompensationEntry& entry, double ifDelta);
    bool GetAtt(unsigned int& value) const;
    void SetAtt(const unsigned int& value);
    bool WakeUpSignalConditioning();
    // Raises the gain controller's refusal of a level outside its table;
    // leaves att unwritten without a gain controller.
    void ConvertPowerLevel(const int& dBm, unsigned int& att);
    // UpdateMarkerPosition with the signal conditioning's pattern.
    bool UpdateMarkerPosition();

    // ADC count to interlock threshold: ((count sign-extended, shifted right
    // by 4 as unsigned)^2 mod 2^64 >> 8) & 0xFFFF.
    static uint64_t Count2Threshold(int count);

    RafIdSpecific* GetClockInfo() const { return m_clock_info; }
    SignalController* GetSignalController() const { return m_signal_controller; }
    DigSigCond* GetSignalConditioning() const { return m_sig_cond; }
    DSCConfig* GetDscConfig() const { return m_dsc; }
    TurnByTurnDSP* GetTbtDsp() const { return m_tbt; }
    HouseKeeping* GetHouseKeeping() const { return m_house_keeping; }
    HighPrecisionTemperature* GetTemperature() const { return m_temperature; }
    SyntheticGenerator* GetSyntheticGenerator() const { return m_synth_generator; }
    LvdsBusTrafCop* GetLvdsBusTrafCop() const { return m_lvds_btc; }
    HistoryBuffer* GetHistoryBuffer() const { return m_hb; }
    RafInterlock* GetInterlock() const { return m_interlock; }
    PostMortem* GetPostMortem() const { return m_postmortem; }
    AverageSum* GetAverageSum() const { return m_average_sum; }
    BeamInfo* GetBeamInfo() const { return m_beam_info; }
    Signals* GetSignals() const { return m_signals; }
    FastAcquisition* GetFastAcquisition() const { return m_fa; }
    LocalTimingRaf* GetLocalTiming() const { return m_local_timing; }
    qfeature::Tsm* GetTsm() const { return m_tsm; }
    qfeature::Tsm* GetSynthTsm() const { return m_synth_tsm; }
    const mci::TreeNodePtr& GetBoardNode() const { return m_node; }

private:
    Signals* m_signals = nullptr;
    SignalController* m_signal_controller = nullptr;
    RafIdSpecific* m_clock_info = nullptr;
    DSCConfig* m_dsc = nullptr;
    DigSigCond* m_sig_cond = nullptr;
    TurnByTurnDSP* m_tbt = nullptr;
    HouseKeeping* m_house_keeping = nullptr;
    qfeature::Tsm* m_tsm = nullptr;
    qfeature::Tsm* m_synth_tsm = nullptr;
    HighPrecisionTemperature* m_temperature = nullptr;
    HistoryBuffer* m_hb = nullptr;
    FastAcquisition* m_fa = nullptr;
    LocalTimingRaf* m_local_timing = nullptr;
    RafInterlock* m_interlock = nullptr;
    PostMortem* m_postmortem = nullptr;
    AverageSum* m_average_sum = nullptr;
    BeamInfo* m_beam_info = nullptr;
    SyntheticGenerator* m_synth_generator = nullptr;
    qapp::ZemtraLvdsTransmitter* m_lvds_tx = nullptr;
    LvdsBusTrafCop* m_lvds_btc = nullptr;
    mci::TreeNodePtr m_node;
};
