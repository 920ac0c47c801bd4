#pragma once
// The RAF board's gain controller ("conditioning", the board's first object):
// automatic gain control (the input power measured from the second maximum
// of the ADC signal chooses the attenuator from the attenuator table) and
// gain and phase compensation per switch position, learnt from captured
// turn-by-turn DDC data and kept per power level in the compensation table.
// Everything it changes in hardware goes through the board to the signal
// conditioning.
//
// The tuning thread runs one step every period while the controller is
// enabled. Locks: the thread mutex, held by the tuning thread except while
// it waits (so its holder knows that no step runs), then the data mutex,
// which guards the power level, the compensation table and the IF delta.
// Settings that the thread reads and clients write are atomic.

#include "acquisition/gain_control.h"
#include "acquisition/gain_tables.h"
#include "acquisition/tbt_atoms.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_feature.h"
#include "qsig/array.h"
#include "raf/gain_controller_lock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class RafBoard;

class SignalController : public qapp::ZemtraFeature {
public:
    using LockPtr = GainControllerLock::Lock_t;

    // Largest count of averaged switch patterns (exclusive).
    static constexpr uint32_t c_max_average_patterns = 32;
    static constexpr size_t c_comp_values = c_powerLevels * c_dscPatternSize * c_dscChannels;

    // Reads the compensation table (RAM copy, flash copy, else unit) and the
    // attenuator table ("Unable to read gain schema." when it cannot) and
    // starts the tuning thread. confDir ends in '/'.
    SignalController(RafBoard& board, std::string name, std::string confDir, bool enabled);
    ~SignalController() override;

    // Writes the attenuator of the current power level (0 dBm at start) to
    // the signal conditioning. The board calls it once the conditioning has
    // its nodes and before the stored configuration is applied, which may
    // change the attenuator again.
    void ApplyStartAttenuator();

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPostInit() override;
    void OnShutdown() override;

    // The tuning thread's body.
    void operator()();
    void StopThread();
    // The next step computes the compensation (when it can); wakes the
    // thread.
    void WakeUp();
    LockPtr Lock();
    void Unlock(LockPtr& lock);
    void SetEnabled(bool enabled);

    // --- settings ---
    bool GetPeriod(uint32_t& value) const;
    bool SetPeriod(const uint32_t& value);
    bool GetCompensationFrequency(uint32_t& value) const;
    bool SetCompensationFrequency(const uint32_t& value);
    bool Get0DbmAtt(uint32_t& value) const;
    bool Get0DbmAdc(uint32_t& value) const;
    bool Set0DbmAdc(const uint32_t& value);
    bool GetAdjustAttenuators(bool& value) const;
    bool SetAdjustAttenuators(const bool& value);
    bool GetDscAdjustType(tAppliedCoefficients& value) const;
    bool SetDscAdjustType(const tAppliedCoefficients& value);
    bool GetAmplAveragePatterns(uint32_t& value) const;
    bool GetPhaseAveragePatterns(uint32_t& value) const;
    bool SetAmplAveragePatterns(const uint32_t& value);
    bool SetPhaseAveragePatterns(const uint32_t& value);
    bool GetPowerLevel(int32_t& value) const;
    // A client's setting of the power level: raises "Power level can not be
    // modified while AGC is enabled" while AGC runs in the running
    // application; writes the level's attenuator and row.
    bool SetPowerLevel(const int32_t& value);

    // --- tables ---
    size_t GetAttLevels(uint32_t* values, size_t position, size_t count) const;
    size_t GetGainCoeffs(double* values, size_t position, size_t count) const;
    size_t GetPhaseCoeffs(double* values, size_t position, size_t count) const;
    // Refuse gains that are not finite and positive, phases that are not
    // finite; the values apply with the next setting.
    bool SetGainCoeffs(const double* values, size_t position, size_t count);
    bool SetPhaseCoeffs(const double* values, size_t position, size_t count);
    bool LoadCoefficients();
    bool StoreCoefficients();
    bool InitCompTable();
    // Reads a compensation file over the table (validated as a whole); the
    // next step applies the current row.
    bool ReadCompTable(const std::string& path);
    bool WriteCompTable(const std::string& path);
    bool ReadAttTable();
    std::string GenerateFileName(const std::string& directory, const std::string& base,
                                 const std::string& extension) const;

    // The attenuator of a power level; raises outside the table.
    void ConvertPowerLevel(const int32_t& dBm, uint32_t& att) const;

    // --- automatic gain control ---
    void TuneSignal();
    bool GetSignalInfo(uint32_t& secondMax, uint32_t& att, double& power);
    bool SignalPowerChanged(uint32_t secondMax, uint32_t att, double power);
    bool ApplyNewSetting(bool force);

    // --- compensation ---
    void SetSamplesPerSwitchPosition(uint32_t n);
    void UpdateTbtAtoms();
    uint32_t OrderedSwPosition(const uint32_t& k) const;
    bool CalcCompensation(uint32_t secondMax);

    // State for tests and diagnostics.
    tCompensationEntry GetRow(int32_t dBm) const;
    uint32_t GetAllAtoms() const;
    const std::string& RamFile() const { return m_ram_file; }

protected:
    // Hooks for specialisations; they do nothing here.
    virtual void OnChangeCoefficients(tCompensationEntry& entry);
    virtual void OnSetAtt(int att);
    virtual void OnSetUnity();
    virtual void OnSetCompensation(const tCompensationEntry& entry, double ifDelta);

private:
    // Caller holds the data mutex.
    size_t RowIndex() const;

    // Steps of CalcCompensation (the caller holds the data mutex).
    // One compensation: the capture, its marker, the switch positions in
    // pattern order and the row that it updates.
    struct Compensation;
    // Keeps the level state: the second maximum must rise above the limit
    // plus the hysteresis to start compensating, and fall below the limit
    // minus the hysteresis to stop.
    bool IsSignalLevelInRange(uint32_t secondMax);
    // Reads all atoms of TBT data into the capture and finds its marker.
    bool CaptureTbt(uint32_t all, uint32_t& marker);
    gain_control::CaptureView CapturedTbt() const;
    // The gain and the phase parts of the row (each skipped when its
    // averaging patterns are 0); false ends the compensation unstored.
    bool CompensateAmplitude(Compensation& c);
    bool CompensatePhase(Compensation& c);
    // The quality check of the capture (with its dump files).
    bool IsQualityAccepted(const Compensation& c, uint32_t Pa);
    void PublishQuality(double quality);
    void EmitExpireCounter();
    bool SetAveragePatterns(const uint32_t& value, std::atomic<uint32_t>& member, const char* kind);
    size_t GetCoeffs(double* values, size_t position, size_t count, bool gain) const;
    bool SetCoeffs(const double* values, size_t position, size_t count, bool gain);

    std::atomic<uint32_t> m_period{100};
    std::atomic<uint32_t> m_compensation_freq{100};
    std::atomic<uint32_t> m_tuning_count{0};
    std::atomic<bool> m_filtering{false};
    std::atomic<bool> m_adjust_attenuators{false};
    std::atomic<bool> m_adjust_coefficients{true};
    std::atomic<tAppliedCoefficients> m_applied_coefficients{eCoefficientsAdjusted};
    std::atomic<bool> m_att_dependent{true};
    std::thread m_thread;
    bool m_stop = false;
    std::condition_variable m_wake;
    mutable GainControllerLock m_thread_lock;
    std::atomic<bool> m_enabled;
    mutable std::mutex m_data_mutex;
    RafBoard& m_board;

    double m_filtered_2nd_max = 2048.0;
    AttTable m_att_table;
    uint32_t m_0dBm_att = 31;
    std::atomic<uint32_t> m_0dBm_adc{10000};
    int32_t m_power = 0;
    int32_t m_last_power = 0;
    int32_t m_lowest_power = 0;
    int32_t m_highest_power = 0;

    // Capture geometry; changed under the thread mutex.
    uint32_t m_tbt_samples_per_switch = 40;
    std::atomic<uint32_t> m_tbt_ampl_averaging_patterns{8};
    std::atomic<uint32_t> m_tbt_phase_averaging_patterns{8};
    uint32_t m_tbt_all_atoms = 0;
    qsig::Array<DdcTraits> m_capture;
    std::atomic<bool> m_use_curr_data{false};
    uint32_t m_leave_out_start = 8;
    uint32_t m_leave_out_end = 8;

    std::unique_ptr<CompTable> m_comp_table;
    bool m_signal_level_state = false;
    std::atomic<uint32_t> m_channel_limit{400};
    std::atomic<uint32_t> m_second_max_limit{400};
    std::atomic<uint32_t> m_hysteresis{40};
    std::atomic<tQualityEstimation> m_quality_selector{eQualityRaw};
    std::atomic<double> m_quality_tolerance{2.0};
    std::atomic<double> m_quality{0.0};
    // Fixed at construction (read-only nodes).
    std::string m_dump_directory;
    bool m_dump_names_made = false;
    std::string m_dump_temporary;
    std::string m_dump_failed;
    std::string m_dump_good;
    double m_if_delta = 0.0;
    std::atomic<double> m_tbt_frequency{533818.3761};
    const std::string m_conf_dir;
    std::atomic<bool> m_coefficients_pending{true};
    std::string m_ram_file;
    std::string m_flash_file;

    // Nodes the controller emits or reads itself, from OnRegistryAdd on.
    mutable std::mutex m_node_mutex;
    mci::Node m_power_node;
    mci::TreeNodePtr m_expire_node;
    mci::TreeNodePtr m_quality_node;
};
